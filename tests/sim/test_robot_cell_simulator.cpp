#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "MeshShape.h"
#include "PoseError.h"
#include "RobotCellSimulator.h"

using namespace TavoAlgorithm;
using namespace TavoAlgorithm::sim;

namespace {

// The point 50 mm above the turntable that the cameras look at, model frame.
Eigen::Vector3f looked_at(const RobotCell& cell) {
  return (cell.model_from_world() * Eigen::Vector3d(cell.axisPoint - 50.0 * cell.axisDirection)).cast<float>();
}

Scene ball(const RobotCell& cell, float radius) {
  Scene s;
  s.spheres.push_back({looked_at(cell), radius});
  return s;
}

}  // namespace

TEST(RobotCellSimulator, CellRecordAndPosesFollowTheFrames) {
  const RobotCell cell = default_robot_cell();
  const RobotScanInfo info = robot_scan_info(cell);
  EXPECT_TRUE(info.get_sum_mat().to_matrix4().isApprox(
      (cell.calibrationRobot * cell.fixture * cell.first.RT).to_matrix4()));
  Eigen::Vector3f d, p;
  info.get_axis_info(d, p);
  EXPECT_TRUE(d.isApprox(cell.axisDirection.cast<float>()));
  // The model frame stands the axis upright.
  EXPECT_TRUE(cell.model_from_world().transform_normal(Eigen::Vector3d(-cell.axisDirection)).isApprox(
      Eigen::Vector3d::UnitZ()));
  // At the calibration pose camera 1 is where its calibration puts it, and
  // camera 2 sits at its own centre.
  const RigidMatrix home = cell.camera_pose(cell.calibrationRobot, 0.0);
  EXPECT_LT((home.get_translation() - cell.model_from_world() * cell.first.RT.inverse().get_translation()).norm(), 1e-9);
  EXPECT_LT((cell.second_camera_pose(cell.calibrationRobot, 0.0).get_translation() -
             cell.model_from_world() * cell.second.RT.inverse().get_translation()).norm(), 1e-9);
  // Turning the object by +90 about the upward axis moves the cameras by -90
  // about it, as seen from the object.
  const Eigen::Vector3d axisPoint = cell.model_from_world() * cell.axisPoint;
  const Eigen::Matrix3d back = Eigen::AngleAxisd(-M_PI / 2, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  const Eigen::Vector3d turned = cell.camera_pose(cell.calibrationRobot, 90.0).get_translation();
  EXPECT_LT((turned - (axisPoint + back * (home.get_translation() - axisPoint))).norm(), 1e-6);
}

TEST(RobotCellSimulator, FramesHoldWhatBothCamerasSeeFromTheTruePose) {
  const RobotCell cell = default_robot_cell();
  RobotShotOptions options;
  options.depthSigma = 0.f;
  RigidMatrix truePose;
  const Scene scene = ball(cell, 40.f);
  const RangeData frame = robot_range_frame(cell, scene, cell.calibrationRobot, 30.0, options, &truePose);
  ASSERT_GT(frame.get_vn(), 1000);
  EXPECT_EQ(frame.get_rows(), 240);
  EXPECT_EQ(frame.get_cols(), 320);
  // The frame carries the nominal pose; the shot came from a pose the
  // options' error away.
  const RigidMatrix nominal = cell.camera_pose(cell.calibrationRobot, 30.0);
  EXPECT_TRUE(frame.get_rigidMatrix().to_matrix4().isApprox(nominal.to_matrix4()));
  EXPECT_NEAR(pose_deviation(truePose * nominal.inverse(), {}).degrees, options.poseErrorDegrees, 1e-9);
  const Eigen::Vector3f centre = scene.spheres[0].center;
  for (int i = 0; i < frame.get_vn(); ++i) {
    const Eigen::Vector3f p = truePose * frame.get_vCoord(i);
    EXPECT_NEAR((p - centre).norm(), 40.f, 1e-2f) << i;
    EXPECT_GT((p - centre).dot(truePose.transform_normal(frame.get_vNrv(i))), 0.f) << i;
  }
  // A wall that hides the ball from camera 2 alone empties the frame.
  Scene hidden = scene;
  const RigidMatrix second = truePose * nominal.inverse() * cell.second_camera_pose(cell.calibrationRobot, 30.0);
  const Eigen::Vector3f eye2 = second.get_translation().cast<float>();
  const Eigen::Vector3f towards = (centre - eye2).normalized();
  hidden.spheres.push_back({eye2 + 60.f * towards, 20.f});
  const RangeData blocked = robot_range_frame(cell, hidden, cell.calibrationRobot, 30.0, options);
  int onBall = 0;
  for (int i = 0; i < blocked.get_vn(); ++i)
    onBall += std::abs((truePose * blocked.get_vCoord(i) - centre).norm() - 40.f) < 0.1f;
  EXPECT_LT(onBall, frame.get_vn() / 4);
}

// On a ball nothing hides a face from a camera that faces it, so a face is
// measured exactly when both camera centres lie within the incidence limit
// of its normal; a blocker in front of camera 2 alone takes its shadow away.
TEST(RobotCellSimulator, MeasuredFacesFaceBothCamerasAndAreNotHidden) {
  const RobotCell cell = default_robot_cell();
  const Eigen::Vector3f centre = looked_at(cell);
  BaseTriMesh ball = make_lumpy_sphere(centre, 40.f, 0.f, 3);
  Scene scene;
  scene.meshes.emplace_back(ball);
  const Eigen::Vector3f eye1 = (cell.model_from_world() * cell.first.RT.inverse().get_translation()).cast<float>();
  const Eigen::Vector3f eye2 = (cell.model_from_world() * cell.second.RT.inverse().get_translation()).cast<float>();
  const double limit = 70.0;
  const float minCos = static_cast<float>(std::cos(limit * M_PI / 180.0));
  auto faces_towards = [&](int f, const Eigen::Vector3f& eye) {
    const BaseTriFace& t = ball.get_face(f);
    const Eigen::Vector3f a = ball.get_vCoord(t[0]), b = ball.get_vCoord(t[1]), c = ball.get_vCoord(t[2]);
    const Eigen::Vector3f m = (a + b + c) / 3.f;
    return (b - a).cross(c - a).normalized().dot((eye - m).normalized()) >= minCos;
  };

  const std::vector<char> seen = faces_measured(cell, scene, ball, cell.calibrationRobot, 0.0, limit);
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(ball.get_fn()));
  int measured = 0, mismatches = 0;
  for (int f = 0; f < ball.get_fn(); ++f) {
    measured += seen[f];
    mismatches += seen[f] != (faces_towards(f, eye1) && faces_towards(f, eye2));
  }
  EXPECT_GT(measured, ball.get_fn() / 5);
  EXPECT_LT(measured, ball.get_fn() / 2);
  EXPECT_EQ(mismatches, 0);

  // Half a turn of the table: the same rule with both eyes turned half
  // round the upright axis.
  const Eigen::Vector3f axis = (cell.model_from_world() * cell.axisPoint).cast<float>();
  auto half_turn = [&](const Eigen::Vector3f& e) {
    return Eigen::Vector3f(2.f * axis.x() - e.x(), 2.f * axis.y() - e.y(), e.z());
  };
  const std::vector<char> back = faces_measured(cell, scene, ball, cell.calibrationRobot, 180.0, limit);
  int backCount = 0, backMismatches = 0;
  for (int f = 0; f < ball.get_fn(); ++f) {
    backCount += back[f];
    backMismatches += back[f] != (faces_towards(f, half_turn(eye1)) && faces_towards(f, half_turn(eye2)));
  }
  EXPECT_NEAR(backCount, measured, measured / 10);
  EXPECT_LE(backMismatches, 2);  // faces right at the limit, after the float turn

  // A small ball between camera 2 and the object: the faces it shades from
  // camera 2 are no longer measured, the others stay.
  Scene shaded = scene;
  const Eigen::Vector3f towards = (centre - eye2).normalized();
  const float blockerRadius = 8.f;
  const Eigen::Vector3f blocker = eye2 + 150.f * towards;
  shaded.spheres.push_back({blocker, blockerRadius});
  const std::vector<char> shadow = faces_measured(cell, shaded, ball, cell.calibrationRobot, 0.0, limit);
  int lost = 0;
  for (int f = 0; f < ball.get_fn(); ++f) {
    const BaseTriFace& t = ball.get_face(f);
    const Eigen::Vector3f m = (ball.get_vCoord(t[0]) + ball.get_vCoord(t[1]) + ball.get_vCoord(t[2])) / 3.f;
    // Distance of the blocker's centre from the line of sight eye2 -> face.
    const Eigen::Vector3f dir = (m - eye2).normalized();
    const Eigen::Vector3f rel = blocker - eye2;
    const float miss = (rel - rel.dot(dir) * dir).norm();
    const bool inShadow = miss < blockerRadius - 0.5f, clear = miss > blockerRadius + 0.5f;
    if (inShadow) EXPECT_FALSE(shadow[f]) << f;
    if (clear) EXPECT_EQ(shadow[f], seen[f]) << f;
    lost += seen[f] && !shadow[f];
  }
  EXPECT_GT(lost, 0);

  // Deleted faces are never measured.
  BaseTriMesh trimmed = ball;
  for (int f = 0; f < trimmed.get_fn(); ++f) trimmed.set_fDeleted(f, seen[f] != 0);
  const std::vector<char> none = faces_measured(cell, scene, trimmed, cell.calibrationRobot, 0.0, limit);
  EXPECT_EQ(std::count(none.begin(), none.end(), 1), 0);
}

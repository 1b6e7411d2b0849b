// The robot planners' candidate generators against the robot cell simulator,
// which places the cameras by its own formulas (shortest turn of the axis
// onto z, the turntable as an angle-axis turn).
#include <gtest/gtest.h>

#include <cmath>

#include "RobotCellSimulator.h"
#include "RobotViewSpheres.h"

using namespace TavoAlgorithm;

namespace {

Eigen::Vector3d entry(const std::vector<float>& v, std::size_t candidate, int camera) {
  const std::size_t k = 9 * candidate + 3 * static_cast<std::size_t>(camera);
  return Eigen::Vector3d(v[k], v[k + 1], v[k + 2]);
}

double angle_deg(const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  return std::atan2(a.cross(b).norm(), a.dot(b)) * 180.0 / M_PI;
}

// Foot of the axis nearest the world origin, and the sphere radius.
struct Axis {
  Eigen::Vector3d foot;
  double radius;
};
Axis axis_of(const sim::RobotCell& cell) {
  const Eigen::Vector3d& d = cell.axisDirection;
  const Eigen::Vector3d foot = cell.axisPoint - d * cell.axisPoint.dot(d) / d.squaredNorm();
  return {foot, (cell.first.RT.inverse().get_translation() - foot).norm()};
}

bool same(const RigidMatrix& a, const RigidMatrix& b, double tol = 1e-6) {
  return (a.to_matrix4() - b.to_matrix4()).cwiseAbs().maxCoeff() < tol;
}

struct Outputs {
  RobotPath path, firstScan;
  OpenGLCameraParam camera;
};

// Outputs holding one recognisable entry each, to see refusals leave them.
Outputs marked() {
  Outputs o;
  o.path.emplace_back(RigidMatrix(Eigen::Matrix3d::Identity(), Eigen::Vector3d(1, 2, 3)), 77);
  o.firstScan = o.path;
  o.camera.eyes = {9.f};
  o.camera.fovys = {0.5f};
  return o;
}

void expect_untouched(const Outputs& o) {
  ASSERT_EQ(o.path.size(), 1u);
  EXPECT_EQ(o.path[0].second, 77);
  ASSERT_EQ(o.firstScan.size(), 1u);
  EXPECT_EQ(o.firstScan[0].second, 77);
  EXPECT_EQ(o.camera.eyes, std::vector<float>{9.f});
  EXPECT_EQ(o.camera.fovys, std::vector<float>{0.5f});
}

class RobotViewSpheres : public testing::Test {
 protected:
  sim::RobotCell m_cell = sim::default_robot_cell();
  RobotScanInfo m_info = sim::robot_scan_info(m_cell);
  RigidMatrix m_home = m_cell.calibrationRobot;  // S RT1^-1 F^-1
};

}  // namespace

TEST_F(RobotViewSpheres, DefaultSphereHas433CandidatesAndStartsAtHome) {
  Outputs o;
  ASSERT_EQ(get_spheres_robot(0, 120, 10, m_info, o.path, o.camera, o.firstScan), RETVAL_SUCCESS);
  ASSERT_EQ(o.path.size(), 433u);  // 1 + 12 * 36
  EXPECT_EQ(o.camera.eyes.size(), 9u * 433u);
  EXPECT_EQ(o.camera.centers.size(), 9u * 433u);
  EXPECT_EQ(o.camera.ups.size(), 9u * 433u);
  EXPECT_EQ(o.path[0].second, 0);
  EXPECT_EQ(o.path[1].second, 0);
  EXPECT_EQ(o.path[36].second, 350);
  EXPECT_EQ(o.path[37].second, 0);
  const float fovy = static_cast<float>(2.0 * std::atan(480.0 / 1800.0));
  EXPECT_EQ(o.camera.fovys, (std::vector<float>{fovy, fovy, fovy}));
  ASSERT_EQ(o.firstScan.size(), 4u);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(o.firstScan[k].second, 90 * k);
    EXPECT_TRUE(same(o.firstScan[k].first, m_home));
  }
}

TEST_F(RobotViewSpheres, CandidatesPlaceTheCamerasWhereTheCellDoes) {
  Outputs o;
  ASSERT_EQ(get_spheres_robot(0, 120, 10, m_info, o.path, o.camera, o.firstScan), RETVAL_SUCCESS);
  const Axis axis = axis_of(m_cell);
  const Eigen::Vector3d footModel = m_cell.model_from_world() * axis.foot;
  for (std::size_t i = 0; i < o.path.size(); ++i) {
    const auto& [robot, platform] = o.path[i];
    const RigidMatrix cam1 = m_cell.camera_pose(robot, platform);
    const RigidMatrix cam2 = m_cell.second_camera_pose(robot, platform);
    // Camera 1 is entry c2, camera 2 entries c0 and c1; the cell's cameras
    // look down their -z with +y up.
    EXPECT_LT((entry(o.camera.eyes, i, 2) - cam1.get_translation()).norm(), 1e-3) << i;
    EXPECT_LT((entry(o.camera.eyes, i, 0) - cam2.get_translation()).norm(), 1e-3) << i;
    EXPECT_EQ(entry(o.camera.eyes, i, 0), entry(o.camera.eyes, i, 1));
    EXPECT_LT((entry(o.camera.centers, i, 2) - cam1 * Eigen::Vector3d(0, 0, -100)).norm(), 1e-3) << i;
    EXPECT_LT((entry(o.camera.centers, i, 0) - cam2 * Eigen::Vector3d(0, 0, -100)).norm(), 1e-3) << i;
    EXPECT_LT((entry(o.camera.ups, i, 2) - cam1.transform_normal(Eigen::Vector3d(Eigen::Vector3d::UnitY()))).norm(), 1e-5) << i;
    EXPECT_LT((entry(o.camera.ups, i, 0) - cam2.transform_normal(Eigen::Vector3d(Eigen::Vector3d::UnitY()))).norm(), 1e-5) << i;
    // On the sphere about the axis foot, at the elevation from +z.
    const Eigen::Vector3d fromFoot = cam1.get_translation() - footModel;
    EXPECT_NEAR(fromFoot.norm(), axis.radius, 1e-3) << i;
    const int elevation = i == 0 ? 0 : 10 * static_cast<int>((i - 1) / 36 + 1);
    EXPECT_NEAR(angle_deg(fromFoot, Eigen::Vector3d::UnitZ()), elevation, 1e-3) << i;
  }
}

TEST_F(RobotViewSpheres, CameraAlreadyOnTopGivesTheIdentityElevation) {
  const Axis axis = axis_of(m_cell);
  const Eigen::Vector3d up = -m_cell.axisDirection;
  m_cell.first.RT = sim::camera_look_at(axis.foot + 400.0 * up, axis.foot, Eigen::Vector3d::UnitX());
  const RobotScanInfo info = sim::robot_scan_info(m_cell);
  Outputs o;
  ASSERT_EQ(get_spheres_robot(0, 20, 10, info, o.path, o.camera, o.firstScan), RETVAL_SUCCESS);
  ASSERT_EQ(o.path.size(), 1u + 2u * 36u);
  // The axis reaches the cell record in single precision: identity up to it.
  EXPECT_TRUE(same(o.path[0].first, info.get_sum_mat() * m_cell.first.RT.inverse() * m_cell.fixture.inverse(), 1e-3));
  // Camera on the axis: the sphere still opens by the elevation.
  const Eigen::Vector3d foot = m_cell.model_from_world() * axis.foot;
  EXPECT_NEAR(angle_deg(entry(o.camera.eyes, 1, 2) - foot, Eigen::Vector3d::UnitZ()), 10.0, 1e-3);
}

TEST_F(RobotViewSpheres, PlatformAnglesStopBelow360) {
  Outputs o;
  ASSERT_EQ(get_spheres_robot(0, 120, 7, m_info, o.path, o.camera, o.firstScan), RETVAL_SUCCESS);
  // Elevations 0, 7, ..., 119; platform angles 0, 7, ..., 357.
  EXPECT_EQ(o.path.size(), 1u + 17u * 52u);
  EXPECT_EQ(o.path[52].second, 357);
  EXPECT_EQ(o.path[53].second, 0);
  // A first elevation past the last gives no candidate.
  ASSERT_EQ(get_spheres_robot(50, 40, 10, m_info, o.path, o.camera, o.firstScan), RETVAL_SUCCESS);
  EXPECT_TRUE(o.path.empty());
  EXPECT_TRUE(o.camera.eyes.empty());
}

TEST_F(RobotViewSpheres, RefusalsLeaveEveryOutputAlone) {
  sim::RobotCell noAxis = m_cell;
  noAxis.axisDirection = Eigen::Vector3d::Zero();
  const RobotScanInfo badInfo = sim::robot_scan_info(noAxis);
  const Eigen::Vector2f range(20.f, 0.f);
  Outputs o = marked();
  EXPECT_EQ(get_spheres_robot(0, 141, 10, m_info, o.path, o.camera, o.firstScan), RETVAL_FAILED);
  EXPECT_EQ(get_spheres_robot(0, 120, 0, m_info, o.path, o.camera, o.firstScan), RETVAL_FAILED);
  EXPECT_EQ(get_spheres_robot(0, 120, -10, m_info, o.path, o.camera, o.firstScan), RETVAL_FAILED);
  EXPECT_EQ(get_spheres_robot(0, 120, 10, badInfo, o.path, o.camera, o.firstScan), RETVAL_FAILED);
  EXPECT_EQ(get_spheres_robot_large_format(0, 120, 10, 100.f, 0.f, m_info, o.path, o.camera, o.firstScan),
            RETVAL_FAILED);
  EXPECT_EQ(get_spheres_robot_large_format(0, 120, 10, NAN, 50.f, m_info, o.path, o.camera, o.firstScan),
            RETVAL_FAILED);
  EXPECT_EQ(get_all_spheres_robot_scan_shoes(0, 141, 10, 5.f, m_info, range, o.path, o.firstScan, o.camera),
            RETVAL_FAILED);
  // A shift step under 1 mm would never move the truncated shift.
  EXPECT_EQ(get_all_spheres_robot_scan_shoes(0, 120, 10, 0.5f, m_info, range, o.path, o.firstScan, o.camera),
            RETVAL_FAILED);
  expect_untouched(o);
  // The large-format sphere has no limit on the last elevation.
  EXPECT_EQ(get_spheres_robot_large_format(0, 150, 10, 0.f, 0.f, m_info, o.path, o.camera, o.firstScan),
            RETVAL_SUCCESS);
}

TEST_F(RobotViewSpheres, LargeFormatWithoutSpanIsTheStandardSphere) {
  Outputs a, b;
  ASSERT_EQ(get_spheres_robot(0, 120, 10, m_info, a.path, a.camera, a.firstScan), RETVAL_SUCCESS);
  ASSERT_EQ(get_spheres_robot_large_format(0, 120, 10, 0.f, 25.f, m_info, b.path, b.camera, b.firstScan),
            RETVAL_SUCCESS);
  ASSERT_EQ(a.path.size(), b.path.size());
  for (std::size_t i = 0; i < a.path.size(); ++i) {
    EXPECT_TRUE(same(a.path[i].first, b.path[i].first)) << i;
    EXPECT_EQ(a.path[i].second, b.path[i].second);
  }
  EXPECT_EQ(a.camera.eyes, b.camera.eyes);
  EXPECT_EQ(a.firstScan.size(), b.firstScan.size());
}

TEST_F(RobotViewSpheres, LargeFormatSpheresShareTheSpanWithoutOverlap) {
  Outputs o;
  ASSERT_EQ(get_spheres_robot_large_format(10, 130, 10, 100.f, 40.f, m_info, o.path, o.camera, o.firstScan),
            RETVAL_SUCCESS);
  const Axis axis = axis_of(m_cell);
  const Eigen::Vector3d up = -m_cell.axisDirection;
  const std::vector<double> offsets = {0.0, 40.0, 80.0, 100.0};
  // Far end first, four platform angles each, the home pose moved up the axis.
  ASSERT_EQ(o.firstScan.size(), 16u);
  for (int k = 0; k < 4; ++k)
    for (int turn = 0; turn < 4; ++turn) {
      const auto& [pose, angle] = o.firstScan[static_cast<std::size_t>(4 * k + turn)];
      EXPECT_EQ(angle, 90 * turn);
      const RigidMatrix shift(Eigen::Matrix3d::Identity(), offsets[static_cast<std::size_t>(3 - k)] * up);
      EXPECT_TRUE(same(pose, m_info.get_sum_mat() * shift * m_cell.first.RT.inverse() * m_cell.fixture.inverse()));
    }
  // Every view lies on the sphere of one centre and outside its neighbours'.
  ASSERT_FALSE(o.path.empty());
  const Eigen::Vector3d footModel = m_cell.model_from_world() * axis.foot;
  const Eigen::Vector3d upModel = m_cell.model_from_world().transform_normal(Eigen::Vector3d(up));
  for (std::size_t i = 0; i < o.path.size(); ++i) {
    const Eigen::Vector3d eye = m_cell.camera_pose(o.path[i].first, o.path[i].second).get_translation();
    EXPECT_LT((eye - entry(o.camera.eyes, i, 2)).norm(), 1e-3);
    int own = -1;
    for (int k = 0; k < 4; ++k)
      if (std::abs((eye - (footModel + offsets[k] * upModel)).norm() - axis.radius) < 1e-3) own = k;
    ASSERT_GE(own, 0) << i;
    for (int k : {own - 1, own + 1})
      if (k >= 0 && k < 4) EXPECT_GE((eye - (footModel + offsets[k] * upModel)).norm(), axis.radius - 1e-3) << i;
  }
}

TEST_F(RobotViewSpheres, ShoeSweepCopiesEveryTiltSideways) {
  Outputs plain, o;
  ASSERT_EQ(get_spheres_robot(0, 120, 10, m_info, plain.path, plain.camera, plain.firstScan), RETVAL_SUCCESS);
  ASSERT_EQ(get_all_spheres_robot_scan_shoes(0, 120, 10, 10.f, m_info, Eigen::Vector2f(25.f, 99.f), o.path,
                                             o.firstScan, o.camera),
            RETVAL_SUCCESS);
  // Shifts 0, +-10, +-20: five copies of each of the 12 tilted rings.
  ASSERT_EQ(o.path.size(), 1u + 12u * 5u * 36u);
  const Eigen::Vector3d plainEye = entry(plain.camera.eyes, 1, 2);
  const Eigen::Vector3d eyes[3] = {entry(o.camera.eyes, 1, 2), entry(o.camera.eyes, 1 + 36, 2),
                                   entry(o.camera.eyes, 1 + 72, 2)};
  EXPECT_LT((eyes[0] - plainEye).norm(), 1e-4);
  EXPECT_NEAR((eyes[1] - plainEye).norm(), 10.0, 1e-3);
  EXPECT_LT((eyes[1] + eyes[2] - 2.0 * plainEye).norm(), 1e-3);  // +10 and -10
  EXPECT_NEAR((eyes[1] - plainEye).dot(m_cell.model_from_world().transform_normal(Eigen::Vector3d(-m_cell.axisDirection))), 0.0,
              1e-3);
  // Sweep of the top view from -25: shifts -25, -15, -5, 5, 15 (toward zero
  // truncation), as elevation poses at platform 0.
  ASSERT_EQ(o.firstScan.size(), 5u);
  for (std::size_t k = 0; k < 5; ++k) {
    EXPECT_EQ(o.firstScan[k].second, 0);
    if (k > 0)
      EXPECT_NEAR((o.firstScan[k].first.get_translation() - o.firstScan[k - 1].first.get_translation()).norm(), 10.0,
                  1e-4);
  }
  // No sweep: only the view on the axis is left.
  ASSERT_EQ(get_all_spheres_robot_scan_shoes(0, 120, 10, 10.f, m_info, Eigen::Vector2f(0.f, 0.f), o.path,
                                             o.firstScan, o.camera),
            RETVAL_SUCCESS);
  EXPECT_EQ(o.path.size(), 1u);
  EXPECT_TRUE(o.firstScan.empty());
}

TEST_F(RobotViewSpheres, AxisAlongZTurnsTheModelUpright) {
  for (const double sign : {-1.0, 1.0}) {
    sim::RobotCell cell = m_cell;
    cell.axisDirection = Eigen::Vector3d(0, 0, sign);
    const Eigen::Vector3d foot = axis_of(cell).foot;
    cell.first.RT = sim::camera_look_at(foot + Eigen::Vector3d(300, 0, -sign * 250), foot, Eigen::Vector3d(0, 0, -sign));
    const Axis axis = axis_of(cell);
    Outputs o;
    ASSERT_EQ(get_spheres_robot(0, 120, 10, sim::robot_scan_info(cell), o.path, o.camera, o.firstScan),
              RETVAL_SUCCESS);
    // Any turn that takes -D onto +z flips z for an axis pointing up: the
    // view on the axis must lie a radius above the foot in the model's +z.
    const double footZ = sign < 0 ? axis.foot.z() : -axis.foot.z();
    EXPECT_NEAR(entry(o.camera.eyes, 0, 2).z() - footZ, axis.radius, 1e-3) << sign;
  }
}

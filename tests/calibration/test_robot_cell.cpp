#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "ComputeRT.h"
#include "RobotAxisCalibHelper.h"
#include "StereoRigSimulator.h"
#include "calibration/StereoTriangulation.h"
#include "calibration/TurntableFit.h"

using namespace TavoAlgorithm;
using Camera = TavoRobotAlgorithm::CameraCalibrateParam;

namespace {

constexpr double kRadToDeg = 180.0 / 3.14159265358979323846;

RigidMatrix pose(double ax, double ay, double az, const Eigen::Vector3d& t) {
  const Eigen::Matrix3d r = (Eigen::AngleAxisd(ax, Eigen::Vector3d::UnitX()) *
                             Eigen::AngleAxisd(ay, Eigen::Vector3d::UnitY()) *
                             Eigen::AngleAxisd(az, Eigen::Vector3d::UnitZ())).toRotationMatrix();
  return RigidMatrix(r, t);
}

Camera read_camera(const sim::StereoCamera& c, const std::string& name) {
  const std::string path = ::testing::TempDir() + std::to_string(::getpid()) + "_" + name;
  EXPECT_TRUE(sim::write_camera_file(path, c));
  Camera cam;
  cam.readParam(path.c_str());
  return cam;
}

double angle_deg(const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  return std::atan2(a.cross(b).norm(), a.dot(b)) * kRadToDeg;
}

struct Shots {
  std::vector<Image<1, unsigned char>> first, second;
  std::vector<double> angles;
};

Shots turntable_shots(const sim::TurntableRig& rig, int count, const sim::BoardRenderOptions& opt) {
  Shots s;
  for (int k = 0; k < count; ++k) {
    const double a = -35.0 + 10.0 * k;
    s.angles.push_back(a);
    s.first.push_back(sim::render_board_view(rig.first, rig.board_pose(a), opt));
    s.second.push_back(sim::render_board_view(rig.second, rig.board_pose(a), opt));
  }
  return s;
}

// Truth of a rig shared by the end-to-end cases.
class TurntableRigTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rig_ = new sim::TurntableRig(sim::default_turntable_rig());
    sim::BoardRenderOptions opt;
    opt.blurSigma = 0.7;
    opt.noiseSigma = 1.0;
    shots_ = new Shots(turntable_shots(*rig_, 8, opt));
  }
  static void TearDownTestSuite() {
    delete rig_;
    delete shots_;
  }
  static sim::TurntableRig* rig_;
  static Shots* shots_;
};
sim::TurntableRig* TurntableRigTest::rig_ = nullptr;
Shots* TurntableRigTest::shots_ = nullptr;

}  // namespace

TEST(RobotScanInfo, SumMatrixComposesRobotFixtureAndFirstCamera) {
  Camera c1, c2;
  c1.RT = pose(0.1, -0.2, 0.3, {10, 20, 30});
  c2.RT = pose(-0.3, 0.1, 0.0, {-5, 0, 2});
  const RobotScanInfo plain(c1, c2, RigidMatrix::identity(), RigidMatrix::identity());
  EXPECT_TRUE(plain.get_sum_mat().to_matrix4().isApprox(c1.RT.to_matrix4(), 1e-15));

  const RigidMatrix cr = pose(0.5, 0.2, -0.1, {100, -50, 700}), f = pose(0.0, 0.3, 0.2, {0, 0, 120});
  RobotScanInfo info(c1, c2, cr, f);
  EXPECT_TRUE(info.get_sum_mat().to_matrix4().isApprox((cr.to_matrix4() * f.to_matrix4() * c1.RT.to_matrix4()), 1e-12));
  EXPECT_EQ(info.get_fixture_mat().to_matrix4(), f.to_matrix4());
  EXPECT_EQ(info.get_calibration_robot_mat().to_matrix4(), cr.to_matrix4());
  Camera o1, o2;
  info.get_camera_ccf(o1, o2);
  EXPECT_EQ(o2.RT.to_matrix4(), c2.RT.to_matrix4());
  info.set_axis_calibration({0, 0, 1}, {1, 2, 3});
  const RobotScanInfo copy = info;
  Eigen::Vector3f d, p;
  copy.get_axis_info(d, p);
  EXPECT_EQ(d, Eigen::Vector3f(0, 0, 1));
  EXPECT_EQ(p, Eigen::Vector3f(1, 2, 3));
}

TEST(StereoTriangulation, GapThresholdUnseenMarksAndConsoleLines) {
  // Camera 1 at the origin, camera 2 shifted by (100, gap, 0): the ray of
  // pixel (cx - 250) of camera 2 crosses camera 1's axis at z = 400 with the
  // rays exactly `gap` apart.
  Camera c1, c2;
  c1.fc[0] = c1.fc[1] = c2.fc[0] = c2.fc[1] = 1000.0;
  c1.cc[0] = c2.cc[0] = 500.0;
  c1.cc[1] = c2.cc[1] = 400.0;
  const auto run = [&](double gap, const std::vector<Eigen::Vector2d>& m1, const std::vector<Eigen::Vector2d>& m2) {
    c2.RT = RigidMatrix(Eigen::Matrix3d::Identity(), Eigen::Vector3d(-100.0, -gap, 0.0));
    std::vector<Eigen::Vector3f> pts;
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(calibration::triangulate_marks(c1, c2, m1, m2, pts));
    return std::make_pair(pts, ::testing::internal::GetCapturedStdout());
  };
  const std::vector<Eigen::Vector2d> m1 = {{500, 400}, {-1, -1}, {500, 400}};
  const std::vector<Eigen::Vector2d> m2 = {{250, 400}, {250, 400}, {250, -3}};

  auto [pts, out] = run(0.1, m1, m2);
  ASSERT_EQ(pts.size(), 3u);
  EXPECT_TRUE(pts[0].isApprox(Eigen::Vector3f(0.f, 0.05f, 400.f), 1e-6f));
  EXPECT_EQ(pts[1], Eigen::Vector3f::Zero());
  EXPECT_EQ(pts[2], Eigen::Vector3f::Zero());
  // Unseen marks are neither rejected nor averaged.
  EXPECT_EQ(out, "> 0.1 count\xA3\xBA" "0\naverage image error\xA3\xBA" "0.1\n");

  std::tie(pts, out) = run(0.1000001, m1, m2);
  EXPECT_EQ(pts[0], Eigen::Vector3f::Zero());
  EXPECT_EQ(out, "> 0.1 count\xA3\xBA" "1\naverage image error\xA3\xBA" "0\n");

  std::vector<Eigen::Vector3f> none = {Eigen::Vector3f::Ones()};
  EXPECT_FALSE(calibration::triangulate_marks(c1, c2, m1, {m2[0]}, none));
  EXPECT_TRUE(none.empty());
}

TEST(TurntableFit, AxisAndMotionsFromExactMarks) {
  const Eigen::Vector3d dir = Eigen::Vector3d(0.1, 1.0, -0.2).normalized(), pt(30, -5, 420);
  std::vector<std::vector<Eigen::Vector3f>> lists;
  const std::vector<Eigen::Vector3d> marks = {{0, 0, 400}, {50, 10, 410}, {-40, 30, 390}, {10, -60, 405}};
  for (int k = 0; k < 5; ++k) {
    RigidMatrix m;
    ComputeRT::get_rotate_matrix(pt, dir, 12.0 * k, m);
    std::vector<Eigen::Vector3f> l;
    for (const auto& p : marks) l.push_back((m * p).cast<float>());
    if (k == 2) l[3].setZero();  // not reconstructed in one list: mark 3 leaves the axis fit
    lists.push_back(l);
  }
  lists.insert(lists.begin() + 1, std::vector<Eigen::Vector3f>{});  // a pair without points is skipped
  Eigen::Vector3d d, p;
  ASSERT_TRUE(calibration::fit_turntable_axis(lists, d, p));
  EXPECT_LT(angle_deg(d, dir), 1e-3);
  EXPECT_LT((p - pt).cross(dir).norm(), 1e-3);

  const std::vector<RigidMatrix> motions = calibration::fit_turntable_motions(lists);
  ASSERT_EQ(motions.size(), lists.size());
  EXPECT_EQ(motions[0].to_matrix4(), Eigen::Matrix4d::Identity());
  EXPECT_EQ(motions[1].to_matrix4(), Eigen::Matrix4d::Identity());  // nothing shared
  for (int k = 2; k < 6; ++k) {
    const Eigen::AngleAxisd aa(motions[k].get_rotation());
    EXPECT_NEAR(aa.angle() * kRadToDeg, 12.0 * (k - 1), 1e-3);  // carries list k back onto list 0
  }
  EXPECT_TRUE(calibration::fit_turntable_motions({}).empty());
  EXPECT_FALSE(calibration::fit_turntable_axis({{}, {}}, d, p));
}

TEST_F(TurntableRigTest, AxisCalibrationAndTurntableMotionsFromBoardImages) {
  const Camera c1 = read_camera(rig_->first, "rig_cam1.txt"), c2 = read_camera(rig_->second, "rig_cam2.txt");
  const RigidMatrix cr = pose(0.2, -0.1, 0.4, {300, 100, 900}), f = pose(0.05, 0.1, -0.2, {10, -20, 150});
  const RigidMatrix robot = pose(-0.3, 0.2, 0.1, {500, 200, 800});
  RobotScanInfo info(c1, c2, cr, f);
  RobotAxisCalibHelper helper;

  ::testing::internal::CaptureStdout();
  helper.robot_axis_calibration(robot, shots_->first, shots_->second, info);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("point size: 63,63"), std::string::npos);

  // Truth: the rig's axis in camera 1's frame, moved by the cell transform.
  const RigidMatrix m = (f.inverse() * robot.inverse() * info.get_sum_mat()).inverse();
  const Eigen::Vector3d wantDir = m.transform_normal(rig_->first.RT.transform_normal(rig_->axisDirection));
  const Eigen::Vector3d wantPt = m * (rig_->first.RT * rig_->axisPoint);
  Eigen::Vector3f d, p;
  info.get_axis_info(d, p);
  const double dirErr = angle_deg(d.cast<double>(), wantDir);
  const double posErr = (p.cast<double>() - wantPt).cross(wantDir).norm();
  std::printf("axis direction error %.4f deg, position error %.4f mm\n", dirErr, posErr);
  EXPECT_LT(dirErr, 0.05);
  EXPECT_LT(posErr, 0.1);

  std::vector<RigidMatrix> rts;
  ::testing::internal::CaptureStdout();
  helper.robot_get_delta_rt(info, shots_->first, shots_->second, rts);
  ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(rts.size(), shots_->angles.size());
  EXPECT_EQ(rts[0].to_matrix4(), Eigen::Matrix4d::Identity());
  double worst = 0.0;
  for (std::size_t k = 1; k < rts.size(); ++k) {
    const Eigen::AngleAxisd aa(rts[k].get_rotation());
    // Pair k's marks go back onto pair 0's: a turn by -(a_k - a_0) about the axis.
    const double signedAngle = aa.angle() * kRadToDeg * (aa.axis().dot(wantDir) > 0 ? 1.0 : -1.0);
    worst = std::max(worst, std::abs(signedAngle + (shots_->angles[k] - shots_->angles[0])));
  }
  std::printf("turntable angle error (worst of %zu) %.4f deg\n", rts.size() - 1, worst);
  EXPECT_LT(worst, 0.05);
}

TEST(RobotRebuildPts, TriangulatedMarksMatchTheBoardAt300To500mm) {
  sim::TurntableRig rig = sim::default_turntable_rig();
  const Camera c1 = read_camera(rig.first, "near_cam1.txt"), c2 = read_camera(rig.second, "near_cam2.txt");
  const RobotScanInfo info(c1, c2, RigidMatrix::identity(), RigidMatrix::identity());
  RobotAxisCalibHelper helper;
  sim::BoardRenderOptions opt;
  opt.blurSigma = 0.7;
  opt.noiseSigma = 1.0;
  std::vector<Image<1, unsigned char>> first, second;
  std::vector<RigidMatrix> poses;
  // Board centre at 300, 400 and 500 mm from the cameras' midpoint, tilted.
  for (double z : {-105.0, -5.0, 95.0}) {
    const RigidMatrix b = pose(0.2, -0.25, 0.05, {-100.0, -75.0, z});
    poses.push_back(b);
    first.push_back(sim::render_board_view(rig.first, b, opt));
    second.push_back(sim::render_board_view(rig.second, b, opt));
  }
  std::vector<std::vector<Eigen::Vector3f>> pts;
  ::testing::internal::CaptureStdout();
  helper.robot_rebuild_pts(info, first, second, pts);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("> 0.1 count\xA3\xBA" "0\n"), std::string::npos) << out;
  ASSERT_EQ(pts.size(), 3u);
  for (std::size_t k = 0; k < pts.size(); ++k) {
    ASSERT_EQ(pts[k].size(), 63u);
    const std::vector<Eigen::Vector3d> truth = sim::board_marks_world(poses[k]);
    double worst = 0.0;
    for (std::size_t i = 0; i < truth.size(); ++i)
      worst = std::max(worst, (pts[k][i].cast<double>() - rig.first.RT * truth[i]).norm());
    std::printf("board %zu: worst triangulation error %.4f mm\n", k, worst);
    EXPECT_LT(worst, 0.1);
  }
}

TEST(RobotRebuildPts, BadInputGivesEmptyResults) {
  sim::TurntableRig rig = sim::default_turntable_rig();
  const Camera c1 = read_camera(rig.first, "bad_cam1.txt"), c2 = read_camera(rig.second, "bad_cam2.txt");
  RobotScanInfo info(c1, c2, RigidMatrix::identity(), RigidMatrix::identity());
  info.set_axis_calibration({1, 0, 0}, {7, 8, 9});
  RobotAxisCalibHelper helper;
  const Image<1, unsigned char> board1 = sim::render_board_view(rig.first, rig.board_pose(0));
  const Image<1, unsigned char> board2 = sim::render_board_view(rig.second, rig.board_pose(0));
  const Image<1, unsigned char> blank(800, 600, 200), tiny(3, 2, 0), empty;
  std::vector<std::vector<Eigen::Vector3f>> pts;
  std::vector<RigidMatrix> rts;

  ::testing::internal::CaptureStdout();
  helper.robot_rebuild_pts(info, {}, {}, pts);
  EXPECT_TRUE(pts.empty());
  helper.robot_rebuild_pts(info, {board1, board1}, {board2}, pts);  // sequences of different lengths
  EXPECT_TRUE(pts.empty());
  helper.robot_get_delta_rt(info, {}, {}, rts);
  EXPECT_TRUE(rts.empty());
  helper.robot_axis_calibration(RigidMatrix::identity(), {}, {}, info);
  // Board in one image only, or none, or degenerate images: no points.
  helper.robot_rebuild_pts(info, {board1, blank, tiny, empty}, {blank, blank, board2, board2}, pts);
  const std::string lines = ::testing::internal::GetCapturedStdout();
  // Only the pair without marks in either image has equal counts.
  EXPECT_EQ(lines.find("point size: "), lines.find("point size: 0,0\n")) << lines;
  EXPECT_EQ(lines.find("point size: ", lines.find("point size: ") + 1), std::string::npos) << lines;
  ASSERT_EQ(pts.size(), 4u);
  EXPECT_TRUE(pts[0].empty());
  EXPECT_TRUE(pts[2].empty());
  EXPECT_TRUE(pts[3].empty());
  // No marks in both: equal (zero) counts, nothing to triangulate.
  EXPECT_TRUE(pts[1].empty());

  // One pair: a single identity.
  ::testing::internal::CaptureStdout();
  helper.robot_get_delta_rt(info, {board1}, {board2}, rts);
  ASSERT_EQ(rts.size(), 1u);
  EXPECT_EQ(rts[0].to_matrix4(), Eigen::Matrix4d::Identity());

  // Camera file of another rig: every ray pair misses.
  Camera moved = c2;
  moved.RT.set_translation(c2.RT.get_translation() + Eigen::Vector3d(0.0, 5.0, 0.0));
  const RobotScanInfo wrong(c1, moved, RigidMatrix::identity(), RigidMatrix::identity());
  helper.robot_rebuild_pts(wrong, {board1}, {board2}, pts);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("> 0.1 count\xA3\xBA" "63\n"), std::string::npos) << out;
  ASSERT_EQ(pts.size(), 1u);
  for (const auto& p : pts[0]) EXPECT_EQ(p, Eigen::Vector3f::Zero());
  // Nothing to fit: the axis stays.
  RobotScanInfo wrongCopy = wrong;
  wrongCopy.set_axis_calibration({1, 0, 0}, {7, 8, 9});
  ::testing::internal::CaptureStdout();
  helper.robot_axis_calibration(RigidMatrix::identity(), {board1, board1}, {board2, board2}, wrongCopy);
  ::testing::internal::GetCapturedStdout();
  Eigen::Vector3f d, p;
  wrongCopy.get_axis_info(d, p);
  EXPECT_EQ(d, Eigen::Vector3f(1, 0, 0));
  EXPECT_EQ(p, Eigen::Vector3f(7, 8, 9));
  info.get_axis_info(d, p);
  EXPECT_EQ(d, Eigen::Vector3f(1, 0, 0));
  EXPECT_EQ(p, Eigen::Vector3f(7, 8, 9));
}

TEST(TwoPicError, BoardViewsCompareThroughTheirMarks) {
  sim::TurntableRig rig = sim::default_turntable_rig();
  const Image<1, unsigned char> a = sim::render_board_view(rig.first, rig.board_pose(0));
  const Image<1, unsigned char> b = sim::render_board_view(rig.first, rig.board_pose(3));
  double err = -1.0;
  ASSERT_EQ(compute_two_pic_error(a, a, err), RETVAL_SUCCESS);
  EXPECT_LT(err, 1e-3);
  ASSERT_EQ(compute_two_pic_error(a, b, err), RETVAL_SUCCESS);
  EXPECT_GT(err, 0.0);
  EXPECT_LT(err, 5.0);
  err = -1.0;
  EXPECT_EQ(compute_two_pic_error(a, Image<1, unsigned char>(800, 600, 200), err), RETVAL_FAILED);
  EXPECT_EQ(err, -1.0);
}

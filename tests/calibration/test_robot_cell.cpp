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
using Images = std::vector<Image<1, unsigned char>>;
using Points = std::vector<std::vector<Eigen::Vector3f>>;

namespace {

constexpr double kRadToDeg = 180.0 / 3.14159265358979323846;
const char* const kColon = "\xA3\xBA";  // full-width colon of the GBK code page

RigidMatrix pose(double ax, double ay, double az, const Eigen::Vector3d& t) {
  const Eigen::Matrix3d r = (Eigen::AngleAxisd(ax, Eigen::Vector3d::UnitX()) *
                             Eigen::AngleAxisd(ay, Eigen::Vector3d::UnitY()) *
                             Eigen::AngleAxisd(az, Eigen::Vector3d::UnitZ())).toRotationMatrix();
  return RigidMatrix(r, t);
}

template <class F>
std::string console(F&& f) {
  ::testing::internal::CaptureStdout();
  f();
  return ::testing::internal::GetCapturedStdout();
}

std::string gap_lines(int rejected, const char* mean) {
  return std::string("> 0.1 count") + kColon + std::to_string(rejected) + "\naverage image error" + kColon + mean +
         "\n";
}

double angle_deg(const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  return std::atan2(a.cross(b).norm(), a.dot(b)) * kRadToDeg;
}

// The synthetic rig with its cameras read back from the files it writes.
struct Rig {
  sim::TurntableRig truth = sim::default_turntable_rig();
  Camera c1 = read_camera(truth.first, "cam1.txt"), c2 = read_camera(truth.second, "cam2.txt");
  Image<1, unsigned char> view(const sim::StereoCamera& c, double angle) const {
    return sim::render_board_view(c, truth.board_pose(angle));
  }
  // Blurred, noisy views of the board at the given poses by both cameras.
  void render(const std::vector<RigidMatrix>& poses, Images& first, Images& second) const {
    sim::BoardRenderOptions noisy;
    noisy.blurSigma = 0.7;
    noisy.noiseSigma = 1.0;
    for (const RigidMatrix& p : poses) {
      first.push_back(sim::render_board_view(truth.first, p, noisy));
      second.push_back(sim::render_board_view(truth.second, p, noisy));
    }
  }
  static Camera read_camera(const sim::StereoCamera& c, const std::string& name) {
    const std::string path = ::testing::TempDir() + std::to_string(::getpid()) + "_" + name;
    EXPECT_TRUE(sim::write_camera_file(path, c));
    Camera cam;
    cam.readParam(path.c_str());
    return cam;
  }
};

const Rig& rig() {
  static const Rig r;
  return r;
}

}  // namespace

TEST(RobotScanInfo, SumMatrixComposesRobotFixtureAndFirstCamera) {
  Camera c1, c2;  // camera 2 plays no part
  c1.RT = pose(0.1, -0.2, 0.3, {10, 20, 30});
  const RobotScanInfo plain(c1, c2, RigidMatrix::identity(), RigidMatrix::identity());
  EXPECT_TRUE(plain.get_sum_mat().to_matrix4().isApprox(c1.RT.to_matrix4(), 1e-15));
  const RigidMatrix cr = pose(0.5, 0.2, -0.1, {100, -50, 700}), f = pose(0.0, 0.3, 0.2, {0, 0, 120});
  const RobotScanInfo info(c1, c2, cr, f);
  EXPECT_TRUE(info.get_sum_mat().to_matrix4().isApprox(cr.to_matrix4() * f.to_matrix4() * c1.RT.to_matrix4(), 1e-12));
}

TEST(StereoTriangulation, GapThresholdUnseenMarksAndConsoleLines) {
  // Camera 2 shifted by (100, gap, 0): the ray of pixel (cx - 250) of camera 2
  // crosses camera 1's axis at z = 400 with the rays exactly `gap` apart.
  Camera c1, c2;
  c1.fc[0] = c1.fc[1] = c2.fc[0] = c2.fc[1] = 1000.0;
  c1.cc[0] = c2.cc[0] = 500.0;
  c1.cc[1] = c2.cc[1] = 400.0;
  const std::vector<Eigen::Vector2d> m1 = {{500, 400}, {-1, -1}, {500, 400}}, m2 = {{250, 400}, {250, 400}, {250, -3}};
  std::vector<Eigen::Vector3f> pts;
  const auto run = [&](double gap) {
    c2.RT = RigidMatrix(Eigen::Matrix3d::Identity(), Eigen::Vector3d(-100.0, -gap, 0.0));
    return console([&] { EXPECT_TRUE(calibration::triangulate_marks(c1, c2, m1, m2, pts)); });
  };
  // Unseen marks are zero, neither rejected nor averaged.
  EXPECT_EQ(run(0.1), gap_lines(0, "0.1"));
  ASSERT_EQ(pts.size(), 3u);
  EXPECT_TRUE(pts[0].isApprox(Eigen::Vector3f(0.f, 0.05f, 400.f), 1e-6f));
  EXPECT_TRUE(pts[1].isZero(0.f) && pts[2].isZero(0.f));
  EXPECT_EQ(run(0.1000001), gap_lines(1, "0"));
  EXPECT_EQ(pts[0], Eigen::Vector3f::Zero());

  std::vector<Eigen::Vector3f> none = {Eigen::Vector3f::Ones()};
  EXPECT_FALSE(calibration::triangulate_marks(c1, c2, m1, {m2[0]}, none));
  EXPECT_TRUE(none.empty());
}

TEST(TurntableFit, AxisFromExactMarksSkipsMissingMarksAndEmptyLists) {
  const Eigen::Vector3d dir = Eigen::Vector3d(0.1, 1.0, -0.2).normalized(), pt(30, -5, 420);
  const Eigen::Vector3d marks[] = {{0, 0, 400}, {50, 10, 410}, {-40, 30, 390}, {10, -60, 405}};
  Points lists(5);
  for (int k = 0; k < 5; ++k) {
    RigidMatrix m;
    ComputeRT::get_rotate_matrix(pt, dir, 12.0 * k, m);
    for (const auto& p : marks) lists[k].push_back((m * p).cast<float>());
  }
  lists[2][3].setZero();  // not reconstructed in one list: mark 3 leaves the axis fit
  lists.insert(lists.begin() + 1, std::vector<Eigen::Vector3f>{});  // a pair without points is skipped
  Eigen::Vector3d d, p;
  ASSERT_TRUE(calibration::fit_turntable_axis(lists, d, p));
  EXPECT_LT(angle_deg(d, dir), 1e-3);
  EXPECT_LT((p - pt).cross(dir).norm(), 1e-3);
  EXPECT_FALSE(calibration::fit_turntable_axis({{}, {}}, d, p));
}

TEST(RobotAxisCalibHelper, AxisAndTurntableMotionsFromBoardImages) {
  const Rig& r = rig();
  const RigidMatrix cr = pose(0.2, -0.1, 0.4, {300, 100, 900}), f = pose(0.05, 0.1, -0.2, {10, -20, 150});
  const RigidMatrix robot = pose(-0.3, 0.2, 0.1, {500, 200, 800});
  Images first, second;
  std::vector<double> angles;
  std::vector<RigidMatrix> poses;
  for (int k = 0; k < 8; ++k) poses.push_back(r.truth.board_pose(angles.emplace_back(-35.0 + 10.0 * k)));
  r.render(poses, first, second);
  RobotScanInfo info(r.c1, r.c2, cr, f);
  RobotAxisCalibHelper helper;
  EXPECT_NE(console([&] { helper.robot_axis_calibration(robot, first, second, info); }).find("point size: 63,63"),
            std::string::npos);

  // Truth: the rig's axis in camera 1's frame, moved by the cell transform.
  const RigidMatrix m = (f.inverse() * robot.inverse() * info.get_sum_mat()).inverse();
  const Eigen::Vector3d wantDir = m.transform_normal(r.truth.first.RT.transform_normal(r.truth.axisDirection));
  const Eigen::Vector3d wantPt = m * (r.truth.first.RT * r.truth.axisPoint);
  Eigen::Vector3f d, p;
  info.get_axis_info(d, p);
  const double dirErr = angle_deg(d.cast<double>(), wantDir);
  const double posErr = (p.cast<double>() - wantPt).cross(wantDir).norm();
  std::printf("axis from %zu positions: direction error %.4f deg, position error %.4f mm\n", angles.size(), dirErr,
              posErr);
  EXPECT_LT(dirErr, 0.05);
  EXPECT_LT(posErr, 0.1);

  std::vector<RigidMatrix> rts;
  console([&] { helper.robot_get_delta_rt(info, first, second, rts); });
  ASSERT_EQ(rts.size(), angles.size());
  EXPECT_EQ(rts[0].to_matrix4(), Eigen::Matrix4d::Identity());
  double worst = 0.0;
  for (std::size_t k = 1; k < rts.size(); ++k) {
    // Pair k's marks go back onto pair 0's: a turn by -(a_k - a_0) about the axis.
    const Eigen::AngleAxisd aa(rts[k].get_rotation());
    const double signedAngle = aa.angle() * kRadToDeg * (aa.axis().dot(wantDir) > 0 ? 1.0 : -1.0);
    worst = std::max(worst, std::abs(signedAngle + (angles[k] - angles[0])));
  }
  std::printf("turntable angle error (worst of %zu) %.4f deg\n", rts.size() - 1, worst);
  EXPECT_LT(worst, 0.05);
}

TEST(RobotAxisCalibHelper, TriangulatedMarksMatchTheBoardAt300To500mm) {
  const Rig& r = rig();
  const RobotScanInfo info(r.c1, r.c2, RigidMatrix::identity(), RigidMatrix::identity());
  Images first, second;
  std::vector<RigidMatrix> poses;
  // Board centre at 300, 400 and 500 mm from the cameras' midpoint, tilted.
  for (double z : {-105.0, -5.0, 95.0}) poses.push_back(pose(0.2, -0.25, 0.05, {-100.0, -75.0, z}));
  r.render(poses, first, second);
  Points pts;
  const std::string out = console([&] { RobotAxisCalibHelper().robot_rebuild_pts(info, first, second, pts); });
  EXPECT_NE(out.find(std::string("> 0.1 count") + kColon + "0\n"), std::string::npos) << out;
  ASSERT_EQ(pts.size(), 3u);
  for (std::size_t k = 0; k < pts.size(); ++k) {
    ASSERT_EQ(pts[k].size(), 63u);
    const std::vector<Eigen::Vector3d> truth = sim::board_marks_world(poses[k]);
    double worst = 0.0;
    for (std::size_t i = 0; i < truth.size(); ++i)
      worst = std::max(worst, (pts[k][i].cast<double>() - r.truth.first.RT * truth[i]).norm());
    std::printf("board %zu: worst triangulation error %.4f mm\n", k, worst);
    EXPECT_LT(worst, 0.1);
  }
}

TEST(RobotAxisCalibHelper, BadInputGivesEmptyResults) {
  const Rig& r = rig();
  RobotScanInfo info(r.c1, r.c2, RigidMatrix::identity(), RigidMatrix::identity());
  info.set_axis_calibration({1, 0, 0}, {7, 8, 9});
  RobotAxisCalibHelper helper;
  const Image<1, unsigned char> board1 = r.view(r.truth.first, 0), board2 = r.view(r.truth.second, 0);
  const Image<1, unsigned char> blank(800, 600, 200), tiny(3, 2, 0), empty;
  Points pts;
  std::vector<RigidMatrix> rts;
  const auto axis_kept = [](const RobotScanInfo& i) {
    Eigen::Vector3f d, p;
    i.get_axis_info(d, p);
    return d == Eigen::Vector3f(1, 0, 0) && p == Eigen::Vector3f(7, 8, 9);
  };

  console([&] {
    helper.robot_rebuild_pts(info, {}, {}, pts);
    EXPECT_TRUE(pts.empty());
    helper.robot_rebuild_pts(info, {board1, board1}, {board2}, pts);  // sequences of different lengths
    EXPECT_TRUE(pts.empty());
    helper.robot_get_delta_rt(info, {}, {}, rts);
    EXPECT_TRUE(rts.empty());
    helper.robot_axis_calibration(RigidMatrix::identity(), {}, {}, info);
    EXPECT_TRUE(axis_kept(info));
    helper.robot_get_delta_rt(info, {board1}, {board2}, rts);  // one pair: a single identity
    ASSERT_EQ(rts.size(), 1u);
    EXPECT_EQ(rts[0].to_matrix4(), Eigen::Matrix4d::Identity());
  });
  // Board in one image only (unequal counts), in neither, in images of
  // different sizes, or in an empty image: no points, and only the pair
  // without marks in either image has equal counts.
  std::string lines = console([&] {
    helper.robot_rebuild_pts(info, {board1, blank, tiny, empty}, {blank, blank, board2, board2}, pts);
  });
  EXPECT_EQ(lines.find("point size: "), lines.find("point size: 0,0\n")) << lines;
  EXPECT_EQ(lines.find("point size: ", lines.find("point size: ") + 1), std::string::npos) << lines;
  ASSERT_EQ(pts.size(), 4u);
  for (const auto& p : pts) EXPECT_TRUE(p.empty());

  // Camera file of another rig: every ray pair misses, and with nothing to
  // fit the axis stays.
  Camera moved = r.c2;
  moved.RT.set_translation(r.c2.RT.get_translation() + Eigen::Vector3d(0.0, 5.0, 0.0));
  RobotScanInfo wrong(r.c1, moved, RigidMatrix::identity(), RigidMatrix::identity());
  wrong.set_axis_calibration({1, 0, 0}, {7, 8, 9});
  lines = console([&] { helper.robot_rebuild_pts(wrong, {board1}, {board2}, pts); });
  EXPECT_NE(lines.find(std::string("> 0.1 count") + kColon + "63\n"), std::string::npos) << lines;
  ASSERT_EQ(pts.size(), 1u);
  for (const auto& p : pts[0]) EXPECT_EQ(p, Eigen::Vector3f::Zero());
  console([&] { helper.robot_axis_calibration(RigidMatrix::identity(), {board1, board1}, {board2, board2}, wrong); });
  EXPECT_TRUE(axis_kept(wrong));
}

TEST(TwoPicError, BoardViewsCompareThroughTheirMarks) {
  const Rig& r = rig();
  const Image<1, unsigned char> a = r.view(r.truth.first, 0), b = r.view(r.truth.first, 3);
  double same = -1.0, turned = -1.0, none = -1.0;
  ASSERT_EQ(compute_two_pic_error(a, a, same), RETVAL_SUCCESS);
  ASSERT_EQ(compute_two_pic_error(a, b, turned), RETVAL_SUCCESS);
  EXPECT_LT(same, 1e-3);
  EXPECT_TRUE(turned > 0.0 && turned < 5.0) << turned;
  EXPECT_EQ(compute_two_pic_error(a, Image<1, unsigned char>(800, 600, 200), none), RETVAL_FAILED);
  EXPECT_EQ(none, -1.0);
}

// The robot planners' calls, refusals and registration on the simulated cell.
#include <gtest/gtest.h>

#include "MeshShape.h"
#include "PoseError.h"
#include "ScanSetMm.h"
#include "gl_test_context.h"
#include "robot_scan_scene.h"

using namespace TavoAlgorithm;
using namespace tavo_test;

namespace {

template <class F>
std::string captured(F&& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

int count(const std::string& text, const std::string& line) {
  int n = 0;
  for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size())) ++n;
  return n;
}

RobotAutoScanParam small_param() {
  RobotAutoScanParam p;
  p.lastAngle = 90;
  p.angleStep = 30;
  p.tsdfVoxelSize = 1.f;
  p.planVoxelSize = 2.f;
  p.stopThreshold = 25;
  p.minShellSize = 10;
  return p;
}

// A bumpy ball standing on the turntable (model frame, z up).
sim::Scene ball_on_table() {
  sim::Scene s;
  s.meshes.emplace_back(sim::make_lumpy_sphere(Eigen::Vector3f(0, 0, 50), 40.f, 0.2f, 4));
  return s;
}

}  // namespace

TEST(RobotAutoScanHelper, RunRefusesWithoutFramesThenWithoutParameters) {
  RobotAutoScanHelper planner;
  RigidMatrix pose(Eigen::Matrix3d::Identity(), Eigen::Vector3d(1, 2, 3));
  int angle = 77, best = 5;
  bool finished = false;
  std::string out = captured([&] { EXPECT_EQ(planner.run(pose, angle, finished, best), RETVAL_FAILED); });
  EXPECT_EQ(out, "model list is empty!\n");
  EXPECT_EQ(best, -1);
  RobotScanSession session;
  session.scene = ball_on_table();
  session.shoot(planner, session.cell.calibrationRobot, 0);
  out = captured([&] { EXPECT_EQ(planner.run(pose, angle, finished), RETVAL_FAILED); });
  EXPECT_EQ(out, "must set param first! \n");
  EXPECT_EQ(angle, 77);
  EXPECT_EQ(pose.get_translation(), Eigen::Vector3d(1, 2, 3));
  RobotAutoScanHelperShoes shoes;
  out = captured([&] { EXPECT_EQ(shoes.run(pose, angle, finished), RETVAL_FAILED); });
  EXPECT_EQ(out, "model list is empty!\n");
}

TEST(RobotAutoScanHelper, ParametersBuildThePathsAndReachTheBase) {
  const sim::RobotCell cell = sim::default_robot_cell();
  const RobotScanInfo info = sim::robot_scan_info(cell);
  TestRobotPlanner planner;
  RobotAutoScanParam p;
  p.stopThreshold = 42;
  p.tsdfVoxelSize = 0.7f;
  std::string err;
  EXPECT_EQ(planner.set_param(p, info, err), RETVAL_SUCCESS);
  RobotPath all, first;
  planner.get_allPlatformPath_and_firstScanPath(all, first);
  EXPECT_EQ(all.size(), 433u);
  ASSERT_EQ(first.size(), 4u);
  EXPECT_EQ(first[3].second, 270);
  ASSERT_NE(planner.renderer(), nullptr);
  EXPECT_EQ(planner.renderer()->candidate_count(), 433);
  // The caller's record reaches the planning base, not only its angles.
  EXPECT_EQ(planner.param().stopThreshold, 42);
  EXPECT_EQ(planner.param().tsdfVoxelSize, 0.7f);
  EXPECT_EQ(planner.set_camera(0.4, 0.0, 100.0, 900.0), RETVAL_SUCCESS);

  // Large format: four spheres' first views, far end first.
  p.largeFormatStep = 40.f;
  p.largeFormatLength = 100.f;
  planner.set_param(p, info, err);
  planner.get_allPlatformPath_and_firstScanPath(all, first);
  EXPECT_EQ(first.size(), 16u);
  EXPECT_EQ(planner.renderer()->candidate_count(), static_cast<int>(all.size()));
}

TEST(RobotAutoScanHelper, LastBeyond140KeepsEverythingAndStillReturns0) {
  const RobotScanInfo info = sim::robot_scan_info(sim::default_robot_cell());
  TestRobotPlanner fresh;
  RobotAutoScanParam p;
  p.lastAngle = 141;
  std::string err;
  EXPECT_EQ(fresh.set_param(p, info, err), RETVAL_SUCCESS);
  EXPECT_TRUE(fresh.all_platform_path().empty());
  EXPECT_TRUE(fresh.first_scan_path().empty());
  EXPECT_EQ(fresh.renderer(), nullptr);  // the base refused the empty camera record

  TestRobotPlanner used;
  used.set_param(small_param(), info, err);
  const RobotPath before = used.all_platform_path();
  const EmulateBinHelper* renderer = used.renderer();
  EXPECT_EQ(used.set_param(p, info, err), RETVAL_SUCCESS);
  EXPECT_EQ(used.all_platform_path().size(), before.size());
  EXPECT_EQ(used.renderer(), renderer);
  EXPECT_EQ(used.renderer()->candidate_count(), static_cast<int>(before.size()));
}

TEST(RobotAutoScanHelper, ShoePlannerWeighsEveryCandidateOne) {
  const RobotScanInfo info = sim::robot_scan_info(sim::default_robot_cell());
  TestShoePlanner planner;
  ShoesRobotAutoScanParam p;
  p.angleStep = 30;
  p.lastAngle = 60;
  p.shiftStep = 10.f;
  p.shiftRange = Eigen::Vector2f(15.f, 0.f);
  p.stopThreshold = 3;
  std::string err;
  EXPECT_EQ(planner.set_param(p, info, err), RETVAL_SUCCESS);
  EXPECT_EQ(planner.all_platform_path().size(), 1u + 2u * 3u * 12u);  // shifts 0, +-10
  ASSERT_NE(planner.renderer(), nullptr);
  EXPECT_EQ(planner.renderer()->candidate_count(), static_cast<int>(planner.all_platform_path().size()));
  EXPECT_EQ(planner.param().stopThreshold, 3);
}

// The first views registered together, later ones pairwise, each frame once.
TEST(RobotAutoScanHelper, RegistersTheFirstFramesTogetherAndLaterOnesPairwise) {
  TestRobotPlanner planner;
  RobotScanSession session;
  session.scene = ball_on_table();
  session.options.poseErrorDegrees = 0.5;
  session.options.poseErrorMm = 1.5;
  std::string err;
  planner.set_param(small_param(), sim::robot_scan_info(session.cell), err);
  for (const auto& [pose, angle] : planner.first_scan_path()) session.shoot(planner, pose, angle);

  // Without an id for every frame the registration waits.
  std::vector<int> ids = session.ids;
  planner.set_registration_ids({ids.begin(), ids.end() - 1});
  std::string out = captured([&] { planner.do_icp(); });
  EXPECT_NE(out.find("registration waits"), std::string::npos);
  EXPECT_EQ(planner.registered_count(), 0);
  planner.set_registration_ids(ids);

  out = captured([&] { planner.do_icp(); });
  EXPECT_EQ(count(out, "global registertion\n"), 1);
  EXPECT_EQ(count(out, "last registertion"), 0);
  EXPECT_EQ(planner.registered_count(), 4);
  const std::vector<RigidMatrix> firstFour = planner.frame_corrections();
  // Registered relative to the first frame: every frame's error relative to
  // frame 0's shrinks.
  auto relative_error = [&](int k) {
    const RangeData& f0 = session.frames.front();
    auto it = session.frames.begin();
    std::advance(it, k);
    const RigidMatrix placed0 = planner.frame_corrections()[0] * f0.get_rigidMatrix();
    const RigidMatrix placed = planner.frame_corrections()[static_cast<std::size_t>(k)] * it->get_rigidMatrix();
    // Where frame k sits relative to frame 0, against where it truly does.
    const RigidMatrix off = (placed0 * session.truePoses[0].inverse()).inverse() * placed *
                            session.truePoses[static_cast<std::size_t>(k)].inverse();
    return sim::pose_deviation(off, sim::placed_points(*it).points).rms;
  };
  for (int k = 1; k < 4; ++k) EXPECT_LT(relative_error(k), 0.3) << k;

  // Two more views: only they are registered, pairwise.
  const RobotPath& all = planner.all_platform_path();
  session.shoot(planner, all[5].first, all[5].second);
  session.shoot(planner, all[20].first, all[20].second);
  out = captured([&] { planner.do_icp(); });
  EXPECT_EQ(count(out, "global registertion"), 0);
  EXPECT_EQ(count(out, "last registertion\n"), 2);
  EXPECT_EQ(planner.registered_count(), 6);
  for (int k = 0; k < 4; ++k)
    EXPECT_TRUE(planner.frame_corrections()[static_cast<std::size_t>(k)].to_matrix4().isApprox(
        firstFour[static_cast<std::size_t>(k)].to_matrix4()));
  for (int k = 4; k < 6; ++k) EXPECT_LT(relative_error(k), 0.3) << k;
  // Nothing new: nothing to do.
  out = captured([&] { planner.do_icp(); });
  EXPECT_EQ(out, "");
}

// Ids the registration instance never received: the frames keep their
// poses, with a warning, and count as registered so that it is not retried.
TEST(RobotAutoScanHelper, IdsNeverSentToTheRegistrationKeepTheFramesAsPlaced) {
  TestRobotPlanner planner;
  RobotScanSession session;
  session.scene = ball_on_table();
  std::string err;
  planner.set_param(small_param(), sim::robot_scan_info(session.cell), err);
  for (const auto& [pose, angle] : planner.first_scan_path()) session.shoot(planner, pose, angle);
  planner.set_registration_ids({900, 901, 902, 903});
  std::string out = captured([&] { planner.do_icp(); });
  EXPECT_EQ(count(out, "global registertion\n"), 1);
  EXPECT_NE(out.find(" Warning: "), std::string::npos);
  EXPECT_EQ(planner.registered_count(), 4);
  for (const RigidMatrix& c : planner.frame_corrections()) EXPECT_TRUE(c.to_matrix4().isIdentity());

  // A later frame whose id is unknown: pairwise refused, pose kept.
  session.shoot(planner, planner.all_platform_path()[3].first, planner.all_platform_path()[3].second);
  planner.set_registration_ids({100, 101, 102, 103, 904});
  out = captured([&] { planner.do_icp(); });
  EXPECT_EQ(count(out, "last registertion\n"), 1);
  EXPECT_NE(out.find(" Warning: "), std::string::npos);
  EXPECT_EQ(planner.registered_count(), 5);
  EXPECT_TRUE(planner.frame_corrections()[4].to_matrix4().isIdentity());
}

// run registers before it plans: the first run all frames together, a later
// run only the frames sent since, pairwise; each run hands back the path
// entry of the candidate it chose.
TEST(RobotAutoScanHelper, SuccessiveRunsRegisterOnlyTheNewFramesPairwise) {
  TAVO_REQUIRE_GL_CONTEXT();
  TestRobotPlanner planner;
  RobotScanSession session;
  session.scene = ball_on_table();
  std::string err;
  planner.set_param(small_param(), sim::robot_scan_info(session.cell), err);
  for (const auto& [pose, angle] : planner.first_scan_path()) session.shoot(planner, pose, angle);
  const RobotPath& all = planner.all_platform_path();

  RigidMatrix pose;
  int angle = -1, best = -1;
  bool finished = true;
  std::string out = captured([&] { EXPECT_EQ(planner.run(pose, angle, finished, best), RETVAL_SUCCESS); });
  EXPECT_EQ(count(out, "global registertion\n"), 1);
  EXPECT_EQ(count(out, "last registertion"), 0);
  EXPECT_EQ(planner.registered_count(), 4);
  ASSERT_GE(best, 0);
  ASSERT_LT(best, static_cast<int>(all.size()));
  EXPECT_EQ(angle, all[static_cast<std::size_t>(best)].second);
  EXPECT_TRUE(pose.to_matrix4().isApprox(all[static_cast<std::size_t>(best)].first.to_matrix4()));

  session.shoot(planner, pose, angle);
  session.shoot(planner, all[7].first, all[7].second);
  int second = -1;
  out = captured([&] { EXPECT_EQ(planner.run(pose, angle, finished, second), RETVAL_SUCCESS); });
  EXPECT_EQ(count(out, "global registertion"), 0);
  EXPECT_EQ(count(out, "last registertion\n"), 2);
  EXPECT_EQ(planner.registered_count(), 6);
  // The view taken is used up.
  EXPECT_NE(second, best);
}

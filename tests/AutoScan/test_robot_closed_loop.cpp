// The robot planner's closed loop on the simulated cell: it must stop by
// itself and, by then, have measured nearly all of the surface that any
// candidate view can measure. Slow: every planning step renders the
// candidates on the CPU's OpenGL.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "geometry/TriMesh.h"
#include "gl_test_context.h"
#include "robot_closed_loop.h"

using namespace TavoAlgorithm;

TEST(RobotClosedLoop, BunnyScanFinishesWithTheReachableSurfaceMeasured) {
  TAVO_REQUIRE_GL_CONTEXT();
  const std::filesystem::path ply = std::filesystem::path(TAVO_TEST_DATA_DIR) / "bunny-scans" / "bun_zipper_res2.ply";
  if (!std::filesystem::exists(ply)) GTEST_SKIP() << "no bunny reference";
  BaseTriMesh bunny;
  ASSERT_TRUE(read_mesh(bunny, ply.string()));
  ASSERT_TRUE(autoscan_demo::place_on_turntable(bunny, 1000.f, true));
  autoscan_demo::RobotLoopOptions options;
  options.angleStep = 20;
  options.lastAngle = 100;
  autoscan_demo::RobotLoopResult result;
  std::string error;
  ASSERT_TRUE(autoscan_demo::run_robot_loop(bunny, options, result, error)) << error;
  double plan = 0.0;
  for (const auto& v : result.views) plan += v.planSeconds;
  const int planned = static_cast<int>(result.views.size()) - 4;
  std::printf("%d candidates, %zu views (4 first), %.1f%% of %d reachable faces measured, %.1f%% within a voxel "
              "of the fused model, %.1f s per planning step; frame error %.3f mm before registration, %.3f after\n",
              result.candidates, result.views.size(), result.views.back().coveragePercent, result.reachableCount,
              result.fusedPercent, planned > 0 ? plan / planned : 0.0, result.meanErrorBefore, result.meanErrorAfter);
  EXPECT_TRUE(result.finished);
  EXPECT_GE(result.views.back().coveragePercent, 95.0);
  EXPECT_GE(result.fusedPercent, 95.0);
  EXPECT_LT(result.meanErrorAfter, result.meanErrorBefore);
}

// Failures of the renderer while it sets up or scores: none of them may pass
// for a valid score, a chosen candidate or a ready renderer.
#include <gtest/gtest.h>

#include <algorithm>

#include "SceneMeshes.h"
#include "gl_test_context.h"
#include "render_scene.h"

using namespace TavoAlgorithm;
using namespace tavo_test;

namespace {

constexpr double kVoxel = 2.0;
const std::vector<float> kFovs = {0.5f, 0.5f};

// Puts the context back however the test ends.
struct ContextLoss {
  explicit ContextLoss(int callsBefore) { TavoGLFWWindow::fail_make_current_after(callsBefore); }
  ~ContextLoss() { TavoGLFWWindow::fail_make_current_after(-1); }
};

BaseTriMesh hole_over_floor() {
  BaseTriMesh mesh;
  sim::add_quad(mesh, {-40, -40, 0}, {40, -40, 0}, {40, 40, 0}, {-40, 40, 0});
  sim::add_quad(mesh, {-40, -40, -30}, {40, -40, -30}, {40, 40, -20}, {-40, 40, -20});
  return mesh;
}

std::unique_ptr<EmulateBinHelper> three_candidates() {
  Candidates c;
  for (int i = 0; i < 3; ++i) c.add({20.f * i - 20.f, 0.f, 250.f}, {0, 1, 0});
  auto r = make_renderer(kVoxel, c, kFovs);
  if (!r) return r;
  EXPECT_EQ(r->set_scoring_mesh(hole_over_floor(), hole_mask(2)), RETVAL_SUCCESS);
  r->set_mesh_box();
  return r;
}

bool none_used(const EmulateBinHelper& r) {
  for (int i = 0; i < r.candidate_count(); ++i)
    if (r.candidate_used(i)) return false;
  return true;
}

bool all_zero(const std::vector<int>& v) { return std::all_of(v.begin(), v.end(), [](int x) { return x == 0; }); }

}  // namespace

TEST(EmulateBinHelper, InitWhoseContextFailsLeavesTheRendererNotReady) {
  TAVO_REQUIRE_GL_CONTEXT();
  EmulateBinHelper r(kVoxel);
  std::string err;
  {
    const ContextLoss lost(1);  // init_opengl makes the context current twice
    EXPECT_FALSE(r.init_opengl(err));
  }
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(r.opengl_ready());
  EXPECT_EQ(r.set_scoring_mesh(hole_over_floor(), hole_mask(2)), RETVAL_NOT_READY);
  // A second try on a working context succeeds.
  EXPECT_TRUE(r.init_opengl(err)) << err;
  EXPECT_TRUE(r.opengl_ready());
}

TEST(EmulateBinHelper, ContextLostAtAnyPointOfASelectionChoosesNothing) {
  TAVO_REQUIRE_GL_CONTEXT();
  // Every make-current of a whole selection: its own, one per rendered bound
  // and exact score.
  int calls = 0;
  {
    auto r = three_candidates();
    ASSERT_TRUE(r);
    std::vector<float> results;
    ASSERT_GE(r->select_best_candidate(results), 0);
    const auto& st = r->last_selection_stats();
    calls = 1 + st.boundsScored + st.exactScored;
    ASSERT_GE(calls, 5);
  }
  for (int k = 0; k < calls; ++k) {
    auto r = three_candidates();
    ASSERT_TRUE(r);
    std::vector<float> results;
    {
      const ContextLoss lost(k);
      EXPECT_EQ(r->select_best_candidate(results), -1) << "lost after " << k;
    }
    EXPECT_TRUE(none_used(*r)) << k;
    // Accepting after the failed choice damps nothing.
    EXPECT_TRUE(all_zero(r->voxels().download_saved_visit_mask())) << k;
    r->accept_view();
    const std::vector<float> values = r->voxels().download_values();
    EXPECT_TRUE(std::all_of(values.begin(), values.end(), [](float v) { return v == 1.f || v == 0.f; })) << k;
    // Once the context is back the renderer chooses again.
    EXPECT_GE(r->select_best_candidate(results), 0) << k;
  }
}

TEST(EmulateBinHelper, FailedScoresAreNegativeNotZero) {
  TAVO_REQUIRE_GL_CONTEXT();
  auto r = three_candidates();
  ASSERT_TRUE(r);
  Candidates c;
  c.add({0, 0, 250}, {0, 1, 0});
  const float good = r->evaluate_pose(c.eyes, c.centers, c.ups, kFovs, true);
  EXPECT_GT(good, 0.f);
  {
    const ContextLoss lost(0);
    EXPECT_EQ(r->evaluate_pose(c.eyes, c.centers, c.ups, kFovs, true), EmulateBinHelper::kScoreFailed);
    EXPECT_EQ(r->score_view_pair(c.view(0), c.view(0), false, false), EmulateBinHelper::kScoreFailed);
  }
  // Too short camera lists are refused the same way.
  EXPECT_EQ(r->evaluate_pose({1, 2}, {}, {}, kFovs, true), EmulateBinHelper::kScoreFailed);
  EXPECT_NEAR(r->evaluate_pose(c.eyes, c.centers, c.ups, kFovs, true), good, 1e-4f * good);
}

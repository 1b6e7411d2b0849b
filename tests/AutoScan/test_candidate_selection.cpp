// Lazy greedy selection against exact scoring of every candidate, value boxes
// and used candidates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "SceneMeshes.h"
#include "gl_test_context.h"
#include "render_scene.h"

using namespace TavoAlgorithm;
using namespace tavo_test;
using Eigen::Vector3f;

namespace {

// Scores are float sums in atomic (unordered) order; once damped values of
// 0.04^k meet sums of thousands, repeated scores of one view differ by up to
// about 0.1 per cent.
constexpr float kSumTolerance = 3e-3f;

// A hole quad over a tilted floor quad, seen from `count` eyes along x.
std::unique_ptr<EmulateBinHelper> quad_renderer(int count) {
  Candidates c;
  for (int i = 0; i < count; ++i) c.add({20.f * i - 20.f, 0.f, 250.f}, {0, 1, 0});
  auto r = make_renderer(2.0, c, {0.5f, 0.5f});
  if (!r) return r;
  BaseTriMesh mesh;
  sim::add_quad(mesh, {-40, -40, 0}, {40, -40, 0}, {40, 40, 0}, {-40, 40, 0});
  sim::add_quad(mesh, {-40, -40, -30}, {40, -40, -30}, {40, 40, -20}, {-40, 40, -20});
  EXPECT_EQ(r->set_scoring_mesh(mesh, hole_mask(2)), RETVAL_SUCCESS);
  r->set_mesh_box();
  return r;
}

}  // namespace

TEST(EmulateBinHelper, LazyGreedyPicksTheExactBestAndDampsWhatItSaw) {
  TAVO_REQUIRE_GL_CONTEXT();
  BaseTriMesh mesh;
  sim::add_uv_sphere(mesh, Vector3f::Zero(), 30.f, 24, 12);
  sim::add_box(mesh, {0, 0, -40}, {50, 50, 2});  // a base that is no hole

  // 50 candidates spread over a sphere of radius 280, distinct weights in a scrambled order.
  const int n = 50;
  Candidates c;
  std::vector<float> weights;
  for (int i = 0; i < n; ++i) {
    const double z = 1.0 - 1.9 * (i + 0.5) / n, phi = 2.39996 * i, s = std::sqrt(1.0 - z * z);
    c.add(280.f * Vector3f(float(s * std::cos(phi)), float(s * std::sin(phi)), float(z)),
          std::abs(z) > 0.9 ? Vector3f(1, 0, 0) : Vector3f(0, 0, 1));
    weights.push_back(0.5f + 0.01f * (i * 37 % n));
  }
  auto r = make_renderer(2.0, c, {0.5f, 0.5f});
  ASSERT_TRUE(r);
  r->set_pose_weights(weights);
  ASSERT_EQ(r->set_scoring_mesh(mesh, hole_mask(mesh.get_fn(), 2 * 24 * 11)), RETVAL_SUCCESS);
  r->set_mesh_box();

  std::set<int> chosenSoFar;
  for (int round = 0; round < 3; ++round) {
    std::vector<float> results;
    const int chosen = r->select_best_candidate(results);
    ASSERT_EQ(results.size(), static_cast<size_t>(n));
    EXPECT_LT(r->last_selection_stats().exactScored, n) << "the bounds spared no exact score";
    const std::vector<int> saved = r->voxels().download_saved_visit_mask();
    const std::vector<int> tableBefore = r->voxels().download_block_table();
    const std::vector<float> valuesBefore = r->voxels().download_values();

    // Every candidate not used before this round, scored exactly.
    float best = -1.f, chosenExact = -1.f;
    for (int i = 0; i < n; ++i) {
      if (chosenSoFar.count(i)) continue;
      const float s = weights[i] * r->score_view_pair(c.view(i), c.view(i), false, false);
      best = std::max(best, s);
      if (i == chosen) chosenExact = s;
    }
    ASSERT_GT(best, 0.f);
    EXPECT_GE(chosenExact, best * (1.f - kSumTolerance)) << "round " << round << " chose " << chosen;
    EXPECT_NEAR(results[chosen], chosenExact, kSumTolerance * chosenExact);

    // What the chosen view saw drops to 0.04 of its value (new blocks start at 1).
    r->accept_view();
    const std::vector<int> table = r->voxels().download_block_table();
    const std::vector<float> values = r->voxels().download_values();
    const auto d = r->voxels().voxel_dims(), bd = r->voxels().block_dims();
    int damped = 0;
    for (int i = 0; i < d.x * d.y * d.z; ++i) {
      if (!bit(saved, i)) continue;
      const int x = i % d.x, y = i / d.x % d.y, z = i / (d.x * d.y);
      const int b = ((z / 4) * bd.y + y / 4) * bd.x + x / 4, local = x % 4 + 4 * (y % 4) + 16 * (z % 4);
      ASSERT_GE(table[b], 0);
      const float before = tableBefore[b] >= 0 ? valuesBefore[tableBefore[b] * 64 + local] : 1.f;
      EXPECT_FLOAT_EQ(values[table[b] * 64 + local], static_cast<float>(before * 0.04));
      ++damped;
    }
    EXPECT_GT(damped, 0);
    EXPECT_TRUE(r->candidate_used(chosen) && chosenSoFar.insert(chosen).second) << "not marked used, or chosen before";
  }
}

TEST(EmulateBinHelper, OnlyBlocksInsideTheGrownValueBoxesCount) {
  TAVO_REQUIRE_GL_CONTEXT();
  auto r = quad_renderer(1);
  ASSERT_TRUE(r && r->mesh_box_set());
  const Eigen::Vector3f lo = r->mesh_box_min();
  EXPECT_EQ(lo, Eigen::Vector3f(-39, -39, -29));  // moved by +1, not grown
  EXPECT_EQ(r->voxels().voxel_dims().x, 41);
  EXPECT_EQ(r->voxels().voxel_dims().z, 16);

  const BoundingBox box({10, -10, -5}, {20, 0, 0});
  r->add_value_box(box, true);
  EXPECT_FLOAT_EQ(r->base_height(), -7.f);
  const std::vector<int> table = r->voxels().download_block_table();
  const auto bd = r->voxels().block_dims();
  // Grown by 2 voxels (4 mm) and clipped: x 6..24, y -14..4, z -9..1 (grid
  // top at z = 1), voxel = trunc((c - min) / 2), block = voxel / 4.
  auto block = [](float c, float m) { return static_cast<int>((c - m) / 2.0) / 4; };
  int open = 0;
  for (int z = 0; z < bd.z; ++z)
    for (int y = 0; y < bd.y; ++y)
      for (int x = 0; x < bd.x; ++x) {
        const bool in = x >= block(6, lo.x()) && x <= block(24, lo.x()) && y >= block(-14, lo.y()) &&
                        y <= block(4, lo.y()) && z >= block(-9, lo.z()) && z <= block(1, lo.z());
        EXPECT_EQ(table[(z * bd.y + y) * bd.x + x], in ? -1 : -2) << x << " " << y << " " << z;
        open += in;
      }
  EXPECT_GT(open, 0);

  // An empty box opens nothing and lowers nothing.
  r->add_value_box(BoundingBox({5, 5, -50}, {4, 6, -40}), false);
  EXPECT_EQ(r->voxels().download_block_table(), table);
  EXPECT_FLOAT_EQ(r->base_height(), -7.f);
  EXPECT_EQ(r->value_boxes().size(), 1u);
  ASSERT_EQ(r->set_value_boxes({box, BoundingBox(), box}, false), RETVAL_SUCCESS);
  EXPECT_EQ(r->value_boxes().size(), 2u);
  EXPECT_EQ(r->voxels().download_block_table(), table);
  EXPECT_EQ(r->voxels().slot_count(), 0);
}

TEST(EmulateBinHelper, UsedCandidateKeepsBoundZero) {
  TAVO_REQUIRE_GL_CONTEXT();
  auto r = quad_renderer(3);
  ASSERT_TRUE(r);
  std::vector<float> results;
  const int first = r->select_best_candidate(results);
  r->accept_view();
  const int second = r->select_best_candidate(results);
  ASSERT_EQ(r->set_value_boxes({BoundingBox({-40, -40, -30}, {40, 40, 0})}, true), RETVAL_SUCCESS);
  // The first choice met its used mark in the second selection (bound 0);
  // the second one meets it only in the next selection.
  for (const auto& [i, bound] : r->ranking())
    EXPECT_EQ(bound, i == first ? 0.f : EmulateBinHelper::kUnevaluated) << i;
  const int third = r->select_best_candidate(results);
  EXPECT_EQ(std::set<int>({first, second, third}).size(), 3u);
  EXPECT_EQ(results[first] + results[second], 0.f);  // both used, both score 0
  EXPECT_GT(results[third], 0.f);
}

TEST(EmulateBinHelper, ValueBoxAddedAfterAcceptingKeepsEverySeenBlockStored) {
  TAVO_REQUIRE_GL_CONTEXT();
  auto r = quad_renderer(3);
  ASSERT_TRUE(r);
  std::vector<float> results;
  ASSERT_GE(r->select_best_candidate(results), 0);
  r->accept_view();
  const int stored = r->voxels().slot_count();
  ASSERT_GT(stored, 0);
  // Opening a box over the stored blocks makes them count as unseen again.
  r->add_value_box(BoundingBox({-40, -40, -30}, {40, 40, 0}), false);
  ASSERT_GE(r->select_best_candidate(results), 0);
  r->accept_view();
  // Every block that a view saw has a slot inside the store, and what the
  // second view saw is damped.
  const std::vector<int> table = r->voxels().download_block_table();
  const std::vector<int> seen = r->voxels().download_new_block_mask();
  const int slots = r->voxels().slot_count();
  ASSERT_EQ(r->voxels().download_values().size(), static_cast<size_t>(slots) * 64);
  int seenBlocks = 0;
  for (int b = 0; b < static_cast<int>(table.size()); ++b) {
    EXPECT_LT(table[b], slots) << b;
    if (!bit(seen, b)) continue;
    ++seenBlocks;
    EXPECT_GE(table[b], 0) << "seen block " << b << " without storage";
  }
  EXPECT_GE(seenBlocks, stored);
  const std::vector<float> values = r->voxels().download_values();
  EXPECT_LT(*std::min_element(values.begin(), values.end()), 0.05f);
}

namespace {

// A ball (its top cap of 480 faces the hole) on a base, and `n` eyes spread
// over heights `top` down to `top - span` (as z of the unit sphere).
struct CappedBall {
  static constexpr int kCapFaces = 2 * 48 * 5;
  BaseTriMesh mesh;
  Candidates cameras;
  CappedBall(int n, double top, double span) {
    sim::add_uv_sphere(mesh, Vector3f::Zero(), 30.f, 48, 24);
    sim::add_box(mesh, {0, 0, -40}, {50, 50, 2});
    for (int i = 0; i < n; ++i) {
      const double z = top - span * (i + 0.5) / n, phi = 2.39996 * i, s = std::sqrt(1.0 - z * z);
      cameras.add(280.f * Vector3f(float(s * std::cos(phi)), float(s * std::sin(phi)), float(z)), Vector3f(0, 0, 1));
    }
  }
  // A renderer over the cameras with the ball uploaded and its mesh box set;
  // `bare`: neither.
  std::unique_ptr<EmulateBinHelper> renderer(bool bare = false) const {
    auto r = make_renderer(2.0, cameras, {0.5f, 0.5f});
    if (!r) return r;
    if (bare) return r;
    EXPECT_EQ(r->set_scoring_mesh(mesh, hole_mask(mesh.get_fn(), kCapFaces)), RETVAL_SUCCESS);
    r->set_mesh_box();
    return r;
  }
};

}  // namespace

TEST(EmulateBinHelper, QuarterSizeBoundsEstimateTheFullSizeScoresAndStillPickTheBest) {
  TAVO_REQUIRE_GL_CONTEXT();
  const int n = 24;
  const CappedBall ball(n, 0.95, 1.7);
  const Candidates& c = ball.cameras;
  auto r = ball.renderer();
  ASSERT_TRUE(r);

  EXPECT_EQ(r->bound_image_divisor(), 1);
  for (int bad : {0, -4, 3, 7, 1281}) EXPECT_FALSE(r->set_bound_image_divisor(bad)) << bad;
  EXPECT_EQ(r->bound_image_divisor(), 1);
  // With divisor 1 a coarse render is the full-size one.
  const float full0 = r->score_view_pair(c.view(0), c.view(0), true, true, false);
  ASSERT_GT(full0, 0.f);
  EXPECT_NEAR(r->score_view_pair(c.view(0), c.view(0), true, true, true), full0, kSumTolerance * full0);

  ASSERT_TRUE(r->set_bound_image_divisor(4));
  std::vector<float> exact(n);
  int seen = 0;
  for (int i = 0; i < n; ++i) {
    const float full = r->score_view_pair(c.view(i), c.view(i), true, true, false);
    const float coarse = r->score_view_pair(c.view(i), c.view(i), true, true, true);
    ASSERT_GE(full, 0.f);
    ASSERT_GE(coarse, 0.f);
    exact[i] = r->score_view_pair(c.view(i), c.view(i), false, false);
    if (full < 1000.f) continue;  // a sliver of the cap: few coarse pixels
    ++seen;
    EXPECT_NEAR(coarse, full, 0.1f * full) << "candidate " << i;
  }
  EXPECT_GE(seen, n / 4) << "too few candidates see the cap";
  // The full-size images are untouched by a coarse render.
  EXPECT_EQ(r->last_face_ids().size(), 1280u * 960u * 4u);

  std::vector<float> results;
  const int chosen = r->select_best_candidate(results);
  ASSERT_GE(chosen, 0);
  const float best = *std::max_element(exact.begin(), exact.end());
  EXPECT_GE(exact[chosen], best * 0.95f) << "chose " << chosen;
}

TEST(EmulateBinHelper, AreaBoundsHoldOverRenderedBoundsAndSpareRenders) {
  TAVO_REQUIRE_GL_CONTEXT();
  const int n = 24;
  const CappedBall ball(n, 0.95, 1.9);
  const Candidates& c = ball.cameras;
  auto r = ball.renderer(true);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->area_bounds().empty()) << "no mesh yet";
  ASSERT_EQ(r->set_scoring_mesh(ball.mesh, hole_mask(ball.mesh.get_fn(), CappedBall::kCapFaces)), RETVAL_SUCCESS);
  EXPECT_TRUE(r->area_bounds().empty()) << "no mesh box yet";
  r->set_mesh_box();
  const std::vector<float> area = r->area_bounds();
  ASSERT_EQ(area.size(), static_cast<size_t>(n));
  int zero = 0, positive = 0;
  double areaSum = 0.0, renderedSum = 0.0;
  for (int i = 0; i < n; ++i) {
    // The bound pass renders c2 (the first view) as the left camera.
    const float rendered = r->score_view_pair(c.view(i), c.view(i), true, true);
    ASSERT_GE(rendered, 0.f);
    EXPECT_GE(area[i], rendered * (1.f - kSumTolerance)) << "candidate " << i;
    areaSum += area[i];
    renderedSum += rendered;
    if (area[i] == 0.f) {
      ++zero;
      EXPECT_EQ(rendered, 0.f) << "candidate " << i;
    }
    positive += area[i] > 0.f;
  }
  // Nothing occludes the cap; only grazing views, which look through it at
  // nothing (weight 0.1), keep the bound well above the rendered score.
  EXPECT_LE(areaSum, 2.0 * renderedSum);
  EXPECT_GT(zero, 0) << "every candidate faces the cap";
  EXPECT_GT(positive, 0);

  // Without area bounds every candidate renders a bound; with them fewer do,
  // and the choice is the same.
  std::vector<float> results;
  const int plain = r->select_best_candidate(results);
  EXPECT_EQ(r->last_selection_stats().boundsScored, n);
  auto again = ball.renderer();
  ASSERT_TRUE(again);
  again->set_area_bounds(true);
  EXPECT_EQ(again->select_best_candidate(results), plain);
  EXPECT_LT(again->last_selection_stats().boundsScored, n - zero + 1);
}

TEST(EmulateBinHelper, HoleFaceBoundsHoldOverExactScoresAndTheChoiceIsTheExactBest) {
  TAVO_REQUIRE_GL_CONTEXT();
  // The capped ball with a slab over part of the cap, so that the rest of
  // the mesh occludes and shadows hole faces; the three cameras of a
  // candidate stand apart, as a scanner's do.
  CappedBall ball(0, 0.0, 0.0);
  sim::add_box(ball.mesh, {20, 0, 60}, {12, 40, 2});
  const int n = 30;
  Candidates c;
  std::vector<float> weights;
  for (int i = 0; i < n; ++i) {
    const double z = 0.95 - 1.15 * (i + 0.5) / n, phi = 2.39996 * i, s = std::sqrt(1.0 - z * z);
    const Vector3f eye = 280.f * Vector3f(float(s * std::cos(phi)), float(s * std::sin(phi)), float(z));
    const Vector3f side = Vector3f::UnitZ().cross(eye).normalized();
    const Vector3f threeEyes[3] = {eye, eye + 30.f * side, eye - 30.f * side};
    for (const Vector3f& e : threeEyes) {
      c.eyes.insert(c.eyes.end(), {e.x(), e.y(), e.z()});
      c.centers.insert(c.centers.end(), {0.f, 0.f, 0.f});
      c.ups.insert(c.ups.end(), {0.f, 0.f, 1.f});
    }
    weights.push_back(0.5f + 0.01f * (i * 37 % n));
  }
  auto r = make_renderer(2.0, c, {0.5f, 0.6f});
  ASSERT_TRUE(r);
  r->set_pose_weights(weights);
  ASSERT_EQ(r->set_scoring_mesh(ball.mesh, hole_mask(ball.mesh.get_fn(), CappedBall::kCapFaces)), RETVAL_SUCCESS);
  r->set_mesh_box();
  auto camera = [&](int i, int k) {
    const int o = 9 * i + 3 * k;
    return EmulateBinHelper::GLView{{c.eyes[o], c.eyes[o + 1], c.eyes[o + 2]}, Vector3f::Zero(), Vector3f::UnitZ()};
  };
  // What select_best_candidate scores exactly: F = c2, S = c1, swap clear.
  auto exact_scores = [&] {
    std::vector<float> e(n, 0.f);
    for (int i = 0; i < n; ++i)
      if (!r->candidate_used(i)) e[i] = weights[i] * r->score_view_pair(camera(i, 2), camera(i, 1), false, false);
    return e;
  };

  const std::vector<float> exact = exact_scores();
  int occluded = 0, positive = 0;
  for (int i = 0; i < n; ++i) {
    const float bound = weights[i] * r->hole_face_bound(camera(i, 2), camera(i, 1));
    ASSERT_GE(exact[i], 0.f);
    EXPECT_GE(bound, exact[i] * (1.f - kSumTolerance)) << "candidate " << i;
    positive += exact[i] > 0.f;
    occluded += bound > 1.2f * exact[i] + 1.f;
  }
  EXPECT_GT(positive, n / 3);
  EXPECT_GT(occluded, 0) << "the slab shadows nothing: the scene tests no occlusion";

  // Whole-mesh bounds from c2 need not bound the exact score from c1; with
  // hole-face bounds (and area bounds on the same camera) every choice is
  // the unused candidate of best exact score, and its result that score.
  r->set_hole_face_bounds(true);
  r->set_area_bounds(true);
  std::set<int> chosenSet;
  for (int round = 0; round < 4; ++round) {
    const std::vector<float> e = round == 0 ? exact : exact_scores();
    const int best = static_cast<int>(std::max_element(e.begin(), e.end()) - e.begin());
    std::vector<float> results;
    const int chosen = r->select_best_candidate(results);
    ASSERT_GE(chosen, 0);
    // The same candidate, up to the sum order's noise between near-equal scores.
    if (chosen != best) EXPECT_GE(e[chosen], e[best] * (1.f - kSumTolerance)) << "round " << round;
    EXPECT_NEAR(results[chosen], e[best], kSumTolerance * e[best]);
    EXPECT_LT(r->last_selection_stats().exactScored, n / 2) << "the bounds spare too little";
    r->accept_view();
    chosenSet.insert(chosen);
  }
  EXPECT_EQ(chosenSet.size(), 4u);
}

#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <type_traits>
#include <utility>

#include "Parallel.h"
#include "laser_scan_util.h"

using namespace laser_test;

namespace {
const Leaf* leaf_at(LaserFusionHelper<Leaf>& h, int x, int y, int z) { return h.octree().find_payload(V3i(x, y, z)); }
}  // namespace

TEST(LineFusionNormal, DegenerateBadAndBorderLinesChangeNothing) {
  struct Case {
    Lines points, normals;
    int code;
  };
  const float inf = std::numeric_limits<float>::infinity();
  const Case cases[] = {
      {{}, {}, TavoAlgorithm::RETVAL_SUCCESS},
      {{V3(5, 5, 5)}, {V3(0, 1, 0)}, TavoAlgorithm::RETVAL_SUCCESS},  // one point
      {probe_points(), {V3(0, 1, 0)}, TavoAlgorithm::RETVAL_FAILED},  // counts differ
      {{V3(kNaN, 5, 5), V3(5.05f, 5, 5)}, up_normals(), 0},
      {{V3(inf, 5, 5), V3(5.05f, 5, 5)}, up_normals(), 0},
      {{V3(1e30f, 5, 5), V3(-1e30f, 5, 5)}, up_normals(), 0},
      {probe_points(), {V3(0, kNaN, 0), V3(0, 1, 0)}, 0},
      {probe_points(), {V3(0, 1, 0), V3(1e-5f, -1e-5f, 0)}, 0},  // zero normal: every component <= 1e-5
      {{V3(5, 5, 5), V3(5.41f, 5, 5)}, up_normals(), 0},          // longer than 4 x 0.1
      {{V3(0.29f, 5.05f, 5.05f), V3(0.31f, 5.05f, 5.05f)}, up_normals(), 0},  // one end in border cell x = 2
      {{V3(102.09f, 5.05f, 5.05f), V3(102.11f, 5.05f, 5.05f)}, up_normals(), 0},  // cell 1021 = 2^10 - 3
  };
  LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, false);
  for (const Case& c : cases) EXPECT_EQ(h.fusion_one_lines_normal(c.points, c.normals, kIdentity), c.code);
  // None of them, nor a good line with extend radius 0 (empty neighbour tables), made a leaf.
  h.set_extend_radius(0);
  EXPECT_EQ(h.fusion_one_lines_normal(probe_points(), up_normals(), kIdentity), 0);
  EXPECT_EQ(h.octree().leaf_count(), 0);
  h.set_extend_radius(3);
  // Just below the length limit it is fused.
  EXPECT_EQ(h.fusion_one_lines_normal({V3(5, 5, 5), V3(5.39f, 5, 5)}, up_normals(), kIdentity), 0);
  EXPECT_GT(h.octree().leaf_count(), 0);
  // Both ends in cell 3: the neighbour layer x = 2 is never written.
  EXPECT_EQ(h.fusion_one_lines_normal({V3(0.31f, 5.05f, 5.05f), V3(0.39f, 5.05f, 5.05f)}, up_normals(), kIdentity), 0);
  EXPECT_EQ(leaf_at(h, 2, 50, 50), nullptr);
  EXPECT_NE(leaf_at(h, 3, 50, 50), nullptr);
}

TEST(LineFusionNormal, WeightsFollowTheRadiiAndSixContributionsMakeAPoint) {
  // r = 3, minFusionRadius = pointDis = 0.1: r1 = 0.1, r2 = 0.15.
  LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, false);
  ASSERT_EQ(h.fusion_one_lines_normal(probe_points(), up_normals(), kIdentity), 0);
  const V3 P(5.05f, 5.17f, 5.05f);
  const float facing = ((V3::Zero() - P).normalized().dot(V3(0, 1, 0)) + 1.f) * 0.5f;  // camera at the origin
  // Cell row, distance of its centre from the segment; beyond r1 w1 is scaled by 0.01.
  for (const auto& [y, dist] : {std::pair{51, 0.02f}, std::pair{50, 0.12f}, std::pair{52, 0.08f}}) {
    const Leaf* r = leaf_at(h, 50, y, 50);
    ASSERT_NE(r, nullptr) << y;
    const float w1 = std::exp(-dist * dist / 0.0225f) * facing * (dist > 0.1f ? 0.01f : 1.f);
    const float w2 = std::exp(-dist * dist / 0.01f);
    EXPECT_NEAR(r->weight, w1, 1e-5f * std::max(1.f, w1)) << y;
    EXPECT_NEAR(r->weight2, w2, 1e-5f) << y;
    EXPECT_EQ(r->count, 1);
    EXPECT_TRUE(r->normalSum.isApprox(V3(0, w1, 0), 1e-4f)) << y;
    EXPECT_TRUE(r->offsetSum.isApprox(V3(0, w2 * (5.17f - (y + 0.5f) * kCell), 0), 1e-4f)) << y;
  }
  // A leaf touched once keeps sdf 0.
  h.integrate_into_tsdf();
  EXPECT_EQ(leaf_at(h, 50, 51, 50)->sdf, 0.f);
  // Five contributions make no point, the sixth does.
  Cloud cloud;
  cloud.add_vCoord(V3(1, 2, 3));  // replaced, not appended to
  for (int k = 0; k < 4; ++k) ASSERT_EQ(h.fusion_one_lines_normal(probe_points(), up_normals(), kIdentity), 0);
  h.get_cloud(cloud);
  EXPECT_EQ(cloud.get_vn(), 0);
  ASSERT_EQ(h.fusion_one_lines_normal(probe_points(), up_normals(), kIdentity), 0);
  h.get_cloud(cloud);
  // Cell y = 51 (centre 5.15) projects 0.02 up onto the line; y = 52 has the
  // count and weight but would move 0.08, over half a cell; y = 50 weighs < 0.5.
  EXPECT_EQ(leaf_at(h, 50, 52, 50)->count, 6);
  ASSERT_EQ(cloud.get_vn(), 1);
  ASSERT_TRUE(cloud.has_vNormal());
  EXPECT_TRUE(cloud.get_vCoord(0).isApprox(P, 1e-5f));
  EXPECT_TRUE(cloud.get_vNrv(0).isApprox(V3(0, 1, 0), 1e-5f));
  // A normal sum that cancelled out gives no point.
  const V3 sum = std::exchange(h.octree().find_payload(V3i(50, 51, 50))->normalSum, V3::Zero());
  h.get_cloud(cloud);
  EXPECT_EQ(cloud.get_vn(), 0);
  h.octree().find_payload(V3i(50, 51, 50))->normalSum = sum;
  // sdf = -(mean offset . normal): behind the surface negative, in front positive.
  h.integrate_into_tsdf();
  EXPECT_NEAR(leaf_at(h, 50, 51, 50)->sdf, -0.02f, 1e-5f);
  EXPECT_NEAR(leaf_at(h, 50, 52, 50)->sdf, 0.08f, 1e-5f);
}

TEST(LineFusionNormal, OpposedNormalsMakeOneTwinAndOnlyUnopposedTwinsFoldBack) {
  // Both oppose the leaf's +y normal and go to one twin; the down twin's raw sums are
  // opposed beyond -0.05 and it stays, the slightly tilted one is folded back.
  const Lines down(2, V3(0, -1, 0)), tilted(2, V3(0.f, -0.02f, 1.f).normalized());
  for (const auto& [other, stays] : {std::pair{down, true}, std::pair{tilted, false}}) {
    LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, true);
    for (const Lines& n : {up_normals(), other, other})
      ASSERT_EQ(h.fusion_one_lines_normal(probe_points(), n, kIdentity), 0);
    Leaf* r = h.octree().find_payload(V3i(50, 51, 50));
    ASSERT_NE(r->twin, nullptr);
    EXPECT_EQ(r->twin->twin, r);
    EXPECT_EQ(r->count, 1);
    EXPECT_EQ(r->twin->count, 2);
    const float weight = r->weight + r->twin->weight;
    h.integrate_into_tsdf();
    EXPECT_EQ(r->twin != nullptr, stays);
    EXPECT_EQ(r->count, stays ? 1 : 3);
    EXPECT_FLOAT_EQ(r->weight + (stays ? r->twin->weight : 0.f), weight);
    if (!stays) EXPECT_NEAR(r->normalSum.norm(), 1.f, 1e-5f);
  }
}

TEST(LineFusionTangent, ListsFlagsRunsAndSkippedLines) {
  LaserFusionHelper<LeafTangent> h(10, kCell, 0.05f, 0.1f, 3, false);
  Lines line;
  for (int i = 0; i < 10; ++i) line.push_back(V3(5.0f + 0.04f * i, 5.05f, 5.05f));
  tbb::concurrent_vector<int> pending, updated;
  ASSERT_EQ(h.fusion_one_lines_tangent(line, kIdentity, pending, updated), 0);
  ASSERT_FALSE(pending.empty());
  EXPECT_GE(updated.size(), pending.size());
  EXPECT_EQ(std::set<int>(pending.begin(), pending.end()).size(), pending.size()) << "a leaf entered twice";
  const LeafTangent& r = h.octree().element_at(pending[0]).payload;
  EXPECT_EQ(r.flags & 3, 3);
  EXPECT_GT(r.momentsA[0], 0.f);  // tangents along x
  EXPECT_NEAR(r.momentsA[3], 0.f, 1e-6f);
  EXPECT_FLOAT_EQ(r.weight, static_cast<float>(r.count));
  // One straight line gives no normal, and its q = 1 does not qualify the
  // record in dark mode either.
  h.update_normal(V3(0, 0, 1), updated, true);
  EXPECT_EQ(r.normal, V3::Zero());
  EXPECT_EQ(r.flags & 6, 0);
  // Touching again does not re-queue; after clearing the flags it does.
  tbb::concurrent_vector<int> pending2, updated2;
  ASSERT_EQ(h.fusion_one_lines_tangent(line, kIdentity, pending2, updated2), 0);
  EXPECT_TRUE(pending2.empty());
  EXPECT_EQ(updated2.size(), updated.size());
  h.clear_update_flags(pending);
  EXPECT_EQ(h.octree().element_at(pending[0]).payload.flags & 1, 0);
  ASSERT_EQ(h.fusion_one_lines_tangent(line, kIdentity, pending2, updated2), 0);
  EXPECT_EQ(pending2.size(), pending.size());
  // Lines that fuse nothing: a gap of 0.9 cuts the run, one point, none, a
  // NaN between two points, and a hairpin whose smoothed tangents disagree
  // (dot < 0.6); a straight pair fuses.
  for (const auto& [l, fuses] : {std::pair{Lines{V3(7, 7, 7), V3(7.9f, 7, 7)}, false}, {Lines{V3(7, 7, 7)}, false},
                                 {Lines{}, false}, {Lines{V3(7, 7, 7), V3(kNaN, 7, 7), V3(7.04f, 7, 7)}, false},
                                 {Lines{V3(9, 9, 9), V3(9.05f, 9, 9), V3(9.0f, 9, 9.001f)}, false},
                                 {Lines{V3(8, 8, 8), V3(8.05f, 8, 8)}, true}}) {
    tbb::concurrent_vector<int> p, u;
    ASSERT_EQ(h.fusion_one_lines_tangent(l, kIdentity, p, u), 0);
    EXPECT_EQ(u.empty(), !fuses) << l.size() << " points";
  }
}

// 64 lines over one 1.2 x 0.16 patch, so workers keep meeting in the same records, fused
// in order into one helper and by 8 workers into another: the record sums agree, twins included.
template <typename T>
void expect_parallel_sums_like_one_thread() {
  constexpr bool kTangent = std::is_same_v<T, LeafTangent>;
  std::vector<Lines> lines(64);
  for (int k = 0; k < 64; ++k)
    for (int i = 0; i < 40; ++i)
      lines[k].push_back(V3(4.5f + 0.03f * i, 5.02f + 0.001f * (k % 7), 4.6f + 0.01f * (k % 16)));
  LaserFusionHelper<T> helpers[2] = {{10, kCell, 0.03f, 0.1f, 3, true}, {10, kCell, 0.03f, 0.1f, 3, true}};
  helpers[1].set_tbb_num_threads(8);
  // Each pair of lists is shared by all workers of a helper.
  tbb::concurrent_vector<int> pending[2], updated[2];
  auto fuse = [&](int w, const Lines& l) {
    if constexpr (kTangent) return helpers[w].fusion_one_lines_tangent(l, kIdentity, pending[w], updated[w]);
    else return helpers[w].fusion_one_lines_normal(l, Lines(l.size(), V3(0, 1, 0)), kIdentity);
  };
  for (const auto& l : lines) ASSERT_EQ(fuse(0, l), 0);
  TavoAlgorithm::auxilary_tbb_for(8, 0, lines.size(), [&](std::size_t i) { EXPECT_EQ(fuse(1, lines[i]), 0); });
  for (int which : {0, 1}) {
    if constexpr (kTangent) helpers[which].update_normal(V3(0, -1, 0), updated[which], false);
    else helpers[which].integrate_into_tsdf();
  }
  auto near = [](float a, float b) { return std::abs(a - b) <= 1e-4f * (1.f + std::abs(b)); };
  auto expect_same = [&](const T& a, const T& b) {
    EXPECT_EQ(a.count, b.count);
    EXPECT_TRUE(near(a.weight, b.weight) && near(a.weight2, b.weight2));
    EXPECT_TRUE(a.offsetSum.isApprox(b.offsetSum, 1e-3f) || (a.offsetSum - b.offsetSum).norm() < 1e-5f);
    if constexpr (kTangent)
      for (std::size_t k = 0; k < a.momentsA.size(); ++k)
        EXPECT_NEAR(a.momentsA[k], b.momentsA[k], 1e-3f * (1.f + std::abs(b.momentsA[k])));
  };
  int compared = 0;
  for (int i = 0; i < helpers[0].octree().leaf_slots_in_use(); ++i) {
    const auto& e = helpers[0].octree().element_at(i);
    if (!e.is_used()) continue;
    const T* m = helpers[1].octree().find_payload(e.get_cell());
    ASSERT_NE(m, nullptr);
    expect_same(*m, e.payload);
    ASSERT_EQ(m->twin == nullptr, e.payload.twin == nullptr);
    if (m->twin != nullptr) expect_same(*m->twin, *e.payload.twin);
    ++compared;
  }
  EXPECT_GT(compared, 50);
  // The list lengths do not depend on the order; the normal pass meets
  // every leaf several times.
  EXPECT_EQ(pending[0].size(), pending[1].size());
  EXPECT_EQ(updated[0].size(), updated[1].size());
  if constexpr (kTangent) EXPECT_GT(updated[0].size(), pending[0].size());
}

TEST(LineFusion, ParallelLinesSumLikeOneThread) {
  expect_parallel_sums_like_one_thread<Leaf>();
  expect_parallel_sums_like_one_thread<LeafTangent>();
}

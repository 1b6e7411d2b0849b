#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

#include "LaserFusionHelper.h"
#include "Parallel.h"

using TavoAlgorithm::LaserFusionHelper;
using TavoAlgorithm::RigidMatrix;
using LaserReconstrcution::Leaf;
using LaserReconstrcution::LeafTangent;
using V3 = Eigen::Vector3f;
using Lines = std::vector<V3>;

namespace {
const RigidMatrix kIdentity;
constexpr float kCell = 0.1f;

const Leaf* leaf_at(LaserFusionHelper<Leaf>& h, int x, int y, int z) {
  return h.octree().find_payload(Eigen::Vector3i(x, y, z));
}

int used_leaves(LaserFusionHelper<Leaf>& h) {
  int n = 0;
  for (int i = 0; i < h.octree().leaf_slots_in_use(); ++i) n += h.octree().element_at(i).is_used();
  return n;
}

// A segment along x at height y = 5.17 above the row of cells y = 50, so the
// centre of cell (50, 50, 50) lies 0.12 from it (cell size 0.1).
Lines probe_points() { return {V3(5.01f, 5.17f, 5.05f), V3(5.09f, 5.17f, 5.05f)}; }
Lines up_normals() { return {V3(0, 1, 0), V3(0, 1, 0)}; }
}  // namespace

TEST(LineFusionNormal, DegenerateAndBadLinesChangeNothing) {
  LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, false);
  EXPECT_EQ(h.fusion_one_lines_normal({}, {}, kIdentity), TavoAlgorithm::RETVAL_SUCCESS);
  EXPECT_EQ(h.fusion_one_lines_normal({V3(5, 5, 5)}, {V3(0, 1, 0)}, kIdentity), TavoAlgorithm::RETVAL_SUCCESS);
  EXPECT_EQ(h.fusion_one_lines_normal(probe_points(), {V3(0, 1, 0)}, kIdentity), TavoAlgorithm::RETVAL_FAILED);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(h.fusion_one_lines_normal({V3(nan, 5, 5), V3(5.05f, 5, 5)}, up_normals(), kIdentity), 0);
  EXPECT_EQ(h.fusion_one_lines_normal({V3(inf, 5, 5), V3(5.05f, 5, 5)}, up_normals(), kIdentity), 0);
  EXPECT_EQ(h.fusion_one_lines_normal({V3(1e30f, 5, 5), V3(-1e30f, 5, 5)}, up_normals(), kIdentity), 0);
  EXPECT_EQ(h.fusion_one_lines_normal(probe_points(), {V3(0, nan, 0), V3(0, 1, 0)}, kIdentity), 0);
  // Zero normal: every component at most 1e-5.
  EXPECT_EQ(h.fusion_one_lines_normal(probe_points(), {V3(0, 1, 0), V3(1e-5f, -1e-5f, 0)}, kIdentity), 0);
  // Over-long segment: 0.41 > 4 x 0.1.
  EXPECT_EQ(h.fusion_one_lines_normal({V3(5, 5, 5), V3(5.41f, 5, 5)}, up_normals(), kIdentity), 0);
  EXPECT_EQ(used_leaves(h), 0);
  // Just below the limit it is fused.
  EXPECT_EQ(h.fusion_one_lines_normal({V3(5, 5, 5), V3(5.39f, 5, 5)}, up_normals(), kIdentity), 0);
  EXPECT_GT(used_leaves(h), 0);
}

TEST(LineFusionNormal, SegmentsTouchingTheBorderLayersAreSkipped) {
  LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, false);
  // One end in cell x = 2 (border), the other in x = 3.
  EXPECT_EQ(h.fusion_one_lines_normal({V3(0.29f, 5.05f, 5.05f), V3(0.31f, 5.05f, 5.05f)}, up_normals(), kIdentity), 0);
  // Upper face: cell 1021 = 2^10 - 3 is outside.
  EXPECT_EQ(h.fusion_one_lines_normal({V3(102.09f, 5.05f, 5.05f), V3(102.11f, 5.05f, 5.05f)}, up_normals(), kIdentity), 0);
  EXPECT_EQ(used_leaves(h), 0);
  // Both ends in cell 3: the neighbour layer x = 2 is never written.
  EXPECT_EQ(h.fusion_one_lines_normal({V3(0.31f, 5.05f, 5.05f), V3(0.39f, 5.05f, 5.05f)}, up_normals(), kIdentity), 0);
  EXPECT_GT(used_leaves(h), 0);
  EXPECT_EQ(leaf_at(h, 2, 50, 50), nullptr);
  EXPECT_NE(leaf_at(h, 3, 50, 50), nullptr);
}

TEST(LineFusionNormal, WeightsFollowTheRadiiAndTheFarFactor) {
  // r = 3, minFusionRadius = pointDis = 0.1: r1 = 0.1, r2 = 0.15.
  LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, false);
  ASSERT_EQ(h.fusion_one_lines_normal(probe_points(), up_normals(), kIdentity), 0);
  const V3 camera = V3::Zero();
  auto expect_record = [&](int y, float dist, bool far) {
    const Leaf* r = leaf_at(h, 50, y, 50);
    ASSERT_NE(r, nullptr) << y;
    const V3 P(5.05f, 5.17f, 5.05f);
    const float facing = ((camera - P).normalized().dot(V3(0, 1, 0)) + 1.f) * 0.5f;
    float w1 = std::exp(-dist * dist / 0.0225f) * facing;
    if (far) w1 *= 0.01f;
    const float w2 = std::exp(-dist * dist / 0.01f);
    EXPECT_NEAR(r->weight, w1, 1e-5f * std::max(1.f, w1));
    EXPECT_NEAR(r->weight2, w2, 1e-5f);
    EXPECT_EQ(r->count, 1);
    EXPECT_TRUE(r->normalSum.isApprox(V3(0, w1, 0), 1e-4f));
    EXPECT_NEAR(r->offsetSum.y(), w2 * (5.17f - (y + 0.5f) * kCell), 1e-5f);
    EXPECT_NEAR(r->offsetSum.x(), 0.f, 1e-5f);
  };
  expect_record(51, 0.02f, false);
  expect_record(50, 0.12f, true);  // beyond r1 = 0.1: w1 x 0.01
  // y = 52 centre lies 0.08 above: inside r1.
  expect_record(52, 0.08f, false);
  // One contribution: sdf stays 0 after the pass.
  h.integrate_into_tsdf();
  EXPECT_EQ(leaf_at(h, 50, 51, 50)->sdf, 0.f);
}

TEST(LineFusionNormal, SignedDistanceIsPositiveInFrontOfThePlane) {
  LaserFusionHelper<Leaf> h(10, kCell, 0.05f, 0.1f, 3, false);
  // Lines on the plane y = 5.12 with normals +y, camera far above.
  const RigidMatrix rt(Eigen::Matrix3d::Identity(), Eigen::Vector3d(0, 20, 0));
  for (int k = 0; k < 20; ++k) {
    Lines pts, nrm;
    for (int i = 0; i < 30; ++i) {
      pts.push_back(V3(4.5f + 0.04f * i, 5.12f - 20.f, 4.6f + 0.04f * k));
      nrm.push_back(V3(0, 1, 0));
    }
    ASSERT_EQ(h.fusion_one_lines_normal(pts, nrm, rt), 0);
  }
  h.integrate_into_tsdf();
  const Leaf* above = leaf_at(h, 50, 51, 50);  // centre 5.15
  const Leaf* below = leaf_at(h, 50, 50, 50);  // centre 5.05
  ASSERT_NE(above, nullptr);
  ASSERT_NE(below, nullptr);
  EXPECT_NEAR(above->sdf, 0.03f, 1e-3f);
  EXPECT_NEAR(below->sdf, -0.07f, 1e-3f);
  EXPECT_NEAR(above->normalSum.normalized().y(), 1.f, 1e-5f);
}

TEST(LineFusionNormal, OpposedNormalsMakeOneTwinThatStaysApart) {
  LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, true);
  ASSERT_EQ(h.fusion_one_lines_normal(probe_points(), up_normals(), kIdentity), 0);
  ASSERT_EQ(h.fusion_one_lines_normal(probe_points(), {V3(0, -1, 0), V3(0, -1, 0)}, kIdentity), 0);
  ASSERT_EQ(h.fusion_one_lines_normal(probe_points(), {V3(0, -1, 0), V3(0, -1, 0)}, kIdentity), 0);
  const Leaf* r = leaf_at(h, 50, 51, 50);
  ASSERT_NE(r, nullptr);
  ASSERT_NE(r->twin, nullptr);
  EXPECT_EQ(r->twin->twin, r);
  EXPECT_EQ(r->count, 1);
  EXPECT_EQ(r->twin->count, 2);
  EXPECT_LT(r->twin->normalSum.y(), 0.f);
  h.integrate_into_tsdf();
  EXPECT_NE(r->twin, nullptr);
  // Without double voxel the opposed contributions cancel in one record.
  LaserFusionHelper<Leaf> single(10, kCell, 0.1f, 0.1f, 3, false);
  ASSERT_EQ(single.fusion_one_lines_normal(probe_points(), up_normals(), kIdentity), 0);
  ASSERT_EQ(single.fusion_one_lines_normal(probe_points(), {V3(0, -1, 0), V3(0, -1, 0)}, kIdentity), 0);
  const Leaf* s = leaf_at(single, 50, 51, 50);
  EXPECT_EQ(s->twin, nullptr);
  EXPECT_EQ(s->count, 2);
  EXPECT_LT(s->normalSum.norm(), 0.75f * s->weight);
}

TEST(LineFusionNormal, NearlyOrthogonalTwinIsFoldedBack) {
  LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, true);
  ASSERT_EQ(h.fusion_one_lines_normal(probe_points(), up_normals(), kIdentity), 0);
  const V3 tilted = V3(0.f, -0.02f, 1.f).normalized();  // slightly against +y: a twin
  ASSERT_EQ(h.fusion_one_lines_normal(probe_points(), {tilted, tilted}, kIdentity), 0);
  Leaf* r = h.octree().find_payload(Eigen::Vector3i(50, 51, 50));
  ASSERT_NE(r->twin, nullptr);
  const float weight = r->weight + r->twin->weight;
  h.integrate_into_tsdf();
  EXPECT_EQ(r->twin, nullptr);
  EXPECT_EQ(r->count, 2);
  EXPECT_FLOAT_EQ(r->weight, weight);
  EXPECT_NEAR(r->normalSum.norm(), 1.f, 1e-5f);
}

TEST(LineFusionTangent, ListsFlagsAndRuns) {
  LaserFusionHelper<LeafTangent> h(10, kCell, 0.05f, 0.1f, 3, false);
  Lines line;
  for (int i = 0; i < 10; ++i) line.push_back(V3(5.0f + 0.04f * i, 5.05f, 5.05f));
  tbb::concurrent_vector<int> pending, updated;
  ASSERT_EQ(h.fusion_one_lines_tangent(line, kIdentity, pending, updated), 0);
  ASSERT_FALSE(pending.empty());
  EXPECT_GE(updated.size(), pending.size());
  std::vector<int> sorted(pending.begin(), pending.end());
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "a leaf entered twice";
  const LeafTangent& r = h.octree().element_at(pending[0]).payload;
  EXPECT_EQ(r.flags & 3, 3);
  EXPECT_GT(r.momentsA[0], 0.f);  // tangents along x
  EXPECT_NEAR(r.momentsA[3], 0.f, 1e-6f);
  EXPECT_FLOAT_EQ(r.weight, static_cast<float>(r.count));
  // Touching again does not re-queue; after clearing the flags it does.
  tbb::concurrent_vector<int> pending2, updated2;
  ASSERT_EQ(h.fusion_one_lines_tangent(line, kIdentity, pending2, updated2), 0);
  EXPECT_TRUE(pending2.empty());
  EXPECT_EQ(updated2.size(), updated.size());
  h.clear_update_flags(pending);
  EXPECT_EQ(h.octree().element_at(pending[0]).payload.flags & 1, 0);
  ASSERT_EQ(h.fusion_one_lines_tangent(line, kIdentity, pending2, updated2), 0);
  EXPECT_EQ(pending2.size(), pending.size());
  // Gaps of 0.9 cut the line: two points that far apart fuse nothing.
  tbb::concurrent_vector<int> p3, u3;
  ASSERT_EQ(h.fusion_one_lines_tangent({V3(7, 7, 7), V3(7.9f, 7, 7)}, kIdentity, p3, u3), 0);
  ASSERT_EQ(h.fusion_one_lines_tangent({V3(7, 7, 7)}, kIdentity, p3, u3), 0);
  ASSERT_EQ(h.fusion_one_lines_tangent({}, kIdentity, p3, u3), 0);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  ASSERT_EQ(h.fusion_one_lines_tangent({V3(7, 7, 7), V3(nan, 7, 7), V3(7.04f, 7, 7)}, kIdentity, p3, u3), 0);
  EXPECT_TRUE(u3.empty());
  ASSERT_EQ(h.fusion_one_lines_tangent({V3(8, 8, 8), V3(8.05f, 8, 8)}, kIdentity, p3, u3), 0);
  EXPECT_FALSE(u3.empty());  // a straight pair fuses
  // A hairpin: the smoothed tangents of both segments disagree (dot < 0.6).
  tbb::concurrent_vector<int> p4, u4;
  ASSERT_EQ(h.fusion_one_lines_tangent({V3(9, 9, 9), V3(9.05f, 9, 9), V3(9.0f, 9, 9.001f)}, kIdentity, p4, u4), 0);
  EXPECT_TRUE(u4.empty());
  h.get_update_vid(pending, sorted);
  EXPECT_EQ(sorted.size(), pending.size());
}

TEST(LineFusionTangent, SweptPlaneGetsNormalsFacingTheCamera) {
  LaserFusionHelper<LeafTangent> h(10, kCell, 0.03f, 0.1f, 3, false);
  // Camera above the plane z = 5.02 looking down (its +z axis is world -z).
  Eigen::Matrix3d R = Eigen::Vector3d(1, -1, -1).asDiagonal();
  const RigidMatrix rt(R, Eigen::Vector3d(5, 5, 8));
  const Eigen::Vector3f viewDir = rt.transform_normal(V3(0, 0, 1));
  tbb::concurrent_vector<int> pending;
  for (int k = 0; k < 25; ++k) {
    Lines line;  // camera frame: world (x, y, 5.02)
    for (int i = 0; i < 25; ++i) line.push_back(rt.inverse() * V3(4.5f + 0.04f * i, 4.5f + 0.04f * k, 5.02f));
    tbb::concurrent_vector<int> updated;
    ASSERT_EQ(h.fusion_one_lines_tangent(line, rt, pending, updated), 0);
    h.update_normal(viewDir, updated, false);
  }
  const LeafTangent* r = h.octree().find_payload(Eigen::Vector3i(50, 50, 50));
  ASSERT_NE(r, nullptr);
  EXPECT_NEAR(r->normal.z(), 1.f, 1e-3f);
  EXPECT_EQ(r->flags & 2, 0);
  // A single line gives no normal without dark-mode qualification.
  LaserFusionHelper<LeafTangent> d(10, kCell, 0.03f, 0.1f, 3, false);
  tbb::concurrent_vector<int> p, u;
  Lines line;
  for (int i = 0; i < 25; ++i) line.push_back(rt.inverse() * V3(4.5f + 0.04f * i, 5.05f, 5.02f));
  ASSERT_EQ(d.fusion_one_lines_tangent(line, rt, p, u), 0);
  d.update_normal(viewDir, u, true);
  const LeafTangent* s = d.octree().find_payload(Eigen::Vector3i(50, 50, 50));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->normal, V3::Zero());
  EXPECT_EQ(s->flags & 4, 0);  // q = 1 does not qualify
}

namespace {
// 64 lines over one 1.2 x 0.16 patch: every cell is hit by many lines, so
// workers keep meeting in the same records.
std::vector<Lines> overlapping_lines() {
  std::vector<Lines> lines;
  for (int k = 0; k < 64; ++k) {
    Lines l;
    for (int i = 0; i < 40; ++i) l.push_back(V3(4.5f + 0.03f * i, 5.02f + 0.001f * (k % 7), 4.6f + 0.01f * (k % 16)));
    lines.push_back(l);
  }
  return lines;
}

// Fuses the lines one after another into helper 0 and by 8 workers into
// helper 1 (fuse(helper, line, which)), runs after(helper, which) on both and
// compares every record's order-independent sums (twins included).
template <typename T, typename Fuse, typename After>
void expect_parallel_sums_like_one_thread(Fuse fuse, After after) {
  const auto lines = overlapping_lines();
  LaserFusionHelper<T> one(10, kCell, 0.03f, 0.1f, 3, true);
  LaserFusionHelper<T> many(10, kCell, 0.03f, 0.1f, 3, true);
  many.set_tbb_num_threads(8);
  for (const auto& l : lines) ASSERT_EQ(fuse(one, l, 0), 0);
  TavoAlgorithm::auxilary_tbb_for(8, 0, lines.size(), [&](std::size_t i) { EXPECT_EQ(fuse(many, lines[i], 1), 0); });
  after(one, 0);
  after(many, 1);
  auto expect_same = [](const T& a, const T& b) {
    EXPECT_EQ(a.count, b.count);
    EXPECT_NEAR(a.weight, b.weight, 1e-4f * (1.f + b.weight));
    EXPECT_NEAR(a.weight2, b.weight2, 1e-4f * (1.f + b.weight2));
    EXPECT_TRUE(a.offsetSum.isApprox(b.offsetSum, 1e-3f) || (a.offsetSum - b.offsetSum).norm() < 1e-5f);
    if constexpr (std::is_same_v<T, LeafTangent>) {
      for (std::size_t k = 0; k < a.momentsA.size(); ++k)
        EXPECT_NEAR(a.momentsA[k], b.momentsA[k], 1e-3f * (1.f + std::abs(b.momentsA[k])));
    }
  };
  int compared = 0;
  for (int i = 0; i < one.octree().leaf_slots_in_use(); ++i) {
    const auto& e = one.octree().element_at(i);
    if (!e.is_used()) continue;
    const T* m = many.octree().find_payload(e.get_cell());
    ASSERT_NE(m, nullptr);
    expect_same(*m, e.payload);
    ASSERT_EQ(m->twin == nullptr, e.payload.twin == nullptr);
    if (m->twin != nullptr) expect_same(*m->twin, *e.payload.twin);
    ++compared;
  }
  EXPECT_GT(compared, 50);
}
}  // namespace

TEST(LineFusion, ParallelLinesSumLikeOneThread) {
  const Lines normals(40, V3(0, 1, 0));
  expect_parallel_sums_like_one_thread<Leaf>(
      [&](LaserFusionHelper<Leaf>& h, const Lines& l, int) { return h.fusion_one_lines_normal(l, normals, kIdentity); },
      [](LaserFusionHelper<Leaf>& h, int) { h.integrate_into_tsdf(); });
  // Each pair of lists is shared by all workers of a helper; the lengths do
  // not depend on the order. The normal pass meets every leaf several times.
  tbb::concurrent_vector<int> pending[2], updated[2];
  expect_parallel_sums_like_one_thread<LeafTangent>(
      [&](LaserFusionHelper<LeafTangent>& h, const Lines& l, int which) {
        return h.fusion_one_lines_tangent(l, kIdentity, pending[which], updated[which]);
      },
      [&](LaserFusionHelper<LeafTangent>& h, int which) { h.update_normal(V3(0, -1, 0), updated[which], false); });
  EXPECT_EQ(pending[0].size(), pending[1].size());
  EXPECT_EQ(updated[0].size(), updated[1].size());
  EXPECT_GT(updated[0].size(), pending[0].size());
}

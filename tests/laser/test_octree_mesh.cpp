#include <gtest/gtest.h>

#include <map>
#include <utility>

#include "laser_scan_util.h"

using namespace laser_test;
using TavoAlgorithm::BaseTriMesh;

namespace {
Leaf& make_leaf(LaserFusionHelper<Leaf>& h, const V3i& c, float sdf, float weight = 1.f) {
  Leaf& r = h.octree().element(h.octree().find_or_create_leaf(c)).payload;
  r.sdf = sdf;
  r.weight = weight;
  r.normalSum = V3(1, 0, 0);
  return r;
}

BaseTriMesh mesh_of(LaserFusionHelper<Leaf>& h, std::vector<int>& axes) {
  std::vector<int> work;
  tbb::concurrent_vector<int> faces;
  return h.get_mesh(work, faces, axes);
}
}  // namespace

TEST(OctreeMesh, EdgeVertexInterpolatesAndOuterLayersMakeNone) {
  LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, false);
  make_leaf(h, {50, 50, 50}, 0.2f);  // with 51: a quarter of the way along the edge
  make_leaf(h, {51, 50, 50}, -0.6f);
  make_leaf(h, {0, 60, 60}, 0.2f);  // outermost layer: no edges even with a sign change
  make_leaf(h, {1, 60, 60}, -0.2f);
  make_leaf(h, {1, 70, 70}, 0.2f);  // layer 1 makes its edge vertex
  make_leaf(h, {2, 70, 70}, -0.2f);
  make_leaf(h, {80, 80, 80}, 0.2f);  // no sign change
  make_leaf(h, {81, 80, 80}, 0.3f);
  make_leaf(h, {90, 90, 90}, 0.2f, 0.0005f);  // both weights below 0.001
  make_leaf(h, {91, 90, 90}, -0.2f, 0.0009f);
  h.set_tree_shift(V3(1, 2, 3));
  std::vector<int> axes;
  const BaseTriMesh m = mesh_of(h, axes);
  ASSERT_EQ(m.get_vn(), 2);
  EXPECT_EQ(axes, (std::vector<int>{0, 0}));
  EXPECT_EQ(m.get_fn(), 0);  // single edges make no closed cube
  const V3 quarter = V3(50.5f + 0.25f, 50.5f, 50.5f) * kCell + V3(1, 2, 3);
  const V3 half = V3(1.5f + 0.5f, 70.5f, 70.5f) * kCell + V3(1, 2, 3);
  const bool order = (m.get_vCoord(0) - quarter).norm() < 1e-4f;
  EXPECT_TRUE(m.get_vCoord(order ? 0 : 1).isApprox(quarter, 1e-5f));
  EXPECT_TRUE(m.get_vCoord(order ? 1 : 0).isApprox(half, 1e-5f));
}

TEST(OctreeMesh, OpposedNeighbourUsesItsTwin) {
  LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, true);
  make_leaf(h, {50, 50, 50}, 0.2f);
  Leaf& b = make_leaf(h, {51, 50, 50}, 0.5f);
  b.normalSum = V3(-1, 0, 0);  // the other side of a wall
  std::vector<int> axes;
  EXPECT_EQ(mesh_of(h, axes).get_vn(), 0);
  Leaf twin;
  twin.sdf = -0.2f;
  twin.weight = 1.f;
  twin.normalSum = V3(1, 0, 0);
  b.twin = &twin;
  const BaseTriMesh m = mesh_of(h, axes);
  ASSERT_EQ(m.get_vn(), 1);
  EXPECT_NEAR(m.get_vCoord(0).x(), 51.0f * kCell, 1e-5f);
  b.twin = nullptr;
}

// A cube whose lowest corner has no leaf is still built when its edges
// carry vertices: left out, the mesh would open along every band border.
TEST(OctreeMesh, CubeWithoutItsLowestCornerLeafIsBuilt) {
  LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, false);
  const V3i c(40, 40, 40);
  for (int k = 1; k < 8; ++k) {
    const V3i cell = c + V3i(k & 1, (k >> 1) & 1, (k >> 2) & 1);
    make_leaf(h, cell, k == 7 ? -0.5f : 0.5f);  // only c + (1, 1, 1) inside
  }
  std::vector<int> axes;
  const BaseTriMesh m = mesh_of(h, axes);
  ASSERT_EQ(m.get_vn(), 3);
  ASSERT_EQ(m.get_fn(), 1);
  // Facing away from the inside corner, like every other face.
  const auto& f = m.get_face(0);
  const V3 n = (m.get_vCoord(f[1]) - m.get_vCoord(f[0])).cross(m.get_vCoord(f[2]) - m.get_vCoord(f[0]));
  const V3 centroid = (m.get_vCoord(f[0]) + m.get_vCoord(f[1]) + m.get_vCoord(f[2])) / 3.f;
  const V3 inside = (c + V3i::Ones()).cast<float>() * kCell + V3::Constant(0.5f * kCell);
  EXPECT_GT(n.dot(centroid - inside), 0.f);
}

// A band of cells around a sphere, with its exact signed distances, spans
// thousands of leaf slots (many tasks and node-cache refills): the mesh must
// be closed (every edge in exactly two faces, none left out or repeated),
// lie on the sphere, and come out the same on one worker and on two.
TEST(OctreeMesh, SphereBandGivesAClosedMeshOnTheSphere) {
  const V3 centre = V3::Constant(64.3f * kCell);
  const float radius = 12.f * kCell;
  auto build = [&](int threads) {
    LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, false);
    h.set_tbb_num_threads(threads);
    for (int z = 48; z < 82; ++z)
      for (int y = 48; y < 82; ++y)
        for (int x = 48; x < 82; ++x) {
          const V3 c = (V3(x, y, z) + V3::Constant(0.5f)) * kCell - centre;
          if (std::abs(c.norm() - radius) > 2.f * kCell) continue;  // every corner of a crossed cube
          make_leaf(h, V3i(x, y, z), c.norm() - radius).normalSum = c.normalized();
        }
    EXPECT_GT(h.octree().leaf_slots_in_use(), 8 * 1024);
    std::vector<int> axes;
    return mesh_of(h, axes);
  };
  const BaseTriMesh m = build(1);
  ASSERT_GT(m.get_fn(), 1000);
  std::map<std::pair<int, int>, int> edgeUse;
  for (const auto& f : m.get_faces())
    for (int k = 0; k < 3; ++k) ++edgeUse[std::minmax(f[k], f[(k + 1) % 3])];
  for (const auto& [edge, uses] : edgeUse) ASSERT_EQ(uses, 2) << edge.first << "-" << edge.second;
  for (int v = 0; v < m.get_vn(); ++v) EXPECT_NEAR((m.get_vCoord(v) - centre).norm(), radius, 0.05f * kCell);
  const BaseTriMesh m2 = build(2);
  EXPECT_EQ(m2.get_vn(), m.get_vn());
  EXPECT_EQ(m2.get_fn(), m.get_fn());
}

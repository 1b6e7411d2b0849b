#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <utility>

#include "laser_scan_util.h"

using namespace laser_test;
using TavoAlgorithm::BaseTriMesh;
using TavoAlgorithm::LaserFusionHelper;
using LaserReconstrcution::Leaf;

namespace {
Leaf& make_leaf(LaserFusionHelper<Leaf>& h, const Eigen::Vector3i& c, float sdf) {
  Leaf& r = h.octree().element(h.octree().find_or_create_leaf(c)).payload;
  r.sdf = sdf;
  r.weight = 1.f;
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
  make_leaf(h, {50, 50, 50}, 0.2f);
  make_leaf(h, {51, 50, 50}, -0.6f);
  // Outermost layer: cell 0 has no edges even with a sign change.
  make_leaf(h, {0, 60, 60}, 0.2f);
  make_leaf(h, {1, 60, 60}, -0.2f);
  // Layer 1 makes its edge vertex.
  make_leaf(h, {1, 70, 70}, 0.2f);
  make_leaf(h, {2, 70, 70}, -0.2f);
  // No sign change, and weights both below 0.001: no vertex.
  make_leaf(h, {80, 80, 80}, 0.2f);
  make_leaf(h, {81, 80, 80}, 0.3f);
  make_leaf(h, {90, 90, 90}, 0.2f).weight = 0.0005f;
  make_leaf(h, {91, 90, 90}, -0.2f).weight = 0.0009f;
  h.set_tree_shift(V3(1, 2, 3));
  std::vector<int> axes;
  const BaseTriMesh m = mesh_of(h, axes);
  ASSERT_EQ(m.get_vn(), 2);
  ASSERT_EQ(axes.size(), 2u);
  EXPECT_EQ(m.get_fn(), 0);  // single edges make no closed cube
  const V3 quarter = V3(50.5f + 0.25f, 50.5f, 50.5f) * kCell + V3(1, 2, 3);
  const V3 half = V3(1.5f + 0.5f, 70.5f, 70.5f) * kCell + V3(1, 2, 3);
  const bool order = (m.get_vCoord(0) - quarter).norm() < 1e-4f;
  EXPECT_TRUE(m.get_vCoord(order ? 0 : 1).isApprox(quarter, 1e-5f));
  EXPECT_TRUE(m.get_vCoord(order ? 1 : 0).isApprox(half, 1e-5f));
  EXPECT_EQ(axes[0], 0);
  EXPECT_EQ(axes[1], 0);
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

TEST(OctreeMesh, ScannedSphereMeshIsClosedAndOnTheSurface) {
  const V3 centre(1, 2, 3);
  sim::Scene scene;
  scene.spheres.push_back({centre, 2.f});
  // A fusion radius of 1.5 cells reaches the diagonal neighbours, so every
  // corner of a cube the surface crosses gets a signed distance.
  LaserFusionHelper<Leaf> h(10, kCell, 0.04f, 1.5f * kCell, 3, false);
  centre_grid(h, centre);
  fuse_normal(h, sweeps(scene, centre, {V3(1, 0, 0), V3(-1, 0, 0), V3(0, 1, 0), V3(0, -1, 0), V3(0, 0, 1), V3(0, 0, -1)},
                        6.f, 2.5f, 90, 0.005f));
  std::vector<int> axes;
  const BaseTriMesh m = mesh_of(h, axes);
  ASSERT_GT(m.get_fn(), 1000);
  ASSERT_TRUE(m.faces_valid());
  std::map<std::pair<int, int>, int> edgeUse;
  int outward = 0;
  double sq = 0;
  for (int f = 0; f < m.get_fn(); ++f) {
    const auto& F = m.get_face(f);
    for (int k = 0; k < 3; ++k) ++edgeUse[std::minmax(F[k], F[(k + 1) % 3])];
    const V3 a = m.get_vCoord(F[0]), b = m.get_vCoord(F[1]), c = m.get_vCoord(F[2]);
    outward += (b - a).cross(c - a).dot((a + b + c) / 3.f - centre) > 0.f;
  }
  for (int v = 0; v < m.get_vn(); ++v) sq += std::pow((m.get_vCoord(v) - centre).norm() - 2.f, 2);
  int border = 0;
  int once = 0;
  for (const auto& e : edgeUse) {
    border += e.second != 2;
    once += e.second == 1;
  }
  const double rms = std::sqrt(sq / m.get_vn()) / kCell;
  std::printf("sphere mesh: %d vertices, %d faces, %d of %zu edges not shared by two faces, vertex RMS %.3f cell\n",
              m.get_vn(), m.get_fn(), border, edgeUse.size(), rms);
  // No edge is shared by more than two faces; open edges remain only where a
  // cube corner never got a signed distance (a cell fused once or not reached).
  EXPECT_EQ(border, once);
  EXPECT_LT(border, 0.05 * edgeUse.size());
  EXPECT_EQ(outward, m.get_fn());
  EXPECT_LT(rms, 0.2);
  // The sampling call returns the same vertices with normals.
  TavoAlgorithm::Cloud in, out;
  h.get_marching_cube_cloud(in, out);
  EXPECT_EQ(out.get_vn(), m.get_vn());
  EXPECT_TRUE(out.has_vNormal());
}

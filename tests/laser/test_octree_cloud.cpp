#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "laser_scan_util.h"

using namespace laser_test;
using TavoAlgorithm::BaseTriMesh;

// A plane fused line by line with an incremental refresh after each line:
// points on the plane, vertex ids that never change, and make_union keeping
// exactly the mesh vertices within reach of a live point.
TEST(OctreeCloud, IncrementalPlanePointsKeepTheirIdsAndBackMakeUnion) {
  LaserFusionHelper<LeafTangent> h(10, kCell, 0.04f, 0.1f, 3, false);
  const PlaneScan scan;
  Cloud cloud;
  std::atomic<int> current{0}, valid{0};
  tbb::concurrent_vector<int> pending;
  std::map<int, int> idOfLeaf;
  for (int k = 0; k < 25; ++k) {
    tbb::concurrent_vector<int> updated;
    ASSERT_EQ(h.fusion_one_lines_tangent(scan.line(k), scan.rt, pending, updated), 0);
    h.update_normal(scan.view_dir(), updated, false);
    std::vector<int> changed;
    h.get_cloud_incremental(pending, cloud, current, valid, changed, false);
    for (int leaf : pending) {
      const int id = h.octree().element_at(leaf).payload.vertexId;
      const auto [known, first] = idOfLeaf.emplace(leaf, id);
      if (!first && known->second >= 0) EXPECT_EQ(id, known->second) << "vertex id changed";
      if (id >= 0) known->second = id;
    }
    for (int id : changed) EXPECT_TRUE(id >= 0 && id < current.load());
    pending.clear();
    for (int i = 0; i < 25 * 25; ++i) EXPECT_EQ(h.octree().element_at(i).payload.flags & 1, 0);
  }
  EXPECT_EQ(cloud.get_vn(), 1000000);  // grown by one step
  EXPECT_EQ(static_cast<int>(sorted_live(cloud, cloud.get_vn()).size()), valid.load());
  EXPECT_GT(valid.load(), 50);
  for (int i = 0; i < current.load(); ++i) {
    if (cloud.get_vDeleted(i)) continue;
    EXPECT_NEAR(cloud.get_vCoord(i).z(), 5.02f, 1e-4f);
    EXPECT_NEAR(cloud.get_vNrv(i).z(), 1.f, 1e-3f);
  }

  const std::pair<V3, bool> probes[] = {
      {V3(5.0f, 5.0f, 5.02f), true},   // on the scanned patch
      {V3(5.0f, 5.0f, 5.30f), true},   // three cells above it
      {V3(5.0f, 5.0f, 4.72f), true},   // three cells below
      {V3(5.0f, 5.0f, 5.50f), false},  // far above
      {V3(9.0f, 9.0f, 9.0f), false},   // elsewhere
      {V3(NAN, 0.f, 0.f), false},      // bad coordinate
  };
  BaseTriMesh mesh;
  for (const auto& p : probes) mesh.add_vCoord(p.first);
  h.make_union(cloud, mesh);
  for (int v = 0; v < mesh.get_vn(); ++v) EXPECT_EQ(mesh.get_vDeleted(v), !probes[v].second) << v;
  // Leaf records carry no vertex ids, and deleted points support nothing.
  LaserFusionHelper<Leaf> plain(10, kCell, 0.1f, 0.1f, 3, false);
  ASSERT_EQ(plain.fusion_one_lines_normal(probe_points(), up_normals(), kIdentity), 0);
  BaseTriMesh again;
  again.add_vCoord(V3(5.05f, 5.17f, 5.05f));
  plain.make_union(cloud, again);
  EXPECT_TRUE(again.get_vDeleted(0));
  for (int i = 0; i < current.load(); ++i) cloud.set_vDeleted(i, true);
  h.make_union(cloud, mesh);
  EXPECT_TRUE(mesh.get_vDeleted(0));
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

#include "LaserFusionHelper.h"

using TavoAlgorithm::Cloud;
using TavoAlgorithm::LaserFusionHelper;
using TavoAlgorithm::RigidMatrix;
using LaserReconstrcution::Leaf;
using LaserReconstrcution::LeafTangent;
using V3 = Eigen::Vector3f;

namespace {
constexpr float kCell = 0.1f;
// Camera 20 above the probe, looking down -y in the world.
const RigidMatrix kAbove(Eigen::Matrix3d::Identity(), Eigen::Vector3d(0, 20, 0));

void fuse_probe(LaserFusionHelper<Leaf>& h, int times) {
  const std::vector<V3> pts = {V3(5.01f, 5.17f - 20.f, 5.05f), V3(5.09f, 5.17f - 20.f, 5.05f)};
  const std::vector<V3> nrm(2, V3(0, 1, 0));
  for (int k = 0; k < times; ++k) ASSERT_EQ(h.fusion_one_lines_normal(pts, nrm, kAbove), 0);
}

// Lines on the plane z = 5.02 seen from a camera above it (camera +z = world -z).
struct PlaneScan {
  RigidMatrix rt{Eigen::Matrix3d(Eigen::Vector3d(1, -1, -1).asDiagonal()), Eigen::Vector3d(5, 5, 8)};
  std::vector<V3> line(int k) const {
    std::vector<V3> l;
    for (int i = 0; i < 25; ++i) l.push_back(rt.inverse() * V3(4.5f + 0.04f * i, 4.5f + 0.04f * k, 5.02f));
    return l;
  }
  V3 view_dir() const { return rt.transform_normal(V3(0, 0, 1)); }
};

std::vector<V3> live_points(const Cloud& c, int count) {
  std::vector<V3> out;
  for (int i = 0; i < count; ++i)
    if (!c.get_vDeleted(i)) out.push_back(c.get_vCoord(i));
  return out;
}

bool same_point_set(std::vector<V3> a, std::vector<V3> b) {
  auto less = [](const V3& p, const V3& q) {
    return std::lexicographical_compare(p.data(), p.data() + 3, q.data(), q.data() + 3);
  };
  std::sort(a.begin(), a.end(), less);
  std::sort(b.begin(), b.end(), less);
  return a == b;
}
}  // namespace

TEST(OctreeCloud, SixContributionsMakeAPointFiveDoNot) {
  LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, false);
  Cloud cloud;
  fuse_probe(h, 5);
  h.get_cloud(cloud);
  EXPECT_EQ(cloud.get_vn(), 0);
  fuse_probe(h, 1);
  h.get_cloud(cloud);
  // Cell y = 51 (centre 5.15) projects 0.02 up onto the line. Cell y = 52
  // would project 0.08 down, more than half a cell: no point. Cell y = 50 is
  // beyond r1 and keeps its weight below 0.5.
  ASSERT_EQ(cloud.get_vn(), 1);
  ASSERT_TRUE(cloud.has_vNormal());
  EXPECT_TRUE(cloud.get_vCoord(0).isApprox(V3(5.05f, 5.17f, 5.05f), 1e-5f));
  EXPECT_TRUE(cloud.get_vNrv(0).isApprox(V3(0, 1, 0), 1e-5f));
  EXPECT_EQ(h.octree().find_payload(Eigen::Vector3i(50, 52, 50))->count, 6);
}

TEST(OctreeCloud, ZeroNormalSumAndEmptyTreeGiveNoPoint) {
  LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, false);
  Cloud cloud;
  cloud.add_vCoord(V3(1, 2, 3));
  h.get_cloud(cloud);
  EXPECT_EQ(cloud.get_vn(), 0);
  Leaf& r = h.octree().element(h.octree().find_or_create_leaf(Eigen::Vector3i(40, 40, 40))).payload;
  r.count = 10;
  r.weight = 5.f;
  r.weight2 = 5.f;
  r.normalSum = V3::Zero();  // normalises to zero
  h.get_cloud(cloud);
  EXPECT_EQ(cloud.get_vn(), 0);
}

TEST(OctreeCloud, PlanePointsLieOnThePlaneWithStableIds) {
  LaserFusionHelper<LeafTangent> h(10, kCell, 0.04f, 0.1f, 3, false);
  const PlaneScan scan;
  Cloud cloud;
  std::atomic<int> current{0}, valid{0};
  tbb::concurrent_vector<int> pending;
  std::vector<int> idOfLeaf;
  for (int k = 0; k < 25; ++k) {
    tbb::concurrent_vector<int> updated;
    ASSERT_EQ(h.fusion_one_lines_tangent(scan.line(k), scan.rt, pending, updated), 0);
    h.update_normal(scan.view_dir(), updated, false);
    std::vector<int> changed;
    h.get_cloud_incremental(pending, cloud, current, valid, changed, false);
    for (std::size_t i = 0; i < pending.size(); ++i) {
      const int id = h.octree().element_at(pending[i]).payload.vertexId;
      const std::size_t leaf = static_cast<std::size_t>(pending[i]);
      if (idOfLeaf.size() <= leaf) idOfLeaf.resize(leaf + 1, -1);
      if (idOfLeaf[leaf] >= 0) EXPECT_EQ(id, idOfLeaf[leaf]) << "vertex id changed";
      if (id >= 0) idOfLeaf[leaf] = id;
    }
    for (int id : changed) EXPECT_TRUE(id >= 0 && id < current.load());
    pending.clear();
    for (int i = 0; i < 25 * 25; ++i) EXPECT_EQ(h.octree().element_at(i).payload.flags & 1, 0);
  }
  ASSERT_GT(current.load(), 50);
  EXPECT_EQ(cloud.get_vn(), 1000000);
  const auto live = live_points(cloud, cloud.get_vn());
  EXPECT_EQ(static_cast<int>(live.size()), valid.load());
  EXPECT_GT(valid.load(), 50);
  for (int i = 0; i < current.load(); ++i) {
    if (cloud.get_vDeleted(i)) continue;
    EXPECT_NEAR(cloud.get_vCoord(i).z(), 5.02f, 1e-4f);
    EXPECT_NEAR(cloud.get_vNrv(i).z(), 1.f, 1e-3f);
  }
}

TEST(OctreeCloud, MakeUnionKeepsVerticesNearLivePoints) {
  LaserFusionHelper<LeafTangent> h(10, kCell, 0.04f, 0.1f, 3, false);
  const PlaneScan scan;
  Cloud cloud;
  std::atomic<int> current{0}, valid{0};
  tbb::concurrent_vector<int> pending;
  for (int k = 0; k < 25; ++k) {
    tbb::concurrent_vector<int> updated;
    ASSERT_EQ(h.fusion_one_lines_tangent(scan.line(k), scan.rt, pending, updated), 0);
    h.update_normal(scan.view_dir(), updated, false);
  }
  std::vector<int> changed;
  h.get_cloud_incremental(pending, cloud, current, valid, changed, false);
  ASSERT_GT(valid.load(), 0);
  TavoAlgorithm::BaseTriMesh mesh;
  mesh.add_vCoord(V3(5.0f, 5.0f, 5.02f));   // on the scanned patch
  mesh.add_vCoord(V3(5.0f, 5.0f, 5.30f));   // three cells above it
  mesh.add_vCoord(V3(5.0f, 5.0f, 4.72f));   // three cells below
  mesh.add_vCoord(V3(5.0f, 5.0f, 5.50f));   // far above
  mesh.add_vCoord(V3(9.0f, 9.0f, 9.0f));    // elsewhere
  mesh.add_vCoord(V3(NAN, 0.f, 0.f));       // bad coordinate
  h.make_union(cloud, mesh);
  EXPECT_FALSE(mesh.get_vDeleted(0));
  EXPECT_FALSE(mesh.get_vDeleted(1));
  EXPECT_FALSE(mesh.get_vDeleted(2));
  EXPECT_TRUE(mesh.get_vDeleted(3));
  EXPECT_TRUE(mesh.get_vDeleted(4));
  EXPECT_TRUE(mesh.get_vDeleted(5));
  // Deleting the cloud's points removes all support.
  for (int i = 0; i < current.load(); ++i) cloud.set_vDeleted(i, true);
  TavoAlgorithm::BaseTriMesh again;
  again.add_vCoord(V3(5.0f, 5.0f, 5.02f));
  h.make_union(cloud, again);
  EXPECT_TRUE(again.get_vDeleted(0));
  // Leaf records carry no vertex ids: nothing is supported.
  LaserFusionHelper<Leaf> plain(10, kCell, 0.1f, 0.1f, 3, false);
  fuse_probe(plain, 6);
  TavoAlgorithm::BaseTriMesh m2;
  m2.add_vCoord(V3(5.05f, 5.17f, 5.05f));
  plain.make_union(cloud, m2);
  EXPECT_TRUE(m2.get_vDeleted(0));
}

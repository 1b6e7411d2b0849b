#include <gtest/gtest.h>

#include "geometry/BaseTriMesh.h"
#include "geometry/RangeData.h"

using namespace TavoAlgorithm;

namespace {
Cloud numbered_cloud(int n) {
  Cloud c;
  c.enable_vNormal();
  c.enable_vColor();
  for (int i = 0; i < n; ++i) {
    const int v = c.add_vCoord(Eigen::Vector3f(static_cast<float>(i), 0.f, 0.f));
    c.set_vNrv(v, Eigen::Vector3f(0.f, static_cast<float>(i), 0.f));
    c.set_vColor(v, Color3b(static_cast<std::uint8_t>(i), 0, 0));
  }
  return c;
}
int original_index(const Cloud& c, int v) { return static_cast<int>(c.get_vCoord(v).x()); }
}  // namespace

TEST(CloudSqueeze, LastKeptPointFillsEachGapFromTheFront) {
  Cloud c = numbered_cloud(8);
  for (int d : {1, 3, 5, 6}) c.set_vDeleted(d, true);
  std::vector<int> newIndex;
  ASSERT_EQ(c.squeeze(&newIndex), 4);
  const int expectOrder[] = {0, 7, 2, 4};
  for (int v = 0; v < 4; ++v) {
    EXPECT_EQ(original_index(c, v), expectOrder[v]);
    EXPECT_EQ(c.get_vNrv(v).y(), static_cast<float>(expectOrder[v]));  // attributes travel along
    EXPECT_EQ(c.get_vColor(v).x(), expectOrder[v]);
    EXPECT_FALSE(c.get_vDeleted(v));
  }
  EXPECT_EQ(newIndex, (std::vector<int>{0, -1, 2, -1, 3, -1, -1, 1}));
}

TEST(CloudSqueeze, EdgeCases) {
  Cloud none = numbered_cloud(5);
  EXPECT_EQ(none.squeeze(), 5);  // no flags: nothing deleted
  Cloud all = numbered_cloud(4);
  for (int i = 0; i < 4; ++i) all.set_vDeleted(i, true);
  EXPECT_EQ(all.squeeze(), 0);
  Cloud tail = numbered_cloud(4);
  tail.set_vDeleted(2, true);
  tail.set_vDeleted(3, true);
  EXPECT_EQ(tail.squeeze(), 2);
  EXPECT_EQ(original_index(tail, 1), 1);
  Cloud head = numbered_cloud(2);
  head.set_vDeleted(0, true);
  EXPECT_EQ(head.squeeze(), 1);
  EXPECT_EQ(original_index(head, 0), 1);
}

TEST(Cloud, ResizeKeepsContentsAndFlags) {
  Cloud c = numbered_cloud(3);
  c.enable_vFlag();
  c.set_vFlag(1, FLAG_REMOVAL_PENDING);
  c.set_vDeleted(2, true);
  c.resize_vn(10);
  EXPECT_EQ(c.get_vn(), 10);
  EXPECT_EQ(original_index(c, 2), 2);
  EXPECT_EQ(c.get_vFlag(1), FLAG_REMOVAL_PENDING);
  EXPECT_TRUE(c.get_vDeleted(2));
  EXPECT_EQ(c.get_vFlag(9), 0);
  EXPECT_EQ(c.get_vNrv(9), Eigen::Vector3f::Zero());
  c.resize_vn(2);
  EXPECT_EQ(c.get_vFlag(1), FLAG_REMOVAL_PENDING);

  std::vector<Eigen::Vector3f> pts(7, Eigen::Vector3f::Ones());
  c.set_vCoords(std::move(pts));
  EXPECT_EQ(c.get_vn(), 7);
  EXPECT_EQ(c.get_vFlag(6), 0);  // attributes follow the new array
}

TEST(Cloud, BoundBoxSkipsDeletedAndTransformMatchesEigen) {
  Cloud c = numbered_cloud(4);
  c.set_vDeleted(3, true);
  const BoundingBox b = c.get_boundBox();
  EXPECT_EQ(b.min_corner(), Eigen::Vector3f(0, 0, 0));
  EXPECT_EQ(b.max_corner(), Eigen::Vector3f(2, 0, 0));
  EXPECT_TRUE(Cloud().get_boundBox().empty());

  const Eigen::Matrix3d R = Eigen::AngleAxisd(0.7, Eigen::Vector3d(1, 2, 3).normalized()).toRotationMatrix();
  const Eigen::Vector3d t(0.5, -1, 2);
  Cloud moved = c;
  moved.rigid_transformation(RigidMatrix(R, t));
  Eigen::Isometry3d iso = Eigen::Isometry3d::Identity();
  iso.linear() = R;
  iso.translation() = t;
  for (int i = 0; i < c.get_vn(); ++i) {
    EXPECT_TRUE(moved.get_vCoord(i).isApprox((iso * c.get_vCoord(i).cast<double>()).cast<float>(), 1e-6f));
    EXPECT_TRUE(moved.get_vNrv(i).isApprox((R * c.get_vNrv(i).cast<double>()).cast<float>(), 1e-6f) ||
                c.get_vNrv(i).isZero());
  }
}

TEST(BaseTriMesh, SqueezeRenumbersFacesAndDropsDeadOnes) {
  BaseTriMesh m;
  for (int i = 0; i < 5; ++i) m.add_vCoord(Eigen::Vector3f(static_cast<float>(i), static_cast<float>(i * i), 0.f));
  m.add_faces({{0, 1, 2}, {1, 3, 4}, {2, 3, 4}, {0, 2, 4}});
  m.set_vDeleted(1, true);  // kills faces 0 and 1
  m.set_fDeleted(3, true);
  std::vector<int> newIndex;
  m.squeeze(&newIndex);
  ASSERT_EQ(m.get_vn(), 4);
  ASSERT_EQ(m.get_fn(), 1);
  const BaseTriFace f = m.get_face(0);
  EXPECT_EQ(m.get_vCoord(f[0]).x(), 2.f);
  EXPECT_EQ(m.get_vCoord(f[1]).x(), 3.f);
  EXPECT_EQ(m.get_vCoord(f[2]).x(), 4.f);
  EXPECT_TRUE(m.faces_valid());
}

TEST(BaseTriMesh, NormalsOfAClosedTetrahedronPointOutward) {
  BaseTriMesh m;
  m.set_vCoords({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
  m.set_faces({{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}});
  m.update_fNrv();
  m.update_VNrv();
  EXPECT_TRUE(m.get_fNrv(0).isApprox(Eigen::Vector3f(0, 0, -1)));
  EXPECT_TRUE(m.get_fNrv(3).isApprox(Eigen::Vector3f(1, 1, 1).normalized()));
  const Eigen::Vector3f centroid(0.25f, 0.25f, 0.25f);
  for (int v = 0; v < 4; ++v) {
    EXPECT_NEAR(m.get_vNrv(v).norm(), 1.f, 1e-6f);
    EXPECT_GT(m.get_vNrv(v).dot(m.get_vCoord(v) - centroid), 0.f);
  }
  // Vertex 0 sees three axis faces of equal area: its normal is -(1,1,1)/sqrt3
  // plus nothing from the slanted face.
  EXPECT_TRUE(m.get_vNrv(0).isApprox(Eigen::Vector3f(-1, -1, -1).normalized(), 1e-6f));
  m.set_fDeleted(3, true);
  m.update_VNrv();
  EXPECT_TRUE(m.get_vNrv(1).isApprox(Eigen::Vector3f(0, -1, -1).normalized(), 1e-6f));
}

TEST(RangeData, SqueezeRenumbersTheGrid) {
  RangeData r;
  r.set_grid_size(2, 3);
  for (int i = 0; i < 6; ++i) {
    const int v = r.add_vCoord(Eigen::Vector3f(static_cast<float>(i), 0.f, 0.f));
    r.set_vUV(v, Eigen::Vector2f(static_cast<float>(i), 0.f));
    r.set_cellVertex(i / 3, i % 3, v);
  }
  r.set_vDeleted(1, true);
  r.squeeze();
  ASSERT_EQ(r.get_vn(), 5);
  EXPECT_EQ(r.get_cellVertex(0, 1), -1);
  EXPECT_EQ(r.get_cellFlag(0, 1) & CELL_HAS_POINT, 0);
  for (int c = 0; c < 6; ++c) {
    const int v = r.get_cellVertex(c / 3, c % 3);
    if (c == 1) continue;
    ASSERT_GE(v, 0);
    EXPECT_EQ(r.get_vCoord(v).x(), static_cast<float>(c));
    EXPECT_EQ(r.get_vUV(v).x(), static_cast<float>(c));
  }
}

#include <gtest/gtest.h>

#include "geometry/BaseTriMesh.h"
#include "geometry/RangeData.h"

using namespace TavoAlgorithm;

namespace {
// Point i sits at x = i with normal y = i and colour red = i, so every
// attribute tells where it came from.
Cloud numbered_cloud(int n) {
  Cloud c;
  c.enable_vNormal();
  c.enable_vColor();
  for (int i = 0; i < n; ++i) {
    const int v = c.add_vCoord(Eigen::Vector3f(float(i), 0.f, 0.f));
    c.set_vNrv(v, Eigen::Vector3f(0.f, float(i), 0.f));
    c.set_vColor(v, Color3b(static_cast<std::uint8_t>(i), 0, 0));
  }
  return c;
}
int original_index(const Cloud& c, int v) { return static_cast<int>(c.get_vCoord(v).x()); }
}  // namespace

// The last kept point fills each gap from the front.
TEST(CloudSqueeze, OrderAndIndexMap) {
  const struct {
    int n;
    std::vector<int> deleted, order;
  } cases[] = {{8, {1, 3, 5, 6}, {0, 7, 2, 4}}, {5, {}, {0, 1, 2, 3, 4}}, {4, {0, 1, 2, 3}, {}},
               {4, {2, 3}, {0, 1}},           {2, {0}, {1}}};
  for (const auto& tc : cases) {
    Cloud c = numbered_cloud(tc.n);
    for (int d : tc.deleted) c.set_vDeleted(d, true);
    std::vector<int> newIndex;
    ASSERT_EQ(c.squeeze(&newIndex), static_cast<int>(tc.order.size()));
    std::vector<int> expectIndex(tc.n, -1);
    for (int v = 0; v < static_cast<int>(tc.order.size()); ++v) {
      expectIndex[tc.order[v]] = v;
      EXPECT_EQ(original_index(c, v), tc.order[v]);
      EXPECT_EQ(c.get_vNrv(v).y(), float(tc.order[v]));
      EXPECT_EQ(c.get_vColor(v).x(), tc.order[v]);
      EXPECT_FALSE(c.get_vDeleted(v));
    }
    EXPECT_EQ(newIndex, expectIndex) << tc.n << " points";
  }
}

TEST(Cloud, ResizeKeepsContentsAndFlags) {
  Cloud c = numbered_cloud(3);
  c.enable_vFlag();
  c.set_vFlag(1, FLAG_REMOVAL_PENDING);
  c.set_vDeleted(2, true);
  c.resize_vn(10);
  EXPECT_TRUE(original_index(c, 2) == 2 && c.get_vDeleted(2) && c.get_vFlag(1) == FLAG_REMOVAL_PENDING);
  EXPECT_TRUE(c.get_vFlag(9) == 0 && c.get_vNrv(9).isZero()) << "new points start clear";
  c.resize_vn(2);
  EXPECT_EQ(c.get_vFlag(1), FLAG_REMOVAL_PENDING);
  c.set_vCoords(std::vector<Eigen::Vector3f>(7, Eigen::Vector3f::Ones()));
  EXPECT_TRUE(c.get_vn() == 7 && c.get_vFlag(6) == 0) << "attributes follow the new array";
}

TEST(Cloud, BoundBoxSkipsDeletedPoints) {
  Cloud c = numbered_cloud(4);
  c.set_vDeleted(3, true);
  EXPECT_TRUE(c.get_boundBox().min_corner().isZero() && c.get_boundBox().max_corner() == Eigen::Vector3f(2, 0, 0));
  EXPECT_TRUE(Cloud().get_boundBox().empty());
}

// Deleting vertex 1 kills the faces using it; the one face left is renumbered.
// The grid's cells follow the points.
TEST(Squeeze, MeshFacesAndRangeCellsAreRenumbered) {
  BaseTriMesh m;
  for (int i = 0; i < 5; ++i) m.add_vCoord(Eigen::Vector3f(float(i), float(i * i), 0.f));
  m.add_faces({{0, 1, 2}, {1, 3, 4}, {2, 3, 4}, {0, 2, 4}});
  m.set_vDeleted(1, true);
  m.set_fDeleted(3, true);
  m.squeeze();
  ASSERT_TRUE(m.get_vn() == 4 && m.get_fn() == 1 && m.faces_valid());
  for (int k = 0; k < 3; ++k) EXPECT_EQ(m.get_vCoord(m.get_face(0)[k]).x(), float(k + 2));

  RangeData r;
  r.set_grid_size(2, 3);
  for (int i = 0; i < 6; ++i) r.set_cellVertex(i / 3, i % 3, r.add_vCoord(Eigen::Vector3f(float(i), 0.f, 0.f)));
  for (int i = 0; i < 6; ++i) r.set_vUV(i, Eigen::Vector2f(float(i), 0.f));
  r.set_vDeleted(1, true);
  r.squeeze();
  ASSERT_EQ(r.get_vn(), 5);
  EXPECT_TRUE(r.get_cellVertex(0, 1) == -1 && !(r.get_cellFlag(0, 1) & CELL_HAS_POINT));
  for (int c : {0, 2, 3, 4, 5}) {
    const int v = r.get_cellVertex(c / 3, c % 3);
    ASSERT_GE(v, 0);
    EXPECT_TRUE(r.get_vCoord(v).x() == float(c) && r.get_vUV(v).x() == float(c)) << c;
  }
}

TEST(BaseTriMesh, NormalsOfAClosedTetrahedronPointOutward) {
  BaseTriMesh m;
  m.set_vCoords({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
  m.set_faces({{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}});
  m.update_fNrv();
  m.update_VNrv();
  EXPECT_TRUE(m.get_fNrv(0).isApprox(Eigen::Vector3f(0, 0, -1)));
  EXPECT_TRUE(m.get_fNrv(3).isApprox(Eigen::Vector3f(1, 1, 1).normalized()));
  // Vertex 0 sees three axis faces of equal area and not the slanted one.
  EXPECT_TRUE(m.get_vNrv(0).isApprox(Eigen::Vector3f(-1, -1, -1).normalized(), 1e-6f));
  m.set_fDeleted(3, true);
  m.update_VNrv();
  EXPECT_TRUE(m.get_vNrv(1).isApprox(Eigen::Vector3f(0, -1, -1).normalized(), 1e-6f));
}

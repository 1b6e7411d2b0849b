#include <gtest/gtest.h>

#include "geometry/MeshMerge.h"

using namespace TavoAlgorithm;
using Eigen::Vector3f;

TEST(MergeMesh, PartFollowsRenumberedWithTheAttributesTheMeshHas) {
  BaseTriMesh mesh;
  for (int i = 0; i < 4; ++i) mesh.add_vCoord(Vector3f(float(i), 0.f, 0.f));
  mesh.set_faces({{0, 1, 2}, {0, 2, 3}});
  mesh.enable_vFlag();
  mesh.enable_fFlag();
  mesh.set_fFlag(1, 4);
  BaseTriMesh part;
  for (int i = 0; i < 3; ++i) part.add_vCoord(Vector3f(0.f, float(i), 5.f));
  part.set_faces({{0, 1, 2}, {2, 1, 0}});
  part.enable_vNormal();  // the mesh has no normals: dropped
  part.set_vNrv(1, Vector3f::UnitZ());
  part.set_vDeleted(2, true);

  merge_mesh(mesh, part);
  ASSERT_EQ(mesh.get_vn(), 7);
  ASSERT_EQ(mesh.get_fn(), 4);
  EXPECT_EQ(mesh.get_faces(), (std::vector<BaseTriFace>{{0, 1, 2}, {0, 2, 3}, {4, 5, 6}, {6, 5, 4}}));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(mesh.get_vCoord(4 + i), part.get_vCoord(i));
  EXPECT_FALSE(mesh.has_vNormal());
  EXPECT_TRUE(mesh.get_vDeleted(6) && !mesh.get_vDeleted(5));
  EXPECT_TRUE(mesh.get_fFlag(1) == 4 && mesh.get_fFlag(2) == 0 && mesh.get_fFlag(3) == 0);
  EXPECT_TRUE(mesh.faces_valid());

  BaseTriMesh empty;
  merge_mesh(empty, part);
  merge_mesh(empty, BaseTriMesh());
  EXPECT_TRUE(empty.get_vCoords() == part.get_vCoords() && empty.get_faces() == part.get_faces());
}

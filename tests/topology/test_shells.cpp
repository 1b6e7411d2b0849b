#include <gtest/gtest.h>

#include "MeshShells.h"
#include "platform/meshproc/hole_fixture.h"

using namespace TavoAlgorithm;
using namespace TavoAlgorithm::test;
using Shells = std::vector<std::vector<int>>;

TEST(RemoveSmallShell, ShellOfExactlyNFacesGoes) {
  BaseTriMesh base;
  add_grid(base, 4, {0.f, 0.f, 0.f});   // 32 faces
  add_grid(base, 2, {10.f, 0.f, 0.f});  // 8 faces
  TriMesh keep = half_edge(base), mesh = half_edge(base), empty;
  remove_small_shell(keep, 7);
  remove_small_shell(mesh, 8);
  remove_small_shell(empty, 5);
  EXPECT_EQ(live_faces(keep), 40);
  EXPECT_TRUE(mesh.n_faces() == 32u && mesh.n_vertices() == 25u) << "8 faces gone, garbage collected";
  EXPECT_EQ(empty.n_faces(), 0u);
}

TEST(Shells, SharedVertexAndThreeFacesOnOneEdge) {
  BaseTriMesh bowtie;
  for (int i = 0; i < 5; ++i) bowtie.add_vCoord(Eigen::Vector3f(float(i), float(i % 2), 0.f));
  bowtie.set_faces({{0, 1, 2}, {2, 3, 4}});
  Shells shells;
  std::vector<int> border;
  find_baseTriMesh_shells_border_faces(bowtie, shells, border);
  EXPECT_TRUE(shells == (Shells{{0}, {1}}) && border == (std::vector<int>{0, 1}));
  TriMesh tri = half_edge(bowtie);
  remove_small_shell(tri, 1);
  EXPECT_EQ(tri.n_faces(), 0u);

  // Three faces on edge 0-1: three shells over the indexed mesh, but one shell
  // over the half-edge mesh, which keeps two of them joined and rejects the third.
  BaseTriMesh fin;
  for (int i = 0; i < 5; ++i) fin.add_vCoord(Eigen::Vector3f(float(i), float(i * i), float(i % 2)));
  fin.set_faces({{0, 1, 2}, {1, 0, 3}, {0, 1, 4}});
  find_baseTriMesh_shells_border_faces(fin, shells, border);
  EXPECT_TRUE(shells == (Shells{{0}, {1}, {2}}) && border == (std::vector<int>{0, 1, 2}));
  TriMesh keep = half_edge(fin), gone = half_edge(fin);
  ASSERT_EQ(live_faces(keep), 2);
  remove_small_shell(keep, 1);
  EXPECT_EQ(live_faces(keep), 2) << "the two faces form one shell";
  remove_small_shell(gone, 2);
  EXPECT_EQ(live_faces(gone), 0);
}

TEST(Shells, GridShellsAndBorderAgainstCounts) {
  BaseTriMesh base;
  add_grid(base, 3, {0.f, 0.f, 0.f});
  add_grid(base, 2, {10.f, 0.f, 0.f});
  base.set_fDeleted(8, true);  // an inner face: the grid stays one shell
  base.add_face({0, 1, 999});  // out of range: no shell, no crash
  Shells shells;
  std::vector<int> border;
  find_baseTriMesh_shells_border_faces(base, shells, border);
  ASSERT_EQ(shells.size(), 2u);
  EXPECT_TRUE(shells[0].size() == 17u && shells[0][0] == 0 && shells[1].size() == 8u && shells[1][0] == 18);
  EXPECT_EQ(std::count(border.begin(), border.end(), 8), 0);
  // The small grid: all but the two triangles at its centre have a border edge.
  EXPECT_EQ(std::count_if(border.begin(), border.end(), [](int f) { return f >= 18; }), 6);
  find_baseTriMesh_shells_border_faces(BaseTriMesh(), shells, border);
  EXPECT_TRUE(shells.empty());
}

TEST(SqueezeBaseTriMesh, DropsUnusedVerticesOnly) {
  BaseTriMesh used;
  add_grid(used, 2, {0.f, 0.f, 0.f});
  const BaseTriMesh before = used;
  squeeze_baseTriMesh(used);
  EXPECT_TRUE(used.get_vCoords() == before.get_vCoords() && used.get_faces() == before.get_faces());

  BaseTriMesh m;
  add_grid(m, 1, {0.f, 0.f, 0.f});  // vertices 0-3
  m.add_vCoord({5.f, 5.f, 5.f});     // 4: unused
  m.add_vCoord({6.f, 6.f, 6.f});     // 5: only in a deleted face
  m.add_face({0, 1, 5});
  m.set_fDeleted(2, true);
  m.add_face({1, 3, 42});  // out of range: dropped
  squeeze_baseTriMesh(m);
  EXPECT_TRUE(m.get_vn() == 4 && m.get_faces() == (std::vector<BaseTriFace>{{0, 1, 3}, {0, 3, 2}}));
}

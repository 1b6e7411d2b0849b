#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "OrvaneSimpleTopos.h"
#include "mesh_shapes.h"

using namespace TavoAlgorithm;
using namespace TavoAlgorithm::test;

namespace {

// Three faces on edge 0-1, plus an unused vertex 5.
BaseTriMesh three_on_one_edge() {
  BaseTriMesh m;
  for (int i = 0; i < 6; ++i) m.add_vCoord(Eigen::Vector3f(float(i), float(i * i), 0.f));
  m.set_faces({{0, 1, 2}, {1, 0, 3}, {0, 1, 4}});
  return m;
}

// Brute force: faces (live at build) whose edge set holds {a, b}.
std::set<int> faces_on_edge(const BaseTriMesh& m, int a, int b) {
  std::set<int> out;
  for (int f = 0; f < m.get_fn(); ++f) {
    if (m.get_fDeleted(f)) continue;
    for (int k = 0; k < 3; ++k) {
      const int x = m.get_face(f)[k], y = m.get_face(f)[(k + 1) % 3];
      if (std::minmax(x, y) == std::minmax(a, b)) out.insert(f);
    }
  }
  return out;
}

}  // namespace

TEST(OrvaneSimpleTopos, ThreeFacesOnOneEdgeCycleThroughAll) {
  const BaseTriMesh m = three_on_one_edge();
  OrvaneSimpleTopos t;
  EXPECT_TRUE(t.is_empty(TOPOS_EDGE));
  t.build_topo(m, 1);
  ASSERT_FALSE(t.is_empty(TOPOS_EDGE));
  ASSERT_FALSE(t.is_empty(TOPOS_CORNER));
  // Edge 0 of every face is 0-1; the cycle runs 0 -> 1 -> 2 -> 0.
  EXPECT_EQ(t.edge_table()[0][0], 1);
  EXPECT_EQ(t.edge_table()[1][0], 2);
  EXPECT_EQ(t.edge_table()[2][0], 0);
  for (int f = 0; f < 3; ++f) {
    EXPECT_EQ(t.edge_table()[f][3], 0);
    const auto tids = t.find_all_tids(m, f, 0);
    ASSERT_EQ(tids.size(), 3u);
    EXPECT_EQ(tids[0], f);
    EXPECT_EQ(std::set<int>(tids.begin(), tids.end()), (std::set<int>{0, 1, 2}));
    // Edges 1 and 2 are border edges: they point to themselves.
    for (int k = 1; k < 3; ++k) {
      EXPECT_EQ(t.edge_table()[f][k], f);
      EXPECT_EQ(t.edge_table()[f][k + 3], k);
      EXPECT_EQ(t.find_all_tids(m, f, k), std::vector<int>{f});
    }
  }
  // Vertex 0 is corner 0 of face 0, corner 1 of face 1, corner 0 of face 2;
  // highest face first.
  using PeltoVertSkeleton::V2F;
  EXPECT_EQ(t.find_all_tids(m, 0), (std::vector<V2F>{{2, 0}, {1, 1}, {0, 0}}));
  EXPECT_TRUE(t.find_all_tids(m, 5).empty()) << "unused vertex";
  EXPECT_EQ(t.vertex_table()[5], (V2F{-1, -1}));
}

TEST(OrvaneSimpleTopos, DeletedFacesBeforeAndAfterBuilding) {
  BaseTriMesh m = three_on_one_edge();
  m.set_fDeleted(1, true);
  OrvaneSimpleTopos t;
  t.build_topo(m, 1);
  EXPECT_EQ(t.edge_table()[1], (OrvaneSimpleTopos::Record{{-1, -1, -1, -1, -1, -1}}));
  EXPECT_EQ(t.corner_table()[1], (OrvaneSimpleTopos::Record{{-1, -1, -1, -1, -1, -1}}));
  EXPECT_EQ(t.find_all_tids(m, 0, 0), (std::vector<int>{0, 2}));
  EXPECT_EQ(t.find_all_tids(m, 3).size(), 0u) << "vertex 3 only in the deleted face";
  // Deleted after the build: left out, but the walk goes on through it.
  m.set_fDeleted(1, false);
  t.build_topo(m, 1);
  m.set_fDeleted(1, true);
  EXPECT_EQ(t.find_all_tids(m, 0, 0), (std::vector<int>{0, 2}));
  EXPECT_EQ(t.find_all_tids(m, 2, 0), (std::vector<int>{2, 0}));
}

TEST(OrvaneSimpleTopos, FlagsSizeChecksAndBadIndices) {
  BaseTriMesh m = three_on_one_edge();
  OrvaneSimpleTopos t;
  t.build_topo(m, 2);
  EXPECT_TRUE(t.is_empty(TOPOS_EDGE));
  EXPECT_TRUE(t.is_empty(TOPOS_CORNER));
  t.build_topo(m, 1);
  EXPECT_TRUE(t.is_empty(static_cast<Topos>(0)));
  EXPECT_TRUE(t.is_empty(static_cast<Topos>(3)));
  OrvaneSimpleTopos copy = t;
  t.clearTopo(2);
  EXPECT_FALSE(t.is_empty(TOPOS_EDGE));
  t.clearTopo(1);
  EXPECT_TRUE(t.is_empty(TOPOS_EDGE));
  EXPECT_TRUE(t.find_all_tids(m, 0, 0).empty());
  EXPECT_EQ(copy.find_all_tids(m, 0, 0).size(), 3u) << "copies own their tables";
  EXPECT_TRUE(copy.find_all_tids(m, -1, 0).empty());
  EXPECT_TRUE(copy.find_all_tids(m, 0, 3).empty());
  EXPECT_TRUE(copy.find_all_tids(m, 99).empty());
  m.add_face({2, 3, 4});
  EXPECT_TRUE(copy.find_all_tids(m, 0, 0).empty()) << "face count changed";
  EXPECT_TRUE(copy.find_all_tids(m, 0).empty());
  // Out-of-range indices: the face is left out, nothing breaks.
  m.set_face(3, {0, 1, 77});
  copy.build_topo(m, 1);
  EXPECT_EQ(copy.edge_table()[3][0], -1);
  EXPECT_EQ(copy.find_all_tids(m, 0, 0).size(), 3u);
}

TEST(OrvaneSimpleTopos, SphereTablesMatchBruteForce) {
  const BaseTriMesh m = make_icosphere(2);
  OrvaneSimpleTopos t;
  t.build_topo(m, 1);
  for (int f = 0; f < m.get_fn(); ++f)
    for (int k = 0; k < 3; ++k) {
      const auto tids = t.find_all_tids(m, f, k);
      const std::set<int> expect = faces_on_edge(m, m.get_face(f)[k], m.get_face(f)[(k + 1) % 3]);
      EXPECT_EQ(std::set<int>(tids.begin(), tids.end()), expect);
      EXPECT_EQ(tids.size(), 2u);
    }
  std::map<int, int> valence;
  for (const auto& f : m.get_faces())
    for (int k = 0; k < 3; ++k) ++valence[f[k]];
  for (int v = 0; v < m.get_vn(); ++v) {
    const auto corners = t.find_all_tids(m, v);
    ASSERT_EQ(static_cast<int>(corners.size()), valence[v]);
    for (std::size_t i = 0; i < corners.size(); ++i) {
      EXPECT_EQ(m.get_face(corners[i].face)[corners[i].corner], v);
      if (i) EXPECT_LT(corners[i].face, corners[i - 1].face);
    }
  }
}

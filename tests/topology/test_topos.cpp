#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "OrvaneSimpleTopos.h"
#include "mesh_shapes.h"

using namespace TavoAlgorithm;
using namespace TavoAlgorithm::test;
using PeltoVertSkeleton::V2F;
using Record = OrvaneSimpleTopos::Record;

namespace {
// Three faces on edge 0-1, plus an unused vertex 5.
BaseTriMesh three_on_one_edge() {
  BaseTriMesh m;
  for (int i = 0; i < 6; ++i) m.add_vCoord(Eigen::Vector3f(float(i), float(i * i), 0.f));
  m.set_faces({{0, 1, 2}, {1, 0, 3}, {0, 1, 4}});
  return m;
}
std::set<int> as_set(const std::vector<int>& v) { return std::set<int>(v.begin(), v.end()); }
}  // namespace

TEST(OrvaneSimpleTopos, ThreeFacesOnOneEdgeCycleThroughAll) {
  const BaseTriMesh m = three_on_one_edge();
  OrvaneSimpleTopos t;
  EXPECT_TRUE(t.is_empty(TOPOS_EDGE));
  t.build_topo(m, 1);
  ASSERT_FALSE(t.is_empty(TOPOS_EDGE) || t.is_empty(TOPOS_CORNER));
  for (int f = 0; f < 3; ++f) {
    // Edge 0 of every face is 0-1, cycling 0 -> 1 -> 2 -> 0; edges 1 and 2
    // are border edges and point to themselves.
    EXPECT_EQ(t.edge_table()[f], (Record{(f + 1) % 3, f, f, 0, 1, 2}));
    const auto tids = t.find_all_tids(m, f, 0);
    EXPECT_TRUE(tids.size() == 3u && tids[0] == f && as_set(tids) == (std::set<int>{0, 1, 2})) << f;
    for (int k = 1; k < 3; ++k) EXPECT_EQ(t.find_all_tids(m, f, k), std::vector<int>{f});
  }
  // Vertex 0 is corner 0 of face 0, corner 1 of face 1, corner 0 of face 2; highest face first.
  EXPECT_EQ(t.find_all_tids(m, 0), (std::vector<V2F>{{2, 0}, {1, 1}, {0, 0}}));
  EXPECT_TRUE(t.find_all_tids(m, 5).empty() && t.vertex_table()[5] == (V2F{-1, -1})) << "unused vertex";
}

TEST(OrvaneSimpleTopos, DeletedFacesBeforeAndAfterBuilding) {
  BaseTriMesh m = three_on_one_edge();
  m.set_fDeleted(1, true);
  OrvaneSimpleTopos t;
  t.build_topo(m, 1);
  EXPECT_TRUE(t.edge_table()[1] == t.corner_table()[1] && t.edge_table()[1] == (Record{-1, -1, -1, -1, -1, -1}));
  EXPECT_EQ(t.find_all_tids(m, 0, 0), (std::vector<int>{0, 2}));
  EXPECT_TRUE(t.find_all_tids(m, 3).empty()) << "vertex 3 only in the deleted face";
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
  EXPECT_TRUE(t.is_empty(TOPOS_EDGE) && t.is_empty(TOPOS_CORNER)) << "flags 2 build nothing";
  t.build_topo(m, 1);
  EXPECT_TRUE(t.is_empty(static_cast<Topos>(0)) && t.is_empty(static_cast<Topos>(3)));
  EXPECT_TRUE(t.find_all_tids(m, -1, 0).empty() && t.find_all_tids(m, 0, 3).empty() && t.find_all_tids(m, 99).empty());
  t.clearTopo(2);
  EXPECT_FALSE(t.is_empty(TOPOS_EDGE));
  m.add_face({2, 3, 4});
  EXPECT_TRUE(t.find_all_tids(m, 0, 0).empty() && t.find_all_tids(m, 0).empty()) << "face count changed";
  m.set_face(3, {0, 1, 77});  // out of range: the face is left out, nothing breaks
  t.build_topo(m, 1);
  EXPECT_TRUE(t.edge_table()[3] == (Record{-1, -1, -1, -1, -1, -1}) && t.find_all_tids(m, 0, 0).size() == 3u);
  t.clearTopo(1);
  EXPECT_TRUE(t.is_empty(TOPOS_EDGE) && t.find_all_tids(m, 0, 0).empty());
}

TEST(OrvaneSimpleTopos, SphereTablesMatchBruteForce) {
  const BaseTriMesh m = make_icosphere(2);
  OrvaneSimpleTopos t;
  t.build_topo(m, 1);
  std::map<std::pair<int, int>, std::set<int>> facesOfEdge;
  std::map<int, int> valence;
  auto edge = [&](int f, int k) -> std::pair<int, int> {
    return std::minmax(m.get_face(f)[k], m.get_face(f)[(k + 1) % 3]);
  };
  for (int f = 0; f < m.get_fn(); ++f)
    for (int k = 0; k < 3; ++k) facesOfEdge[edge(f, k)].insert(f), ++valence[m.get_face(f)[k]];
  for (int f = 0; f < m.get_fn(); ++f)
    for (int k = 0; k < 3; ++k) {
      const auto tids = t.find_all_tids(m, f, k);
      EXPECT_TRUE(tids.size() == 2u && as_set(tids) == facesOfEdge[edge(f, k)]) << f << "/" << k;
    }
  for (int v = 0; v < m.get_vn(); ++v) {
    const auto corners = t.find_all_tids(m, v);
    ASSERT_EQ(static_cast<int>(corners.size()), valence[v]);
    for (std::size_t i = 0; i < corners.size(); ++i) {
      EXPECT_EQ(m.get_face(corners[i].face)[corners[i].corner], v);
      if (i) EXPECT_LT(corners[i].face, corners[i - 1].face);
    }
  }
}

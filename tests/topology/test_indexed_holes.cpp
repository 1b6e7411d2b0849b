// Holes and shells of the indexed mesh over the topology tables, against
// meshes whose holes are built face by face.
#include <gtest/gtest.h>

#include "AutoScan/hole_meshes.h"
#include "IndexedHoles.h"
#include "OrvaneSimpleTopos.h"
#include "ShellFlood.h"

using namespace TavoAlgorithm;
using namespace tavo_test;
using Lists = std::vector<std::vector<std::int32_t>>;

namespace {

OrvaneSimpleTopos topo_of(const BaseTriMesh& m) {
  OrvaneSimpleTopos t;
  t.build_topo(m, 1);
  return t;
}

// Every step of a loop is a border edge of the face listed with it, walked
// against the face's own direction.
void expect_loop_follows_faces(const BaseTriMesh& m, const std::vector<std::int32_t>& verts,
                               const std::vector<std::int32_t>& faces) {
  ASSERT_EQ(verts.size(), faces.size());
  for (std::size_t i = 0; i < verts.size(); ++i) {
    const int from = verts[i], to = verts[(i + 1) % verts.size()];
    const auto& t = m.get_face(faces[i]);
    bool against = false;
    for (int k = 0; k < 3; ++k) against = against || (t[k] == to && t[(k + 1) % 3] == from);
    EXPECT_TRUE(against) << "step " << i << " of a loop of " << verts.size();
  }
}

}  // namespace

TEST(IndexedHoles, LoopsMatchTheCountedBordersOnACutSphere) {
  BaseTriMesh m = sphere(40.f, 3);
  std::set<int> reserved;
  const int sizes[] = {6, 7, 9, 24};
  const Eigen::Vector3f dirs[] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0.3f}};
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(open_hole(m, vertex_towards(m, dirs[i]), sizes[i], reserved)) << i;
  const auto oracle = oracle_holes(m);
  ASSERT_EQ(oracle.size(), 4u);
  const OrvaneSimpleTopos topo = topo_of(m);
  Lists verts, faces;
  find_holes(m, topo, verts, faces);
  ASSERT_EQ(verts.size(), 4u);
  std::multiset<int> found, expected;
  for (std::size_t h = 0; h < verts.size(); ++h) {
    found.insert(static_cast<int>(verts[h].size()));
    expect_loop_follows_faces(m, verts[h], faces[h]);
    const std::set<int> unique(verts[h].begin(), verts[h].end());
    EXPECT_EQ(unique.size(), verts[h].size()) << "a simple loop visits each vertex once";
    EXPECT_TRUE(std::any_of(oracle.begin(), oracle.end(), [&](const OracleHole& o) { return o.verts == unique; }));
  }
  for (const auto& o : oracle) expected.insert(o.edges);
  EXPECT_EQ(found, expected);

  std::vector<UnionHoleFaces> groups;
  ASSERT_EQ(get_all_union_hole_faces(m, topo, groups), RETVAL_SUCCESS);
  EXPECT_EQ(groups.size(), 4u);
  for (const auto& g : groups) EXPECT_EQ(g.holes.size(), 1u);

  // A face deleted after the build opens a hole of its own: the walk follows
  // the mesh, not the tables.
  const int top = vertex_towards(m, {0, 0, 1});
  for (int f = 0; f < m.get_fn(); ++f)
    if (m.get_face(f)[0] == top) {
      m.set_fDeleted(f, true);
      break;
    }
  find_holes(m, topo, verts, faces);
  ASSERT_EQ(verts.size(), 5u);
  EXPECT_EQ(std::count_if(verts.begin(), verts.end(), [](const auto& l) { return l.size() == 3; }), 1);
}

TEST(IndexedHoles, PinchedAndNeighbouringHolesAreGrouped) {
  // Two squares of a grid missing, touching at one corner. Each of the two
  // faces left at that corner has both its edges there on the border, so
  // the surface's border runs from one square into the other: one loop of 8
  // through the corner twice.
  BaseTriMesh m;
  test::add_grid(m, 4, {0.f, 0.f, 0.f});  // square (r, c) is faces 2(4r + c), +1
  m.enable_fFlag();
  for (int sq : {5, 10})
    for (int f : {2 * sq, 2 * sq + 1}) m.set_fDeleted(f, true);
  const OrvaneSimpleTopos topo = topo_of(m);
  Lists verts, faces;
  find_holes(m, topo, verts, faces);
  ASSERT_EQ(verts.size(), 2u);
  EXPECT_EQ(verts[0].size(), 16u) << "the outer border comes first";
  ASSERT_EQ(verts[1].size(), 8u);
  for (std::size_t h = 0; h < verts.size(); ++h) expect_loop_follows_faces(m, verts[h], faces[h]);
  const int corner = 2 * 5 + 2;
  EXPECT_EQ(std::count(verts[1].begin(), verts[1].end(), corner), 2);
  std::vector<UnionHoleFaces> groups;
  ASSERT_EQ(get_all_union_hole_faces(m, topo, groups), RETVAL_SUCCESS);
  // The faces around the squares reach the outer border: one group.
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].holes, (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(static_cast<int>(groups[0].faces.size()), m.get_fn() - 4);

  // A grid of 8 x 8 with two single squares far apart: separate groups, each
  // with the eight faces around its square.
  BaseTriMesh big;
  test::add_grid(big, 8, {0.f, 0.f, 0.f});
  big.enable_fFlag();
  for (int sq : {8 * 2 + 2, 8 * 5 + 5})
    for (int f : {2 * sq, 2 * sq + 1}) big.set_fDeleted(f, true);
  ASSERT_EQ(get_all_union_hole_faces(big, topo_of(big), groups), RETVAL_SUCCESS);
  ASSERT_EQ(groups.size(), 3u);
  for (const auto& g : groups) {
    ASSERT_EQ(g.holes.size(), 1u);
    std::vector<std::int32_t> around;
    for (int f = 0; f < big.get_fn(); ++f)
      if (!big.get_fDeleted(f) && std::any_of(big.get_face(f).v.begin(), big.get_face(f).v.end(), [&](int v) {
            return std::binary_search(g.verts.begin(), g.verts.end(), v);
          }))
        around.push_back(f);
    EXPECT_EQ(g.faces, around);
  }
  EXPECT_EQ(groups[1].verts.size(), 4u);
  EXPECT_EQ(groups[2].verts.size(), 4u);
}

TEST(IndexedHoles, BadTablesAndMissingFlags) {
  BaseTriMesh m = sphere(10.f, 1);
  OrvaneSimpleTopos empty;
  Lists verts{{1}}, faces{{2}};
  find_holes(m, empty, verts, faces);
  EXPECT_TRUE(verts.empty() && faces.empty());
  std::vector<UnionHoleFaces> groups(3);
  EXPECT_EQ(get_all_union_hole_faces(m, empty, groups), RETVAL_FAILED);
  EXPECT_TRUE(groups.empty());
  const OrvaneSimpleTopos topo = topo_of(m);
  EXPECT_EQ(get_all_union_hole_faces(m, topo, groups), RETVAL_FAILED) << "no face flags";
  m.enable_fFlag();
  ASSERT_EQ(get_all_union_hole_faces(m, topo, groups), RETVAL_SUCCESS);
  EXPECT_TRUE(groups.empty()) << "closed mesh";
  m.add_face({0, 1, 2});  // tables no longer fit
  find_holes(m, topo, verts, faces);
  EXPECT_TRUE(verts.empty());
  EXPECT_EQ(get_all_union_hole_faces(m, topo, groups), RETVAL_FAILED);
}

TEST(IndexedShells, FindAndRemoveSmallShells) {
  BaseTriMesh m;
  test::add_grid(m, 4, {0.f, 0.f, 0.f});   // 32 faces
  test::add_grid(m, 2, {10.f, 0.f, 0.f});  // 8 faces
  test::add_grid(m, 1, {20.f, 0.f, 0.f});  // 2 faces
  m.enable_fFlag();
  m.set_fDeleted(40, true);  // the last grid is down to one face
  const OrvaneSimpleTopos topo = topo_of(m);
  Lists shells{{7}};
  std::vector<bool> done(static_cast<std::size_t>(m.get_fn()), false);
  done[40] = true;
  find_shells(m, topo, done, shells);
  ASSERT_EQ(shells.size(), 3u);
  EXPECT_TRUE(shells[0].size() == 32u && shells[1].size() == 8u && shells[2] == (std::vector<std::int32_t>{41}));
  EXPECT_FALSE(done[0]) << "done is taken by value";
  find_shells(m, topo, std::vector<bool>(3, false), shells);
  EXPECT_TRUE(shells.empty()) << "marks of the wrong length";

  BaseTriMesh exact = m;
  ASSERT_EQ(remove_small_shells(exact, topo, 8), RETVAL_SUCCESS);
  EXPECT_TRUE(exact.get_fn() == 32 && exact.get_vn() == 25) << "shells of 8 and 1 faces gone, compacted";
  BaseTriMesh below = m;
  ASSERT_EQ(remove_small_shells(below, topo, 7), RETVAL_SUCCESS);
  EXPECT_EQ(below.get_fn(), 40) << "the 8-face shell stays";
  BaseTriMesh zero = m;
  ASSERT_EQ(remove_small_shells(zero, topo, 0), RETVAL_SUCCESS);
  EXPECT_EQ(zero.get_fn(), 41) << "only the deleted face is compacted away";

  BaseTriMesh noFlags;
  test::add_grid(noFlags, 2, {0.f, 0.f, 0.f});
  const BaseTriMesh before = noFlags;
  EXPECT_EQ(remove_small_shells(noFlags, topo_of(noFlags), 100), RETVAL_FAILED);
  EXPECT_EQ(remove_small_shells(m, OrvaneSimpleTopos(), 100), RETVAL_FAILED);
  EXPECT_EQ(remove_small_shells(m, topo_of(noFlags), 100), RETVAL_FAILED) << "tables of another mesh";
  EXPECT_TRUE(noFlags.get_faces() == before.get_faces() && m.get_fn() == 42);
}

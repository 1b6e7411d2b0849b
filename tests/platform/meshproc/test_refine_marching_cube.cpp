#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "meshproc/RepeatedFaces.h"
#include "meshproc/refine_marching_cube.h"
#include "mesh_shapes.h"

using namespace TavoAlgorithm;

namespace {
// A fan of four triangles around vertex 0 with vertex 1 almost on top of it.
BaseTriMesh fan_with_short_edge(float gap) {
  BaseTriMesh m;
  m.set_vCoords({{0, 0, 0}, {gap, 0, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}});
  m.set_faces({{0, 1, 3}, {1, 2, 3}, {0, 3, 4}, {0, 4, 5}, {0, 5, 1}, {1, 5, 2}});
  m.enable_vFlag();
  m.enable_fFlag();
  return m;
}
}  // namespace

TEST(RefineMarchingCube, CollapsesNearZeroEdgesAndTheirSlivers) {
  BaseTriMesh m = fan_with_short_edge(0.01f);
  std::vector<int> axes(6, 0);
  ASSERT_EQ(refine_marching_cube(m, 1.0, axes), RETVAL_SUCCESS);
  EXPECT_TRUE(m.get_vDeleted(1) && !m.get_vDeleted(0));
  EXPECT_TRUE(m.get_fDeleted(0) && m.get_fDeleted(4)) << "(0, 1, 3) and (0, 5, 1) became degenerate";
  EXPECT_TRUE(m.get_face(1) == BaseTriFace(0, 2, 3) && m.get_face(5) == BaseTriFace(0, 5, 2));
  EXPECT_EQ(m.get_vn(), 6);  // marks, not removal
  EXPECT_EQ(m.get_vCoord(0), Eigen::Vector3f::Zero());  // kept vertex does not move
}

TEST(RefineMarchingCube, LeavesLongEdgesDeletedFacesAndBadInputAlone) {
  std::vector<int> axes(6, 0), shortAxes(5, 0), none;
  BaseTriMesh longEdge = fan_with_short_edge(0.2f);
  ASSERT_EQ(refine_marching_cube(longEdge, 1.0, axes), RETVAL_SUCCESS);
  EXPECT_EQ(longEdge.get_faces(), fan_with_short_edge(0.2f).get_faces());
  BaseTriMesh d = fan_with_short_edge(0.01f);  // a deleted face does not join its short edge
  for (int f : {0, 1, 4, 5}) d.set_fDeleted(f, true);
  ASSERT_EQ(refine_marching_cube(d, 1.0, axes), RETVAL_SUCCESS);
  EXPECT_FALSE(d.get_vDeleted(1));

  BaseTriMesh m = fan_with_short_edge(0.01f), empty;
  EXPECT_EQ(refine_marching_cube(m, 0.0, axes), RETVAL_FAILED);
  EXPECT_EQ(refine_marching_cube(m, std::numeric_limits<double>::quiet_NaN(), axes), RETVAL_FAILED);
  EXPECT_EQ(refine_marching_cube(m, 1.0, shortAxes), RETVAL_FAILED);
  m.set_face(2, BaseTriFace(0, 3, 99));
  EXPECT_EQ(refine_marching_cube(m, 1.0, axes), RETVAL_FAILED);
  EXPECT_FALSE(m.get_vDeleted(1));
  EXPECT_EQ(refine_marching_cube(empty, 1.0, none), RETVAL_SUCCESS);
}

// Collapsing 1 onto 0 folds face 1 onto face 0 with the opposite
// orientation: the pair cancels, and so its edges keep at most two faces.
// A face repeated with one orientation keeps a single copy.
TEST(RefineMarchingCube, FoldedPairsCancelAndRepeatsKeepOneCopy) {
  BaseTriMesh m;
  m.set_vCoords({{0, 0, 0}, {0.01f, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0.5f, -1, 0}});
  m.set_faces({{0, 2, 3}, {1, 3, 2}, {2, 0, 4}, {3, 0, 4}, {0, 4, 3}, {1, 0, 4}});  // 1-0 is the short edge
  std::vector<int> axes(5, 0);
  ASSERT_EQ(refine_marching_cube(m, 1.0, axes), RETVAL_SUCCESS);
  EXPECT_TRUE(m.get_fDeleted(0) && m.get_fDeleted(1) && !m.get_fDeleted(2) && m.get_fDeleted(5));
  EXPECT_NE(m.get_fDeleted(3), m.get_fDeleted(4));  // the same turn: one copy stays
}

// Many faces on few vertices, both turns, some faces not live: each vertex
// triple keeps at most its first face of the surplus turn. The corner numbers
// are then spread far apart, which takes the comparison-sort path: the same
// faces must go.
TEST(RepeatedFaces, MatchBruteForceOnDenseAndSparseCorners) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> corner(0, 7);
  std::vector<BaseTriFace> faces;
  while (faces.size() < 600) {
    const int a = corner(rng), b = corner(rng), c = corner(rng);
    if (a != b && b != c && a != c) faces.emplace_back(a, b, c);
  }
  auto live = [](int f) { return f % 7 != 3; };
  std::vector<int> expect;
  for (int f = 0; f < static_cast<int>(faces.size()); ++f) {
    if (!live(f)) continue;
    std::array<int, 3> key = faces[f].v;
    std::sort(key.begin(), key.end());
    std::vector<int> group;  // live faces of the same triple, in order
    int balance = 0;
    for (int g = 0; g < static_cast<int>(faces.size()); ++g) {
      std::array<int, 3> k = faces[g].v;
      std::sort(k.begin(), k.end());
      if (!live(g) || k != key) continue;
      group.push_back(g);
      // Even turn: a cyclic rotation of the ascending order.
      const BaseTriFace& t = faces[g];
      balance += (t[0] < t[1]) + (t[1] < t[2]) + (t[2] < t[0]) == 2 ? 1 : -1;
    }
    if (group.size() < 2) continue;
    int keep = -1;
    for (int g : group) {
      const BaseTriFace& t = faces[g];
      const bool even = (t[0] < t[1]) + (t[1] < t[2]) + (t[2] < t[0]) == 2;
      if (balance != 0 && even == (balance > 0)) {
        keep = g;
        break;
      }
    }
    if (f != keep) expect.push_back(f);
  }
  ASSERT_FALSE(expect.empty());
  EXPECT_EQ(repeated_faces(faces, live), expect);
  std::vector<BaseTriFace> sparse = faces;
  for (BaseTriFace& t : sparse)
    for (int k = 0; k < 3; ++k) t[k] = t[k] * 1000003 + 11;
  EXPECT_EQ(repeated_faces(sparse, live), expect);
  EXPECT_TRUE(repeated_faces({}, live).empty());
}


// A triangulated height field with clusters of two or three vertices pulled
// within the collapse length of each other (chains included), refined once
// as built and once with its vertices and faces renumbered at random: the
// same surface must come out, vertex for vertex.
TEST(RefineMarchingCube, ResultDoesNotDependOnTheVertexNumbering) {
  const int n = 24;
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> jitter(-0.015f, 0.015f);
  std::vector<Eigen::Vector3f> coords;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i)
      coords.emplace_back(static_cast<float>(i), static_cast<float>(j), std::sin(0.4f * i) * std::cos(0.3f * j));
  // Every third vertex of every third row is pulled onto its +x neighbour,
  // every fifth also drags its +y neighbour: pairs and chains of three.
  for (int j = 0; j + 1 < n; j += 3)
    for (int i = 0; i + 1 < n; i += 3) {
      const int v = j * n + i;
      coords[v] = coords[v + 1] + Eigen::Vector3f(jitter(rng), jitter(rng), jitter(rng));
      if ((i + j) % 5 == 0) coords[v + n] = coords[v] + Eigen::Vector3f(jitter(rng), jitter(rng), jitter(rng));
    }
  std::vector<BaseTriFace> faces;
  for (int j = 0; j + 1 < n; ++j)
    for (int i = 0; i + 1 < n; ++i) {
      const int v = j * n + i;
      faces.emplace_back(v, v + 1, v + n + 1);
      faces.emplace_back(v, v + n + 1, v + n);
    }
  auto build = [](std::vector<Eigen::Vector3f> c, std::vector<BaseTriFace> f) {
    BaseTriMesh m;
    m.set_vCoords(std::move(c));
    m.set_faces(std::move(f));
    m.enable_vFlag();
    m.enable_fFlag();
    return m;
  };
  BaseTriMesh plain = build(coords, faces);
  std::vector<int> to(coords.size());
  std::iota(to.begin(), to.end(), 0);
  std::shuffle(to.begin(), to.end(), rng);
  std::vector<Eigen::Vector3f> shuffledCoords(coords.size());
  for (std::size_t v = 0; v < coords.size(); ++v) shuffledCoords[static_cast<std::size_t>(to[v])] = coords[v];
  std::vector<BaseTriFace> shuffledFaces;
  for (const BaseTriFace& t : faces) shuffledFaces.emplace_back(to[t[0]], to[t[1]], to[t[2]]);
  std::shuffle(shuffledFaces.begin(), shuffledFaces.end(), rng);
  BaseTriMesh shuffled = build(shuffledCoords, shuffledFaces);

  std::vector<int> axes(coords.size(), 0), axes2 = axes;
  ASSERT_EQ(refine_marching_cube(plain, 1.0, axes), RETVAL_SUCCESS);
  ASSERT_EQ(refine_marching_cube(shuffled, 1.0, axes2), RETVAL_SUCCESS);
  const auto a = test::live_triangles(plain), b = test::live_triangles(shuffled);
  EXPECT_LT(a.size(), faces.size()) << "the clusters collapsed faces";
  EXPECT_EQ(a, b);
  // The kept vertex of a cluster is its least one, so it is the same point
  // in both numberings.
  int deleted = 0;
  for (int v = 0; v < plain.get_vn(); ++v) {
    EXPECT_EQ(plain.get_vDeleted(v), shuffled.get_vDeleted(to[static_cast<std::size_t>(v)])) << v;
    deleted += plain.get_vDeleted(v) ? 1 : 0;
  }
  EXPECT_GT(deleted, 50);
}

// A vertex with a NaN coordinate has no short edge: it joins no group.
TEST(RefineMarchingCube, NanVertexJoinsNothing) {
  BaseTriMesh m = fan_with_short_edge(0.01f);
  std::vector<Eigen::Vector3f> c = m.get_vCoords();
  c[3] = Eigen::Vector3f(std::numeric_limits<float>::quiet_NaN(), 1, 0);
  m.set_vCoords(std::move(c));
  std::vector<int> axes(6, 0);
  ASSERT_EQ(refine_marching_cube(m, 1.0, axes), RETVAL_SUCCESS);
  EXPECT_FALSE(m.get_vDeleted(3));
  EXPECT_TRUE(m.get_vDeleted(1) && !m.get_vDeleted(0));
  EXPECT_FALSE(m.get_vDeleted(2) || m.get_vDeleted(4) || m.get_vDeleted(5));
}

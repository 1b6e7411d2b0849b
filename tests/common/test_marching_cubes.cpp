#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <tuple>
#include <vector>

#include <Eigen/Geometry>

#include "common/marching_cubes_cube.h"

using namespace TavoAlgorithm;
using V3 = Eigen::Vector3f;
using V3i = Eigen::Vector3i;

TEST(MarchingCubes, EveryCaseEmitsItsTableRowReversedAndOnlyCompleteTrianglesWhole) {
  // Edge vertices named by their owning corner and axis; one edge missing at
  // a time must spoil exactly the triangles that use it.
  auto id_of = [](int corner, int axis) { return 3 * corner + axis; };
  for (int index = 0; index < 256; ++index) {
    const auto& row = mc::triangle_table()[static_cast<std::size_t>(index)];
    for (int missing = -1; missing < 12; ++missing) {
      int emitted = 0;
      const int count = mc::build_cube(
          [&](int k) { return ((index >> k) & 1) != 0; },
          [&](int corner, int axis) {
            const bool gone = missing >= 0 && corner == mc::kEdgeOwnerCorner[missing] && axis == mc::kEdgeAxis[missing];
            return gone ? -1 : id_of(corner, axis);
          },
          [&](int t, const int (&ids)[3], bool complete) {
            ASSERT_EQ(t, emitted++);
            bool usesMissing = false;
            for (int j = 0; j < 3; ++j) usesMissing = usesMissing || row[static_cast<std::size_t>(3 * t + j)] == missing;
            ASSERT_EQ(complete, !usesMissing) << "case " << index << " triangle " << t;
            if (!complete) return;
            for (int j = 0; j < 3; ++j) {
              const int edge = row[static_cast<std::size_t>(3 * t + 2 - j)];
              EXPECT_EQ(ids[j], id_of(mc::kEdgeOwnerCorner[edge], mc::kEdgeAxis[edge]));
            }
          });
      EXPECT_EQ(count, emitted);
      if (index == 0 || index == 255) EXPECT_EQ(count, 0);
    }
  }
}

TEST(MarchingCubes, EdgeCrossingsInterpolateTheDistances) {
  // -0.25 and +0.75: a quarter of the way from the first end.
  EXPECT_FLOAT_EQ(mc::edge_crossing(2.f, 0.5f, -0.25f, 0.75f), 2.125f);
  EXPECT_FLOAT_EQ(mc::edge_crossing(2.f, 0.5f, 0.6f, -0.2f), 2.375f);
  EXPECT_TRUE(mc::flat_crossing(1e-8f, -1e-8f));
  EXPECT_FALSE(mc::flat_crossing(1e-6f, -1e-6f));
  for (int k = 0; k < 8; ++k) {
    const V3i c = mc::corner_cell(V3i(10, 20, 30), k);
    EXPECT_EQ(c, V3i(10 + mc::kCornerOffset[k][0], 20 + mc::kCornerOffset[k][1], 30 + mc::kCornerOffset[k][2]));
  }
}

TEST(MarchingCubes, ASampledSphereClosesIntoOneOutwardSurface) {
  // Distance to a sphere sampled at the integer points of a 14^3 block; every
  // cube built from its corners. The faces must close (every edge shared by
  // two faces, in opposite directions), form one sphere (V - E + F = 2) and
  // face outward (positive enclosed volume near the sphere's).
  constexpr int kN = 14;
  const V3 centre(6.6f, 7.1f, 6.8f);
  constexpr float kRadius = 4.3f;
  auto dist = [&](const V3i& c) { return (c.cast<float>() - centre).norm() - kRadius; };
  std::map<std::tuple<int, int, int, int>, int> edgeIds;
  std::vector<V3> vertices;
  auto edge_vertex = [&](const V3i& owner, int axis) {
    const float d0 = dist(owner), d1 = dist(owner + V3i::Unit(axis));
    if (!(d0 * d1 < 0.f)) return -1;
    const auto key = std::make_tuple(owner.x(), owner.y(), owner.z(), axis);
    const auto found = edgeIds.find(key);
    if (found != edgeIds.end()) return found->second;
    V3 p = owner.cast<float>();
    p[axis] = mc::edge_crossing(p[axis], 1.f, d0, d1);
    vertices.push_back(p);
    return edgeIds[key] = static_cast<int>(vertices.size()) - 1;
  };
  std::vector<std::array<int, 3>> faces;
  for (int z = 0; z + 1 < kN; ++z)
    for (int y = 0; y + 1 < kN; ++y)
      for (int x = 0; x + 1 < kN; ++x) {
        const V3i b(x, y, z);
        mc::build_cube([&](int k) { return dist(mc::corner_cell(b, k)) < 0.f; },
                       [&](int k, int axis) { return edge_vertex(mc::corner_cell(b, k), axis); },
                       [&](int, const int (&ids)[3], bool complete) {
                         ASSERT_TRUE(complete);  // a case only names edges whose ends differ
                         faces.push_back({ids[0], ids[1], ids[2]});
                       });
      }
  ASSERT_GT(faces.size(), 100u);
  std::map<std::pair<int, int>, int> directed;
  double volume = 0.0;
  for (const auto& f : faces) {
    for (int j = 0; j < 3; ++j) ++directed[{f[j], f[(j + 1) % 3]}];
    const Eigen::Vector3d a = vertices[f[0]].cast<double>() - centre.cast<double>();
    const Eigen::Vector3d b = vertices[f[1]].cast<double>() - centre.cast<double>();
    const Eigen::Vector3d c = vertices[f[2]].cast<double>() - centre.cast<double>();
    volume += a.dot(b.cross(c)) / 6.0;
  }
  for (const auto& [edge, n] : directed) {
    ASSERT_EQ(n, 1) << edge.first << " -> " << edge.second;
    ASSERT_EQ(directed.count({edge.second, edge.first}), 1u) << "open edge " << edge.first << " - " << edge.second;
  }
  const long long v = static_cast<long long>(vertices.size()), e = static_cast<long long>(directed.size()) / 2,
                  f = static_cast<long long>(faces.size());
  EXPECT_EQ(v - e + f, 2);
  const double sphere = 4.0 / 3.0 * M_PI * kRadius * kRadius * kRadius;
  EXPECT_NEAR(volume, sphere, 0.08 * sphere);
}

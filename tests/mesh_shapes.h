#pragma once
// Analytic test meshes shared by the mesh tests.
#include <Eigen/Core>
#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

#include "geometry/BaseTriMesh.h"

namespace TavoAlgorithm::test {

// Unit icosphere: an icosahedron subdivided `levels` times, points on the
// sphere, faces outward (20 * 4^levels faces).
inline BaseTriMesh make_icosphere(int levels) {
  const float t = (1.f + std::sqrt(5.f)) / 2.f;
  std::vector<Eigen::Vector3f> p = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0},
                                    {0, -1, t}, {0, 1, t}, {0, -1, -t}, {0, 1, -t},
                                    {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
  for (auto& x : p) x.normalize();
  std::vector<BaseTriFace> f = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11},
                                {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                                {3, 9, 4},  {3, 4, 2},  {3, 2, 6},   {3, 6, 8},  {3, 8, 9},
                                {4, 9, 5},  {2, 4, 11}, {6, 2, 10},  {8, 6, 7},  {9, 8, 1}};
  for (int l = 0; l < levels; ++l) {
    std::map<std::pair<int, int>, int> mid;
    auto midpoint = [&](int a, int b) {
      const auto key = std::minmax(a, b);
      auto it = mid.find(key);
      if (it != mid.end()) return it->second;
      p.push_back((p[a] + p[b]).normalized());
      return mid[key] = static_cast<int>(p.size()) - 1;
    };
    std::vector<BaseTriFace> next;
    for (const auto& tri : f) {
      const int a = midpoint(tri[0], tri[1]), b = midpoint(tri[1], tri[2]), c = midpoint(tri[2], tri[0]);
      next.push_back({tri[0], a, c});
      next.push_back({tri[1], b, a});
      next.push_back({tri[2], c, b});
      next.push_back({a, b, c});
    }
    f = std::move(next);
  }
  BaseTriMesh mesh;
  mesh.set_vCoords(std::move(p));
  mesh.set_faces(std::move(f));
  return mesh;
}

// n x n grid of unit squares in the plane z = 0, two faces per square, faces
// toward +z; vertices are appended, so several grids can share one mesh.
inline void add_grid(BaseTriMesh& mesh, int n, const Eigen::Vector3f& origin) {
  const int base = mesh.get_vn();
  for (int r = 0; r <= n; ++r)
    for (int c = 0; c <= n; ++c) mesh.add_vCoord(origin + Eigen::Vector3f(float(c), float(r), 0.f));
  std::vector<BaseTriFace> faces;
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c) {
      const int v = base + r * (n + 1) + c;
      faces.push_back({v, v + 1, v + n + 2});
      faces.push_back({v, v + n + 2, v + n + 1});
    }
  mesh.add_faces(faces);
}

// Live faces as coordinate triples, each turned to start at its least
// corner (orientation kept), sorted: what the mesh is, whatever its numbering.
inline std::vector<std::array<std::array<float, 3>, 3>> live_triangles(const BaseTriMesh& m) {
  std::vector<std::array<std::array<float, 3>, 3>> out;
  for (int f = 0; f < m.get_fn(); ++f) {
    const BaseTriFace& t = m.get_face(f);
    if (m.get_fDeleted(f) || m.get_vDeleted(t[0]) || m.get_vDeleted(t[1]) || m.get_vDeleted(t[2])) continue;
    std::array<std::array<float, 3>, 3> tri;
    for (int k = 0; k < 3; ++k) {
      const Eigen::Vector3f& p = m.get_vCoord(t[k]);
      tri[k] = {p.x(), p.y(), p.z()};
    }
    std::rotate(tri.begin(), std::min_element(tri.begin(), tri.end()), tri.end());
    out.push_back(tri);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace TavoAlgorithm::test

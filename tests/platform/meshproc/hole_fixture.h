#pragma once
// A unit icosphere with caps cut out around chosen directions, and the
// boundary vertices each cut must leave.
#include <set>
#include <vector>

#include "geometry/TriMesh.h"
#include "mesh_shapes.h"

namespace TavoAlgorithm::test {

struct CutSphere {
  TriMesh mesh;
  std::vector<std::set<int>> expectedBorders;  // per cap, mesh vertex indices
};

// Every vertex within capAngle (radians) of a direction is removed with its
// faces; the cap's border is the remaining vertices of the removed faces.
inline CutSphere cut_sphere(int levels, const std::vector<Eigen::Vector3f>& dirs, float capAngle) {
  BaseTriMesh base = make_icosphere(levels);
  std::vector<int> cap(static_cast<std::size_t>(base.get_vn()), -1);
  for (int v = 0; v < base.get_vn(); ++v)
    for (std::size_t d = 0; d < dirs.size(); ++d)
      if (base.get_vCoord(v).dot(dirs[d].normalized()) > std::cos(capAngle)) cap[v] = static_cast<int>(d);
  CutSphere out;
  out.expectedBorders.resize(dirs.size());
  for (int f = 0; f < base.get_fn(); ++f) {
    const BaseTriFace& face = base.get_face(f);
    int c = -1;
    for (int k = 0; k < 3; ++k) c = std::max(c, cap[face[k]]);
    if (c < 0) continue;
    for (int k = 0; k < 3; ++k)
      if (cap[face[k]] < 0) out.expectedBorders[c].insert(face[k]);
  }
  for (int v = 0; v < base.get_vn(); ++v)
    if (cap[v] >= 0) base.set_vDeleted(v, true);
  BaseTriMesh_convert_to_TriMesh(base, out.mesh);
  return out;
}

// Every undirected edge of the live faces is used exactly twice, once in each
// direction: closed and consistently oriented.
inline bool closed_and_oriented(const TriMesh& mesh) {
  std::map<std::pair<int, int>, int> directed;
  for (auto f : mesh.faces()) {
    if (mesh.status(f).deleted()) continue;
    for (auto h : mesh.fh_range(f))
      ++directed[{mesh.from_vertex_handle(h).idx(), mesh.to_vertex_handle(h).idx()}];
  }
  for (const auto& [e, n] : directed) {
    if (n != 1) return false;
    const auto back = directed.find({e.second, e.first});
    if (back == directed.end() || back->second != 1) return false;
  }
  return !directed.empty();
}

inline int live_faces(const TriMesh& mesh) {
  int n = 0;
  for (auto f : mesh.faces()) n += mesh.status(f).deleted() ? 0 : 1;
  return n;
}

}  // namespace TavoAlgorithm::test

#pragma once
// A unit icosphere with caps cut out around chosen directions, the boundary
// vertices each cut must leave, and checks shared by the hole tests.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "geometry/TriMesh.h"
#include "mesh_shapes.h"
#include "meshproc/HoleFinding.h"

namespace TavoAlgorithm::test {

inline TriMesh half_edge(const BaseTriMesh& base) {
  TriMesh mesh;
  BaseTriMesh_convert_to_TriMesh(base, mesh);
  return mesh;
}

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
  for (const BaseTriFace& face : base.get_faces()) {
    const int c = std::max({cap[face[0]], cap[face[1]], cap[face[2]]});
    for (int k = 0; k < 3 && c >= 0; ++k)
      if (cap[face[k]] < 0) out.expectedBorders[c].insert(face[k]);
  }
  for (int v = 0; v < base.get_vn(); ++v) base.set_vDeleted(v, cap[v] >= 0);
  BaseTriMesh_convert_to_TriMesh(base, out.mesh);
  return out;
}

inline std::vector<HalfedgeLoop> holes_of(const TriMesh& mesh) {
  std::vector<HalfedgeLoop> loops;
  EXPECT_EQ(find_holes(mesh, loops), RETVAL_SUCCESS);
  return loops;
}

// Every undirected edge of the live faces is used exactly twice, once in each
// direction: closed and consistently oriented.
inline bool closed_and_oriented(const TriMesh& mesh) {
  std::map<std::pair<int, int>, int> directed;
  for (auto f : mesh.faces())
    if (!mesh.status(f).deleted())
      for (auto h : mesh.fh_range(f)) ++directed[{mesh.from_vertex_handle(h).idx(), mesh.to_vertex_handle(h).idx()}];
  for (const auto& [e, n] : directed) {
    const auto back = directed.find({e.second, e.first});
    if (n != 1 || back == directed.end() || back->second != 1) return false;
  }
  return !directed.empty();
}

inline int live_faces(const TriMesh& mesh) {
  int n = 0;
  for (auto f : mesh.faces()) n += mesh.status(f).deleted() ? 0 : 1;
  return n;
}

}  // namespace TavoAlgorithm::test

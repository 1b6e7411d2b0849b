#include "meshproc/refine_marching_cube.h"

#include "meshproc/RepeatedFaces.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <tuple>

namespace TavoAlgorithm {
namespace {

int find_root(std::vector<int>& parent, int v) {
  while (parent[static_cast<std::size_t>(v)] != v) {
    parent[static_cast<std::size_t>(v)] = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(v)])];
    v = parent[static_cast<std::size_t>(v)];
  }
  return v;
}

}  // namespace

RetVal refine_marching_cube(BaseTriMesh& mesh, double voxelSize, std::vector<int>& axes) {
  if (!(voxelSize > 0.0) || !std::isfinite(voxelSize)) return RETVAL_FAILED;
  if (axes.size() != static_cast<std::size_t>(mesh.get_vn()) || !mesh.faces_valid()) return RETVAL_FAILED;
  const int vn = mesh.get_vn(), fn = mesh.get_fn();
  const double limit = kRefineCollapseRatio * voxelSize;
  const float limitSq = static_cast<float>(limit * limit);
  auto faceLive = [&](int f) {
    if (mesh.get_fDeleted(f)) return false;
    const BaseTriFace& t = mesh.get_face(f);
    return !mesh.get_vDeleted(t[0]) && !mesh.get_vDeleted(t[1]) && !mesh.get_vDeleted(t[2]);
  };
  // Groups joined by short live edges (a NaN length joins nothing).
  std::vector<int> parent(static_cast<std::size_t>(vn));
  std::iota(parent.begin(), parent.end(), 0);
  for (int f = 0; f < fn; ++f) {
    if (!faceLive(f)) continue;
    const BaseTriFace& t = mesh.get_face(f);
    for (int k = 0; k < 3; ++k) {
      const int a = t[k], b = t[(k + 1) % 3];
      if (!((mesh.get_vCoord(a) - mesh.get_vCoord(b)).squaredNorm() < limitSq)) continue;
      const int ra = find_root(parent, a), rb = find_root(parent, b);
      if (ra != rb) parent[static_cast<std::size_t>(std::max(ra, rb))] = std::min(ra, rb);
    }
  }
  // A group merges into its member with the least coordinates, so that the
  // mesh does not depend on how the extraction numbered the vertices (which
  // varies with the worker count and timing). Every member is a zero
  // crossing, so chains stay on the surface.
  std::vector<int> keep(static_cast<std::size_t>(vn), -1);
  auto before = [&](int a, int b) {
    const Eigen::Vector3f &p = mesh.get_vCoord(a), &q = mesh.get_vCoord(b);
    return std::tie(p.x(), p.y(), p.z(), a) < std::tie(q.x(), q.y(), q.z(), b);
  };
  for (int v = 0; v < vn; ++v) {
    int& k = keep[static_cast<std::size_t>(find_root(parent, v))];
    if (k < 0 || before(v, k)) k = v;
  }
  auto kept = [&](int v) { return keep[static_cast<std::size_t>(find_root(parent, v))]; };
  for (int f = 0; f < fn; ++f) {
    if (!faceLive(f)) continue;
    BaseTriFace t = mesh.get_face(f);
    for (int k = 0; k < 3; ++k) t[k] = kept(t[k]);
    mesh.set_face(f, t);
    if (t[0] == t[1] || t[1] == t[2] || t[0] == t[2]) mesh.set_fDeleted(f, true);
  }
  for (int v = 0; v < vn; ++v)
    if (kept(v) != v) mesh.set_vDeleted(v, true);
  // A collapse can fold a sliver onto its neighbour, the two faces then
  // sharing three vertices with opposite turns.
  for (int f : repeated_faces(mesh.get_faces(), [&](int f) { return f < fn && faceLive(f); }))
    mesh.set_fDeleted(f, true);
  return RETVAL_SUCCESS;
}

}  // namespace TavoAlgorithm

#include "meshproc/refine_marching_cube.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

namespace TavoAlgorithm {
namespace {

int find_root(std::vector<int>& parent, int v) {
  while (parent[static_cast<std::size_t>(v)] != v) {
    parent[static_cast<std::size_t>(v)] = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(v)])];
    v = parent[static_cast<std::size_t>(v)];
  }
  return v;
}

// A collapse can fold a sliver onto its neighbour: the two faces end up on
// the same three vertices, facing opposite ways, and their edges then carry
// four faces. Such pairs cancel (both are removed); faces repeated with the
// same orientation keep one copy.
void drop_folded_pairs(BaseTriMesh& mesh, int fn) {
  struct Keyed {
    std::array<int, 3> key;  // sorted corners
    bool even;               // corner order an even permutation of the key
    int face;
  };
  std::vector<Keyed> faces;
  for (int f = 0; f < fn; ++f) {
    if (mesh.get_fDeleted(f)) continue;
    const BaseTriFace& t = mesh.get_face(f);
    if (mesh.get_vDeleted(t[0]) || mesh.get_vDeleted(t[1]) || mesh.get_vDeleted(t[2])) continue;
    // The rotation that puts the smallest corner first decides the parity.
    const int m = t[0] < t[1] ? (t[0] < t[2] ? 0 : 2) : (t[1] < t[2] ? 1 : 2);
    const int b = t[(m + 1) % 3], c = t[(m + 2) % 3];
    faces.push_back({{t[m], std::min(b, c), std::max(b, c)}, b < c, f});
  }
  std::sort(faces.begin(), faces.end(), [](const Keyed& x, const Keyed& y) { return x.key < y.key; });
  for (std::size_t i = 0; i < faces.size();) {
    std::size_t j = i + 1;
    while (j < faces.size() && faces[j].key == faces[i].key) ++j;
    if (j - i > 1) {
      int balance = 0;
      for (std::size_t k = i; k < j; ++k) balance += faces[k].even ? 1 : -1;
      // Keep one face of the surplus orientation, if any.
      bool kept = false;
      for (std::size_t k = i; k < j; ++k) {
        const bool keep = !kept && balance != 0 && faces[k].even == (balance > 0);
        kept = kept || keep;
        if (!keep) mesh.set_fDeleted(faces[k].face, true);
      }
    }
    i = j;
  }
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
  // Merge groups joined by short live edges; the smallest index represents
  // a group. Every member is a zero crossing, so chains stay on the surface.
  std::vector<int> parent(static_cast<std::size_t>(vn));
  std::iota(parent.begin(), parent.end(), 0);
  for (int f = 0; f < fn; ++f) {
    if (!faceLive(f)) continue;
    const BaseTriFace& t = mesh.get_face(f);
    for (int k = 0; k < 3; ++k) {
      const int a = t[k], b = t[(k + 1) % 3];
      if ((mesh.get_vCoord(a) - mesh.get_vCoord(b)).squaredNorm() >= limitSq) continue;
      const int ra = find_root(parent, a), rb = find_root(parent, b);
      if (ra != rb) parent[static_cast<std::size_t>(std::max(ra, rb))] = std::min(ra, rb);
    }
  }
  for (int f = 0; f < fn; ++f) {
    if (!faceLive(f)) continue;
    BaseTriFace t = mesh.get_face(f);
    for (int k = 0; k < 3; ++k) t[k] = find_root(parent, t[k]);
    mesh.set_face(f, t);
    if (t[0] == t[1] || t[1] == t[2] || t[0] == t[2]) mesh.set_fDeleted(f, true);
  }
  for (int v = 0; v < vn; ++v)
    if (find_root(parent, v) != v) mesh.set_vDeleted(v, true);
  drop_folded_pairs(mesh, fn);
  return RETVAL_SUCCESS;
}

}  // namespace TavoAlgorithm

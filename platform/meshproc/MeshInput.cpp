#include "meshproc/MeshInput.h"

#include <cmath>

namespace TavoAlgorithm {

bool has_live_faces(const TriMesh& mesh) {
  for (auto f : mesh.faces())
    if (!mesh.status(f).deleted()) return true;
  return false;
}

bool has_finite_points(const TriMesh& mesh) {
  for (auto v : mesh.vertices()) {
    if (mesh.status(v).deleted()) continue;
    const auto& p = mesh.point(v);
    if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) return false;
  }
  return true;
}

}  // namespace TavoAlgorithm

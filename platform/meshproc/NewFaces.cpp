#include "meshproc/NewFaces.h"

namespace TavoAlgorithm {

void finish_new_faces(TriMesh& mesh, const std::vector<TriMesh::FaceHandle>& added, bool select) {
  for (auto f : added) {
    if (select) mesh.status(f).set_selected(true);
    mesh.set_normal(f, mesh.calc_face_normal(f));
  }
  for (auto f : added)
    for (auto v : mesh.fv_range(f)) mesh.set_normal(v, mesh.calc_vertex_normal(v));
}

}  // namespace TavoAlgorithm

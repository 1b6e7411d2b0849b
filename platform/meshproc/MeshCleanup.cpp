#include "meshproc/MeshCleanup.h"

#include "meshproc/MeshInput.h"

namespace TavoAlgorithm {

void label_face_components(const TriMesh& mesh, std::vector<int>& label, std::vector<int>& sizes) {
  label.assign(mesh.n_faces(), -1);
  sizes.clear();
  std::vector<TriMesh::FaceHandle> queue;
  for (auto seed : mesh.faces()) {
    if (label[seed.idx()] >= 0 || mesh.status(seed).deleted()) continue;
    const int id = static_cast<int>(sizes.size());
    queue.assign(1, seed);
    label[seed.idx()] = id;
    for (std::size_t head = 0; head < queue.size(); ++head) {
      for (auto h : mesh.fh_range(queue[head])) {
        const auto g = mesh.face_handle(mesh.opposite_halfedge_handle(h));
        if (!g.is_valid() || label[g.idx()] >= 0 || mesh.status(g).deleted()) continue;
        label[g.idx()] = id;
        queue.push_back(g);
      }
    }
    sizes.push_back(static_cast<int>(queue.size()));
  }
}

RetVal remove_small_components_by_face(TriMesh& mesh, int minFaces) {
  if (!has_live_faces(mesh)) return RETVAL_FAILED;
  std::vector<int> label, sizes;
  label_face_components(mesh, label, sizes);
  bool changed = false;
  for (auto f : mesh.faces()) {
    const int c = label[f.idx()];
    if (c < 0 || sizes[c] >= minFaces) continue;
    mesh.delete_face(f, true);
    changed = true;
  }
  if (changed) mesh.garbage_collection();
  return RETVAL_SUCCESS;
}

RetVal remove_non_manifold_verts(TriMesh& mesh) {
  if (!has_live_faces(mesh)) return RETVAL_FAILED;
  bool changed = false;
  // Each round removes at least one vertex, so the loop ends.
  for (;;) {
    std::vector<TriMesh::VertexHandle> bad;
    for (auto v : mesh.vertices())
      if (!mesh.status(v).deleted() && !mesh.is_manifold(v)) bad.push_back(v);
    if (bad.empty()) break;
    for (auto v : bad)
      if (!mesh.status(v).deleted()) mesh.delete_vertex(v, true);
    changed = true;
  }
  if (changed) mesh.garbage_collection();
  return RETVAL_SUCCESS;
}

}  // namespace TavoAlgorithm

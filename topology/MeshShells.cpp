#include "MeshShells.h"

#include "ShellFlood.h"
#include "meshproc/MeshCleanup.h"

namespace TavoAlgorithm {

namespace {
constexpr char kBuildAllTables = 1;
}  // namespace

void remove_small_shell(TriMesh& mesh, std::int32_t n) {
  mesh.request_vertex_status();
  mesh.request_face_status();
  mesh.request_edge_status();
  std::vector<int> label, sizes;
  label_face_components(mesh, label, sizes);
  bool changed = false;
  for (auto f : mesh.faces()) {
    const int c = label[f.idx()];
    if (c < 0 || sizes[c] > n) continue;
    mesh.delete_face(f, true);
    changed = true;
  }
  if (changed) mesh.garbage_collection();
  mesh.release_edge_status();
  mesh.release_face_status();
  mesh.release_vertex_status();
}

void squeeze_baseTriMesh(BaseTriMesh& mesh) {
  mesh.enable_vFlag();
  const int vn = mesh.get_vn();
  std::vector<char> used(static_cast<std::size_t>(vn), 0);
  for (int f = 0; f < mesh.get_fn(); ++f) {
    // Faces the compaction drops keep no vertex alive.
    if (mesh.get_fDeleted(f)) continue;
    const BaseTriFace& face = mesh.get_face(f);
    bool inside = true;
    for (int k = 0; k < 3; ++k) inside = inside && face[k] >= 0 && face[k] < vn;
    if (!inside) continue;
    for (int k = 0; k < 3; ++k) used[face[k]] = 1;
  }
  for (int v = 0; v < vn; ++v)
    if (!used[v]) mesh.set_vDeleted(v, true);
  mesh.squeeze();
}

void find_baseTriMesh_shells_border_faces(const BaseTriMesh& mesh,
                                          std::vector<std::vector<std::int32_t>>& shells,
                                          std::vector<std::int32_t>& borderFaces) {
  shells.clear();
  borderFaces.clear();
  OrvaneSimpleTopos topo;
  topo.build_topo(mesh, kBuildAllTables);
  const int fn = mesh.get_fn();
  std::vector<bool> done(static_cast<std::size_t>(fn), false);
  // Faces left out of the tables (deleted or with an index outside the mesh)
  // have -1 edge records.
  for (int f = 0; f < fn; ++f) done[f] = topo.edge_table()[f][0] < 0;
  for (int f = 0; f < fn; ++f) {
    if (done[f]) continue;
    for (int k = 0; k < 3; ++k)
      if (topo.edge_table()[f][k] == f && topo.edge_table()[f][k + 3] == k) {
        borderFaces.push_back(f);
        break;
      }
  }
  flood_shells(mesh, topo, done, shells);
  topo.clearTopo(kBuildAllTables);
}

}  // namespace TavoAlgorithm

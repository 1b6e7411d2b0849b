#include "meshproc/HoleFinding.h"

#include "meshproc/MeshInput.h"

namespace TavoAlgorithm {

RetVal find_holes(const TriMesh& mesh, std::vector<HalfedgeLoop>& loops) {
  loops.clear();
  if (!has_live_faces(mesh)) return RETVAL_FAILED;
  std::vector<char> visited(mesh.n_halfedges(), 0);
  const std::size_t limit = mesh.n_halfedges();
  for (auto h : mesh.halfedges()) {
    if (visited[h.idx()] || mesh.status(h).deleted() || !mesh.is_boundary(h)) continue;
    HalfedgeLoop loop;
    auto cur = h;
    do {
      visited[cur.idx()] = 1;
      loop.push_back(cur);
      cur = mesh.next_halfedge_handle(cur);
      // A valid mesh always returns to the start; the bound guards a corrupted one.
      if (!cur.is_valid() || !mesh.is_boundary(cur) || loop.size() > limit) {
        loops.clear();
        return RETVAL_FAILED;
      }
    } while (cur != h);
    loops.push_back(std::move(loop));
  }
  return RETVAL_SUCCESS;
}

RetVal find_holes(const TriMesh& mesh, std::vector<VertexLoop>& loops) {
  loops.clear();
  std::vector<HalfedgeLoop> edges;
  const RetVal r = find_holes(mesh, edges);
  if (r != RETVAL_SUCCESS) return r;
  loops.reserve(edges.size());
  for (const auto& loop : edges) {
    VertexLoop verts;
    verts.reserve(loop.size());
    for (auto h : loop) verts.push_back(mesh.from_vertex_handle(h));
    loops.push_back(std::move(verts));
  }
  return RETVAL_SUCCESS;
}

bool is_boundary_loop(const TriMesh& mesh, const HalfedgeLoop& loop) {
  if (loop.size() < 3) return false;
  const int n = static_cast<int>(mesh.n_halfedges());
  for (std::size_t i = 0; i < loop.size(); ++i) {
    const auto h = loop[i];
    if (!h.is_valid() || h.idx() >= n || mesh.status(h).deleted() || !mesh.is_boundary(h))
      return false;
    if (mesh.next_halfedge_handle(h) != loop[(i + 1) % loop.size()]) return false;
  }
  return true;
}

}  // namespace TavoAlgorithm

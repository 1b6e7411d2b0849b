#include "meshproc/EarClipping.h"

#include <string>

#include "geometry/ConsoleLines.h"
#include "meshproc/LoopTriangulation.h"
#include "meshproc/MeshInput.h"
#include "meshproc/NewFaces.h"

namespace TavoAlgorithm {

namespace {

Eigen::Vector3f to_eigen(const OpenMesh::Vec3f& p) { return {p[0], p[1], p[2]}; }

// Triangulates one loop and adds its faces; on a rejected face the faces
// already added for this loop are deleted again.
bool close_loop(TriMesh& mesh, const HalfedgeLoop& loop, const EarLimits& limits,
                bool selectNewFaces) {
  std::vector<TriMesh::VertexHandle> verts;
  std::vector<Eigen::Vector3f> pts;
  for (auto h : loop) {
    verts.push_back(mesh.from_vertex_handle(h));
    pts.push_back(to_eigen(mesh.point(verts.back())));
  }
  // A diagonal must neither join a vertex to itself (a loop through a pinched
  // vertex) nor duplicate an edge the mesh already has.
  const DiagonalCheck allowed = [&](int i, int j) {
    return verts[i] != verts[j] && !mesh.find_halfedge(verts[i], verts[j]).is_valid();
  };
  std::vector<std::array<int, 3>> tris;
  if (!triangulate_loop(pts, limits, allowed, tris)) return false;
  std::vector<TriMesh::FaceHandle> added;
  for (const auto& t : tris) {
    const auto f = mesh.add_face(verts[t[0]], verts[t[1]], verts[t[2]]);
    if (!f.is_valid()) {
      for (auto g : added) mesh.delete_face(g, false);
      return false;
    }
    added.push_back(f);
  }
  finish_new_faces(mesh, added, selectNewFaces);
  return true;
}

}  // namespace

RetVal ear_clipping(TriMesh& mesh, const std::vector<HalfedgeLoop>& loops, bool selectNewFaces,
                    bool ignoreSizeLimit, bool verbose, int maxHoleSize, float minQuality,
                    float maxAngleDeg) {
  if (!has_live_faces(mesh) || !has_finite_points(mesh)) return RETVAL_FAILED;
  const EarLimits limits{minQuality, maxAngleDeg};
  bool allClosed = true;
  for (std::size_t i = 0; i < loops.size(); ++i) {
    const HalfedgeLoop& loop = loops[i];
    if (!ignoreSizeLimit && static_cast<int>(loop.size()) > maxHoleSize) continue;
    if (is_boundary_loop(mesh, loop) && close_loop(mesh, loop, limits, selectNewFaces)) continue;
    allClosed = false;
    if (verbose) TAVO_PLATFORM_WARNING("ear clipping left hole " + std::to_string(i) + " of " +
                                  std::to_string(loop.size()) + " edges open");
  }
  return allClosed ? RETVAL_SUCCESS : RETVAL_FAILED;
}

}  // namespace TavoAlgorithm

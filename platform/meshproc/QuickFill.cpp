#include "meshproc/QuickFill.h"

#include <cmath>
#include <set>
#include <string>

#include "geometry/ConsoleLines.h"
#include "meshproc/LoopTriangulation.h"
#include "meshproc/MeshInput.h"
#include "meshproc/NewFaces.h"

namespace TavoAlgorithm {

namespace {

// Shape of the starting triangulation: the same preferences as the small-hole
// filler of the scoring mesh.
constexpr float kPatchMinQuality = 0.6f;
constexpr float kPatchMaxAngleDeg = 150.f;
// An interior edge longer than this many mean border edges is split.
constexpr float kSplitRatio = 4.f / 3.f;
// Flip sweeps per refinement level; each sweep only flips toward Delaunay, so
// few are needed.
constexpr int kMaxFlipSweeps = 8;

using Vec = OpenMesh::Vec3f;

Eigen::Vector3f to_eigen(const Vec& p) { return {p[0], p[1], p[2]}; }

float corner_angle(const Vec& at, const Vec& a, const Vec& b) {
  const Vec u = a - at, v = b - at;
  const float len = u.norm() * v.norm();
  if (!(len > 0.f)) return 0.f;
  return std::acos(std::clamp(OpenMesh::dot(u, v) / len, -1.f, 1.f));
}

class PatchBuilder {
 public:
  PatchBuilder(const TriMesh& mesh, const QuickFillParam& param) : m_mesh(mesh), m_param(param) {}

  bool build(const HalfedgeLoop& loop, TriMesh& patch, HoleVertexMaps& maps) {
    patch.clean();
    maps = HoleVertexMaps();
    m_verts.clear();
    std::vector<Eigen::Vector3f> pts;
    std::set<int> seen;
    for (auto h : loop) {
      const auto v = m_mesh.from_vertex_handle(h);
      if (!seen.insert(v.idx()).second) return false;  // pinched loop: no one-to-one map
      m_verts.push_back(v);
      pts.push_back(to_eigen(m_mesh.point(v)));
    }
    const DiagonalCheck allowed = [&](int i, int j) { return !mesh_has_edge(i, j); };
    std::vector<std::array<int, 3>> tris;
    const int n = static_cast<int>(m_verts.size());
    const bool clipped = triangulate_loop(pts, {kPatchMinQuality, kPatchMaxAngleDeg}, allowed, tris);
    if (!clipped) {
      // A loop whose projection crosses itself cannot be ear-clipped; a fan
      // about a new vertex at its centroid closes any loop, and the
      // refinement and fairing below smooth it out.
      tris.clear();
      for (int i = 0; i < n; ++i) tris.push_back({i, (i + 1) % n, n});
    }

    for (int i = 0; i < n; ++i) patch.add_vertex(m_mesh.point(m_verts[i]));
    if (!clipped) {
      Vec centroid(0.f, 0.f, 0.f);
      for (int i = 0; i < n; ++i) centroid += m_mesh.point(m_verts[i]);
      patch.add_vertex(centroid / static_cast<float>(n));
    }
    for (const auto& t : tris)
      if (!patch.add_face(patch.vertex_handle(t[0]), patch.vertex_handle(t[1]),
                          patch.vertex_handle(t[2])).is_valid())
        return false;

    float border = 0.f;
    for (int i = 0; i < n; ++i) border += (pts[i] - pts[(i + 1) % n]).norm();
    const float target = kSplitRatio * border / static_cast<float>(n);
    for (int level = 0; level < m_param.refineLevels; ++level) {
      if (!split_long_edges(patch, target)) break;
      if (m_param.flipEdges) flip_to_delaunay(patch);
      fair(patch);
    }
    patch.garbage_collection();
    patch.update_face_normals();
    patch.update_vertex_normals();

    maps.patchToMesh.assign(patch.n_vertices(), -1);
    for (int i = 0; i < n; ++i) {
      maps.patchToMesh[i] = m_verts[i].idx();
      maps.meshToPatch[m_verts[i].idx()] = i;
    }
    return true;
  }

 private:
  bool is_border_vertex(int patchIndex) const { return patchIndex < static_cast<int>(m_verts.size()); }

  // Edges between two border vertices must not exist in the mesh already.
  bool mesh_has_edge(int i, int j) const {
    return m_mesh.find_halfedge(m_verts[i], m_verts[j]).is_valid();
  }

  bool split_long_edges(TriMesh& patch, float target) {
    std::vector<TriMesh::EdgeHandle> longEdges;
    for (auto e : patch.edges())
      if (!patch.is_boundary(e) && patch.calc_edge_length(e) > target) longEdges.push_back(e);
    for (auto e : longEdges) {
      const auto h = patch.halfedge_handle(e, 0);
      const Vec mid = 0.5f * (patch.point(patch.from_vertex_handle(h)) + patch.point(patch.to_vertex_handle(h)));
      patch.split(e, mid);
    }
    return !longEdges.empty();
  }

  bool flip_improves(const TriMesh& patch, TriMesh::EdgeHandle e) const {
    if (patch.is_boundary(e) || !patch.is_flip_ok(e)) return false;
    const auto h0 = patch.halfedge_handle(e, 0), h1 = patch.halfedge_handle(e, 1);
    const auto a = patch.to_vertex_handle(h0), b = patch.to_vertex_handle(h1);
    const auto c = patch.to_vertex_handle(patch.next_halfedge_handle(h0));
    const auto d = patch.to_vertex_handle(patch.next_halfedge_handle(h1));
    if (is_border_vertex(c.idx()) && is_border_vertex(d.idx()) && mesh_has_edge(c.idx(), d.idx()))
      return false;
    const Vec &pa = patch.point(a), &pb = patch.point(b), &pc = patch.point(c), &pd = patch.point(d);
    if (corner_angle(pc, pa, pb) + corner_angle(pd, pa, pb) <= static_cast<float>(M_PI)) return false;
    // The two new faces must keep the orientation of the old pair (no fold).
    const Vec before = OpenMesh::cross(pb - pa, pc - pa) + OpenMesh::cross(pa - pb, pd - pb);
    const Vec n1 = OpenMesh::cross(pd - pc, pa - pc), n2 = OpenMesh::cross(pc - pd, pb - pd);
    return OpenMesh::dot(n1, before) > 0.f && OpenMesh::dot(n2, before) > 0.f;
  }

  void flip_to_delaunay(TriMesh& patch) {
    for (int sweep = 0; sweep < kMaxFlipSweeps; ++sweep) {
      bool flipped = false;
      for (auto e : patch.edges())
        if (flip_improves(patch, e)) {
          patch.flip(e);
          flipped = true;
        }
      if (!flipped) break;
    }
  }

  // Umbrella smoothing of the new vertices, border fixed.
  void fair(TriMesh& patch) const {
    for (int it = 0; it < m_param.fairingIterations; ++it)
      for (auto v : patch.vertices()) {
        if (is_border_vertex(v.idx())) continue;
        Vec sum(0.f, 0.f, 0.f);
        int count = 0;
        for (auto w : patch.vv_range(v)) {
          sum += patch.point(w);
          ++count;
        }
        if (count > 0) patch.set_point(v, sum / static_cast<float>(count));
      }
  }

  const TriMesh& m_mesh;
  const QuickFillParam& m_param;
  std::vector<TriMesh::VertexHandle> m_verts;
};

bool maps_match(const TriMesh& mesh, const TriMesh& patch, const std::vector<int>& patchToMesh,
                const std::map<int, int>& meshToPatch) {
  if (patchToMesh.size() != patch.n_vertices()) return false;
  const int vn = static_cast<int>(mesh.n_vertices());
  std::size_t mapped = 0;
  for (std::size_t i = 0; i < patchToMesh.size(); ++i) {
    const int m = patchToMesh[i];
    if (m == -1) continue;
    if (m < 0 || m >= vn || mesh.status(mesh.vertex_handle(m)).deleted()) return false;
    const auto it = meshToPatch.find(m);
    if (it == meshToPatch.end() || it->second != static_cast<int>(i)) return false;
    ++mapped;
  }
  return mapped == meshToPatch.size();
}

}  // namespace

RetVal QuickFill::fill_holes_quick(const TriMesh& mesh, const std::vector<HalfedgeLoop>& loops,
                                   std::vector<TriMesh>& patches, std::vector<int>& statuses,
                                   std::vector<HoleVertexMaps>& maps) const {
  patches.clear();
  statuses.clear();
  maps.clear();
  if (!has_live_faces(mesh) || !has_finite_points(mesh)) return RETVAL_FAILED;
  patches.resize(loops.size());
  statuses.assign(loops.size(), QUICKFILL_FAILED);
  maps.resize(loops.size());
  PatchBuilder builder(mesh, m_param);
  bool ok = true;
  for (std::size_t i = 0; i < loops.size(); ++i) {
    const int size = static_cast<int>(loops[i].size());
    if (size < m_param.minHoleSize || (m_param.maxHoleSize > 0 && size > m_param.maxHoleSize)) {
      statuses[i] = QUICKFILL_SKIPPED;
      continue;
    }
    if (is_boundary_loop(mesh, loops[i]) && builder.build(loops[i], patches[i], maps[i])) {
      statuses[i] = QUICKFILL_FILLED;
      continue;
    }
    patches[i].clean();
    maps[i] = HoleVertexMaps();
    ok = false;
    if (m_param.verbose)
      TAVO_PLATFORM_WARNING("quick fill left hole " + std::to_string(i) + " of " + std::to_string(size) +
                       " edges open");
  }
  return ok ? RETVAL_SUCCESS : RETVAL_FAILED;
}

RetVal merge_back_hole_region(TriMesh& mesh, const TriMesh& patch, const std::vector<int>& patchToMesh,
                              const std::map<int, int>& meshToPatch, bool selectNewFaces) {
  if (!maps_match(mesh, patch, patchToMesh, meshToPatch) || !has_finite_points(patch))
    return RETVAL_FAILED;
  std::vector<TriMesh::VertexHandle> handle(patch.n_vertices());
  std::vector<TriMesh::VertexHandle> newVerts;
  for (auto v : patch.vertices()) {
    const int m = patchToMesh[v.idx()];
    if (m >= 0) {
      handle[v.idx()] = mesh.vertex_handle(m);
    } else {
      handle[v.idx()] = mesh.add_vertex(patch.point(v));
      newVerts.push_back(handle[v.idx()]);
    }
  }
  // Faces in breadth-first order from the first one, so each joins the part
  // already merged along an edge and no vertex is left with two open fans.
  std::vector<TriMesh::FaceHandle> order;
  std::vector<char> queued(patch.n_faces(), 0);
  for (auto seed : patch.faces()) {
    if (queued[seed.idx()] || patch.status(seed).deleted()) continue;
    queued[seed.idx()] = 1;
    order.push_back(seed);
    for (std::size_t head = order.size() - 1; head < order.size(); ++head)
      for (auto g : patch.ff_range(order[head]))
        if (!queued[g.idx()]) {
          queued[g.idx()] = 1;
          order.push_back(g);
        }
  }
  std::vector<TriMesh::FaceHandle> added;
  for (auto pf : order) {
    std::vector<TriMesh::VertexHandle> fv;
    for (auto v : patch.fv_range(pf)) fv.push_back(handle[v.idx()]);
    const auto f = mesh.add_face(fv);
    if (!f.is_valid()) {
      for (auto g : added) mesh.delete_face(g, false);
      for (auto v : newVerts)
        if (!mesh.status(v).deleted()) mesh.delete_vertex(v, false);
      return RETVAL_FAILED;
    }
    added.push_back(f);
  }
  finish_new_faces(mesh, added, selectNewFaces);
  return RETVAL_SUCCESS;
}

RetVal quick_fill_holes(TriMesh& mesh, const std::vector<HalfedgeLoop>& loops,
                        const QuickFillParam& param) {
  QuickFill filler;
  filler.set_all_parameter(param);
  std::vector<TriMesh> patches;
  std::vector<int> statuses;
  std::vector<HoleVertexMaps> maps;
  RetVal result = filler.fill_holes_quick(mesh, loops, patches, statuses, maps);
  if (patches.empty() && !loops.empty()) return result;
  for (std::size_t i = 0; i < patches.size(); ++i) {
    if (statuses[i] != QUICKFILL_FILLED) continue;
    if (merge_back_hole_region(mesh, patches[i], maps[i].patchToMesh, maps[i].meshToPatch,
                               param.selectNewFaces != 0) != RETVAL_SUCCESS)
      result = RETVAL_FAILED;
  }
  return result;
}

}  // namespace TavoAlgorithm

#include "OrvaneSimpleTopos.h"

#include <algorithm>

namespace TavoAlgorithm {

namespace {

constexpr char kBuildBit = 1;
constexpr OrvaneSimpleTopos::Record kNoRecord{{-1, -1, -1, -1, -1, -1}};

bool face_usable(const BaseTriMesh& mesh, int f) {
  if (mesh.get_fDeleted(f)) return false;
  const BaseTriFace& face = mesh.get_face(f);
  const int vn = mesh.get_vn();
  return face[0] >= 0 && face[0] < vn && face[1] >= 0 && face[1] < vn && face[2] >= 0 && face[2] < vn;
}

struct EdgeRecord {
  std::int32_t hi;  // larger vertex index; the smaller one is the bucket
  std::int32_t face;
  std::int32_t edge;
};

}  // namespace

OrvaneSimpleTopos::~OrvaneSimpleTopos() { clearTopo(3); }

void OrvaneSimpleTopos::build_topo(const BaseTriMesh& mesh, char flags) {
  if (!(flags & kBuildBit)) return;
  const int fn = mesh.get_fn();
  const int vn = mesh.get_vn();
  m_edges.assign(static_cast<std::size_t>(fn), kNoRecord);
  m_corners.assign(static_cast<std::size_t>(fn), kNoRecord);
  m_verts.assign(static_cast<std::size_t>(vn), PeltoVertSkeleton::V2F{});

  // Counting sort by the smaller vertex keeps the build linear; each bucket
  // holds the few edges of one vertex and is sorted by the larger one.
  std::vector<std::int32_t> start(static_cast<std::size_t>(vn) + 1, 0);
  for (int f = 0; f < fn; ++f) {
    if (!face_usable(mesh, f)) continue;
    const BaseTriFace& face = mesh.get_face(f);
    for (int k = 0; k < 3; ++k) ++start[std::min(face[k], face[(k + 1) % 3]) + 1];
  }
  for (int v = 0; v < vn; ++v) start[v + 1] += start[v];
  std::vector<EdgeRecord> records(static_cast<std::size_t>(start[vn]));
  std::vector<std::int32_t> fill(start.begin(), start.end() - 1);
  for (int f = 0; f < fn; ++f) {
    if (!face_usable(mesh, f)) continue;
    const BaseTriFace& face = mesh.get_face(f);
    for (int k = 0; k < 3; ++k) {
      const int a = face[k], b = face[(k + 1) % 3];
      records[fill[std::min(a, b)]++] = {std::max(a, b), f, k};
    }
  }
  for (int v = 0; v < vn; ++v) {
    const auto first = records.begin() + start[v], last = records.begin() + start[v + 1];
    // Stable, so a run keeps increasing face order.
    std::stable_sort(first, last, [](const EdgeRecord& x, const EdgeRecord& y) { return x.hi < y.hi; });
    for (auto run = first; run != last;) {
      auto end = run;
      while (end != last && end->hi == run->hi) ++end;
      for (auto r = run; r != end; ++r) {
        const auto nb = (r + 1 == end) ? run : r + 1;
        m_edges[r->face][r->edge] = nb->face;
        m_edges[r->face][r->edge + 3] = nb->edge;
      }
      run = end;
    }
  }

  for (int f = 0; f < fn; ++f) {
    if (!face_usable(mesh, f)) continue;
    const BaseTriFace& face = mesh.get_face(f);
    for (int k = 0; k < 3; ++k) {
      PeltoVertSkeleton::V2F& head = m_verts[face[k]];
      m_corners[f][k] = head.face;
      m_corners[f][k + 3] = head.corner;
      head = {f, k};
    }
  }
}

void OrvaneSimpleTopos::clearTopo(char flags) {
  if (!(flags & kBuildBit)) return;
  m_edges.clear();
  m_corners.clear();
  m_verts.clear();
}

bool OrvaneSimpleTopos::is_empty(const Topos& topos) const {
  switch (topos) {
    case TOPOS_EDGE: return m_edges.empty();
    case TOPOS_CORNER: return m_corners.empty();
    default: return true;
  }
}

std::vector<std::int32_t> OrvaneSimpleTopos::find_all_tids(const BaseTriMesh& mesh, std::int32_t f,
                                                           std::int32_t k) const {
  std::vector<std::int32_t> result;
  const int fn = static_cast<int>(m_edges.size());
  if (mesh.get_fn() != fn || f < 0 || f >= fn || k < 0 || k > 2) return result;
  result.push_back(f);
  std::int32_t g = m_edges[f][k], j = m_edges[f][k + 3];
  // A cycle visits each face at most three times; the bound only guards
  // against tables that no longer fit the mesh.
  for (std::size_t steps = 0; g >= 0 && g != f && steps < 3 * m_edges.size(); ++steps) {
    if (!mesh.get_fDeleted(g)) result.push_back(g);
    const std::int32_t ng = m_edges[g][j], nj = m_edges[g][j + 3];
    g = ng;
    j = nj;
  }
  return result;
}

std::vector<PeltoVertSkeleton::V2F> OrvaneSimpleTopos::find_all_tids(const BaseTriMesh& mesh,
                                                                     std::int32_t v) const {
  std::vector<PeltoVertSkeleton::V2F> result;
  if (mesh.get_vn() != static_cast<int>(m_verts.size()) ||
      mesh.get_fn() != static_cast<int>(m_corners.size()) || v < 0 || v >= mesh.get_vn())
    return result;
  PeltoVertSkeleton::V2F c = m_verts[v];
  while (c.face >= 0 && result.size() < 3 * m_corners.size()) {
    result.push_back(c);
    c = {m_corners[c.face][c.corner], m_corners[c.face][c.corner + 3]};
  }
  return result;
}

}  // namespace TavoAlgorithm

#include "IndexedHoles.h"

#include <algorithm>
#include <numeric>

namespace TavoAlgorithm {

namespace {

bool tables_fit(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo) {
  const std::size_t fn = static_cast<std::size_t>(mesh.get_fn());
  return !topo.is_empty(TOPOS_EDGE) && topo.edge_table().size() == fn && topo.corner_table().size() == fn &&
         topo.vertex_table().size() == static_cast<std::size_t>(mesh.get_vn());
}

struct EdgeRef {
  std::int32_t face = -1;
  std::int32_t edge = -1;
  bool valid() const { return face >= 0; }
  bool operator==(const EdgeRef& o) const { return face == o.face && edge == o.edge; }
};

// Walks the border loops. Edge k of a face runs from its vertex k to vertex
// k + 1; a border edge is walked the other way round, as the half-edge mesh's
// boundary runs.
class BorderWalker {
 public:
  BorderWalker(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo)
      : m_mesh(mesh), m_topo(topo), m_visited(3 * static_cast<std::size_t>(mesh.get_fn()), 0) {}

  void walk_all(std::vector<std::vector<std::int32_t>>& verts, std::vector<std::vector<std::int32_t>>& faces) {
    for (std::int32_t f = 0; f < m_mesh.get_fn(); ++f)
      for (std::int32_t k = 0; k < 3; ++k) {
        const EdgeRef start{f, k};
        if (visited(start) || !border(start)) continue;
        verts.emplace_back();
        faces.emplace_back();
        walk(start, verts.back(), faces.back());
      }
  }

 private:
  bool live(std::int32_t f) const { return !m_mesh.get_fDeleted(f) && m_topo.edge_table()[f][0] >= 0; }
  std::size_t face_count(const EdgeRef& e) const {
    return live(e.face) ? m_topo.find_all_tids(m_mesh, e.face, e.edge).size() : 0;
  }
  bool border(const EdgeRef& e) const { return face_count(e) == 1; }
  bool visited(const EdgeRef& e) const { return m_visited[3 * static_cast<std::size_t>(e.face) + e.edge] != 0; }
  std::int32_t vert(std::int32_t f, std::int32_t k) const { return m_mesh.get_face(f)[k % 3]; }
  std::int32_t other_end(const EdgeRef& e, std::int32_t v) const {
    const std::int32_t a = vert(e.face, e.edge), b = vert(e.face, e.edge + 1);
    return a == v ? b : a;
  }
  // The edge of face f at vertex a whose other end is not `avoid` (the far
  // end of the edge by which the walk entered f).
  EdgeRef edge_at(std::int32_t f, std::int32_t a, std::int32_t avoid) const {
    for (std::int32_t k = 0; k < 3; ++k) {
      const std::int32_t p = vert(f, k), q = vert(f, k + 1);
      if ((p == a && q != avoid && q != a) || (q == a && p != avoid && p != a)) return {f, k};
    }
    return {};
  }
  EdgeRef edge_between(std::int32_t f, std::int32_t a, std::int32_t b) const {
    for (std::int32_t k = 0; k < 3; ++k) {
      const std::int32_t p = vert(f, k), q = vert(f, k + 1);
      if ((p == a && q == b) || (p == b && q == a)) return {f, k};
    }
    return {};
  }

  // Next border edge at vertex a after arriving along `in`: turn through the
  // fan of faces across two-face edges until a border edge comes up.
  EdgeRef next_at(std::int32_t a, const EdgeRef& in, const EdgeRef& start) const {
    const std::size_t fan = m_topo.find_all_tids(m_mesh, a).size();
    EdgeRef cur = in;
    std::int32_t far = other_end(in, a);
    for (std::size_t step = 0; step <= fan; ++step) {
      const EdgeRef e = edge_at(cur.face, a, far);
      if (!e.valid()) break;
      const std::size_t n = face_count(e);
      if (n == 1) return e;
      if (n != 2) break;  // a non-manifold edge: the fan has no single way on
      const auto tids = m_topo.find_all_tids(m_mesh, e.face, e.edge);
      const std::int32_t g = tids[0] == e.face ? tids[1] : tids[0];
      far = other_end(e, a);
      cur = edge_between(g, a, far);
      if (!cur.valid()) break;
    }
    // Fall back on any border edge at a that is still free.
    for (const auto& c : m_topo.find_all_tids(m_mesh, a))
      for (std::int32_t k : {c.corner, (c.corner + 2) % 3}) {
        const EdgeRef e{c.face, k};
        if (!(e == in) && (e == start || !visited(e)) && border(e)) return e;
      }
    return {};
  }

  void walk(const EdgeRef& start, std::vector<std::int32_t>& verts, std::vector<std::int32_t>& faces) {
    EdgeRef cur = start;
    std::int32_t from = vert(start.face, start.edge + 1);
    for (;;) {
      m_visited[3 * static_cast<std::size_t>(cur.face) + cur.edge] = 1;
      verts.push_back(from);
      faces.push_back(cur.face);
      const std::int32_t to = other_end(cur, from);
      const EdgeRef next = next_at(to, cur, start);
      if (!next.valid() || next == start || visited(next)) return;
      cur = next;
      from = to;
    }
  }

  const BaseTriMesh& m_mesh;
  const OrvaneSimpleTopos& m_topo;
  std::vector<char> m_visited;
};

class DisjointSets {
 public:
  explicit DisjointSets(std::size_t n) : m_parent(n) { std::iota(m_parent.begin(), m_parent.end(), 0); }
  std::int32_t find(std::int32_t x) {
    while (m_parent[x] != x) x = m_parent[x] = m_parent[m_parent[x]];
    return x;
  }
  void unite(std::int32_t a, std::int32_t b) {
    a = find(a);
    b = find(b);
    if (a != b) m_parent[std::max(a, b)] = std::min(a, b);
  }

 private:
  std::vector<std::int32_t> m_parent;
};

void sort_unique(std::vector<std::int32_t>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

}  // namespace

void find_holes(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo,
                std::vector<std::vector<std::int32_t>>& holeVerts,
                std::vector<std::vector<std::int32_t>>& holeFaces) {
  holeVerts.clear();
  holeFaces.clear();
  if (!tables_fit(mesh, topo)) return;
  BorderWalker(mesh, topo).walk_all(holeVerts, holeFaces);
}

RetVal get_all_union_hole_faces(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo,
                                std::vector<UnionHoleFaces>& records) {
  records.clear();
  if (!tables_fit(mesh, topo) || !mesh.has_fFlag()) return RETVAL_FAILED;
  std::vector<std::vector<std::int32_t>> loops, loopFaces;
  find_holes(mesh, topo, loops, loopFaces);
  const std::int32_t hn = static_cast<std::int32_t>(loops.size());
  std::vector<std::int32_t> owner(static_cast<std::size_t>(mesh.get_vn()), -1);
  DisjointSets groups(loops.size());
  for (std::int32_t h = 0; h < hn; ++h)
    for (std::int32_t v : loops[h]) {
      if (owner[v] >= 0) groups.unite(owner[v], h);
      owner[v] = h;
    }
  auto live = [&](std::int32_t f) { return !mesh.get_fDeleted(f) && topo.edge_table()[f][0] >= 0; };
  for (std::int32_t f = 0; f < mesh.get_fn(); ++f) {
    if (!live(f)) continue;
    std::int32_t first = -1;
    for (int k = 0; k < 3; ++k) {
      const std::int32_t h = owner[mesh.get_face(f)[k]];
      if (h < 0) continue;
      if (first < 0) first = h;
      else groups.unite(first, h);
    }
  }
  std::vector<std::int32_t> recordOf(loops.size(), -1);
  for (std::int32_t h = 0; h < hn; ++h) {
    std::int32_t& r = recordOf[groups.find(h)];
    if (r < 0) {
      r = static_cast<std::int32_t>(records.size());
      records.emplace_back();
    }
    records[r].holes.push_back(h);
    records[r].verts.insert(records[r].verts.end(), loops[h].begin(), loops[h].end());
  }
  for (std::int32_t f = 0; f < mesh.get_fn(); ++f) {
    if (!live(f)) continue;
    for (int k = 0; k < 3; ++k) {
      const std::int32_t h = owner[mesh.get_face(f)[k]];
      if (h < 0) continue;
      records[recordOf[groups.find(h)]].faces.push_back(f);
      break;
    }
  }
  for (auto& r : records) {
    sort_unique(r.verts);
    sort_unique(r.faces);
  }
  return RETVAL_SUCCESS;
}

}  // namespace TavoAlgorithm

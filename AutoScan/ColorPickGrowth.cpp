// extend_color_pick: growth of the user's hole marks over the hole-closed
// model copy, so that a mark placed near a hole reaches the hole's border.
#include <algorithm>

#include "HoleDetection.h"

namespace TavoAlgorithm {

namespace {

// A mark spreads to the vertices within this distance of it, connected
// through vertices that are as close.
constexpr float kGrowDistance = 3.0f;
constexpr float kGrowDistance2 = kGrowDistance * kGrowDistance;

}  // namespace

bool extend_color_pick(const TriMesh& mesh, std::vector<std::int32_t>& first, std::vector<std::int32_t>& second) {
  const int vn = static_cast<int>(mesh.n_vertices());
  auto live = [&](std::int32_t v) { return v >= 0 && v < vn && !mesh.status(mesh.vertex_handle(v)).deleted(); };
  std::vector<char> strong(static_cast<std::size_t>(vn), 0), weak(static_cast<std::size_t>(vn), 0);
  std::vector<std::int32_t> seeds;
  for (std::int32_t v : first)
    if (live(v) && !strong[v]) {
      strong[v] = 1;
      seeds.push_back(v);
    }
  for (std::int32_t v : second)
    if (live(v)) weak[v] = 1;

  // Each seed floods its own neighbourhood; the stamp keeps one seed's flood
  // from visiting a vertex twice. Weak marks reached become seeds.
  std::vector<std::int32_t> stamp(static_cast<std::size_t>(vn), -1);
  std::vector<TriMesh::VertexHandle> queue;
  for (std::size_t s = 0; s < seeds.size(); ++s) {
    const auto seed = mesh.vertex_handle(seeds[s]);
    const auto origin = mesh.point(seed);
    const std::int32_t id = static_cast<std::int32_t>(s);
    queue.assign(1, seed);
    stamp[seed.idx()] = id;
    for (std::size_t head = 0; head < queue.size(); ++head)
      for (auto w : mesh.vv_range(queue[head])) {
        if (stamp[w.idx()] == id || mesh.status(w).deleted()) continue;
        stamp[w.idx()] = id;
        if ((mesh.point(w) - origin).sqrnorm() > kGrowDistance2) continue;
        queue.push_back(w);
        if (strong[w.idx()]) continue;
        strong[w.idx()] = 1;
        if (weak[w.idx()]) seeds.push_back(w.idx());
      }
  }
  first.clear();
  for (std::int32_t v = 0; v < vn; ++v)
    if (strong[v]) first.push_back(v);
  return true;
}

}  // namespace TavoAlgorithm

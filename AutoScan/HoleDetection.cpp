#include "HoleDetection.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>

#include "AutoScan/HoleBoxes.h"
#include "common/console.h"
#include "common/kd_points.h"
#include "meshproc/HoleFinding.h"

namespace TavoAlgorithm {

namespace {

using hole_boxes::loop_box;
using hole_boxes::position;
// Second-mark holes join a first-mark hole whose centre is this close.
constexpr float kPairRadius = 6.0f;
constexpr std::size_t kPairMaxNeighbours = 10;
// The copy that the marks grow over has its holes up to this size closed.
constexpr std::size_t kFanFillMaxEdges = 1000;

bool contains(const BoundingBox& b, const Eigen::Vector3f& p) {
  return b.minX <= p.x() && p.x() <= b.maxX && b.minY <= p.y() && p.y() <= b.maxY && b.minZ <= p.z() &&
         p.z() <= b.maxZ;
}

Eigen::Vector3f centre(const BoundingBox& b) { return 0.5f * (b.min_corner() + b.max_corner()); }

// Box centres as a nanoflann point set.
using CentreCloud = KdPoints;
using CentreTree = KdPointTree;

// Closes a loop by the fan (a0, ak, ak+1); a loop through one vertex twice, or
// one whose fan would double an edge the mesh has, stays open.
void fan_fill(TriMesh& mesh, const VertexLoop& loop) {
  const std::size_t n = loop.size();
  VertexLoop sorted = loop;
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return;
  for (std::size_t k = 2; k + 1 < n; ++k)
    if (mesh.find_halfedge(loop[0], loop[k]).is_valid()) return;
  for (std::size_t k = 1; k + 1 < n; ++k) mesh.add_face(loop[0], loop[k], loop[k + 1]);
}

}  // namespace

bool find_mesh_hole_by_pts(const TriMesh& mesh, const std::vector<Eigen::Vector3f>& points,
                           std::vector<BoundingBox>& holeBoxes, float& cutHeight) {
  std::vector<Eigen::Vector3f> byX;
  byX.reserve(points.size());
  for (const auto& p : points)
    if (p.allFinite()) byX.push_back(p);
  if (byX.empty()) return true;
  std::vector<VertexLoop> holes;
  find_holes(mesh, holes);
  const int hn = static_cast<int>(holes.size());
  if (hn == 0) return true;
  std::sort(byX.begin(), byX.end(), [](const Eigen::Vector3f& a, const Eigen::Vector3f& b) { return a.x() < b.x(); });
  const auto xLess = [](const Eigen::Vector3f& p, float x) { return p.x() < x; };
  const auto lessX = [](float x, const Eigen::Vector3f& p) { return x < p.x(); };

  // One byte per hole: the workers write their own holes' entries only.
  std::vector<BoundingBox> boxes(static_cast<std::size_t>(hn));
  std::vector<char> selected(static_cast<std::size_t>(hn), 0);
#pragma omp parallel for schedule(dynamic)
  for (int h = 0; h < hn; ++h) {
    const BoundingBox box = loop_box(mesh, holes[h]);
    boxes[h] = box;
    if (box.maxX < byX.front().x() || box.minX > byX.back().x()) continue;
    const auto first = std::lower_bound(byX.begin(), byX.end(), box.minX, xLess);
    const auto last = std::upper_bound(first, byX.end(), box.maxX, lessX);
    selected[h] = std::any_of(first, last, [&](const Eigen::Vector3f& p) { return contains(box, p); });
  }

  const float reference = hole_boxes::lowest_bottom(boxes);
  float lowest = cutHeight;
#pragma omp parallel for schedule(dynamic) reduction(min : lowest)
  for (int h = 0; h < hn; ++h) {
    if (!selected[h]) continue;
    if (!hole_boxes::worth_scanning(mesh, holes[h], reference)) {
      selected[h] = 0;
      continue;
    }
    lowest = std::min(lowest, boxes[h].minZ - hole_boxes::kCutBelowHole);
  }
  cutHeight = std::min(cutHeight, lowest);
  for (int h = 0; h < hn; ++h)
    if (selected[h]) holeBoxes.push_back(boxes[h]);
  return true;
}

bool find_mesh_hole_by_pts(const TriMesh& mesh, const std::vector<Eigen::Vector3f>& firstPoints,
                           const std::vector<Eigen::Vector3f>& secondPoints,
                           std::vector<BoundingBox>& holeBoxes, float& cutHeight) {
  std::vector<BoundingBox> a, b;
  find_mesh_hole_by_pts(mesh, firstPoints, a, cutHeight);
  find_mesh_hole_by_pts(mesh, secondPoints, b, cutHeight);
  holeBoxes = a;
  if (a.empty() || b.empty()) return true;
  CentreCloud cloud;
  for (const auto& box : b) cloud.pts.push_back(centre(box));
  CentreTree tree(3, cloud);
  tree.buildIndex();
  const std::size_t k = std::min(kPairMaxNeighbours, cloud.pts.size());
  std::vector<std::uint32_t> ids(k), found;
  std::vector<float> dist2(k);
  for (const auto& box : a) {
    const Eigen::Vector3f c = centre(box);
    const std::size_t n = tree.knnSearch(c.data(), k, ids.data(), dist2.data());
    for (std::size_t i = 0; i < n; ++i)
      if (dist2[i] <= kPairRadius * kPairRadius) found.push_back(ids[i]);
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  for (std::uint32_t i : found) holeBoxes.push_back(b[i]);
  return true;
}

bool auto_classfiy_holes_by_pt_flags(const TriMesh& mesh, const std::vector<std::int32_t>& flags,
                                     std::vector<BoundingBox>& holeBoxes, float& cutHeight) {
  const std::clock_t start = std::clock();
  std::vector<std::int32_t> first, second;
  for (std::size_t i = 0; i < flags.size(); ++i) {
    if (flags[i] >= 2) first.push_back(static_cast<std::int32_t>(i));
    else if (flags[i] == 1) second.push_back(static_cast<std::int32_t>(i));
  }
  if (first.empty()) return true;
  if (flags.size() != mesh.n_vertices()) return false;

  TriMesh closed = mesh;
  std::vector<VertexLoop> holes;
  find_holes(closed, holes);
  for (const auto& loop : holes)
    if (loop.size() <= kFanFillMaxEdges) fan_fill(closed, loop);
  console::elapsed_ms(console::label::kFixHoles, start);

  extend_color_pick(closed, first, second);
  console::elapsed_ms(console::label::kExtendHoles, start);

  std::vector<Eigen::Vector3f> points;
  points.reserve(first.size());
  for (std::int32_t v : first) points.push_back(position(closed, closed.vertex_handle(v)));
  find_mesh_hole_by_pts(mesh, points, holeBoxes, cutHeight);
  console::elapsed_ms(console::label::kAutoFindHoles, start);
  return true;
}

bool auto_classfiy_holes_by_pt_flags_die(const TriMesh&, const std::vector<std::int32_t>&,
                                         std::vector<BoundingBox>&, float&) {
  return true;
}

void find_hole_vertexs_by_value_boxs(const TriMesh& mesh, const std::vector<BoundingBox>& boxes,
                                     std::int32_t rings, std::vector<bool>& marks) {
  marks.assign(mesh.n_vertices(), false);
  std::vector<VertexLoop> holes;
  find_holes(mesh, holes);
  // Breadth first from every hole vertex in a box at once, ring by ring.
  std::vector<TriMesh::VertexHandle> ring;
  for (const auto& loop : holes)
    for (auto v : loop) {
      const Eigen::Vector3f p = position(mesh, v);
      if (marks[v.idx()] || !std::any_of(boxes.begin(), boxes.end(), [&](const BoundingBox& b) { return contains(b, p); }))
        continue;
      marks[v.idx()] = true;
      ring.push_back(v);
    }
  for (std::int32_t r = 0; r < rings && !ring.empty(); ++r) {
    std::vector<TriMesh::VertexHandle> next;
    for (auto v : ring)
      for (auto w : mesh.vv_range(v))
        if (!marks[w.idx()] && !mesh.status(w).deleted()) {
          marks[w.idx()] = true;
          next.push_back(w);
        }
    ring.swap(next);
  }
}

}  // namespace TavoAlgorithm

#pragma once
// The rules that decide which holes of a model still need scanning, shared by
// the hole finding from marked points and by the planners' iteration boxes.
// A hole is a boundary loop of the half-edge mesh (find_holes); its box is the
// box of its loop vertices. Positions in mm, z up. Read-only; thread-safe.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "geometry/BoundingBox.h"
#include "meshproc/HoleFinding.h"

namespace TavoAlgorithm::hole_boxes {

// A hole whose vertices mostly lie this close in z to the lowest hole bottom
// is the edge where the model was cut, not a hole to scan.
inline constexpr float kCutEdgeBand = 1.0f;
// Larger loops are the model's open border rather than holes.
inline constexpr std::size_t kMaxScanHoleVertices = 2000;
// The cut (clip) height goes this far below a hole to scan.
inline constexpr float kCutBelowHole = 2.0f;

inline Eigen::Vector3f position(const TriMesh& mesh, TriMesh::VertexHandle v) {
  const auto& p = mesh.point(v);
  return {p[0], p[1], p[2]};
}

inline BoundingBox loop_box(const TriMesh& mesh, const VertexLoop& loop) {
  BoundingBox box;
  for (auto v : loop) box.extend(position(mesh, v));
  return box;
}

// The lowest min z over the boxes (+inf for none): the reference of the
// cut-edge test.
inline float lowest_bottom(const std::vector<BoundingBox>& boxes) {
  float bottom = std::numeric_limits<float>::infinity();
  for (const auto& b : boxes) bottom = std::min(bottom, b.minZ);
  return bottom;
}

// False for the cut edge (more than half of the loop within kCutEdgeBand of
// `bottom`) and for loops of more than kMaxScanHoleVertices vertices.
inline bool worth_scanning(const TriMesh& mesh, const VertexLoop& loop, float bottom) {
  if (loop.size() > kMaxScanHoleVertices) return false;
  const auto onEdge = std::count_if(loop.begin(), loop.end(), [&](TriMesh::VertexHandle v) {
    return std::abs(mesh.point(v)[2] - bottom) < kCutEdgeBand;
  });
  return 2 * static_cast<std::size_t>(onEdge) <= loop.size();
}

}  // namespace TavoAlgorithm::hole_boxes

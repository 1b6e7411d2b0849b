#pragma once
// The one marching-cubes cube builder of the TSDF extraction and the laser
// mesh: a cube's index from its eight corners, and its triangles from the
// case table, with each edge's vertex read through the corner that owns the
// edge (numbering in marching_cubes_table.h). The callers decide how a corner
// is read: which record it is, when it counts as inside, where its edge
// vertices are kept.
#include <Eigen/Core>
#include <cfloat>
#include <cmath>
#include <cstddef>

#include "common/marching_cubes_table.h"

namespace TavoAlgorithm::mc {

namespace detail {
constexpr int corner_at(const int (&o)[3]) {
  for (int k = 0; k < 8; ++k)
    if (kCornerOffset[k][0] == o[0] && kCornerOffset[k][1] == o[1] && kCornerOffset[k][2] == o[2]) return k;
  return -1;
}
}  // namespace detail

// The corner whose cell owns edge e (kEdgeOwner in corner numbers).
inline constexpr int kEdgeOwnerCorner[12] = {
    detail::corner_at(kEdgeOwner[0]), detail::corner_at(kEdgeOwner[1]),  detail::corner_at(kEdgeOwner[2]),
    detail::corner_at(kEdgeOwner[3]), detail::corner_at(kEdgeOwner[4]),  detail::corner_at(kEdgeOwner[5]),
    detail::corner_at(kEdgeOwner[6]), detail::corner_at(kEdgeOwner[7]),  detail::corner_at(kEdgeOwner[8]),
    detail::corner_at(kEdgeOwner[9]), detail::corner_at(kEdgeOwner[10]), detail::corner_at(kEdgeOwner[11])};
static_assert(kEdgeOwnerCorner[0] >= 0 && kEdgeOwnerCorner[1] >= 0 && kEdgeOwnerCorner[2] >= 0 &&
                  kEdgeOwnerCorner[3] >= 0 && kEdgeOwnerCorner[4] >= 0 && kEdgeOwnerCorner[5] >= 0 &&
                  kEdgeOwnerCorner[6] >= 0 && kEdgeOwnerCorner[7] >= 0 && kEdgeOwnerCorner[8] >= 0 &&
                  kEdgeOwnerCorner[9] >= 0 && kEdgeOwnerCorner[10] >= 0 && kEdgeOwnerCorner[11] >= 0,
              "every edge is owned by a corner of its cube");

// Cell of corner k of the cube whose lowest corner is cell b.
inline Eigen::Vector3i corner_cell(const Eigen::Vector3i& b, int k) {
  return b + Eigen::Vector3i(kCornerOffset[k][0], kCornerOffset[k][1], kCornerOffset[k][2]);
}

// Distances whose magnitudes sum below this give no position on their edge:
// both then count as 1 (the crossing sits at the middle).
inline constexpr float kFlatCrossing = FLT_EPSILON;

inline bool flat_crossing(float d0, float d1) { return std::fabs(d0) + std::fabs(d1) < kFlatCrossing; }

// Coordinate of the zero crossing on the edge from x0 (distance d0) to
// x0 + length (distance d1), the distances of opposite sign.
inline float edge_crossing(float x0, float length, float d0, float d1) {
  const float a0 = std::fabs(d0), a1 = std::fabs(d1);
  return (a1 * x0 + a0 * (x0 + length)) / (a0 + a1);
}

// Builds one cube. inside(k) tells whether corner k is inside;
// edgeVertex(k, axis) is the vertex on the edge that corner k's cell owns
// along axis (0 x, 1 y, 2 z), or -1 when there is none. For each triangle t
// of the cube's case, in table order, emit(t, ids, complete) receives the
// vertices in outward order (the reverse of the table's) and whether all
// three exist; ids are only meaningful when complete. Returns the number of
// triangles of the case (0 ... kMaxTrianglesPerCube).
template <typename Inside, typename EdgeVertex, typename Emit>
int build_cube(Inside&& inside, EdgeVertex&& edgeVertex, Emit&& emit) {
  int index = 0;
  for (int k = 0; k < 8; ++k)
    if (inside(k)) index |= 1 << k;
  const auto& row = triangle_table()[static_cast<std::size_t>(index)];
  int t = 0;
  for (; t < kMaxTrianglesPerCube && row[static_cast<std::size_t>(3 * t)] >= 0; ++t) {
    int ids[3] = {-1, -1, -1};
    bool complete = true;
    for (int j = 0; j < 3 && complete; ++j) {
      const int edge = row[static_cast<std::size_t>(3 * t + j)];
      ids[2 - j] = edgeVertex(kEdgeOwnerCorner[edge], kEdgeAxis[edge]);
      complete = ids[2 - j] >= 0;
    }
    emit(t, ids, complete);
  }
  return t;
}

}  // namespace TavoAlgorithm::mc

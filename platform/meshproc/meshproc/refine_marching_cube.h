#pragma once
// refine_marching_cube: clean-up of a raw marching-cubes extraction in place.
//
// Marching cubes puts a vertex very close to a grid corner whenever the field
// nearly vanishes there, which leaves edges of almost zero length and sliver
// triangles. Vertices joined by a live edge shorter than kRefineCollapseRatio
// x voxelSize are merged into one of them (the one with the least x, then y,
// then z, so the result does not depend on the vertex numbering; it stays an
// exact zero crossing of the field, so the surface never moves off it); the
// others are marked deleted, faces are re-pointed, and faces that become
// degenerate are marked deleted. A collapse that folds a face onto another
// with the opposite orientation deletes both (their edges would otherwise
// carry four faces); faces repeated with one orientation keep one copy.
// Nothing is removed from the arrays, so ids
// and the axis list stay valid. Deleted vertices and faces are left alone.
//
// axes: one edge axis (0, 1, 2) per vertex, left as it is.
// Returns RETVAL_FAILED without change when voxelSize is not positive and
// finite, axes does not have one entry per vertex or a face index is out of
// range; RETVAL_SUCCESS otherwise. Single-threaded.
#include <vector>

#include "RetVal.h"
#include "geometry/BaseTriMesh.h"

namespace TavoAlgorithm {

inline constexpr double kRefineCollapseRatio = 0.05;

RetVal refine_marching_cube(BaseTriMesh& mesh, double voxelSize, std::vector<int>& axes);

}  // namespace TavoAlgorithm

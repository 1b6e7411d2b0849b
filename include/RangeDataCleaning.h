#pragma once
// Marking of range-frame vertices the application should drop.
#include <Eigen/Core>
#include <vector>

#include "RetVal.h"
#include "TavoExport.h"
#include "geometry/BoundingBox.h"
#include "geometry/CameraInParam.h"
#include "geometry/RangeData.h"

namespace TavoAlgorithm {

// Marks (1) the vertices of `frame` that lie in one of `boxes` (world
// coordinates, bounds included) or whose image cell lies under one of
// `points` (world coordinates, projected into the frame's camera through the
// inverse of the frame's pose and `camera`, scaled by grid columns /
// imageSize width), the covered cells widened by `radius` cells around the
// ends of each horizontal run. `marks` gets one entry per vertex (0 or 1).
// Returns RETVAL_FAILED with `marks` untouched when one of the camera's four
// values is 0, or the image width is not positive; RETVAL_SUCCESS otherwise.
// Non-finite points are skipped. Runs OpenMP loops; thread-safe for distinct
// outputs.
TAVO_API RetVal clean_range_data(const std::vector<BoundingBox>& boxes, const std::vector<Eigen::Vector3f>& points,
                                 const RangeData& frame, const CameraInParam& camera, unsigned int radius,
                                 const Eigen::Vector2i& imageSize, std::vector<char>& marks);

// Fuses the frames (world pose: each frame's rigid matrix; normals: the
// frame's own, else estimated from its grid) into a normal-field volume of
// 0.5-unit voxels and flags, per frame, the border vertices (corner of fewer
// than four complete grid cells) that the fused surface does not support.
// Interior vertices are never flagged.
//
// Support of a vertex: how well the fused surface of the other points passes
// through it. Each cell's fused signed distance is taken without what the
// vertex itself added to it (a lone point always lies on its own surface),
// from the voxel g holding the vertex and the neighbour of g along each axis
// (forward, or backward from g + (1, 1, 1) when g has none), first-order in
// the vertex's offset from the cell centre; a cell counts when the other
// points leave it a weight above 0.1 (about one point within a cell of the
// cell's normal line). support = max(0, 1 - |s| / 1.25): 1 on the surface
// the others see, 0 two and a half voxels (1.25 units) or more off it. A
// vertex is bad when its support is below `threshold` (0.5: more than 0.625
// off), or when too little else reaches either cell.
// `flags` gets one sequence per frame (empty for a null frame), one entry per
// vertex. Empty input: `flags` emptied. Thread-safe for distinct outputs.
TAVO_API void check_bad_vert(const std::vector<const RangeData*>& frames, std::vector<std::vector<bool>>& flags,
                             float threshold);

}  // namespace TavoAlgorithm

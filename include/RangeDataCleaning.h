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
// (forward, or backward from g + (1, 1, 1) when g holds no payload),
// first-order in the vertex's offset from the cell centre; a cell counts
// when the other points leave it a weight above 0.1 (about one point within
// a cell of the cell's normal line). support = max(0, 1 - |s| / band).
// The band depends on whether the vertex continues its frame's surface (one
// of its eight grid neighbours within 1 unit, two cells): flying pixels at
// depth edges hang off their frame by a depth jump, while real borders are
// noisy and a millimetre off the other frames where registration and
// grazing views put them.
//   - continuing its frame: band 3 units (six voxels); where the others
//     leave too little in g, its frame's surface alone supports it (1);
//   - cut off from its frame: band 1.25 units (two and a half voxels);
//     where the others leave too little, support 0.
// A vertex is bad when its support is below `threshold` (at 0.5: more than
// 1.5 or 0.625 units off the others' surface), or when neither g nor
// g + (1, 1, 1) holds a payload.
// `flags` gets one sequence per frame (empty for a null frame), one entry per
// vertex. Empty input: `flags` emptied. Thread-safe for distinct outputs.
TAVO_API void check_bad_vert(const std::vector<const RangeData*>& frames, std::vector<std::vector<bool>>& flags,
                             float threshold);

}  // namespace TavoAlgorithm

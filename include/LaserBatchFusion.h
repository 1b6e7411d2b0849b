#pragma once
// Whole laser scans in one call: normals estimated for laser lines, and the
// scan fused on a grid placed at a box corner, returned as a mesh or a cloud.
//
// Frames: all_frame_clds[i][j] / frameLines[i][j] is line j of frame i, its
// points in the camera frame (x right, y down, +z viewing) in world units;
// pose i maps camera to world; there must be at least as many poses as
// frames. Lines without vertices are skipped.
//
// Threading: each call runs its own parallel loops; calls on different data
// may run side by side. The calls record their inputs when tracing is on.
// They never throw: bad input and memory exhaustion leave a console line.
#include <Eigen/Core>
#include <vector>

#include "RetVal.h"
#include "TavoExport.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/BoundingBox.h"
#include "geometry/Cloud.h"
#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm {

// Fuses the scan on a grid of cell pointDis whose corner is bbox's minimum:
// by tangents on a 2^13 grid with useTangent, otherwise by the lines' vertex
// normals on a 2^14 grid when pointDis < 0.1 and 2^13 otherwise. Only points
// from 3 cells above the corner to 3 cells below the grid's far end are fused
// (for 2^13: [min + 3 pointDis, min + 8189 pointDis) per axis). mesh and
// vertexIds (edge axis 0, 1, 2 per vertex) are replaced by the marching-cubes
// surface. A line without normals in normal mode is skipped with "frame not
// have vNormal". An empty frame list, a non-positive pointDis, a box without
// a finite minimum or fewer poses than frames leave mesh and vertexIds
// untouched (the last three with a console line).
TAVO_API void fusion_all_frame_laser(std::vector<std::vector<Cloud>>& all_frame_clds,
                                     const std::vector<RigidMatrix>& all_frame_rts, const BoundingBox& bbox,
                                     float pointDis, float minFusionRadius, bool useTangent, bool useDoubleVoxel,
                                     BaseTriMesh& mesh, std::vector<int>& vertexIds, unsigned int extendRadius);

// Tangent fusion on a 2^13 grid as above; cloud is replaced by one point with
// a unit normal per reliable cell (world coordinates), in no fixed order. Bad
// input as above leaves cloud untouched.
TAVO_API void fusion_all_frame_laser(std::vector<std::vector<Cloud>>& all_frame_clds,
                                     const std::vector<RigidMatrix>& all_frame_rts, const BoundingBox& bbox,
                                     float pointDis, float minFusionRadius, bool useDoubleVoxel, Cloud& cloud,
                                     unsigned int extendRadius);

// Estimates a unit normal for every laser point and sets bbox to the world
// bounding box of all finite points (its minimum replaced by `shift` when a
// component of shift exceeds 1e-5 in magnitude), ready for
// fusion_all_frame_laser with cell pointdis.
//
// The rule: every point gets the unit direction along its line (the mean of
// the directions to its neighbours; a gap over 1.5 pointdis ends a run) and
// falls into a cell of size pointdis. For each occupied cell, the points of
// the cell (weight 0.5) and of its 26 neighbours (weight 1, found by a k-d
// tree of the occupied cells) give the matrix
//   M = sum w (p - m)(p - m)^T / sum w + (pointdis^2 / 4) sum w d d^T / sum w
// with m their weighted mean and d their line directions; the normal is the
// eigenvector of M's smallest eigenvalue. It is accepted when the block holds
// at least 6 points and that eigenvalue is below 0.3 times the middle one
// (a surface, not a blob or a single thin line). Each point gets it turned
// to face its own frame's scanner: the stereo relation S = leftMat *
// rightMat^-1 (right camera to laser camera coordinates) places the second
// camera at S(0), and the normal faces the midpoint of the two cameras (a
// cell across a thin part holds points seen from both sides).
//
// Frames come back in camera coordinates with normals enabled: every point is
// restored bit for bit, its normal is the cell's normal in the camera frame,
// or (0, 0, 0) where the cell had no accepted estimate (normal fusion skips
// those). Returns 0; 2 (frames untouched, with a console line) when
// pointdis is not positive, there are fewer poses than frames, a pose is not
// finite, or there is no finite point (then bbox is left as it was);
// 4 when the cell store cannot grow.
TAVO_API RetVal get_laser_normal(std::vector<std::vector<Cloud>>& frameLines, const std::vector<RigidMatrix>& vecRT,
                                 float pointdis, const RigidMatrix& leftMat, const RigidMatrix& rightMat,
                                 BoundingBox& bbox, Eigen::Vector3f shift);

}  // namespace TavoAlgorithm

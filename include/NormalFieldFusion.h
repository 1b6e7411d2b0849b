#pragma once
// fusion_all_frame_normal_field: a whole set of frames with normals fused into
// one triangle mesh in a single call. The frames' normals are fused into a
// normal field on the voxels first; signed distances are then taken along the
// fused normals, and points whose normal deviates from the field count less.
//
// vecPtCloudSet: one cloud per frame in its own coordinates, with normals
//   (a cloud without normals adds nothing; points with bit 0 of their flag
//   set, a zero or NaN normal, or outside the grid are skipped).
// vecRT: frame to world poses, one per cloud. Sizes that differ: nothing is
//   fused and resultMesh and vecPointLineIndex are emptied.
// pointdis: voxel edge in world units (<= 0 or NaN: 0.5). The grid has 2^13
//   voxels per axis, centred on frame 0.
// resultMesh: the fused mesh, world units; vecPointLineIndex: one voxel-edge
//   axis (0, 1, 2) per vertex of it.
// variant false: normal field, deviation and distance passes (progress
//   spans 50, 10, 40; console lines "fusion normal...", "fusion normal cost: ",
//   "fusion normal normalize ...", "get veriance ...", "get veriance cost: ",
//   "fusion tsdf ...", "fusion tsdf cost: ").
// variant true: no distance pass and no console lines. The normal pass also
//   sums, per voxel, the offsets from the points to the voxel centre: those
//   of points whose normal line passes within 0.5 voxel ("near") and the
//   others in reach ("far"). After the deviation pass each voxel's distance
//   is the mean near offset projected on the fused normal, weighted by the
//   near weight; a voxel without near points takes the mean far offset at
//   half the far weight; voxels the frames disagree on get no distance.
//   Progress spans 70 and 20, then the extraction.
// useEMC false: plain marching cubes of the field, every face of the raw
//   extraction. useEMC true: the same extraction followed by the refinement
//   of FusionMeshHelper (short edges collapsed, slivers and repeated faces
//   marked deleted), then the mesh compacted, with vecPointLineIndex kept in
//   step: never a worse mesh, and no deleted elements left in it.
// progress: when non-empty, called with percentages that only ever rise and
//   end at 100 exactly once; it runs on worker threads and must be
//   thread-safe. Its return value is not read.
// The inputs are recorded by the trace facility as "fusion_all_frame_normal_field".
// Thread-safe for distinct outputs; runs its own parallel loops. Never throws
// except std::bad_alloc when the grid cannot grow.
#include <functional>
#include <vector>

#include "TavoExport.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/Cloud.h"
#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm {

TAVO_API void fusion_all_frame_normal_field(std::vector<Cloud>& vecPtCloudSet, const std::vector<RigidMatrix>& vecRT,
                                            const float& pointdis, BaseTriMesh& resultMesh,
                                            std::vector<int>& vecPointLineIndex, bool variant, bool useEMC,
                                            std::function<int(int)> progress);

}  // namespace TavoAlgorithm

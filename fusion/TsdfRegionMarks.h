#pragma once
// Region selection on a TSDF volume: voxels are marked (delete-mark bits), the
// frames' points inside marked voxels are reported, and the marks are cleared
// again. Voxel values, states and the mesh are never changed here; voxels are
// only looked up, never created. Each call runs its own parallel loop on the
// volume's worker count.
#include <Eigen/Core>
#include <vector>

#include "fusion/TsdfVolume.h"
#include "geometry/RangeData.h"

namespace TavoAlgorithm {

// Sets TSDF_MARK_REGION on the existing voxels of the (2 radius + 1)^3 cells
// around each point's cell (world points, not transformed). Cells within the
// border band are never marked; radius < 0, and points that are not finite
// or lie outside the grid, mark nothing. Any radius is accepted: the work
// per point is bounded by the smaller of its box and the voxels in use.
void mark_region_voxels(TsdfVolume& volume, const std::vector<Eigen::Vector3f>& points, int radius);

// marks := one entry per point of the frame, 1 where the point (moved by the
// frame's own pose) lies in a voxel carrying TSDF_MARK_REGION. Points deleted
// in the frame are skipped (left 0).
void find_points_in_marked_voxels(const TsdfVolume& volume, const RangeData& frame, std::vector<char>& marks);

// Clears delete-mark bit (kind - 1) of every voxel; kinds outside 1...4 do
// nothing.
void clear_voxel_delete_marks(TsdfVolume& volume, int kind);

}  // namespace TavoAlgorithm

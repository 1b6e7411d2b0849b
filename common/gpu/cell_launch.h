#pragma once
// The two back ends of a cell type: each runs cell(x, y, z) over the cell's
// extent and returns when every cell is done.
#include "common/gpu/pixel_cells.h"
#include "common/gpu/voxel_cells.h"

namespace TavoGPUAlgorithm {

#define TAVO_FOR_EACH_CELL_TYPE(X) \
  X(VoxelCountCell)                \
  X(UnslottedCountCell)            \
  X(VoxelIndexCell)                \
  X(VoxelDampCell)                 \
  X(BlockBoxOpenCell)              \
  X(PixelScoreCell)                \
  X(OverlapPointCell)              \
  X(ColorPixelCountCell)           \
  X(ScanFidsCell)                  \
  X(SampleTestCell)

namespace cpu_backend {
#define TAVO_DECLARE_RUN(T) void run(const T& cell);
TAVO_FOR_EACH_CELL_TYPE(TAVO_DECLARE_RUN)
}  // namespace cpu_backend

namespace cuda_backend {
// True when the build has the CUDA back end and a device answers.
bool device_usable();
TAVO_FOR_EACH_CELL_TYPE(TAVO_DECLARE_RUN)
#undef TAVO_DECLARE_RUN
}  // namespace cuda_backend

}  // namespace TavoGPUAlgorithm

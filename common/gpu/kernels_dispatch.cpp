// The one place that picks the back end of a kernel launch.
#include "common/gpu/TavoGPUAlgorithm.h"

#include "common/gpu/cell_launch.h"
#include "common/gpu/device_memory.h"

namespace TavoGPUAlgorithm {
namespace {

template <class Cell>
void dispatch(const Cell& cell) {
#if defined(TAVO_WITH_CUDA)
  if (active_backend() == Backend::Cuda) {
    cuda_backend::run(cell);
    return;
  }
#endif
  cpu_backend::run(cell);
}

}  // namespace

void get_float_voxel_size_cuda(const int* mask, int* counter, Dim3i dims) {
  dispatch(VoxelCountCell{mask, counter, dims});
}

void get_unslotted_count_cuda(const int* table, const int* mask, Dim3i dims, int* counter) {
  dispatch(UnslottedCountCell{table, mask, dims, counter});
}

void set_voxel_index_cuda(int* table, const int* mask, Dim3i dims, int* counter) {
  dispatch(VoxelIndexCell{table, mask, dims, counter});
}

void update_voxel_value_by_bool_cuda(const int* table, const int* mask, float* values,
                                     Dim3i blockDims, Dim3i voxelDims) {
  dispatch(VoxelDampCell{table, mask, values, blockDims, voxelDims});
}

void set_fourLeaf_by_box_cuda(int* table, Dim3i origin, Dim3i box, Dim3i tableDims) {
  dispatch(BlockBoxOpenCell{table, origin, box, tableDims});
}

void get_pixel_evaluates_cuda(const std::uint8_t* faceIds, const std::uint8_t* weights, int width,
                              int height, const float* vertices, const int* faces, int faceCount,
                              const float* /*unusedMatrix*/, const float* origin, const int* dims,
                              const float* /*unusedTriples*/, const float* values, int* visitMask,
                              const int* table, int* newBlockMask, float edge, int blockCount,
                              float* score) {
  dispatch(PixelScoreCell{faceIds, weights, width, height, vertices, faces, faceCount, origin, dims, values,
                          visitMask, table, newBlockMask, edge, blockCount, score});
}

void get_pixel_evaluates_cuda_simple(const std::uint8_t* faceIds, const std::uint8_t* weights,
                                     int width, int height, const float* vertices, const int* faces,
                                     int faceCount, const float* origin, const int* dims, const float* values,
                                     const int* table, int* newBlockMask, float edge,
                                     int blockCount, float* score) {
  dispatch(PixelScoreCell{faceIds, weights, width, height, vertices, faces, faceCount, origin, dims, values,
                          nullptr, table, newBlockMask, edge, blockCount, score});
}

void remove_overlap_cuda(const float* points, const float* viewProj, char* flags,
                         const std::uint8_t* depth, int n, Dim2i size, int side) {
  dispatch(OverlapPointCell{points, viewProj, flags, depth, n, size, side});
}

void get_color_pixel_num_cuda(const std::uint8_t* image, Dim2i size, int* counter) {
  dispatch(ColorPixelCountCell{image, size, counter});
}

void get_scan_fids_cuda(const std::uint8_t* faceIds, Dim2i size, char* faceFlags, int faceCount) {
  dispatch(ScanFidsCell{faceIds, size, faceFlags, faceCount});
}

void sampleTest_Gpu(int* counter) { dispatch(SampleTestCell{counter}); }

}  // namespace TavoGPUAlgorithm

#pragma once
// The voxel block and image kernels. Every pointer is back-end memory
// (DeviceBuffer, device_memory.h): CUDA device memory when a CUDA device is
// usable, host memory otherwise. Each call runs one launch and returns when it
// has finished; errors are left for TAVO_CHECK_GPU. Accumulations (counters,
// masks, the score) are atomic, so callers zero them first.
//
// Layouts: cell (x, y, z) of a grid (X, Y, Z) has index (z*Y + y)*X + x; a
// mask holds cell L in bit L % 32 of word L / 32. Block tables: -2 excluded,
// -1 without storage, s >= 0 slot s of 64 floats, voxel at s*64 + local
// offset (x%4) + 4*(y%4) + 16*(z%4).
#include <cstdint>

#include "common/gpu/gpu_types.h"

namespace TavoGPUAlgorithm {

// counter += number of set mask bits of the cells inside dims.
void get_float_voxel_size_cuda(const int* mask, int* counter, Dim3i dims);

// counter += number of masked cells whose table entry is negative: the cells
// that set_voxel_index_cuda gives a slot.
void get_unslotted_count_cuda(const int* table, const int* mask, Dim3i dims, int* counter);

// Every masked cell whose table entry is negative gets slot (*counter)+1 and
// increments the counter; entries >= 0 stay. Set *counter to slots-1 first.
void set_voxel_index_cuda(int* table, const int* mask, Dim3i dims, int* counter);

// value *= 0.04 (in double) for every masked voxel whose block has a slot.
void update_voxel_value_by_bool_cuda(const int* table, const int* mask, float* values,
                                     Dim3i blockDims, Dim3i voxelDims);

// Entries of the block box [origin, origin + box) become -1; cells of the box
// that fall outside the table are dropped.
void set_fourLeaf_by_box_cuda(int* table, Dim3i origin, Dim3i box, Dim3i tableDims);

// View score of a face-id image (RGBA8, width*height) and its weight mask:
// for each pixel of a face, the value of the voxel at the face centroid
// (1 for a block without storage, which is then marked in newBlockMask),
// times 1.0 where the weight mask is set and 0.1 elsewhere, is added to
// *score; the voxel is marked in visitMask. Faces are faceCount int triples
// into float xyz vertices; pixels naming a face past faceCount (an image of
// an older mesh), outside the grid or on an excluded block add nothing.
// unusedMatrix and unusedTriples are not read.
void get_pixel_evaluates_cuda(const std::uint8_t* faceIds, const std::uint8_t* weights, int width,
                              int height, const float* vertices, const int* faces, int faceCount,
                              const float* unusedMatrix, const float* origin, const int* dims,
                              const float* unusedTriples, const float* values, int* visitMask,
                              const int* table, int* newBlockMask, float edge, int blockCount,
                              float* score);

// The same score without a visit mask.
void get_pixel_evaluates_cuda_simple(const std::uint8_t* faceIds, const std::uint8_t* weights,
                                     int width, int height, const float* vertices, const int* faces,
                                     int faceCount, const float* origin, const int* dims, const float* values,
                                     const int* table, int* newBlockMask, float edge,
                                     int blockCount, float* score);

// flags[i] := 1 for each of the n points (xyz) whose 8-bit window depth under
// the column-major viewProj is smaller than the depth image at its pixel.
// side must satisfy side^3 >= n (trunc(cbrt(n) + 1)).
void remove_overlap_cuda(const float* points, const float* viewProj, char* flags,
                         const std::uint8_t* depth, int n, Dim2i size, int side);

// counter += number of non-zero bytes of a one-channel image.
void get_color_pixel_num_cuda(const std::uint8_t* image, Dim2i size, int* counter);

// faceFlags[id-1] := 1 for every pixel with 1 <= id <= faceCount.
void get_scan_fids_cuda(const std::uint8_t* faceIds, Dim2i size, char* faceFlags, int faceCount);

// counter += 4096 (4 x 4 blocks of 16 x 16 threads).
void sampleTest_Gpu(int* counter);

}  // namespace TavoGPUAlgorithm

#pragma once
// Plain types and helpers shared by the CPU and CUDA builds of the kernels.
// TAVO_HD marks a function that both back ends compile, so the per-cell
// arithmetic is one body.
#include <cstdint>

#if defined(__CUDACC__)
#define TAVO_HD __host__ __device__
#else
#define TAVO_HD
#endif

namespace TavoGPUAlgorithm {

struct Dim3i {
  int x = 0, y = 0, z = 0;
};

struct Dim2i {
  int x = 0, y = 0;
};

// Four-leaf blocks: cubes of 4 x 4 x 4 voxels, 64 values per storage slot.
inline constexpr int kBlockEdge = 4;
inline constexpr int kVoxelsPerBlock = 64;
// Table entries below a real slot.
inline constexpr int kBlockWithoutStorage = -1;
inline constexpr int kBlockExcluded = -2;
// Factor applied to a voxel each time an accepted view sees it.
inline constexpr double kSeenDamping = 0.04;

TAVO_HD inline int linear_index(Dim3i d, int x, int y, int z) { return (z * d.y + y) * d.x + x; }

TAVO_HD inline bool inside(Dim3i d, int x, int y, int z) {
  return x >= 0 && y >= 0 && z >= 0 && x < d.x && y < d.y && z < d.z;
}

// Block grid of a voxel grid: trunc(n * 0.25 + 1) per axis.
TAVO_HD inline Dim3i block_dims_of(Dim3i voxels) {
  return {static_cast<int>(voxels.x * 0.25 + 1.0), static_cast<int>(voxels.y * 0.25 + 1.0),
          static_cast<int>(voxels.z * 0.25 + 1.0)};
}

// Words of a one-bit-per-cell mask: cells div 32 + 1.
TAVO_HD inline int mask_words(long long cells) { return static_cast<int>(cells / 32 + 1); }

TAVO_HD inline bool mask_bit(const int* mask, int cell) {
  const unsigned word = static_cast<unsigned>(mask[cell / 32]);
  return ((word >> (cell % 32)) & 1u) != 0;
}

TAVO_HD inline int mask_bit_value(int cell) { return static_cast<int>(1u << (cell % 32)); }

TAVO_HD inline int local_offset(int x, int y, int z) {
  return (x % kBlockEdge) + kBlockEdge * (y % kBlockEdge) + kBlockEdge * kBlockEdge * (z % kBlockEdge);
}

}  // namespace TavoGPUAlgorithm

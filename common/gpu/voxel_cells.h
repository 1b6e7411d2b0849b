#pragma once
// Per-cell bodies of the voxel block kernels. Each cell type holds its
// arguments, names its index space (extent) and handles one cell; the CPU and
// CUDA back ends only differ in how they walk the index space.
#include "common/gpu/gpu_atomics.h"

namespace TavoGPUAlgorithm {

// Counts the set cells of a mask.
struct VoxelCountCell {
  const int* mask;
  int* counter;
  Dim3i dims;
  TAVO_HD Dim3i extent() const { return dims; }
  TAVO_HD void operator()(int x, int y, int z) const {
    if (!inside(dims, x, y, z)) return;
    if (mask_bit(mask, linear_index(dims, x, y, z))) atomic_add(counter, 1);
  }
};

// A masked cell without storage: the cells that VoxelIndexCell numbers and
// UnslottedCountCell counts ahead of it.
TAVO_HD inline bool wants_slot(const int* table, const int* mask, int cell) {
  return mask_bit(mask, cell) && table[cell] < 0;
}

// Counts the masked cells without storage.
struct UnslottedCountCell {
  const int* table;
  const int* mask;
  Dim3i dims;
  int* counter;
  TAVO_HD Dim3i extent() const { return dims; }
  TAVO_HD void operator()(int x, int y, int z) const {
    if (inside(dims, x, y, z) && wants_slot(table, mask, linear_index(dims, x, y, z))) atomic_add(counter, 1);
  }
};

// Gives every masked cell without storage the next slot number.
struct VoxelIndexCell {
  int* table;
  const int* mask;
  Dim3i dims;
  int* counter;
  TAVO_HD Dim3i extent() const { return dims; }
  TAVO_HD void operator()(int x, int y, int z) const {
    if (!inside(dims, x, y, z)) return;
    const int cell = linear_index(dims, x, y, z);
    if (wants_slot(table, mask, cell)) table[cell] = atomic_add(counter, 1) + 1;
  }
};

// Damps every masked voxel that has storage.
struct VoxelDampCell {
  const int* table;
  const int* mask;
  float* values;
  Dim3i blockDims;
  Dim3i voxelDims;
  TAVO_HD Dim3i extent() const { return voxelDims; }
  TAVO_HD void operator()(int x, int y, int z) const {
    if (!inside(voxelDims, x, y, z)) return;
    if (!mask_bit(mask, linear_index(voxelDims, x, y, z))) return;
    const int slot =
        table[linear_index(blockDims, x / kBlockEdge, y / kBlockEdge, z / kBlockEdge)];
    if (slot < 0) return;
    float& v = values[slot * kVoxelsPerBlock + local_offset(x, y, z)];
    v = static_cast<float>(static_cast<double>(v) * kSeenDamping);
  }
};

// Marks a box of blocks as counting again (without storage).
struct BlockBoxOpenCell {
  int* table;
  Dim3i origin;
  Dim3i box;
  Dim3i tableDims;
  TAVO_HD Dim3i extent() const { return box; }
  TAVO_HD void operator()(int x, int y, int z) const {
    if (!inside(box, x, y, z)) return;
    const int tx = x + origin.x, ty = y + origin.y, tz = z + origin.z;
    // The caller keeps the box inside the table; a cell outside would write
    // into a neighbouring row or past the end, so it is dropped.
    if (!inside(tableDims, tx, ty, tz)) return;
    table[linear_index(tableDims, tx, ty, tz)] = kBlockWithoutStorage;
  }
};

}  // namespace TavoGPUAlgorithm

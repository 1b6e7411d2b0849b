#pragma once
// Coverage volume of the view planner: a dense voxel grid (X, Y, Z) stored
// sparsely in 4 x 4 x 4 blocks on the kernel back end (device_memory.h). A
// voxel's value starts at 1.0 when its block gets storage and is multiplied by
// 0.04 each time an accepted view sees it. The volume knows integer dims only;
// origin and voxel edge belong to the owner.
//
// Every operation first checks that its buffers exist and otherwise writes the
// located error "TavoVoxelGpu is not init !!!!!!!!!!!!!!!!" and does nothing;
// after its device work it writes the GPU error line when the back end
// reports one. Not thread-safe: one owner thread, each call synchronous.
#include <string>
#include <vector>

#include "common/console.h"
#include "common/gpu/device_memory.h"
#include "common/gpu/gpu_types.h"

namespace TavoAlgorithm {

class TavoVoxelGpu {
 public:
  using Dim3i = TavoGPUAlgorithm::Dim3i;

  TavoVoxelGpu() = default;
  TavoVoxelGpu(const TavoVoxelGpu&) = delete;
  TavoVoxelGpu& operator=(const TavoVoxelGpu&) = delete;
  TavoVoxelGpu(TavoVoxelGpu&&) = default;
  TavoVoxelGpu& operator=(TavoVoxelGpu&&) = default;

  // 1. Sizes the grid (releasing the previous one): every block counts and has
  // no storage (-1), masks zero, no slot. Dims must be positive with fewer
  // than 2^31 voxels; otherwise the volume is left uninitialised.
  void init_voxel(int x, int y, int z);
  // 2. Every block excluded (-2): never stored, never scored.
  void exclude_all_blocks();
  // 3. Blocks from trunc(min/4) to trunc(max/4) per axis (inclusive, voxel
  // corners clipped to the grid) count again (-1).
  void open_block_box(const int minCorner[3], const int maxCorner[3]);
  // 4. Drops every slot: store back to one zero float, new-block mask zero.
  // Table entries are left alone (call with exclude_all_blocks).
  void reset_block_values();
  // 5. Gives storage (values 1.0) to the blocks of the new-block mask that have
  // none, numbered after the existing slots; old slots keep their values. The
  // store grows by exactly that many slots, so every table entry stays below
  // slot_count(). No change when every marked block has a slot.
  void store_new_blocks();
  // 6. Damps by 0.04 every voxel of the saved visit mask that has storage.
  void damp_seen_voxels();
  // 7. / 8. Zero the saved and the current visit mask.
  void clear_saved_visit_mask();
  void clear_visit_mask();
  // 9. Saved visit mask := current visit mask.
  void save_visit_mask();
  // 10. store_new_blocks, damp_seen_voxels, clear_saved_visit_mask.
  void accept_view();

  bool initialised() const { return has_buffers(); }
  int slot_count() const { return m_slotCount; }
  Dim3i block_dims() const { return m_blockDims; }
  Dim3i voxel_dims() const { return m_voxelDims; }
  int block_count() const { return m_blockCount; }

  // Back-end buffers for the scoring kernels.
  const float* values() const { return m_values.data(); }
  int* visit_mask() { return m_visitMask.data(); }
  const int* block_table() const { return m_blockTable.data(); }
  int* new_block_mask() { return m_newBlockMask.data(); }

  // Host copies, for checks and diagnostics (empty when uninitialised).
  std::vector<float> download_values() const;
  std::vector<int> download_saved_visit_mask() const;
  std::vector<int> download_visit_mask() const;
  std::vector<int> download_block_table() const;
  std::vector<int> download_new_block_mask() const;

 private:
  template <class T>
  using Buffer = TavoGPUAlgorithm::DeviceBuffer<T>;

  bool has_buffers() const {
    return !m_values.empty() && !m_savedVisitMask.empty() && !m_visitMask.empty() &&
           !m_blockTable.empty() && !m_newBlockMask.empty();
  }
  // The located line names this header, where the check stands.
  bool ready() const {
    if (has_buffers()) return true;
    TAVO_LOG_ERROR("TavoVoxelGpu is not init !!!!!!!!!!!!!!!!");
    return false;
  }
  void fill_table(int value);
  bool reset_value_store();
  void release();

  Buffer<float> m_values;
  Buffer<int> m_savedVisitMask;
  Buffer<int> m_visitMask;
  Buffer<int> m_blockTable;
  int m_slotCount = 0;
  Buffer<int> m_newBlockMask;
  Dim3i m_blockDims;
  Dim3i m_voxelDims;
  int m_blockCount = 0;
};

}  // namespace TavoAlgorithm

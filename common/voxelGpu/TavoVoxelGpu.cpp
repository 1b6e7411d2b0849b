#include "common/voxelGpu/TavoVoxelGpu.h"

#include <algorithm>
#include <climits>
#include <sstream>

#include "common/gpu/TavoGPUAlgorithm.h"

namespace TavoAlgorithm {

using namespace TavoGPUAlgorithm;

namespace {

template <class T>
std::vector<T> download(const DeviceBuffer<T>& b) {
  std::vector<T> host(b.size());
  b.download(host.data(), host.size());
  return host;
}

}  // namespace

void TavoVoxelGpu::release() {
  m_values.release();
  m_savedVisitMask.release();
  m_visitMask.release();
  m_blockTable.release();
  m_newBlockMask.release();
  m_slotCount = 0;
  m_blockDims = {};
  m_voxelDims = {};
  m_blockCount = 0;
}

void TavoVoxelGpu::init_voxel(int x, int y, int z) {
  release();
  const long long voxels = static_cast<long long>(x) * y * z;
  if (x <= 0 || y <= 0 || z <= 0 || voxels >= INT_MAX) {
    std::ostringstream msg;
    msg << "TavoVoxelGpu bad grid size " << x << " " << y << " " << z;
    TAVO_LOG_ERROR(msg.str());
    return;
  }
  m_voxelDims = {x, y, z};
  m_blockDims = block_dims_of(m_voxelDims);
  m_blockCount = m_blockDims.x * m_blockDims.y * m_blockDims.z;
  m_slotCount = 0;
  const int voxelWords = mask_words(voxels);
  const bool ok = m_savedVisitMask.allocate(voxelWords) && m_visitMask.allocate(voxelWords) &&
                  m_blockTable.allocate(m_blockCount) && m_newBlockMask.allocate(mask_words(m_blockCount)) &&
                  reset_value_store();
  if (!ok) {
    TAVO_CHECK_GPU();
    release();
    return;
  }
  m_savedVisitMask.zero();
  m_visitMask.zero();
  fill_table(kBlockWithoutStorage);
  if (!TAVO_CHECK_GPU()) release();
}

void TavoVoxelGpu::fill_table(int value) {
  const std::vector<int> host(m_blockTable.size(), value);
  m_blockTable.upload(host.data(), host.size());
}

bool TavoVoxelGpu::reset_value_store() {
  if (!m_values.allocate(1)) return false;
  m_values.zero();
  m_slotCount = 0;
  m_newBlockMask.zero();
  return true;
}

void TavoVoxelGpu::exclude_all_blocks() {
  if (!ready()) return;
  fill_table(kBlockExcluded);
  TAVO_CHECK_GPU();
}

void TavoVoxelGpu::open_block_box(const int minCorner[3], const int maxCorner[3]) {
  if (!ready()) return;
  const int dims[3] = {m_voxelDims.x, m_voxelDims.y, m_voxelDims.z};
  int lo[3], hi[3];
  for (int k = 0; k < 3; ++k) {
    if (minCorner[k] > maxCorner[k] || maxCorner[k] < 0 || minCorner[k] >= dims[k]) return;
    lo[k] = std::clamp(minCorner[k], 0, dims[k] - 1) / kBlockEdge;
    hi[k] = std::clamp(maxCorner[k], 0, dims[k] - 1) / kBlockEdge;
  }
  set_fourLeaf_by_box_cuda(m_blockTable.data(), {lo[0], lo[1], lo[2]},
                           {hi[0] - lo[0] + 1, hi[1] - lo[1] + 1, hi[2] - lo[2] + 1}, m_blockDims);
  TAVO_CHECK_GPU();
}

void TavoVoxelGpu::reset_block_values() {
  if (!ready()) return;
  if (!reset_value_store()) release();
  TAVO_CHECK_GPU();
}

void TavoVoxelGpu::store_new_blocks() {
  if (!ready()) return;
  DeviceBuffer<int> counter(1);
  if (counter.empty()) {
    TAVO_CHECK_GPU();
    return;
  }
  counter.zero();
  // The store grows by the marked blocks that have no slot, not to the number
  // of marked blocks: a stored block whose box was opened again keeps its mask
  // bit but lost its slot, and the indexing numbers it afresh.
  get_unslotted_count_cuda(m_blockTable.data(), m_newBlockMask.data(), m_blockDims, counter.data());
  int fresh = 0;
  counter.download(&fresh, 1);
  if (!TAVO_CHECK_GPU() || fresh <= 0) return;
  const int n = m_slotCount + fresh;

  DeviceBuffer<float> grown(static_cast<std::size_t>(n) * kVoxelsPerBlock);
  if (grown.empty()) {
    TAVO_CHECK_GPU();
    return;
  }
  const std::vector<float> unseen(grown.size(), 1.0f);
  grown.upload(unseen.data(), unseen.size());
  if (m_slotCount != 0)
    copy_on_device(grown.data(), m_values.data(),
                   static_cast<std::size_t>(m_slotCount) * kVoxelsPerBlock * sizeof(float));
  const int lastSlot = m_slotCount - 1;
  counter.upload(&lastSlot, 1);
  set_voxel_index_cuda(m_blockTable.data(), m_newBlockMask.data(), m_blockDims, counter.data());
  if (!TAVO_CHECK_GPU()) return;
  m_slotCount = n;
  m_values = std::move(grown);
}

void TavoVoxelGpu::damp_seen_voxels() {
  if (!ready()) return;
  if (m_slotCount == 0) return;
  update_voxel_value_by_bool_cuda(m_blockTable.data(), m_savedVisitMask.data(), m_values.data(),
                                  m_blockDims, m_voxelDims);
  TAVO_CHECK_GPU();
}

void TavoVoxelGpu::clear_saved_visit_mask() {
  if (!ready()) return;
  m_savedVisitMask.zero();
  TAVO_CHECK_GPU();
}

void TavoVoxelGpu::clear_visit_mask() {
  if (!ready()) return;
  m_visitMask.zero();
  TAVO_CHECK_GPU();
}

void TavoVoxelGpu::save_visit_mask() {
  if (!ready()) return;
  copy_on_device(m_savedVisitMask.data(), m_visitMask.data(), m_visitMask.bytes());
  TAVO_CHECK_GPU();
}

void TavoVoxelGpu::accept_view() {
  if (!ready()) return;
  store_new_blocks();
  damp_seen_voxels();
  clear_saved_visit_mask();
}

std::vector<float> TavoVoxelGpu::download_values() const { return download(m_values); }
std::vector<int> TavoVoxelGpu::download_saved_visit_mask() const { return download(m_savedVisitMask); }
std::vector<int> TavoVoxelGpu::download_visit_mask() const { return download(m_visitMask); }
std::vector<int> TavoVoxelGpu::download_block_table() const { return download(m_blockTable); }
std::vector<int> TavoVoxelGpu::download_new_block_mask() const { return download(m_newBlockMask); }

}  // namespace TavoAlgorithm

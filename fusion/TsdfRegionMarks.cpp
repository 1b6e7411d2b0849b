#include "fusion/TsdfRegionMarks.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "Parallel.h"

namespace TavoAlgorithm {

void mark_region_voxels(TsdfVolume& volume, const std::vector<Eigen::Vector3f>& points, int radius) {
  if (radius < 0 || points.empty()) return;
  const grid::GridFrame& frame = volume.grid_frame();
  // No box reaches further than the grid, so no radius costs more than that.
  const int r = std::min(radius, frame.size());
  auto& tree = volume.octree();
  const int slots = tree.leaf_slots_in_use();
  auto mark = [](TsdfVoxel& voxel) {
    std::lock_guard<grid::SpinLock<std::uint8_t>> guard(voxel.lock);
    voxel.deleteMarks |= TSDF_MARK_REGION;
  };
  auxilary_tbb_for(volume.get_thread_num(), 0, points.size(), [&](std::size_t p) {
    Eigen::Vector3i c;
    if (!frame.cell_of(points[p], c)) return;
    const Eigen::Vector3i lo = (c.array() - r).max(frame.border).matrix();
    const Eigen::Vector3i hi = (c.array() + r).min(frame.size() - 1 - frame.border).matrix();
    if ((hi.array() < lo.array()).any()) return;
    const Eigen::Vector3i extent = hi - lo + Eigen::Vector3i::Ones();
    const long long cells = static_cast<long long>(extent.x()) * extent.y() * extent.z();
    if (cells > slots) {
      // A box larger than the volume: visit the voxels instead of the cells.
      for (int i = 0; i < slots; ++i) {
        auto& e = tree.element_at(i);
        if (!e.is_used()) continue;
        const Eigen::Vector3i cell = e.get_cell();
        if ((cell.array() >= lo.array()).all() && (cell.array() <= hi.array()).all()) mark(e.payload);
      }
      return;
    }
    for (int z = lo.z(); z <= hi.z(); ++z)
      for (int y = lo.y(); y <= hi.y(); ++y)
        for (int x = lo.x(); x <= hi.x(); ++x)
          if (TsdfVoxel* voxel = volume.find_voxel(Eigen::Vector3i(x, y, z))) mark(*voxel);
  });
}

void find_points_in_marked_voxels(const TsdfVolume& volume, const RangeData& frame, std::vector<char>& marks) {
  marks.assign(static_cast<std::size_t>(frame.get_vn()), 0);
  const RigidMatrix& pose = frame.get_rigidMatrix();
  auxilary_tbb_for(volume.get_thread_num(), 0, marks.size(), [&](std::size_t i) {
    const int v = static_cast<int>(i);
    if (frame.get_vDeleted(v)) return;
    Eigen::Vector3i c;
    if (!volume.grid_frame().cell_of(pose * frame.get_vCoord(v), c)) return;
    const TsdfVoxel* voxel = volume.find_voxel(c);
    if (voxel && (voxel->deleteMarks & TSDF_MARK_REGION)) marks[i] = 1;
  });
}

void clear_voxel_delete_marks(TsdfVolume& volume, int kind) {
  if (kind < 1 || kind > 4) return;
  const std::uint8_t keep = static_cast<std::uint8_t>(~(1u << (kind - 1)));
  auto& tree = volume.octree();
  const int slots = tree.leaf_slots_in_use();
  constexpr int kSlotsPerTask = 4096;
  const std::size_t tasks = static_cast<std::size_t>((slots + kSlotsPerTask - 1) / kSlotsPerTask);
  auxilary_tbb_for(volume.get_thread_num(), 0, tasks, [&](std::size_t t) {
    const int end = std::min(slots, static_cast<int>(t + 1) * kSlotsPerTask);
    for (int i = static_cast<int>(t) * kSlotsPerTask; i < end; ++i) {
      auto& e = tree.element_at(i);
      if (!e.is_used()) continue;
      e.payload.deleteMarks &= keep;
    }
  });
}

}  // namespace TavoAlgorithm

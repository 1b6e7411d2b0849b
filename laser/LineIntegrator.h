#pragma once
// LineIntegrator: the neighbour offset tables of laser line integration and
// the thread count of the helper's whole-tree passes.
//
// For radius r there are r^3 entries; entry k has the integer offset
// (k mod r - 1, (k mod r^2) div r - 1, k div r^2 - 1), so offsets run from -1
// to r - 2 per axis (r = 3: the 3 x 3 x 3 block around the reference cell),
// and the world offset is that offset times the cell size. r = 0 gives empty
// tables (nothing is integrated); r above kMaxExtendRadius is taken as it.
#include <Eigen/Core>
#include <cstddef>
#include <vector>

namespace LaserReconstrcution {

// 64^3 offsets already reach far beyond any surface band; a larger radius
// would only overflow r^3 or exhaust memory.
inline constexpr unsigned int kMaxExtendRadius = 64;

struct LineIntegrator {
  std::vector<Eigen::Vector3f> worldOffsets;
  std::vector<Eigen::Vector3i> intOffsets;
  int threadNum = 1;
  unsigned int extendRadius = 0;

  // Workers for a pass over a per-frame list of n leaves. Short lists take a
  // fraction of a millisecond; more workers would cost more in hand-over, and
  // in records moving between cores, than they save.
  static constexpr std::size_t kParallelListMin = 8192;
  int workers_for(std::size_t n) const { return n < kParallelListMin ? 1 : threadNum; }

  void build_offsets(unsigned int r, float cellSize) {
    if (r > kMaxExtendRadius) r = kMaxExtendRadius;
    extendRadius = r;
    worldOffsets.clear();
    intOffsets.clear();
    const long long ri = r;
    const long long n = ri * ri * ri;
    worldOffsets.reserve(static_cast<std::size_t>(n));
    intOffsets.reserve(static_cast<std::size_t>(n));
    for (long long k = 0; k < n; ++k) {
      const Eigen::Vector3i o(static_cast<int>(k % ri - 1), static_cast<int>((k % (ri * ri)) / ri - 1),
                              static_cast<int>(k / (ri * ri) - 1));
      intOffsets.push_back(o);
      worldOffsets.push_back(o.cast<float>() * cellSize);
    }
  }
};

}  // namespace LaserReconstrcution

#pragma once
// LeafBaseCache: remembers, for one integration task, the finest octree node
// over recently visited cells (cell >> 1 -> base of its eight leaves).
//
// Consecutive points of a frame update overlapping neighbourhoods, so most
// node walks repeat; a base never changes once its node exists, so an entry
// stays true for the life of the tree. Direct-mapped, one per task, not
// shared between threads. An absent node (-1) may be cached as well, which is
// right only while nothing creates nodes meanwhile.
#include <Eigen/Core>
#include <array>
#include <cstdint>

namespace TavoAlgorithm {

class LeafBaseCache {
 public:
  LeafBaseCache() { m_keys.fill(kEmpty); }

  // Base of the node over `cell`; `walk(cell)` gives it on a miss. An absent
  // node (-1) is only remembered when `keepAbsent`.
  template <typename Walk>
  int base_of(const Eigen::Vector3i& cell, Walk&& walk, bool keepAbsent = true) {
    // 21 bits an axis: a cell just outside the grid gets a key of its own.
    auto axis = [](int c) { return static_cast<std::uint64_t>(c >> 1) & kAxisMask; };
    const std::uint64_t key = (axis(cell.x()) << 42) | (axis(cell.y()) << 21) | axis(cell.z());
    const std::size_t slot = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kBits));
    if (m_keys[slot] == key) return m_bases[slot];
    const int base = walk(cell);
    if (base < 0 && !keepAbsent) return base;
    m_keys[slot] = key;
    m_bases[slot] = base;
    return base;
  }

 private:
  static constexpr unsigned kBits = 12;
  static constexpr std::uint64_t kAxisMask = (std::uint64_t{1} << 21) - 1;
  // Bit 63 of a key is always clear.
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  std::array<std::uint64_t, std::size_t{1} << kBits> m_keys;
  std::array<int, std::size_t{1} << kBits> m_bases;
};

}  // namespace TavoAlgorithm

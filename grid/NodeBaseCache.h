#pragma once
// Finest-node bases (one node = 2 x 2 x 2 cells) recently walked to in an
// Octree. The cells around a segment, or around one cell, share a few
// nodes, so a neighbourhood costs a few tree walks instead of one per cell.
//
// Direct-mapped on the low AxisBits bits of the node coordinates: nodes less
// than 2^AxisBits apart on every axis never evict each other (one bit covers
// the 3 x 3 x 3 cells around a cell). Create mode walks with
// find_or_create and claims leaves; find mode never creates and also
// remembers absent nodes, so it is only valid while no other task creates
// nodes (the extraction passes). One cache per task.
#include <Eigen/Core>
#include <algorithm>
#include <array>
#include <climits>
#include <type_traits>

#include "grid/Octree.h"

namespace TavoAlgorithm::grid {

template <typename T, bool Create, int AxisBits = 2>
class NodeBaseCache {
 public:
  using Tree = std::conditional_t<Create, Octree<T>, const Octree<T>>;

  explicit NodeBaseCache(Tree& tree) : m_tree(tree) { m_key.fill(Eigen::Vector3i::Constant(INT_MIN)); }

  // Base of cell c's finest node (created in create mode), or -1: outside
  // the grid, or in find mode absent.
  int base(const Eigen::Vector3i& c) {
    if (!m_tree.in_grid(c)) return -1;
    const Eigen::Vector3i node(c.x() >> 1, c.y() >> 1, c.z() >> 1);
    const int slot = (node.x() & kMask) | (node.y() & kMask) << AxisBits | (node.z() & kMask) << (2 * AxisBits);
    if (m_key[slot] != node) {
      if constexpr (Create)
        m_base[slot] = m_tree.find_or_create_leaf_base(c);
      else
        m_base[slot] = m_tree.find_leaf_base(c);
      m_key[slot] = node;  // after the walk, which may throw
    }
    return m_base[slot];
  }

  // Find mode: calls f(index) for every used leaf whose cell lies in the
  // box [lo, hi] (clipped to the grid), one base() per finest node of the
  // box instead of one per cell.
  template <typename F>
  void for_each_leaf_in_box(const Eigen::Vector3i& lo, const Eigen::Vector3i& hi, F&& f) {
    static_assert(!Create, "a box visit never creates");
    const Eigen::Vector3i a = lo.cwiseMax(0), b = hi.cwiseMin(m_tree.grid_size() - 1);
    for (int nz = a.z() >> 1; nz <= b.z() >> 1; ++nz)
      for (int ny = a.y() >> 1; ny <= b.y() >> 1; ++ny)
        for (int nx = a.x() >> 1; nx <= b.x() >> 1; ++nx) {
          const Eigen::Vector3i first(std::max(2 * nx, a.x()), std::max(2 * ny, a.y()), std::max(2 * nz, a.z()));
          const Eigen::Vector3i last(std::min(2 * nx + 1, b.x()), std::min(2 * ny + 1, b.y()),
                                     std::min(2 * nz + 1, b.z()));
          const int nodeBase = base(first);
          if (nodeBase < 0) continue;
          for (int z = first.z(); z <= last.z(); ++z)
            for (int y = first.y(); y <= last.y(); ++y)
              for (int x = first.x(); x <= last.x(); ++x) {
                const int index = m_tree.find_leaf_in(Eigen::Vector3i(x, y, z), nodeBase);
                if (index >= 0) f(index);
              }
        }
  }

  // base(c), with cell c's leaf slot prefetched: the bases of several cells
  // first and their leaf_in() afterwards overlap the cache misses of the
  // slots, the largest cost of a neighbourhood visit.
  int prefetch_base(const Eigen::Vector3i& c) {
    const int b = base(c);
    if (b >= 0) m_tree.prefetch_leaf(b + Octree<T>::child_of(c, 0));
    return b;
  }

  // Leaf index of cell c (claimed in create mode), or -1 as for base().
  int leaf(const Eigen::Vector3i& c) { return leaf_in(c, base(c)); }

  // leaf() with the base that base(c) or prefetch_base(c) returned.
  int leaf_in(const Eigen::Vector3i& c, int b) {
    if constexpr (Create) {
      bool created = false;
      return b < 0 ? -1 : m_tree.claim_leaf(c, b, created);
    } else {
      return m_tree.find_leaf_in(c, b);
    }
  }

 private:
  static constexpr int kMask = (1 << AxisBits) - 1;
  static constexpr int kSlots = 1 << (3 * AxisBits);
  Tree& m_tree;
  std::array<Eigen::Vector3i, kSlots> m_key;
  std::array<int, kSlots> m_base{};
};

}  // namespace TavoAlgorithm::grid

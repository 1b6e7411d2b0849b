#pragma once
// Octree<T>: sparse octree over a 2^D grid whose leaves carry a payload T
// (laser records, TSDF voxels); exported as TavoOctree::Octree<T>. It knows
// cells only: where the grid lies in the world is a GridFrame's business.
//
// Levels: a dense TopTree of 8 bits per axis (cell >> (D - 8)), D - 9
// MiddleTree levels of one bit each (bits D - 9 ... 1), and the leaf bit 0.
// Leaf elements live in a block array of 2^20 elements per block; blocks never
// move, so element references stay valid while the tree grows.
//
// Threading: find_or_create_leaf, find_leaf and element may be called from any
// number of threads at once; payload updates are the payload's own business
// (its record lock). clear() and destruction need exclusive access.
// Memory: growth that cannot allocate throws std::bad_alloc (the record
// store writes its lines first).
#include <Eigen/Core>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "grid/ChunkedRecordStore.h"
#include "grid/MiddleTree.h"
#include "grid/SpinLock.h"
#include "grid/TopTree.h"

namespace TavoAlgorithm::grid {

inline constexpr int kTopBits = 8;
inline constexpr int kMinDepth = 10;
// Leaf cells are stored as uint16 (plus one), so coordinates stay below 2^15.
inline constexpr int kMaxDepth = 15;
inline constexpr unsigned kLeafBlockShift = 20;  // 1,048,576 elements per block
inline constexpr std::size_t kLeafBlockTable = 4096;

// One slot of the leaf array. The cell is stored plus one, so that all-zero
// bytes are the free state and a fresh leaf block needs no initialising pass;
// it is published last (release), so a reader that sees it also sees the
// payload's initial state and the parent base. The payload of a free element
// is undefined until the element is claimed. The lock byte fills the gap
// after the cell, so that with a 52-byte payload an element is 64 bytes, one
// cache line of the page-aligned blocks.
template <typename T>
struct LeafElement {
  std::atomic<std::uint16_t> cellCode[3] = {{0}, {0}, {0}};
  std::atomic<std::uint8_t> creationLock{0};
  T payload{};
  std::uint32_t parentBase = 0;

  LeafElement() = default;
  // Copies (record store resets) carry the state, never a held lock.
  LeafElement(const LeafElement& o) { *this = o; }
  LeafElement& operator=(const LeafElement& o) {
    for (int a = 0; a < 3; ++a)
      cellCode[a].store(o.cellCode[a].load(std::memory_order_relaxed), std::memory_order_relaxed);
    payload = o.payload;
    parentBase = o.parentBase;
    creationLock.store(0, std::memory_order_relaxed);
    return *this;
  }

  bool is_used() const { return cellCode[0].load(std::memory_order_acquire) != 0; }
  // (-1, -1, -1) while free.
  Eigen::Vector3i get_cell() const {
    return {cellCode[0].load(std::memory_order_acquire) - 1, cellCode[1].load(std::memory_order_relaxed) - 1,
            cellCode[2].load(std::memory_order_relaxed) - 1};
  }
  void set_cell(const Eigen::Vector3i& c) {
    cellCode[1].store(static_cast<std::uint16_t>(c.y() + 1), std::memory_order_relaxed);
    cellCode[2].store(static_cast<std::uint16_t>(c.z() + 1), std::memory_order_relaxed);
    cellCode[0].store(static_cast<std::uint16_t>(c.x() + 1), std::memory_order_release);
  }
};

template <typename T>
class Octree {
 public:
  using Element = LeafElement<T>;

  // depth below 10 is raised to 10, above 15 lowered to 15. Allocates the top
  // table and the first leaf block.
  explicit Octree(int depth)
      : m_depth(std::clamp(depth, kMinDepth, kMaxDepth)),
        m_top(kTopBits),
        m_leaves(kLeafBlockShift, kLeafBlockTable) {
    for (int k = 0; k < m_depth - (kTopBits + 1); ++k) m_middle.push_back(std::make_unique<MiddleTree>(1));
    m_middle.front()->reserve(8);
    m_leaves.resize(m_leaves.chunk_size());
  }
  Octree(const Octree&) = delete;
  Octree& operator=(const Octree&) = delete;

  int depth() const { return m_depth; }
  int grid_size() const { return 1 << m_depth; }
  int middle_level_count() const { return static_cast<int>(m_middle.size()); }
  bool in_grid(const Eigen::Vector3i& c) const {
    return (c.array() >= 0).all() && (c.array() < grid_size()).all();
  }

  // Leaf index of cell c, creating the path and claiming the element when
  // absent; -1 when c lies outside the grid. `created` tells whether this
  // call claimed the element (its payload is then T{}).
  int find_or_create_leaf(const Eigen::Vector3i& c, bool& created) {
    created = false;
    const int base = find_or_create_leaf_base(c);
    return base < 0 ? -1 : claim_leaf(c, base, created);
  }

  // Base of the finest node over cell c (its eight leaves are base + 0..7),
  // creating the path; -1 when c lies outside the grid. Callers visiting
  // neighbouring cells walk each path once and claim leaves with claim_leaf.
  int find_or_create_leaf_base(const Eigen::Vector3i& c) {
    if (!in_grid(c)) return -1;
    const int shift = m_depth - kTopBits;
    int base = m_top.find_or_create(m_top.index_of(c.x() >> shift, c.y() >> shift, c.z() >> shift),
                                    [&](int b) { m_middle.front()->reserve(b + 8); });
    const int levels = middle_level_count();
    for (int k = 0; k < levels; ++k) {
      const int slot = base + child_of(c, m_depth - (kTopBits + 1) - k);
      if (k + 1 < levels) {
        MiddleTree& next = *m_middle[k + 1];
        base = m_middle[k]->find_or_create(slot, [&](int b) { next.reserve(b + 8); });
      } else {
        base = m_middle[k]->find_or_create(slot, [&](int b) { ensure_leaf_capacity(b + 8); });
      }
    }
    return base;
  }

  // Leaf of cell c under the finest node `base` (from find_or_create_leaf_base
  // for c or a cell of the same node), claimed when free.
  int claim_leaf(const Eigen::Vector3i& c, int base, bool& created) {
    created = false;
    const int index = base + child_of(c, 0);
    // The node's creation made room for its eight leaves.
    if (element_at(index).is_used()) return index;
    return claim_free_leaf(c, base, index, created);
  }

  int find_or_create_leaf(const Eigen::Vector3i& c) {
    bool created = false;
    return find_or_create_leaf(c, created);
  }

  // Leaf index of cell c without creating anything; -1 when the cell lies
  // outside the grid, its path is absent or its element is still free.
  int find_leaf(const Eigen::Vector3i& c) const { return find_leaf_in(c, find_leaf_base(c)); }

  // Base of the finest node over cell c without creating anything; -1 when
  // outside the grid or absent.
  int find_leaf_base(const Eigen::Vector3i& c) const {
    if (!in_grid(c)) return -1;
    const int shift = m_depth - kTopBits;
    int base = m_top.find(m_top.index_of(c.x() >> shift, c.y() >> shift, c.z() >> shift));
    const int levels = middle_level_count();
    for (int k = 0; k < levels && base >= 0; ++k)
      base = m_middle[k]->find(base + child_of(c, m_depth - (kTopBits + 1) - k));
    return base;
  }

  // find_leaf given the base of c's finest node (-1 passes through).
  int find_leaf_in(const Eigen::Vector3i& c, int base) const {
    if (base < 0) return -1;
    const int index = base + child_of(c, 0);
    if (static_cast<std::size_t>(index) >= m_leaves.size()) return -1;
    return m_leaves[static_cast<std::size_t>(index)].is_used() ? index : -1;
  }

  // Payload of an existing leaf, or null (find-only).
  // A hint that leaf slot `index` will be read soon; ignored outside the array.
  void prefetch_leaf(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= m_leaves.size()) return;
    const char* p = reinterpret_cast<const char*>(&m_leaves[static_cast<std::size_t>(index)]);
    __builtin_prefetch(p);
    // Unless its size divides the line, an element may straddle two.
    if constexpr (64 % sizeof(Element) != 0) __builtin_prefetch(p + sizeof(Element) - 1);
  }

  T* find_payload(const Eigen::Vector3i& c) {
    const int i = find_leaf(c);
    return i < 0 ? nullptr : &m_leaves[static_cast<std::size_t>(i)].payload;
  }
  const T* find_payload(const Eigen::Vector3i& c) const {
    const int i = find_leaf(c);
    return i < 0 ? nullptr : &m_leaves[static_cast<std::size_t>(i)].payload;
  }

  // Element `index` (>= 0), growing the leaf array by whole blocks if needed.
  Element& element(int index) {
    ensure_leaf_capacity(index + 1);
    return m_leaves[static_cast<std::size_t>(index)];
  }
  // Element below leaf_capacity(); no growth, no check.
  const Element& element_at(int index) const { return m_leaves[static_cast<std::size_t>(index)]; }
  Element& element_at(int index) { return m_leaves[static_cast<std::size_t>(index)]; }

  int leaf_capacity() const { return static_cast<int>(std::min<std::size_t>(m_leaves.size(), INT32_MAX)); }
  std::size_t leaf_block_count() const { return m_leaves.chunk_count(); }

  // Leaf slots that whole-tree passes visit: 0 ... leaf_slots_in_use() - 1
  // (free elements among them are skipped by the passes).
  int leaf_slots_in_use() const {
    const long long slots = static_cast<long long>(m_middle.back()->node_count()) * 8;
    return static_cast<int>(std::min<long long>(slots, leaf_capacity()));
  }

  // Leaf elements claimed so far (elements are never freed, only by clear()).
  int leaf_count() const { return m_claimed.load(std::memory_order_relaxed); }

  // Back to an empty tree (first leaf block kept, all elements free).
  void clear() {
    m_claimed.store(0, std::memory_order_relaxed);
    m_top.clear();
    for (auto& level : m_middle) level->clear();
    m_middle.front()->reserve(8);
    m_leaves.clear();
    m_leaves.resize(m_leaves.chunk_size());
  }

  // Position of cell c's node among its parent's eight children at level
  // `bit` (0: c's leaf under its finest node).
  static int child_of(const Eigen::Vector3i& c, int bit) {
    return ((c.x() >> bit) & 1) + 2 * (((c.y() >> bit) & 1) + 2 * ((c.z() >> bit) & 1));
  }

 private:
  // Kept out of line so that claim_leaf stays small enough to inline.
  __attribute__((noinline)) int claim_free_leaf(const Eigen::Vector3i& c, int base, int index, bool& created) {
    Element& e = element(index);
    SpinGuard guard(e.creationLock);
    if (!e.is_used()) {
      e.payload = T{};
      e.parentBase = static_cast<std::uint32_t>(base);
      e.set_cell(c);
      created = true;
      m_claimed.fetch_add(1, std::memory_order_relaxed);
    }
    return index;
  }

  // The check inline, the growth out of the way: every leaf claim passes here.
  void ensure_leaf_capacity(int count) {
    if (static_cast<std::size_t>(count) > m_leaves.size()) grow_leaves(static_cast<std::size_t>(count));
  }

  __attribute__((noinline)) void grow_leaves(std::size_t need) {
    SpinGuard guard(m_leafGrowLock);
    const std::size_t block = m_leaves.chunk_size();
    if (need > m_leaves.size()) m_leaves.resize(((need - 1) / block + 1) * block);
  }

  int m_depth;
  TopTree m_top;
  std::vector<std::unique_ptr<MiddleTree>> m_middle;
  static_assert(std::is_trivially_destructible_v<Element>, "leaf blocks are freed without destructors");
  ChunkedRecordStore<Element, ZeroedChunkAllocator<Element, std::size_t{1} << kLeafBlockShift>> m_leaves;
  std::atomic<std::uint8_t> m_leafGrowLock{0};
  std::atomic<int> m_claimed{0};
};

}  // namespace TavoAlgorithm::grid

namespace TavoOctree {
// The octree container under its exported name.
template <typename T>
using Octree = TavoAlgorithm::grid::Octree<T>;
}  // namespace TavoOctree

#pragma once
// TopTree: the dense top level of an octree, one slot per top cell.
//
// Constructed with b bits per axis it holds 2^(3b) slots (b = 8: 16,777,216),
// indexed (z << 2b) + (y << b) + x, each with a lock byte, and an atomic
// counter of created nodes. A created slot holds counter * 8, the base of its
// children in the first middle level. Lookups and creation are thread-safe;
// clear() is not (no lookup may run during it).
#include <atomic>
#include <cstdint>
#include <memory>

#include "grid/TreeSlot.h"

namespace TavoAlgorithm::grid {

class TopTree {
 public:
  // bits in 1 ... 10, else std::invalid_argument; std::bad_alloc when the
  // table cannot be allocated.
  explicit TopTree(int bits);
  TopTree(const TopTree&) = delete;
  TopTree& operator=(const TopTree&) = delete;

  int bits() const { return m_bits; }
  int slot_count() const { return m_slotCount; }
  int index_of(int x, int y, int z) const { return (((z << m_bits) + y) << m_bits) + x; }

  // Base of the children, or -1 when absent. index in [0, slot_count()).
  int find(int index) const { return slot_read(m_slots[index]); }

  template <typename Reserve>
  int find_or_create(int index, Reserve&& reserveChildren) {
    return slot_find_or_create(m_slots[index], m_locks[index], m_counter, reserveChildren);
  }

  int node_count() const { return m_counter.load(std::memory_order_acquire); }

  // Back to an empty table with the counter at 0.
  void clear();

 private:
  int m_bits;
  int m_slotCount;
  std::unique_ptr<std::atomic<int>[], FreeDeleter> m_slots;
  std::unique_ptr<std::atomic<std::uint8_t>[], FreeDeleter> m_locks;
  std::atomic<int> m_counter{0};
};

}  // namespace TavoAlgorithm::grid

#pragma once
// Node slots of the octree levels (TopTree, MiddleTree).
//
// A slot holds the base index of a node's eight children or -1 while the node
// is absent. It is stored as base + 1 so that zero-filled memory reads as
// "absent" and fresh tables need no initialising pass.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "grid/SpinLock.h"

namespace TavoAlgorithm::grid {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Zero-filled array of trivially constructible atomics; the pages stay lazily
// committed until first touched. Throws std::bad_alloc.
template <typename T>
std::unique_ptr<T[], FreeDeleter> allocate_zeroed(std::size_t count) {
  void* p = std::calloc(count, sizeof(T));
  if (p == nullptr) throw std::bad_alloc();
  return std::unique_ptr<T[], FreeDeleter>(static_cast<T*>(p));
}

inline int slot_read(const std::atomic<int>& slot) {
  return slot.load(std::memory_order_acquire) - 1;
}

// Test, lock, test again, then create: the new node takes counter++ * 8 as
// its children's base. reserveChildren(base) runs before the base is
// published, so that whoever reads the base finds room for the children.
// Returns the base; throws std::bad_alloc when the index space is exhausted
// (or reserveChildren throws), leaving the slot absent and unlocked.
template <typename Reserve>
int slot_find_or_create(std::atomic<int>& slot, std::atomic<std::uint8_t>& lock,
                        std::atomic<int>& counter, Reserve&& reserveChildren) {
  int base = slot_read(slot);
  if (base >= 0) return base;
  SpinGuard guard(lock);
  base = slot_read(slot);
  if (base >= 0) return base;
  const long long childBase = static_cast<long long>(counter.fetch_add(1, std::memory_order_relaxed)) * 8;
  if (childBase > static_cast<long long>(INT32_MAX) - 9) throw std::bad_alloc();
  reserveChildren(static_cast<int>(childBase));
  slot.store(static_cast<int>(childBase) + 1, std::memory_order_release);
  return static_cast<int>(childBase);
}

}  // namespace TavoAlgorithm::grid

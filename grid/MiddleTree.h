#pragma once
// MiddleTree: one middle level of an octree, a growable array of child slots.
//
// Slot parentBase + child holds, once created, counter * 8: the base of that
// node's children one level down. Slots live in chunks that never move, so
// reading and creating slots is safe while another thread grows the array.
// Slots must be reserved (reserve) before their index is published; the
// octree does so when it creates the parent. clear() is not thread-safe.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "grid/TreeSlot.h"

namespace TavoAlgorithm::grid {

class MiddleTree {
 public:
  // `bits` is the branching of one node per axis; only 1 (eight children) is
  // supported, matching the top level's eight-child bases.
  explicit MiddleTree(int bits = 1);
  MiddleTree(const MiddleTree&) = delete;
  MiddleTree& operator=(const MiddleTree&) = delete;

  // Base of the children, or -1 when absent. index below capacity().
  int find(int index) const { return slot_read(slot(index)); }

  template <typename Reserve>
  int find_or_create(int index, Reserve&& reserveChildren) {
    Chunk& c = *m_chunks[static_cast<std::size_t>(index) >> kChunkShift];
    const std::size_t i = static_cast<std::size_t>(index) & kChunkMask;
    return slot_find_or_create(c.slots[i], c.locks[i], m_counter, reserveChildren);
  }

  // Makes slots [0, count) addressable. Thread-safe; throws std::bad_alloc.
  void reserve(int count);
  int capacity() const { return static_cast<int>(m_chunkCount.load(std::memory_order_acquire) << kChunkShift); }

  int node_count() const { return m_counter.load(std::memory_order_acquire); }

  // Releases every chunk and resets the counter.
  void clear();

 private:
  static constexpr unsigned kChunkShift = 20;
  static constexpr std::size_t kChunkMask = (std::size_t{1} << kChunkShift) - 1;
  static constexpr std::size_t kMaxChunks = std::size_t{1} << (31 - kChunkShift);

  struct Chunk {
    std::unique_ptr<std::atomic<int>[], FreeDeleter> slots;
    std::unique_ptr<std::atomic<std::uint8_t>[], FreeDeleter> locks;
  };

  const std::atomic<int>& slot(int index) const {
    return m_chunks[static_cast<std::size_t>(index) >> kChunkShift]
        ->slots[static_cast<std::size_t>(index) & kChunkMask];
  }

  std::unique_ptr<std::unique_ptr<Chunk>[]> m_chunks;
  std::atomic<std::size_t> m_chunkCount{0};
  std::atomic<std::uint8_t> m_growLock{0};
  std::atomic<int> m_counter{0};
};

}  // namespace TavoAlgorithm::grid

#pragma once
// TwinPool<T>: pre-allocated twin records for thin walls (double voxel).
//
// Records are handed out by an atomic counter from blocks of `growthStep`
// records that never move; when the counter passes the capacity, one thread
// grows the pool under the pool lock while the others wait on it. acquire()
// is thread-safe and returns a zeroed record, or null when the pool cannot
// grow (allocation failure or the record limit). The pool owns the records.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "grid/SpinLock.h"

namespace TavoOctree {

inline constexpr std::size_t kTwinPoolStep = 100000;
// Bounds the block table so that it never reallocates while readers use it.
inline constexpr std::size_t kTwinPoolMaxRecords = std::size_t{1} << 30;

template <typename T>
class TwinPool {
 public:
  explicit TwinPool(std::size_t growthStep = kTwinPoolStep,
                    std::size_t maxRecords = kTwinPoolMaxRecords)
      : m_step(std::max<std::size_t>(growthStep, 1)),
        m_blocks(std::max<std::size_t>(maxRecords / m_step, 1)) {
    grow_locked(1);
  }
  TwinPool(const TwinPool&) = delete;
  TwinPool& operator=(const TwinPool&) = delete;

  T* acquire() {
    const std::size_t next = m_next.fetch_add(1, std::memory_order_relaxed);
    if (next >= capacity()) {
      TavoAlgorithm::grid::SpinGuard guard(m_lock);
      if (next >= capacity() && !grow_locked(next / m_step + 1)) return nullptr;
    }
    return &m_blocks[next / m_step][next % m_step];
  }

  std::size_t capacity() const { return m_capacity.load(std::memory_order_acquire); }
  std::size_t handed_out() const { return std::min(m_next.load(std::memory_order_acquire), capacity()); }

  // All records back to zero, counter at 0; needs exclusive access.
  void reset() {
    const std::size_t blocks = capacity() / m_step;
    for (std::size_t b = 0; b < blocks; ++b) std::fill_n(m_blocks[b].get(), m_step, T{});
    m_next.store(0, std::memory_order_release);
  }

 private:
  bool grow_locked(std::size_t blocksNeeded) {
    if (blocksNeeded > m_blocks.size()) return false;
    for (std::size_t b = capacity() / m_step; b < blocksNeeded; ++b) {
      std::unique_ptr<T[]> block(new (std::nothrow) T[m_step]());
      if (!block) return false;
      m_blocks[b] = std::move(block);
      m_capacity.store((b + 1) * m_step, std::memory_order_release);
    }
    return true;
  }

  std::size_t m_step;
  std::vector<std::unique_ptr<T[]>> m_blocks;  // sized once: never reallocates
  std::atomic<std::size_t> m_next{0};
  std::atomic<std::size_t> m_capacity{0};
  std::atomic<std::uint8_t> m_lock{0};
};

}  // namespace TavoOctree

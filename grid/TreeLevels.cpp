#include <stdexcept>

#include "grid/MiddleTree.h"
#include "grid/TopTree.h"

namespace TavoAlgorithm::grid {
namespace {
// Checked before the shift: a shift past the int's width is undefined.
int top_slot_count(int bits) {
  if (bits < 1 || bits > 10) throw std::invalid_argument("TopTree bits out of range");
  return 1 << (3 * bits);
}
}  // namespace

TopTree::TopTree(int bits) : m_bits(bits), m_slotCount(top_slot_count(bits)) { clear(); }

void TopTree::clear() {
  m_slots = allocate_zeroed<std::atomic<int>>(static_cast<std::size_t>(m_slotCount));
  m_locks = allocate_zeroed<std::atomic<std::uint8_t>>(static_cast<std::size_t>(m_slotCount));
  m_counter.store(0, std::memory_order_release);
}

MiddleTree::MiddleTree(int bits) : m_chunks(std::make_unique<std::unique_ptr<Chunk>[]>(kMaxChunks)) {
  if (bits != 1) throw std::invalid_argument("MiddleTree supports eight children per node only");
}

void MiddleTree::reserve(int count) {
  if (count <= capacity()) return;
  const std::size_t need = ((static_cast<std::size_t>(count) - 1) >> kChunkShift) + 1;
  if (need > kMaxChunks) throw std::bad_alloc();
  SpinGuard guard(m_growLock);
  for (std::size_t c = m_chunkCount.load(std::memory_order_relaxed); c < need; ++c) {
    auto chunk = std::make_unique<Chunk>();
    chunk->slots = allocate_zeroed<std::atomic<int>>(kChunkMask + 1);
    chunk->locks = allocate_zeroed<std::atomic<std::uint8_t>>(kChunkMask + 1);
    m_chunks[c] = std::move(chunk);
    m_chunkCount.store(c + 1, std::memory_order_release);
  }
}

void MiddleTree::clear() {
  const std::size_t n = m_chunkCount.load(std::memory_order_acquire);
  for (std::size_t c = 0; c < n; ++c) m_chunks[c].reset();
  m_chunkCount.store(0, std::memory_order_release);
  m_counter.store(0, std::memory_order_release);
}

}  // namespace TavoAlgorithm::grid

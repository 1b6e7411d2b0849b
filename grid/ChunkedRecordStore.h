#pragma once
// ChunkedRecordStore: an indexable array of records kept in fixed-size chunks.
//
// Records never move once allocated, so references and indices stay valid
// while the store grows. Growth and shrinking are single-writer operations
// (callers serialise them); reading or writing records below size() is safe
// from any thread while another thread grows the store, because the chunk
// table has a fixed capacity and a new chunk is published before the counts.
//
// Memory failure: a growth that cannot allocate writes " clear data ", frees
// the chunks it allocated, writes "caught bad alloc exception" and throws
// std::bad_alloc with the store exactly as large as before.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "common/console.h"

namespace TavoAlgorithm::grid {

// Allocation policy; tests substitute one that fails on demand.
template <typename T>
struct HeapChunkAllocator {
  // Every record value-initialised: that is a record's empty state.
  static std::unique_ptr<T[]> allocate(std::size_t count) { return std::make_unique<T[]>(count); }
  static void release(std::unique_ptr<T[]>& chunk) { chunk.reset(); }
};

// Chunks of exactly Count records straight from the kernel, zero-filled, for
// records whose all-zero bytes are their empty state (no constructor runs).
// The pages of a large chunk are committed only as records reach them, and as
// huge pages where the system allows, since records fill a chunk from its
// start and a fault per 4 KiB page cost more than the work that touched it.
template <typename T, std::size_t Count>
struct ZeroedChunkAllocator {
  static constexpr std::size_t kBytes = Count * sizeof(T);
  static std::unique_ptr<T[]> allocate(std::size_t count) {
    if (count != Count) throw std::bad_alloc();
#if defined(__linux__)
    void* p = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, kBytes, MADV_HUGEPAGE);  // a hint: refused, the chunk still works
#else
    void* p = std::calloc(Count, sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
#endif
    return std::unique_ptr<T[]>(static_cast<T*>(p));
  }
  static void release(std::unique_ptr<T[]>& chunk) {
#if defined(__linux__)
    if (chunk) munmap(chunk.release(), kBytes);
#else
    std::free(chunk.release());
#endif
  }
};

template <typename T, typename Allocator = HeapChunkAllocator<T>>
class ChunkedRecordStore {
 public:
  // chunkShift: log2 of the records per chunk; maxChunks bounds the table.
  ChunkedRecordStore(unsigned chunkShift, std::size_t maxChunks)
      : m_shift(chunkShift),
        m_mask((std::size_t{1} << chunkShift) - 1),
        m_maxChunks(maxChunks),
        m_table(std::make_unique<std::unique_ptr<T[]>[]>(maxChunks)) {}

  ChunkedRecordStore(const ChunkedRecordStore&) = delete;
  ChunkedRecordStore& operator=(const ChunkedRecordStore&) = delete;

  ~ChunkedRecordStore() { clear(); }

  std::size_t size() const { return m_size.load(std::memory_order_acquire); }
  std::size_t chunk_count() const { return m_chunkCount.load(std::memory_order_acquire); }
  std::size_t chunk_size() const { return m_mask + 1; }
  std::size_t max_size() const { return m_maxChunks << m_shift; }

  T& operator[](std::size_t i) { return m_table[i >> m_shift][i & m_mask]; }
  const T& operator[](std::size_t i) const { return m_table[i >> m_shift][i & m_mask]; }

  // Grows or shrinks to n records. Throws std::bad_alloc (store unchanged) when
  // a chunk cannot be allocated or n exceeds max_size().
  void resize(std::size_t n) {
    const std::size_t have = chunk_count();
    const std::size_t need = chunks_for(n);
    if (need > have) {
      grow_chunks(have, need);
    } else if (need < have) {
      if (!release_chunks(need)) return;
    }
    if (n < size()) reset_records(n, std::min(size(), need << m_shift));
    m_size.store(n, std::memory_order_release);
  }

  // Releases every chunk. On a failed release the counts stay as they were.
  void clear() {
    if (release_chunks(0)) m_size.store(0, std::memory_order_release);
  }

 private:
  std::size_t chunks_for(std::size_t n) const { return n == 0 ? 0 : ((n - 1) >> m_shift) + 1; }

  void grow_chunks(std::size_t have, std::size_t need) {
    std::size_t made = have;
    try {
      if (need > m_maxChunks) throw std::bad_alloc();
      for (; made < need; ++made) m_table[made] = Allocator::allocate(chunk_size());
    } catch (const std::bad_alloc&) {
      console::message(" clear data ");
      drop_new_chunks(have, made);
      console::message("caught bad alloc exception");
      throw std::bad_alloc();
    } catch (...) {
      console::unknown_exception();
      drop_new_chunks(have, made);
      throw;
    }
    m_chunkCount.store(need, std::memory_order_release);
  }

  void drop_new_chunks(std::size_t from, std::size_t to) noexcept {
    for (std::size_t c = from; c < to; ++c) {
      try {
        Allocator::release(m_table[c]);
      } catch (...) {
        m_table[c].release();  // leak rather than leave a half-freed chunk
      }
    }
  }

  // Releases chunks [keep, count) from the back; false if a release failed.
  // Chunks already freed before the failure are never reported as present:
  // the record count is clamped to what the remaining chunks hold.
  bool release_chunks(std::size_t keep) {
    for (std::size_t c = chunk_count(); c > keep; --c) {
      bool failed = false;
      try {
        Allocator::release(m_table[c - 1]);
      } catch (const std::bad_alloc&) {
        console::message("caught bad dealloc exception");
        failed = true;
      } catch (...) {
        console::unknown_exception();
        failed = true;
      }
      if (failed) {
        m_size.store(std::min(size(), c << m_shift), std::memory_order_release);
        return false;
      }
      m_chunkCount.store(c - 1, std::memory_order_release);
    }
    return true;
  }

  // Records cut off by a shrink go back to the empty state so that a later
  // growth into a kept chunk finds them empty.
  void reset_records(std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) (*this)[i] = T{};
  }

  unsigned m_shift;
  std::size_t m_mask;
  std::size_t m_maxChunks;
  std::unique_ptr<std::unique_ptr<T[]>[]> m_table;
  std::atomic<std::size_t> m_size{0};
  std::atomic<std::size_t> m_chunkCount{0};
};

}  // namespace TavoAlgorithm::grid

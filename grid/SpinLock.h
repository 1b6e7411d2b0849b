#pragma once
// Spin locks of the shared records (octree nodes, leaves, voxels, twin pool).
//
// A lock is an atomic integer: 0 free, 1 held, taken by compare-and-swap and
// released by storing 0. Waiting backs off exponentially: 1, 2, 4, 8 and 16
// pause rounds, then the thread yields before every further try, so a holder
// preempted on a busy machine gets the core back.
#include <atomic>
#include <thread>

namespace TavoAlgorithm::grid {

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Waiting state of one acquisition.
class SpinBackoff {
 public:
  void wait() {
    if (m_rounds <= kMaxSpinRounds) {
      for (int i = 0; i < m_rounds; ++i) cpu_pause();
      m_rounds *= 2;
    } else {
      std::this_thread::yield();
    }
  }

 private:
  static constexpr int kMaxSpinRounds = 16;
  int m_rounds = 1;
};

template <typename T>
inline bool spin_try_lock(std::atomic<T>& flag) {
  T expected = 0;
  return flag.compare_exchange_strong(expected, T{1}, std::memory_order_acquire,
                                      std::memory_order_relaxed);
}

template <typename T>
inline void spin_lock(std::atomic<T>& flag) {
  SpinBackoff backoff;
  while (!spin_try_lock(flag)) {
    // Test before the next exchange so waiters do not keep the line dirty.
    while (flag.load(std::memory_order_relaxed) != 0) backoff.wait();
  }
}

template <typename T>
inline void spin_unlock(std::atomic<T>& flag) {
  flag.store(T{0}, std::memory_order_release);
}

// Holds a lock byte (or word) for one scope and releases it on every way out,
// an exception included.
template <typename T>
class SpinGuard {
 public:
  explicit SpinGuard(std::atomic<T>& flag) : m_flag(flag) { spin_lock(flag); }
  ~SpinGuard() { spin_unlock(m_flag); }
  SpinGuard(const SpinGuard&) = delete;
  SpinGuard& operator=(const SpinGuard&) = delete;

 private:
  std::atomic<T>& m_flag;
};

// A lock member of a record. Copying a record yields an unlocked lock: the
// lock guards the original, not its value.
template <typename T>
class SpinLock {
 public:
  SpinLock() = default;
  SpinLock(const SpinLock&) {}
  SpinLock& operator=(const SpinLock&) { return *this; }

  // BasicLockable: std::lock_guard holds it for a scope.
  void lock() { spin_lock(m_flag); }
  void unlock() { spin_unlock(m_flag); }

 private:
  std::atomic<T> m_flag{0};
};

}  // namespace TavoAlgorithm::grid

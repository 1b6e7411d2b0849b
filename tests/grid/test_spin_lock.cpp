#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>

#include "Parallel.h"
#include "grid/SpinLock.h"

using TavoAlgorithm::grid::SpinGuard;
using TavoAlgorithm::grid::SpinLock;

TEST(SpinLock, AGuardReleasesOnEveryWayOutOfItsScope) {
  std::atomic<std::uint8_t> flag{0};
  {
    SpinGuard guard(flag);
    EXPECT_EQ(flag.load(), 1);
  }
  EXPECT_EQ(flag.load(), 0);
  EXPECT_THROW(
      {
        SpinGuard guard(flag);
        throw std::runtime_error("inside");
      },
      std::runtime_error);
  EXPECT_EQ(flag.load(), 0);

  // A copied record carries a free lock, even when the original's is held.
  SpinLock<int> held;
  held.lock();
  SpinLock<int> copy(held);
  std::lock_guard<SpinLock<int>> guard(copy);  // would spin forever if copied held
  held.unlock();
}

TEST(SpinLock, ContendedWorkersLoseNoUpdate) {
  constexpr int kWorkers = 8, kRounds = 20000;
  std::atomic<std::uint8_t> flag{0};
  SpinLock<int> lock;
  long long guarded = 0, locked = 0;
  TavoAlgorithm::auxilary_tbb_for(kWorkers, 0, kWorkers, [&](std::size_t) {
    for (int r = 0; r < kRounds; ++r) {
      {
        SpinGuard guard(flag);
        ++guarded;
      }
      std::lock_guard<SpinLock<int>> guard(lock);
      ++locked;
    }
  });
  EXPECT_EQ(guarded, static_cast<long long>(kWorkers) * kRounds);
  EXPECT_EQ(locked, static_cast<long long>(kWorkers) * kRounds);
}

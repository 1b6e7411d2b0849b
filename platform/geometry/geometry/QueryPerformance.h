#pragma once
// Microsecond stopwatch: microsecond() is the time since construction or the
// last reset(), from the monotonic clock.
#include <chrono>
#include <cstdint>

namespace TavoAlgorithm {

class CQueryPerformance {
 public:
  CQueryPerformance() { reset(); }
  void reset() { m_start = std::chrono::steady_clock::now(); }
  std::int64_t microsecond() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now() - m_start).count();
  }

 private:
  std::chrono::steady_clock::time_point m_start;
};

}  // namespace TavoAlgorithm

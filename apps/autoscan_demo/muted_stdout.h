#pragma once
// Keeps the library's own console lines out of a demo's report: while an
// object lives (and `mute` was true), standard output goes nowhere.
#include <iostream>
#include <sstream>

namespace autoscan_demo {

class MutedStdout {
 public:
  explicit MutedStdout(bool mute) : m_old(mute ? std::cout.rdbuf(m_sink.rdbuf()) : nullptr) {}
  ~MutedStdout() {
    if (m_old) std::cout.rdbuf(m_old);
  }
  MutedStdout(const MutedStdout&) = delete;
  MutedStdout& operator=(const MutedStdout&) = delete;

 private:
  std::ostringstream m_sink;
  std::streambuf* m_old;
};

}  // namespace autoscan_demo

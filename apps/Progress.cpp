#include "Progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace TavoAlgorithm::apps {

namespace {
constexpr double kLineSeconds = 0.5;
constexpr double kBarSeconds = 0.1;
constexpr int kBarWidth = 30;
}  // namespace

Progress::Progress(std::string item, long long total)
    : m_item(std::move(item)), m_total(std::max(total, 1LL)), m_terminal(::isatty(STDOUT_FILENO) == 1) {}

std::string Progress::count_text(long long done) const {
  return m_item + " " + std::to_string(done) + " of " + std::to_string(m_total);
}

void Progress::report(long long done, const std::string& detail) {
  const auto now = std::chrono::steady_clock::now();
  const double since = std::chrono::duration<double>(now - m_last).count();
  if (m_reported && done < m_total && since < (m_terminal ? kBarSeconds : kLineSeconds)) return;
  m_last = now;
  m_reported = true;
  const std::string text = count_text(done) + (detail.empty() ? "" : ": " + detail);
  if (!m_terminal) {
    std::cout << text << std::endl;
    return;
  }
  const int filled = static_cast<int>(kBarWidth * std::clamp(done, 0LL, m_total) / m_total);
  // Clear to the end of the line: the text may have become shorter.
  std::cout << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
            << std::string(static_cast<std::size_t>(kBarWidth - filled), '.') << "] " << text << "\x1b[K" << std::flush;
  m_barOpen = true;
}

void Progress::finish() {
  if (m_barOpen) std::cout << std::endl;
  m_barOpen = false;
}

}  // namespace TavoAlgorithm::apps

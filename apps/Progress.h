#pragma once
// Progress of a long run on standard output: "frame 3 of 10: <detail>" lines
// at most every half second (and at the last item), or, when standard output
// is a terminal, one bar redrawn in place.
#include <chrono>
#include <string>

namespace TavoAlgorithm::apps {

class Progress {
 public:
  // `item` names what is counted ("frame"); total > 0.
  Progress(std::string item, long long total);
  ~Progress() { finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // `done` items of the total are finished.
  void report(long long done, const std::string& detail = "");
  // Ends the bar's line (on a terminal); later reports start a new one.
  void finish();

  // "frame 3 of 10"
  std::string count_text(long long done) const;

 private:
  std::string m_item;
  long long m_total;
  bool m_terminal;
  bool m_barOpen = false;
  std::chrono::steady_clock::time_point m_last;
  bool m_reported = false;
};

}  // namespace TavoAlgorithm::apps

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "geometry/ConsoleLines.h"
#include "geometry/RangeScanIO.h"

using namespace TavoAlgorithm;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct Received {
  std::vector<std::pair<ConsoleLevel, std::string>> lines;
};

void keep(ConsoleLevel level, std::string_view text, void* user) {
  static_cast<Received*>(user)->lines.emplace_back(level, std::string(text));
}

void throwing(ConsoleLevel, std::string_view, void*) { throw std::runtime_error("host sink failed"); }

struct SinkGuard {
  ~SinkGuard() { platform_console::set_sink(nullptr, nullptr); }
};

}  // namespace

TEST(PlatformConsole, DefaultIsOneLocatedLineOnStdout) {
  CaptureStdout();
  const int line = __LINE__ + 1;
  TAVO_PLATFORM_ERROR("cannot open pose list");
  TAVO_PLATFORM_WARNING("w");
  EXPECT_EQ(GetCapturedStdout(), "tests/platform/geometry/test_console_lines.cpp " + std::to_string(line) +
                                     " Error: cannot open pose list\n"
                                     "tests/platform/geometry/test_console_lines.cpp " +
                                     std::to_string(line + 1) + " Warning: w\n");
}

TEST(PlatformConsole, HostSinkGetsTheStandInsLinesWithTheirLevelAndNullRestoresStdout) {
  Received got;
  {
    SinkGuard guard;
    platform_console::set_sink(keep, &got);
    CaptureStdout();
    // A real stand-in call: the scan reader refusing a missing list.
    std::vector<RangeData> scans;
    EXPECT_EQ(read_range_scans("/nonexistent/folder/x.conf", scans), RETVAL_FAILED);
    TAVO_PLATFORM_WARNING("w");
    EXPECT_EQ(GetCapturedStdout(), "");
  }
  ASSERT_EQ(got.lines.size(), 2u);
  EXPECT_EQ(got.lines[0].first, ConsoleLevel::Error);
  EXPECT_EQ(got.lines[0].second.rfind("platform/geometry/RangeScanIO.cpp ", 0), 0u) << got.lines[0].second;
  EXPECT_NE(got.lines[0].second.find(" Error: /nonexistent/folder/x.conf"), std::string::npos);
  EXPECT_EQ(got.lines[0].second.back(), '\n');
  EXPECT_EQ(got.lines[1].first, ConsoleLevel::Warning);

  CaptureStdout();
  TAVO_PLATFORM_ERROR("back");
  EXPECT_NE(GetCapturedStdout().find(" Error: back\n"), std::string::npos);
  EXPECT_EQ(got.lines.size(), 2u);
}

TEST(PlatformConsole, LinesFromManyThreadsArriveWholeAndAThrowingSinkDoesNotUnwind) {
  Received got;
  SinkGuard guard;
  platform_console::set_sink(keep, &got);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) TAVO_PLATFORM_ERROR("thread " + std::to_string(t) + " line " + std::to_string(i));
    });
  for (std::thread& th : threads) th.join();
  ASSERT_EQ(got.lines.size(), 1600u);
  std::vector<int> next(8, 0);
  for (const auto& [level, text] : got.lines) {
    const auto at = text.find(" Error: thread ");
    ASSERT_NE(at, std::string::npos) << text;
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(text.c_str() + at, " Error: thread %d line %d", &t, &i), 2) << text;
    ASSERT_TRUE(t >= 0 && t < 8);
    EXPECT_EQ(i, next[t]++);
    EXPECT_EQ(text.find('\n'), text.size() - 1);
  }

  platform_console::set_sink(throwing, nullptr);
  EXPECT_NO_THROW(TAVO_PLATFORM_ERROR("lost"));
}

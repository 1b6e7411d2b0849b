#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "ConsoleSink.h"
#include "RetVal.h"
#include "common/console.h"

using namespace TavoAlgorithm;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

TEST(Console, ReturnCodesAndTheFiveLineShapes) {
  // Callers compare numbers; 1 stays unused.
  EXPECT_EQ((std::vector<int>{RETVAL_SUCCESS, RETVAL_FAILED, RETVAL_NOT_READY, RETVAL_NO_MEMORY}),
            (std::vector<int>{0, 2, 3, 4}));
  EXPECT_EQ(sizeof(RetVal), 4u);

  CaptureStdout();
  console::error_at("common/voxelGpu/TavoVoxelGpu.h", 42, "TavoVoxelGpu is not init !!!!!!!!!!!!!!!!");
  console::warning_at("AutoScan/holes.cpp", 7, "none hole need scan !");
  console::gpu_error("invalid argument", "common/gpu/kernels.cu", 99);
  console::message("must set param first! ");
  console::elapsed_us(console::label::kMcUs, 1234567);
  const int line = __LINE__ + 1;
  TAVO_LOG_ERROR("rge is empty !");
  EXPECT_EQ(GetCapturedStdout(),
            "common/voxelGpu/TavoVoxelGpu.h 42 Error: TavoVoxelGpu is not init !!!!!!!!!!!!!!!!\n"
            "AutoScan/holes.cpp 7 Warning: none hole need scan !\n"
            "Error: invalid argument\tcommon/gpu/kernels.cu:99\n"
            "must set param first! \n"
            "Mc Time is:1234567\n" +
                std::string(__FILE__) + " " + std::to_string(line) + " Error: rge is empty !\n");

  CaptureStderr();
  CaptureStdout();
  console::unknown_exception();
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "unknown exception\n");
}

TEST(Console, MillisecondLinesCountProcessorMilliseconds) {
  // Less than a millisecond of processor time prints 0; a start one second of
  // ticks back prints 1000, whatever the clock's tick rate.
  CaptureStdout();
  console::elapsed_ms(console::label::kRebuildMesh, std::clock());
  console::elapsed_ms(console::label::kRebuildMesh, std::clock() - CLOCKS_PER_SEC);
  EXPECT_EQ(GetCapturedStdout(), "rebuild mesh cost:   0\nrebuild mesh cost:   1000\n");
}

namespace {

struct Received {
  std::vector<std::pair<ConsoleLevel, std::string>> lines;
};

void keep(ConsoleLevel level, std::string_view text, void* user) {
  static_cast<Received*>(user)->lines.emplace_back(level, std::string(text));
}

// Restores the default sink whatever the test does.
struct SinkGuard {
  ~SinkGuard() { set_console_sink(nullptr, nullptr); }
};

}  // namespace

TEST(Console, LocatedLinesNamePathsFromTheSourceRoot) {
  EXPECT_EQ(std::string(__FILE__), "tests/common/test_console.cpp");
  Received got;
  SinkGuard guard;
  set_console_sink(keep, &got);
  TAVO_LOG_WARNING("w");
  ASSERT_EQ(got.lines.size(), 1u);
  EXPECT_EQ(got.lines[0].second.rfind("tests/common/test_console.cpp ", 0), 0u) << got.lines[0].second;
}

TEST(Console, HostSinkReceivesEveryLineWithItsLevelAndNullRestoresStdout) {
  Received got;
  {
    SinkGuard guard;
    set_console_sink(keep, &got);
    CaptureStdout();
    CaptureStderr();
    console::error_at("fusion/a.cpp", 3, "bad");
    console::warning_at("fusion/a.cpp", 4, "odd");
    console::gpu_error("oom", "common/gpu/k.cu", 5);
    console::message("hello");
    console::text("two\nlines\n");
    console::unknown_exception();
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(GetCapturedStdout(), "");
  }
  const std::vector<std::pair<ConsoleLevel, std::string>> want = {
      {ConsoleLevel::Error, "fusion/a.cpp 3 Error: bad\n"},
      {ConsoleLevel::Warning, "fusion/a.cpp 4 Warning: odd\n"},
      {ConsoleLevel::Error, "Error: oom\tcommon/gpu/k.cu:5\n"},
      {ConsoleLevel::Info, "hello\n"},
      {ConsoleLevel::Info, "two\nlines\n"},
      {ConsoleLevel::Exception, "unknown exception\n"}};
  EXPECT_EQ(got.lines, want);

  CaptureStdout();
  console::message("back");
  EXPECT_EQ(GetCapturedStdout(), "back\n");
  EXPECT_EQ(got.lines.size(), want.size());
}

TEST(Console, LinesFromManyThreadsArriveWhole) {
  Received got;
  SinkGuard guard;
  set_console_sink(keep, &got);
  constexpr int kThreads = 8, kLines = 200;
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t)
    pool.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) console::warning_at("laser/t.cpp", t, "line " + std::to_string(i));
    });
  for (std::thread& th : pool) th.join();
  ASSERT_EQ(got.lines.size(), std::size_t(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const auto& [level, text] : got.lines) {
    EXPECT_EQ(level, ConsoleLevel::Warning);
    const int t = std::stoi(text.substr(std::string("laser/t.cpp ").size()));
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(text, "laser/t.cpp " + std::to_string(t) + " Warning: line " + std::to_string(next[t]++) + "\n");
  }
}

TEST(Console, ThrowingSinkLosesItsLineButNotTheCaller) {
  SinkGuard guard;
  set_console_sink([](ConsoleLevel, std::string_view, void*) { throw 1; }, nullptr);
  EXPECT_NO_THROW(console::message("dropped"));
}

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "grid/ChunkedRecordStore.h"

using namespace TavoAlgorithm;
using TavoAlgorithm::grid::ChunkedRecordStore;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

struct Record {
  int value = -1;  // empty state
};

// Counts live chunks and fails the allocation or release chosen by a test.
struct FaultyAllocator {
  static inline int live = 0;
  static inline int allocationsLeft = -1;  // < 0: never fail
  static inline bool throwOther = false;
  static inline bool failRelease = false;

  static std::unique_ptr<Record[]> allocate(std::size_t n) {
    if (allocationsLeft == 0) {
      if (throwOther) throw std::runtime_error("injected");
      throw std::bad_alloc();
    }
    if (allocationsLeft > 0) --allocationsLeft;
    ++live;
    return std::make_unique<Record[]>(n);
  }
  static void release(std::unique_ptr<Record[]>& c) {
    if (!c) return;
    if (failRelease) throw std::bad_alloc();
    c.reset();
    --live;
  }
};

using Store = ChunkedRecordStore<Record, FaultyAllocator>;
constexpr unsigned kShift = 2;  // four records per chunk

class RecordStoreTest : public testing::Test {
 protected:
  void SetUp() override { FaultyAllocator::live = 0; }
  void TearDown() override {
    FaultyAllocator::allocationsLeft = -1;
    FaultyAllocator::throwOther = FaultyAllocator::failRelease = false;
  }
};

}  // namespace

TEST_F(RecordStoreTest, ChunksFollowTheCountAndRecordsNeverMove) {
  Store s(kShift, 64);
  for (auto [n, chunks] : {std::pair<std::size_t, std::size_t>{0, 0}, {1, 1}, {4, 1}, {5, 2}, {9, 3}, {64, 16},
                           {3, 1}, {0, 0}}) {
    s.resize(n);
    EXPECT_EQ(s.size(), n);
    EXPECT_EQ(s.chunk_count(), chunks) << "n = " << n;
    EXPECT_EQ(FaultyAllocator::live, static_cast<int>(chunks));
  }
  s.resize(3);
  for (int i = 0; i < 3; ++i) s[i].value = i;
  const Record* first = &s[0];
  s.resize(200);
  EXPECT_EQ(&s[0], first);
  EXPECT_EQ(s[2].value, 2);
  for (std::size_t i = 3; i < 200; ++i) ASSERT_EQ(s[i].value, -1);
  // Records cut off by a shrink come back empty.
  s.resize(2);
  s.resize(3);
  EXPECT_EQ(s[2].value, -1);
  EXPECT_EQ(s[1].value, 1);
}

TEST_F(RecordStoreTest, FailedGrowthLeavesTheStoreAsItWas) {
  const struct {
    const char* name;
    std::size_t tableChunks, target;
    int allocationsLeft;
    bool other;
    const char* out;
    const char* err;
  } cases[] = {
      {"fourth new chunk fails", 64, 26, 3, false, " clear data \ncaught bad alloc exception\n", ""},
      {"beyond the chunk table", 2, 9, -1, false, " clear data \ncaught bad alloc exception\n", ""},
      {"other exception", 64, 26, 1, true, "", "unknown exception\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FaultyAllocator::allocationsLeft = -1;
    Store s(kShift, c.tableChunks);
    s.resize(6);
    s[5].value = 55;
    const int live = FaultyAllocator::live;
    FaultyAllocator::allocationsLeft = c.allocationsLeft;
    FaultyAllocator::throwOther = c.other;
    CaptureStdout();
    CaptureStderr();
    if (c.other) EXPECT_THROW(s.resize(c.target), std::runtime_error);
    else EXPECT_THROW(s.resize(c.target), std::bad_alloc);
    EXPECT_EQ(GetCapturedStderr(), c.err);
    EXPECT_EQ(GetCapturedStdout(), c.out);
    EXPECT_EQ(s.size(), 6u);
    EXPECT_EQ(s.chunk_count(), 2u);
    EXPECT_EQ(FaultyAllocator::live, live);  // what the call allocated is freed
    EXPECT_EQ(s[5].value, 55);
    FaultyAllocator::allocationsLeft = -1;
    s.resize(8);
    EXPECT_EQ(s.chunk_count(), 2u);
  }
}

TEST_F(RecordStoreTest, FailedReleaseStopsWithoutThrowing) {
  Store s(kShift, 64);
  s.resize(12);
  FaultyAllocator::failRelease = true;
  CaptureStdout();
  EXPECT_NO_THROW(s.resize(2));
  EXPECT_NO_THROW(s.clear());
  EXPECT_EQ(GetCapturedStdout(), "caught bad dealloc exception\ncaught bad dealloc exception\n");
  EXPECT_EQ(s.size(), 12u);
  EXPECT_EQ(s.chunk_count(), 3u);
  FaultyAllocator::failRelease = false;
  s.clear();
  EXPECT_EQ(s.size(), 0u);
  EXPECT_EQ(FaultyAllocator::live, 0);
}

TEST(RecordStoreConcurrency, ReadersSeeStableRecordsWhileOneWriterGrows) {
  ChunkedRecordStore<Record> s(4, 1024);
  s.resize(16);
  for (int i = 0; i < 16; ++i) s[i].value = i;
  std::atomic<bool> stop{false};
  std::atomic<long> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r)
    readers.emplace_back([&] {
      while (!stop.load())
        for (std::size_t i = 0, n = s.size(); i < 16 && i < n; ++i)
          if (s[i].value != static_cast<int>(i)) ++bad;
    });
  for (std::size_t n = 32; n <= 16 * 1024; n += 16) s.resize(n);
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(s.chunk_count(), 1024u);
}

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/record_store.h"

using namespace TavoAlgorithm;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

struct Record {
  int value = -1;  // empty state
  float weight = 0.f;
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
  static void reset() {
    live = 0;
    allocationsLeft = -1;
    throwOther = false;
    failRelease = false;
  }
};

using Store = ChunkedRecordStore<Record, FaultyAllocator>;
constexpr unsigned kShift = 2;  // four records per chunk

class RecordStoreTest : public testing::Test {
 protected:
  void SetUp() override { FaultyAllocator::reset(); }
  void TearDown() override { FaultyAllocator::reset(); }
};

}  // namespace

TEST_F(RecordStoreTest, ChunkCountFollowsRecordCount) {
  Store s(kShift, 16);
  const std::pair<std::size_t, std::size_t> cases[] = {{0, 0}, {1, 1}, {4, 1}, {5, 2}, {8, 2},
                                                       {9, 3}, {64, 16}, {3, 1}, {0, 0}};
  for (auto [n, chunks] : cases) {
    s.resize(n);
    EXPECT_EQ(s.size(), n);
    EXPECT_EQ(s.chunk_count(), chunks) << "n = " << n;
    EXPECT_EQ(FaultyAllocator::live, static_cast<int>(chunks));
  }
}

TEST_F(RecordStoreTest, RecordsNeverMoveAndStartEmpty) {
  Store s(kShift, 64);
  s.resize(3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(s[i].value, -1);
    s[i].value = i;
  }
  const Record* first = &s[0];
  s.resize(200);
  EXPECT_EQ(&s[0], first);
  EXPECT_EQ(s[2].value, 2);
  for (std::size_t i = 3; i < 200; ++i) ASSERT_EQ(s[i].value, -1);

  // Records cut off by a shrink come back empty.
  s[2].value = 7;
  s.resize(2);
  s.resize(3);
  EXPECT_EQ(s[2].value, -1);
  EXPECT_EQ(s[1].value, 1);
}

TEST_F(RecordStoreTest, FailedGrowthLeavesStoreUnchanged) {
  Store s(kShift, 64);
  s.resize(6);
  s[5].value = 55;
  FaultyAllocator::allocationsLeft = 3;  // the fourth new chunk fails
  CaptureStdout();
  EXPECT_THROW(s.resize(6 + 4 * 5), std::bad_alloc);
  EXPECT_EQ(GetCapturedStdout(), " clear data \ncaught bad alloc exception\n");
  EXPECT_EQ(s.size(), 6u);
  EXPECT_EQ(s.chunk_count(), 2u);
  EXPECT_EQ(FaultyAllocator::live, 2);  // the three new chunks were freed
  EXPECT_EQ(s[5].value, 55);

  FaultyAllocator::allocationsLeft = -1;
  s.resize(9);
  EXPECT_EQ(s.chunk_count(), 3u);
}

TEST_F(RecordStoreTest, GrowthBeyondTheTableIsMemoryFailure) {
  Store s(kShift, 2);
  s.resize(8);
  CaptureStdout();
  EXPECT_THROW(s.resize(9), std::bad_alloc);
  EXPECT_EQ(GetCapturedStdout(), " clear data \ncaught bad alloc exception\n");
  EXPECT_EQ(s.size(), 8u);
  EXPECT_EQ(s.max_size(), 8u);
}

TEST_F(RecordStoreTest, OtherAllocationFailureIsRethrown) {
  Store s(kShift, 64);
  s.resize(1);
  FaultyAllocator::allocationsLeft = 1;
  FaultyAllocator::throwOther = true;
  CaptureStdout();
  CaptureStderr();
  EXPECT_THROW(s.resize(12), std::runtime_error);
  EXPECT_EQ(GetCapturedStderr(), "unknown exception\n");
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(s.size(), 1u);
  EXPECT_EQ(s.chunk_count(), 1u);
  EXPECT_EQ(FaultyAllocator::live, 1);
}

TEST_F(RecordStoreTest, FailedReleaseStopsWithoutThrowing) {
  Store s(kShift, 64);
  s.resize(12);
  FaultyAllocator::failRelease = true;
  CaptureStdout();
  EXPECT_NO_THROW(s.resize(2));
  EXPECT_EQ(GetCapturedStdout(), "caught bad dealloc exception\n");
  EXPECT_EQ(s.size(), 12u);
  EXPECT_EQ(s.chunk_count(), 3u);
  CaptureStdout();
  EXPECT_NO_THROW(s.clear());
  EXPECT_EQ(GetCapturedStdout(), "caught bad dealloc exception\n");
  EXPECT_EQ(s.size(), 12u);
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
      while (!stop.load()) {
        const std::size_t n = s.size();
        for (std::size_t i = 0; i < 16 && i < n; ++i)
          if (s[i].value != static_cast<int>(i)) ++bad;
      }
    });
  for (std::size_t n = 32; n <= 16 * 1024; n += 16) s.resize(n);
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(s.chunk_count(), 1024u);
}

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Parallel.h"

using namespace TavoAlgorithm;

TEST(AuxilaryTbbFor, RunsEachIndexOnceWithinTheWorkerLimit) {
  std::vector<std::atomic<int>> hits(1000);
  auxilary_tbb_for(4, 0, hits.size(), [&](std::size_t i) { hits[i]++; });
  for (const auto& h : hits) EXPECT_EQ(h.load(), 1);
  int calls = 0;
  auxilary_tbb_for(4, 7, 7, [&](std::size_t) { ++calls; });
  auxilary_tbb_for(4, 9, 3, [&](std::size_t) { ++calls; });
  EXPECT_EQ(calls, 0);

  for (int limit : {1, 2, 3}) {
    std::atomic<int> running{0}, peak{0};
    std::mutex m;
    std::set<std::thread::id> threads;
    auxilary_tbb_for(limit, 0, 48, [&](std::size_t) {
      const int now = ++running;
      for (int p = peak.load(); now > p && !peak.compare_exchange_weak(p, now);) {
      }
      {
        std::lock_guard<std::mutex> lock(m);
        threads.insert(std::this_thread::get_id());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      --running;
    });
    EXPECT_LE(peak.load(), limit) << "limit " << limit;
    // One slot is the caller's, so a limit of 1 keeps all work on this thread.
    if (limit == 1) EXPECT_EQ(threads, std::set<std::thread::id>{std::this_thread::get_id()});
  }
}

TEST(AuxilaryTbbFor, PropagatesExceptionsAndRejectsEmptyBody) {
  const auto body = [](std::size_t i) {
    if (i == 37) throw std::runtime_error("boom");
  };
  EXPECT_THROW(auxilary_tbb_for(2, 0, 100, body), std::runtime_error);
  EXPECT_THROW(auxilary_tbb_for(2, 0, 10, std::function<void(std::size_t)>()), std::bad_function_call);
}

TEST(ProgressMarks, SmallDegenerateAndLargePhases) {
  std::vector<int> marks{99};
  EXPECT_EQ(get_proc_bar_number(10, 5, marks), 4);
  EXPECT_EQ(marks, (std::vector<int>{4, 3, 2, 1}));
  for (auto [span, items] : {std::pair{70, 0}, {70, 1}, {0, 100}, {-5, 100}}) {
    EXPECT_EQ(get_proc_bar_number(span, items, marks), 0) << span << " " << items;
    EXPECT_TRUE(marks.empty());
  }
  ASSERT_EQ(get_proc_bar_number(70, 1000, marks), 69);
  for (std::size_t k = 0; k < marks.size(); ++k)  // stored largest first
    EXPECT_EQ(marks[k], static_cast<int>(static_cast<float>(69 - k) / 70.f * 1000.f));
  EXPECT_EQ(marks.back(), 14);
}

namespace {
// Runs a phase item by item; returns the reports and the items they came at.
std::pair<std::vector<int>, std::vector<int>> run_sequential(int span, int items, int base) {
  std::vector<int> marks, reports, at;
  const int markCount = get_proc_bar_number(span, items, marks);
  std::atomic<int> done{0};
  for (int i = 0; i < items; ++i)
    process_bar_run(done, marks, span, markCount, base, [&](int p) {
      reports.push_back(p);
      at.push_back(i + 1);
    });
  EXPECT_TRUE(marks.empty());
  EXPECT_EQ(done.load(), items);
  return {reports, at};
}
}  // namespace

TEST(ProgressReports, SequentialPhasesEndAtBasePlusSpan) {
  EXPECT_EQ(run_sequential(10, 5, 50).first, (std::vector<int>{52, 55, 57, 60}));
  const auto [r, at] = run_sequential(70, 1000, 0);
  ASSERT_EQ(r.size(), 69u);
  EXPECT_EQ(std::make_pair(r.front(), at.front()), std::make_pair(1, 15));
  EXPECT_EQ(std::make_pair(r.back(), at.back()), std::make_pair(70, 986));
  for (auto [span, base] : {std::pair{50, 0}, {10, 50}, {40, 60}, {70, 0}, {20, 70}})
    for (int n : {2, 7, 33, 500}) {
      const std::vector<int> rep = run_sequential(span, n, base).first;
      if (!rep.empty()) EXPECT_EQ(rep.back(), base + span) << span << " " << n;
    }
  EXPECT_TRUE(run_sequential(70, 1, 0).first.empty());
}

TEST(ProgressReports, ConcurrentWorkersConsumeEveryMarkOnceInOrder) {
  for (int round = 0; round < 5; ++round) {
    const int items = 20000, span = 100;
    std::vector<int> marks, reports;
    const int markCount = get_proc_bar_number(span, items, marks);
    std::atomic<int> done{0};
    std::mutex m;
    auxilary_tbb_for(8, 0, items, [&](std::size_t) {
      process_bar_run(done, marks, span, markCount, 0, [&](int p) {
        std::lock_guard<std::mutex> lock(m);
        reports.push_back(p);
      });
    });
    EXPECT_EQ(done.load(), items);
    EXPECT_TRUE(marks.empty());
    ASSERT_EQ(static_cast<int>(reports.size()), markCount);
    for (std::size_t i = 1; i < reports.size(); ++i) ASSERT_LT(reports[i - 1], reports[i]);
    EXPECT_EQ(reports.back(), span);
  }
}

// A report that waits for another phase's worker must not stall it: no
// lock is held while a report runs.
TEST(ProgressReports, AReportNeverBlocksAnotherPhase) {
  std::vector<int> marksA, marksB;
  const int countA = get_proc_bar_number(10, 5, marksA), countB = get_proc_bar_number(10, 5, marksB);
  std::atomic<int> doneA{0}, doneB{0};
  std::promise<void> bFinished;
  std::future<void> bSeen = bFinished.get_future();
  bool otherPhaseRan = false;
  std::vector<int> reportsB;
  process_bar_run(doneA, marksA, 10, countA, 0, [](int) {});  // no mark yet
  std::thread b;
  process_bar_run(doneA, marksA, 10, countA, 0, [&](int) {
    b = std::thread([&] {
      for (int i = 0; i < 5; ++i) process_bar_run(doneB, marksB, 10, countB, 50, [&](int p) { reportsB.push_back(p); });
      bFinished.set_value();
    });
    otherPhaseRan = bSeen.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  });
  b.join();
  EXPECT_TRUE(otherPhaseRan);
  EXPECT_EQ(reportsB, (std::vector<int>{52, 55, 57, 60}));
}

// A report may run a phase of its own on its thread.
TEST(ProgressReports, AReportMayRunANestedPhase) {
  std::vector<int> outer, inner, nested;
  std::atomic<int> doneOuter{0};
  const int countOuter = get_proc_bar_number(10, 5, outer);
  for (int i = 0; i < 5; ++i)
    process_bar_run(doneOuter, outer, 10, countOuter, 0, [&](int p) {
      std::vector<int> m;
      std::atomic<int> d{0};
      const int c = get_proc_bar_number(10, 2, m);
      for (int k = 0; k < 2; ++k) process_bar_run(d, m, 10, c, 0, [&](int q) { inner.push_back(q); });
      nested.push_back(p);
    });
  EXPECT_EQ(nested, (std::vector<int>{2, 5, 7, 10}));
  EXPECT_EQ(inner.size(), 4u);
}

#include "Parallel.h"

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "common/fork_join_edges.h"

namespace TavoAlgorithm {
namespace {
// One arena per worker count and calling thread, made on first use and kept
// until the thread ends: setting up and tearing down an arena per loop costs
// tens of microseconds, which per-frame loops of a millisecond cannot spare.
// Per thread, so that concurrent callers never queue for one another's
// arena slots, just as with an arena per call.
tbb::task_arena& arena_for(int threadNum) {
  thread_local std::map<int, std::unique_ptr<tbb::task_arena>> arenas;
  std::unique_ptr<tbb::task_arena>& arena = arenas[threadNum];
  if (!arena) {
    arena = std::make_unique<tbb::task_arena>(threadNum, 1);
    arena->initialize();
  }
  return *arena;
}
}  // namespace

void auxilary_tbb_for(int threadNum, std::size_t begin, std::size_t end,
                      std::function<void(std::size_t)> body) {
  if (begin >= end) return;
  if (!body) throw std::bad_function_call();
  // With one worker, or one index, the caller's reserved slot is all that an
  // arena would use: run in place and spare the arena's set-up and wake-ups.
  if (threadNum <= 1 || end - begin == 1) {
    for (std::size_t i = begin; i != end; ++i) body(i);
    return;
  }
  ForkJoinEdges edges;
  tbb::task_arena& arena = arena_for(threadNum);
  edges.fork();
  arena.execute([&] {
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(begin, end, 1),
        [&](const tbb::blocked_range<std::size_t>& r) {
          edges.enter();
          for (std::size_t i = r.begin(); i != r.end(); ++i) body(i);
          edges.leave();
        },
        tbb::auto_partitioner());
  });
  edges.join();
}

int get_proc_bar_number(int span, int itemCount, std::vector<int>& marks) {
  marks.clear();
  int last = 0;
  for (int i = 0; i < span; ++i) {
    const int v = static_cast<int>(static_cast<float>(i) / static_cast<float>(span) *
                                   static_cast<float>(itemCount));
    if (v > last) {
      last = v;
      marks.push_back(v);
    }
  }
  std::reverse(marks.begin(), marks.end());
  return static_cast<int>(marks.size());
}

namespace {
// Reports of one phase (one marks list) waiting for delivery. A report is
// never made under the lock, so a callback may block or start a phase of
// its own; the one worker delivering a phase's reports delivers them in the
// order their marks were consumed.
struct PhaseReports {
  std::deque<std::pair<std::function<void(int)>, int>> queue;
  bool delivering = false;
};

std::mutex& progress_mutex() {
  static std::mutex m;
  return m;
}

// Keyed by the phase's marks list; references stay valid while others are
// added, and an entry is erased only by its deliverer.
std::unordered_map<const void*, PhaseReports>& pending_reports() {
  static std::unordered_map<const void*, PhaseReports> m;
  return m;
}
}  // namespace

void process_bar_run(std::atomic<int>& done, std::vector<int>& marks, int span, int markCount,
                     int base, std::function<void(int)> report) {
  // Counting inside the lock keeps the counts and the mark test in one order:
  // otherwise a worker holding an earlier count could reach the marks after a
  // later one, and that mark would never be consumed.
  std::unique_lock<std::mutex> lock(progress_mutex());
  const int old = done.fetch_add(1);
  if (marks.empty() || old != marks.back()) return;
  marks.pop_back();
  const int remaining = static_cast<int>(marks.size());
  const int progress = static_cast<int>(static_cast<float>(markCount - remaining) /
                                            static_cast<float>(markCount) *
                                            static_cast<float>(span) +
                                        static_cast<float>(base));
  if (!report) return;
  PhaseReports& phase = pending_reports()[&marks];
  phase.queue.emplace_back(std::move(report), progress);
  if (phase.delivering) return;
  phase.delivering = true;
  auto finish = [&] { pending_reports().erase(&marks); };
  while (!phase.queue.empty()) {
    auto next = std::move(phase.queue.front());
    phase.queue.pop_front();
    lock.unlock();
    try {
      next.first(next.second);
    } catch (...) {
      lock.lock();
      finish();
      throw;
    }
    lock.lock();
  }
  finish();
}

}  // namespace TavoAlgorithm

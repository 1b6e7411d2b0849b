#pragma once
// Parallel index loops and progress reporting shared by every batch operation.
#include <atomic>
#include <cstddef>
#include <functional>
#include <vector>

#include "TavoExport.h"

namespace TavoAlgorithm {

// Calls body(i) for every i in [begin, end) on a task arena of at most
// threadNum workers (one slot kept for the calling thread) and returns when all
// calls have returned. An exception thrown by body reaches the caller; an
// empty body throws std::bad_function_call. threadNum <= 0 means one worker.
TAVO_API void auxilary_tbb_for(int threadNum, std::size_t begin, std::size_t end,
                               std::function<void(std::size_t)> body);

// Fills marks with the finished-item counts at which a phase of `span` percent
// over itemCount items advances, largest first, and returns how many there are.
TAVO_API int get_proc_bar_number(int span, int itemCount, std::vector<int>& marks);

// Called by a worker right after it finishes one item: counts it in `done` and,
// when that reaches the next mark, reports base + the phase's share of span.
// Marks are consumed exactly once and the reports of one marks list arrive in
// increasing order, on a worker thread of the phase, never under a lock: a
// report may block or run a phase of its own. Thread-safe for concurrent
// callers.
TAVO_API void process_bar_run(std::atomic<int>& done, std::vector<int>& marks, int span,
                              int markCount, int base, std::function<void(int)> report);

}  // namespace TavoAlgorithm

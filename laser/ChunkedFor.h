#pragma once
// An index loop in chunks, one task per chunk, so that a task can keep state
// (a node cache) across the indices of its chunk.
#include <algorithm>
#include <cstddef>

#include "Parallel.h"

namespace TavoAlgorithm {

// body(begin, end) over [0, n) in chunks of `chunk` indices, on up to
// `workers` workers.
template <typename F>
void for_chunks(int workers, std::size_t n, std::size_t chunk, F&& body) {
  auxilary_tbb_for(workers, 0, (n + chunk - 1) / chunk,
                   [&](std::size_t k) { body(k * chunk, std::min(n, (k + 1) * chunk)); });
}

}  // namespace TavoAlgorithm

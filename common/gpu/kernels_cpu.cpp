// CPU back end: one parallel loop over the rows (y, z) of a cell's extent.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "common/fork_join_edges.h"
#include "common/gpu/cell_launch.h"

namespace TavoGPUAlgorithm::cpu_backend {
namespace {

template <class Cell>
void run_cells(const Cell& cell) {
  const Dim3i e = cell.extent();
  if (e.x <= 0 || e.y <= 0 || e.z <= 0) return;
  const long long rows = static_cast<long long>(e.y) * e.z;
  TavoAlgorithm::ForkJoinEdges edges;
  edges.fork();
  tbb::parallel_for(tbb::blocked_range<long long>(0, rows), [&](const tbb::blocked_range<long long>& r) {
    edges.enter();
    for (long long row = r.begin(); row != r.end(); ++row) {
      const int y = static_cast<int>(row % e.y);
      const int z = static_cast<int>(row / e.y);
      for (int x = 0; x < e.x; ++x) cell(x, y, z);
    }
    edges.leave();
  });
  edges.join();
}

}  // namespace

#define TAVO_DEFINE_RUN(T) \
  void run(const T& cell) { run_cells(cell); }
TAVO_FOR_EACH_CELL_TYPE(TAVO_DEFINE_RUN)
#undef TAVO_DEFINE_RUN

}  // namespace TavoGPUAlgorithm::cpu_backend

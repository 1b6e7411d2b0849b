// Topology building and shell flooding on a 1M-face grid mesh; both must stay
// linear in the face count, so the time per face is reported.
#include <benchmark/benchmark.h>

#include "MeshShells.h"
#include "OrvaneSimpleTopos.h"
#include "mesh_shapes.h"

using namespace TavoAlgorithm;

namespace {

// 708^2 squares, two faces each: just over one million faces.
constexpr int kGridSide = 708;

const BaseTriMesh& million_face_mesh() {
  static const BaseTriMesh mesh = [] {
    BaseTriMesh m;
    test::add_grid(m, kGridSide, Eigen::Vector3f::Zero());
    return m;
  }();
  return mesh;
}

void report_per_face(benchmark::State& state, int faces) {
  state.counters["faces"] = faces;
  state.counters["time_per_face"] =
      benchmark::Counter(double(faces), benchmark::Counter::kIsIterationInvariantRate |
                                            benchmark::Counter::kInvert);
}

void BM_BuildTopo(benchmark::State& state) {
  const BaseTriMesh& mesh = million_face_mesh();
  OrvaneSimpleTopos topo;
  for (auto _ : state) {
    topo.build_topo(mesh, 1);
    benchmark::DoNotOptimize(topo.edge_table().data());
  }
  report_per_face(state, mesh.get_fn());
}

void BM_FindShellsAndBorder(benchmark::State& state) {
  const BaseTriMesh& mesh = million_face_mesh();
  std::vector<std::vector<std::int32_t>> shells;
  std::vector<std::int32_t> border;
  for (auto _ : state) {
    find_baseTriMesh_shells_border_faces(mesh, shells, border);
    benchmark::DoNotOptimize(shells.data());
  }
  report_per_face(state, mesh.get_fn());
}

void BM_RemoveSmallShell(benchmark::State& state) {
  const BaseTriMesh& mesh = million_face_mesh();
  TriMesh base;
  BaseTriMesh_convert_to_TriMesh(mesh, base);
  for (auto _ : state) {
    state.PauseTiming();
    TriMesh copy = base;
    state.ResumeTiming();
    remove_small_shell(copy, 10);
    benchmark::DoNotOptimize(copy.n_faces());
  }
  report_per_face(state, mesh.get_fn());
}

}  // namespace

BENCHMARK(BM_BuildTopo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindShellsAndBorder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoveSmallShell)->Unit(benchmark::kMillisecond);

#pragma once
// One fusion run per side: our FusionMeshHelper and Open3D's
// ScalableTSDFVolume, fed the same frames, each in its own child process so
// that peak memory is its own and neither inherits the other's heap.
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "BenchFrames.h"

namespace TavoAlgorithm::bench {

struct RunSetup {
  float voxel = 1.f;
  float sdfTrunc = 1.5f;  // the peer's truncation, matched to our update band
  int threads = 1;
  sim::Camera camera;
  const FrameSet* frames = nullptr;
  const ReferenceObject* reference = nullptr;
  // When set, also time the incremental road with this one extra frame.
  const FrameSet* extra = nullptr;
  bool accuracy = true;  // measure the distances to the reference
  int sampleStep = 0;    // ours: frame sampling grid step, 0 = every point
};

struct RunResult {
  bool ok = false;
  double integrateMs = 0, extractMs = 0;
  // CPU time of the whole process over integration and extraction: on a
  // shared machine it moves less than the wall clock.
  double cpuMs = 0;
  double peakMiB = 0;  // rise of the resident high-water mark during the run
  long long voxels = 0, faces = 0;
  DistanceSummary toReference;    // fused mesh vertices to the reference
  DistanceSummary fromReference;  // reference vertices to the fused mesh
  // Ours: add the extra frame and extract; then withdraw it and extract.
  // Peer: fuse all frames and the extra one from scratch and extract.
  double addFrameMs = 0, popFrameMs = 0;
};

RunResult run_ours(const RunSetup& setup);
RunResult run_open3d(const RunSetup& setup);

// Runs `body` in a forked child and returns what it returned (ok = false
// when the child failed).
RunResult run_isolated(const std::function<RunResult()>& body);

// Open3D sizes its loops from OMP_NUM_THREADS alone, read by OpenMP at
// start-up: when it differs from `threads`, sets it and executes the program
// again (returns only on failure, false). True when it already holds.
bool restart_with_threads(int threads, char** argv);

// "1,2.5,4" as numbers (empty items skipped), for the benches' list options.
template <typename T>
std::vector<T> parse_list(const std::string& s) {
  std::vector<T> out;
  std::stringstream in(s);
  std::string item;
  while (std::getline(in, item, ','))
    if (!item.empty()) out.push_back(static_cast<T>(std::atof(item.c_str())));
  return out;
}

// The "model name" of /proc/cpuinfo.
std::string cpu_model();

// Load averages over 1, 5 and 15 minutes, as /proc/loadavg lists them.
std::string load_average();

}  // namespace TavoAlgorithm::bench

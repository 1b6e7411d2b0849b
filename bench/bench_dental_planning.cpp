// One dental planning step (get_scanPath over the 468 candidates of step 10,
// tilts 0 ... 120, the simulated rig) on balls of about 20k, 100k and 200k
// faces with a slanted cap cut open, and the share of candidates that the
// lazy greedy search spared from rendering a bound and from exact scoring.
// The planner's bounds (the hole faces alone, at full size) against the
// whole-mesh bounds rendered at a quarter of the image side, the planners'
// bound before, measured in the same run on every model. Wall time on a
// shared machine is noisy; the process's CPU time (the rasteriser's threads
// included) is the steadier figure. The closed-loop comparison
// of the strategies is the dental rig of autoscan_demo.
//   bench_dental_planning [largest face count, default 200000]
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "DentalGetScanPathHelper.h"
#include "DentalRig.h"
#include "MeshShells.h"
#include "SceneMeshes.h"

using namespace TavoAlgorithm;
using Clock = std::chrono::steady_clock;

namespace {

BaseTriMesh open_ball(int slices) {
  BaseTriMesh full;
  sim::add_uv_sphere(full, Eigen::Vector3f(0, 0, 16), 15.f, slices, slices / 2 + 1);
  BaseTriMesh out;
  out.set_vCoords(std::vector<Eigen::Vector3f>(full.get_vCoords()));
  std::vector<BaseTriFace> faces;
  for (const BaseTriFace& f : full.get_faces()) {
    Eigen::Vector3f c = Eigen::Vector3f::Zero();
    for (int k = 0; k < 3; ++k) c += full.get_vCoord(f[k]) / 3;
    if (c.z() < 26.f - 0.3f * c.x()) faces.push_back(f);
  }
  out.set_faces(std::move(faces));
  squeeze_baseTriMesh(out);
  return out;
}

struct Step {
  RetVal result = RETVAL_FAILED;
  double seconds = 0.0;
  double cpuSeconds = 0.0;  // all threads of the process, the rasteriser's included
  std::int32_t rotation = 0, tilt = 0;
  float value = 0.f;
  EmulateBinHelper::SelectionStats stats;
  std::string error;
};

// One get_scanPath on a fresh planner, with its own bounds or with
// whole-mesh bounds at a quarter of the image side.
Step plan_once(const BaseTriMesh& mesh, bool wholeMeshBounds) {
  const sim::DentalRig rig = sim::default_dental_rig();
  DentalAutoScanParam p;
  p.clipZ = 1.5f;
  p.planVoxelSize = 0.5f;
  p.minShellSize = 50;
  DentalGetScanPathHelper helper;
  Step step;
  std::ostringstream sink;
  std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
  step.result = helper.set_param(p, rig.camera, rig.axis, step.error);
  if (step.result == RETVAL_SUCCESS) {
    if (wholeMeshBounds) {
      helper.renderer()->set_hole_face_bounds(false);
      helper.renderer()->set_bound_image_divisor(4);
    }
    helper.send_scan_mesh(&mesh);
    const Clock::time_point start = Clock::now();
    const std::clock_t cpuStart = std::clock();
    step.result = helper.get_scanPath(step.rotation, step.tilt, step.value, false);
    step.cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    step.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    step.stats = helper.renderer()->last_selection_stats();
  }
  std::cout.rdbuf(old);
  return step;
}

void print(const char* bounds, int faces, const Step& s) {
  if (s.result != RETVAL_SUCCESS) {
    std::printf("%d,%s,-,-,-,-,-,-,-,- (planner result %d: %s)\n", faces, bounds, s.result, s.error.c_str());
    return;
  }
  const auto& st = s.stats;
  auto spared = [&](int scored) { return st.candidates > 0 ? 1.0 - static_cast<double>(scored) / st.candidates : 0.0; };
  std::printf("%d,%s,%d,%.2f,%.2f,%d,%d,%.3f,%.3f,%d/%d/%.0f\n", faces, bounds, st.candidates, s.seconds, s.cpuSeconds,
              st.boundsScored, st.exactScored, spared(st.boundsScored), spared(st.exactScored),
              s.rotation, s.tilt, s.value);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const long largest = argc > 1 ? std::atol(argv[1]) : 200000;
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3) std::printf("load average at start: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  std::printf("faces,bounds,candidates,plan_s,plan_cpu_s,bound_scored,exact_scored,bound_spared,exact_spared,rotation/tilt/value\n");
  // Faces of a uv ball: 2 * slices * (slices / 2); the cap takes about 15%:
  // about 22k, 110k and 220k faces.
  for (int slices : {160, 360, 510}) {
    const BaseTriMesh mesh = open_ball(slices);
    if (mesh.get_fn() > largest * 1.2) break;
    const Step holes = plan_once(mesh, false);
    print("hole faces 1280x960", mesh.get_fn(), holes);
    const Step whole = plan_once(mesh, true);
    print("whole mesh 320x240", mesh.get_fn(), whole);
    if (holes.result == RETVAL_SUCCESS && whole.result == RETVAL_SUCCESS && holes.cpuSeconds > 0.0)
      std::printf("whole-mesh bounds / hole-face bounds: %.2fx the CPU time, %.2fx the wall time\n",
                  whole.cpuSeconds / holes.cpuSeconds, whole.seconds / std::max(holes.seconds, 1e-9));
  }
  if (getloadavg(load, 3) == 3) std::printf("load average at end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  return 0;
}

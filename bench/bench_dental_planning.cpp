// One dental planning step (get_scanPath over the 468 candidates of step 10,
// tilts 0 ... 120, the simulated rig) on balls of about 20k, 100k and 200k
// faces with a slanted cap cut open, and the share of candidates that the
// lazy greedy search spared from exact scoring. The closed-loop comparison
// of the strategies is the dental rig of autoscan_demo.
//   bench_dental_planning [largest face count, default 200000]
#include <chrono>
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

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const long largest = argc > 1 ? std::atol(argv[1]) : 200000;
  const sim::DentalRig rig = sim::default_dental_rig();
  DentalAutoScanParam p;
  p.clipZ = 1.5f;
  p.planVoxelSize = 0.5f;
  p.minShellSize = 50;
  std::printf("faces,candidates,plan_s,bound_scored,exact_scored,spared_share\n");
  // Faces of a uv ball: 2 * slices * (slices / 2); the cap takes about 15%:
  // about 22k, 110k and 220k faces.
  for (int slices : {160, 360, 510}) {
    const BaseTriMesh mesh = open_ball(slices);
    if (mesh.get_fn() > largest * 1.2) break;
    DentalGetScanPathHelper helper;
    std::string err;
    std::ostringstream sink;
    std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
    const RetVal set = helper.set_param(p, rig.camera, rig.axis, err);
    helper.send_scan_mesh(&mesh);
    std::int32_t r = 0, t = 0;
    float value = 0.f;
    const Clock::time_point start = Clock::now();
    const RetVal planned = set == RETVAL_SUCCESS ? helper.get_scanPath(r, t, value, false) : set;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::cout.rdbuf(old);
    if (planned != RETVAL_SUCCESS) {
      std::printf("%d,-,-,-,-,- (planner result %d: %s)\n", mesh.get_fn(), planned, err.c_str());
      continue;
    }
    const auto& s = helper.renderer()->last_selection_stats();
    std::printf("%d,%d,%.2f,%d,%d,%.3f\n", mesh.get_fn(), s.candidates, seconds, s.boundsScored, s.exactScored,
                s.candidates > 0 ? 1.0 - static_cast<double>(s.exactScored) / s.candidates : 0.0);
  }
  return 0;
}

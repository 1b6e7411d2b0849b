// Time of one evaluate_pose and of select_best_candidate over 468 candidates
// on a sphere model of about 200k faces, and the share of candidates that the
// lazy bound spared from exact scoring.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "SceneMeshes.h"
#include "common/gpu/device_memory.h"

using namespace TavoAlgorithm;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kCandidates = 468;
constexpr int kSlices = 448, kStacks = 224;  // 199 808 faces
constexpr float kRadius = 60.f, kOrbit = 300.f, kBaseline = 60.f;
constexpr int kRounds = 2;

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line shows up as soon as it is measured
  BaseTriMesh mesh;
  sim::add_uv_sphere(mesh, Eigen::Vector3f::Zero(), kRadius, kSlices, kStacks);
  // Every fifth band of faces stands for hole faces.
  std::vector<int> mask(mesh.get_fn() / 32 + 1, 0);
  for (int f = 0; f < mesh.get_fn(); ++f)
    if ((f / (2 * kSlices)) % 5 == 0) mask[f / 32] |= static_cast<int>(1u << (f % 32));

  std::vector<float> eyes, centers, ups;
  for (int i = 0; i < kCandidates; ++i) {
    const double z = 1.0 - 1.9 * (i + 0.5) / kCandidates, phi = 2.39996 * i;
    const double s = std::sqrt(1.0 - z * z);
    const Eigen::Vector3f dir(float(s * std::cos(phi)), float(s * std::sin(phi)), float(z));
    const Eigen::Vector3f up = std::abs(z) > 0.9 ? Eigen::Vector3f::UnitX() : Eigen::Vector3f::UnitZ();
    const Eigen::Vector3f side = dir.cross(up).normalized();
    const Eigen::Vector3f eye = kOrbit * dir;
    const Eigen::Vector3f half = 0.5f * kBaseline * side;
    for (const Eigen::Vector3f& e : {eye, Eigen::Vector3f(eye - half), Eigen::Vector3f(eye + half)}) {
      eyes.insert(eyes.end(), {e.x(), e.y(), e.z()});
      centers.insert(centers.end(), {0.f, 0.f, 0.f});
      ups.insert(ups.end(), {up.x(), up.y(), up.z()});
    }
  }

  EmulateBinHelper renderer(1.0);
  std::string err;
  if (!renderer.init_opengl(err) || !renderer.set_scan_poses(eyes, centers, ups, {0.5f, 0.5f}, err)) {
    std::printf("no renderer: %s\n", err.c_str());
    return 1;
  }
  renderer.set_scoring_mesh(mesh, mask);
  renderer.set_mesh_box();
  std::printf("back end %s, %d faces, %d candidates\n",
              TavoGPUAlgorithm::backend_name(TavoGPUAlgorithm::active_backend()), mesh.get_fn(), kCandidates);

  const std::vector<float> pose(eyes.begin(), eyes.begin() + 9), at(centers.begin(), centers.begin() + 9),
      upv(ups.begin(), ups.begin() + 9);
  renderer.evaluate_pose(pose, at, upv, {0.5f, 0.5f}, true);  // warm-up: shader JIT
  const int repeats = 5;
  auto t = Clock::now();
  for (int k = 0; k < repeats; ++k) renderer.evaluate_pose(pose, at, upv, {0.5f, 0.5f}, true);
  std::printf("evaluate_pose: %.1f ms\n", ms_since(t) / repeats);

  for (int round = 0; round < kRounds; ++round) {
    std::vector<float> results;
    t = Clock::now();
    const int chosen = renderer.select_best_candidate(results);
    const double ms = ms_since(t);
    const auto& st = renderer.last_selection_stats();
    std::printf("select_best_candidate round %d: %.0f ms, chose %d (%.1f), bounds rendered %d, exact %d, "
                "spared from exact scoring %.1f%%\n",
                round, ms, chosen, results[chosen], st.boundsScored, st.exactScored,
                100.0 * (st.candidates - st.exactScored) / st.candidates);
    renderer.accept_view();
  }
  return 0;
}

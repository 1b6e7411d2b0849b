// Frame registration side by side: the registration module (Open3D) and the
// same pipeline on PCL (ICP, then Lu-Milios graph optimisation), both through
// the engine interface with the planners' fixed settings, on
//  - the eight bunny scans (mm), every scan placed 5 degrees and 5 mm off its
//    listed pose, all registered together; then the last scan shot again
//    from another wrong pose and added pairwise against the others; errors
//    against the listed poses once the common rigid motion that a multi-view
//    registration leaves open has been taken out;
//  - seven noise-free views of a bumpy ball (4 degrees, 4 mm off): what is
//    left is the method's own error.
// Usage: bench_registration [data folder] [seeds]
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "EngineLoader.h"
#include "MeshShape.h"
#include "PoseError.h"
#include "RangeSimulator.h"
#include "ScanSetMm.h"
#include "peer/PclRegistrationEngine.h"

using namespace TavoAlgorithm;
using TavoRegistration::FrameView;
using TavoRegistration::RegistrationEngine;

namespace {

struct Frame {
  sim::PlacedPoints truth;
  std::vector<Eigen::Vector3f> points, normals;  // as sent: moved by `error`
  RigidMatrix error;
};

void place(Frame& f, const RigidMatrix& error) {
  f.error = error;
  f.points.clear();
  f.normals.clear();
  for (std::size_t k = 0; k < f.truth.points.size(); ++k) {
    f.points.push_back(error * f.truth.points[k]);
    f.normals.push_back(error.transform_normal(f.truth.normals[k]));
  }
}

FrameView view(const Frame& f, const Eigen::Matrix4d& correction = Eigen::Matrix4d::Identity()) {
  FrameView v;
  v.points = &f.points;
  v.normals = &f.normals;
  v.correction = correction;
  return v;
}

struct Outcome {
  double globalSeconds = 0.0, pairSeconds = 0.0;
  sim::PoseDeviation worst, added;
  bool ok = false;
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// All frames together, then `again` (the last frame shot from another wrong
// pose) pairwise against the others.
Outcome run(const RegistrationEngine& engine, const std::vector<Frame>& frames, const Frame& again) {
  const TavoRegistration::RegistrationSettings settings;
  const std::size_t n = frames.size();
  std::vector<FrameView> views;
  for (std::size_t i = 0; i < n; ++i) views.push_back(view(frames[i]));
  Outcome out;
  std::vector<Eigen::Matrix4d> c;
  double rms = 0.0;
  auto t0 = std::chrono::steady_clock::now();
  out.ok = engine.register_global(views, settings, c, rms);
  out.globalSeconds = seconds_since(t0);
  if (!out.ok) return out;
  std::vector<RigidMatrix> moved;
  std::vector<std::vector<Eigen::Vector3f>> sets;
  for (std::size_t i = 0; i < n; ++i) {
    moved.push_back(RigidMatrix::from_matrix4(c[i]) * frames[i].error);
    sets.push_back(frames[i].truth.points);
  }
  const RigidMatrix gauge = sim::gauge_fit(moved, sets);
  for (std::size_t i = 0; i < n; ++i) {
    const sim::PoseDeviation d = sim::pose_deviation(gauge * moved[i], sets[i]);
    out.worst.rms = std::max(out.worst.rms, d.rms);
    out.worst.degrees = std::max(out.worst.degrees, d.degrees);
  }
  for (std::size_t i = 0; i < n; ++i) views[i].correction = c[i];
  views.pop_back();
  Eigen::Matrix4d added = Eigen::Matrix4d::Identity();
  t0 = std::chrono::steady_clock::now();
  out.ok = engine.register_pair({view(again)}, views, settings, added, rms);
  out.pairSeconds = seconds_since(t0);
  out.added = sim::pose_deviation(gauge * RigidMatrix::from_matrix4(added) * again.error, again.truth.points);
  return out;
}

void print(const char* name, const Outcome& o) {
  std::printf("  %-8s %s  global %6.2f s  worst %.3f mm %.3f deg | pair %5.2f s  %.3f mm %.3f deg\n", name,
              o.ok ? "ok    " : "FAILED", o.globalSeconds, o.worst.rms, o.worst.degrees, o.pairSeconds, o.added.rms,
              o.added.degrees);
}

void compare(const char* title, std::vector<Frame>& frames, double degrees, double mm, int seeds,
             const RegistrationEngine& ours, const RegistrationEngine& peer) {
  std::printf("%s\n", title);
  double oursTime = 0.0, peerTime = 0.0;
  for (int seed = 1; seed <= seeds; ++seed) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    for (Frame& f : frames) place(f, sim::random_pose_error(rng, degrees, mm, f.truth.centroid));
    Frame again = frames.back();
    place(again, sim::random_pose_error(rng, degrees, mm, again.truth.centroid));
    std::printf(" seed %d\n", seed);
    const Outcome a = run(ours, frames, again), b = run(peer, frames, again);
    print("Open3D", a);
    print("PCL", b);
    oursTime += a.globalSeconds + a.pairSeconds;
    peerTime += b.globalSeconds + b.pairSeconds;
  }
  std::printf(" time PCL / Open3D: %.2f\n", peerTime / oursTime);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dataDir = argc > 1 ? argv[1] : "../shared/data";
  const int seeds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const RegistrationEngine* ours = TavoRegistration::registration_engine();
  if (ours == nullptr) return 1;
  const RegistrationEngine& peer = bench::pcl_registration_engine();

  std::vector<RangeData> scans;
  const std::string conf = (std::filesystem::path(dataDir) / "bunny-scans" / "bun.conf").string();
  if (std::filesystem::exists(conf) && sim::read_range_scans_mm(conf, scans) == RETVAL_SUCCESS) {
    std::vector<Frame> frames(scans.size());
    for (std::size_t i = 0; i < scans.size(); ++i) frames[i].truth = sim::placed_points(scans[i]);
    compare("bunny scans, 5 deg and 5 mm off:", frames, 5.0, 5.0, seeds, *ours, peer);
  } else {
    std::printf("no bunny scans under %s\n", dataDir.c_str());
  }

  sim::Scene ball;
  ball.meshes.emplace_back(sim::make_lumpy_sphere(Eigen::Vector3f::Zero(), 60.f, 0.25f, 4));
  sim::Camera camera;
  camera.fx = camera.fy = 250.f;
  std::vector<Frame> frames;
  for (const RangeData& f : sim::orbit_frames(ball, camera, 7, Eigen::Vector3f::Zero(), 300.f, 80.f))
    frames.push_back({sim::placed_points(f), {}, {}, RigidMatrix()});
  compare("noise-free ball views, 4 deg and 4 mm off:", frames, 4.0, 4.0, seeds, *ours, peer);
  return 0;
}

// Throughput of laser line fusion: a handheld-style sweep (cross of two laser
// lines, 0.1 mm points, millimetre units) over a lumpy sphere of 60 mm at
// 0.2 mm cells, fused one frame at a time. Prints points fused per second
// for the normal variant (one task per line) and the tangent variant (one
// task per line and update_normal, and the frame call the real-time helper
// uses) with 1 and 2 workers, and the cost of the incremental cloud per
// changed cell. Then the real-time helper as a scanner drives it
// (fusion_one_laser + get_cloud per frame) with the cross and with seven
// pairs of crossed lines, 1 and 2 threads in all, and the heap it holds per
// million fused points. Last, the same sweep fused in one call (tangent cloud,
// tangent mesh, and normal mesh on get_laser_normal's normals) against the
// real-time helper's frame-by-frame pass, in alternating rounds, per wall
// and per CPU second.
#include <malloc.h>
#include <tbb/global_control.h>

#include <chrono>
#include <ctime>
#include <utility>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "LaserBatchFusion.h"
#include "LaserFusionHelper.h"
#include "LaserSimulator.h"
#include "Parallel.h"
#include "RealTimeFusionCloudHelper.h"

using namespace TavoAlgorithm;
using LaserReconstrcution::Leaf;
using LaserReconstrcution::LeafTangent;

namespace {
constexpr float kCellMm = 0.2f;
constexpr float kPointMm = 0.1f;
constexpr float kObjectRadiusMm = 30.f;
constexpr float kCameraDistanceMm = 300.f;
constexpr int kFramesPerSweep = 150;
constexpr int kDepth = 13;

// Process CPU seconds: on a machine shared with other work they move less
// than the wall clock (one worker: the time the work itself took).
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// `pairs` pairs of crossed lines, 5 mm apart at the working distance.
sim::LaserRig multi_cross(int pairs) {
  sim::LaserRig rig = sim::LaserRig::cross_lines(60.f, kCameraDistanceMm);
  const sim::LaserRig cross = rig;
  rig.planes.clear();
  for (int k = 0; k < pairs; ++k) {
    const float offset = 5.f * static_cast<float>(k - pairs / 2);
    for (const sim::LaserPlane& p : cross.planes) {
      sim::LaserPlane q = p;
      const Eigen::Vector3f aim = Eigen::Vector3f(0, 0, kCameraDistanceMm) + offset * p.normal;
      q.forward = (aim - p.origin).normalized();
      q.normal = (q.normal - q.normal.dot(q.forward) * q.forward).normalized();
      rig.planes.push_back(q);
    }
  }
  return rig;
}

std::vector<sim::LaserFrame> make_frames(long long& points, int pairs = 1, int framesPerSweep = kFramesPerSweep) {
  sim::Scene scene;
  scene.meshes.emplace_back(sim::make_lumpy_sphere(Eigen::Vector3f::Zero(), kObjectRadiusMm, 0.1f, 5));
  sim::LaserRig rig = multi_cross(pairs);
  rig.angleStep = kPointMm / kCameraDistanceMm;
  rig.fanHalfAngle = 0.15f;
  rig.depthNoise = 0.02f;
  rig.maxGap = 1.f;
  std::vector<sim::LaserFrame> frames;
  const Eigen::Vector3f dirs[] = {{0, 0, 1}, {1, 0, 0}, {0, 0, -1}, {-1, 0, 0}};
  unsigned seed = 1;
  for (const auto& d : dirs) {
    const Eigen::Vector3f across = d.cross(Eigen::Vector3f::UnitY()).normalized();
    const Eigen::Vector3f eye = kCameraDistanceMm * d;
    auto part = sim::sweep_laser(scene, rig, eye - 35.f * across, eye + 35.f * across, Eigen::Vector3f::Zero(),
                                 Eigen::Vector3f::UnitY(), framesPerSweep, seed++);
    frames.insert(frames.end(), part.begin(), part.end());
  }
  points = 0;
  for (const auto& f : frames)
    for (const auto& l : f.lines) points += static_cast<long long>(l.points.size());
  return frames;
}

template <typename T>
void centre(LaserFusionHelper<T>& h) {
  h.set_tree_shift(Eigen::Vector3f::Constant(-0.5f * h.get_grid_size() * h.get_voxel_size()));
}

// Seconds of the first pass (the tree grows, leaf blocks are allocated and
// first touched) and of a second pass over the same surface.
std::pair<double, double> run_normal(const std::vector<sim::LaserFrame>& frames, int threads) {
  LaserFusionHelper<Leaf> h(kDepth, kCellMm, kPointMm, kCellMm, 3, true);
  centre(h);
  double seconds[2];
  for (double& s : seconds) {
    const auto t0 = std::chrono::steady_clock::now();
    for (const auto& f : frames)
      auxilary_tbb_for(threads, 0, f.lines.size(), [&](std::size_t i) {
        h.fusion_one_lines_normal(f.lines[i].points, f.lines[i].normals, f.pose);
      });
    s = seconds_since(t0);
  }
  return {seconds[0], seconds[1]};
}

// Per frame either one task per line followed by update_normal, or the
// frame call that shares pieces of the lines among the workers.
void run_tangent(const std::vector<sim::LaserFrame>& frames, int threads, bool frameCall, double (&fuseSeconds)[2],
                 double (&fuseCpu)[2], double& cloudSeconds, long long& changedCells) {
  LaserFusionHelper<LeafTangent> h(kDepth, kCellMm, kPointMm, kCellMm, 3, true);
  h.set_tbb_num_threads(threads);
  centre(h);
  tbb::concurrent_vector<int> pending;
  Cloud cloud;
  std::atomic<int> current{0}, valid{0};
  fuseSeconds[0] = fuseSeconds[1] = fuseCpu[0] = fuseCpu[1] = cloudSeconds = 0;
  changedCells = 0;
  std::vector<const std::vector<Eigen::Vector3f>*> lines;
  for (int pass = 0; pass < 2; ++pass)
  for (const auto& f : frames) {
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = cpu_seconds();
    if (frameCall) {
      lines.clear();
      for (const auto& l : f.lines) lines.push_back(&l.points);
      h.fusion_one_frame_tangent(lines, f.pose, false, threads, pending);
    } else {
      tbb::concurrent_vector<int> updated;
      auxilary_tbb_for(threads, 0, f.lines.size(),
                       [&](std::size_t i) { h.fusion_one_lines_tangent(f.lines[i].points, f.pose, pending, updated); });
      h.update_normal(f.pose.transform_normal(Eigen::Vector3f(0, 0, 1)), updated, false);
    }
    fuseSeconds[pass] += seconds_since(t0);
    fuseCpu[pass] += cpu_seconds() - c0;
    const auto t1 = std::chrono::steady_clock::now();
    std::vector<int> changed;
    h.get_cloud_incremental(pending, cloud, current, valid, changed, false);
    cloudSeconds += seconds_since(t1);
    changedCells += static_cast<long long>(pending.size());
    pending.clear();
  }
  std::printf("  tangent, %d worker(s): %d live points of %d ids\n", threads, valid.load(), current.load());
}
std::size_t heap_bytes() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// Frames as the application hands them over: one cloud per line.
std::vector<std::vector<Cloud>> as_clouds(const std::vector<sim::LaserFrame>& frames) {
  std::vector<std::vector<Cloud>> out;
  for (const auto& f : frames) {
    out.emplace_back();
    for (const auto& l : f.lines) {
      Cloud c;
      c.set_vCoords(std::vector<Eigen::Vector3f>(l.points));
      out.back().push_back(std::move(c));
    }
  }
  return out;
}

// Two passes over the sweep, as a scanner going over the object twice;
// every frame is fused and its cloud refreshed before the next arrives.
void run_helper(const std::vector<sim::LaserFrame>& frames, long long points, int threads) {
  // Caps every arena, the helper's 16 line workers included.
  tbb::global_control cap(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
  const auto lines = as_clouds(frames);
  const std::size_t heap0 = heap_bytes();
  RealTimeFusionCloudHelper h(kCellMm, kCellMm, 3.f, true);
  h.set_tbb_num_threads(threads);
  const std::size_t heap1 = heap_bytes();
  std::vector<int> changed;
  double fuse = 0, cloud = 0;
  for (int pass = 0; pass < 2; ++pass)
    for (std::size_t i = 0; i < lines.size(); ++i) {
      changed.clear();  // get_cloud appends
      const auto t0 = std::chrono::steady_clock::now();
      h.fusion_one_laser(lines[i], frames[i].pose);
      const auto t1 = std::chrono::steady_clock::now();
      h.get_cloud(changed);
      fuse += std::chrono::duration<double>(t1 - t0).count();
      cloud += seconds_since(t1);
    }
  const std::size_t heap2 = heap_bytes();
  const double total = fuse + cloud;
  std::printf("  %d thread(s): %.0f frames/s, %.2f million points/s (fusion %.3f s, get_cloud %.3f s), %d live points\n",
              threads, 2.0 * frames.size() / total, 2.0 * points / total * 1e-6, fuse, cloud, h.get_valid_vids());
  std::printf("  heap: %.0f MB empty helper, +%.0f MB after %.2f million fused points: %.1f MB per million fused points, "
              "%.1f MB per million live points\n",
              (heap1 - heap0) / 1e6, (heap2 - heap1) / 1e6, 2.0 * points * 1e-6,
              (heap2 - heap1) / 1e6 / (2.0 * points * 1e-6), (heap2 - heap1) / 1e6 / (h.get_valid_vids() * 1e-6));
}
// Wall and process CPU seconds of one call.
struct Timed {
  double wall = 0, cpu = 0;
};

template <typename F>
Timed timed(F&& f) {
  const double c0 = cpu_seconds();
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return {seconds_since(t0), cpu_seconds() - c0};
}

// Throughput in fused points per wall second and per process CPU second (the
// steadier figure on a shared machine), the batch calls against the
// real-time helper measured in the same run, in `rounds` alternating rounds
// (the best of each).
void run_batch(const std::vector<sim::LaserFrame>& frames, long long points, int threads, int rounds) {
  tbb::global_control cap(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
  std::vector<RigidMatrix> rts;
  for (const auto& f : frames) rts.push_back(f.pose);
  const float half = 0.5f * (1 << kDepth) * kCellMm;
  const BoundingBox box(Eigen::Vector3f::Constant(-half), Eigen::Vector3f::Constant(half));
  const auto lines = as_clouds(frames);
  enum { kRealTime, kCloud, kTangent, kNormals, kNormalMesh, kPaths };
  Timed best[kPaths];
  int cloudPoints = 0, tangentVertices = 0, normalVertices = 0;
  auto keep = [&](int path, const Timed& t) {
    if (best[path].wall == 0 || t.wall < best[path].wall) best[path].wall = t.wall;
    if (best[path].cpu == 0 || t.cpu < best[path].cpu) best[path].cpu = t.cpu;
  };
  for (int round = 0; round < rounds; ++round) {
    keep(kRealTime, timed([&] {
           RealTimeFusionCloudHelper h(kCellMm, kCellMm, 3.f, false);
           h.set_tbb_num_threads(threads);
           std::vector<int> changed;
           for (std::size_t i = 0; i < lines.size(); ++i) {
             h.fusion_one_laser(lines[i], frames[i].pose);
             h.get_cloud(changed);
           }
         }));
    auto frameLines = lines;
    keep(kCloud, timed([&] {
           Cloud cloud;
           fusion_all_frame_laser(frameLines, rts, box, kCellMm, kCellMm, false, cloud, 3);
           cloudPoints = cloud.get_vn();
         }));
    keep(kTangent, timed([&] {
           BaseTriMesh mesh;
           std::vector<int> axes;
           fusion_all_frame_laser(frameLines, rts, box, kCellMm, kCellMm, true, false, mesh, axes, 3);
           tangentVertices = mesh.get_vn();
         }));
    BoundingBox normalBox;
    keep(kNormals, timed([&] {
           get_laser_normal(frameLines, rts, kCellMm, RigidMatrix(), RigidMatrix(), normalBox,
                            Eigen::Vector3f::Zero());
         }));
    keep(kNormalMesh, timed([&] {
           BaseTriMesh mesh;
           std::vector<int> axes;
           fusion_all_frame_laser(frameLines, rts, box, kCellMm, kCellMm, false, false, mesh, axes, 3);
           normalVertices = mesh.get_vn();
         }));
  }
  const char* names[kPaths] = {"real-time helper", "batch cloud", "batch tangent mesh", "get_laser_normal",
                               "batch normal mesh"};
  std::printf("  %d thread(s), best of %d: %d cloud points, %d and %d mesh vertices\n", threads, rounds, cloudPoints,
              tangentVertices, normalVertices);
  for (int p = 0; p < kPaths; ++p)
    std::printf("    %-18s %.3f million points per wall second (x%.2f), %.3f per CPU second (x%.2f)\n", names[p],
                points / best[p].wall * 1e-6, best[kRealTime].wall / best[p].wall, points / best[p].cpu * 1e-6,
                best[kRealTime].cpu / best[p].cpu);
}
}  // namespace

// Arguments pick what to run: parts (normal, tangent, helper, batch) and thread
// counts (1, 2); none of a kind means all of it.
int main(int argc, char** argv) {
  auto wanted = [&](std::initializer_list<const char*> kind, const char* item) {
    bool any = false;
    for (int i = 1; i < argc; ++i)
      for (const char* k : kind)
        if (std::strcmp(argv[i], k) == 0) {
          any = true;
          if (std::strcmp(k, item) == 0) return true;
        }
    return !any;
  };
  auto part = [&](const char* p) { return wanted({"normal", "tangent", "helper", "batch"}, p); };
  auto threads_wanted = [&](int t) { return wanted({"1", "2"}, t == 1 ? "1" : "2"); };
  long long points = 0;
  const auto frames = make_frames(points);
  std::printf("laser fusion: %zu frames, %lld points (%.0f per frame), cell %.2f mm\n", frames.size(), points,
              static_cast<double>(points) / frames.size(), kCellMm);
  for (int threads : {1, 2}) {
    if (!part("normal") || !threads_wanted(threads)) continue;
    const auto s = run_normal(frames, threads);
    std::printf("normal variant,  %d worker(s): first pass %.2f, second pass %.2f million points per second\n",
                threads, points / s.first * 1e-6, points / s.second * 1e-6);
  }
  for (const bool frameCall : {false, true})
    for (int threads : {1, 2}) {
      if (!part("tangent") || !threads_wanted(threads)) continue;
      double fuse[2], cpu[2], cloud;
      long long cells;
      run_tangent(frames, threads, frameCall, fuse, cpu, cloud, cells);
      std::printf("tangent variant, %s, %d worker(s), with the normals: first pass %.2f, second pass %.2f million "
                  "points per second (CPU %.2f, %.2f us per point)\n",
                  frameCall ? "frame call" : "line tasks", threads, points / fuse[0] * 1e-6, points / fuse[1] * 1e-6,
                  cpu[0] / points * 1e6, cpu[1] / points * 1e6);
      std::printf("  get_cloud_incremental: %.3f s for %lld changed cells, %.3f us per changed cell\n", cloud, cells,
                  cloud / static_cast<double>(cells) * 1e6);
    }
  for (int pairs : {1, 7}) {
    if (!part("helper")) break;
    long long helperPoints = 0;
    const auto helperFrames = pairs == 1 ? frames : make_frames(helperPoints, pairs, kFramesPerSweep / 2);
    if (pairs == 1) helperPoints = points;
    std::printf("real-time helper, %d crossed pair(s): %zu frames of %.0f points, fusion_one_laser + get_cloud per frame\n",
                pairs, helperFrames.size(), static_cast<double>(helperPoints) / helperFrames.size());
    for (int threads : {1, 2})
      if (threads_wanted(threads)) run_helper(helperFrames, helperPoints, threads);
  }
  if (part("batch"))
    std::printf("one-call fusion of the sweep against the real-time helper (ratios: its time over theirs)\n");
  for (int threads : {1, 2})
    if (part("batch") && threads_wanted(threads)) run_batch(frames, points, threads, 3);
  return 0;
}

// Dental rig: a closed loop in which the simulated turntable scanner scans
// what each strategy chooses. Each step picks a pose (the planner's
// get_scanPath, the five presets then a fixed sweep, or a random grid pose),
// renders c0's range frame of the model, sends it and re-fuses; coverage is
// the share of the reachable reference surface (vertices that c0 sees from
// at least one candidate pose) within one TSDF voxel of the fused mesh.
//   autoscan_demo [mesh] [--views N] [--baseline-views N] [--stop-at P]
//                 [--strategy planned|presets|random|all] [--out DIR]
#include <Eigen/Geometry>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>

#include "DentalAutoScanHelper.h"
#include "DentalRig.h"
#include "LinePlot.h"
#include "MeshDistance.h"
#include "MeshShape.h"
#include "geometry/TriMesh.h"
#include "muted_stdout.h"
#include "rig.h"

namespace autoscan_demo {
namespace {

using namespace TavoAlgorithm;
namespace fs = std::filesystem;
using Pose = std::pair<int, int>;

struct DentalOptions {
  int views = 20;
  int baselineViews = 0;  // views of presets and random; 0: as many as --views
  double stopAt = 0.0;    // a strategy ends once its coverage reaches this share (%); 0: never
  std::string strategy = "all";
  int step = 10;          // candidate grid step (degrees)
  double fit = 60.0;      // largest model extent on the table (mm); 0 keeps the size
  double scale = 0.0;     // 0: metres when the model is under 2 units across
  float voxel = 0.3f;     // TSDF voxel edge (mm)
  float planVoxel = 1.0f; // scoring grid edge (mm)
  float noise = 0.03f;    // depth noise sigma at 250 mm
  unsigned seed = 7;
  bool yUp = false;       // the mesh stands along +y (scans such as the Stanford bunny)
  bool verbose = false;
};

// A tooth-like built-in object: a lumpy crown on a short neck, standing on
// the plate.
BaseTriMesh builtin_object() { return sim::make_lumpy_sphere(Eigen::Vector3f(0, 0, 20), 18.f, 0.25f, 5); }

// Scales metre data to mm, fits the model into `fit` mm and stands it on the
// plate centre (1 mm above it).
void place_on_table(BaseTriMesh& mesh, const DentalOptions& o) {
  BoundingBox box = mesh.get_boundBox();
  double s = o.scale;
  const double extent = (box.max_corner() - box.min_corner()).maxCoeff();
  if (s <= 0.0) s = extent < 2.0 ? 1000.0 : 1.0;
  if (o.fit > 0.0 && extent * s > 0.0) s = o.fit / extent;
  std::vector<Eigen::Vector3f> p = mesh.get_vCoords();
  if (o.yUp) {
    const Eigen::Matrix3f toZUp = Eigen::AngleAxisf(static_cast<float>(M_PI / 2), Eigen::Vector3f::UnitX()).toRotationMatrix();
    for (auto& x : p) x = toZUp * x;
    Eigen::AlignedBox3f turned;
    for (const auto& x : p) turned.extend(x);
    box = BoundingBox(turned.min(), turned.max());
  }
  const Eigen::Vector3f c = 0.5f * (box.min_corner() + box.max_corner());
  for (auto& x : p) {
    x = (x - Eigen::Vector3f(c.x(), c.y(), box.minZ)) * static_cast<float>(s);
    x.z() += 1.f;
  }
  mesh.set_vCoords(std::move(p));
}

std::vector<Pose> grid_poses(int step) {
  std::vector<Pose> g;
  for (int t = 0; t <= 120; t += step)
    for (int r = 0; r < 360; r += step) g.emplace_back(r, t);
  return g;
}

// Every strategy's first view.
constexpr Pose kFirstView{0, 60};

// What follows the first view: the other four presets, then a fixed sweep
// of the grid: rings at tilt 30, 90, 120, 0 and 60, rotations 45 degrees
// apart, each ring turned by 22; the first view is not repeated.
std::vector<Pose> preset_sweep() {
  std::vector<Pose> p = {{0, 10}, {90, 60}, {180, 60}, {270, 60}};
  int offset = 45;
  for (int t : {30, 90, 120, 0, 60}) {
    for (int r = 0; r < 360; r += 45)
      if (Pose((r + offset) % 360, t) != kFirstView) p.emplace_back((r + offset) % 360, t);
    offset = (offset + 22) % 360;
  }
  return p;
}

struct Reference {
  std::vector<Eigen::Vector3f> points;
  std::vector<char> reachable;
  long long reachableCount = 0;
};

double coverage(const Reference& ref, const BaseTriMesh& fused, float voxel) {
  if (ref.reachableCount == 0 || fused.get_fn() == 0) return 0.0;
  const std::vector<double> d = sim::points_to_surface_distances(ref.points, fused);
  long long near = 0;
  for (std::size_t i = 0; i < d.size(); ++i) near += ref.reachable[i] && d[i] <= voxel;
  return 100.0 * near / ref.reachableCount;
}

struct Run {
  std::vector<double> coverage;  // after each view
  BaseTriMesh fused;
};

Run run_strategy(const std::string& strategy, const DentalOptions& o, const sim::DentalRig& rig,
                 const sim::MeshShape& shape, const Reference& ref) {
  DentalAutoScanParam p;
  p.firstAngle = 0;
  p.lastAngle = 120;
  p.angleStep = o.step;
  p.clipZ = 1.5f;
  p.tsdfVoxelSize = o.voxel;
  p.planVoxelSize = o.planVoxel;
  p.minShellSize = 50;
  DentalAutoScanHelper helper;
  std::string err;
  Run run;
  {
    MutedStdout mute(!o.verbose);
    if (helper.set_param(p, rig.camera, rig.axis, err) != RETVAL_SUCCESS) {
      std::cerr << "autoscan_demo: the dental planner cannot be set up: " << err << "\n";
      return run;
    }
  }
  const std::vector<Pose> sweep = preset_sweep();
  std::vector<Pose> shuffled = grid_poses(o.step);
  shuffled.erase(std::remove(shuffled.begin(), shuffled.end(), kFirstView), shuffled.end());
  std::mt19937 rng(o.seed);
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  std::deque<RangeData> frames;  // the helper borrows them
  using Clock = std::chrono::steady_clock;
  const int views = strategy != "planned" && o.baselineViews > 0 ? o.baselineViews : o.views;
  for (int v = 0; v < views; ++v) {
    const Clock::time_point start = Clock::now();
    Pose pose = kFirstView;
    float value = 0.f;
    bool nothingLeft = false;  // the pattern search may return negative rotations: no sentinel angle
    if (v > 0) {
      if (strategy == "planned") {
        MutedStdout mute(!o.verbose);
        nothingLeft = helper.get_scanPath(pose.first, pose.second, value, false) != RETVAL_SUCCESS;
      } else if (strategy == "presets") {
        pose = sweep[static_cast<std::size_t>(v - 1) % sweep.size()];
      } else {
        pose = shuffled[static_cast<std::size_t>(v - 1) % shuffled.size()];
      }
    }
    const double planSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (nothingLeft) {
      std::printf("%-8s step %3d: the planner finds nothing left to scan\n", strategy.c_str(), v + 1);
      break;
    }
    // As the robot planner does: a best value at or below the threshold ends the scan.
    if (strategy == "planned" && v > 0 && value <= static_cast<float>(p.stopThreshold)) {
      std::printf("%-8s step %3d: best value %.1f at or below the stop threshold %d: finished\n", strategy.c_str(),
                  v + 1, value, p.stopThreshold);
      break;
    }
    frames.push_back(sim::dental_frame(shape, rig, pose.first, pose.second, o.noise, o.seed + v));
    {
      MutedStdout mute(!o.verbose);
      helper.send_rangeData(&frames.back(), RigidMatrix(), false, false);
      helper.get_triMesh(run.fused);
    }
    run.coverage.push_back(coverage(ref, run.fused, o.voxel));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%-8s step %3d: rotation %3d tilt %4d  best value %10.1f  coverage %5.1f%%  plan %.2f s  step %.2f s\n",
                strategy.c_str(), v + 1, pose.first, pose.second, value, run.coverage.back(), planSeconds, seconds);
    std::fflush(stdout);
    if (o.stopAt > 0.0 && run.coverage.back() >= o.stopAt) {
      std::printf("%-8s reached %.1f%% of the reachable surface in %d views\n", strategy.c_str(), o.stopAt, v + 1);
      break;
    }
  }
  return run;
}

int views_to(const std::vector<double>& c, double percent) {
  for (std::size_t i = 0; i < c.size(); ++i)
    if (c[i] >= percent) return static_cast<int>(i) + 1;
  return -1;
}

int run_dental(const DentalOptions& o, const CommonOptions& common) {
  if (common.inputs.size() > 1) {
    std::cerr << "autoscan_demo --rig dental: give at most one mesh file\n";
    return 2;
  }
  if (o.strategy != "planned" && o.strategy != "presets" && o.strategy != "random" && o.strategy != "all") {
    std::cerr << "autoscan_demo: --strategy must be planned, presets, random or all\n";
    return 2;
  }
  BaseTriMesh mesh;
  if (common.inputs.empty()) {
    mesh = builtin_object();
  } else if (!read_mesh(mesh, common.inputs[0]) || mesh.get_fn() == 0) {
    std::cerr << "autoscan_demo: cannot read a mesh from " << common.inputs[0] << "\n";
    return 1;
  } else {
    place_on_table(mesh, o);
  }
  std::error_code ec;
  fs::create_directories(common.outDir, ec);
  if (ec) {
    std::cerr << "autoscan_demo: cannot create " << common.outDir << ": " << ec.message() << "\n";
    return 1;
  }
  const sim::DentalRig rig = sim::default_dental_rig();
  const sim::MeshShape shape(mesh);
  mesh.update_VNrv();
  Reference ref;
  ref.points = mesh.get_vCoords();
  std::vector<Eigen::Vector3f> normals(ref.points.size());
  for (std::size_t i = 0; i < normals.size(); ++i) normals[i] = mesh.get_vNrv(static_cast<int>(i));
  ref.reachable = sim::dental_reachable(shape, rig, ref.points, normals, grid_poses(o.step));
  ref.reachableCount = std::count(ref.reachable.begin(), ref.reachable.end(), 1);
  std::printf("model: %d vertices, %d faces; %lld vertices reachable from the %zu candidate poses\n", mesh.get_vn(),
              mesh.get_fn(), ref.reachableCount, grid_poses(o.step).size());

  const std::vector<std::string> strategies =
      o.strategy == "all" ? std::vector<std::string>{"planned", "presets", "random"}
                          : std::vector<std::string>{o.strategy};
  std::map<std::string, Run> runs;
  for (const std::string& s : strategies) runs[s] = run_strategy(s, o, rig, shape, ref);

  const std::string csvPath = (fs::path(common.outDir) / "coverage.csv").string();
  std::ofstream csv(csvPath);
  csv << "views";
  for (const std::string& s : strategies) csv << "," << s;
  csv << "\n";
  std::size_t rows = 0;
  for (const std::string& s : strategies) rows = std::max(rows, runs[s].coverage.size());
  for (int v = 0; v < static_cast<int>(rows); ++v) {
    csv << v + 1;
    for (const std::string& s : strategies) {
      const auto& c = runs[s].coverage;
      csv << ",";
      if (v < static_cast<int>(c.size())) csv << c[static_cast<std::size_t>(v)];
    }
    csv << "\n";
  }
  plot::LinePlot chart("Dental scanner: reachable surface covered against views", "views", "coverage (%)");
  for (const std::string& s : strategies) {
    std::vector<double> x, y;
    for (std::size_t i = 0; i < runs[s].coverage.size(); ++i) {
      x.push_back(static_cast<double>(i + 1));
      y.push_back(runs[s].coverage[i]);
    }
    chart.add_series(s, x, y);
  }
  chart.set_y_range(0.0, 100.0);
  std::string err;
  const std::string pngPath = (fs::path(common.outDir) / "coverage.png").string();
  if (!chart.write_png(pngPath, err)) std::cerr << "autoscan_demo: " << err << "\n";
  for (const std::string& s : strategies) {
    const auto& c = runs[s].coverage;
    std::printf("%-8s views to 90%% / 95%% / 98%%: %d / %d / %d (-1: not reached in %zu)\n", s.c_str(),
                views_to(c, 90), views_to(c, 95), views_to(c, 98), c.size());
  }
  if (runs.count("planned") && runs.count("random")) {
    const int planned95 = views_to(runs["planned"].coverage, 95), random95 = views_to(runs["random"].coverage, 95);
    if (planned95 > 0 && random95 > 0)
      std::printf("planned / random views to 95%%: %d / %d = %.2f\n", planned95, random95,
                  static_cast<double>(planned95) / random95);
  }
  const std::string meshPath = (fs::path(common.outDir) / ("fused_" + strategies.front() + ".ply")).string();
  if (!write_mesh(runs[strategies.front()].fused, meshPath)) std::cerr << "autoscan_demo: cannot write " << meshPath << "\n";
  std::printf("wrote %s, %s and %s\n", csvPath.c_str(), pngPath.c_str(), meshPath.c_str());
  return 0;
}

Rig dental_rig() {
  auto o = std::make_shared<DentalOptions>();
  Rig r;
  r.name = "dental";
  r.description = "dental turntable scanner, closed loop: autoscan_demo [mesh] [--views N] [--stop-at P] [--strategy S]";
  r.add_options = [o](CLI::Option_group& g) {
    g.add_option("--views", o->views, "views per strategy")->capture_default_str()->check(CLI::Range(1, 1000));
    g.add_option("--baseline-views", o->baselineViews, "views of the presets and random strategies (0: --views)")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000));
    g.add_option("--stop-at", o->stopAt, "end a strategy once its coverage reaches this share (%; 0: never)")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 100.0));
    g.add_option("--strategy", o->strategy, "planned, presets, random or all")
        ->capture_default_str()
        ->check(CLI::IsMember({"planned", "presets", "random", "all"}));
    g.add_option("--step", o->step, "candidate grid step (degrees)")->capture_default_str()->check(CLI::Range(1, 60));
    g.add_option("--fit", o->fit, "largest model extent on the table (mm; 0 keeps the size)")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1000.0));
    g.add_option("--scale", o->scale, "factor taking the mesh's coordinates to mm (0: 1000 when under 2 units across)")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1e6));
    g.add_flag("--y-up", o->yUp, "the mesh stands along +y (else +z)");
    g.add_option("--voxel", o->voxel, "TSDF voxel edge of the fused model (mm)")
        ->capture_default_str()
        ->check(CLI::Range(0.05, 5.0));
    g.add_option("--seed", o->seed, "seed of the random strategy and the noise")->capture_default_str();
    g.add_flag("--verbose", o->verbose, "show the planner's own console lines");
  };
  r.run = [o](const CommonOptions& common) { return run_dental(*o, common); };
  return r;
}

const RigRegistration kDentalRig(dental_rig);

}  // namespace
}  // namespace autoscan_demo

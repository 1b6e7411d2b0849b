// Robot rig: RobotAutoScanHelper on the simulated robot cell (two cameras on
// a robot flange, the object on a calibrated turntable). Scans the first-scan
// path, then asks run for the next view until the planner says finished; the
// frames are taken a little off their nominal poses and registered through
// registration instance 0. Prints a line per view, and writes the coverage
// per view as CSV and as a plot, the planner's fused model, and the object
// with its faces coloured by the view that first measured them.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "LinePlot.h"
#include "face_colour_ply.h"
#include "geometry/TriMesh.h"
#include "rig.h"
#include "robot_closed_loop.h"

namespace autoscan_demo {
namespace {

using namespace TavoAlgorithm;
namespace fs = std::filesystem;

constexpr double kMinScale = 1e-6, kMaxScale = 1e6;
constexpr int kMaxViewsCap = 10000;

struct RobotOptions {
  double scale = 1.0;
  bool yUp = false;
  RobotLoopOptions loop;
};


bool write_csv(const std::string& path, const RobotLoopResult& r, std::string& error) {
  std::ofstream out(path, std::ios::trunc);
  out << "view,candidate,platform_angle_deg,points,measured_percent,fused_percent,plan_seconds,shoot_seconds\n";
  for (std::size_t i = 0; i < r.views.size(); ++i) {
    const RobotViewRecord& v = r.views[i];
    out << i + 1 << ',' << v.candidate << ',' << v.platformAngle << ',' << v.points << ',' << v.coveragePercent << ',';
    if (!std::isnan(v.fusedPercent)) out << v.fusedPercent;
    out << ',' << v.planSeconds << ',' << v.shootSeconds << '\n';
  }
  out.flush();
  if (!out) error = "cannot write " + path;
  return static_cast<bool>(out);
}

bool write_plot(const std::string& path, const RobotLoopResult& r, std::string& error) {
  std::vector<double> x = {0.0}, coverage = {0.0}, fx, fused;
  for (std::size_t i = 0; i < r.views.size(); ++i) {
    x.push_back(static_cast<double>(i + 1));
    coverage.push_back(r.views[i].coveragePercent);
    if (!std::isnan(r.views[i].fusedPercent)) {
      fx.push_back(static_cast<double>(i + 1));
      fused.push_back(r.views[i].fusedPercent);
    }
  }
  plot::LinePlot chart("Robot cell: coverage against views", "views (the first-scan path, then planned)",
                       "reachable faces (%)");
  chart.add_series("measured by the views taken", x, coverage);
  chart.add_series("within a voxel of the fused model", fx, fused);
  chart.set_y_range(0.0, 100.0);
  return chart.write_png(path, error);
}

bool write_model(const std::string& path, const BaseTriMesh& model, std::string& error) {
  TriMesh tri;
  BaseTriMesh_convert_to_TriMesh(model, tri);
  if (!write_mesh(tri, path)) error = "cannot write " + path;
  return error.empty();
}

int run_robot(const RobotOptions& o, const CommonOptions& common) {
  if (common.inputs.size() > 1) {
    std::cerr << "autoscan_demo --rig robot: give one mesh file, or none for the built-in object\n";
    return 2;
  }
  BaseTriMesh object;
  if (common.inputs.empty()) {
    object = builtin_object();
  } else {
    if (!read_mesh(object, common.inputs[0])) return 1;
    if (!place_on_turntable(object, static_cast<float>(o.scale), o.yUp)) {
      std::cerr << "autoscan_demo: " << common.inputs[0] << " has no faces or non-finite coordinates\n";
      return 1;
    }
  }
  std::error_code ec;
  fs::create_directories(common.outDir, ec);
  if (ec) {
    std::cerr << "autoscan_demo: cannot create " << common.outDir << ": " << ec.message() << "\n";
    return 1;
  }
  Eigen::AlignedBox3f box;
  for (const Eigen::Vector3f& p : object.get_vCoords()) box.extend(p);
  const Eigen::Vector3f size = box.sizes();
  std::printf("object: %d faces, %.1f x %.1f x %.1f mm on the turntable\n", object.get_fn(), size.x(), size.y(),
              size.z());

  RobotLoopOptions loop = o.loop;
  loop.onView = [](const RobotLoopResult& r) {
    const RobotViewRecord& v = r.views.back();
    if (v.candidate < 0)
      std::printf("view %3zu: first scan at platform angle %3d, %6d points, %5.1f%% of the reachable faces\n",
                  r.views.size(), v.platformAngle, v.points, v.coveragePercent);
    else
      std::printf("view %3zu: candidate %3d at platform angle %3d, %6d points, %5.1f%% of the reachable faces, "
                  "planned in %.2f s on a model holding %.1f%% of them\n",
                  r.views.size(), v.candidate, v.platformAngle, v.points, v.coveragePercent, v.planSeconds,
                  r.views.size() > 1 ? r.views[r.views.size() - 2].fusedPercent : 0.0);
    std::fflush(stdout);
  };
  RobotLoopResult r;
  std::string err;
  const bool ok = run_robot_loop(object, loop, r, err);
  if (!ok) std::cerr << "autoscan_demo: " << err << "\n";

  double plan = 0.0;
  int planned = 0;
  for (const RobotViewRecord& v : r.views)
    if (v.candidate >= 0) {
      plan += v.planSeconds;
      ++planned;
    }
  std::printf("%s after %zu views (%d planned of %d candidates): %d of %d reachable faces measured (%.1f%%), "
              "%.1f%% within %.2f mm of the fused model; %.2f s per planning step; frame error against frame 0 "
              "%.3f mm as placed, %.3f mm registered\n",
              r.finished ? "finished" : "stopped", r.views.size(), planned, r.candidates, r.coveredCount,
              r.reachableCount, r.views.empty() ? 0.0 : r.views.back().coveragePercent, r.fusedPercent,
              o.loop.tsdfVoxel, planned > 0 ? plan / planned : 0.0, r.meanErrorBefore, r.meanErrorAfter);

  const std::vector<Color3b> colours = coverage_colours(r.firstView, r.reachable, static_cast<int>(r.views.size()));
  const fs::path out(common.outDir);
  const std::string csvPath = (out / "coverage.csv").string(), pngPath = (out / "coverage.png").string(),
                    facesPath = (out / "coverage.ply").string(), modelPath = (out / "model.ply").string();
  std::string error;
  if (!write_csv(csvPath, r, error) || !write_plot(pngPath, r, error) ||
      !write_face_colour_ply(facesPath, object, colours, error) || !write_model(modelPath, r.model, error)) {
    std::cerr << "autoscan_demo: " << error << "\n";
    return 1;
  }
  std::printf("wrote %s, %s, %s (faces coloured by the view that first measured them; red: missed, grey: "
              "unreachable) and %s (the fused model)\n",
              csvPath.c_str(), pngPath.c_str(), facesPath.c_str(), modelPath.c_str());
  return ok ? 0 : 1;
}

Rig robot_rig() {
  auto o = std::make_shared<RobotOptions>();
  Rig r;
  r.name = "robot";
  r.description =
      "robot arm with a turntable, on a simulated cell: autoscan_demo --rig robot [mesh.ply] (none: a built-in ball)";
  r.add_options = [o](CLI::Option_group& g) {
    RobotLoopOptions& l = o->loop;
    g.add_option("--scale", o->scale, "factor taking the mesh's coordinates to mm")
        ->capture_default_str()
        ->check(CLI::Range(kMinScale, kMaxScale));
    g.add_flag("--y-up", o->yUp, "the mesh stands along +y (else +z)");
    g.add_option("--last", l.lastAngle, "last elevation of the candidate sphere (degrees, 0 = above the object)")
        ->capture_default_str()
        ->check(CLI::Range(0, 140));
    g.add_option("--step", l.angleStep, "elevation and platform angle step (degrees)")
        ->capture_default_str()
        ->check(CLI::Range(1, 180));
    g.add_option("--voxel", l.tsdfVoxel, "TSDF voxel edge of the fused model (mm)")
        ->capture_default_str()
        ->check(CLI::Range(0.05, 20.0));
    g.add_option("--plan-voxel", l.planVoxel, "voxel edge of the planner's scoring grid (mm)")
        ->capture_default_str()
        ->check(CLI::Range(0.05, 20.0));
    g.add_option("--stop", l.stopThreshold, "the planner finishes when the best view scores no more than this")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000000));
    g.add_option("--max-views", l.maxViews, "planned views at most")
        ->capture_default_str()
        ->check(CLI::Range(1, kMaxViewsCap));
    g.add_option("--pose-error-deg", l.shot.poseErrorDegrees, "robot and turntable repeatability: turn (degrees)")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 10.0));
    g.add_option("--pose-error-mm", l.shot.poseErrorMm, "robot and turntable repeatability: shift (mm)")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 20.0));
    g.add_flag("--verbose", l.verbose, "show the planner's own console lines");
  };
  r.run = [o](const CommonOptions& common) { return run_robot(*o, common); };
  return r;
}

const RigRegistration kRobotRig(robot_rig);

}  // namespace

}  // namespace autoscan_demo

// Plane-scanner rig: QuellanAutoScanHelper over a finished model. Repeats
// find_plane / find_path / scan / update_scan until the planner is done,
// prints per view the faces newly covered and the total, and writes the
// per-face coverage as a coloured PLY and a plot of coverage against views.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

#include "AutoScan/QuellanEmulatBinocular/QuellanEmulatBinocular.h"
#include "LinePlot.h"
#include "QuellanAutoScanHelper.h"
#include "face_colour_ply.h"
#include "geometry/TriMesh.h"
#include "muted_stdout.h"
#include "rig.h"

namespace autoscan_demo {
namespace {

using namespace TavoAlgorithm;
namespace fs = std::filesystem;

constexpr double kMinScale = 1e-6, kMaxScale = 1e6;
constexpr int kMaxViewsCap = 100000;

struct PlaneOptions {
  double scale = 1.0;
  int maxViews = 500;
  bool debugDumps = false;
  bool verbose = false;
};

struct ViewRecord {
  int newFaces = 0;
  int total = 0;
  double seconds = 0.0;
};

// Faces that some candidate direction shows, with every face unscanned.
std::vector<char> faces_seen_from_candidates(QuellanAutoScanHelper& helper, bool verbose) {
  const QuellanEmulatBinocular& r = helper.renderer();
  std::vector<char> seen(helper.unscanned_flags().size(), 0);
  std::vector<int> faces;
  MutedStdout mute(!verbose);
  for (int i = 0; i < r.candidate_count(); ++i) {
    faces.clear();
    helper.scan(r.candidate_eye(i), r.center(), r.candidate_up(i), faces);
    for (int f : faces) seen[f] = 1;
  }
  return seen;
}

double percent(long long part, long long whole) { return whole > 0 ? 100.0 * part / whole : 0.0; }


int run_plane(const PlaneOptions& o, const CommonOptions& common) {
  if (common.inputs.size() != 1) {
    std::cerr << "autoscan_demo --rig plane: give exactly one mesh file\n";
    return 2;
  }
  BaseTriMesh mesh;
  if (!read_mesh(mesh, common.inputs[0])) return 1;
  if (o.scale != 1.0) {
    std::vector<Eigen::Vector3f> p = mesh.get_vCoords();
    for (auto& x : p) x *= static_cast<float>(o.scale);
    mesh.set_vCoords(std::move(p));
  }
  std::error_code ec;
  fs::create_directories(common.outDir, ec);
  if (ec) {
    std::cerr << "autoscan_demo: cannot create " << common.outDir << ": " << ec.message() << "\n";
    return 1;
  }

  QuellanAutoScanHelper helper;
  if (!helper.renderer_ready()) {
    std::cerr << "autoscan_demo: no OpenGL renderer: " << helper.renderer().error() << "\n";
    return 1;
  }
  if (o.debugDumps) helper.set_debug_folder((fs::path(common.outDir) / "debug").string());
  if (helper.loadSTL(mesh) != RETVAL_SUCCESS) {
    std::cerr << "autoscan_demo: the model cannot be planned over (no faces, bad indices or coordinates)\n";
    return 1;
  }
  const int faceCount = mesh.get_fn();
  const std::vector<char> seen = faces_seen_from_candidates(helper, o.verbose);
  const long long visible = std::count(seen.begin(), seen.end(), 1);
  std::printf("model: %d vertices, %d faces; %lld faces visible from some candidate direction\n", mesh.get_vn(),
              faceCount, visible);

  std::vector<int> firstView(static_cast<std::size_t>(faceCount), 0);
  std::vector<ViewRecord> views;
  int total = 0, coveredVisible = 0;
  std::vector<int> faces;
  using Clock = std::chrono::steady_clock;
  while (static_cast<int>(views.size()) < o.maxViews) {
    const Clock::time_point start = Clock::now();
    int k = -1;
    bool done = true;
    Eigen::Vector3f eye, center, up;
    faces.clear();
    {
      MutedStdout mute(!o.verbose);
      helper.find_plane(k, eye, center, up);
      helper.find_path(k, eye, center, up, done);
      if (!done && helper.scan(eye, center, up, faces) == RETVAL_SUCCESS) helper.update_scan(faces);
    }
    if (done) break;
    ViewRecord v;
    v.newFaces = static_cast<int>(faces.size());
    total += v.newFaces;
    v.total = total;
    for (int f : faces) {
      firstView[f] = static_cast<int>(views.size()) + 1;
      coveredVisible += seen[f];
    }
    v.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    views.push_back(v);
    std::printf("view %3zu: %6d faces newly covered, %7d in all (%5.1f%% of all faces, %5.1f%% of visible), %.2f s\n",
                views.size(), v.newFaces, v.total, percent(v.total, faceCount), percent(coveredVisible, visible),
                v.seconds);
    std::fflush(stdout);
  }
  double seconds = 0.0;
  for (const ViewRecord& v : views) seconds += v.seconds;
  std::printf("done after %zu views: %d of %d faces covered (%.1f%%), %.1f%% of the faces visible from some "
              "candidate; %.2f s per view\n",
              views.size(), total, faceCount, percent(total, faceCount), percent(coveredVisible, visible),
              views.empty() ? 0.0 : seconds / views.size());

  const std::vector<Color3b> colours = coverage_colours(firstView, seen, static_cast<int>(views.size()));
  const std::string plyPath = (fs::path(common.outDir) / "coverage.ply").string();
  const std::string pngPath = (fs::path(common.outDir) / "coverage.png").string();
  std::string err;
  if (!write_face_colour_ply(plyPath, mesh, colours, err)) {
    std::cerr << "autoscan_demo: " << err << "\n";
    return 1;
  }

  std::vector<double> x = {0.0}, all = {0.0}, ofVisible = {0.0}, added = {0.0};
  int covered = 0;
  for (std::size_t i = 0; i < views.size(); ++i) {
    x.push_back(static_cast<double>(i + 1));
    all.push_back(percent(views[i].total, faceCount));
    for (int f = 0; f < faceCount; ++f) covered += firstView[f] == static_cast<int>(i) + 1 && seen[f];
    ofVisible.push_back(percent(covered, visible));
    added.push_back(percent(views[i].newFaces, faceCount));
  }
  plot::LinePlot chart("Plane scanner: coverage against views", "views", "faces covered (%)");
  chart.add_series("visible from a candidate", x, ofVisible);
  chart.add_series("all faces", x, all);
  chart.add_series("new in the view (of all)", x, added);
  chart.set_y_range(0.0, 100.0);
  if (!chart.write_png(pngPath, err)) {
    std::cerr << "autoscan_demo: " << err << "\n";
    return 1;
  }
  std::printf("wrote %s (faces coloured by the view that covered them; red: missed, grey: hidden) and %s\n",
              plyPath.c_str(), pngPath.c_str());
  return 0;
}

Rig plane_rig() {
  auto o = std::make_shared<PlaneOptions>();
  Rig r;
  r.name = "plane";
  r.description = "plane scanner over a finished model: autoscan_demo --rig plane mesh.ply";
  r.add_options = [o](CLI::Option_group& g) {
    g.add_option("--scale", o->scale, "factor applied to the model's coordinates (the planner works in mm)")
        ->capture_default_str()
        ->check(CLI::Range(kMinScale, kMaxScale));
    g.add_option("--max-views", o->maxViews, "stop after this many views")
        ->capture_default_str()
        ->check(CLI::Range(1, kMaxViewsCap));
    g.add_flag("--debug-dumps", o->debugDumps, "write the planner's debug dumps under OUT/debug");
    g.add_flag("--verbose", o->verbose, "show the planner's own console lines");
  };
  r.run = [o](const CommonOptions& common) { return run_plane(*o, common); };
  return r;
}

const RigRegistration kPlaneRig(plane_rig);

}  // namespace

}  // namespace autoscan_demo

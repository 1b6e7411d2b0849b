// Demo: range frames in, one fused mesh out. Fuses a built-in simulated object
// or a ".conf" pose list of PLY range scans with FusionMeshHelper, writes the
// mesh and reports its distance to a reference mesh both ways.
// `fusion_demo --laser ...` runs the laser-line mode instead.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <OpenMesh/Core/System/omstream.hh>

#include "FusionMeshHelper.h"
#include "MeshDistance.h"
#include "RangeSimulator.h"
#include "common/console.h"
#include "demo_modes.h"
#include "geometry/ArchiveConfig.h"
#include "geometry/RangeScanIO.h"
#include "geometry/TriMesh.h"
#include "meshproc/HoleFinding.h"

using namespace TavoAlgorithm;
namespace fs = std::filesystem;

namespace {

constexpr float kDefaultVoxel = 0.001f;
constexpr const char* kDefaultOutput = "fused_mesh.ply";
constexpr const char* kBunnyReference = "bun_zipper_res2.ply";
// Built-in object: a bumpy ball of 5 cm radius seen by a ring of cameras and
// from above and below, so that the fused surface can close.
constexpr float kObjectRadius = 0.05f;
constexpr float kObjectBump = 0.15f;
constexpr int kObjectLevels = 4;
constexpr int kRingViews = 8;
constexpr float kViewDistance = 0.3f;
constexpr long kMaxSimSide = 4096;

struct Options {
  float voxel = kDefaultVoxel;
  int step = 0;
  float clipZ = -std::numeric_limits<float>::max();  // no clipping
  std::string output = kDefaultOutput;
  std::string reference;
  std::string conf;
  std::string recordDir;
  int simCols = 0, simRows = 0;  // 0: the simulator's default camera
};

void print_usage() {
  std::printf(
      "usage: fusion_demo [options] [scans.conf]\n"
      "       fusion_demo --laser [laser options]\n"
      "Fuses range frames into one mesh and compares it with a reference mesh.\n"
      "Without a pose list a built-in simulated object is fused.\n"
      "  --voxel <size>      voxel edge in scan units (default %g)\n"
      "  --step <n>          frame sampling step, 0 = every point (default 0)\n"
      "  --clip-z <z>        drop points whose world z is below z (default: none)\n"
      "  --output <file>     fused mesh, format by extension (default %s)\n"
      "  --reference <file>  reference mesh (default: %s next to the pose list,\n"
      "                      the simulated object's mesh for the built-in data)\n"
      "  --sim-camera <c>x<r> size of the simulated frames (default 320x240)\n"
      "  --record <dir>      record the send_rangeData and get_triMesh calls as\n"
      "                      trace files in <dir> (replay them with trace_replay)\n"
      "  --help              this text\n",
      kDefaultVoxel, kDefaultOutput, kBunnyReference);
}

bool parse_float(const char* text, float& out) {
  char* end = nullptr;
  const float v = std::strtof(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(v)) return false;
  out = v;
  return true;
}

bool parse_size(const char* text, int& cols, int& rows) {
  char* end = nullptr;
  const long c = std::strtol(text, &end, 10);
  if (end == text || *end != 'x') return false;
  const char* second = end + 1;
  const long r = std::strtol(second, &end, 10);
  if (end == second || *end != '\0' || c < 2 || r < 2 || c > kMaxSimSide || r > kMaxSimSide) return false;
  cols = static_cast<int>(c);
  rows = static_cast<int>(r);
  return true;
}

bool parse_int(const char* text, int& out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 0 || v > std::numeric_limits<int>::max()) return false;
  out = static_cast<int>(v);
  return true;
}

// 0: run, 1: stop with success (help), 2: bad command line.
int parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      print_usage();
      return 1;
    }
    const bool takesValue =
        a == "--voxel" || a == "--step" || a == "--clip-z" || a == "--output" || a == "--reference" || a == "--record" ||
                            a == "--sim-camera";
    if (takesValue && i + 1 >= argc) {
      console::message("missing value after " + a);
      return 2;
    }
    bool ok = true;
    if (a == "--voxel") ok = parse_float(argv[++i], o.voxel) && o.voxel > 0.f;
    else if (a == "--step") ok = parse_int(argv[++i], o.step);
    else if (a == "--clip-z") ok = parse_float(argv[++i], o.clipZ);
    else if (a == "--output") o.output = argv[++i];
    else if (a == "--reference") o.reference = argv[++i];
    else if (a == "--record") o.recordDir = argv[++i];
    else if (a == "--sim-camera") ok = parse_size(argv[++i], o.simCols, o.simRows);
    else if (!a.empty() && a[0] == '-') {
      console::message("unknown option " + a + " (see --help)");
      return 2;
    } else if (o.conf.empty()) {
      o.conf = a;
    } else {
      console::message("more than one pose list: " + a);
      return 2;
    }
    if (!ok) {
      console::message("bad value for " + a + ": " + argv[i]);
      return 2;
    }
  }
  return 0;
}

std::vector<RangeData> simulated_frames(const BaseTriMesh& object, int cols, int rows) {
  sim::Scene scene;
  scene.meshes.emplace_back(object);
  sim::Camera cam;
  if (cols > 0) {
    // Same field of view at another resolution.
    const float s = static_cast<float>(cols) / cam.cols;
    cam.fx *= s;
    cam.fy *= s;
    cam.cx = 0.5f * cols;
    cam.cy = 0.5f * rows;
    cam.cols = cols;
    cam.rows = rows;
  }
  std::vector<RangeData> frames =
      sim::orbit_frames(scene, cam, kRingViews, Eigen::Vector3f::Zero(), kViewDistance, 0.3f * kViewDistance);
  for (float y : {kViewDistance, -kViewDistance}) {
    cam.pose = sim::look_at(Eigen::Vector3f(0.f, y, 0.f), Eigen::Vector3f::Zero(), Eigen::Vector3f::UnitZ());
    frames.push_back(sim::render_range_frame(scene, cam));
  }
  return frames;
}

std::string number(double v) {
  std::ostringstream s;
  s << std::setprecision(4) << v;
  return s.str();
}

void print_distance(const std::string& way, const sim::DistanceSummary& d, float voxel) {
  if (d.samples == 0) {
    console::message("distance " + way + ": no samples");
    return;
  }
  console::message("distance " + way + ": mean " + number(d.mean) + " (" + number(d.mean / voxel) + " voxels), 95th " +
                   number(d.p95) + " (" + number(d.p95 / voxel) + " voxels), max " + number(d.max) + " over " +
                   std::to_string(d.samples) + " vertices");
}

int run_range_demo(int argc, char** argv) {
  Options o;
  const int parsed = parse(argc, argv, o);
  if (parsed != 0) return parsed == 1 ? 0 : 2;

  std::vector<RangeData> frames;
  BaseTriMesh reference;
  bool haveReference = false;
  if (!o.conf.empty()) {
    if (read_range_scans(o.conf, frames) != RETVAL_SUCCESS) return 1;
    console::message("read " + std::to_string(frames.size()) + " scans from " + o.conf);
    if (o.reference.empty()) {
      const fs::path nextToList = fs::path(o.conf).parent_path() / kBunnyReference;
      if (fs::exists(nextToList)) o.reference = nextToList.string();
    }
  } else {
    reference = sim::make_lumpy_sphere(Eigen::Vector3f::Zero(), kObjectRadius, kObjectBump, kObjectLevels);
    haveReference = o.reference.empty();
    frames = simulated_frames(reference, o.simCols, o.simRows);
    console::message("built-in object: " + std::to_string(frames.size()) + " simulated frames");
  }
  if (!o.reference.empty()) {
    haveReference = read_mesh(reference, o.reference);
    if (!haveReference) console::message("cannot read reference mesh " + o.reference);
  }
  if (frames.empty()) {
    console::message("no frames to fuse");
    return 1;
  }
  for (std::size_t i = 0; i < frames.size(); ++i) {
    std::string line = "frame " + std::to_string(i) + ": " + std::to_string(frames[i].get_vn()) + " points on " +
                       std::to_string(frames[i].get_rows()) + " x " + std::to_string(frames[i].get_cols()) + " cells";
    if (haveReference) {
      // How well the frame's pose registers it, before any fusion.
      std::vector<Eigen::Vector3f> posed;
      for (const auto& p : frames[i].get_vCoords()) posed.push_back(frames[i].get_rigidMatrix() * p);
      const sim::DistanceSummary d = sim::points_to_surface_distance(posed, reference);
      line += ", to the reference: mean " + number(d.mean) + ", 95th " + number(d.p95);
    }
    console::message(line);
  }

  if (!o.recordDir.empty()) {
    std::error_code ec;
    fs::create_directories(o.recordDir, ec);
    gDAConfig.set_store_path(o.recordDir);
    gDAConfig.record = true;
    gDAConfig.enable = true;
  }

  FusionMeshHelper helper;
  DentalFusionMeshParam param;
  param.voxelSize = o.voxel;
  param.sampleStep = o.step;
  param.clipZ = o.clipZ;
  std::string errorText;
  helper.set_param(param, errorText);

  const auto start = std::chrono::steady_clock::now();
  std::vector<const RangeData*> ptrs;
  std::vector<std::vector<float>> weights;
  for (const RangeData& f : frames) {
    ptrs.push_back(&f);
    weights.emplace_back(static_cast<std::size_t>(f.get_vn()), 1.f);
  }
  if (!helper.send_rangeData(ptrs, std::vector<RigidMatrix>(ptrs.size()), std::vector<bool>(ptrs.size(), false),
                             weights, false)) {
    console::message("frames refused by the fusion helper");
    return 1;
  }
  console::message("fusing " + std::to_string(ptrs.size()) + " frames at voxel " + number(o.voxel) + " ...");
  BaseTriMesh mesh;
  if (helper.get_triMesh(mesh) != RETVAL_SUCCESS) {
    console::message("fusion failed");
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!o.recordDir.empty()) {
    gDAConfig.reset();
    console::message("recorded send_rangeData.tb and get_triMesh.tb in " + o.recordDir);
  }
  mesh.squeeze();
  // Holes are counted on the half-edge mesh that is also written; it cannot
  // hold non-manifold faces, so those are dropped and reported.
  TriMesh tri;
  BaseTriMesh_convert_to_TriMesh(mesh, tri);
  std::vector<HalfedgeLoop> loops;
  find_holes(tri, loops);
  std::size_t boundaryEdges = 0, longest = 0;
  for (const auto& l : loops) {
    boundaryEdges += l.size();
    longest = std::max(longest, l.size());
  }
  console::message("fused mesh: " + std::to_string(mesh.get_vn()) + " vertices, " + std::to_string(mesh.get_fn()) +
                   " faces in " + number(seconds) + " s");
  console::message("boundary: " + std::to_string(boundaryEdges) + " edges in " + std::to_string(loops.size()) +
                   " loops (longest " + std::to_string(longest) + "), " +
                   std::to_string(mesh.get_fn() - static_cast<int>(tri.n_faces())) + " non-manifold faces dropped");
  if (!write_mesh(tri, o.output)) {
    console::message("cannot write " + o.output);
    return 1;
  }
  console::message("wrote " + o.output);

  if (haveReference) {
    const sim::MeshDistanceStats d = sim::mesh_distance(mesh, reference);
    print_distance("fused -> reference", d.forward, o.voxel);
    print_distance("reference -> fused", d.backward, o.voxel);
  } else {
    console::message("no reference mesh: distances skipped");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // OpenMesh prints a line for every non-manifold face it refuses; the demo
  // reports their count itself.
  omerr().disable();
  if (argc > 1 && std::string(argv[1]) == "--laser") return run_laser_demo(argc, argv);
  return run_range_demo(argc, argv);
}

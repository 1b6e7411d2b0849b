// Demo: range frames in, one fused mesh out. Fuses a built-in simulated object
// or a ".conf" pose list of PLY range scans with FusionMeshHelper, writes the
// mesh (binary PLY with vertex normals unless asked otherwise), reports its
// distance to a reference mesh both ways with the mesh coloured by that
// distance, and renders a picture of it off screen when asked.
// `fusion_demo --laser ...` runs the laser-line mode instead.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <OpenMesh/Core/System/omstream.hh>

#include "AppOptions.h"
#include "FusionMeshHelper.h"
#include "FusionOptions.h"
#include "MeshDistance.h"
#include "Progress.h"
#include "RangeSimulator.h"
#include "common/console.h"
#include "demo_modes.h"
#include "geometry/ArchiveConfig.h"
#include "geometry/InputFile.h"
#include "geometry/RangeScanIO.h"
#include "geometry/TriMesh.h"
#include "mesh_ply.h"
#include "mesh_snapshot.h"
#include "meshproc/HoleFinding.h"

using namespace TavoAlgorithm;
namespace fs = std::filesystem;

namespace {

constexpr const char* kProgram = "fusion_demo";
constexpr const char* kDefaultOutput = "fused_mesh.ply";
constexpr const char* kBunnyReference = "bun_zipper_res2.ply";
// Built-in object: a bumpy ball of 5 cm radius seen by a ring of cameras and
// from above and below, so that the fused surface can close.
constexpr float kObjectRadius = 0.05f;
constexpr float kObjectBump = 0.15f;
constexpr int kObjectLevels = 4;
constexpr int kRingViews = 8;
constexpr float kViewDistance = 0.3f;
constexpr int kMinSimSide = 2;
constexpr int kMaxSimSide = 4096;

// The distance colours run from blue (0) to red at this many voxels.
constexpr float kDistanceColourVoxels = 2.f;
constexpr int kDefaultSnapshotWidth = 800, kDefaultSnapshotHeight = 600;

struct Options {
  DentalFusionMeshParam param = apps::default_fusion_param();
  std::string output = kDefaultOutput;
  bool asciiPly = false;
  std::string snapshot;
  int snapshotWidth = kDefaultSnapshotWidth, snapshotHeight = kDefaultSnapshotHeight;
  std::string distancePly;  // empty: <output stem>_distance.ply beside the output
  std::string reference;
  std::string conf;
  std::string recordDir;
  int simCols = 0, simRows = 0;  // 0: the simulator's default camera
};

// "<columns>x<rows>", each a whole number within the simulator's bounds.
CLI::Validator camera_size() {
  const std::string range = std::to_string(kMinSimSide) + " to " + std::to_string(kMaxSimSide);
  return CLI::Validator(
      [range](std::string& text) -> std::string {
        const auto x = text.find('x');
        long long c = 0, r = 0;
        if (x == std::string::npos || !parse_integer_token(std::string_view(text).substr(0, x), kMinSimSide, kMaxSimSide, c) ||
            !parse_integer_token(std::string_view(text).substr(x + 1), kMinSimSide, kMaxSimSide, r))
          return text + " is not <columns>x<rows> with each from " + range;
        text = std::to_string(c) + "x" + std::to_string(r);
        return {};
      },
      "<columns>x<rows>, each " + range + " pixels");
}

// -1 to go on, else the exit code.
int parse(int argc, char** argv, Options& o) {
  CLI::App app(
      "Fuses range frames into one mesh with FusionMeshHelper and compares it with a reference mesh.\n"
      "Without a pose list a built-in simulated object (a bumpy ball of 5 cm radius) is fused.\n"
      "Lengths are in metres, the unit of the bunny scans and of the built-in object.\n"
      "'fusion_demo --laser --help' shows the laser-line mode.",
      kProgram);
  app.add_option("scans", o.conf, "pose list (.conf) of PLY range scans");
  apps::add_fusion_options(app, o.param);
  app.add_option("--output", o.output,
                 std::string("fused mesh, format by extension; PLY is written binary with vertex normals (default ") +
                     kDefaultOutput + ")");
  app.add_flag("--ascii", o.asciiPly, "write a PLY output as text, without normals");
  app.add_option("--snapshot", o.snapshot, "also render the fused mesh off screen into this PNG file");
  std::string snapshotSize;
  app.add_option("--snapshot-size", snapshotSize,
                 "size of the snapshot in pixels (default " + std::to_string(kDefaultSnapshotWidth) + "x" +
                     std::to_string(kDefaultSnapshotHeight) + ")")
      ->transform(camera_size());
  app.add_option("--distance-ply", o.distancePly,
                 "where the fused mesh coloured by its distance to the reference goes, blue for 0 to red for " +
                     apps::number(kDistanceColourVoxels) +
                     " voxels and more (default: <output name>_distance.ply beside the output)");
  app.add_option("--reference", o.reference,
                 std::string("reference mesh (default: ") + kBunnyReference +
                     " next to the pose list, the simulated object's mesh for the built-in data)");
  std::string camera;
  app.add_option("--sim-camera", camera, "size of the simulated frames in pixels (default 320x240)")
      ->transform(camera_size());
  app.add_option("--record", o.recordDir,
                 "record the send_rangeData and get_triMesh calls as trace files in this folder "
                 "(replay them with trace_replay)");
  const int rc = apps::parse_command_line(app, argc, argv);
  if (rc >= 0) return rc;
  if (!camera.empty()) {
    const auto x = camera.find('x');
    o.simCols = std::stoi(camera.substr(0, x));
    o.simRows = std::stoi(camera.substr(x + 1));
  }
  if (!snapshotSize.empty()) {
    const auto x = snapshotSize.find('x');
    o.snapshotWidth = std::stoi(snapshotSize.substr(0, x));
    o.snapshotHeight = std::stoi(snapshotSize.substr(x + 1));
  }
  return -1;
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


void print_distance(const std::string& way, const sim::DistanceSummary& d, float voxel) {
  if (d.samples == 0) {
    console::message("distance " + way + ": no samples");
    return;
  }
  console::message("distance " + way + ": mean " + apps::number(d.mean) + " m (" + apps::number(d.mean / voxel) + " voxels), 95th " +
                   apps::number(d.p95) + " m (" + apps::number(d.p95 / voxel) + " voxels), max " + apps::number(d.max) + " m over " +
                   std::to_string(d.samples) + " vertices");
}

// Reads the scans of a pose list one by one, with progress.
bool read_scans(const std::string& conf, std::vector<RangeData>& frames) {
  ScanPoseList list;
  if (read_scan_pose_list(conf, list) != RETVAL_SUCCESS) return false;
  const fs::path dir = fs::path(conf).parent_path();
  apps::Progress progress("scan", static_cast<long long>(list.scans.size()));
  frames.resize(list.scans.size());
  for (std::size_t i = 0; i < list.scans.size(); ++i) {
    const std::string path = (dir / list.scans[i].file).string();
    if (read_range_scan(path, frames[i]) != RETVAL_SUCCESS) return false;
    frames[i].set_rigidMatrix(list.scans[i].pose);
    progress.report(static_cast<long long>(i) + 1, path);
  }
  return true;
}

std::string default_distance_ply(const std::string& output) {
  const fs::path out(output);
  return (out.parent_path() / (out.stem().string() + "_distance.ply")).string();
}

// The checks that can fail before any work: where the results go.
bool outputs_writable(const Options& o, bool withReference) {
  std::string problem = apps::output_file_problem(o.output, {"ply", "obj", "off", "stl"});
  if (problem.empty() && !o.snapshot.empty()) problem = apps::output_file_problem(o.snapshot, {"png"});
  if (problem.empty() && withReference) problem = apps::output_file_problem(o.distancePly, {"ply"});
  if (problem.empty() && !o.recordDir.empty()) problem = apps::output_folder_problem(o.recordDir);
  if (!problem.empty()) apps::report_error(kProgram, problem);
  return problem.empty();
}

bool recorded(const std::string& dir) {
  std::error_code ec;
  return fs::is_regular_file(fs::path(dir) / "send_rangeData.tb", ec) &&
         fs::is_regular_file(fs::path(dir) / "get_triMesh.tb", ec);
}

// The fused mesh in the output's format.
bool write_output(const Options& o, const BaseTriMesh& written) {
  std::string error;
  if (!apps::write_program_mesh(o.output, written, o.asciiPly, error)) {
    apps::report_error(kProgram, error);
    return false;
  }
  console::message("wrote " + o.output);
  return true;
}

// The written mesh with each vertex coloured by its distance to the reference.
bool write_distance_ply(const Options& o, const BaseTriMesh& written, const BaseTriMesh& reference,
                        std::vector<Color3b>& colours) {
  const std::vector<double> d = sim::points_to_surface_distances(written.get_vCoords(), reference);
  const double full = kDistanceColourVoxels * o.param.voxelSize;
  colours.resize(d.size());
  for (std::size_t i = 0; i < d.size(); ++i) colours[i] = apps::distance_colour(d[i], full);
  apps::PlyContents contents;
  contents.vertexNormals = true;
  contents.vertexColours = &colours;
  std::string error;
  if (!apps::write_binary_ply(o.distancePly, written, contents, error)) {
    apps::report_error(kProgram, "cannot write " + o.distancePly + ": " + error);
    return false;
  }
  console::message("wrote " + o.distancePly + ": vertices coloured by their distance to the reference, blue 0 to red " +
                   apps::number(full) + " m (" + apps::number(kDistanceColourVoxels) + " voxels) and more");
  return true;
}

int run_range_demo(int argc, char** argv) {
  Options o;
  if (const int rc = parse(argc, argv, o); rc >= 0) return rc;

  std::vector<RangeData> frames;
  BaseTriMesh reference;
  bool haveReference = false;
  if (!o.conf.empty()) {
    if (o.reference.empty()) {
      const fs::path nextToList = fs::path(o.conf).parent_path() / kBunnyReference;
      if (fs::exists(nextToList)) o.reference = nextToList.string();
    }
  } else {
    reference = sim::make_lumpy_sphere(Eigen::Vector3f::Zero(), kObjectRadius, kObjectBump, kObjectLevels);
    haveReference = o.reference.empty();
  }
  if (o.distancePly.empty()) o.distancePly = default_distance_ply(o.output);
  if (!outputs_writable(o, haveReference || !o.reference.empty())) return 2;
  // A reference asked for must be readable before the fusion starts.
  if (!o.reference.empty()) {
    const bool read = read_mesh(reference, o.reference);
    if (!read || reference.get_fn() == 0) {
      apps::report_error(kProgram, "cannot use reference mesh " + o.reference + (read ? ": it has no faces" : ""));
      return 1;
    }
    haveReference = true;
  }
  if (!o.conf.empty()) {
    if (!read_scans(o.conf, frames)) {
      apps::report_error(kProgram, "cannot read the scans of " + o.conf);
      return 1;
    }
    console::message("read " + std::to_string(frames.size()) + " scans from " + o.conf);
  } else {
    frames = simulated_frames(reference, o.simCols, o.simRows);
    console::message("built-in object: " + std::to_string(frames.size()) + " simulated frames");
  }
  if (frames.empty()) {
    apps::report_error(kProgram, "no frames to fuse");
    return 1;
  }
  for (std::size_t i = 0; i < frames.size(); ++i) {
    std::string line = "frame " + std::to_string(i + 1) + " of " + std::to_string(frames.size()) + ": " +
                       std::to_string(frames[i].get_vn()) + " points on " + std::to_string(frames[i].get_rows()) +
                       " x " + std::to_string(frames[i].get_cols()) + " cells";
    if (haveReference) {
      // How well the frame's pose registers it, before any fusion.
      std::vector<Eigen::Vector3f> posed;
      for (const auto& p : frames[i].get_vCoords()) posed.push_back(frames[i].get_rigidMatrix() * p);
      const sim::DistanceSummary d = sim::points_to_surface_distance(posed, reference);
      line += ", to the reference: mean " + apps::number(d.mean) + " m, 95th " + apps::number(d.p95) + " m";
    }
    console::message(line);
  }

  if (!o.recordDir.empty()) {
    gDAConfig.set_store_path(o.recordDir);
    gDAConfig.record = true;
    gDAConfig.enable = true;
  }

  FusionMeshHelper helper;
  std::string errorText;
  helper.set_param(o.param, errorText);

  const auto start = std::chrono::steady_clock::now();
  std::vector<const RangeData*> ptrs;
  std::vector<std::vector<float>> weights;
  for (const RangeData& f : frames) {
    ptrs.push_back(&f);
    weights.emplace_back(static_cast<std::size_t>(f.get_vn()), 1.f);
  }
  long long sent = 0;
  for (const RangeData& f : frames) sent += f.get_vn();
  // Sampling applies only when asked for; a step of 0 keeps every point anyway.
  if (!helper.send_rangeData(ptrs, std::vector<RigidMatrix>(ptrs.size()), std::vector<bool>(ptrs.size(), false),
                             weights, o.param.sampleStep != 0)) {
    apps::report_error(kProgram, "frames refused by the fusion helper");
    return 1;
  }
  console::message("fusing " + std::to_string(ptrs.size()) + " frames at voxel " + apps::number(o.param.voxelSize) + " m ...");
  BaseTriMesh mesh;
  const RetVal fused = helper.get_triMesh(mesh);
  gDAConfig.reset();
  if (fused != RETVAL_SUCCESS) {
    apps::report_error(kProgram, "fusion failed");
    return 1;
  }
  if (const std::string note = apps::outside_points_note(helper); !note.empty()) apps::report_warning(kProgram, note);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  mesh.squeeze();
  if (mesh.get_fn() == 0) {
    apps::report_error(kProgram, "the fused mesh is empty: no surface at voxel " + apps::number(o.param.voxelSize) + " m" +
                                     (apps::clips(o.param) ? " with --clip-z " + apps::number(o.param.clipZ) + " m" : "") +
                                     "; nothing written");
    return 1;
  }
  if (!o.recordDir.empty()) {
    if (!recorded(o.recordDir)) {
      apps::report_error(kProgram, "the calls could not be recorded in " + o.recordDir);
      return 1;
    }
    console::message("recorded send_rangeData.tb and get_triMesh.tb in " + o.recordDir);
  }
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
  console::message(apps::integrated_points_note(helper, sent, o.param.sampleStep));
  console::message("fused mesh: " + std::to_string(mesh.get_vn()) + " vertices, " + std::to_string(mesh.get_fn()) +
                   " faces in " + apps::number(seconds) + " s");
  console::message("boundary: " + std::to_string(boundaryEdges) + " edges in " + std::to_string(loops.size()) +
                   " loops (longest " + std::to_string(longest) + "), " +
                   std::to_string(mesh.get_fn() - static_cast<int>(tri.n_faces())) + " non-manifold faces dropped");
  // What is written, as an array mesh with vertex normals.
  BaseTriMesh written;
  TriMesh_convert_to_BaseTriMesh(tri, written);
  written.update_VNrv();
  if (!write_output(o, written)) return 1;

  std::vector<Color3b> colours;
  if (haveReference) {
    const sim::MeshDistanceStats d = sim::mesh_distance(mesh, reference);
    print_distance("fused -> reference", d.forward, o.param.voxelSize);
    print_distance("reference -> fused", d.backward, o.param.voxelSize);
    if (!write_distance_ply(o, written, reference, colours)) return 1;
  } else {
    console::message("no reference mesh: distances skipped");
  }
  if (!o.snapshot.empty()) {
    std::string error;
    if (!apps::write_mesh_snapshot(o.snapshot, written, nullptr, o.snapshotWidth, o.snapshotHeight, error)) {
      apps::report_error(kProgram, error);
      return 1;
    }
    console::message("wrote " + o.snapshot + " (" + std::to_string(o.snapshotWidth) + " x " +
                     std::to_string(o.snapshotHeight) + ")");
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

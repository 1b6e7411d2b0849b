// Laser mode of the demo: a simulated handheld laser scanner (two crossed
// laser lines) sweeps over an object, every frame is fused by the real-time
// helper and its cloud refreshed as a viewer would, with frames/s and
// points/s printed while it runs; then the fused cloud (PLY with normals)
// and the trimmed marching-cubes mesh are written. With --batch the same
// sweep is also fused in one call (fusion_all_frame_laser, cloud result),
// written next to it and compared with the real-time cloud.
//
//   fusion_demo --laser [mesh file] [--out DIR] [--frames N] [--voxel S] [--batch]
//
// Without a mesh the object is a bumpy sphere of radius 30 mm; lengths are
// in the mesh's units (millimetres for the built-in object).
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "AppOptions.h"
#include "LaserBatchFusion.h"
#include "LaserSimulator.h"
#include "Progress.h"
#include "RealTimeFusionCloudHelper.h"
#include "common/console.h"
#include "demo_modes.h"
#include "geometry/TriMesh.h"  // read_mesh

using namespace TavoAlgorithm;

namespace {
constexpr const char* kProgram = "fusion_demo --laser";
constexpr float kBuiltinRadius = 30.f;
constexpr float kCellsPerRadius = 150.f;   // default cell: object radius / 150
// A cell finer than this lights more rays per frame than a sweep can take
// in reasonable time; one coarser than the radius holds the whole object.
constexpr float kMaxCellsPerRadius = 2000.f;
constexpr float kCameraDistance = 10.f;    // object radii from the object centre
constexpr int kDefaultFramesPerSweep = 400;  // about one cell between frames
constexpr int kMaxFramesPerSweep = 100000;
constexpr int kSweeps = 6;
constexpr double kReportSeconds = 0.5;  // of fusion time, the window of the rates reported

struct Options {
  std::string mesh, out = ".";
  int framesPerSweep = kDefaultFramesPerSweep;
  float voxel = 0.f;  // 0: radius / kCellsPerRadius
  bool batch = false;
};

// -1 to go on, else the exit code.
int parse(int argc, char** argv, Options& o) {
  CLI::App app(
      "Laser mode: a simulated crossed-line laser scanner sweeps over an object, every frame is fused by\n"
      "RealTimeFusionCloudHelper, then laser_cloud.ply (points with normals) and laser_mesh.ply are written.\n"
      "Lengths are in the mesh's units (millimetres for the built-in bumpy sphere of radius 30 mm).",
      kProgram);
  app.add_option("mesh", o.mesh, "object mesh (.ply, .obj, .off, .stl; default: the built-in sphere)");
  app.add_option("--out", o.out, "folder of the written cloud and mesh (default: the current folder)");
  app.add_option("--frames", o.framesPerSweep,
                 "frames per sweep, " + std::to_string(kSweeps) + " sweeps (default " +
                     std::to_string(kDefaultFramesPerSweep) + ")")
      ->transform(apps::int_in(2, kMaxFramesPerSweep));
  app.add_option("--voxel", o.voxel,
                 "cell edge in the mesh's units, from radius/" + std::to_string(static_cast<int>(kMaxCellsPerRadius)) +
                     " to the object's radius (default radius/" + std::to_string(static_cast<int>(kCellsPerRadius)) +
                     ", 0.2 mm for the built-in object)")
      ->transform(apps::positive_float("mesh units"));
  app.add_flag("--batch", o.batch,
               "also fuse the whole sweep in one call (fusion_all_frame_laser), write laser_batch_cloud.ply and "
               "compare it with the real-time cloud");
  // Argument 0 of the mode's command line is "--laser".
  return apps::parse_command_line(app, argc - 1, argv + 1);
}

// Binary PLY of the listed vertices with their normals and, for a mesh, of
// the faces among them (written here rather than through the half-edge mesh,
// which would refuse the non-manifold faces of thin walls).
bool write_ply(const std::string& path, const Cloud& cloud, const std::vector<int>& ids,
               const BaseTriMesh* mesh = nullptr) {
  std::ofstream out(path, std::ios::binary);
  if (!out) return false;
  std::vector<int> newIndex(static_cast<std::size_t>(cloud.get_vn()), -1);
  for (std::size_t k = 0; k < ids.size(); ++k) newIndex[static_cast<std::size_t>(ids[k])] = static_cast<int>(k);
  std::vector<std::int32_t> faces;
  if (mesh != nullptr)
    for (int f = 0; f < mesh->get_fn(); ++f) {
      const BaseTriFace& t = mesh->get_face(f);
      if (mesh->get_fDeleted(f)) continue;
      const int a = newIndex[static_cast<std::size_t>(t[0])], b = newIndex[static_cast<std::size_t>(t[1])],
                c = newIndex[static_cast<std::size_t>(t[2])];
      if (a >= 0 && b >= 0 && c >= 0) faces.insert(faces.end(), {a, b, c});
    }
  const std::uint16_t probe = 1;
  const bool little = *reinterpret_cast<const std::uint8_t*>(&probe) == 1;
  out << "ply\nformat " << (little ? "binary_little_endian" : "binary_big_endian") << " 1.0\n"
      << "element vertex " << ids.size() << "\n"
      << "property float x\nproperty float y\nproperty float z\n"
      << "property float nx\nproperty float ny\nproperty float nz\n";
  if (mesh != nullptr) out << "element face " << faces.size() / 3 << "\nproperty list uchar int vertex_indices\n";
  out << "end_header\n";
  for (int id : ids) {
    float rec[6];
    std::memcpy(rec, cloud.get_vCoord(id).data(), 3 * sizeof(float));
    std::memcpy(rec + 3, cloud.get_vNrv(id).data(), 3 * sizeof(float));
    out.write(reinterpret_cast<const char*>(rec), sizeof(rec));
  }
  for (std::size_t f = 0; f < faces.size(); f += 3) {
    const std::uint8_t three = 3;
    out.write(reinterpret_cast<const char*>(&three), 1);
    out.write(reinterpret_cast<const char*>(&faces[f]), 3 * sizeof(std::int32_t));
  }
  return static_cast<bool>(out);
}

std::vector<Cloud> to_lines(const sim::LaserFrame& f, long long& points) {
  std::vector<Cloud> lines;
  for (const auto& l : f.lines) {
    Cloud c;
    c.set_vCoords(std::vector<Eigen::Vector3f>(l.points));
    points += c.get_vn();
    lines.push_back(std::move(c));
  }
  return lines;
}

// Fraction of `points` with one of `targets` within `cell`: the targets
// binned by cell, each point looking in its own and the 26 cells around.
double fraction_within(const std::vector<Eigen::Vector3f>& points, const std::vector<Eigen::Vector3f>& targets,
                       float cell) {
  if (points.empty()) return 0;
  const auto key = [&](const Eigen::Vector3i& c) {
    return (static_cast<std::int64_t>(c.x()) * 73856093) ^ (static_cast<std::int64_t>(c.y()) * 19349663) ^
           (static_cast<std::int64_t>(c.z()) * 83492791);
  };
  const auto cell_of = [&](const Eigen::Vector3f& p) {
    return Eigen::Vector3i((p / cell).array().floor().cast<int>());
  };
  std::unordered_multimap<std::int64_t, Eigen::Vector3f> bins;
  for (const Eigen::Vector3f& t : targets) bins.emplace(key(cell_of(t)), t);
  std::size_t near = 0;
  for (const Eigen::Vector3f& p : points) {
    const Eigen::Vector3i c = cell_of(p);
    bool found = false;
    for (int dz = -1; dz <= 1 && !found; ++dz)
      for (int dy = -1; dy <= 1 && !found; ++dy)
        for (int dx = -1; dx <= 1 && !found; ++dx) {
          const auto range = bins.equal_range(key(c + Eigen::Vector3i(dx, dy, dz)));
          for (auto it = range.first; it != range.second && !found; ++it) found = (it->second - p).norm() <= cell;
        }
    near += found;
  }
  return static_cast<double>(near) / static_cast<double>(points.size());
}

std::string format(const char* fmt, double a, double b, double c, double d) {
  char buf[256];
  std::snprintf(buf, sizeof(buf), fmt, a, b, c, d);
  return buf;
}
}  // namespace

int run_laser_demo(int argc, char** argv) {
  Options opt;
  if (const int rc = parse(argc, argv, opt); rc >= 0) return rc;
  if (const std::string problem = apps::output_folder_problem(opt.out); !problem.empty()) {
    apps::report_error(kProgram, problem);
    return 2;
  }
  sim::Scene scene;
  Eigen::Vector3f centre = Eigen::Vector3f::Zero();
  float radius = kBuiltinRadius;
  std::string unit = " mm";
  if (opt.mesh.empty()) {
    scene.meshes.emplace_back(sim::make_lumpy_sphere(centre, radius, 0.1f, 5));
    console::message("built-in object: bumpy sphere of radius 30 mm");
  } else {
    BaseTriMesh mesh;
    const bool read = read_mesh(mesh, opt.mesh);
    if (!read || mesh.get_fn() == 0) {
      apps::report_error(kProgram, "cannot use mesh " + opt.mesh + (read ? ": it has no faces" : ""));
      return 1;
    }
    const BoundingBox box = mesh.get_boundBox();
    centre = 0.5f * (box.min_corner() + box.max_corner());
    radius = 0.5f * (box.max_corner() - box.min_corner()).norm();
    unit = " (mesh units)";
    if (!(radius > 0.f) || !std::isfinite(radius)) {
      apps::report_error(kProgram, "mesh " + opt.mesh + " has no extent");
      return 1;
    }
    scene.meshes.emplace_back(mesh);
    console::message("object " + opt.mesh + ": " + std::to_string(mesh.get_fn()) + " faces, radius " +
                     apps::number(radius) + unit);
  }
  const float finest = radius / kMaxCellsPerRadius;
  if (opt.voxel != 0.f && !(opt.voxel >= finest && opt.voxel <= radius)) {
    apps::report_error(kProgram, "--voxel: " + apps::number(opt.voxel) + " is not a number from " +
                                     apps::number(finest) + " to " + apps::number(radius) + unit +
                                     " (radius/" + std::to_string(static_cast<int>(kMaxCellsPerRadius)) +
                                     " to the radius of the object)");
    return 2;
  }
  const float voxel = opt.voxel > 0.f ? opt.voxel : radius / kCellsPerRadius;
  const float dist = kCameraDistance * radius;
  sim::LaserRig rig = sim::LaserRig::cross_lines(2.f * radius, dist);
  rig.angleStep = 0.5f * voxel / dist;  // two points per cell along a line
  rig.fanHalfAngle = std::atan(1.2f * radius / dist);
  rig.depthNoise = 0.1f * voxel;
  rig.maxGap = 5.f * voxel;

  RealTimeFusionCloudHelper helper(voxel, voxel, 3.f, true);
  if (helper.octree() == nullptr) {
    apps::report_error(kProgram, "the fusion helper has no octree for cell " + apps::number(voxel));
    return 1;
  }
  console::message("fusing " + std::to_string(kSweeps) + " sweeps of " + std::to_string(opt.framesPerSweep) +
                   " frames at cell " + apps::number(voxel) + unit);
  // Sweeps across the object from around it and from above.
  const Eigen::Vector3f dirs[kSweeps] = {{0, 0, 1},  {1, 0, 0},         {0, 0, -1},
                                         {-1, 0, 0}, {0.6f, 0.8f, 0.f}, {-0.6f, 0.8f, 0.f}};
  const long long totalFrames = static_cast<long long>(kSweeps) * opt.framesPerSweep;
  long long points = 0, framesDone = 0, pointsSinceReport = 0, framesSinceReport = 0;
  double busy = 0, busySinceReport = 0;
  std::vector<int> changed;
  std::vector<std::vector<Cloud>> allLines;
  std::vector<RigidMatrix> allPoses;
  unsigned seed = 1;
  apps::Progress progress("frame", totalFrames);
  for (const Eigen::Vector3f& d : dirs) {
    const Eigen::Vector3f up = std::abs(d.y()) > 0.7f ? Eigen::Vector3f::UnitZ() : Eigen::Vector3f::UnitY();
    // Across the horizontal laser line: along the camera's up direction.
    const Eigen::Vector3f across = d.cross(up).cross(d).normalized();
    const Eigen::Vector3f eye = centre + dist * d;
    sim::LaserSweep sweep(scene, rig, eye - 1.2f * radius * across, eye + 1.2f * radius * across, centre, up,
                          opt.framesPerSweep, seed++);
    for (sim::LaserFrame f; sweep.next(f);) {
      long long n = 0;
      const std::vector<Cloud> lines = to_lines(f, n);
      changed.clear();  // get_cloud appends; a viewer would consume them here
      const auto t0 = std::chrono::steady_clock::now();
      helper.fusion_one_laser(lines, f.pose);
      helper.get_cloud(changed);
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      if (opt.batch) {
        allLines.push_back(lines);
        allPoses.push_back(f.pose);
      }
      busy += s;
      busySinceReport += s;
      points += n;
      pointsSinceReport += n;
      ++framesDone;
      ++framesSinceReport;
      if (busySinceReport > 0.0 && (busySinceReport >= kReportSeconds || framesDone == totalFrames)) {
        progress.report(framesDone, format("%.1f frames/s, %.3f million points/s, %.0f live points",
                                           framesSinceReport / busySinceReport,
                                           pointsSinceReport / busySinceReport * 1e-6, helper.get_valid_vids(), 0));
        busySinceReport = 0;
        pointsSinceReport = framesSinceReport = 0;
      }
    }
  }
  progress.finish();
  console::message(format("fused %.0f frames, %.0f points: %.1f frames/s, %.3f million points/s",
                          static_cast<double>(framesDone), static_cast<double>(points),
                          busy > 0.0 ? framesDone / busy : 0.0, busy > 0.0 ? points / busy * 1e-6 : 0.0));

  const Cloud& cloud = helper.get_cloud(changed);
  const std::vector<int>& live = helper.get_valid_ids(true);
  BaseTriMesh mesh;
  helper.get_marching_cube_mesh(mesh);
  helper.make_union(mesh);
  std::vector<int> keptVertices;
  for (int v = 0; v < mesh.get_vn(); ++v)
    if (!mesh.get_vDeleted(v)) keptVertices.push_back(v);
  if (live.empty() || keptVertices.empty() || mesh.get_fn() == 0) {
    apps::report_error(kProgram, "the fusion left " + std::to_string(live.size()) + " points and " +
                                     std::to_string(mesh.get_fn()) + " faces: the laser saw no surface; nothing written");
    return 1;
  }
  const std::string cloudPath = opt.out + "/laser_cloud.ply", meshPath = opt.out + "/laser_mesh.ply";
  if (!write_ply(cloudPath, cloud, live)) {
    apps::report_error(kProgram, "cannot write " + cloudPath);
    return 1;
  }
  console::message("wrote " + cloudPath + ": " + std::to_string(live.size()) + " points with normals");
  if (!write_ply(meshPath, mesh, keptVertices, &mesh)) {
    apps::report_error(kProgram, "cannot write " + meshPath);
    return 1;
  }
  console::message("wrote " + meshPath + ": " + std::to_string(keptVertices.size()) + " of " +
                   std::to_string(mesh.get_vn()) + " marching-cubes vertices kept by the live cloud, " +
                   std::to_string(mesh.get_fn()) + " faces before trimming");
  if (!opt.batch) return 0;

  // The one-call path on a grid whose corner lies below the object.
  const float reach = 1.5f * radius;
  const BoundingBox box(centre - Eigen::Vector3f::Constant(reach), centre + Eigen::Vector3f::Constant(reach));
  Cloud batch;
  const auto t0 = std::chrono::steady_clock::now();
  fusion_all_frame_laser(allLines, allPoses, box, voxel, voxel, true, batch, 3);
  const double batchSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::vector<int> all(static_cast<std::size_t>(batch.get_vn()));
  for (int k = 0; k < batch.get_vn(); ++k) all[static_cast<std::size_t>(k)] = k;
  const std::string batchPath = opt.out + "/laser_batch_cloud.ply";
  if (!write_ply(batchPath, batch, all)) {
    apps::report_error(kProgram, "cannot write " + batchPath);
    return 1;
  }
  std::vector<Eigen::Vector3f> livePoints;
  for (int id : live) livePoints.push_back(cloud.get_vCoord(id));
  const double near = fraction_within(batch.get_vCoords(), livePoints, voxel);
  console::message(format("batch: %.0f points in %.3f s, %.3f million points/s (real-time %.3f)", batch.get_vn(),
                          batchSeconds, points / batchSeconds * 1e-6, points / busy * 1e-6));
  console::message("wrote " + batchPath + ": " +
                   format("%.2f%% of its points within one cell of the real-time cloud", 100 * near, 0, 0, 0));
  return 0;
}

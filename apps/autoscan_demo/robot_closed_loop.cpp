#include "robot_closed_loop.h"

#include <Eigen/Geometry>
#include <chrono>
#include <cmath>
#include <list>

#include "MeshDistance.h"
#include "MeshShape.h"
#include "PoseError.h"
#include "RobotAutoScanHelper.h"
#include "ScanSetMm.h"
#include "geometry/TriMesh.h"
#include "muted_stdout.h"
#include "registration_platform/tavoRegistrationManager.h"

namespace autoscan_demo {

namespace {

using namespace TavoAlgorithm;
using Clock = std::chrono::steady_clock;
using TavoRegistration::tavoRegistrationManager;

// Registration ids of the demo's frames start here.
constexpr int kFirstRegistrationId = 1;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double percent(int part, int whole) { return whole > 0 ? 100.0 * part / whole : 0.0; }

// Frames, their true poses and ids, as the host keeps them.
struct Session {
  sim::RobotCell cell = sim::default_robot_cell();
  sim::Scene scene;
  std::list<RangeData> frames;  // borrowed by the planner: stable addresses
  std::vector<RigidMatrix> truePoses;
  std::vector<int> ids;
};

// Pose error of each frame against frame 0's, RMS over its points.
double mean_relative_error(const Session& s, const std::vector<RigidMatrix>& corrections) {
  if (s.frames.size() < 2) return 0.0;
  auto placed = [&](std::size_t k, const RangeData& f) {
    const RigidMatrix c = k < corrections.size() ? corrections[k] : RigidMatrix();
    return c * f.get_rigidMatrix() * s.truePoses[k].inverse();
  };
  const RigidMatrix first = placed(0, s.frames.front()).inverse();
  double sum = 0.0;
  std::size_t k = 0;
  for (const RangeData& f : s.frames) {
    if (k > 0) sum += sim::pose_deviation(first * placed(k, f), sim::placed_points(f).points).rms;
    ++k;
  }
  return sum / static_cast<double>(s.frames.size() - 1);
}

// Share of the reachable faces whose centre lies within `tolerance` of the
// model.
double fused_percent(const BaseTriMesh& object, const std::vector<char>& reachable, const BaseTriMesh& model,
                     double tolerance) {
  std::vector<Eigen::Vector3f> centres;
  for (int f = 0; f < object.get_fn(); ++f) {
    if (!reachable[static_cast<std::size_t>(f)]) continue;
    const BaseTriFace& t = object.get_face(f);
    centres.push_back((object.get_vCoord(t[0]) + object.get_vCoord(t[1]) + object.get_vCoord(t[2])) / 3.f);
  }
  int near = 0;
  for (double d : sim::points_to_surface_distances(centres, model)) near += d <= tolerance;
  return percent(near, static_cast<int>(centres.size()));
}

}  // namespace

bool place_on_turntable(BaseTriMesh& mesh, float scale, bool yUp) {
  if (mesh.get_fn() == 0 || !std::isfinite(scale)) return false;
  const Eigen::Matrix3f toZUp =
      yUp ? Eigen::AngleAxisf(static_cast<float>(M_PI / 2), Eigen::Vector3f::UnitX()).toRotationMatrix()
          : Eigen::Matrix3f::Identity();
  std::vector<Eigen::Vector3f> points = mesh.get_vCoords();
  Eigen::AlignedBox3f box;
  for (Eigen::Vector3f& p : points) {
    p = toZUp * (p * scale);
    if (!p.allFinite()) return false;
    box.extend(p);
  }
  const sim::RobotCell cell = sim::default_robot_cell();
  const Eigen::Vector3f axis = (cell.model_from_world() * cell.axisPoint).cast<float>();
  const Eigen::Vector3f shift(axis.x() - box.center().x(), axis.y() - box.center().y(), axis.z() - box.min().z());
  for (Eigen::Vector3f& p : points) p += shift;
  mesh.set_vCoords(std::move(points));
  return true;
}

BaseTriMesh builtin_object() {
  BaseTriMesh ball = sim::make_lumpy_sphere(Eigen::Vector3f::Zero(), 40.f, 0.15f, 4);
  place_on_turntable(ball, 1.f, false);
  return ball;
}

bool run_robot_loop(const BaseTriMesh& object, const RobotLoopOptions& o, RobotLoopResult& result, std::string& error) {
  result = RobotLoopResult();
  Session s;
  s.scene.meshes.emplace_back(object);
  const RobotScanInfo info = sim::robot_scan_info(s.cell);

  RobotAutoScanHelper planner;
  RobotAutoScanParam param;
  param.firstAngle = o.firstAngle;
  param.lastAngle = o.lastAngle;
  param.angleStep = o.angleStep;
  param.tsdfVoxelSize = o.tsdfVoxel;
  param.planVoxelSize = o.planVoxel;
  param.stopThreshold = o.stopThreshold;
  param.clipZ = o.clipZ;
  param.minShellSize = 100;
  {
    MutedStdout mute(!o.verbose);
    std::string err;
    planner.set_param(param, info, err);
  }
  RobotPath all, firstScans;
  planner.get_allPlatformPath_and_firstScanPath(all, firstScans);
  if (all.empty()) {
    error = "the cell gives no candidate views";
    return false;
  }
  result.candidates = static_cast<int>(all.size());

  // What any candidate (or first scan) could measure.
  const std::size_t faces = static_cast<std::size_t>(object.get_fn());
  result.reachable.assign(faces, 0);
  result.firstView.assign(faces, 0);
  RobotPath everything = all;
  everything.insert(everything.end(), firstScans.begin(), firstScans.end());
  for (const auto& [pose, angle] : everything) {
    const std::vector<char> seen = sim::faces_measured(s.cell, s.scene, object, pose, angle);
    for (std::size_t f = 0; f < faces; ++f) result.reachable[f] |= seen[f];
  }
  for (char r : result.reachable) result.reachableCount += r;

  tavoRegistrationManager* registration = tavoRegistrationManager::new_instance(0);
  auto shoot = [&](const RigidMatrix& pose, int angle, RobotViewRecord& v) {
    const Clock::time_point t0 = Clock::now();
    sim::RobotShotOptions shot = o.shot;
    shot.seed = o.shot.seed + static_cast<unsigned>(s.frames.size());
    RigidMatrix truth;
    s.frames.push_back(sim::robot_range_frame(s.cell, s.scene, pose, angle, shot, &truth));
    s.truePoses.push_back(truth);
    const RangeData& f = s.frames.back();
    const int id = kFirstRegistrationId + static_cast<int>(s.ids.size());
    registration->set_frame_data(id, f, f.get_rigidMatrix());
    planner.send_rangeData(&f, RigidMatrix(), false, false);
    s.ids.push_back(id);
    planner.set_registration_ids(s.ids);
    const std::vector<char> seen = sim::faces_measured(s.cell, s.scene, object, pose, angle);
    const int view = static_cast<int>(result.views.size()) + 1;
    for (std::size_t k = 0; k < faces; ++k)
      if (seen[k] && result.firstView[k] == 0) {
        result.firstView[k] = view;
        result.coveredCount += result.reachable[k];
      }
    v.platformAngle = angle;
    v.points = f.get_vn();
    v.shootSeconds = seconds_since(t0);
    v.coveragePercent = percent(result.coveredCount, result.reachableCount);
    result.views.push_back(v);
    if (o.onView) o.onView(result);
  };

  bool ok = true;
  for (const auto& [pose, angle] : firstScans) {
    RobotViewRecord v;
    shoot(pose, angle, v);
  }
  for (int planned = 0; planned < o.maxViews; ++planned) {
    RigidMatrix pose;
    int angle = 0, best = -1;
    bool finished = false;
    const Clock::time_point t0 = Clock::now();
    RetVal r;
    {
      MutedStdout mute(!o.verbose);
      r = planner.run(pose, angle, finished, best);
    }
    const double planSeconds = seconds_since(t0);
    // run fused every view so far: the model of the last one.
    {
      MutedStdout mute(!o.verbose);
      BaseTriMesh model;
      if (planner.get_triMesh(model) == RETVAL_SUCCESS)
        result.views.back().fusedPercent = fused_percent(object, result.reachable, model, o.tsdfVoxel);
    }
    if (r != RETVAL_SUCCESS) {
      error = "the planner could not score the views (no OpenGL renderer, or no model)";
      ok = false;
      break;
    }
    if (finished) {
      result.finished = true;
      break;
    }
    RobotViewRecord v;
    v.candidate = best;
    v.planSeconds = planSeconds;
    shoot(pose, angle, v);
  }
  result.meanErrorBefore = mean_relative_error(s, {});
  {
    MutedStdout mute(!o.verbose);
    result.meanErrorAfter = mean_relative_error(s, planner.do_icp());
    planner.get_triMesh(result.model);
  }
  result.fusedPercent = fused_percent(object, result.reachable, result.model, o.tsdfVoxel);
  if (!result.views.empty()) result.views.back().fusedPercent = result.fusedPercent;
  tavoRegistrationManager::delete_instance(0);
  return ok;
}

}  // namespace autoscan_demo

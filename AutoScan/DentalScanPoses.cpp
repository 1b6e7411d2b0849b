#include "DentalScanPoses.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "ComputeRT.h"
#include "Parallel.h"

namespace TavoAlgorithm {
namespace {

constexpr std::int32_t kLowestTilt = -30;
constexpr std::int32_t kHighestTilt = 140;
// The look-at centre and the up probe lie this far along the camera axes.
constexpr double kLookDistance = 100.0;
constexpr int kResetHalfGrid = 20;

double degrees(float radians) { return static_cast<double>(radians) * 180.0 / M_PI; }

Eigen::Vector2f focal(const CameraInfo& c, int k) { return {c.focal[2 * k], c.focal[2 * k + 1]}; }
Eigen::Vector2f principal(const CameraInfo& c, int k) { return {c.principal[2 * k], c.principal[2 * k + 1]}; }
Eigen::Vector2i image_size(const CameraInfo& c, int k) {
  return k == 2 ? Eigen::Vector2i(c.size[0], c.size[1]) : Eigen::Vector2i(c.size[2], c.size[3]);
}
Eigen::Vector2i twice_principal(const CameraInfo& c, int k) {
  return {2 * static_cast<int>(c.principal[2 * k]), 2 * static_cast<int>(c.principal[2 * k + 1])};
}

// The chain of the pose computations before the A3 turn.
RigidMatrix machine_chain(const AxisInfo& a, const std::int32_t s[4]) {
  RigidMatrix m;
  ComputeRT::compute_rt(a.point[0], a.direction[0], s[0], a.point[1], a.direction[1], s[1] - a.tiltOffset,
                        a.point[2], a.direction[2], static_cast<double>(s[2] - a.setting2Offset) * a.k, a.point[4],
                        a.direction[4], -a.d, degrees(a.angleS), m);
  return m;
}

RigidMatrix a3_turn(const AxisInfo& a, double angle) {
  RigidMatrix r;
  ComputeRT::get_rotate_matrix(a.point[3], a.direction[3], angle, r);
  return r;
}

}  // namespace

RetVal dental_comput_rt(const Eigen::Vector3d& p0, const Eigen::Vector3d& d0, double a0, const Eigen::Vector3d& p1,
                        const Eigen::Vector3d& d1, double a1, const Eigen::Vector3d& p2, const Eigen::Vector3d& d2,
                        double a2, const Eigen::Vector3d& p3, const Eigen::Vector3d& d3, double a3,
                        const Eigen::Vector3d& p4, const Eigen::Vector3d& d4, double a4, double s, double k,
                        RigidMatrix& out) {
  ComputeRT::compute_rt(p0, d0, a0, p1, d1, a1, p2, d2, a2 * k, p3, d3, a3, s, out);
  if (d4.norm() > 0.0) {
    RigidMatrix r;
    ComputeRT::get_rotate_matrix(p4, d4, a4, r);
    out = r.inverse() * out;
  }
  return RETVAL_SUCCESS;
}

RigidMatrix dental_machine_rt(const AxisInfo& a, const std::int32_t s[4]) {
  RigidMatrix m;
  dental_comput_rt(a.point[0], a.direction[0], s[0], a.point[1], a.direction[1], s[1] - a.tiltOffset, a.point[2],
                   a.direction[2], s[2] - a.setting2Offset, a.point[4], a.direction[4], -a.d, a.point[3],
                   a.direction[3], s[3], degrees(a.angleS), a.k, m);
  return m;
}

void dental_look_at(const AxisInfo& axis, const CameraInfo& camera, const std::int32_t settings[4],
                    std::vector<Eigen::Vector3f>& eyes, std::vector<Eigen::Vector3f>& centers,
                    std::vector<Eigen::Vector3f>& ups, std::vector<float>& fovys) {
  const RigidMatrix t = dental_machine_rt(axis, settings);
  eyes.resize(3);
  centers.resize(3);
  ups.resize(3);
  for (int k = 0; k < 3; ++k) {
    const RigidMatrix m = t * camera.pose[k].inverse();
    const Eigen::Vector3d eye = m * Eigen::Vector3d(0, 0, 0);
    eyes[k] = eye.cast<float>();
    centers[k] = (m * Eigen::Vector3d(0, 0, kLookDistance)).cast<float>();
    ups[k] = (eye - m * Eigen::Vector3d(0, kLookDistance, 0)).normalized().cast<float>();
  }
  fovys.resize(3);
  for (int k = 0; k < 2; ++k)
    fovys[k] = static_cast<float>(compute_fovy(focal(camera, k), principal(camera, k), twice_principal(camera, k)));
  fovys[2] = static_cast<float>(compute_fovy(focal(camera, 2), principal(camera, 2), image_size(camera, 2)));
}

RetVal get_spheres_twoAxis(std::int32_t t0, std::int32_t t1, std::int32_t step, std::int32_t setting2,
                           std::int32_t setting3, const AxisInfo& axis, const CameraInfo& camera,
                           std::vector<std::pair<std::int32_t, std::int32_t>>& angles, std::vector<float>& weights,
                           OpenGLCameraParam& cameraSet, std::vector<std::pair<std::int32_t, std::int32_t>>& presets) {
  if (t0 < kLowestTilt || t1 > kHighestTilt || step < 1 || t0 > t1) return RETVAL_FAILED;
  std::vector<std::pair<std::int32_t, std::int32_t>> grid;
  for (std::int32_t t = t0; t <= t1; t += step)
    for (std::int32_t r = 0; r < 360; r += step) grid.emplace_back(r, t);

  OpenGLCameraParam set;
  set.eyes.resize(grid.size() * 9);
  set.centers.resize(grid.size() * 9);
  set.ups.resize(grid.size() * 9);
  set.fovys.resize(4, 0.f);
  for (int k = 0; k < 3; ++k)
    set.fovys[k] = static_cast<float>(compute_fovy(focal(camera, k), principal(camera, k), twice_principal(camera, k)));
  // Every pose is independent; each task writes only its own nine floats.
  auxilary_tbb_for(omp_get_max_threads(), 0, grid.size(), [&](std::size_t i) {
    const std::int32_t s[4] = {grid[i].first, grid[i].second, setting2, setting3};
    std::vector<Eigen::Vector3f> e, c, u;
    std::vector<float> f;
    dental_look_at(axis, camera, s, e, c, u, f);
    for (int k = 0; k < 3; ++k)
      for (int j = 0; j < 3; ++j) {
        set.eyes[9 * i + 3 * k + j] = e[k][j];
        set.centers[9 * i + 3 * k + j] = c[k][j];
        set.ups[9 * i + 3 * k + j] = u[k][j];
      }
  });
  angles = std::move(grid);
  weights.assign(angles.size(), 1.f);
  cameraSet = std::move(set);
  presets = {{0, 10}, {0, 60}, {90, 60}, {180, 60}, {270, 60}};
  return RETVAL_SUCCESS;
}

RetVal make_dental_plan_setup(const DentalAutoScanParam& param, std::int32_t setting2, std::int32_t setting3,
                              const CameraInfo& camera, const AxisInfo& axis, DentalPlanSetup& setup) {
  DentalPlanSetup s;
  if (get_spheres_twoAxis(param.firstAngle, param.lastAngle, param.angleStep, setting2, setting3, axis, camera,
                          s.angles, s.weights, s.cameras, s.presets) != RETVAL_SUCCESS)
    return RETVAL_FAILED;
  s.param = param;
  s.camera = camera;
  s.axis = axis;
  setup = std::move(s);
  return RETVAL_SUCCESS;
}

RetVal fix_cameraInfo(CameraInfo& camera) {
  for (int k = 0; k < 3; ++k) {
    const Eigen::Vector2f f = focal(camera, k);
    const Eigen::Vector2f c = principal(camera, k);
    const Eigen::Vector2i size = image_size(camera, k);
    if (f.x() == 0.f || f.y() == 0.f || size.x() <= 0 || size.y() <= 0) continue;
    // The old ray of the image centre becomes the optical axis.
    const Eigen::Vector3d ray((0.5 * size.x() - c.x()) / f.x(), (0.5 * size.y() - c.y()) / f.y(), 1.0);
    const Eigen::Matrix3d q =
        Eigen::Quaterniond::FromTwoVectors(Eigen::Vector3d::UnitZ(), ray.normalized()).toRotationMatrix();
    camera.pose[k] = RigidMatrix(q, Eigen::Vector3d::Zero()).inverse() * camera.pose[k];
    camera.principal[2 * k] = 0.5f * static_cast<float>(size.x());
    camera.principal[2 * k + 1] = 0.5f * static_cast<float>(size.y());
  }
  return RETVAL_SUCCESS;
}

float get_clip_z(const CameraInfo& camera, const AxisInfo& axis, const std::int32_t settings[4], std::int32_t row) {
  const double fx = camera.focal[0], fy = camera.focal[1];
  if (fx == 0.0 || fy == 0.0) return std::numeric_limits<float>::quiet_NaN();
  Eigen::Matrix3d kMat;
  kMat << fx, 0, camera.principal[0], 0, fy, camera.principal[1], 0, 0, 1;
  const RigidMatrix toRig = camera.pose[0].inverse();
  const double l = (toRig * Eigen::Vector3d(0, 0, 0)).norm();
  const Eigen::Vector3d q = (kMat.inverse() * Eigen::Vector3d(10.0, row, 1.0)).normalized() * l;
  const RigidMatrix t = a3_turn(axis, settings[3]) * machine_chain(axis, settings);
  return static_cast<float>((t * (toRig * q)).z());
}

RetVal get_fix_reset_angle(const AxisInfo& axis, const CameraInfo& camera, std::int32_t a, std::int32_t b,
                           std::int32_t& first, std::int32_t& second) {
  first = 0;
  second = 0;
  constexpr int n = 2 * kResetHalfGrid;
  std::vector<double> score(n * n, -std::numeric_limits<double>::infinity());
  const double sDeg = std::trunc(degrees(axis.angleS) + 0.5);
  const Eigen::Vector3d axis0 = camera.pose[0].get_rotation().transpose() * Eigen::Vector3d::UnitZ();
  const Eigen::Vector3d axis1 = camera.pose[1].get_rotation().transpose() * Eigen::Vector3d::UnitZ();
  const Eigen::Vector3d view = axis0 + axis1;
  const Eigen::Vector3d baseline =
      camera.pose[1].inverse().get_translation() - camera.pose[0].inverse().get_translation();
  auxilary_tbb_for(omp_get_max_threads(), 0, n, [&](std::size_t r) {
    for (int c = 0; c < n; ++c) {
      AxisInfo cell = axis;
      cell.tiltOffset = axis.tiltOffset - (static_cast<int>(r) - kResetHalfGrid);
      cell.angleS = static_cast<float>((sDeg + c - kResetHalfGrid) * M_PI / 180.0);
      const std::int32_t s[4] = {0, 0, b, a};
      const RigidMatrix t = a3_turn(cell, a) * machine_chain(cell, s);
      const Eigen::Vector3d d = t.get_rotation() * view;
      const Eigen::Vector3d e = t.get_rotation() * baseline;
      if (!(d.norm() > 0.0) || !(e.norm() > 0.0) || !d.allFinite() || !e.allFinite()) continue;
      // Straight down, with the pair's baseline along the table's x axis.
      score[r * n + c] = -d.normalized().z() + e.normalized().x();
    }
  });
  const auto best = std::max_element(score.begin(), score.end());  // first of the largest
  if (!std::isfinite(*best)) return RETVAL_SUCCESS;
  const int i = static_cast<int>(best - score.begin());
  first = static_cast<std::int32_t>(sDeg) + i % n - kResetHalfGrid;
  second = i / n - kResetHalfGrid;
  return RETVAL_SUCCESS;
}

}  // namespace TavoAlgorithm

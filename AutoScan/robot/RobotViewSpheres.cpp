#include "RobotViewSpheres.h"

#include <algorithm>
#include <cmath>

#include "registration_platform/RotateMatrix.h"

namespace TavoAlgorithm {

namespace {

using TavoRegistration::compute_rotate_matrix;
using Vec3 = Eigen::Vector3d;

constexpr int kMaxStandardElevation = 140;
constexpr double kTurnDeg = 360.0;
// Points along each camera's optical axis and image y axis (mm).
constexpr double kAxisProbe = 100.0;
constexpr double kMinAxisLength2 = 1e-10;
constexpr double kMinUnit = 1e-12;

RigidMatrix rotation(double deg, const Vec3& direction, const Vec3& point) {
  return compute_rotate_matrix(deg, direction, point);
}

// The turn about the line through q along x that takes a to b.
RigidMatrix rotation_taking(const Vec3& a, const Vec3& b, const Vec3& q, const Vec3& x) {
  const double c = std::clamp((a - q).normalized().dot((b - q).normalized()), -1.0, 1.0);
  return rotation(std::acos(c) * 180.0 / M_PI, x, q);
}

RigidMatrix translated(const RigidMatrix& m, const Vec3& offset) {
  return RigidMatrix(m.get_rotation(), m.get_translation() + offset);
}

// What every generator derives from the cell record.
struct Sphere {
  Vec3 c1, a1, y1, c2, a2, y2;  // camera centres and probe points (world)
  Vec3 D, P, O, u, w;
  double R = 0.0, cosThetaC = 0.0;
  Vec3 top, bottom;
  RigidMatrix Rz;
  RigidMatrix toRobot;  // E -> S * E * RT1^-1 * F^-1 is toRobotLeft * E * toRobot
  RigidMatrix toRobotLeft;
  float fovy1 = 0.f, fovy2 = 0.f;

  // The elevation pose at elevation `a` (degrees) about O.
  RigidMatrix elevation_pose(int a, Vec3* target = nullptr) const {
    if (a == 0) {
      if (target != nullptr) *target = top;
      return rotation_taking(c1, top, O, w);
    }
    const Vec3 t = rotation(a, -w, O) * top;
    if (target != nullptr) *target = t;
    const Vec3 axis = std::cos(a * M_PI / 180.0) > cosThetaC ? w : Vec3(-w);
    return rotation_taking(c1, t, O, axis);
  }
  RigidMatrix robot_pose(const RigidMatrix& e) const { return toRobotLeft * e * toRobot; }
};

bool make_sphere(const RobotScanInfo& info, Sphere& s) {
  RobotScanInfo::Camera first, second;
  info.get_camera_ccf(first, second);
  Eigen::Vector3f d, p;
  info.get_axis_info(d, p);
  s.D = d.cast<double>();
  s.P = p.cast<double>();
  const RigidMatrix inv1 = first.RT.inverse(), inv2 = second.RT.inverse();
  s.c1 = inv1.get_translation();
  s.a1 = inv1 * Vec3(0, 0, kAxisProbe);
  s.y1 = inv1 * Vec3(0, kAxisProbe, 0);
  s.c2 = inv2.get_translation();
  s.a2 = inv2 * Vec3(0, 0, kAxisProbe);
  s.y2 = inv2 * Vec3(0, kAxisProbe, 0);
  if (!s.D.allFinite() || !s.P.allFinite() || !s.c1.allFinite() || !s.c2.allFinite() || !(s.D.norm() > kMinUnit))
    return false;

  // Foot of the axis nearest the origin.
  const Vec3 dir = kAxisProbe * s.D;
  s.O = dir.squaredNorm() < kMinAxisLength2 ? s.P : Vec3(s.P + dir * (-s.P).dot(dir) / dir.squaredNorm());
  s.R = (s.c1 - s.O).norm();
  if (!(s.R > kMinUnit)) return false;
  s.u = (-s.D).normalized();
  const Vec3 toCamera = (s.c1 - s.O).normalized();
  Vec3 side = toCamera.cross(s.u);
  // Camera 1 on the axis: any direction across the axis serves.
  if (side.norm() < kMinUnit) side = s.u.cross(std::abs(s.u.x()) < 0.9 ? Vec3::UnitX() : Vec3::UnitY());
  s.w = side.normalized();
  s.cosThetaC = s.u.dot(toCamera);
  s.top = s.O + s.R * s.u;
  s.bottom = s.O - s.R * s.u;

  // Turntable alignment: -D onto +z. An axis along z has no turn axis; -D
  // pointing down z then needs the half turn.
  const Vec3 k(-s.D.y(), s.D.x(), 0.0);
  if (k.norm() > kMinUnit)
    s.Rz = rotation(std::acos(std::clamp(-s.D.z(), -1.0, 1.0)) * 180.0 / M_PI, k.normalized(), Vec3::Zero());
  else
    s.Rz = s.D.z() > 0.0 ? rotation(180.0, Vec3::UnitX(), Vec3::Zero()) : RigidMatrix::identity();

  s.toRobotLeft = info.get_sum_mat();
  s.toRobot = first.RT.inverse() * info.get_fixture_mat().inverse();
  s.fovy1 = static_cast<float>(2.0 * std::atan(first.cc[1] / first.fc[1]));
  s.fovy2 = static_cast<float>(2.0 * std::atan(second.cc[1] / second.fc[1]));
  return true;
}

struct Candidate {
  RigidMatrix elevation;
  int platform;
};

void push(std::vector<float>& v, const Vec3& a) {
  for (int k = 0; k < 3; ++k) v.push_back(static_cast<float>(a[k]));
}

// Writes the candidates into the path and the camera record.
void emit(const Sphere& s, const std::vector<Candidate>& candidates, RobotPath& path, OpenGLCameraParam& camera) {
  camera.eyes.clear();
  camera.centers.clear();
  camera.ups.clear();
  path.clear();
  const std::size_t n = candidates.size();
  camera.eyes.reserve(9 * n);
  camera.centers.reserve(9 * n);
  camera.ups.reserve(9 * n);
  path.reserve(n);
  for (const Candidate& c : candidates) {
    const RigidMatrix rp = rotation(kTurnDeg - c.platform, -s.D, s.P);
    const RigidMatrix m = s.Rz * rp * c.elevation;
    const Vec3 e1 = m * s.c1, e2 = m * s.c2;
    const Vec3 up1 = (e1 - m * s.y1).normalized(), up2 = (e2 - m * s.y2).normalized();
    push(camera.eyes, e2);
    push(camera.eyes, e2);
    push(camera.eyes, e1);
    push(camera.centers, m * s.a2);
    push(camera.centers, m * s.a2);
    push(camera.centers, m * s.a1);
    push(camera.ups, up2);
    push(camera.ups, up2);
    push(camera.ups, up1);
    path.emplace_back(s.robot_pose(c.elevation), c.platform);
  }
  camera.fovys = {s.fovy1, s.fovy1, s.fovy2};
}

void add_turns(std::vector<Candidate>& out, const RigidMatrix& e, int step) {
  for (int p = 0; p < kTurnDeg; p += step) out.push_back({e, p});
}

void first_scan_turns(RobotPath& firstScan, const RigidMatrix& pose) {
  for (int angle : {0, 90, 180, 270}) firstScan.emplace_back(pose, angle);
}

bool usable_step(int step) { return step > 0; }

}  // namespace

RetVal get_spheres_robot(int first, int last, int step, const RobotScanInfo& info, RobotPath& path,
                         OpenGLCameraParam& camera, RobotPath& firstScan) {
  Sphere s;
  if (last > kMaxStandardElevation || !usable_step(step) || !make_sphere(info, s)) return RETVAL_FAILED;
  std::vector<Candidate> candidates;
  for (int a = first; a <= last; a += step) {
    const RigidMatrix e = s.elevation_pose(a);
    if (a == 0)
      candidates.push_back({e, 0});
    else
      add_turns(candidates, e, step);
  }
  emit(s, candidates, path, camera);
  firstScan.clear();
  first_scan_turns(firstScan, s.robot_pose(RigidMatrix::identity()));
  return RETVAL_SUCCESS;
}

RetVal get_spheres_robot_large_format(int first, int last, int step, float length, float centreStep,
                                      const RobotScanInfo& info, RobotPath& path, OpenGLCameraParam& camera,
                                      RobotPath& firstScan) {
  Sphere s;
  if (!usable_step(step) || !std::isfinite(length) || !std::isfinite(centreStep) ||
      (length > 0.f && !(centreStep > 0.f)) || !make_sphere(info, s))
    return RETVAL_FAILED;
  std::vector<double> offsets;
  for (double t = 0.0; t < length; t += centreStep) offsets.push_back(t);
  offsets.push_back(length);
  const int n = static_cast<int>(offsets.size());
  const auto centre = [&](int k) { return Vec3(s.O + offsets[static_cast<std::size_t>(k)] * s.u); };
  // A view whose point, moved with its centre, comes within the radius of a
  // neighbouring centre belongs to that neighbour's sphere.
  const auto near_next = [&](int k, const Vec3& p) { return k < n - 1 && (p - centre(k + 1)).norm() < s.R; };
  const auto near_previous = [&](int k, const Vec3& p) { return k > 0 && (p - centre(k - 1)).norm() < s.R; };

  std::vector<Candidate> candidates;
  for (int k = 0; k < n; ++k) {
    const Vec3 offset = offsets[static_cast<std::size_t>(k)] * s.u;
    const int from = k == n - 1 ? first : 0;
    const int to = k == 0 ? last : 180;
    for (int a = from; a <= to; a += step) {
      if (a == 0) {
        if (!near_next(k, s.top + offset))
          candidates.push_back({translated(s.elevation_pose(0), offset), 0});
      } else if (a == 180) {
        if (!near_previous(k, s.bottom + offset))
          candidates.push_back({translated(rotation_taking(s.c1, s.bottom, s.O, -s.w), offset), 0});
      } else {
        Vec3 target;
        const RigidMatrix e = s.elevation_pose(a, &target);
        if (near_next(k, target + offset) || near_previous(k, target + offset)) continue;
        add_turns(candidates, translated(e, offset), step);
      }
    }
  }
  emit(s, candidates, path, camera);
  firstScan.clear();
  for (int k = n - 1; k >= 0; --k)
    first_scan_turns(firstScan, s.robot_pose(translated(RigidMatrix::identity(), offsets[static_cast<std::size_t>(k)] * s.u)));
  return RETVAL_SUCCESS;
}

RetVal get_all_spheres_robot_scan_shoes(int first, int last, int step, float shiftStep, const RobotScanInfo& info,
                                        const Eigen::Vector2f& shiftRange, RobotPath& path, RobotPath& firstScan,
                                        OpenGLCameraParam& camera) {
  Sphere s;
  const float range = shiftRange[0];
  if (last > kMaxStandardElevation || !usable_step(step) || !std::isfinite(shiftStep) || !std::isfinite(range) ||
      (range > 0.f && !(shiftStep >= 1.f)) || !make_sphere(info, s))
    return RETVAL_FAILED;
  const auto next = [&](float v) { return std::trunc(v + shiftStep); };
  std::vector<Candidate> candidates;
  for (int a = first; a <= last; a += step) {
    const RigidMatrix e = s.elevation_pose(a);
    if (a <= 0 || a >= 180) {
      if (a == 0)
        candidates.push_back({e, 0});
      else
        add_turns(candidates, e, step);
      continue;
    }
    for (float shift = 0.f; shift < range; shift = next(shift)) {
      add_turns(candidates, translated(RigidMatrix::identity(), shift * s.w) * e, step);
      if (shift != 0.f) add_turns(candidates, translated(RigidMatrix::identity(), -shift * s.w) * e, step);
    }
  }
  emit(s, candidates, path, camera);
  firstScan.clear();
  const RigidMatrix top = s.elevation_pose(0);
  for (float shift = std::trunc(-range); shift < range; shift = next(shift))
    firstScan.emplace_back(translated(RigidMatrix::identity(), shift * s.w) * top, 0);
  return RETVAL_SUCCESS;
}

}  // namespace TavoAlgorithm

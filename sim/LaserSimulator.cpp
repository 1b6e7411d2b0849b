#include "LaserSimulator.h"

#include <cmath>

namespace TavoAlgorithm::sim {
namespace {
// A lit point counts as seen when the camera ray's first hit lies this close
// (relative to the distance).
constexpr float kVisibilityTolerance = 1e-3f;

LaserPlane plane_through(const Eigen::Vector3f& emitter, const Eigen::Vector3f& lineDir, float workDistance) {
  LaserPlane p;
  p.origin = emitter;
  p.forward = (Eigen::Vector3f(0, 0, workDistance) - emitter).normalized();
  p.normal = lineDir.cross(p.forward).normalized();
  return p;
}
}  // namespace

LaserRig LaserRig::single_line(float baseline, float workDistance) {
  LaserRig rig;
  rig.planes.push_back(plane_through(Eigen::Vector3f(0, baseline, 0), Eigen::Vector3f::UnitX(), workDistance));
  return rig;
}

LaserRig LaserRig::cross_lines(float baseline, float workDistance) {
  LaserRig rig = single_line(baseline, workDistance);
  rig.planes.push_back(plane_through(Eigen::Vector3f(-baseline, 0, 0), Eigen::Vector3f::UnitY(), workDistance));
  return rig;
}

RigidMatrix look_at_optical(const Eigen::Vector3f& eye, const Eigen::Vector3f& target, const Eigen::Vector3f& up) {
  // The range camera looks down its -z with +y up; turning it half a turn
  // about x gives the optical frame.
  const RigidMatrix gl = look_at(eye, target, up);
  return RigidMatrix(gl.get_rotation() * Eigen::Vector3d(1, -1, -1).asDiagonal(), gl.get_translation());
}

LaserFrame scan_laser_frame(const Scene& scene, const LaserRig& rig, const RigidMatrix& pose, std::mt19937& rng) {
  LaserFrame frame;
  frame.pose = pose;
  const RigidMatrix toCamera = pose.inverse();
  const Eigen::Vector3f eye = pose.get_translation().cast<float>();
  std::normal_distribution<float> noise(0.f, 1.f);
  // In double and checked before the conversion: a tiny step overflows int.
  const double span = std::floor(2.0 * rig.fanHalfAngle / rig.angleStep);
  if (!(span >= 0.0 && span < kMaxLaserRays)) return frame;
  const int steps = static_cast<int>(span);
  for (const LaserPlane& plane : rig.planes) {
    const Eigen::Vector3f side = plane.normal.cross(plane.forward).normalized();
    const Eigen::Vector3f origin = pose * plane.origin;
    LaserLine current;
    Eigen::Vector3f last;
    auto close_line = [&]() {
      if (!current.points.empty()) frame.lines.push_back(std::move(current));
      current = LaserLine();
    };
    for (int s = 0; s <= steps; ++s) {
      const float a = -rig.fanHalfAngle + s * rig.angleStep;
      const Eigen::Vector3f dir = pose.transform_normal(Eigen::Vector3f(std::cos(a) * plane.forward + std::sin(a) * side));
      float t;
      Eigen::Vector3f n;
      if (!scene.intersect(origin, dir, t, n)) {
        close_line();
        continue;
      }
      const Eigen::Vector3f X = origin + t * dir;
      const Eigen::Vector3f toEye = eye - X;
      const float range = toEye.norm();
      float tc;
      Eigen::Vector3f nc;
      const Eigen::Vector3f view = -toEye / range;
      const Eigen::Vector3f local = toCamera * X;
      const float u = rig.fx * local.x() / local.z() + rig.cx, v = rig.fy * local.y() / local.z() + rig.cy;
      const bool inImage = local.z() > 0.f && u >= 0.f && u < rig.cols && v >= 0.f && v < rig.rows;
      const bool seen = inImage && scene.intersect(eye, view, tc, nc) && std::abs(tc - range) < kVisibilityTolerance * range;
      if (!seen) {
        close_line();
        continue;
      }
      if (n.dot(toEye) < 0.f) n = -n;
      const Eigen::Vector3f P = X + rig.depthNoise * noise(rng) * view;
      if (!current.points.empty() && (P - last).norm() > rig.maxGap) close_line();
      current.points.push_back(toCamera * P);
      current.normals.push_back(toCamera.transform_normal(n));
      last = P;
    }
    close_line();
  }
  return frame;
}

LaserSweep::LaserSweep(const Scene& scene, const LaserRig& rig, const Eigen::Vector3f& eye0,
                       const Eigen::Vector3f& eye1, const Eigen::Vector3f& target, const Eigen::Vector3f& up,
                       int count, unsigned seed)
    : m_scene(scene),
      m_rig(rig),
      m_eye0(eye0),
      m_eye1(eye1),
      m_start(look_at_optical(eye0, target, up)),
      m_count(count > 0 ? count : 0),
      m_rng(seed) {}

bool LaserSweep::next(LaserFrame& frame) {
  if (m_next >= m_count) return false;
  const float f = m_count > 1 ? static_cast<float>(m_next) / static_cast<float>(m_count - 1) : 0.f;
  const Eigen::Vector3f eye = m_eye0 + f * (m_eye1 - m_eye0);
  frame = scan_laser_frame(m_scene, m_rig, RigidMatrix(m_start.get_rotation(), eye.cast<double>()), m_rng);
  ++m_next;
  return true;
}

std::vector<LaserFrame> sweep_laser(const Scene& scene, const LaserRig& rig, const Eigen::Vector3f& eye0,
                                    const Eigen::Vector3f& eye1, const Eigen::Vector3f& target,
                                    const Eigen::Vector3f& up, int count, unsigned seed) {
  LaserSweep sweep(scene, rig, eye0, eye1, target, up, count, seed);
  std::vector<LaserFrame> frames;
  frames.reserve(static_cast<std::size_t>(sweep.count()));
  for (LaserFrame f; sweep.next(f);) frames.push_back(std::move(f));
  return frames;
}

}  // namespace TavoAlgorithm::sim

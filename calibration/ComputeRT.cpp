#include "ComputeRT.h"

#include "registration_platform/RotateMatrix.h"

namespace TavoAlgorithm {

namespace {
RigidMatrix rotation_about(const Eigen::Vector3d& point, const Eigen::Vector3d& direction, double angle) {
  return TavoRegistration::compute_rotate_matrix(angle, direction, point);
}

void chain(const std::vector<ComputeRT::Axis>& axes, std::size_t first, RigidMatrix& m) {
  m = RigidMatrix::identity();
  for (std::size_t i = first; i < axes.size(); ++i) {
    const auto& [p, d, angle] = axes[i];
    Eigen::Vector3d pm, dm;
    ComputeRT::pt_dir_mul_rt(p, d, pm, dm, m);
    m = rotation_about(pm, dm, angle) * m;
  }
}
}  // namespace

void ComputeRT::get_rotate_matrix(const Eigen::Vector3d& point, const Eigen::Vector3d& direction, double angle,
                                  RigidMatrix& out) {
  out = rotation_about(point, direction, angle);
}

Eigen::Vector3d ComputeRT::dir_mul_rt(const Eigen::Vector3d& direction, const RigidMatrix& m) {
  return (m * direction - m.get_translation()).normalized();
}

void ComputeRT::pt_dir_mul_rt(const Eigen::Vector3d& point, const Eigen::Vector3d& direction,
                              Eigen::Vector3d& pointOut, Eigen::Vector3d& directionOut, const RigidMatrix& m) {
  const Eigen::Vector3d p = m * point;
  directionOut = (m * Eigen::Vector3d(point + direction) - p).normalized();
  pointOut = p;
}

RetVal ComputeRT::compute_rt(const std::vector<Axis>& axes, RigidMatrix& m) {
  if (axes.empty()) return RETVAL_FAILED;
  chain(axes, 0, m);
  return RETVAL_SUCCESS;
}

RetVal ComputeRT::compute_rt_with_camera_axis(const std::vector<Axis>& axes, RigidMatrix& m) {
  if (axes.empty()) return RETVAL_FAILED;
  const auto& [p, d, angle] = axes.front();
  const RigidMatrix k = rotation_about(p, d, angle);
  RigidMatrix rest;
  chain(axes, 1, rest);
  m = k * rest;
  return RETVAL_SUCCESS;
}

RetVal ComputeRT::compute_rt(const Eigen::Vector3d& p1, const Eigen::Vector3d& d1, double a1,
                             const Eigen::Vector3d& p2, const Eigen::Vector3d& d2, double a2,
                             const Eigen::Vector3d& p3, const Eigen::Vector3d& d3, double a3,
                             const Eigen::Vector3d& p4, const Eigen::Vector3d& d4, double a4, double finalAngle,
                             RigidMatrix& m) {
  const RigidMatrix r1 = rotation_about(p1, d1, a1);
  const RigidMatrix r2 = rotation_about(p2, d2, a2);
  const RigidMatrix r3 = d3.norm() > 0.0 ? rotation_about(p3, d3, a3) : RigidMatrix::identity();
  const RigidMatrix r4 = rotation_about(p4, d4, a4);
  const RigidMatrix re = rotation_about(Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitZ(), finalAngle);
  m = re * r4 * r1.inverse() * r2.inverse() * r3.inverse();
  return RETVAL_SUCCESS;
}

}  // namespace TavoAlgorithm

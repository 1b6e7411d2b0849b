#include "registration_platform/RotateMatrix.h"

#include <Eigen/Geometry>
#include <cmath>

namespace TavoAlgorithm::TavoRegistration {

RigidMatrix compute_rotate_matrix(double angleDegrees, const Eigen::Vector3d& direction,
                                  const Eigen::Vector3d& point) {
  const double len = direction.norm();
  if (!std::isfinite(angleDegrees) || !point.allFinite() || !std::isfinite(len) || !(len > 0.0))
    return RigidMatrix::identity();
  const Eigen::Matrix3d R = Eigen::AngleAxisd(angleDegrees * M_PI / 180.0, direction / len).toRotationMatrix();
  // x -> R (x - point) + point
  return RigidMatrix(R, point - R * point);
}

}  // namespace TavoAlgorithm::TavoRegistration

#include "geometry/RigidFit.h"

#include <Eigen/Geometry>
#include <Eigen/SVD>

namespace TavoAlgorithm {

namespace {
// Relative size of the second singular value of the centred cross-covariance
// below which the points are treated as collinear.
constexpr double kCollinearRatio = 1e-10;
}  // namespace

bool try_compute_rigid_matrix(const std::vector<Eigen::Vector3d>& from,
                              const std::vector<Eigen::Vector3d>& to, RigidMatrix& out) {
  const std::size_t n = from.size();
  if (n != to.size() || n < 3) return false;
  Eigen::Matrix3Xd src(3, n), dst(3, n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!from[i].allFinite() || !to[i].allFinite()) return false;
    src.col(static_cast<Eigen::Index>(i)) = from[i];
    dst.col(static_cast<Eigen::Index>(i)) = to[i];
  }
  const Eigen::Vector3d srcMean = src.rowwise().mean();
  const Eigen::Matrix3Xd centred = src.colwise() - srcMean;
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(centred * centred.transpose());
  const Eigen::Vector3d sv = svd.singularValues();
  if (!(sv(0) > 0.0) || sv(1) <= kCollinearRatio * sv(0)) return false;

  // Umeyama's solution includes the reflection guard that keeps det(R) = +1.
  const Eigen::Matrix4d m = Eigen::umeyama(src, dst, false);
  out = RigidMatrix::from_matrix4(m);
  return true;
}

RigidMatrix compute_rigid_matrix(const std::vector<Eigen::Vector3d>& from,
                                 const std::vector<Eigen::Vector3d>& to) {
  RigidMatrix m;
  try_compute_rigid_matrix(from, to, m);
  return m;
}

RigidMatrix compute_rigid_matrix(const std::vector<Eigen::Vector3f>& from,
                                 const std::vector<Eigen::Vector3f>& to) {
  std::vector<Eigen::Vector3d> a, b;
  a.reserve(from.size());
  b.reserve(to.size());
  for (const auto& p : from) a.push_back(p.cast<double>());
  for (const auto& p : to) b.push_back(p.cast<double>());
  return compute_rigid_matrix(a, b);
}

}  // namespace TavoAlgorithm

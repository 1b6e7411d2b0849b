#include "geometry/OBBox.h"

#include <Eigen/Eigenvalues>
#include <Eigen/Geometry>
#include <limits>

namespace TavoAlgorithm {

OBBox::OBBox(const std::vector<Eigen::Vector3f>& points) {
  // Double sums: millimetre models far from the origin lose the covariance
  // to cancellation in float.
  Eigen::Vector3d mean = Eigen::Vector3d::Zero();
  long long n = 0;
  for (const auto& p : points)
    if (p.allFinite()) {
      mean += p.cast<double>();
      ++n;
    }
  if (n == 0) return;
  mean /= static_cast<double>(n);
  Eigen::Matrix3d cov = Eigen::Matrix3d::Zero();
  for (const auto& p : points)
    if (p.allFinite()) {
      const Eigen::Vector3d d = p.cast<double>() - mean;
      cov.noalias() += d * d.transpose();
    }
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eig(cov);
  // Eigenvalues come in ascending order; the box lists the largest first.
  Eigen::Matrix3d axes;
  axes.col(0) = eig.eigenvectors().col(2);
  axes.col(1) = eig.eigenvectors().col(1);
  axes.col(2) = axes.col(0).cross(axes.col(1)).normalized();

  Eigen::Vector3d lo = Eigen::Vector3d::Constant(std::numeric_limits<double>::max());
  Eigen::Vector3d hi = -lo;
  for (const auto& p : points)
    if (p.allFinite()) {
      const Eigen::Vector3d q = axes.transpose() * (p.cast<double>() - mean);
      lo = lo.cwiseMin(q);
      hi = hi.cwiseMax(q);
    }
  m_center = (mean + axes * (0.5 * (lo + hi))).cast<float>();
  m_axes = axes.cast<float>();
  m_half = (0.5 * (hi - lo)).cast<float>();
  m_empty = false;
}

void OBBox::enlarge(float margin) {
  if (m_empty) return;
  m_half = (m_half.array() + margin).cwiseMax(0.f);
}

std::array<Eigen::Vector3f, 8> OBBox::corners() const {
  std::array<Eigen::Vector3f, 8> out;
  for (int i = 0; i < 8; ++i) {
    if (m_empty) {
      out[i].setConstant(std::numeric_limits<float>::quiet_NaN());
      continue;
    }
    Eigen::Vector3f p = m_center;
    for (int k = 0; k < 3; ++k) p += ((i >> k) & 1 ? 1.f : -1.f) * m_half[k] * m_axes.col(k);
    out[i] = p;
  }
  return out;
}

float OBBox::volume() const { return m_empty ? 0.f : 8.f * m_half.prod(); }

bool OBBox::contains(const Eigen::Vector3f& p, float tolerance) const {
  if (m_empty) return false;
  const Eigen::Vector3f q = m_axes.transpose() * (p - m_center);
  return (q.cwiseAbs().array() <= m_half.array() + tolerance).all();
}

}  // namespace TavoAlgorithm

#pragma once
// Closed-form eigen decomposition of a symmetric 3 x 3 matrix: the three
// eigenvalues and the unit eigenvector of the smallest one, without the
// iterations of a general solver (a per-cell normal estimate calls this
// thousands of times per laser frame).
//
// Eigenvalues come from the trigonometric solution of the characteristic
// cubic of the scaled, trace-free matrix; the eigenvector is the longest
// cross product of two rows of (A - lambda_min I), which is well conditioned
// whenever lambda_min is a simple eigenvalue. For a double smallest
// eigenvalue any unit vector orthogonal to the remaining row is returned,
// for a multiple of the identity the x axis. A non-finite input gives
// non-finite eigenvalues.
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <limits>

namespace TavoAlgorithm {

struct SymmetricEigen3 {
  Eigen::Vector3f values;    // ascending
  Eigen::Vector3f smallest;  // unit eigenvector of values[0]
};

inline SymmetricEigen3 symmetric_eigen3(const Eigen::Matrix3f& a) {
  SymmetricEigen3 r;
  r.smallest = Eigen::Vector3f::UnitX();
  // Scaling to unit magnitude keeps the cubic's coefficients clear of
  // overflow and underflow.
  if (!a.allFinite()) {
    r.values.setConstant(std::numeric_limits<float>::quiet_NaN());
    return r;
  }
  // Double precision: near a double eigenvalue the arc cosine loses half the
  // digits, which float cannot spare.
  const Eigen::Matrix3d ad = a.cast<double>();
  const double scale = ad.cwiseAbs().maxCoeff();
  if (scale == 0.0) {
    r.values.setZero();
    return r;
  }
  const Eigen::Matrix3d s = ad / scale;
  const double mean = s.trace() / 3.0;
  Eigen::Matrix3d b = s;
  b.diagonal().array() -= mean;
  const double p = std::sqrt(b.squaredNorm() / 6.0);
  if (!(p > 1e-12)) {
    r.values.setConstant(static_cast<float>(mean * scale));
    return r;
  }
  const double half = std::clamp((b / p).determinant() * 0.5, -1.0, 1.0);
  const double phi = std::acos(half) / 3.0;
  constexpr double kThird = 2.0943951023931957;  // 2 pi / 3
  const double hi = mean + 2.0 * p * std::cos(phi);
  const double lo = mean + 2.0 * p * std::cos(phi + kThird);
  r.values = (Eigen::Vector3d(lo, 3.0 * mean - hi - lo, hi) * scale).cast<float>();

  Eigen::Matrix3d m = s;
  m.diagonal().array() -= lo;
  const Eigen::Vector3d c[3] = {m.row(0).cross(m.row(1)), m.row(0).cross(m.row(2)), m.row(1).cross(m.row(2))};
  int best = 0;
  for (int k = 1; k < 3; ++k)
    if (c[k].squaredNorm() > c[best].squaredNorm()) best = k;
  // Rank one (double smallest eigenvalue): the cross products vanish next to
  // the rows themselves, and every vector orthogonal to the longest row is an
  // eigenvector.
  int row = 0;
  const double rowScale = m.rowwise().squaredNorm().maxCoeff(&row);
  if (c[best].squaredNorm() > 1e-18 * rowScale * rowScale) {
    r.smallest = c[best].normalized().cast<float>();
  } else if (rowScale > 0.0) {
    r.smallest = Eigen::Vector3d(m.row(row)).unitOrthogonal().cast<float>();
  }
  return r;
}

// For a symmetric positive semi-definite a: whether its largest eigenvalue
// exceeds `share` (in (0.5, 1)) of the trace, i.e. of the eigenvalue sum,
// without solving for the eigenvalues. The characteristic polynomial
// det(x I - a) is negative exactly between the two upper eigenvalues and
// positive above the largest; with x = share * trace, x lies between them
// when the largest exceeds x (the other two add up to less than 1 - share of
// the trace, so both stay below x) and above all three otherwise.
inline bool largest_share_exceeds(const Eigen::Matrix3f& a, float share) {
  const Eigen::Matrix3d ad = a.cast<double>();
  Eigen::Matrix3d m = -ad;
  m.diagonal().array() += static_cast<double>(share) * ad.trace();
  return m.determinant() < 0.0;
}

}  // namespace TavoAlgorithm

#include "calibration_platform/RadialDistortion.h"

#include <Eigen/LU>
#include <algorithm>
#include <cmath>

namespace TavoAlgorithm::TavoCalibration {

namespace {

constexpr int kMaxIterations = 50;
constexpr double kStepTolerance = 1e-15;
constexpr double kResidualTolerance = 1e-12;

struct Coefficients {
  double k1, k2, p1, p2, k3;
};

bool read_coefficients(const std::vector<double>& kc, Coefficients& c) {
  if (kc.size() != RadialDistortion::kCoefficientCount) return false;
  if (!std::all_of(kc.begin(), kc.end(), [](double v) { return std::isfinite(v); })) return false;
  c = {kc[0], kc[1], kc[2], kc[3], kc[4]};
  return true;
}

Eigen::Vector2d distort(const Coefficients& c, const Eigen::Vector2d& p) {
  const double x = p.x(), y = p.y();
  const double r2 = x * x + y * y;
  const double g = 1.0 + r2 * (c.k1 + r2 * (c.k2 + r2 * c.k3));
  return {g * x + 2.0 * c.p1 * x * y + c.p2 * (r2 + 2.0 * x * x),
          g * y + c.p1 * (r2 + 2.0 * y * y) + 2.0 * c.p2 * x * y};
}

Eigen::Matrix2d jacobian(const Coefficients& c, const Eigen::Vector2d& p) {
  const double x = p.x(), y = p.y();
  const double r2 = x * x + y * y;
  const double g = 1.0 + r2 * (c.k1 + r2 * (c.k2 + r2 * c.k3));
  const double dg = c.k1 + r2 * (2.0 * c.k2 + 3.0 * r2 * c.k3);  // dg / d(r2)
  Eigen::Matrix2d j;
  j(0, 0) = g + 2.0 * x * x * dg + 2.0 * c.p1 * y + 6.0 * c.p2 * x;
  j(0, 1) = 2.0 * x * y * dg + 2.0 * c.p1 * x + 2.0 * c.p2 * y;
  j(1, 0) = 2.0 * x * y * dg + 2.0 * c.p1 * x + 2.0 * c.p2 * y;
  j(1, 1) = g + 2.0 * y * y * dg + 6.0 * c.p1 * y + 2.0 * c.p2 * x;
  return j;
}

}  // namespace

bool RadialDistortion::distortion(const std::vector<double>& kc, const Eigen::Vector2d& in,
                                  Eigen::Vector2d& out) {
  Coefficients c{};
  if (!read_coefficients(kc, c) || !in.allFinite()) return false;
  out = distort(c, in);
  return true;
}

bool RadialDistortion::unDistortion(const std::vector<double>& kc, const Eigen::Vector2d& in,
                                    Eigen::Vector2d& out) {
  Coefficients c{};
  if (!read_coefficients(kc, c) || !in.allFinite()) return false;
  if (c.k1 == 0.0 && c.k2 == 0.0 && c.p1 == 0.0 && c.p2 == 0.0 && c.k3 == 0.0) {
    out = in;
    return true;
  }
  Eigen::Vector2d p = in;
  for (int it = 0; it < kMaxIterations; ++it) {
    const Eigen::Vector2d residual = distort(c, p) - in;
    const Eigen::Matrix2d j = jacobian(c, p);
    const double det = j.determinant();
    if (!std::isfinite(det) || det == 0.0) return false;
    const Eigen::Vector2d step = j.inverse() * residual;
    p -= step;
    if (!p.allFinite()) return false;
    if (step.norm() <= kStepTolerance * std::max(1.0, p.norm())) break;
  }
  // A root beyond the fold of the model (where the map turns back) is not
  // the physical ray.
  const double r2 = p.squaredNorm();
  const double g = 1.0 + r2 * (c.k1 + r2 * (c.k2 + r2 * c.k3));
  if ((distort(c, p) - in).norm() > kResidualTolerance || !(g > 0.0) || !(jacobian(c, p).determinant() > 0.0))
    return false;
  out = p;
  return true;
}

}  // namespace TavoAlgorithm::TavoCalibration

#pragma once
// Five-coefficient lens model in normalised image coordinates (x = X/Z,
// y = Y/Z of a camera-space point), coefficients kc = (k1, k2, p1, p2, k3):
//   r2 = x^2 + y^2,  g = 1 + k1 r2 + k2 r2^2 + k3 r2^3
//   xd = g x + 2 p1 x y + p2 (r2 + 2 x^2)
//   yd = g y + p1 (r2 + 2 y^2) + 2 p2 x y
// All calls are pure and thread-safe.
#include <vector>

#include <Eigen/Core>

namespace TavoAlgorithm::TavoCalibration {

class RadialDistortion {
 public:
  static constexpr int kCoefficientCount = 5;

  // Undistorted -> distorted. False (out unchanged) when kc does not hold
  // five finite values or the input is not finite.
  static bool distortion(const std::vector<double>& kc, const Eigen::Vector2d& in,
                         Eigen::Vector2d& out);

  // Distorted -> undistorted, by Newton iteration on the model above; the
  // result reproduces `in` through distortion() to 1e-12. False (out
  // unchanged) on bad coefficients or input, or when the iteration does not
  // converge (a point outside the region where the model is invertible).
  static bool unDistortion(const std::vector<double>& kc, const Eigen::Vector2d& in,
                           Eigen::Vector2d& out);
};

}  // namespace TavoAlgorithm::TavoCalibration

// Rotations about a line against Rodrigues' formula written out.
#include <gtest/gtest.h>

#include <random>

#include "registration_platform/RotateMatrix.h"

using namespace TavoAlgorithm;
using TavoRegistration::compute_rotate_matrix;
using Eigen::Vector3d;

TEST(RotateMatrix, MatchesRodriguesAndKeepsTheLineFixed) {
  std::mt19937 rng(2);
  std::normal_distribution<double> g(0.0, 50.0);
  for (int k = 0; k < 200; ++k) {
    const Vector3d dir(g(rng), g(rng), g(rng)), point(g(rng), g(rng), g(rng)), x(g(rng), g(rng), g(rng));
    const double deg = std::uniform_real_distribution<double>(-400.0, 400.0)(rng);
    const RigidMatrix m = compute_rotate_matrix(deg, dir, point);
    // Rodrigues: v cos + (k x v) sin + k (k . v)(1 - cos), about the line.
    const Vector3d kk = dir.normalized(), v = x - point;
    const double a = deg * M_PI / 180.0;
    const Vector3d expected = point + v * std::cos(a) + kk.cross(v) * std::sin(a) + kk * kk.dot(v) * (1 - std::cos(a));
    EXPECT_LT((m * x - expected).norm(), 1e-9 * std::max(1.0, expected.norm()));
    const Vector3d onLine = point + 3.0 * dir;
    EXPECT_LT((m * onLine - onLine).norm(), 1e-9 * onLine.norm() + 1e-9);
    EXPECT_NEAR(m.get_rotation().determinant(), 1.0, 1e-12);
  }
  // Counter-clockwise seen from the tip: x turns into y about +z.
  EXPECT_TRUE((compute_rotate_matrix(90.0, {0, 0, 5}, {0, 0, 0}) * Vector3d(1, 0, 0)).isApprox(Vector3d(0, 1, 0)));
}

TEST(RotateMatrix, DegenerateInputGivesTheIdentity) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const RigidMatrix& m : {compute_rotate_matrix(30.0, {0, 0, 0}, {1, 2, 3}),
                               compute_rotate_matrix(nan, {0, 0, 1}, {1, 2, 3}),
                               compute_rotate_matrix(30.0, {0, nan, 1}, {1, 2, 3}),
                               compute_rotate_matrix(30.0, {0, 0, 1}, {1, nan, 3})})
    EXPECT_EQ(m.to_matrix4(), Eigen::Matrix4d::Identity());
}

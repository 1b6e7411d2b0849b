#include <gtest/gtest.h>

#include <random>

#include "geometry/RigidMatrix.h"

using namespace TavoAlgorithm;

TEST(RigidMatrix, AlgebraMatchesEigenIsometry) {
  std::mt19937 rng(7);
  std::normal_distribution<double> g;
  auto random_iso = [&] {
    Eigen::Isometry3d iso(Eigen::Quaterniond(g(rng), g(rng), g(rng), g(rng)).normalized());
    iso.translation() = Eigen::Vector3d(g(rng), g(rng), g(rng));
    return iso;
  };
  for (int k = 0; k < 50; ++k) {
    const Eigen::Isometry3d a = random_iso(), b = random_iso();
    const RigidMatrix ra(a.linear(), a.translation()), rb(b.linear(), b.translation());
    const Eigen::Vector3d p(g(rng), 1.5, -0.25);
    EXPECT_TRUE((ra * rb).to_matrix4().isApprox((a * b).matrix(), 1e-12));
    EXPECT_TRUE((ra * p).isApprox(a * p, 1e-12));
    EXPECT_TRUE((ra * Eigen::Vector3f(p.cast<float>())).isApprox((a * p).cast<float>(), 1e-5f));
    EXPECT_TRUE(ra.transform_normal(p).isApprox(a.linear() * p, 1e-12));
    EXPECT_TRUE(ra.inverse().to_matrix4().isApprox(a.inverse().matrix(), 1e-12));
    EXPECT_TRUE((ra * ra.inverse()).to_matrix4().isApprox(Eigen::Matrix4d::Identity(), 1e-12));
    EXPECT_EQ(RigidMatrix::from_matrix4(ra.to_matrix4()).to_matrix4(), ra.to_matrix4());
  }
}

#include <gtest/gtest.h>

#include <random>

#include "geometry/RigidMatrix.h"

using namespace TavoAlgorithm;

namespace {
Eigen::Isometry3d random_iso(std::mt19937& rng) {
  std::normal_distribution<double> g;
  Eigen::Quaterniond q(g(rng), g(rng), g(rng), g(rng));
  q.normalize();
  Eigen::Isometry3d iso = Eigen::Isometry3d::Identity();
  iso.linear() = q.toRotationMatrix();
  iso.translation() = Eigen::Vector3d(g(rng), g(rng), g(rng));
  return iso;
}
RigidMatrix to_rigid(const Eigen::Isometry3d& iso) { return RigidMatrix(iso.linear(), iso.translation()); }
}  // namespace

TEST(RigidMatrix, AlgebraMatchesEigenIsometry) {
  std::mt19937 rng(7);
  for (int k = 0; k < 50; ++k) {
    const Eigen::Isometry3d a = random_iso(rng), b = random_iso(rng);
    const RigidMatrix ra = to_rigid(a), rb = to_rigid(b);
    const Eigen::Vector3d p(std::normal_distribution<double>()(rng), 1.5, -0.25);
    EXPECT_TRUE((ra * rb).to_matrix4().isApprox((a * b).matrix(), 1e-12));
    EXPECT_TRUE((ra * p).isApprox(a * p, 1e-12));
    EXPECT_TRUE((ra * Eigen::Vector3f(p.cast<float>())).isApprox((a * p).cast<float>(), 1e-5f));
    EXPECT_TRUE(ra.transform_normal(p).isApprox(a.linear() * p, 1e-12));
    EXPECT_TRUE(ra.inverse().to_matrix4().isApprox(a.inverse().matrix(), 1e-12));
    EXPECT_TRUE((ra * ra.inverse()).to_matrix4().isApprox(Eigen::Matrix4d::Identity(), 1e-12));
    EXPECT_TRUE(RigidMatrix::from_matrix4(ra.to_matrix4()).to_matrix4() == ra.to_matrix4());
  }
  RigidMatrix m = RigidMatrix::identity();
  EXPECT_EQ(m * Eigen::Vector3d(1, 2, 3), Eigen::Vector3d(1, 2, 3));
  m.set_translation(Eigen::Vector3d(4, 5, 6));
  EXPECT_EQ(m.get_translation(), Eigen::Vector3d(4, 5, 6));
  EXPECT_EQ(m.transform_normal(Eigen::Vector3d(1, 0, 0)), Eigen::Vector3d(1, 0, 0));
}

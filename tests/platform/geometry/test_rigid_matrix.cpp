#include <gtest/gtest.h>

#include <random>

#include "geometry/RigidFit.h"
#include "geometry/RigidMatrix.h"

using namespace TavoAlgorithm;
using Points = std::vector<Eigen::Vector3d>;

namespace {
Eigen::Isometry3d random_iso(std::mt19937& rng, double shift) {
  std::normal_distribution<double> g;
  Eigen::Isometry3d iso(Eigen::Quaterniond(g(rng), g(rng), g(rng), g(rng)).normalized());
  iso.translation() = Eigen::Vector3d(g(rng), g(rng), g(rng)) * shift;
  return iso;
}
RigidMatrix to_rigid(const Eigen::Isometry3d& iso) { return RigidMatrix(iso.linear(), iso.translation()); }
}  // namespace

TEST(RigidMatrix, AlgebraMatchesEigenIsometry) {
  std::mt19937 rng(7);
  for (int k = 0; k < 50; ++k) {
    const Eigen::Isometry3d a = random_iso(rng, 1.0), b = random_iso(rng, 1.0);
    const RigidMatrix ra = to_rigid(a), rb = to_rigid(b);
    const Eigen::Vector3d p(std::normal_distribution<double>()(rng), 1.5, -0.25);
    EXPECT_TRUE((ra * rb).to_matrix4().isApprox((a * b).matrix(), 1e-12));
    EXPECT_TRUE((ra * p).isApprox(a * p, 1e-12));
    EXPECT_TRUE((ra * Eigen::Vector3f(p.cast<float>())).isApprox((a * p).cast<float>(), 1e-5f));
    EXPECT_TRUE(ra.transform_normal(p).isApprox(a.linear() * p, 1e-12));
    EXPECT_TRUE(ra.inverse().to_matrix4().isApprox(a.inverse().matrix(), 1e-12));
    EXPECT_TRUE((ra * ra.inverse()).to_matrix4().isApprox(Eigen::Matrix4d::Identity(), 1e-12));
    EXPECT_EQ(RigidMatrix::from_matrix4(ra.to_matrix4()).to_matrix4(), ra.to_matrix4());
  }
}

TEST(RigidFit, RecoversProperRotationAndTranslation) {
  std::mt19937 rng(11);
  std::normal_distribution<double> g;
  for (int trial = 0; trial < 20; ++trial) {
    const RigidMatrix truth = to_rigid(random_iso(rng, 100.0));
    Points from, to;
    for (int i = 0; i < 10; ++i) {
      from.emplace_back(g(rng) * 50, g(rng) * 50, g(rng) * 50);
      to.push_back(truth * from.back());
    }
    EXPECT_TRUE(compute_rigid_matrix(from, to).to_matrix4().isApprox(truth.to_matrix4(), 1e-9));
  }
  // Mirror image: the best proper rotation, never a reflection; float lists fit alike.
  const Points a = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
  Points b;
  std::vector<Eigen::Vector3f> af, bf;
  for (const auto& p : a) {
    b.emplace_back(-p.x(), p.y(), p.z());
    af.push_back(p.cast<float>());
    bf.push_back((p + Eigen::Vector3d(1, 2, 3)).cast<float>());
  }
  EXPECT_NEAR(compute_rigid_matrix(a, b).get_rotation().determinant(), 1.0, 1e-12);
  EXPECT_TRUE(compute_rigid_matrix(af, bf).get_translation().isApprox(Eigen::Vector3d(1, 2, 3), 1e-6));
}

TEST(RigidFit, IllPosedInputGivesIdentity) {
  const Points line = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}};
  const Points moved = {{1, 0, 0}, {2, 1, 1}, {3, 2, 2}, {4, 3, 3}};
  const std::pair<Points, Points> cases[] = {
      {line, moved}, {{line[0], line[1]}, {moved[0], moved[1]}}, {line, {moved[0]}}, {{}, {}}};
  for (const auto& [from, to] : cases)
    EXPECT_EQ(compute_rigid_matrix(from, to).to_matrix4(), Eigen::Matrix4d::Identity()) << from.size();
  const Points bad = {{0, 0, 0}, {1, 0, 0}, {0, NAN, 0}};
  RigidMatrix out(Eigen::Matrix3d::Identity(), Eigen::Vector3d(5, 5, 5));
  EXPECT_FALSE(try_compute_rigid_matrix(bad, bad, out));
  EXPECT_EQ(out.get_translation(), Eigen::Vector3d(5, 5, 5));
}

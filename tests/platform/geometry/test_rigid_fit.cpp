#include <gtest/gtest.h>

#include <random>

#include "geometry/RigidFit.h"

using namespace TavoAlgorithm;

TEST(RigidFit, RecoversProperRotationAndTranslation) {
  std::mt19937 rng(11);
  std::normal_distribution<double> g;
  for (int trial = 0; trial < 20; ++trial) {
    Eigen::Quaterniond q(g(rng), g(rng), g(rng), g(rng));
    q.normalize();
    const RigidMatrix truth(q.toRotationMatrix(), Eigen::Vector3d(g(rng), g(rng), g(rng)) * 100);
    std::vector<Eigen::Vector3d> from, to;
    for (int i = 0; i < 10; ++i) {
      from.emplace_back(g(rng) * 50, g(rng) * 50, g(rng) * 50);
      to.push_back(truth * from.back());
    }
    const RigidMatrix m = compute_rigid_matrix(from, to);
    EXPECT_TRUE(m.to_matrix4().isApprox(truth.to_matrix4(), 1e-9));
    EXPECT_NEAR(m.get_rotation().determinant(), 1.0, 1e-12);
  }
  // Mirror image: the best proper rotation, never a reflection.
  const std::vector<Eigen::Vector3d> a = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
  std::vector<Eigen::Vector3d> b;
  for (const auto& p : a) b.emplace_back(-p.x(), p.y(), p.z());
  EXPECT_NEAR(compute_rigid_matrix(a, b).get_rotation().determinant(), 1.0, 1e-12);
  // Float lists give the same transform.
  std::vector<Eigen::Vector3f> af, bf;
  for (const auto& p : a) af.push_back(p.cast<float>()), bf.push_back((p + Eigen::Vector3d(1, 2, 3)).cast<float>());
  EXPECT_TRUE(compute_rigid_matrix(af, bf).get_translation().isApprox(Eigen::Vector3d(1, 2, 3), 1e-6));
}

TEST(RigidFit, IllPosedInputGivesIdentity) {
  const std::vector<Eigen::Vector3d> line = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}};
  const std::vector<Eigen::Vector3d> moved = {{1, 0, 0}, {2, 1, 1}, {3, 2, 2}, {4, 3, 3}};
  const Eigen::Matrix4d id = Eigen::Matrix4d::Identity();
  EXPECT_EQ(compute_rigid_matrix(line, moved).to_matrix4(), id);  // collinear
  EXPECT_EQ(compute_rigid_matrix(std::vector<Eigen::Vector3d>{line[0], line[1]}, std::vector<Eigen::Vector3d>{moved[0], moved[1]}).to_matrix4(), id);
  EXPECT_EQ(compute_rigid_matrix(line, std::vector<Eigen::Vector3d>{moved[0]}).to_matrix4(), id);
  EXPECT_EQ(compute_rigid_matrix(std::vector<Eigen::Vector3d>{}, std::vector<Eigen::Vector3d>{}).to_matrix4(), id);
  std::vector<Eigen::Vector3d> bad = {{0, 0, 0}, {1, 0, 0}, {0, NAN, 0}};
  RigidMatrix out(Eigen::Matrix3d::Identity(), Eigen::Vector3d(5, 5, 5));
  EXPECT_FALSE(try_compute_rigid_matrix(bad, bad, out));
  EXPECT_EQ(out.get_translation(), Eigen::Vector3d(5, 5, 5));
}

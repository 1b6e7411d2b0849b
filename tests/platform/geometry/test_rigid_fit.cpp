#include <gtest/gtest.h>

#include <random>

#include "geometry/RigidFit.h"

using namespace TavoAlgorithm;
using Points = std::vector<Eigen::Vector3d>;

TEST(RigidFit, RecoversProperRotationAndTranslation) {
  std::mt19937 rng(11);
  std::normal_distribution<double> g;
  for (int trial = 0; trial < 20; ++trial) {
    const Eigen::Quaterniond q = Eigen::Quaterniond(g(rng), g(rng), g(rng), g(rng)).normalized();
    const RigidMatrix truth(q.toRotationMatrix(), Eigen::Vector3d(g(rng), g(rng), g(rng)) * 100);
    Points from, to;
    for (int i = 0; i < 10; ++i) {
      from.emplace_back(g(rng) * 50, g(rng) * 50, g(rng) * 50);
      to.push_back(truth * from.back());
    }
    EXPECT_TRUE(compute_rigid_matrix(from, to).to_matrix4().isApprox(truth.to_matrix4(), 1e-9));
  }
  // Mirror image: the best proper rotation, never a reflection.
  const Points a = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
  Points b;
  for (const auto& p : a) b.emplace_back(-p.x(), p.y(), p.z());
  EXPECT_NEAR(compute_rigid_matrix(a, b).get_rotation().determinant(), 1.0, 1e-12);
  std::vector<Eigen::Vector3f> af, bf;
  for (const auto& p : a) af.push_back(p.cast<float>()), bf.push_back((p + Eigen::Vector3d(1, 2, 3)).cast<float>());
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

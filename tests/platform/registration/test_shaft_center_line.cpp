#include <gtest/gtest.h>

#include <random>

#include "registration_platform/ShaftCenterLine.h"

using namespace TavoAlgorithm;

namespace {
RigidMatrix turn(const Eigen::Vector3d& p, const Eigen::Vector3d& d, double rad) {
  const Eigen::Matrix3d r = Eigen::AngleAxisd(rad, d.normalized()).toRotationMatrix();
  return RigidMatrix(r, p - r * p);
}
}  // namespace

TEST(ShaftCenterLine, RecoversAxisAndPosesFromNoisyMarks) {
  const Eigen::Vector3d dir = Eigen::Vector3d(0.2, -1.0, 0.1).normalized(), pt(12, 40, 380);
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-80, 80);
  std::normal_distribution<double> noise(0.0, 0.02);
  std::vector<Eigen::Vector3d> marks;
  for (int i = 0; i < 30; ++i) marks.emplace_back(u(rng), u(rng), 380 + u(rng) / 4);
  std::vector<std::vector<RefPtsData>> groups(8);
  for (int g = 0; g < 8; ++g)
    for (int i = 0; i < 30; ++i)
      groups[g].push_back({turn(pt, dir, 0.15 * g) * marks[i] + Eigen::Vector3d(noise(rng), noise(rng), noise(rng)),
                           i, 1.0});
  Eigen::Vector3d d, p;
  std::vector<RigidMatrix> poses;
  ASSERT_TRUE(TavoRegistration::compute_shaft_center_line(groups, d, p, poses));
  EXPECT_GT(d.dot(dir), 0.99999);  // right-hand sign of the turn from group 0 to 1
  EXPECT_LT((p - pt).cross(dir).norm(), 0.05);
  ASSERT_EQ(poses.size(), 8u);
  EXPECT_TRUE(poses[0].to_matrix4().isApprox(Eigen::Matrix4d::Identity()));
  for (int g = 1; g < 8; ++g) EXPECT_NEAR(Eigen::AngleAxisd(poses[g].get_rotation()).angle(), 0.15 * g, 1e-3);
}

TEST(ShaftCenterLine, BadInputLeavesOutputs) {
  Eigen::Vector3d d(1, 2, 3), p(4, 5, 6);
  std::vector<RigidMatrix> poses(2);
  const std::vector<RefPtsData> g = {{{0, 0, 0}, 0, 1.0}, {{1, 0, 0}, 1, 1.0}, {{0, 1, 0}, 2, 1.0}};
  auto nan = g;
  nan[1].pt.x() = NAN;
  // No groups, one group, no turn, groups of different sizes, a NaN point.
  using Groups = std::vector<std::vector<RefPtsData>>;
  for (const Groups& groups : std::vector<Groups>{{}, {g}, {g, g}, {g, {g[0], g[1]}}, {g, nan}})
    EXPECT_FALSE(TavoRegistration::compute_shaft_center_line(groups, d, p, poses)) << groups.size();
  EXPECT_EQ(d, Eigen::Vector3d(1, 2, 3));
  EXPECT_EQ(p, Eigen::Vector3d(4, 5, 6));
  EXPECT_EQ(poses.size(), 2u);
}

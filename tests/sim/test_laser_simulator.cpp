#include <gtest/gtest.h>

#include <cmath>

#include "LaserSimulator.h"

using namespace TavoAlgorithm::sim;
using V3 = Eigen::Vector3f;

TEST(LaserSimulator, LitPointsLieOnTheSurfaceAndFaceTheCamera) {
  Scene scene;
  scene.spheres.push_back({V3(0, 0, 0), 1.f});
  scene.cylinders.push_back({V3(3, 0, 0), V3::UnitY(), 0.5f, 1.f});
  // The capped cylinder's distance by hand (side, cap, inside); the lit points check its hits.
  EXPECT_NEAR(scene.signed_distance(V3(5, 0, 0)), 1.5f, 1e-6f);
  EXPECT_NEAR(scene.signed_distance(V3(3, 3, 0)), 2.f, 1e-6f);
  EXPECT_NEAR(scene.signed_distance(V3(3.2f, 0, 0)), -0.3f, 1e-6f);

  const LaserRig rig = LaserRig::cross_lines(0.5f, 6.f);
  std::mt19937 rng(3);
  for (const V3& target : {V3(0, 0, 0), V3(3, 0.3f, 0)}) {
    const auto pose = look_at_optical(target + V3(0.3f, 0.5f, 6.f), target);
    const LaserFrame f = scan_laser_frame(scene, rig, pose, rng);
    ASSERT_GE(f.lines.size(), 2u);
    int points = 0;
    for (const auto& l : f.lines) {
      ASSERT_EQ(l.points.size(), l.normals.size());
      for (std::size_t i = 0; i < l.points.size(); ++i, ++points) {
        EXPECT_NEAR(scene.signed_distance(pose * l.points[i]), 0.f, 1e-4f);
        EXPECT_NEAR(l.normals[i].norm(), 1.f, 1e-5f);
        EXPECT_LT(l.normals[i].dot(l.points[i]), 0.f) << "normal turned away from the camera";
        EXPECT_GT(l.points[i].z(), 0.f);  // optical frame: in front along +z
      }
    }
    EXPECT_GT(points, 100);
  }
}

TEST(LaserSimulator, NoiseAndSweepsAreDeterministic) {
  Scene scene;
  scene.boxes.push_back({TavoAlgorithm::RigidMatrix(), V3(2, 2, 0.04f)});
  LaserRig rig = LaserRig::single_line(0.5f, 6.f);
  rig.depthNoise = 0.01f;
  const auto sweep = [&] { return sweep_laser(scene, rig, V3(0, -1, 6), V3(0, 1, 6), V3::Zero(), V3::UnitY(), 5, 9); };
  const auto a = sweep();
  ASSERT_EQ(a.size(), 5u);
  ASSERT_FALSE(a[2].lines.empty());
  EXPECT_EQ(a[2].lines[0].points, sweep()[2].lines[0].points);
  double sq = 0;
  int n = 0;
  for (const auto& f : a)
    for (const auto& l : f.lines)
      for (const auto& p : l.points) sq += std::pow((f.pose * p).z() - 0.04f, 2), ++n;
  ASSERT_GT(n, 0);
  EXPECT_NEAR(std::sqrt(sq / n), 0.01, 0.003);  // depth noise mostly along z here
}

// Frame by frame, a sweep makes exactly the frames of the whole sweep (the
// same poses and the same noise), one at a time.
TEST(LaserSimulator, LazySweepMakesTheSameFramesOneAtATime) {
  Scene scene;
  scene.spheres.push_back({V3(0, 0, 0), 1.f});
  LaserRig rig = LaserRig::cross_lines(0.5f, 6.f);
  rig.depthNoise = 0.01f;
  const auto all = sweep_laser(scene, rig, V3(-1, 0, 6), V3(1, 0, 6), V3::Zero(), V3::UnitY(), 4, 5);
  LaserSweep sweep(scene, rig, V3(-1, 0, 6), V3(1, 0, 6), V3::Zero(), V3::UnitY(), 4, 5);
  ASSERT_EQ(sweep.count(), 4);
  LaserFrame f;
  for (std::size_t k = 0; k < all.size(); ++k) {
    ASSERT_TRUE(sweep.next(f));
    EXPECT_EQ(sweep.done(), static_cast<int>(k) + 1);
    EXPECT_TRUE(f.pose.to_matrix4() == all[k].pose.to_matrix4()) << k;
    ASSERT_EQ(f.lines.size(), all[k].lines.size()) << k;
    for (std::size_t l = 0; l < f.lines.size(); ++l) EXPECT_EQ(f.lines[l].points, all[k].lines[l].points) << k;
  }
  EXPECT_FALSE(sweep.next(f));
  EXPECT_EQ(LaserSweep(scene, rig, V3::Zero(), V3::Zero(), V3(0, 0, 1), V3::UnitY(), -3, 1).count(), 0);
}

// A step so small that the fan would need more rays than an int holds (it
// overflowed the conversion before), or one that is no positive number,
// lights nothing instead.
TEST(LaserSimulator, FansBeyondTheRayLimitLightNothing) {
  Scene scene;
  scene.spheres.push_back({V3(0, 0, 0), 1.f});
  LaserRig rig = LaserRig::single_line(0.5f, 6.f);
  std::mt19937 rng(1);
  const auto pose = look_at_optical(V3(0, 0, 6), V3::Zero());
  ASSERT_FALSE(scan_laser_frame(scene, rig, pose, rng).lines.empty());
  for (const float step : {1e-30f, 0.f, -0.01f, std::nanf(""), 2.f * rig.fanHalfAngle / (kMaxLaserRays + 1)}) {
    rig.angleStep = step;
    EXPECT_TRUE(scan_laser_frame(scene, rig, pose, rng).lines.empty()) << step;
  }
}

#include <gtest/gtest.h>

#include <cmath>

#include "RangeSimulator.h"

using namespace TavoAlgorithm;
using namespace TavoAlgorithm::sim;
using V3 = Eigen::Vector3f;

namespace {
// A plane at world z = 0 seen straight down from z = 100.
RangeData plane_frame() {
  Scene scene;
  Box b;
  b.halfExtent = V3(500.f, 500.f, 1.f);
  b.pose = RigidMatrix(Eigen::Matrix3d::Identity(), Eigen::Vector3d(0, 0, -1));
  scene.boxes.push_back(b);
  Camera cam;
  cam.rows = 24;
  cam.cols = 32;
  cam.fx = cam.fy = 30.f;
  cam.cx = 16.f;
  cam.cy = 12.f;
  cam.pose = look_at(V3(0, 0, 100), V3::Zero());
  return render_range_frame(scene, cam);
}
}  // namespace

TEST(RangeSimulator, DepthImageHoldsTheRangeAlongTheViewingAxis) {
  const RangeData f = plane_frame();
  const std::vector<float> depth = depth_image(f);
  ASSERT_EQ(depth.size(), 24u * 32u);
  for (float d : depth) EXPECT_NEAR(d, 100.f, 1e-3f);
}

TEST(RangeSimulator, DepthImageLeavesEmptyPixelsZero) {
  Scene scene;
  scene.spheres.push_back({V3::Zero(), 1.f});
  Camera cam;
  cam.rows = 20;
  cam.cols = 20;
  cam.fx = cam.fy = 20.f;
  cam.cx = cam.cy = 10.f;
  cam.pose = look_at(V3(0, 0, 10), V3::Zero());
  const RangeData f = render_range_frame(scene, cam);
  const std::vector<float> depth = depth_image(f);
  EXPECT_GT(depth[10 * 20 + 10], 8.9f);  // centre pixel sees the sphere at range 9
  EXPECT_EQ(depth[0], 0.f);             // corner pixel misses it
}

TEST(RangeSimulator, DepthNoiseMovesPointsAlongTheirRaysWithTheGivenSpread) {
  RangeData f = plane_frame();
  const RangeData clean = f;
  add_depth_noise(f, 0.5f, 100.f, 7);
  double sum = 0, sumSq = 0;
  for (int i = 0; i < f.get_vn(); ++i) {
    const V3 p = f.get_vCoord(i), q = clean.get_vCoord(i);
    EXPECT_NEAR(p.normalized().dot(q.normalized()), 1.f, 1e-6f) << "left its ray";
    const double e = p.norm() - q.norm();
    sum += e;
    sumSq += e * e;
  }
  const double n = f.get_vn();
  EXPECT_NEAR(sum / n, 0.0, 0.1);
  // Off-axis pixels are farther away, so the spread exceeds sigma a little.
  EXPECT_NEAR(std::sqrt(sumSq / n), 0.5 * 1.1, 0.15);
  RangeData again = clean;
  add_depth_noise(again, 0.5f, 100.f, 7);
  EXPECT_EQ(again.get_vCoord(5), f.get_vCoord(5)) << "same seed, same noise";
}

TEST(RangeSimulator, DepthNoiseIgnoresNonPositiveSigma) {
  RangeData f = plane_frame();
  const RangeData clean = f;
  add_depth_noise(f, 0.f, 100.f, 1);
  add_depth_noise(f, NAN, 100.f, 1);
  for (int i = 0; i < f.get_vn(); ++i) EXPECT_EQ(f.get_vCoord(i), clean.get_vCoord(i));
}

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "RangeSimulator.h"

using namespace TavoAlgorithm;
using namespace TavoAlgorithm::sim;
using V3 = Eigen::Vector3f;

// A frame of the default 320 x 240 camera looking at the origin from +z.
static RangeData frame_of(const Scene& scene, float distance) {
  Camera cam;
  cam.pose = look_at(V3(0, 0, distance), V3::Zero());
  return render_range_frame(scene, cam);
}

// A plane at world z = 0 seen straight down from z = 100.
static RangeData plane_frame() {
  Scene scene;
  scene.boxes.push_back({RigidMatrix(Eigen::Matrix3d::Identity(), Eigen::Vector3d(0, 0, -1)), V3(500, 500, 1)});
  return frame_of(scene, 100.f);
}

TEST(RangeSimulator, DepthImageHoldsTheRangeAlongTheViewingAxis) {
  const std::vector<float> plane = depth_image(plane_frame());
  ASSERT_EQ(plane.size(), 240u * 320u);
  for (float d : plane) EXPECT_NEAR(d, 100.f, 1e-3f);
  Scene scene;
  scene.spheres.push_back({V3::Zero(), 1.f});
  const std::vector<float> sphere = depth_image(frame_of(scene, 10.f));
  EXPECT_NEAR(sphere[120 * 320 + 160], 9.f, 1e-3f);  // centre pixel sees the sphere at range 9
  EXPECT_EQ(sphere[0], 0.f);                          // corner pixel misses it
}

TEST(RangeSimulator, DepthNoiseMovesPointsAlongTheirRaysWithTheGivenSpread) {
  const RangeData clean = plane_frame();
  RangeData f = clean, again = clean, quiet = clean;
  add_depth_noise(f, 0.5f, 100.f, 7);
  add_depth_noise(again, 0.5f, 100.f, 7);
  EXPECT_EQ(again.get_vCoords(), f.get_vCoords());  // same seed, same noise
  double sumSq = 0;
  for (int i = 0; i < f.get_vn(); ++i) {
    const V3 p = f.get_vCoord(i), q = clean.get_vCoord(i);
    EXPECT_NEAR(p.normalized().dot(q.normalized()), 1.f, 1e-6f) << "left its ray";
    sumSq += std::pow(p.norm() - q.norm(), 2);
  }
  // Off-axis pixels are farther away, so the spread exceeds sigma a little.
  EXPECT_NEAR(std::sqrt(sumSq / f.get_vn()), 0.5 * 1.1, 0.15);
  add_depth_noise(quiet, 0.f, 100.f, 1);  // non-positive or NaN sigma: no noise
  add_depth_noise(quiet, NAN, 100.f, 1);
  EXPECT_EQ(quiet.get_vCoords(), clean.get_vCoords());
}

TEST(MeshShape, GridWalkFindsTheSameHitAsBruteForceOnTheSphere) {
  const V3 centre(0.1f, -0.2f, 0.3f);
  const BaseTriMesh mesh = make_lumpy_sphere(centre, 1.f, 0.f, 3);
  const MeshShape fast(mesh), brute(mesh, 1), empty{BaseTriMesh()};  // one bin holds every face
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-1.f, 1.f);
  int hits = 0;
  for (int i = 0; i < 2000; ++i) {
    const V3 o = V3(u(rng), u(rng), u(rng)).normalized() * 3.f;
    const V3 d = (V3(u(rng), u(rng), u(rng)) * 0.8f - o).normalized();
    float t1, t2;
    V3 n1, n2;
    const bool h1 = fast.intersect(o, d, t1, n1);
    ASSERT_EQ(h1, brute.intersect(o, d, t2, n2)) << i;
    EXPECT_FALSE(empty.intersect(o, d, t2, n2));
    if (!h1) continue;
    ++hits;
    EXPECT_FLOAT_EQ(t1, t2);
    EXPECT_NEAR((o + t1 * d - centre).norm(), 1.f, 1.5e-2f);  // level-3 chord sag
    EXPECT_LT(n1.dot(d), 0.f);                                 // outward faces seen from outside
  }
  EXPECT_GT(hits, 1000);
  Scene scene;
  scene.meshes.push_back(fast);
  EXPECT_NEAR(scene.signed_distance(centre + V3(0, 0, 0.5f)), -0.5f, 1.5e-2f);
  EXPECT_NEAR(scene.signed_distance(centre + V3(0, 2, 0)), 1.f, 1.5e-2f);
}

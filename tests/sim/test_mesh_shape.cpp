#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "RangeSimulator.h"

using namespace TavoAlgorithm;

TEST(MeshShape, GridWalkFindsTheSameHitAsBruteForce) {
  const BaseTriMesh mesh = sim::make_lumpy_sphere({0.1f, -0.2f, 0.3f}, 1.f, 0.15f, 3);
  const sim::MeshShape fast(mesh), brute(mesh, 1);  // one bin holds every face
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-1.f, 1.f);
  int hits = 0;
  for (int i = 0; i < 2000; ++i) {
    const Eigen::Vector3f o = Eigen::Vector3f(u(rng), u(rng), u(rng)).normalized() * 3.f;
    const Eigen::Vector3f d = (Eigen::Vector3f(u(rng), u(rng), u(rng)) * 0.8f - o).normalized();
    float t1, t2;
    Eigen::Vector3f n1, n2;
    const bool h1 = fast.intersect(o, d, t1, n1), h2 = brute.intersect(o, d, t2, n2);
    ASSERT_EQ(h1, h2) << i;
    if (!h1) continue;
    ++hits;
    EXPECT_FLOAT_EQ(t1, t2);
    EXPECT_LT(n1.dot(d), 0.f);  // outward faces seen from outside
  }
  EXPECT_GT(hits, 1000);
}

TEST(MeshShape, IcosphereFrameAgreesWithTheAnalyticSphere) {
  sim::Scene meshScene, analytic;
  meshScene.meshes.emplace_back(sim::make_lumpy_sphere(Eigen::Vector3f::Zero(), 1.f, 0.f, 4));
  analytic.spheres.push_back({Eigen::Vector3f::Zero(), 1.f});
  sim::Camera cam;
  cam.pose = sim::look_at({0.3f, 0.4f, 3.f}, Eigen::Vector3f::Zero());
  const RangeData a = sim::render_range_frame(meshScene, cam);
  const RangeData b = sim::render_range_frame(analytic, cam);
  ASSERT_GT(a.get_vn(), 1000);
  // Silhouette pixels may differ by the chord error; the bulk agrees.
  EXPECT_NEAR(a.get_vn(), b.get_vn(), 0.02 * b.get_vn());
  for (int i = 0; i < a.get_vn(); ++i) {
    const Eigen::Vector3f world = a.get_rigidMatrix() * a.get_vCoord(i);
    EXPECT_NEAR(world.norm(), 1.f, 2e-3f);  // level-4 chord sag of a unit sphere
    EXPECT_GT(a.get_vNrv(i).dot(-a.get_vCoord(i)), 0.f);  // normals face the camera
  }
  EXPECT_NEAR(meshScene.signed_distance({0, 0, 0.5f}), -0.5f, 2e-3f);
  EXPECT_NEAR(meshScene.signed_distance({0, 2, 0}), 1.f, 2e-3f);
}

TEST(MeshShape, EmptyMeshNeverHits) {
  const sim::MeshShape empty{BaseTriMesh()};
  float t;
  Eigen::Vector3f n;
  EXPECT_FALSE(empty.intersect(Eigen::Vector3f::Zero(), Eigen::Vector3f::UnitZ(), t, n));
}

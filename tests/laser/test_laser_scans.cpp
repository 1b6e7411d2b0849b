#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "laser_scan_util.h"

using namespace laser_test;
using TavoAlgorithm::Cloud;
using TavoAlgorithm::LaserFusionHelper;
using LaserReconstrcution::Leaf;
using LaserReconstrcution::LeafTangent;

namespace {
const std::vector<V3> kSixSides = {V3(1, 0, 0), V3(-1, 0, 0), V3(0, 1, 0), V3(0, -1, 0), V3(0, 0, 1), V3(0, 0, -1)};

struct Errors {
  double distRms = 0, angleRmsDeg = 0;
  int n = 0;
};

template <typename Truth>
Errors measure(const Cloud& c, Truth truth) {
  Errors e;
  for (int i = 0; i < c.get_vn(); ++i) {
    if (c.get_vDeleted(i)) continue;
    V3 n;
    const float d = truth(c.get_vCoord(i), n);
    const double angle = std::acos(std::min(1.f, std::max(-1.f, n.dot(c.get_vNrv(i))))) * 180.0 / M_PI;
    e.distRms += d * d;
    e.angleRmsDeg += angle * angle;
    ++e.n;
  }
  if (e.n > 0) {
    e.distRms = std::sqrt(e.distRms / e.n) / kCell;
    e.angleRmsDeg = std::sqrt(e.angleRmsDeg / e.n);
  }
  return e;
}
}  // namespace

TEST(LaserScans, SphereAndCylinderPointsMatchTheTruth) {
  const V3 centre(1, 2, 3);
  {
    sim::Scene scene;
    scene.spheres.push_back({centre, 2.f});
    LaserFusionHelper<Leaf> h(10, kCell, 0.04f, kCell, 3, false);
    centre_grid(h, centre);
    fuse_normal(h, sweeps(scene, centre, kSixSides, 6.f, 2.5f, 90, 0.005f));
    Cloud cloud;
    h.get_cloud(cloud);
    const Errors e = measure(cloud, [&](const V3& p, V3& n) {
      n = (p - centre).normalized();
      return (p - centre).norm() - 2.f;
    });
    std::printf("sphere r=20 cells: %d points, distance RMS %.3f cell, normal RMS %.2f deg\n", e.n, e.distRms,
                e.angleRmsDeg);
    EXPECT_GT(e.n, 2000);
    EXPECT_LT(e.distRms, 0.2);
    EXPECT_LT(e.angleRmsDeg, 5.0);
  }
  {
    sim::Scene scene;
    const sim::Cylinder cyl{centre, V3::UnitZ(), 1.5f, 2.f};
    scene.cylinders.push_back(cyl);
    LaserFusionHelper<Leaf> h(10, kCell, 0.04f, kCell, 3, false);
    centre_grid(h, centre);
    fuse_normal(h, sweeps(scene, centre, {V3(1, 0, 0), V3(-1, 0, 0), V3(0, 1, 0), V3(0, -1, 0)}, 6.f, 2.5f, 90,
                          0.005f));
    Cloud cloud;
    h.get_cloud(cloud);
    // Side points only: caps were not scanned face-on.
    Cloud side;
    side.enable_vNormal();
    for (int i = 0; i < cloud.get_vn(); ++i)
      if (std::abs(cloud.get_vCoord(i).z() - centre.z()) < 1.8f) {
        const int k = side.add_vCoord(cloud.get_vCoord(i));
        side.set_vNrv(k, cloud.get_vNrv(i));
      }
    const Errors e = measure(side, [&](const V3& p, V3& n) {
      V3 r = p - centre;
      r.z() = 0;
      n = r.normalized();
      return r.norm() - cyl.radius;
    });
    std::printf("cylinder r=15 cells: %d points, distance RMS %.3f cell, normal RMS %.2f deg\n", e.n, e.distRms,
                e.angleRmsDeg);
    EXPECT_GT(e.n, 1200);
    EXPECT_LT(e.distRms, 0.2);
    EXPECT_LT(e.angleRmsDeg, 5.0);
  }
}

TEST(LaserScans, ThinPlateKeepsBothSidesOnlyWithTwins) {
  sim::Scene scene;
  const float half = 0.04f;  // 0.8 cell thick
  scene.boxes.push_back({TavoAlgorithm::RigidMatrix(), V3(1.5f, 1.5f, half)});
  const auto frames = sweeps(scene, V3::Zero(), {V3(0, 0, 1), V3(0, 0, -1)}, 6.f, 1.2f, 60, 0.f);
  for (bool twins : {true, false}) {
    LaserFusionHelper<Leaf> h(10, kCell, 0.04f, kCell, 3, twins);
    centre_grid(h, V3(0.013f, 0.027f, 0.f));
    fuse_normal(h, frames);
    Cloud cloud;
    h.get_cloud(cloud);
    int up = 0, down = 0, upRight = 0, downRight = 0;
    double upZ = 0, downZ = 0;
    for (int i = 0; i < cloud.get_vn(); ++i) {
      const V3& p = cloud.get_vCoord(i);
      if (std::abs(p.x()) > 1.3f || std::abs(p.y()) > 1.3f) continue;
      if (cloud.get_vNrv(i).z() > 0.9f) {
        ++up;
        upZ += p.z();
        upRight += std::abs(p.z() - half) < 0.1f * kCell;
      } else if (cloud.get_vNrv(i).z() < -0.9f) {
        ++down;
        downZ += p.z();
        downRight += std::abs(p.z() + half) < 0.1f * kCell;
      }
    }
    std::printf("plate 0.8 cell, twins %s: %d points up (mean z %.4f), %d down (mean z %.4f)\n", twins ? "on" : "off",
                up, up ? upZ / up : 0.0, down, down ? downZ / down : 0.0);
    if (twins) {
      EXPECT_GT(up, 250);
      EXPECT_GT(down, 250);
      EXPECT_GT(upRight, 0.95 * up);
      EXPECT_GT(downRight, 0.95 * down);
    } else {
      // Both sides share records: the offsets of the two faces average out
      // and the points land between them, off either face.
      std::printf("  without twins %d of %d points lie on their face\n", upRight + downRight, up + down);
      EXPECT_LT(upRight + downRight, (up + down) / 2);
    }
  }
}

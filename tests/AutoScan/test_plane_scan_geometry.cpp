// Candidate directions, working box and viewing-plane grid of the plane
// scanner against closed forms and an independent slab test of the box.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "AutoScan/QuellanEmulatBinocular/PlaneScanGeometry.h"
#include "plane_scenes.h"

using namespace TavoAlgorithm;
using namespace TavoAlgorithm::plane_scan;
using Eigen::Vector3f;

namespace {

Vector3f at(const std::vector<float>& v, int i) { return {v[3 * i], v[3 * i + 1], v[3 * i + 2]}; }

OBBox random_box(std::mt19937& rng) {
  std::normal_distribution<float> g;
  const Eigen::Matrix3f r = Eigen::Quaternionf(g(rng), g(rng), g(rng), g(rng)).normalized().toRotationMatrix();
  std::vector<Vector3f> pts;
  for (int i = 0; i < 8; ++i)
    pts.push_back(r * Vector3f(i & 1 ? 400.f : -400.f, i & 2 ? 250.f : -250.f, i & 4 ? 100.f : -100.f) +
                  Vector3f(30, -20, 150));
  return OBBox(pts);
}

}  // namespace

TEST(PlaneScanGeometry, CandidatesCircleTheCentreByElevationThenAzimuth) {
  const Vector3f c(12.5f, -40.f, 3.f);
  const Candidates cand = make_candidates(c);
  ASSERT_EQ(cand.eyes.size(), 3u * kCandidateCount);
  ASSERT_EQ(cand.ups.size(), 3u * kCandidateCount);
  EXPECT_TRUE(at(cand.eyes, 0).isApprox(c + Vector3f(2000, 0, 0)));
  EXPECT_TRUE(at(cand.ups, 0).isApprox(Vector3f(0, 0, 1)));
  for (int i = 0; i < kCandidateCount; ++i) {
    const int t = 10 * (i / 36), s = 10 * (i % 36);  // the top view is the last, i = 324
    const double te = t * M_PI / 180.0, se = s * M_PI / 180.0;
    const Eigen::Vector3d dir(std::cos(te) * std::cos(se), std::cos(te) * std::sin(se), std::sin(te));
    const Eigen::Vector3d up(-std::sin(te) * std::cos(se), -std::sin(te) * std::sin(se), std::cos(te));
    EXPECT_LT((at(cand.eyes, i).cast<double>() - (c.cast<double>() + 2000.0 * dir)).norm(), 2e-3) << i;
    EXPECT_LT((at(cand.ups, i).cast<double>() - up).norm(), 1e-6) << i;
  }
}

TEST(PlaneScanGeometry, WorkingBoxIsTheBoxCornersAsTwelveOutwardFaces) {
  std::mt19937 rng(8);
  OBBox box = random_box(rng);
  box.enlarge(kBoxMargin);
  const BaseTriMesh mesh = working_box_mesh(box);
  ASSERT_EQ(mesh.get_vn(), 8);
  ASSERT_EQ(mesh.get_fn(), 12);
  const int order[12][3] = {{0, 1, 5}, {4, 0, 5}, {6, 2, 0}, {6, 0, 4}, {7, 5, 1}, {3, 7, 1},
                            {7, 6, 5}, {6, 4, 5}, {0, 2, 1}, {1, 2, 3}, {2, 6, 7}, {2, 7, 3}};
  const auto corners = box.corners();
  double volume = 0.0;
  for (int f = 0; f < 12; ++f) {
    for (int k = 0; k < 3; ++k) EXPECT_EQ(mesh.get_face(f)[k], order[f][k]);
    const Vector3f a = mesh.get_vCoord(order[f][0]), b = mesh.get_vCoord(order[f][1]), c = mesh.get_vCoord(order[f][2]);
    EXPECT_GT((b - a).cross(c - a).dot((a + b + c) / 3.f - box.center()), 0.f) << "face " << f << " faces inward";
    volume += a.cast<double>().dot(b.cast<double>().cross(c.cast<double>())) / 6.0;
  }
  for (int i = 0; i < 8; ++i) EXPECT_EQ(mesh.get_vCoord(i), corners[i]);
  EXPECT_NEAR(volume, box.volume(), 1e-4 * box.volume());
  EXPECT_EQ(working_box_mesh(OBBox()).get_fn(), 0);
}

TEST(PlaneScanGeometry, GridEntriesMatchTheirPositionsAndASlabTest) {
  std::mt19937 rng(13);
  int valid = 0, invalid = 0;
  for (int trial = 0; trial < 6; ++trial) {
    OBBox box = random_box(rng);
    box.enlarge(kBoxMargin);
    const BaseTriMesh mesh = working_box_mesh(box);
    const Candidates cand = make_candidates(box.center() - Vector3f(0, 0, 100));
    const int k = std::uniform_int_distribution<int>(0, kCandidateCount - 1)(rng);
    const Vector3f eye = at(cand.eyes, k), up = at(cand.ups, k), centre = box.center() - Vector3f(0, 0, 100);
    const std::vector<GridEntry> grid = view_grid(eye, centre, up, mesh);
    ASSERT_EQ(grid.size(), 577u);
    EXPECT_EQ(grid, view_grid(eye, centre, up, mesh)) << "the parallel fill is deterministic";

    const Vector3f f = (centre - eye).normalized(), side = f.cross(up).normalized(), v = f.cross(side).normalized();
    for (int e = 0; e < 577; ++e) {
      Vector3f expected = eye;
      if (e < 576) {
        const float a = 100.f * (e / 4 / 12), b = 100.f * (e / 4 % 12);
        const float sa = e % 4 < 2 ? 1.f : -1.f, sb = e % 2 == 0 ? 1.f : -1.f;
        expected = eye + sa * a * v + sb * b * side;
      }
      ASSERT_LT((grid[e].eye - expected).norm(), 1e-2f) << e;
      // Slab test in the box frame: where the ray enters and leaves.
      const Vector3f o = box.axes().transpose() * (expected - box.center()), d = box.axes().transpose() * f;
      float tIn = -1e30f, tOut = 1e30f;
      int sideIn = -1, sideOut = -1;
      for (int ax = 0; ax < 3; ++ax) {
        const float h = box.half_extents()[ax];
        const float t0 = (-h - o[ax]) / d[ax], t1 = (h - o[ax]) / d[ax];
        const int s0 = 2 * ax, s1 = 2 * ax + 1;  // low side, high side of the axis
        const float tn = std::min(t0, t1), tf = std::max(t0, t1);
        if (tn > tIn) tIn = tn, sideIn = t0 < t1 ? s0 : s1;
        if (tf < tOut) tOut = tf, sideOut = t0 < t1 ? s1 : s0;
      }
      const bool hits = tIn <= tOut && tOut >= 0.f;
      if (std::abs(tIn - tOut) < 1.f) continue;  // grazes an edge
      ASSERT_EQ(grid[e].valid, hits) << e;
      if (!hits) {
        ++invalid;
        continue;
      }
      ++valid;
      // The box mesh lists the sides as (bit, value): y low, x low, x high,
      // z high, z low, y high; the later side of the two decides.
      const int faceOfSide[6] = {2, 4, 0, 10, 8, 6};  // x low, x high, y low, y high, z low, z high
      const Vector3f pIn = expected + std::max(tIn, 0.f) * f, pOut = expected + tOut * f;
      const Vector3f last = tIn < 0.f || faceOfSide[sideOut] > faceOfSide[sideIn] ? pOut : pIn;
      EXPECT_LT((grid[e].center - last).norm(), 0.05f) << e;
    }
  }
  EXPECT_GT(valid, 200);
  EXPECT_GT(invalid, 200);
}

TEST(PlaneScanGeometry, DegenerateViewsGiveNoValidEntry) {
  const BaseTriMesh mesh = working_box_mesh(tavo_test::axis_box({120, 100, 80}));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const auto& grid : {view_grid({0, 0, 2000}, {0, 0, 2000}, {0, 1, 0}, mesh),
                           view_grid({0, 0, 2000}, {0, 0, 0}, {0, 0, 1}, mesh),
                           view_grid({0, 0, 2000}, {0, 0, 0}, {0, 0, 0}, mesh),
                           view_grid({0, nan, 2000}, {0, 0, 0}, {0, 1, 0}, mesh),
                           view_grid({0, 0, 2000}, {0, 0, 0}, {0, 1, 0}, BaseTriMesh())})
    for (const GridEntry& g : grid) EXPECT_FALSE(g.valid);
  // The starting eye itself is cast as well.
  const auto grid = view_grid({0, 0, 2000}, {0, 0, 0}, {0, 1, 0}, mesh);
  EXPECT_TRUE(grid.back().valid);
  EXPECT_TRUE(grid[0].valid);
}

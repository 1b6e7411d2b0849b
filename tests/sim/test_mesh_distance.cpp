#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "MeshDistance.h"
#include "MeshShape.h"
#include "SceneMeshes.h"

using namespace TavoAlgorithm;

// Every vertex against every face: the oracle for the binned search.
static std::vector<double> brute_distances(const BaseTriMesh& from, const BaseTriMesh& to) {
  std::vector<double> out(from.get_vn(), 1e300);
  for (int v = 0; v < from.get_vn(); ++v)
    for (const auto& t : to.get_faces()) {
      const Eigen::Vector3f p = from.get_vCoord(v);
      const Eigen::Vector3f q =
          sim::closest_point_on_triangle(p, to.get_vCoord(t[0]), to.get_vCoord(t[1]), to.get_vCoord(t[2]));
      out[v] = std::min(out[v], (p - q).cast<double>().norm());
    }
  return out;
}

TEST(MeshDistance, ShiftedBoxesHaveExactFiguresAndJunkIsIgnored) {
  // Corners of one cube against the cube moved up by 0.25: the top four lie on
  // the other's side faces, the bottom four are 0.25 below its floor.
  BaseTriMesh a, b, empty;
  sim::add_box(a, Eigen::Vector3f::Zero(), Eigen::Vector3f::Ones());
  sim::add_box(b, Eigen::Vector3f(0.f, 0.f, 0.25f), Eigen::Vector3f::Ones());
  const sim::MeshDistanceStats s = sim::mesh_distance(a, b);
  for (const sim::DistanceSummary& d : {s.forward, s.backward}) {
    EXPECT_EQ(d.samples, a.get_vn());
    EXPECT_NEAR(d.mean, 0.125, 1e-6);
    EXPECT_NEAR(d.p95, 0.25, 1e-6);
    EXPECT_NEAR(d.max, 0.25, 1e-6);
  }
  EXPECT_EQ(sim::mesh_distance(a, empty).forward.samples, 0);
  // Per point: NaN in place of a non-finite point, and everywhere without faces.
  const std::vector<double> each =
      sim::points_to_surface_distances({Eigen::Vector3f(0.5f, 0.5f, -2.f), Eigen::Vector3f::Constant(NAN)}, a);
  ASSERT_EQ(each.size(), 2u);
  EXPECT_NEAR(each[0], 1.0, 1e-6);
  EXPECT_TRUE(std::isnan(each[1]));
  for (double d : sim::points_to_surface_distances({Eigen::Vector3f::Zero()}, empty)) EXPECT_TRUE(std::isnan(d));
  EXPECT_TRUE(std::isnan(sim::mesh_distance(empty, a).forward.mean));

  // A far vertex that only deleted faces use is not sampled, deleted faces
  // are not targets, a NaN vertex is skipped.
  BaseTriMesh junk = a;
  junk.add_face({0, 1, junk.add_vCoord(Eigen::Vector3f(100.f, 0.f, 0.f))});
  junk.set_fDeleted(junk.get_fn() - 1, true);
  junk.add_vCoord(Eigen::Vector3f::Constant(std::nanf("")));
  const sim::MeshDistanceStats j = sim::mesh_distance(junk, a);
  EXPECT_EQ(j.forward.samples, a.get_vn());
  EXPECT_NEAR(j.forward.max, 0.0, 1e-6);
  EXPECT_NEAR(j.backward.max, 0.0, 1e-6);
}

TEST(MeshDistance, BinnedSearchMatchesBruteForce) {
  // Overlapping, nested, and far apart (queries well outside the grid).
  const struct { Eigen::Vector3f center; float radius; } cases[] = {
      {{0.05f, 0.f, 0.02f}, 1.f}, {{0.f, 0.f, 0.f}, 0.3f}, {{40.f, -7.f, 3.f}, 2.f}};
  const BaseTriMesh ref = sim::make_lumpy_sphere(Eigen::Vector3f::Zero(), 1.f, 0.2f, 3);
  for (const auto& c : cases) {
    const BaseTriMesh other = sim::make_lumpy_sphere(c.center, c.radius, 0.1f, 2);
    std::vector<double> d = brute_distances(other, ref);
    const std::vector<double> each = sim::points_to_surface_distances(other.get_vCoords(), ref);
    ASSERT_EQ(each.size(), d.size());
    for (std::size_t v = 0; v < d.size(); ++v) EXPECT_DOUBLE_EQ(each[v], d[v]) << v;
    const sim::DistanceSummary s = sim::vertex_to_surface_distance(other, ref);
    ASSERT_EQ(s.samples, static_cast<int>(d.size()));
    const double sum = std::accumulate(d.begin(), d.end(), 0.0);
    std::sort(d.begin(), d.end());
    EXPECT_NEAR(s.mean, sum / d.size(), 1e-9 * (1 + s.mean)) << c.radius;
    EXPECT_DOUBLE_EQ(s.max, d.back());
    EXPECT_DOUBLE_EQ(s.p95, d[static_cast<std::size_t>(std::ceil(0.95 * d.size())) - 1]);
  }
}

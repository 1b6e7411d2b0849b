// Ray-triangle tests against an independent solve of the same linear system
// and against exact constructions on edges, corners and parallel rays.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <random>

#include "geometry/TAVOIntersection.h"

using namespace TavoAlgorithm;
using Eigen::Vector3d;
using Eigen::Vector3f;

namespace {

struct Solve {
  double t, u, v;
};
// origin + t dir = a + u (b - a) + v (c - a), by a pivoted LU in double.
Solve solve(const Vector3f& o, const Vector3f& d, const Vector3f& a, const Vector3f& b, const Vector3f& c) {
  Eigen::Matrix3d m;
  m.col(0) = d.cast<double>();
  m.col(1) = -(b - a).cast<double>();
  m.col(2) = -(c - a).cast<double>();
  const Vector3d x = m.fullPivLu().solve((a - o).cast<double>());
  return {x[0], x[1], x[2]};
}

bool hit(const Vector3f& o, const Vector3f& d, const Vector3f& a, const Vector3f& b, const Vector3f& c,
         Vector3f* at = nullptr, float* t = nullptr) {
  Vector3f h(7, 7, 7);
  const bool r = TAVOIntersection::ray_triangle(o, d, a, b, c, h, t);
  if (at) *at = h;
  return r;
}

}  // namespace

TEST(RayTriangle, RandomRaysAgreeWithALinearSolve) {
  std::mt19937 rng(3);
  std::normal_distribution<float> g(0.f, 10.f);
  int hits = 0, misses = 0, undecided = 0;
  for (int k = 0; k < 20000; ++k) {
    const Vector3f a(g(rng), g(rng), g(rng)), b(g(rng), g(rng), g(rng)), c(g(rng), g(rng), g(rng));
    const Vector3f o(g(rng), g(rng), g(rng));
    // Half the rays aim at a point of the triangle's plane near it, the rest anywhere.
    std::uniform_real_distribution<float> w(-0.3f, 1.3f);
    const float s = w(rng), r = w(rng);
    const Vector3f target = a + s * (b - a) + r * (c - a);
    const Vector3f d = (k % 2 ? target - o : Vector3f(g(rng), g(rng), g(rng))) * 0.37f;
    const Solve x = solve(o, d, a, b, c);
    const double margin = std::min({x.u, x.v, 1.0 - x.u - x.v});
    if (!std::isfinite(margin) || std::abs(margin) < 1e-4 || std::abs(x.t) < 1e-4) {
      ++undecided;
      continue;
    }
    const bool expected = margin > 0.0 && x.t > 0.0;
    Vector3f at;
    float t = -1.f;
    ASSERT_EQ(hit(o, d, a, b, c, &at, &t), expected) << "case " << k;
    if (expected) {
      ++hits;
      EXPECT_NEAR(t, x.t, 1e-4 * std::max(1.0, x.t));
      EXPECT_LT((at.cast<double>() - (o.cast<double>() + x.t * d.cast<double>())).norm(), 1e-3);
    } else {
      ++misses;
    }
  }
  EXPECT_GT(hits, 1500);
  EXPECT_GT(misses, 4000);
  EXPECT_LT(undecided, 200);
}

TEST(RayTriangle, EdgesAndCornersHitAndJustOutsideMisses) {
  const Vector3f a(0, 0, 0), b(4, 0, 0), c(0, 4, 0), down(0, 0, -2);
  for (const Vector3f& p : {Vector3f(2, 0, 0), Vector3f(2, 2, 0), Vector3f(0, 2, 0), Vector3f(0, 0, 0),
                            Vector3f(4, 0, 0), Vector3f(0, 4, 0), Vector3f(1, 1, 0)}) {
    Vector3f at;
    float t = 0.f;
    ASSERT_TRUE(hit(p + Vector3f(0, 0, 3), down, a, b, c, &at, &t)) << p.transpose();
    EXPECT_EQ(at, p);
    EXPECT_FLOAT_EQ(t, 1.5f);  // in units of |dir| = 2
  }
  for (const Vector3f& p : {Vector3f(2, -1e-3f, 0), Vector3f(2.001f, 2.001f, 0), Vector3f(-1e-3f, 2, 0),
                            Vector3f(4.001f, 0, 0)})
    EXPECT_FALSE(hit(p + Vector3f(0, 0, 3), down, a, b, c)) << p.transpose();

  // Exactly representable points of a shared edge hit both triangles.
  const Vector3f d(4, 4, 0);
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> k(0, 1024);
  for (int i = 0; i < 500; ++i) {
    const float s = static_cast<float>(k(rng)) / 256.f;  // 0 .. 4 in steps of 1/256
    const Vector3f onDiagonal(4.f - s, s, 0.f);
    EXPECT_TRUE(hit(onDiagonal + Vector3f(0, 0, 3), down, a, b, c)) << s;
    EXPECT_TRUE(hit(onDiagonal + Vector3f(0, 0, 3), down, b, d, c)) << s;
  }
  // Any ray through a shared edge meets at least one of the two triangles:
  // no ray slips between them.
  std::normal_distribution<float> g(0.f, 5.f);
  int cast = 0;
  for (int i = 0; i < 4000; ++i) {
    const Vector3f p(g(rng), g(rng), g(rng)), q(g(rng), g(rng), g(rng)), l(g(rng), g(rng), g(rng)),
        r(g(rng), g(rng), g(rng));
    const float s = std::uniform_real_distribution<float>(0.f, 1.f)(rng);
    const Vector3f o(g(rng), g(rng), g(rng));
    const Vector3f dir = p + s * (q - p) - o;
    // Grazing rays say nothing about edges.
    if (std::abs(dir.normalized().dot((q - p).cross(l - p).normalized())) < 0.05f ||
        std::abs(dir.normalized().dot((p - q).cross(r - q).normalized())) < 0.05f)
      continue;
    EXPECT_TRUE(hit(o, dir, p, q, l) || hit(o, dir, q, p, r)) << i;
    ++cast;
  }
  EXPECT_GT(cast, 3000);
}

TEST(RayTriangle, ParallelBehindAndDegenerateCasesMiss) {
  const Vector3f a(0, 0, 0), b(4, 0, 0), c(0, 4, 0);
  Vector3f at(9, 9, 9);
  float t = 9.f;
  // Parallel to the plane above it, and lying in the plane through the triangle.
  EXPECT_FALSE(TAVOIntersection::ray_triangle({-1, 1, 1}, {1, 0, 0}, a, b, c, at, &t));
  EXPECT_FALSE(TAVOIntersection::ray_triangle({-1, 1, 0}, {1, 0, 0}, a, b, c, at, &t));
  EXPECT_FALSE(TAVOIntersection::ray_triangle({-1, 1, 0}, {1, 1, 0}, a, b, c, at, &t));
  EXPECT_EQ(at, Vector3f(9, 9, 9));
  EXPECT_EQ(t, 9.f);
  // Nearly parallel but not quite: a far hit that the solve confirms.
  const Vector3f o(-100, 1, 1), d(1, 0, -1.0f / 101.0f);
  const Solve x = solve(o, d, a, b, c);
  ASSERT_TRUE(TAVOIntersection::ray_triangle(o, d, a, b, c, at, &t));
  EXPECT_NEAR(t, x.t, 1e-3);
  EXPECT_NEAR(at.z(), 0.f, 1e-5f);
  // Behind the origin, origin on the triangle, both sides.
  EXPECT_FALSE(hit({1, 1, -1}, {0, 0, -1}, a, b, c));
  ASSERT_TRUE(TAVOIntersection::ray_triangle({1, 1, 0}, {0, 0, 1}, a, b, c, at, &t));
  EXPECT_EQ(t, 0.f);
  EXPECT_TRUE(hit({1, 1, -1}, {0, 0, 1}, a, b, c));
  // Zero or non-finite direction, collinear corners, a NaN corner.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_FALSE(hit({1, 1, 1}, {0, 0, 0}, a, b, c));
  EXPECT_FALSE(hit({1, 1, 1}, {0, nan, -1}, a, b, c));
  EXPECT_FALSE(hit({1, 1, 1}, {0, 0, -1}, a, b, Vector3f(8, 0, 0)));
  EXPECT_FALSE(hit({1, 1, 1}, {0, 0, -1}, a, b, Vector3f(0, nan, 0)));
}

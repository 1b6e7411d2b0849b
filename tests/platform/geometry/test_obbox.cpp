// Oriented boxes against boxes known by construction, an SVD of the same
// points and brute-force projections.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <limits>
#include <random>

#include "geometry/OBBox.h"

using namespace TavoAlgorithm;
using Eigen::Vector3f;

namespace {

Eigen::Matrix3f random_rotation(std::mt19937& rng) {
  std::normal_distribution<float> g;
  return Eigen::Quaternionf(g(rng), g(rng), g(rng), g(rng)).normalized().toRotationMatrix();
}

// |axis k of the box . column k of R| for the best-matching sign.
float alignment(const OBBox& box, const Eigen::Matrix3f& r, int k) { return std::abs(box.axes().col(k).dot(r.col(k))); }

}  // namespace

TEST(OBBox, RecoversRotatedBoxesAndTheirCornerOrder) {
  std::mt19937 rng(21);
  for (int trial = 0; trial < 20; ++trial) {
    const Eigen::Matrix3f r = random_rotation(rng);
    const Vector3f half(300.f, 120.f, 40.f), centre(1000.f * trial, -500.f, 2000.f);
    std::vector<Vector3f> pts;
    std::uniform_real_distribution<float> u(-1.f, 1.f);
    for (int i = 0; i < 16000; ++i) pts.push_back(centre + r * Vector3f(u(rng), u(rng), u(rng)).cwiseProduct(half));
    for (int i = 0; i < 8; ++i)  // the true corners make the tight box the true box
      pts.push_back(centre + r * Vector3f(i & 1 ? 1 : -1, i & 2 ? 1 : -1, i & 4 ? 1 : -1).cwiseProduct(half));
    const OBBox box(pts);
    ASSERT_FALSE(box.empty());
    for (int k = 0; k < 3; ++k) EXPECT_GT(alignment(box, r, k), 0.999f) << trial;
    EXPECT_NEAR(box.axes().determinant(), 1.f, 1e-5f);
    EXPECT_TRUE((box.axes().transpose() * box.axes()).isIdentity(1e-5f));
    // The principal axes of a sample tilt a little from the true ones, so
    // the tight box along them is a little larger than the true box.
    for (int k = 0; k < 3; ++k) {
      EXPECT_GE(box.half_extents()[k], half[k] * (1.f - 1e-4f)) << trial;
      EXPECT_LE(box.half_extents()[k], half[k] + 0.015f * half.maxCoeff()) << trial;
    }
    EXPECT_LT((box.center() - centre).norm(), 0.01f * half.maxCoeff());
    EXPECT_LT(box.volume(), 1.06f * 8.f * half.prod());

    // Corner i sits at the signs of its bits along the box's own axes.
    const auto corners = box.corners();
    for (int i = 0; i < 8; ++i) {
      const Vector3f q = box.axes().transpose() * (corners[i] - box.center());
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(q[k], ((i >> k) & 1 ? 1.f : -1.f) * box.half_extents()[k], 1e-2f);
    }
  }
}

TEST(OBBox, AxesMatchAnSvdAndExtentsAreTight) {
  std::mt19937 rng(5);
  std::normal_distribution<float> g;
  for (int trial = 0; trial < 20; ++trial) {
    const Eigen::Matrix3f r = random_rotation(rng);
    std::vector<Vector3f> pts;
    for (int i = 0; i < 3000; ++i) pts.push_back(r * Vector3f(50.f * g(rng), 20.f * g(rng), 5.f * g(rng)) + Vector3f(7, 8, 9));
    const OBBox box(pts);

    Eigen::MatrixXd m(pts.size(), 3);
    for (std::size_t i = 0; i < pts.size(); ++i) m.row(static_cast<Eigen::Index>(i)) = pts[i].cast<double>().transpose();
    m.rowwise() -= m.colwise().mean();
    const Eigen::JacobiSVD<Eigen::MatrixXd> svd(m, Eigen::ComputeThinV);
    for (int k = 0; k < 3; ++k)
      EXPECT_GT(std::abs(box.axes().col(k).cast<double>().dot(svd.matrixV().col(k))), 0.9999) << trial << " " << k;

    // Brute force: every point inside, every side touched by some point.
    Eigen::Array3f lo = Eigen::Array3f::Constant(1e30f), hi = -lo;
    for (const Vector3f& p : pts) {
      EXPECT_TRUE(box.contains(p, 1e-3f));
      const Eigen::Array3f q = (box.axes().transpose() * (p - box.center())).array();
      lo = lo.min(q);
      hi = hi.max(q);
    }
    EXPECT_TRUE(hi.isApprox(box.half_extents().array(), 1e-4f));
    EXPECT_TRUE((-lo).isApprox(box.half_extents().array(), 1e-4f));
    EXPECT_FALSE(box.contains(box.center() + box.axes().col(2) * (box.half_extents()[2] + 0.1f)));
  }
}

TEST(OBBox, EnlargeMovesEverySideOutward) {
  const std::vector<Vector3f> pts = {{0, 0, 0}, {10, 0, 0}, {0, 4, 0}, {10, 4, 0}, {0, 0, 2}, {10, 4, 2}};
  OBBox box(pts);
  const Vector3f before = box.half_extents();
  box.enlarge(200.f);
  EXPECT_TRUE(box.half_extents().isApprox(before + Vector3f::Constant(200.f)));
  box.enlarge(-1000.f);
  EXPECT_EQ(box.half_extents(), Vector3f::Zero());
  for (const Vector3f& c : box.corners()) EXPECT_TRUE(c.isApprox(box.center()));
}

TEST(OBBox, EmptyDegenerateAndNonFiniteInput) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const auto& pts : {std::vector<Vector3f>{}, std::vector<Vector3f>{{nan, 0, 0}, {1, std::numeric_limits<float>::infinity(), 2}}}) {
    OBBox box(pts);
    EXPECT_TRUE(box.empty());
    EXPECT_EQ(box.volume(), 0.f);
    EXPECT_FALSE(box.contains(Vector3f::Zero(), 1e9f));
    box.enlarge(5.f);
    EXPECT_TRUE(box.empty());
    for (const Vector3f& c : box.corners()) EXPECT_FALSE(c.allFinite());
  }
  // One point: zero extents, all corners on it; NaN points are skipped.
  const OBBox single({{1, 2, 3}, {nan, nan, nan}});
  ASSERT_FALSE(single.empty());
  EXPECT_EQ(single.half_extents(), Vector3f::Zero());
  for (const Vector3f& c : single.corners()) EXPECT_TRUE(c.isApprox(Vector3f(1, 2, 3)));
  // Points in a plane: the flat axis is the plane's normal.
  std::vector<Vector3f> flat;
  for (int i = 0; i < 10; ++i)
    for (int j = 0; j < 5; ++j) flat.emplace_back(3.f * i, 1.f * j, 7.f);
  const OBBox plate(flat);
  EXPECT_NEAR(plate.half_extents()[2], 0.f, 1e-4f);
  EXPECT_NEAR(std::abs(plate.axes().col(2).z()), 1.f, 1e-5f);
  EXPECT_NEAR(plate.half_extents()[0], 13.5f, 1e-3f);
}

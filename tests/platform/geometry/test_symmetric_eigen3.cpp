#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>
#include <Eigen/Geometry>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "geometry/SymmetricEigen3.h"

using TavoAlgorithm::clear_smallest_eigenvector;
using TavoAlgorithm::clear_smallest_eigenvectors;
using TavoAlgorithm::largest_share_exceeds;
using TavoAlgorithm::smallest_eigenvector;
using TavoAlgorithm::symmetric_eigen3;
using V3 = Eigen::Vector3f;
using M3 = Eigen::Matrix3f;

namespace {
// Sum of v v^T, the shape of the tangent moments the normal estimate solves.
M3 moments(const std::vector<V3>& vs) {
  M3 m = M3::Zero();
  for (const V3& v : vs) m += v * v.transpose();
  return m;
}
}  // namespace

// Random symmetric matrices are indefinite about half the time: there the
// adjugate's dominant eigenvector is not the smallest eigenvalue's, which the
// fast solver must not return. Degenerate shapes follow the random ones.
TEST(SymmetricEigen3, SmallestEigenvectorAgreesWithTheIterativeSolver) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1.f, 1.f), logScale(-6.f, 6.f);
  std::vector<M3> cases;
  for (int trial = 0; trial < 500; ++trial) {
    M3 a;
    a << u(rng), u(rng), u(rng), 0, u(rng), u(rng), 0, 0, u(rng);
    cases.push_back(std::pow(10.f, logScale(rng)) * M3(a.selfadjointView<Eigen::Upper>()));
  }
  const V3 n = V3(1, 2, -2).normalized(), e1 = n.unitOrthogonal(), e2 = n.cross(e1);
  std::vector<V3> planar;
  for (int k = 0; k < 12; ++k) planar.push_back(std::cos(0.5f * k) * e1 + std::sin(0.5f * k) * 0.7f * e2);
  cases.insert(cases.end(), {moments(planar), moments({2.f * e1, -3.f * e1}), 2.5f * M3::Identity(), M3::Zero(),
                             M3(V3(1, 3, 1).asDiagonal()), M3(V3(4, 1, 4).asDiagonal())});
  for (const M3& a : cases) {
    const Eigen::SelfAdjointEigenSolver<M3> ref(a);
    const auto got = symmetric_eigen3(a);
    const float norm = std::max(1e-30f, a.norm()), gap = ref.eigenvalues()[1] - ref.eigenvalues()[0];
    EXPECT_LE((got.values - ref.eigenvalues()).norm(), 3e-5f * norm) << a;
    for (const V3& v : {got.smallest, smallest_eigenvector(a)}) {
      EXPECT_NEAR(v.norm(), 1.f, 1e-5f);
      EXPECT_LE((a * v - ref.eigenvalues()[0] * v).norm(), 1e-4f * std::max(1.f, norm)) << a;
      if (gap > 1e-2f * norm) EXPECT_GT(std::abs(v.dot(ref.eigenvectors().col(0))), 1.f - 1e-4f) << a;
    }
  }
  EXPECT_NEAR(std::abs(symmetric_eigen3(moments(planar)).smallest.dot(n)), 1.f, 1e-5f);
  for (float x : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    M3 a = M3::Identity();
    a(1, 2) = a(2, 1) = x;
    const auto got = symmetric_eigen3(a);
    EXPECT_FALSE(got.values.allFinite());
    EXPECT_TRUE(got.smallest.allFinite());
  }
}

// The normal fit trusts an accepted axis without the closed form's
// eigenvalues: acceptance must mean a clear smallest eigenvalue, and never a
// near-collinear window (two tiny eigenvalues) or a double smallest one.
TEST(SymmetricEigen3, ClearSmallestEigenvectorOnlyWhereTheSmallestIsSimple) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  int accepted = 0;
  for (int trial = 0; trial < 500; ++trial) {
    // Point spreads of widths 1, w1 and w2 in a random frame: covariance of a window.
    const Eigen::Matrix3d q = Eigen::Quaterniond(u(rng), u(rng), u(rng), u(rng)).normalized().toRotationMatrix();
    const double w1 = std::pow(10.0, 3.0 * u(rng) - 3.0), w2 = w1 * std::pow(10.0, 3.0 * u(rng) - 3.0);
    const Eigen::Matrix3d a = q * Eigen::Vector3d(1.0, w1 * w1, w2 * w2).asDiagonal() * q.transpose() * 7.5;
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> ref(a);
    const Eigen::Vector3d l = ref.eigenvalues() / ref.eigenvalues()(2);
    Eigen::Vector3d v;
    if (!clear_smallest_eigenvector(a, v)) continue;
    ++accepted;
    EXPECT_GT((l(1) - l(0)) * (1.0 - l(0)), 1e-9) << l.transpose();
    // Its own residual bound (1e-9 of the largest entry), well below float
    // rounding of the normal; near a double root the closed form is the less exact one.
    EXPECT_LE((a * v - ref.eigenvalues()(0) * v).norm(), 1e-9 * a.cwiseAbs().maxCoeff()) << l.transpose();
    if (l(1) - l(0) > 1e-3) EXPECT_GT(std::abs(v.dot(symmetric_eigen3(a).smallest)), 1.0 - 1e-12) << l.transpose();
  }
  EXPECT_GT(accepted, 250);
  Eigen::Vector3d v;
  const Eigen::Vector3d d = Eigen::Vector3d(1, -2, 0.5).normalized();
  EXPECT_FALSE(clear_smallest_eigenvector(d * d.transpose() * 3.0, v)) << "collinear";
  EXPECT_FALSE(clear_smallest_eigenvector(Eigen::Vector3d(2, 2, 5).asDiagonal().toDenseMatrix(), v)) << "double";
  EXPECT_FALSE(clear_smallest_eigenvector(Eigen::Matrix3d::Identity(), v));
  EXPECT_FALSE(clear_smallest_eigenvector(Eigen::Matrix3d::Zero(), v));
  Eigen::Matrix3d bad = Eigen::Matrix3d::Identity();
  bad(0, 1) = bad(1, 0) = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(clear_smallest_eigenvector(bad, v));
}

TEST(SymmetricEigen3, ClearSmallestEigenvectorsMatchOneAtATimeBitForBit) {
  // Windows of every shape side by side, so that neighbouring matrices stop
  // iterating at different steps, with unusable ones among them and a count
  // that leaves a partial last group.
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Eigen::Matrix3d> as;
  for (int trial = 0; trial < 6001; ++trial) {
    const Eigen::Matrix3d q = Eigen::Quaterniond(u(rng), u(rng), u(rng), u(rng)).normalized().toRotationMatrix();
    const double w1 = std::pow(10.0, 3.0 * u(rng) - 3.0), w2 = w1 * std::pow(10.0, 3.0 * u(rng) - 3.0);
    const Eigen::Vector3d off(100.0 * u(rng), 100.0 * u(rng), 100.0 * u(rng));
    switch (trial % 6) {
      case 0: as.push_back(Eigen::Matrix3d::Random()); break;  // indefinite
      case 1: as.push_back(off * off.transpose()); break;      // collinear
      case 2: as.push_back(trial % 4 == 0 ? Eigen::Matrix3d(Eigen::Matrix3d::Zero()) : Eigen::Matrix3d(2.0 * Eigen::Matrix3d::Identity())); break;
      case 3: {
        Eigen::Matrix3d bad = Eigen::Matrix3d::Identity();
        bad(trial % 3, 2) = bad(2, trial % 3) = trial % 2 ? std::numeric_limits<double>::quiet_NaN()
                                                          : std::numeric_limits<double>::infinity();
        as.push_back(bad);
        break;
      }
      default: as.push_back(q * Eigen::Vector3d(1.0, w1 * w1, w2 * w2).asDiagonal() * q.transpose() * 7.5);
    }
  }
  std::vector<Eigen::Vector3d> v(as.size(), Eigen::Vector3d::Constant(-9.0));
  std::vector<char> accepted(as.size(), 7);
  clear_smallest_eigenvectors(as.data(), as.size(), v.data(), accepted.data());
  int clear = 0;
  for (std::size_t i = 0; i < as.size(); ++i) {
    Eigen::Vector3d one;
    const bool ok = clear_smallest_eigenvector(as[i], one);
    ASSERT_EQ(accepted[i], ok ? 1 : 0) << i;
    if (!ok) continue;
    ++clear;
    for (int k = 0; k < 3; ++k) EXPECT_EQ(v[i](k), one(k)) << i;
  }
  EXPECT_GT(clear, 1000);
  clear_smallest_eigenvectors(as.data(), 0, v.data(), accepted.data());  // nothing to do
}

TEST(LargestShareExceeds, AgreesWithTheEigenvalueRatio) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-1.f, 1.f), squash(0.f, 1.f);
  int above = 0, below = 0;
  for (int trial = 0; trial < 1000; ++trial) {
    // Directions squashed towards x by a random factor spread the ratio over the whole range.
    const float f = squash(rng);
    std::vector<V3> vs;
    for (int k = 0; k < 6; ++k) vs.emplace_back(1.f, f * u(rng), f * f * u(rng));
    const M3 a = moments(vs);
    const V3 l = Eigen::SelfAdjointEigenSolver<M3>(a).eigenvalues();
    const float q = l[2] / l.sum();
    if (std::abs(q - 0.992f) < 1e-5f) continue;  // rounding decides
    EXPECT_EQ(largest_share_exceeds(a, 0.992f), q > 0.992f) << "q " << q;
    (q > 0.992f ? above : below)++;
  }
  EXPECT_GT(above, 100);
  EXPECT_GT(below, 100);
  EXPECT_TRUE(largest_share_exceeds(moments({V3(1, 2, 3)}), 0.992f));
  EXPECT_FALSE(largest_share_exceeds(M3::Identity(), 0.9f));
}

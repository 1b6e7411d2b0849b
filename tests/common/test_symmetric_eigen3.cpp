#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "common/symmetric_eigen3.h"

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

void expect_eigenvector(const M3& a, const V3& v, float lambda, float tol) {
  EXPECT_NEAR(v.norm(), 1.f, 1e-5f);
  EXPECT_LE((a * v - lambda * v).norm(), tol * std::max(1.f, a.norm())) << a;
}
}  // namespace

// Half the matrices are indefinite: there the adjugate's dominant eigenvector
// is not the smallest eigenvalue's, which the fast solver must not return.
TEST(SymmetricEigen3, MatchesTheIterativeSolverOnRandomMatrices) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1.f, 1.f), logScale(-6.f, 6.f);
  for (int trial = 0; trial < 2000; ++trial) {
    M3 a;
    if (trial % 2 == 0) {
      a << u(rng), u(rng), u(rng), 0, u(rng), u(rng), 0, 0, u(rng);
      a = a.selfadjointView<Eigen::Upper>();
    } else {
      std::vector<V3> vs;
      for (int k = 0; k < 8; ++k) vs.emplace_back(u(rng), u(rng), u(rng));
      a = moments(vs);
    }
    a *= std::pow(10.f, logScale(rng));
    const Eigen::SelfAdjointEigenSolver<M3> ref(a);
    const auto got = symmetric_eigen3(a);
    const float norm = a.norm(), gap = ref.eigenvalues()[1] - ref.eigenvalues()[0];
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(got.values[k], ref.eigenvalues()[k], 2e-5f * norm) << a;
    const V3 fast = smallest_eigenvector(a);
    for (const V3& v : {got.smallest, fast}) {
      if (gap > 1e-2f * norm) EXPECT_GT(std::abs(v.dot(ref.eigenvectors().col(0))), 1.f - 1e-4f) << a;
      expect_eigenvector(a, v, ref.eigenvalues()[0], 1e-4f);
    }
  }
}

TEST(SymmetricEigen3, DegenerateAndNonFiniteShapes) {
  const V3 n = V3(1, 2, -2).normalized(), e1 = n.unitOrthogonal(), e2 = n.cross(e1);
  std::vector<V3> planar;
  for (int k = 0; k < 12; ++k) planar.push_back(std::cos(0.5f * k) * e1 + std::sin(0.5f * k) * 0.7f * e2);
  const M3 plane = moments(planar);
  // values; smallest eigenvector across `across` or along `along` (zero: not checked)
  const std::tuple<const char*, M3, V3, V3, V3> cases[] = {
      {"plane", plane, Eigen::SelfAdjointEigenSolver<M3>(plane).eigenvalues(), V3::Zero(), n},
      {"line", moments({2.f * e1, -3.f * e1}), V3(0, 0, 13), e1, V3::Zero()},
      {"isotropic", 2.5f * M3::Identity(), V3::Constant(2.5f), V3::Zero(), V3::UnitX()},
      {"zero", M3::Zero(), V3::Zero(), V3::Zero(), V3::UnitX()},
      {"repeated smallest", V3(1, 3, 1).asDiagonal(), V3(1, 1, 3), V3::UnitY(), V3::Zero()},
      {"repeated largest", V3(4, 1, 4).asDiagonal(), V3(1, 4, 4), V3::Zero(), V3::UnitY()},
  };
  for (const auto& [name, a, values, across, along] : cases) {
    SCOPED_TRACE(name);
    const auto got = symmetric_eigen3(a);
    EXPECT_LT((got.values - values).norm(), 1e-5f * std::max(1.f, values.norm())) << got.values;
    for (const V3& v : {got.smallest, smallest_eigenvector(a)}) {
      expect_eigenvector(a, v, values[0], 1e-5f);
      if (!across.isZero()) EXPECT_NEAR(v.dot(across), 0.f, 1e-5f);
    }
    if (!along.isZero()) EXPECT_NEAR(std::abs(got.smallest.dot(along)), 1.f, 1e-5f);
  }
  for (float x : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    M3 a = M3::Identity();
    a(1, 2) = a(2, 1) = x;
    const auto got = symmetric_eigen3(a);
    EXPECT_FALSE(got.values.allFinite());
    EXPECT_TRUE(got.smallest.allFinite());
  }
}

TEST(LargestShareExceeds, AgreesWithTheEigenvalueRatio) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-1.f, 1.f), squash(0.f, 1.f);
  int above = 0, below = 0;
  for (int trial = 0; trial < 4000; ++trial) {
    // Directions squashed towards x by a random factor spread the ratio over
    // the whole range.
    const float f = squash(rng);
    std::vector<V3> vs;
    for (int k = 0; k < 6; ++k) vs.emplace_back(1.f, f * u(rng), f * f * u(rng));
    const M3 a = moments(vs);
    const V3 l = Eigen::SelfAdjointEigenSolver<M3>(a).eigenvalues();
    for (float share : {0.9f, 0.992f}) {
      const float q = l[2] / l.sum();
      if (std::abs(q - share) < 1e-5f) continue;  // rounding decides
      EXPECT_EQ(largest_share_exceeds(a, share), q > share) << "q " << q << " share " << share;
      (q > share ? above : below)++;
    }
  }
  EXPECT_GT(above, 500);
  EXPECT_GT(below, 500);
  EXPECT_TRUE(largest_share_exceeds(moments({V3(1, 2, 3)}), 0.992f));
  EXPECT_FALSE(largest_share_exceeds(M3::Identity(), 0.9f));
}

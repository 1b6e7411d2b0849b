#pragma once
// Closed-form eigen decomposition of a symmetric 3 x 3 matrix: the three
// eigenvalues and the unit eigenvector of the smallest one, without the
// iterations of a general solver (a per-cell normal estimate calls this
// thousands of times per laser frame).
//
// Eigenvalues come from the trigonometric solution of the characteristic
// cubic of the scaled, trace-free matrix; the eigenvector is the longest
// cross product of two rows of (A - lambda_min I), which is well conditioned
// whenever lambda_min is a simple eigenvalue. For a double smallest
// eigenvalue any unit vector orthogonal to the remaining row is returned,
// for a multiple of the identity the x axis. A non-finite input gives
// non-finite eigenvalues.
#include <Eigen/Core>
#include <Eigen/Geometry>
#include <Eigen/LU>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace TavoAlgorithm {

template <typename Scalar>
struct SymmetricEigen3T {
  Eigen::Matrix<Scalar, 3, 1> values;    // ascending
  Eigen::Matrix<Scalar, 3, 1> smallest;  // unit eigenvector of values[0]
};
using SymmetricEigen3 = SymmetricEigen3T<float>;

// Float or double matrices; the work is done in double either way.

template <typename Scalar>
SymmetricEigen3T<Scalar> symmetric_eigen3(const Eigen::Matrix<Scalar, 3, 3>& a) {
  using Vector3 = Eigen::Matrix<Scalar, 3, 1>;
  SymmetricEigen3T<Scalar> r;
  r.smallest = Vector3::UnitX();
  // Scaling to unit magnitude keeps the cubic's coefficients clear of
  // overflow and underflow.
  if (!a.allFinite()) {
    r.values.setConstant(std::numeric_limits<Scalar>::quiet_NaN());
    return r;
  }
  // Double precision: near a double eigenvalue the arc cosine loses half the
  // digits, which float cannot spare.
  const Eigen::Matrix3d ad = a.template cast<double>();
  const double scale = ad.cwiseAbs().maxCoeff();
  if (scale == 0.0) {
    r.values.setZero();
    return r;
  }
  // Products instead of quotients: a dozen divisions would cost more than
  // the trigonometry.
  const Eigen::Matrix3d s = ad * (1.0 / scale);
  const double mean = s.trace() / 3.0;
  Eigen::Matrix3d b = s;
  b.diagonal().array() -= mean;
  const double p = std::sqrt(b.squaredNorm() / 6.0);
  if (!(p > 1e-12)) {
    r.values.setConstant(static_cast<Scalar>(mean * scale));
    return r;
  }
  const double half = std::clamp(b.determinant() / (2.0 * p * p * p), -1.0, 1.0);
  const double phi = std::acos(half) / 3.0;
  // cos(phi + 2 pi / 3) from cos(phi) and sin(phi), sin(phi) >= 0 here.
  const double cp = std::cos(phi);
  const double sp = std::sqrt(std::max(0.0, 1.0 - cp * cp));
  constexpr double kHalfSqrt3 = 0.8660254037844386;
  const double hi = mean + 2.0 * p * cp;
  const double lo = mean + 2.0 * p * (-0.5 * cp - kHalfSqrt3 * sp);
  r.values = (Eigen::Vector3d(lo, 3.0 * mean - hi - lo, hi) * scale).template cast<Scalar>();

  Eigen::Matrix3d m = s;
  m.diagonal().array() -= lo;
  const Eigen::Vector3d c[3] = {m.row(0).cross(m.row(1)), m.row(0).cross(m.row(2)), m.row(1).cross(m.row(2))};
  int best = 0;
  for (int k = 1; k < 3; ++k)
    if (c[k].squaredNorm() > c[best].squaredNorm()) best = k;
  // Rank one (double smallest eigenvalue): the cross products vanish next to
  // the rows themselves, and every vector orthogonal to the longest row is an
  // eigenvector.
  int row = 0;
  const double rowScale = m.rowwise().squaredNorm().maxCoeff(&row);
  if (c[best].squaredNorm() > 1e-18 * rowScale * rowScale) {
    r.smallest = c[best].normalized().template cast<Scalar>();
  } else if (rowScale > 0.0) {
    r.smallest = Eigen::Vector3d(m.row(row)).unitOrthogonal().template cast<Scalar>();
  }
  return r;
}

namespace detail {
// Adjugate of the symmetric s - mu I: (s - mu I)^-1 times its determinant,
// formed without division and well defined as mu reaches an eigenvalue.
inline Eigen::Matrix3d shifted_adjugate(const Eigen::Matrix3d& s, double mu) {
  const double a00 = s(0, 0) - mu, a11 = s(1, 1) - mu, a22 = s(2, 2) - mu;
  const double a01 = s(0, 1), a02 = s(0, 2), a12 = s(1, 2);
  Eigen::Matrix3d adj;
  adj(0, 0) = a11 * a22 - a12 * a12;
  adj(0, 1) = adj(1, 0) = a02 * a12 - a01 * a22;
  adj(0, 2) = adj(2, 0) = a01 * a12 - a02 * a11;
  adj(1, 1) = a00 * a22 - a02 * a02;
  adj(1, 2) = adj(2, 1) = a01 * a02 - a00 * a12;
  adj(2, 2) = a00 * a11 - a01 * a01;
  return adj;
}
}  // namespace detail

// Unit eigenvector of the smallest eigenvalue of a symmetric a, as
// symmetric_eigen3(a).smallest but without trigonometry. Left of its
// smallest root the characteristic cubic q(x) = det(s - x I) is positive,
// falling and convex, so Halley steps from a lower bound of that root (0 when
// the cubic's coefficients show a semi-definite matrix, Gershgorin's bound
// otherwise) climb to it, in two to five steps. The
// adjugate of s - x I is then (l2 - x)(l3 - x) v v^T: its largest column is
// the eigenvector. When that column fails the residual test, or the other
// two eigenvalues do not lie clearly above its own (a double smallest
// eigenvalue), the closed form decides.
//
// clear_smallest_eigenvector is that test alone: true, with v set, when the
// eigenvector passed it (then (l2 - l1)(l3 - l1) > 1e-8 scale^2, so the
// matrix is far from rank one), false where the closed form must decide.
namespace detail {
constexpr int kHalleyMaxSteps = 12;

// One matrix's Halley iteration toward the smallest root of
// q(x) = c0 - c1 x + c2 x^2 - x^3, the cubic of s = a / scale.
struct SmallestRoot {
  Eigen::Matrix3d s;
  double c0 = 0.0, c1 = 0.0, c2 = 0.0, x = 0.0;
  bool usable = false;  // a finite, nonzero matrix
};

inline SmallestRoot smallest_root_start(const Eigen::Matrix3d& a) {
  SmallestRoot r;
  const double scale = a.cwiseAbs().maxCoeff();
  if (!(scale > 0.0 && std::isfinite(scale))) return r;
  r.usable = true;
  r.s = a * (1.0 / scale);
  const Eigen::Matrix3d adj0 = shifted_adjugate(r.s, 0.0);
  r.c2 = r.s.trace(), r.c1 = adj0.trace(), r.c0 = r.s.row(0).dot(adj0.col(0));
  if (!(r.c0 >= 0.0 && r.c1 >= 0.0 && r.c2 >= 0.0)) {
    const Eigen::Vector3d offDiagonal = r.s.cwiseAbs().rowwise().sum() - r.s.diagonal().cwiseAbs();
    r.x = (r.s.diagonal() - offDiagonal).minCoeff();
  }
  return r;
}

// Halley steps converge cubically: after a step of 1e-6 the root is exact to
// rounding, and the residual test of smallest_root_accept catches the slow
// cases near a double root.
constexpr double kHalleyStepTolerance = 1e-6;

// The cubic's value and slope at x and the Halley step from there (a Newton
// step where Halley's denominator fails), for one matrix (T = double) or for
// the lanes of a vector of them.
template <typename T>
inline void halley_terms(const T& c0, const T& c1, const T& c2, const T& x, T& q, T& dq, T& dx) {
  q = c0 - x * (c1 - x * (c2 - x));
  dq = x * (2.0 * c2 - 3.0 * x) - c1;
  const T den = 2.0 * dq * dq - 2.0 * q * (c2 - 3.0 * x);
  const auto halley = den > 0.0;
  dx = (halley ? 2.0 * q * dq : q) / (halley ? den : dq);
}

// One Halley step: x moves only while the cubic is positive and falling
// there; true while another step is needed.
inline bool smallest_root_step(SmallestRoot& r) {
  double q, dq, dx;
  halley_terms(r.c0, r.c1, r.c2, r.x, q, dq, dx);
  const bool moves = q > 0.0 && dq < 0.0;
  r.x = moves ? r.x - dx : r.x;
  return moves && std::abs(dx) > kHalleyStepTolerance;
}

// Acceptance: the squared residual of the eigenvector, and the least product
// of the other two eigenvalues' gaps to its own, of the scaled matrix.
constexpr double kMaxResidual2 = 1e-18;
constexpr double kMinGapProduct = 1e-8;

inline bool smallest_root_accept(const SmallestRoot& r, Eigen::Vector3d& v) {
  if (!r.usable) return false;
  const Eigen::Matrix3d adj = shifted_adjugate(r.s, r.x);
  int k = 0;
  const double largest = adj.diagonal().maxCoeff(&k);
  if (!(largest > 0.0)) return false;
  const Eigen::Vector3d u = adj.col(k) * (1.0 / std::sqrt(adj.col(k).squaredNorm()));
  // Accepted only as an eigenvector whose eigenvalue mu lies clearly
  // below the other two (their sum and product from the invariants).
  const Eigen::Vector3d su = r.s * u;
  const double mu = u.dot(su);
  const double rest = r.c2 - mu, gaps = r.c1 - 2.0 * mu * rest + mu * mu;  // (l2 - mu)(l3 - mu)
  if ((su - mu * u).squaredNorm() <= kMaxResidual2 && rest - 2.0 * mu > 0.0 && gaps > kMinGapProduct) {
    v = u;
    return true;
  }
  return false;
}
}  // namespace detail

inline bool clear_smallest_eigenvector(const Eigen::Matrix3d& a, Eigen::Vector3d& v) {
  detail::SmallestRoot r = detail::smallest_root_start(a);
  if (!r.usable) return false;
  for (int step = 0; step < detail::kHalleyMaxSteps; ++step)
    if (!detail::smallest_root_step(r)) break;
  return detail::smallest_root_accept(r, v);
}

namespace detail {
#if defined(__GNUC__)
// Two matrices at once in the two lanes of a vector register: the same
// operations, in the same order as Eigen evaluates them above (sums of three
// terms as Eigen associates them), so each lane rounds exactly as the
// one-matrix solve does.
typedef double Lanes2 __attribute__((vector_size(16)));
typedef long long Mask2 __attribute__((vector_size(16)));

inline Lanes2 lanes_abs(Lanes2 x) {
  return reinterpret_cast<Lanes2>(reinterpret_cast<Mask2>(x) & Mask2{0x7fffffffffffffffLL, 0x7fffffffffffffffLL});
}

// Two matrices' iteration, one per lane. Lanes whose matrix is finite,
// nonzero and shows itself semi-definite by its cubic's coefficients are
// solved this way (`solved`); the caller solves the others one at a time.
struct PairRoot {
  Lanes2 s[9];  // column-major: s[3 j + i] is entry (i, j)
  Lanes2 c0, c1, c2, x;
  Mask2 solved, active;
};

inline void pair_start(const Eigen::Matrix3d& a0, const Eigen::Matrix3d& a1, PairRoot& r) {
  Lanes2 m[9];
  for (int k = 0; k < 9; ++k) m[k] = Lanes2{a0.data()[k], a1.data()[k]};
  Lanes2 scale = lanes_abs(m[0]);
  Mask2 finite = scale <= std::numeric_limits<double>::max();
  for (int k = 1; k < 9; ++k) {
    const Lanes2 e = lanes_abs(m[k]);
    scale = e > scale ? e : scale;
    finite &= e <= std::numeric_limits<double>::max();
  }
  const Lanes2 inv = 1.0 / scale;
  for (int k = 0; k < 9; ++k) r.s[k] = m[k] * inv;
  const Lanes2 s00 = r.s[0], s11 = r.s[4], s22 = r.s[8], s01 = r.s[3], s02 = r.s[6], s12 = r.s[7];
  const Lanes2 d00 = s11 * s22 - s12 * s12, d01 = s02 * s12 - s01 * s22, d02 = s01 * s12 - s02 * s11;
  const Lanes2 d11 = s00 * s22 - s02 * s02, d22 = s00 * s11 - s01 * s01;
  r.c2 = s00 + (s11 + s22), r.c1 = d00 + (d11 + d22), r.c0 = s00 * d00 + (s01 * d01 + s02 * d02);
  r.solved = finite & (scale > 0.0) & (r.c0 >= 0.0) & (r.c1 >= 0.0) & (r.c2 >= 0.0);
  r.active = r.solved;
  r.x = Lanes2{0.0, 0.0};
}

// One Halley step of both lanes; true while one of them needs another.
inline bool pair_step(PairRoot& r) {
  Lanes2 q, dq, dx;
  halley_terms(r.c0, r.c1, r.c2, r.x, q, dq, dx);
  const Mask2 moves = r.active & (q > 0.0) & (dq < 0.0);
  r.x = moves ? r.x - dx : r.x;
  r.active = moves & (lanes_abs(dx) > kHalleyStepTolerance);
  return (r.active[0] | r.active[1]) != 0;
}

inline void pair_accept(const PairRoot& r, Eigen::Vector3d& v0, Eigen::Vector3d& v1, char* accepted,
                        bool handled[2]) {
  const Lanes2* s = r.s;
  const Lanes2 x = r.x, s01 = s[3], s02 = s[6], s12 = s[7];
  const Lanes2 e00 = s[0] - x, e11 = s[4] - x, e22 = s[8] - x;
  const Lanes2 adj00 = e11 * e22 - s12 * s12, adj01 = s02 * s12 - s01 * e22, adj02 = s01 * s12 - s02 * e11;
  const Lanes2 adj11 = e00 * e22 - s02 * s02, adj12 = s01 * s02 - e00 * s12, adj22 = e00 * e11 - s01 * s01;
  // The column of the first largest diagonal entry.
  const Mask2 take1 = adj11 > adj00;
  Lanes2 largest = take1 ? adj11 : adj00;
  Lanes2 col0 = take1 ? adj01 : adj00, col1 = take1 ? adj11 : adj01, col2 = take1 ? adj12 : adj02;
  const Mask2 take2 = adj22 > largest;
  largest = take2 ? adj22 : largest;
  col0 = take2 ? adj02 : col0, col1 = take2 ? adj12 : col1, col2 = take2 ? adj22 : col2;
  const Lanes2 norm2 = col0 * col0 + col1 * col1 + col2 * col2;
  const Lanes2 unit = 1.0 / Lanes2{std::sqrt(norm2[0]), std::sqrt(norm2[1])};
  const Lanes2 u0 = col0 * unit, u1 = col1 * unit, u2 = col2 * unit;
  const Lanes2 su0 = s[0] * u0 + s[3] * u1 + s[6] * u2;
  const Lanes2 su1 = s[1] * u0 + s[4] * u1 + s[7] * u2;
  const Lanes2 su2 = s[2] * u0 + (s[5] * u1 + s[8] * u2);
  const Lanes2 mu = u0 * su0 + u1 * su1 + u2 * su2;
  const Lanes2 rest = r.c2 - mu, gaps = r.c1 - 2.0 * mu * rest + mu * mu;
  const Lanes2 r0 = su0 - mu * u0, r1 = su1 - mu * u1, r2 = su2 - mu * u2;
  const Lanes2 residual = r0 * r0 + r1 * r1 + r2 * r2;
  const Mask2 ok = r.solved & (largest > 0.0) & (residual <= kMaxResidual2) & (rest - 2.0 * mu > 0.0) &
                   (gaps > kMinGapProduct);
  Eigen::Vector3d* out[2] = {&v0, &v1};
  for (int l = 0; l < 2; ++l) {
    handled[l] = r.solved[l] != 0;
    accepted[l] = ok[l] != 0 ? 1 : 0;
    if (ok[l]) *out[l] = Eigen::Vector3d(u0[l], u1[l], u2[l]);
  }
}
#endif
}  // namespace detail

// clear_smallest_eigenvector of a[0], ..., a[n - 1], bit for bit: accepted[i]
// and, where it is 1, v[i]. Two matrices share each vector operation where
// the compiler allows it; one matrix at a time is bound by its chain of
// dependent divisions.
inline void clear_smallest_eigenvectors(const Eigen::Matrix3d* a, std::size_t n, Eigen::Vector3d* v,
                                        char* accepted) {
  std::size_t i = 0;
#if defined(__GNUC__)
  // Pairs of lanes, many pairs per step, so that both the lanes and the
  // pairs' dependent divisions overlap.
  constexpr std::size_t kPairs = 16;
  detail::PairRoot r[kPairs];
  while (i + 1 < n) {
    const std::size_t pairs = std::min(kPairs, (n - i) / 2);
    for (std::size_t p = 0; p < pairs; ++p) detail::pair_start(a[i + 2 * p], a[i + 2 * p + 1], r[p]);
    for (int step = 0; step < detail::kHalleyMaxSteps; ++step) {
      bool again = false;
      for (std::size_t p = 0; p < pairs; ++p) again = detail::pair_step(r[p]) || again;
      if (!again) break;
    }
    for (std::size_t p = 0; p < pairs; ++p, i += 2) {
      bool handled[2];
      detail::pair_accept(r[p], v[i], v[i + 1], accepted + i, handled);
      for (std::size_t l = 0; l < 2; ++l)
        if (!handled[l]) accepted[i + l] = clear_smallest_eigenvector(a[i + l], v[i + l]) ? 1 : 0;
    }
  }
#endif
  for (; i < n; ++i) accepted[i] = clear_smallest_eigenvector(a[i], v[i]) ? 1 : 0;
}

inline Eigen::Vector3d smallest_eigenvector(const Eigen::Matrix3d& a) {
  Eigen::Vector3d v;
  return clear_smallest_eigenvector(a, v) ? v : symmetric_eigen3(a).smallest;
}

inline Eigen::Vector3f smallest_eigenvector(const Eigen::Matrix3f& a) {
  return smallest_eigenvector(Eigen::Matrix3d(a.cast<double>())).cast<float>();
}

// For a symmetric positive semi-definite a: whether its largest eigenvalue
// exceeds `share` (in (0.5, 1)) of the trace, i.e. of the eigenvalue sum,
// without solving for the eigenvalues. The characteristic polynomial
// det(x I - a) is negative exactly between the two upper eigenvalues and
// positive above the largest; with x = share * trace, x lies between them
// when the largest exceeds x (the other two add up to less than 1 - share of
// the trace, so both stay below x) and above all three otherwise.
inline bool largest_share_exceeds(const Eigen::Matrix3d& a, double share) {
  Eigen::Matrix3d m = -a;
  m.diagonal().array() += share * a.trace();
  return m.determinant() < 0.0;
}
inline bool largest_share_exceeds(const Eigen::Matrix3f& a, float share) {
  return largest_share_exceeds(Eigen::Matrix3d(a.cast<double>()), static_cast<double>(share));
}

}  // namespace TavoAlgorithm

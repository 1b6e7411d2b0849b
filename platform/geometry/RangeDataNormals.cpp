// Per-point normals of a range frame, fitted to the points of a grid window.
//
// The window moments (count, sums of coordinates and of their products) are
// box sums over the grid, formed once per cell along the contiguous axis of
// the index map and then across the neighbouring lines, so a point costs a
// fixed number of additions whatever the window size; fitting each window
// from its points was most of the time spent preparing a frame.
#include <Eigen/Geometry>
#include <algorithm>
#include <array>
#include <cmath>

#include "geometry/SymmetricEigen3.h"
#include "geometry/RangeDataHelpers.h"

namespace TavoAlgorithm {
namespace {

// count, x, y, z, xx, xy, xz, yy, yz, zz
constexpr int kMoments = 10;

// Covariance of a window's moments; false for fewer than 3 points or a zero
// or non-finite spread (no normal).
bool covariance_of_moments(const double* m, Eigen::Matrix3d& cov) {
  const double count = m[0];
  if (count < 3.0) return false;
  const Eigen::Vector3d mean = Eigen::Vector3d(m[1], m[2], m[3]) / count;
  Eigen::Matrix3d sq;
  sq << m[4], m[5], m[6], m[5], m[7], m[8], m[6], m[8], m[9];
  cov = sq / count - mean * mean.transpose();
  const double scale = cov.cwiseAbs().maxCoeff();
  return scale > 0.0 && std::isfinite(scale);
}

// Smallest principal axis oriented toward the sensor, from the
// trigonometry-free axis where it was clear (which also shows the window far
// from collinear) and from the closed form elsewhere; zero for a collinear
// window.
Eigen::Vector3f oriented_axis(const Eigen::Matrix3d& cov, bool clear, const Eigen::Vector3d& clearAxis,
                              const Eigen::Vector3f& sensorDir) {
  Eigen::Vector3d axis = clearAxis;
  if (!clear) {
    const SymmetricEigen3T<double> eig = symmetric_eigen3(cov);
    const Eigen::Vector3d& ev = eig.values;
    if (ev(1) <= 1e-12 * std::max(ev(2), 1e-300)) return Eigen::Vector3f::Zero();
    axis = eig.smallest;
  }
  Eigen::Vector3f n = axis.cast<float>().normalized();
  if (n.dot(sensorDir) < 0.f) n = -n;
  return n;
}

// Point index of a map cell, or -1 for an empty cell or an index past the frame's points.
int point_on_map(const Eigen::MatrixXi& map, int vn, int r, int c) {
  const int v = map(r, c);
  return v >= 0 && v < vn ? v : -1;
}

// Rows r0..r1 and columns c0..c1 of the cells whose points `keep` accepts;
// r1 < 0 when there is none.
struct GridBox {
  int r0, r1, c0, c1;
};

template <class Keep>
GridBox box_of_points(const Eigen::MatrixXi& map, int vn, Keep keep) {
  GridBox b{static_cast<int>(map.rows()), -1, static_cast<int>(map.cols()), -1};
  for (int c = 0; c < map.cols(); ++c)
    for (int r = 0; r < map.rows(); ++r) {
      const int v = point_on_map(map, vn, r, c);
      if (v < 0 || !keep(v)) continue;
      b.r0 = std::min(b.r0, r), b.r1 = std::max(b.r1, r), b.c0 = std::min(b.c0, c), b.c1 = std::max(b.c1, c);
    }
  return b;
}

// Fitted normal of every point on the map (zero where the fit fails).
void fit_window_normals(const RangeData& rge, const Eigen::MatrixXi& map, int radius,
                        std::vector<Eigen::Vector3f>& fitted) {
  const int vn = rge.get_vn();
  auto point_at = [&](int r, int c) { return point_on_map(map, vn, r, c); };
  // Outside the box of the filled cells every sum is zero.
  const GridBox box = box_of_points(map, vn, [](int) { return true; });
  const int r0 = box.r0, r1 = box.r1, c0 = box.c0, c1 = box.c1;
  if (r1 < 0) return;
  const int height = r1 - r0 + 1;
  const int span = 2 * radius + 1;
  // Moments of one map column, padded by `radius` empty cells at both ends.
  std::vector<double> cells(static_cast<std::size_t>(height + 2 * radius) * kMoments);
  // Ring of the column sums of the last `span` map columns.
  std::vector<double> ring(static_cast<std::size_t>(span) * height * kMoments);
  auto column_sums = [&](int c) { return ring.data() + static_cast<std::size_t>(c % span) * height * kMoments; };
  int lo = r0, hi = r0 - 1;  // rows of the cells the last column filled
  auto sum_column = [&](int c) {
    // Only what the last column wrote is cleared, and only the rows within
    // the radius of the filled ones are summed: the other sums are zero.
    std::fill(cells.data() + static_cast<std::size_t>(lo - r0 + radius) * kMoments,
              cells.data() + static_cast<std::size_t>(hi - r0 + radius + 1) * kMoments, 0.0);
    lo = r1 + 1, hi = r1;
    for (int r = r0; r <= r1; ++r) {
      const int v = point_at(r, c);
      if (v < 0) continue;
      lo = std::min(lo, r), hi = r;
      const Eigen::Vector3d p = rge.get_vCoord(v).cast<double>();
      double* m = cells.data() + static_cast<std::size_t>(r - r0 + radius) * kMoments;
      m[0] = 1.0;
      m[1] = p.x(), m[2] = p.y(), m[3] = p.z();
      m[4] = p.x() * p.x(), m[5] = p.x() * p.y(), m[6] = p.x() * p.z();
      m[7] = p.y() * p.y(), m[8] = p.y() * p.z(), m[9] = p.z() * p.z();
    }
    double* out = column_sums(c);
    const int from = std::max(lo - radius, r0) - r0, to = std::min(hi + radius, r1) - r0 + 1;
    std::fill(out, out + static_cast<std::size_t>(from) * kMoments, 0.0);
    for (int r = from; r < to; ++r) {
      double* o = out + static_cast<std::size_t>(r) * kMoments;
      const double* in = cells.data() + static_cast<std::size_t>(r) * kMoments;
      for (int k = 0; k < kMoments; ++k) o[k] = in[k];
      for (int d = 1; d < span; ++d)
        for (int k = 0; k < kMoments; ++k) o[k] += in[d * kMoments + k];
    }
    std::fill(out + static_cast<std::size_t>(std::max(to, from)) * kMoments,
              out + static_cast<std::size_t>(height) * kMoments, 0.0);
  };
  // One map column's windows are solved together: their eigen-axis
  // iterations overlap.
  std::vector<Eigen::Matrix3d> covs(static_cast<std::size_t>(height));
  std::vector<Eigen::Vector3d> axes(static_cast<std::size_t>(height));
  std::vector<char> clear(static_cast<std::size_t>(height));
  std::vector<int> owners(static_cast<std::size_t>(height));
  int summed = c0 - 1;  // last map column whose sums are in the ring
  for (int c = c0; c <= c1; ++c) {
    const int first = std::max(c - radius, c0), last = std::min(c + radius, c1);
    while (summed < last) sum_column(++summed);
    std::size_t windows = 0;
    for (int r = r0; r <= r1; ++r) {
      const int v = point_at(r, c);
      if (v < 0) continue;
      std::array<double, kMoments> m{};
      const std::size_t at = static_cast<std::size_t>(r - r0) * kMoments;
      for (int j = first; j <= last; ++j) {
        const double* s = column_sums(j) + at;
        for (int k = 0; k < kMoments; ++k) m[k] += s[k];
      }
      if (!covariance_of_moments(m.data(), covs[windows])) continue;
      owners[windows++] = v;
    }
    clear_smallest_eigenvectors(covs.data(), windows, axes.data(), clear.data());
    for (std::size_t w = 0; w < windows; ++w)
      fitted[static_cast<std::size_t>(owners[w])] = oriented_axis(covs[w], clear[w] != 0, axes[w], rge.get_sensorDir());
  }
}

// Each boundary point takes the direction of the sum of the fitted normals of
// the interior points in its window, summed window row by window row. The
// interior normals are laid out as a zero-padded grid, so four boundary points
// of consecutive rows are summed side by side without tests: each lane adds
// the same terms in the same order as alone, plus zeros, which change nothing
// (the sums start at +0 and so never hold -0). One point alone was bound by
// its chain of dependent adds.
void smooth_boundary_normals(const Eigen::MatrixXi& map, const std::vector<char>& isBoundary, int radius,
                             std::vector<Eigen::Vector3f>& normals) {
  constexpr int kLanes = 4;
  const int vn = static_cast<int>(normals.size());
  const int rows = static_cast<int>(map.rows());
  const int cols = static_cast<int>(map.cols());
  auto point_at = [&](int r, int c) { return point_on_map(map, vn, r, c); };
  const GridBox box = box_of_points(map, vn, [&](int v) { return isBoundary[static_cast<std::size_t>(v)] != 0; });
  const int r0 = box.r0, r1 = box.r1, c0 = box.c0, c1 = box.c1;
  if (r1 < 0) return;
  // Interior normals of the boundary points' box grown by the radius (and by
  // the lanes below), column by column; zero elsewhere.
  const int top = r0 - radius, left = c0 - radius;
  const int height = r1 - r0 + 1 + 2 * radius + kLanes, width = c1 - c0 + 1 + 2 * radius;
  std::vector<float> grid(static_cast<std::size_t>(height) * width * 3, 0.f);
  auto at = [&](int r, int c) { return (static_cast<std::size_t>(c - left) * height + (r - top)) * 3; };
  for (int c = std::max(left, 0); c < std::min(left + width, cols); ++c)
    for (int r = std::max(top, 0); r < std::min(top + height, rows); ++r) {
      const int u = point_at(r, c);
      if (u < 0 || isBoundary[static_cast<std::size_t>(u)]) continue;
      const Eigen::Vector3f& n = normals[static_cast<std::size_t>(u)];
      std::copy(n.data(), n.data() + 3, grid.data() + at(r, c));
    }
  for (int c = c0; c <= c1; ++c)
    for (int r = r0; r <= r1; ++r) {
      const int v = point_at(r, c);
      if (v < 0 || !isBoundary[static_cast<std::size_t>(v)]) continue;
      float acc[kLanes * 3] = {};
      for (int rr = r - radius; rr <= r + radius; ++rr)
        for (int cc = c - radius; cc <= c + radius; ++cc) {
          const float* g = grid.data() + at(rr, cc);
          for (int k = 0; k < kLanes * 3; ++k) acc[k] += g[k];
        }
      for (int j = 0; j < kLanes && r + j <= r1; ++j) {
        const int w = point_at(r + j, c);
        if (w < 0 || !isBoundary[static_cast<std::size_t>(w)]) continue;
        const Eigen::Vector3f sum(acc[3 * j], acc[3 * j + 1], acc[3 * j + 2]);
        if (sum.squaredNorm() > 0.f) normals[static_cast<std::size_t>(w)] = sum.normalized();
      }
      r += kLanes - 1;
    }
}

}  // namespace

void RangeData_get_smooth_bd_point_normal(const RangeData& rge, const Eigen::MatrixXi& indexMap,
                                          const std::vector<char>& isBoundary, int fitRadius,
                                          int smoothRadius, std::vector<Eigen::Vector3f>& normals) {
  normals.clear();
  const int vn = rge.get_vn();
  if (static_cast<int>(isBoundary.size()) != vn || indexMap.rows() != rge.get_rows() ||
      indexMap.cols() != rge.get_cols())
    return;
  normals.assign(static_cast<std::size_t>(vn), Eigen::Vector3f::Zero());
  fit_window_normals(rge, indexMap, std::max(fitRadius, 1), normals);
  smooth_boundary_normals(indexMap, isBoundary, std::max(smoothRadius, 0), normals);
  for (auto& n : normals)
    if (n.squaredNorm() == 0.f) n = rge.get_sensorDir();
}

}  // namespace TavoAlgorithm

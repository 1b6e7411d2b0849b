#include "meshproc/RangeProcess.h"

#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>

#include "geometry/RangeDataHelpers.h"

namespace TavoAlgorithm {

namespace {

constexpr int kMinPlanePoints = 3;
constexpr double kDegToRad = M_PI / 180.0;

bool frame_usable(const RangeData& rge) {
  return rge.get_vn() > 0 && rge.get_rows() > 0 && rge.get_cols() > 0;
}

bool param_valid(const RangeProcessParam& p) {
  const float f[] = {p.maxViewAngleDeg, p.longEdgeFactor, p.spikeFactor};
  for (float x : f)
    if (!std::isfinite(x) || x < 0.f) return false;
  return p.windowRadius >= 0 && p.windowRadius <= kMaxRangeWindowRadius && p.minNeighbours >= 0 &&
         p.minComponentSize >= 0 && p.iterations >= 0 && p.boundaryBand >= 0;
}

struct Plane {
  Eigen::Vector3d centre;
  Eigen::Vector3d normal;
};

// Least-squares plane through the points; false when they are too few or
// collinear.
bool fit_plane(const std::vector<Eigen::Vector3d>& pts, Plane& plane) {
  if (static_cast<int>(pts.size()) < kMinPlanePoints) return false;
  Eigen::Vector3d mean = Eigen::Vector3d::Zero();
  for (const auto& p : pts) mean += p;
  mean /= static_cast<double>(pts.size());
  Eigen::Matrix3d cov = Eigen::Matrix3d::Zero();
  for (const auto& p : pts) cov += (p - mean) * (p - mean).transpose();
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eig(cov);
  if (eig.info() != Eigen::Success || !(eig.eigenvalues()(1) > 0.0)) return false;
  plane.centre = mean;
  plane.normal = eig.eigenvectors().col(0);
  return true;
}

class FrameCleaner {
 public:
  FrameCleaner(RangeData& rge, const RangeProcessParam& p, float spacing)
      : m_rge(rge), m_p(p), m_link(p.longEdgeFactor * spacing), m_spacing(spacing) {}

  // One pass; returns the number of points it marked.
  int pass() {
    create_vertices_index_map(m_rge, m_map);
    m_rows = static_cast<int>(m_map.rows());
    m_cols = static_cast<int>(m_map.cols());
    std::vector<char> reject(static_cast<std::size_t>(m_rge.get_vn()), 0);
    for (int r = 0; r < m_rows; ++r)
      for (int c = 0; c < m_cols; ++c) {
        const int v = m_map(r, c);
        if (v >= 0 && reject_by_window(r, c, v)) reject[v] = 1;
      }
    if (m_p.minComponentSize > 1) mark_small_components(reject);
    int marked = 0;
    for (int v = 0; v < m_rge.get_vn(); ++v)
      if (reject[v]) {
        m_rge.set_vDeleted(v, true);
        ++marked;
      }
    return marked;
  }

 private:
  bool linked(int v, int w, int cells) const {
    if (!(m_link > 0.f)) return true;
    return (m_rge.get_vCoord(v) - m_rge.get_vCoord(w)).norm() <= m_link * static_cast<float>(cells);
  }

  bool reject_by_window(int r, int c, int v) {
    const int rad = m_p.windowRadius;
    int neighbours = 0;
    bool adjacentLink = false, anyAdjacent = false;
    m_pts.clear();
    for (int rr = std::max(r - rad, 0); rr <= std::min(r + rad, m_rows - 1); ++rr)
      for (int cc = std::max(c - rad, 0); cc <= std::min(c + rad, m_cols - 1); ++cc) {
        const int w = m_map(rr, cc);
        if (w < 0 || w == v) continue;
        const int cells = std::max(std::abs(rr - r), std::abs(cc - c));
        const bool link = linked(v, w, cells);
        if (cells == 1) {
          anyAdjacent = true;
          adjacentLink = adjacentLink || link;
        }
        if (!link) continue;
        ++neighbours;
        m_pts.push_back(m_rge.get_vCoord(w).cast<double>());
      }
    if (neighbours < m_p.minNeighbours) return true;
    if (m_link > 0.f && anyAdjacent && !adjacentLink) return true;
    if (m_link > 0.f && !anyAdjacent && rad >= 1) return true;  // no adjacent point at all
    if (!(m_p.spikeFactor > 0.f) && !(m_p.maxViewAngleDeg > 0.f)) return false;
    Plane plane;
    if (!fit_plane(m_pts, plane)) return false;
    const Eigen::Vector3d p = m_rge.get_vCoord(v).cast<double>();
    if (m_p.spikeFactor > 0.f &&
        std::abs((p - plane.centre).dot(plane.normal)) > m_p.spikeFactor * m_spacing)
      return true;
    if (m_p.maxViewAngleDeg > 0.f) {
      const double cosine = std::abs(plane.normal.dot(m_rge.get_sensorDir().cast<double>()));
      if (cosine < std::cos(m_p.maxViewAngleDeg * kDegToRad)) return true;
    }
    return false;
  }

  void mark_small_components(std::vector<char>& reject) const {
    std::vector<int> label(static_cast<std::size_t>(m_rows) * m_cols, -1);
    std::vector<int> queue;
    for (int start = 0; start < m_rows * m_cols; ++start) {
      if (label[start] >= 0 || m_map(start / m_cols, start % m_cols) < 0) continue;
      queue.assign(1, start);
      label[start] = start;
      for (std::size_t head = 0; head < queue.size(); ++head) {
        const int r = queue[head] / m_cols, c = queue[head] % m_cols;
        const int v = m_map(r, c);
        for (int dr = -1; dr <= 1; ++dr)
          for (int dc = -1; dc <= 1; ++dc) {
            const int rr = r + dr, cc = c + dc;
            if (rr < 0 || cc < 0 || rr >= m_rows || cc >= m_cols) continue;
            const int id = rr * m_cols + cc;
            const int w = m_map(rr, cc);
            if (w < 0 || label[id] >= 0 || !linked(v, w, 1)) continue;
            label[id] = start;
            queue.push_back(id);
          }
      }
      if (static_cast<int>(queue.size()) >= m_p.minComponentSize) continue;
      for (int id : queue) reject[m_map(id / m_cols, id % m_cols)] = 1;
    }
  }

  RangeData& m_rge;
  const RangeProcessParam& m_p;
  const float m_link;
  const float m_spacing;
  Eigen::MatrixXi m_map;
  int m_rows = 0;
  int m_cols = 0;
  std::vector<Eigen::Vector3d> m_pts;
};

void mark_non_finite(RangeData& rge) {
  for (int v = 0; v < rge.get_vn(); ++v)
    if (!rge.get_vCoord(v).allFinite()) rge.set_vDeleted(v, true);
}

void mark_border_band(RangeData& rge, int band) {
  if (band <= 0) return;
  Eigen::MatrixXi map;
  create_vertices_index_map(rge, map);
  std::vector<char> border;
  RangeData_get_point_bd(rge, map, band, border);
  for (int v = 0; v < rge.get_vn(); ++v)
    if (border[v]) rge.set_vDeleted(v, true);
}

}  // namespace

float range_frame_spacing(const RangeData& rge) {
  Eigen::MatrixXi map;
  create_vertices_index_map(rge, map);
  std::vector<float> d;
  for (int r = 0; r < map.rows(); ++r)
    for (int c = 0; c < map.cols(); ++c) {
      const int v = map(r, c);
      if (v < 0 || !rge.get_vCoord(v).allFinite()) continue;
      const int right = c + 1 < map.cols() ? map(r, c + 1) : -1;
      const int down = r + 1 < map.rows() ? map(r + 1, c) : -1;
      for (int w : {right, down})
        if (w >= 0 && rge.get_vCoord(w).allFinite())
          d.push_back((rge.get_vCoord(v) - rge.get_vCoord(w)).norm());
    }
  if (d.empty()) return 0.f;
  auto mid = d.begin() + static_cast<std::ptrdiff_t>(d.size() / 2);
  std::nth_element(d.begin(), mid, d.end());
  return *mid;
}

RetVal process_model(RangeData& rge, const RangeProcessParam& param) {
  if (!frame_usable(rge) || !param_valid(param)) return RETVAL_FAILED;
  rge.enable_vFlag();
  mark_non_finite(rge);
  const float spacing = range_frame_spacing(rge);
  FrameCleaner cleaner(rge, param, spacing);
  for (int it = 0; it < param.iterations; ++it)
    if (cleaner.pass() == 0) break;
  mark_border_band(rge, param.boundaryBand);
  if (param.compact) rge.squeeze();
  return RETVAL_SUCCESS;
}

RetVal remove_boundary(RangeData& rge, int band) {
  if (!frame_usable(rge)) return RETVAL_FAILED;
  rge.enable_vFlag();
  mark_border_band(rge, band);
  rge.squeeze();
  return RETVAL_SUCCESS;
}

}  // namespace TavoAlgorithm

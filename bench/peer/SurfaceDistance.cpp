#include "SurfaceDistance.h"

#include "MeshDistance.h"

#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace TavoAlgorithm::bench {
namespace {

using V3 = Eigen::Vector3f;

class TriangleGrid {
 public:
  TriangleGrid(const TriangleSoup& s, const Eigen::AlignedBox3f& box) : m_soup(s) {
    const V3 size = box.sizes().cwiseMax(1e-6f);
    // About two triangles per occupied cell for a closed surface.
    const float cell = std::cbrt(size.prod() / std::max<std::size_t>(1, s.faces.size())) * 0.6f;
    m_lo = box.min();
    m_cell = std::max({cell, size.maxCoeff() / 1000.f, 1e-6f});
    for (int k = 0; k < 3; ++k) m_dims[k] = static_cast<int>(size[k] / m_cell) + 1;
    m_bins.resize(static_cast<std::size_t>(m_dims.prod()));
    for (int f = 0; f < static_cast<int>(s.faces.size()); ++f) {
      Eigen::AlignedBox3f fb;
      for (int v : s.faces[f]) fb.extend(s.points[v]);
      const Eigen::Vector3i a = cell_of(fb.min()), b = cell_of(fb.max());
      for (int z = a.z(); z <= b.z(); ++z)
        for (int y = a.y(); y <= b.y(); ++y)
          for (int x = a.x(); x <= b.x(); ++x) m_bins[index(x, y, z)].push_back(f);
    }
  }

  float distance(const V3& p) const {
    const Eigen::Vector3i c = cell_of(p);
    float best2 = std::numeric_limits<float>::infinity();
    const int maxRing = m_dims.maxCoeff();
    for (int r = 0; r <= maxRing; ++r) {
      for (int z = c.z() - r; z <= c.z() + r; ++z)
        for (int y = c.y() - r; y <= c.y() + r; ++y)
          for (int x = c.x() - r; x <= c.x() + r; ++x) {
            if (std::max({std::abs(x - c.x()), std::abs(y - c.y()), std::abs(z - c.z())}) != r) continue;
            if (x < 0 || y < 0 || z < 0 || x >= m_dims.x() || y >= m_dims.y() || z >= m_dims.z()) continue;
            for (int f : m_bins[index(x, y, z)]) {
              const auto& t = m_soup.faces[f];
              const V3 q = sim::closest_point_on_triangle(p, m_soup.points[t[0]], m_soup.points[t[1]], m_soup.points[t[2]]);
              best2 = std::min(best2, (q - p).squaredNorm());
            }
          }
      // Cells beyond ring r are at least r cells from p's cell; for a point
      // outside the grid this holds for its projection, which is closer.
      const float reach = m_cell * static_cast<float>(r);
      if (best2 <= reach * reach) break;
    }
    return std::sqrt(best2);
  }

 private:
  Eigen::Vector3i cell_of(const V3& p) const {
    Eigen::Vector3i c;
    for (int k = 0; k < 3; ++k)
      c[k] = std::clamp(static_cast<int>(std::floor((p[k] - m_lo[k]) / m_cell)), 0, m_dims[k] - 1);
    return c;
  }
  std::size_t index(int x, int y, int z) const {
    return (static_cast<std::size_t>(z) * m_dims.y() + y) * m_dims.x() + x;
  }

  const TriangleSoup& m_soup;
  V3 m_lo;
  float m_cell = 1.f;
  Eigen::Vector3i m_dims;
  std::vector<std::vector<int>> m_bins;
};

}  // namespace

std::vector<float> point_to_surface(const std::vector<Eigen::Vector3f>& queries, const TriangleSoup& surface) {
  std::vector<float> out(queries.size(), std::numeric_limits<float>::infinity());
  if (surface.faces.empty()) return out;
  Eigen::AlignedBox3f box;
  for (const auto& f : surface.faces)
    for (int v : f) box.extend(surface.points[v]);
  const TriangleGrid grid(surface, box);
  tbb::parallel_for(std::size_t{0}, queries.size(), [&](std::size_t i) { out[i] = grid.distance(queries[i]); });
  return out;
}

DistanceSummary summarize(std::vector<float> d, float tolerance) {
  DistanceSummary s;
  if (d.empty()) return s;
  double sum = 0.0;
  std::size_t within = 0;
  for (float v : d) {
    sum += v;
    within += v <= tolerance ? 1 : 0;
  }
  s.mean = sum / static_cast<double>(d.size());
  s.withinShare = static_cast<double>(within) / static_cast<double>(d.size());
  const std::size_t k = std::min(d.size() - 1, static_cast<std::size_t>(0.95 * static_cast<double>(d.size())));
  std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(k), d.end());
  s.p95 = d[k];
  return s;
}

}  // namespace TavoAlgorithm::bench

#include "MeshDistance.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

namespace TavoAlgorithm::sim {
namespace {

// Faces binned on a uniform grid; cells are sized from the mean face extent so
// that a query looks at a handful of faces whatever the mesh's scale.
class FaceGrid {
 public:
  explicit FaceGrid(const BaseTriMesh& mesh) : m_mesh(mesh) {
    Eigen::Vector3f lo = Eigen::Vector3f::Constant(std::numeric_limits<float>::max()), hi = -lo;
    double extentSum = 0;
    for (int f = 0; f < mesh.get_fn(); ++f) {
      if (!live_face(f)) continue;
      m_faces.push_back(f);
      const auto [a, b] = face_box(f);
      lo = lo.cwiseMin(a);
      hi = hi.cwiseMax(b);
      extentSum += (b - a).maxCoeff();
    }
    if (m_faces.empty()) return;
    const float span = std::max((hi - lo).maxCoeff(), std::numeric_limits<float>::min());
    const float meanExtent = static_cast<float>(extentSum / m_faces.size());
    // The second bound keeps the bin count near kBinsPerFace per face.
    const float perAxis = std::cbrt(kBinsPerFace * static_cast<float>(m_faces.size()));
    m_cell = std::max({2.f * meanExtent, span / perAxis, std::numeric_limits<float>::min()});
    m_lo = lo;
    m_dims = ((hi - lo) / m_cell).cast<int>().array() + 1;
    m_bins.resize(static_cast<std::size_t>(m_dims.x()) * m_dims.y() * m_dims.z());
    for (int f : m_faces) {
      const auto [a, b] = face_box(f);
      const Eigen::Vector3i ca = cell_of(a), cb = cell_of(b);
      for (int z = ca.z(); z <= cb.z(); ++z)
        for (int y = ca.y(); y <= cb.y(); ++y)
          for (int x = ca.x(); x <= cb.x(); ++x) m_bins[bin(x, y, z)].push_back(f);
    }
  }

  bool empty() const { return m_faces.empty(); }

  // Rings of cells around the query's (clamped) cell; every cell beyond ring r
  // is at least r cells away, which bounds the search.
  double nearest(const Eigen::Vector3f& p) const {
    const Eigen::Vector3i c = cell_of(p);
    const int maxRing = m_dims.maxCoeff();
    double best = std::numeric_limits<double>::max();
    for (int r = 0; r <= maxRing; ++r) {
      for (int z = c.z() - r; z <= c.z() + r; ++z)
        for (int y = c.y() - r; y <= c.y() + r; ++y)
          for (int x = c.x() - r; x <= c.x() + r; ++x) {
            const bool onRing = std::abs(x - c.x()) == r || std::abs(y - c.y()) == r || std::abs(z - c.z()) == r;
            if (!onRing || x < 0 || y < 0 || z < 0 || x >= m_dims.x() || y >= m_dims.y() || z >= m_dims.z())
              continue;
            for (int f : m_bins[bin(x, y, z)]) best = std::min(best, face_distance(p, f));
          }
      if (best <= static_cast<double>(r) * m_cell) break;
    }
    return best;
  }

 private:
  static constexpr float kBinsPerFace = 4.f;

  bool live_face(int f) const {
    if (m_mesh.get_fDeleted(f)) return false;
    const auto& t = m_mesh.get_face(f);
    for (int k = 0; k < 3; ++k) {
      if (t[k] < 0 || t[k] >= m_mesh.get_vn() || m_mesh.get_vDeleted(t[k])) return false;
      if (!m_mesh.get_vCoord(t[k]).allFinite()) return false;
    }
    return true;
  }
  std::pair<Eigen::Vector3f, Eigen::Vector3f> face_box(int f) const {
    const auto& t = m_mesh.get_face(f);
    const Eigen::Vector3f &a = m_mesh.get_vCoord(t[0]), &b = m_mesh.get_vCoord(t[1]), &c = m_mesh.get_vCoord(t[2]);
    return {a.cwiseMin(b).cwiseMin(c), a.cwiseMax(b).cwiseMax(c)};
  }
  Eigen::Vector3i cell_of(const Eigen::Vector3f& p) const {
    Eigen::Vector3i c;
    for (int k = 0; k < 3; ++k) {
      const float v = std::floor((p[k] - m_lo[k]) / m_cell);
      c[k] = v < 0.f ? 0 : v >= static_cast<float>(m_dims[k]) ? m_dims[k] - 1 : static_cast<int>(v);
    }
    return c;
  }
  std::size_t bin(int x, int y, int z) const {
    return (static_cast<std::size_t>(z) * m_dims.y() + y) * m_dims.x() + x;
  }
  double face_distance(const Eigen::Vector3f& p, int f) const {
    const auto& t = m_mesh.get_face(f);
    const Eigen::Vector3f q =
        closest_point_on_triangle(p, m_mesh.get_vCoord(t[0]), m_mesh.get_vCoord(t[1]), m_mesh.get_vCoord(t[2]));
    return (p - q).cast<double>().norm();
  }

  const BaseTriMesh& m_mesh;
  std::vector<int> m_faces;
  Eigen::Vector3f m_lo = Eigen::Vector3f::Zero();
  float m_cell = 1.f;
  Eigen::Vector3i m_dims = Eigen::Vector3i::Ones();
  std::vector<std::vector<int>> m_bins;
};

std::vector<Eigen::Vector3f> sample_vertices(const BaseTriMesh& m) {
  std::vector<char> used(static_cast<std::size_t>(m.get_vn()), 0);
  for (int f = 0; f < m.get_fn(); ++f) {
    if (m.get_fDeleted(f)) continue;
    const auto& t = m.get_face(f);
    bool ok = true;
    for (int k = 0; k < 3; ++k) ok = ok && t[k] >= 0 && t[k] < m.get_vn() && !m.get_vDeleted(t[k]);
    if (ok)
      for (int k = 0; k < 3; ++k) used[t[k]] = 1;
  }
  std::vector<Eigen::Vector3f> out;
  for (int v = 0; v < m.get_vn(); ++v)
    if (used[v]) out.push_back(m.get_vCoord(v));
  return out;
}

}  // namespace

Eigen::Vector3f closest_point_on_triangle(const Eigen::Vector3f& p, const Eigen::Vector3f& a,
                                          const Eigen::Vector3f& b, const Eigen::Vector3f& c) {
  // Ericson, Real-Time Collision Detection, 5.1.5.
  const Eigen::Vector3f ab = b - a, ac = c - a, ap = p - a;
  const float d1 = ab.dot(ap), d2 = ac.dot(ap);
  if (d1 <= 0 && d2 <= 0) return a;
  const Eigen::Vector3f bp = p - b;
  const float d3 = ab.dot(bp), d4 = ac.dot(bp);
  if (d3 >= 0 && d4 <= d3) return b;
  const float vc = d1 * d4 - d3 * d2;
  if (vc <= 0 && d1 >= 0 && d3 <= 0) return a + d1 / (d1 - d3) * ab;
  const Eigen::Vector3f cp = p - c;
  const float d5 = ab.dot(cp), d6 = ac.dot(cp);
  if (d6 >= 0 && d5 <= d6) return c;
  const float vb = d5 * d2 - d1 * d6;
  if (vb <= 0 && d2 >= 0 && d6 <= 0) return a + d2 / (d2 - d6) * ac;
  const float va = d3 * d6 - d5 * d4;
  if (va <= 0 && (d4 - d3) >= 0 && (d5 - d6) >= 0) return b + (d4 - d3) / ((d4 - d3) + (d5 - d6)) * (c - b);
  const float sum = va + vb + vc;
  if (!(sum > 0.f)) return a;  // collinear corners that slipped past the edge tests
  const float denom = 1.f / sum;
  return a + ab * (vb * denom) + ac * (vc * denom);
}

std::vector<double> points_to_surface_distances(const std::vector<Eigen::Vector3f>& points, const BaseTriMesh& to) {
  std::vector<double> d(points.size(), std::numeric_limits<double>::quiet_NaN());
  const FaceGrid grid(to);
  if (grid.empty()) return d;
  // The grid is only read; each point's search is independent.
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, points.size(), 256),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t i = r.begin(); i != r.end(); ++i)
                        if (points[i].allFinite()) d[i] = grid.nearest(points[i]);
                    });
  return d;
}

DistanceSummary points_to_surface_distance(const std::vector<Eigen::Vector3f>& points, const BaseTriMesh& to) {
  DistanceSummary s;
  std::vector<double> d = points_to_surface_distances(points, to);
  d.erase(std::remove_if(d.begin(), d.end(), [](double x) { return std::isnan(x); }), d.end());
  if (d.empty()) return s;
  // Summed in point order, so the mean does not depend on the threads.
  const double sum = std::accumulate(d.begin(), d.end(), 0.0);
  s.samples = static_cast<int>(d.size());
  s.mean = sum / d.size();
  s.max = *std::max_element(d.begin(), d.end());
  const std::size_t rank = static_cast<std::size_t>(std::ceil(0.95 * d.size())) - 1;
  std::nth_element(d.begin(), d.begin() + rank, d.end());
  s.p95 = d[rank];
  return s;
}

DistanceSummary vertex_to_surface_distance(const BaseTriMesh& from, const BaseTriMesh& to) {
  return points_to_surface_distance(sample_vertices(from), to);
}

MeshDistanceStats mesh_distance(const BaseTriMesh& from, const BaseTriMesh& to) {
  return {vertex_to_surface_distance(from, to), vertex_to_surface_distance(to, from)};
}

}  // namespace TavoAlgorithm::sim

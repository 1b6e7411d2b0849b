#include "MeshShape.h"

#include "MeshDistance.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <utility>

namespace TavoAlgorithm::sim {
namespace {
constexpr float kParallelEps = 1e-12f;
constexpr float kTrianglesPerBin = 4.f;

}  // namespace

MeshShape::MeshShape(const BaseTriMesh& mesh, int cellsPerAxis) : m_points(mesh.get_vCoords()) {
  for (int f = 0; f < mesh.get_fn(); ++f)
    if (!mesh.get_fDeleted(f)) m_faces.push_back(mesh.get_face(f));
  m_lo = Eigen::Vector3f::Constant(std::numeric_limits<float>::max());
  m_hi = -m_lo;
  for (const auto& f : m_faces)
    for (int k = 0; k < 3; ++k) {
      m_lo = m_lo.cwiseMin(m_points[f[k]]);
      m_hi = m_hi.cwiseMax(m_points[f[k]]);
    }
  if (m_faces.empty()) {
    m_lo = m_hi = Eigen::Vector3f::Zero();
  }
  const int n = cellsPerAxis > 0 ? cellsPerAxis
                                 : std::max(1, static_cast<int>(std::cbrt(m_faces.size() / kTrianglesPerBin)));
  m_dims = Eigen::Vector3i::Constant(n);
  const Eigen::Vector3f pad = Eigen::Vector3f::Constant(1e-4f * std::max(1.f, (m_hi - m_lo).maxCoeff()));
  m_lo -= pad;
  m_hi += pad;
  m_cell = (m_hi - m_lo).cwiseQuotient(m_dims.cast<float>());
  m_bins.resize(static_cast<std::size_t>(n) * n * n);
  for (int fi = 0; fi < static_cast<int>(m_faces.size()); ++fi) {
    const auto& f = m_faces[fi];
    Eigen::Vector3f lo = m_points[f[0]].cwiseMin(m_points[f[1]]).cwiseMin(m_points[f[2]]);
    Eigen::Vector3f hi = m_points[f[0]].cwiseMax(m_points[f[1]]).cwiseMax(m_points[f[2]]);
    const Eigen::Vector3i a = ((lo - m_lo).cwiseQuotient(m_cell)).cast<int>().cwiseMax(0).cwiseMin(n - 1);
    const Eigen::Vector3i b = ((hi - m_lo).cwiseQuotient(m_cell)).cast<int>().cwiseMax(0).cwiseMin(n - 1);
    for (int z = a.z(); z <= b.z(); ++z)
      for (int y = a.y(); y <= b.y(); ++y)
        for (int x = a.x(); x <= b.x(); ++x) m_bins[(static_cast<std::size_t>(z) * n + y) * n + x].push_back(fi);
  }
}

bool MeshShape::hit_face(int fi, const Eigen::Vector3f& o, const Eigen::Vector3f& d, float& t) const {
  // Moeller-Trumbore.
  const auto& f = m_faces[fi];
  const Eigen::Vector3f e1 = m_points[f[1]] - m_points[f[0]], e2 = m_points[f[2]] - m_points[f[0]];
  const Eigen::Vector3f pv = d.cross(e2);
  const float det = e1.dot(pv);
  if (std::abs(det) < kParallelEps) return false;
  const Eigen::Vector3f tv = o - m_points[f[0]];
  const float u = tv.dot(pv) / det;
  if (u < 0.f || u > 1.f) return false;
  const Eigen::Vector3f qv = tv.cross(e1);
  const float v = d.dot(qv) / det;
  if (v < 0.f || u + v > 1.f) return false;
  t = e2.dot(qv) / det;
  return t > 0.f;
}

bool MeshShape::intersect(const Eigen::Vector3f& o, const Eigen::Vector3f& d, float& tBest,
                          Eigen::Vector3f& normal) const {
  if (m_faces.empty()) return false;
  // Clip the ray to the grid box, then walk the cells (Amanatides-Woo).
  float t0 = 0.f, t1 = std::numeric_limits<float>::max();
  for (int k = 0; k < 3; ++k) {
    if (std::abs(d[k]) < kParallelEps) {
      if (o[k] < m_lo[k] || o[k] > m_hi[k]) return false;
      continue;
    }
    float a = (m_lo[k] - o[k]) / d[k], b = (m_hi[k] - o[k]) / d[k];
    if (a > b) std::swap(a, b);
    t0 = std::max(t0, a);
    t1 = std::min(t1, b);
  }
  if (t0 > t1) return false;
  const Eigen::Vector3f start = o + t0 * d;
  Eigen::Vector3i cell = ((start - m_lo).cwiseQuotient(m_cell)).cast<int>();
  cell = cell.cwiseMax(0).cwiseMin(m_dims - Eigen::Vector3i::Ones());
  Eigen::Vector3i step;
  Eigen::Vector3f tMax, tDelta;
  for (int k = 0; k < 3; ++k) {
    step[k] = d[k] > 0 ? 1 : -1;
    const float boundary = m_lo[k] + (cell[k] + (d[k] > 0 ? 1 : 0)) * m_cell[k];
    tMax[k] = std::abs(d[k]) < kParallelEps ? std::numeric_limits<float>::max() : (boundary - o[k]) / d[k];
    tDelta[k] = std::abs(d[k]) < kParallelEps ? std::numeric_limits<float>::max() : m_cell[k] / std::abs(d[k]);
  }
  tBest = std::numeric_limits<float>::max();
  int best = -1;
  while (true) {
    const auto& bin = m_bins[(static_cast<std::size_t>(cell.z()) * m_dims.y() + cell.y()) * m_dims.x() + cell.x()];
    for (int fi : bin) {
      float t;
      if (hit_face(fi, o, d, t) && t < tBest) {
        tBest = t;
        best = fi;
      }
    }
    int k = 0;
    if (tMax[1] < tMax[k]) k = 1;
    if (tMax[2] < tMax[k]) k = 2;
    // A hit inside this cell's slab is final once the next cell starts later.
    if (best >= 0 && tBest <= tMax[k]) break;
    cell[k] += step[k];
    if (cell[k] < 0 || cell[k] >= m_dims[k]) break;
    tMax[k] += tDelta[k];
  }
  if (best < 0) return false;
  const auto& f = m_faces[best];
  normal = (m_points[f[1]] - m_points[f[0]]).cross(m_points[f[2]] - m_points[f[0]]).normalized();
  return true;
}

float MeshShape::signed_distance(const Eigen::Vector3f& p) const {
  float best = std::numeric_limits<float>::max();
  float sign = 1.f;
  for (const auto& f : m_faces) {
    const Eigen::Vector3f& a = m_points[f[0]];
    const Eigen::Vector3f q = closest_point_on_triangle(p, a, m_points[f[1]], m_points[f[2]]);
    const float dist = (p - q).norm();
    if (dist < best) {
      best = dist;
      const Eigen::Vector3f n = (m_points[f[1]] - a).cross(m_points[f[2]] - a);
      sign = n.dot(p - q) >= 0.f ? 1.f : -1.f;
    }
  }
  return sign * best;
}

BaseTriMesh make_lumpy_sphere(const Eigen::Vector3f& center, float radius, float bump, int levels) {
  const float g = (1.f + std::sqrt(5.f)) / 2.f;
  std::vector<Eigen::Vector3f> pts = {{-1, g, 0}, {1, g, 0}, {-1, -g, 0}, {1, -g, 0}, {0, -1, g}, {0, 1, g},
                                      {0, -1, -g}, {0, 1, -g}, {g, 0, -1}, {g, 0, 1}, {-g, 0, -1}, {-g, 0, 1}};
  std::vector<BaseTriFace> faces = {{0, 11, 5}, {0, 5, 1}, {0, 1, 7}, {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
                                    {11, 10, 2}, {10, 7, 6}, {7, 1, 8}, {3, 9, 4}, {3, 4, 2}, {3, 2, 6}, {3, 6, 8},
                                    {3, 8, 9}, {4, 9, 5}, {2, 4, 11}, {6, 2, 10}, {8, 6, 7}, {9, 8, 1}};
  for (auto& p : pts) p.normalize();
  for (int l = 0; l < levels; ++l) {
    std::map<std::pair<int, int>, int> mid;
    auto split = [&](int a, int b) {
      const auto key = std::minmax(a, b);
      const auto it = mid.find(key);
      if (it != mid.end()) return it->second;
      pts.push_back((pts[a] + pts[b]).normalized());
      return mid[key] = static_cast<int>(pts.size()) - 1;
    };
    std::vector<BaseTriFace> next;
    for (const auto& f : faces) {
      const int a = split(f[0], f[1]), b = split(f[1], f[2]), c = split(f[2], f[0]);
      next.insert(next.end(), {{f[0], a, c}, {f[1], b, a}, {f[2], c, b}, {a, b, c}});
    }
    faces.swap(next);
  }
  BaseTriMesh m;
  for (const auto& u : pts) {
    const float r = radius * (1.f + bump * std::sin(3.f * u.x()) * std::cos(2.f * u.y() + 1.f) * std::sin(2.f * u.z() + 0.5f));
    m.add_vCoord(center + r * u);
  }
  m.set_faces(std::move(faces));
  return m;
}

}  // namespace TavoAlgorithm::sim

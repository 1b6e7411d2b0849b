#include "meshproc/LoopTriangulation.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>

namespace TavoAlgorithm {

namespace {

// Relative tolerance below which a projected corner counts as straight.
constexpr double kFlatTolerance = 1e-9;
constexpr double kRadToDeg = 180.0 / M_PI;

struct Ear {
  bool valid = false;
  bool withinLimits = false;
  double angle = 0.0;  // degrees
};

double cross2(const Eigen::Vector2d& a, const Eigen::Vector2d& b) { return a.x() * b.y() - a.y() * b.x(); }

bool inside_triangle(const Eigen::Vector2d& p, const Eigen::Vector2d& a, const Eigen::Vector2d& b,
                     const Eigen::Vector2d& c) {
  // Points on the border count as inside: touching vertices would make the
  // clipped polygon self-intersect.
  return cross2(b - a, p - a) >= 0.0 && cross2(c - b, p - b) >= 0.0 && cross2(a - c, p - c) >= 0.0;
}

}  // namespace

float triangle_quality(const Eigen::Vector3f& a, const Eigen::Vector3f& b, const Eigen::Vector3f& c) {
  const float sq = (a - b).squaredNorm() + (b - c).squaredNorm() + (c - a).squaredNorm();
  if (!(sq > 0.f)) return 0.f;
  const float area = 0.5f * (b - a).cross(c - a).norm();
  return 4.f * std::sqrt(3.f) * area / sq;
}

bool triangulate_loop(const std::vector<Eigen::Vector3f>& polygon, const EarLimits& limits,
                      const DiagonalCheck& allowed, std::vector<std::array<int, 3>>& triangles) {
  triangles.clear();
  const int n = static_cast<int>(polygon.size());
  if (n < 3) return false;
  for (const auto& p : polygon)
    if (!p.allFinite()) return false;

  // Newell's area vector fixes the projection plane and the orientation.
  Eigen::Vector3d centre = Eigen::Vector3d::Zero();
  for (const auto& p : polygon) centre += p.cast<double>();
  centre /= n;
  Eigen::Vector3d area = Eigen::Vector3d::Zero();
  double scale = 0.0;
  for (int i = 0; i < n; ++i) {
    const Eigen::Vector3d a = polygon[i].cast<double>() - centre;
    const Eigen::Vector3d b = polygon[(i + 1) % n].cast<double>() - centre;
    area += a.cross(b);
    scale = std::max(scale, a.squaredNorm());
  }
  if (!(area.norm() > kFlatTolerance * scale)) return false;
  const Eigen::Vector3d normal = area.normalized();
  const Eigen::Vector3d u = normal.unitOrthogonal();
  const Eigen::Vector3d v = normal.cross(u);
  std::vector<Eigen::Vector2d> q(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    const Eigen::Vector3d d = polygon[i].cast<double>() - centre;
    q[i] = {d.dot(u), d.dot(v)};
  }

  std::vector<int> prev(n), next(n);
  for (int i = 0; i < n; ++i) {
    prev[i] = (i + n - 1) % n;
    next[i] = (i + 1) % n;
  }
  const double flat = kFlatTolerance * scale;

  auto evaluate = [&](int c) {
    Ear e;
    const int a = prev[c], b = next[c];
    const double turn = cross2(q[c] - q[a], q[b] - q[c]);
    if (!(turn > flat)) return e;  // reflex or straight corner
    for (int k = next[b]; k != a; k = next[k])
      if (inside_triangle(q[k], q[a], q[c], q[b]) && polygon[k] != polygon[a] &&
          polygon[k] != polygon[b] && polygon[k] != polygon[c])
        return e;
    if (allowed && !allowed(a, b)) return e;
    const Eigen::Vector3f& pa = polygon[a];
    const Eigen::Vector3f& pc = polygon[c];
    const Eigen::Vector3f& pb = polygon[b];
    const Eigen::Vector3f e1 = pa - pc, e2 = pb - pc;
    const float len = e1.norm() * e2.norm();
    if (!(len > 0.f)) return e;
    e.valid = true;
    e.angle = std::acos(std::clamp(static_cast<double>(e1.dot(e2)) / len, -1.0, 1.0)) * kRadToDeg;
    e.withinLimits = e.angle <= limits.maxAngleDeg && triangle_quality(pa, pc, pb) >= limits.minQuality;
    return e;
  };

  std::vector<Ear> ears(n);
  for (int i = 0; i < n; ++i) ears[i] = evaluate(i);
  int remaining = n;
  int start = 0;
  while (remaining > 3) {
    int best = -1;
    for (int c = start, k = 0; k < remaining; c = next[c], ++k) {
      const Ear& e = ears[c];
      if (!e.valid) continue;
      if (best < 0 || (e.withinLimits && !ears[best].withinLimits) ||
          (e.withinLimits == ears[best].withinLimits && e.angle < ears[best].angle))
        best = c;
    }
    if (best < 0) {
      triangles.clear();
      return false;
    }
    const int a = prev[best], b = next[best];
    triangles.push_back({a, best, b});
    next[a] = b;
    prev[b] = a;
    start = a;
    --remaining;
    ears[a] = evaluate(a);
    ears[b] = evaluate(b);
    // A clipped ear can uncover a vertex that hid another ear; only the
    // neighbours change shape, but containment can change for any ear.
    for (int c = next[b]; c != a; c = next[c])
      if (!ears[c].valid) ears[c] = evaluate(c);
  }
  const int a = start, c = next[a], b = next[c];
  const double turn = cross2(q[c] - q[a], q[b] - q[c]);
  if (!(turn > flat)) {
    triangles.clear();
    return false;
  }
  triangles.push_back({a, c, b});
  return true;
}

}  // namespace TavoAlgorithm

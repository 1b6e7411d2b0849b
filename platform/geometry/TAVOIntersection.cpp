#include "geometry/TAVOIntersection.h"

#include <Eigen/Geometry>
#include <cmath>

namespace TavoAlgorithm {
namespace {

// Barycentric slack that keeps hits exactly on a shared edge from slipping
// between the two triangles through rounding.
constexpr double kEdgeSlack = 1e-6;
// |sin| of the angle between the ray and the triangle's plane below which
// the ray counts as parallel to it.
constexpr double kParallelSine = 1e-9;

}  // namespace

bool TAVOIntersection::ray_triangle(const Eigen::Vector3f& origin, const Eigen::Vector3f& dir,
                                    const Eigen::Vector3f& a, const Eigen::Vector3f& b,
                                    const Eigen::Vector3f& c, Eigen::Vector3f& hit, float* t) {
  // Moller-Trumbore: solve origin + t dir = a + u (b - a) + v (c - a).
  const Eigen::Vector3d o = origin.cast<double>(), d = dir.cast<double>();
  const Eigen::Vector3d e1 = (b - a).cast<double>(), e2 = (c - a).cast<double>();
  const Eigen::Vector3d p = d.cross(e2);
  const double det = e1.dot(p);
  const double scale = d.norm() * e1.cross(e2).norm();
  if (!std::isfinite(det) || !std::isfinite(scale) || !(std::abs(det) > kParallelSine * scale)) return false;
  const double inv = 1.0 / det;
  const Eigen::Vector3d s = o - a.cast<double>();
  const double u = s.dot(p) * inv;
  if (u < -kEdgeSlack || u > 1.0 + kEdgeSlack) return false;
  const Eigen::Vector3d q = s.cross(e1);
  const double v = d.dot(q) * inv;
  if (v < -kEdgeSlack || u + v > 1.0 + kEdgeSlack) return false;
  const double tt = e2.dot(q) * inv;
  if (!(tt >= 0.0)) return false;
  hit = (o + tt * d).cast<float>();
  if (t) *t = static_cast<float>(tt);
  return true;
}

}  // namespace TavoAlgorithm

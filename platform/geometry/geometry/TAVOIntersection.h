#pragma once
// Intersection tests of the common geometry library.
#include <Eigen/Core>

namespace TavoAlgorithm {

struct TAVOIntersection {
  // The ray origin + t * dir (t >= 0) against the triangle (a, b, c), seen
  // from either side. Points on an edge or a corner count as hits (within a
  // relative 1e-6 of the barycentric range), as does an origin on the
  // triangle (t = 0). On a hit returns true with `hit` = origin + t * dir and,
  // when given, *t (in units of |dir|); otherwise returns false and leaves
  // them alone. A ray parallel to the triangle's plane (lying in it
  // included), a zero or non-finite direction and a degenerate triangle
  // never hit. Computed in double precision; thread-safe.
  static bool ray_triangle(const Eigen::Vector3f& origin, const Eigen::Vector3f& dir,
                           const Eigen::Vector3f& a, const Eigen::Vector3f& b,
                           const Eigen::Vector3f& c, Eigen::Vector3f& hit, float* t = nullptr);
};

}  // namespace TavoAlgorithm

#pragma once
// Ear clipping of one closed 3-D polygon, shared by the hole fillers.
//
// The polygon is given in fill order (the order of a boundary loop); the
// triangles come back as index triples into it, oriented like the polygon
// (right-hand rule about its area vector). The polygon is projected onto the
// plane of its area vector and clipped ear by ear; an ear is a convex corner
// whose triangle holds no other polygon vertex. Among the ears, those whose
// corner angle is at most maxAngleDeg and whose quality is at least
// minQuality are taken first, the sharpest such corner first; when none meets
// both limits the sharpest ear is taken anyway, so the limits shape the result
// but never leave a hole open. Quality is 4 * sqrt(3) * area / (a^2 + b^2 + c^2),
// 1 for an equilateral triangle and 0 for a degenerate one.
#include <Eigen/Core>
#include <array>
#include <functional>
#include <vector>

namespace TavoAlgorithm {

struct EarLimits {
  float minQuality = 0.f;
  float maxAngleDeg = 180.f;
};

// May the triangulation add an edge between polygon vertices i and j? Lets the
// caller refuse edges its mesh already has.
using DiagonalCheck = std::function<bool(int i, int j)>;

// False (triangles emptied) for fewer than 3 points, a non-finite point, a
// polygon without area, or when no non-degenerate ear can be found.
bool triangulate_loop(const std::vector<Eigen::Vector3f>& polygon, const EarLimits& limits,
                      const DiagonalCheck& allowed, std::vector<std::array<int, 3>>& triangles);

// Quality measure used above.
float triangle_quality(const Eigen::Vector3f& a, const Eigen::Vector3f& b, const Eigen::Vector3f& c);

}  // namespace TavoAlgorithm

#pragma once
// Axis-aligned box: the minimum x, y, z then the maximum x, y, z. A default
// box is empty (minimum +inf, maximum -inf) until a point is added.
#include <Eigen/Core>
#include <limits>

namespace TavoAlgorithm {

struct BoundingBox {
  float minX = std::numeric_limits<float>::infinity();
  float minY = std::numeric_limits<float>::infinity();
  float minZ = std::numeric_limits<float>::infinity();
  float maxX = -std::numeric_limits<float>::infinity();
  float maxY = -std::numeric_limits<float>::infinity();
  float maxZ = -std::numeric_limits<float>::infinity();

  BoundingBox() = default;
  BoundingBox(const Eigen::Vector3f& lo, const Eigen::Vector3f& hi)
      : minX(lo.x()), minY(lo.y()), minZ(lo.z()), maxX(hi.x()), maxY(hi.y()), maxZ(hi.z()) {}

  bool empty() const { return !(minX <= maxX && minY <= maxY && minZ <= maxZ); }
  Eigen::Vector3f min_corner() const { return {minX, minY, minZ}; }
  Eigen::Vector3f max_corner() const { return {maxX, maxY, maxZ}; }

  void extend(const Eigen::Vector3f& p) {
    minX = std::min(minX, p.x()); minY = std::min(minY, p.y()); minZ = std::min(minZ, p.z());
    maxX = std::max(maxX, p.x()); maxY = std::max(maxY, p.y()); maxZ = std::max(maxZ, p.z());
  }
};

static_assert(sizeof(BoundingBox) == 6 * sizeof(float), "BoundingBox is six packed floats");

}  // namespace TavoAlgorithm

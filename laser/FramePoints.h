#pragma once
// A laser frame as the tangent frame pass takes it: the point lists of its
// lines, borrowed from the clouds (valid while they live and are not
// resized).
#include <Eigen/Core>
#include <vector>

#include "geometry/Cloud.h"

namespace TavoAlgorithm {

// The point lists of the lines that have points, in line order.
inline std::vector<const std::vector<Eigen::Vector3f>*> frame_points(const std::vector<Cloud>& lines) {
  std::vector<const std::vector<Eigen::Vector3f>*> points;
  points.reserve(lines.size());
  for (const Cloud& line : lines)
    if (line.get_vn() > 0) points.push_back(&line.get_vCoords());
  return points;
}

}  // namespace TavoAlgorithm

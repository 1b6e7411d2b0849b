#pragma once
// Range scans of a pose list (geometry/RangeScanIO.h) as the planners and the
// registration use them: millimetres, with per-point normals.
#include <string>
#include <vector>

#include "RetVal.h"
#include "geometry/RangeData.h"

namespace TavoAlgorithm::sim {

// Every scan of the list with points and pose translations scaled by 1000
// (metres to mm) and normals fitted on the grid, turned toward the sensor.
// The failures of read_range_scans are passed on.
RetVal read_range_scans_mm(const std::string& confPath, std::vector<RangeData>& frames);

// A frame's points and normals placed by its pose, deleted points left out.
struct PlacedPoints {
  std::vector<Eigen::Vector3f> points, normals;
  Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
};
PlacedPoints placed_points(const RangeData& frame);

}  // namespace TavoAlgorithm::sim

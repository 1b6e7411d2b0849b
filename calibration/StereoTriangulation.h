#pragma once
// Triangulation of index-matched board marks of a calibrated camera pair.
#include <vector>

#include <Eigen/Core>

#include "CameraCalibrateParam.h"

namespace TavoAlgorithm::calibration {

// Largest gap (mm) between the two rays of a mark that is still accepted.
inline constexpr double kMaxRayGap = 0.1;

// Points in camera 1's frame, one per index of the (equally long) lists:
// the midpoint of the closest points of the two viewing rays, or (0, 0, 0)
// for a mark with a negative image coordinate (not seen), rays farther than
// kMaxRayGap apart, parallel rays or a failed undistortion (the last three
// counted as rejected). Prints the rejected count and the mean gap of the
// accepted marks (0 when none). Returns false, output empty, for lists of
// different lengths.
bool triangulate_marks(const TavoRobotAlgorithm::CameraCalibrateParam& first,
                       const TavoRobotAlgorithm::CameraCalibrateParam& second,
                       const std::vector<Eigen::Vector2d>& marks1, const std::vector<Eigen::Vector2d>& marks2,
                       std::vector<Eigen::Vector3f>& points);

}  // namespace TavoAlgorithm::calibration

#pragma once
// Rotation about a line in space.
#include <Eigen/Core>

#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm::TavoRegistration {

// The rigid transform that turns space by `angleDegrees` about the line
// through `point` with direction `direction` (any length), counter-clockwise
// when seen from the tip of the direction looking back (right-hand rule);
// points on the line stay where they are. A zero or non-finite direction,
// point or angle gives the identity. Thread-safe.
RigidMatrix compute_rotate_matrix(double angleDegrees, const Eigen::Vector3d& direction,
                                  const Eigen::Vector3d& point);

}  // namespace TavoAlgorithm::TavoRegistration

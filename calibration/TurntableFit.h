#pragma once
// Turntable fits on reconstructed board marks: one point list per board
// position, index k = mark k, (0, 0, 0) for a mark not reconstructed.
#include <vector>

#include <Eigen/Core>

#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm::calibration {

using MarkLists = std::vector<std::vector<Eigen::Vector3f>>;

// Axis of the turn that carries the marks from list to list, in the lists'
// frame. Empty lists are skipped; a mark takes part only when it is non-zero
// in every kept list. False, outputs unchanged, when no axis can be fitted.
bool fit_turntable_axis(const MarkLists& lists, Eigen::Vector3d& direction, Eigen::Vector3d& point);

// Entry k carries list k's marks onto list 0's, from the marks non-zero in
// both; entry 0 and entries with fewer than three shared marks are the
// identity. Empty for no lists.
std::vector<RigidMatrix> fit_turntable_motions(const MarkLists& lists);

}  // namespace TavoAlgorithm::calibration

#pragma once
// Rotation axis of a turntable from the same marks seen at several angles.
#include <vector>

#include "geometry/RefPtsData.h"
#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm::TavoRegistration {

// groups[g] holds the marks seen at turntable position g; points with equal
// ids in different groups are the same physical mark. Every mark traces a
// circle about the axis, so the fit is least squares over all marks:
//  - direction: the unit vector most nearly perpendicular to every mark's
//    displacements from its mean position (smallest eigenvector), signed so
//    that group 0 turns into group 1 counter-clockwise about it;
//  - point: the common circle centre, solved jointly for all marks, taken
//    at the foot of the axis nearest the centroid of all points;
//  - poses[g]: the rigid transform carrying group 0's marks onto group g's
//    (poses[0] is the identity).
// Ids only in some groups are used where they occur at least twice; weights
// scale each point's equations. Returns false, outputs unchanged, with fewer
// than two groups, fewer than three ids shared by group 0 and every group,
// non-finite or non-positive input, or a degenerate motion (no rotation).
bool compute_shaft_center_line(const std::vector<std::vector<RefPtsData>>& groups,
                               Eigen::Vector3d& direction, Eigen::Vector3d& point,
                               std::vector<RigidMatrix>& poses);

}  // namespace TavoAlgorithm::TavoRegistration

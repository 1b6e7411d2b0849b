#pragma once
// Least-squares rigid fit between two point lists.
#include <vector>

#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm {

// The proper rigid transform M (rotation, det = +1, and translation) that
// minimises sum |M * from[i] - to[i]|^2, i.e. the transform carrying `from`
// onto `to`. Returns the identity when the lists differ in length, hold fewer
// than three pairs, contain a non-finite value or are collinear (no unique
// rotation). Thread-safe; the inputs stay the caller's.
RigidMatrix compute_rigid_matrix(const std::vector<Eigen::Vector3d>& from,
                                 const std::vector<Eigen::Vector3d>& to);
RigidMatrix compute_rigid_matrix(const std::vector<Eigen::Vector3f>& from,
                                 const std::vector<Eigen::Vector3f>& to);

// The same fit reporting whether it was well posed; `out` is left unchanged
// when it returns false.
bool try_compute_rigid_matrix(const std::vector<Eigen::Vector3d>& from,
                              const std::vector<Eigen::Vector3d>& to, RigidMatrix& out);

}  // namespace TavoAlgorithm

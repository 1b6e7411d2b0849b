#pragma once
// Pose errors for the simulators and for judging registrations: a rigid
// error of given size in a random direction, and how far a transform moves a
// point set.
#include <random>
#include <vector>

#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm::sim {

// A turn of exactly `degrees` about a random axis through `centre`, then a
// shift of exactly `mm` in a random direction (either size may be 0).
RigidMatrix random_pose_error(std::mt19937& rng, double degrees, double mm, const Eigen::Vector3d& centre);

struct PoseDeviation {
  double rms = 0.0;      // RMS of |m p - p| over the points (their units)
  double degrees = 0.0;  // rotation angle of m
};

PoseDeviation pose_deviation(const RigidMatrix& m, const std::vector<Eigen::Vector3f>& points);

// A multi-view registration fixes poses only up to one rigid motion of the
// whole set. With moved[i] carrying set i from its true place to where the
// registration put it, this is the one motion that best carries all of them
// back (least squares over all points); the identity for no points.
RigidMatrix gauge_fit(const std::vector<RigidMatrix>& moved, const std::vector<std::vector<Eigen::Vector3f>>& sets);

}  // namespace TavoAlgorithm::sim

#pragma once
// Surface distance between two triangle meshes, for judging fused meshes
// against a reference (demo, tests, benchmarks).
//
// Each way samples the live vertices of one mesh (not deleted, finite, used by
// a live face) and takes the Euclidean distance to the nearest point on the
// live faces of the other. Units are those of the meshes. Runs in parallel over the
// samples (oneTBB); the results do not depend on the thread count.
#include <Eigen/Core>
#include <limits>
#include <vector>

#include "geometry/BaseTriMesh.h"

namespace TavoAlgorithm::sim {

struct DistanceSummary {
  int samples = 0;  // 0 when either mesh has no live vertex or face
  double mean = std::numeric_limits<double>::quiet_NaN();
  double p95 = std::numeric_limits<double>::quiet_NaN();  // 95th percentile (nearest rank)
  double max = std::numeric_limits<double>::quiet_NaN();
};

struct MeshDistanceStats {
  DistanceSummary forward;   // vertices of `from` to the surface of `to`
  DistanceSummary backward;  // vertices of `to` to the surface of `from`
};

MeshDistanceStats mesh_distance(const BaseTriMesh& from, const BaseTriMesh& to);

// One way only: vertices of `from` to the surface of `to`.
DistanceSummary vertex_to_surface_distance(const BaseTriMesh& from, const BaseTriMesh& to);

// Given points (non-finite ones skipped) to the surface of `to`.
DistanceSummary points_to_surface_distance(const std::vector<Eigen::Vector3f>& points, const BaseTriMesh& to);

// The distance of every given point to the surface of `to`, in order; NaN for
// a non-finite point, and for every point when `to` has no live face.
std::vector<double> points_to_surface_distances(const std::vector<Eigen::Vector3f>& points, const BaseTriMesh& to);

// Nearest point to p on triangle (a, b, c); degenerate triangles give a point
// on their segment or corner.
Eigen::Vector3f closest_point_on_triangle(const Eigen::Vector3f& p, const Eigen::Vector3f& a,
                                          const Eigen::Vector3f& b, const Eigen::Vector3f& c);

}  // namespace TavoAlgorithm::sim

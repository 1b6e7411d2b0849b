#pragma once
// Distances between two triangle surfaces for the fusion comparison: from
// points (mesh vertices) to the nearest point of a triangle set, found through
// a uniform grid so that a few hundred thousand queries take seconds.
#include <Eigen/Geometry>
#include <array>
#include <vector>

namespace TavoAlgorithm::bench {

struct TriangleSoup {
  std::vector<Eigen::Vector3f> points;
  std::vector<std::array<int, 3>> faces;
};

// Distance of every query point to the nearest triangle of `surface`
// (infinity when the surface has no triangle).
std::vector<float> point_to_surface(const std::vector<Eigen::Vector3f>& queries, const TriangleSoup& surface);

struct DistanceSummary {
  double mean = 0.0;
  double p95 = 0.0;
  double withinShare = 0.0;  // share of distances at or below the tolerance
};

DistanceSummary summarize(std::vector<float> distances, float tolerance);

}  // namespace TavoAlgorithm::bench

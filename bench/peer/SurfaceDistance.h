#pragma once
// Per-point distances between two triangle surfaces for the fusion
// comparison: the share within a tolerance needs every distance, not only the
// summary of sim/MeshDistance.h, and a few hundred thousand queries run in
// parallel over a uniform grid.
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

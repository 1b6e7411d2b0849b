#pragma once
// OrvaneMarkPoints: regions the user marked for erasing in a laser model.
#include <Eigen/Core>
#include <vector>

namespace TavoAlgorithm {

struct OrvaneMarkPoints {
  // Ids of the marks the user placed; only its emptiness is read: an empty
  // list switches the region erase off (the selected points still count).
  std::vector<int> markIds;
  // Centres of the marked regions, world coordinates.
  std::vector<Eigen::Vector3f> points;
  // Region radius around each centre, world units; a cell goes when its
  // centre lies within it (the centre's own cell always goes).
  float radius = 0.f;
};

}  // namespace TavoAlgorithm

#pragma once
// One reference point of a point group handed to the registration fits: the
// point, the id that pairs it with the points of the same physical mark in the
// other groups, and its weight in the least-squares sums.
#include <Eigen/Core>

namespace TavoAlgorithm {

struct RefPtsData {
  Eigen::Vector3d pt = Eigen::Vector3d::Zero();
  int id = 0;
  double weight = 1.0;
};

}  // namespace TavoAlgorithm

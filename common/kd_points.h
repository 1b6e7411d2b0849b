#pragma once
// A list of 3-float points as a nanoflann data set, and the k-d tree over
// it. The tree reads the points in place: keep them unchanged while it lives.
#include <Eigen/Core>
#include <cstdint>
#include <nanoflann.hpp>
#include <vector>

namespace TavoAlgorithm {

struct KdPoints {
  std::vector<Eigen::Vector3f> pts;
  std::size_t kdtree_get_point_count() const { return pts.size(); }
  float kdtree_get_pt(std::size_t i, std::size_t dim) const { return pts[i][static_cast<int>(dim)]; }
  template <class Box>
  bool kdtree_get_bbox(Box&) const {
    return false;
  }
};
using KdPointTree =
    nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<float, KdPoints>, KdPoints, 3, std::uint32_t>;

}  // namespace TavoAlgorithm

#pragma once
// A view's score bounded without rendering: every hole face that the left
// camera faces counts with its whole projected pixel area, as if nothing
// occluded it, the right camera lit all of it and every pixel looked through
// a hole (weight 1), times the value of its centroid's voxel as the pixel
// kernel reads it. Host side; positions in the model's units (mm).
#include <Eigen/Core>
#include <array>
#include <vector>

#include "geometry/BaseTriMesh.h"

namespace TavoAlgorithm {

struct ValuedFace {
  Eigen::Vector3f corner[3];
  float value = 0.f;
};

// The voxel grid the pixel kernel scores against, as host copies.
struct HostVoxelGrid {
  Eigen::Vector3f origin;
  int dims[3] = {0, 0, 0};
  float edge = 0.f;
  std::vector<int> blockTable;  // slot per block; kBlockWithoutStorage: not yet stored (value 1)
  std::vector<float> values;
};

// The hole faces (bit f % 32 of word f / 32 of the mask) whose centroid
// voxel has a value above 0, with that value. Faces with corners outside
// the vertex range are skipped.
std::vector<ValuedFace> valued_hole_faces(const BaseTriMesh& mesh, const std::vector<int>& holeFaceMask,
                                          const HostVoxelGrid& grid);

// Sum of value x projected area (pixels of a width x height image) of the
// faces that the column-major clip transform `mvp` shows front-facing
// (counter-clockwise); faces reaching behind the eye are left out. Grows by
// `margin` for the pixels a rasteriser lights along face edges.
float hole_area_bound(const std::vector<ValuedFace>& faces, const std::array<float, 16>& mvp, int width,
                      int height);

// The share by which the area bound is grown.
inline constexpr float kAreaBoundMargin = 0.1f;

}  // namespace TavoAlgorithm

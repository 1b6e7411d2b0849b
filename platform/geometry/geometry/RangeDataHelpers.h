#pragma once
// Grid helpers of RangeData. The index map is rows x cols with the index of
// the cell's point, or -1 for an empty cell or a deleted point.
#include <Eigen/Core>
#include <limits>
#include <vector>

#include "geometry/BaseTriMesh.h"
#include "geometry/RangeData.h"

namespace TavoAlgorithm {

void create_vertices_index_map(const RangeData& rge, Eigen::MatrixXi& indexMap);

// isBoundary[v] = 1 when some cell within `band` cells (Chebyshev distance) of
// v's cell is empty or lies outside the grid; 0 otherwise (and for points not
// on the map). band <= 0 marks nothing.
void RangeData_get_point_bd(const RangeData& rge, const Eigen::MatrixXi& indexMap, int band,
                            std::vector<char>& isBoundary);

// Per-point unit normals, oriented toward the sensor. Each point's normal is
// fitted (smallest principal axis) to the points in its (2 * fitRadius + 1)^2
// window; a boundary point then takes the mean fitted normal of the interior
// points within smoothRadius cells, which keeps the ragged scan border from
// tilting its normals. Points without enough neighbours get the sensor
// direction. Mismatched sizes leave `normals` empty.
void RangeData_get_smooth_bd_point_normal(const RangeData& rge, const Eigen::MatrixXi& indexMap,
                                          const std::vector<char>& isBoundary, int fitRadius,
                                          int smoothRadius, std::vector<Eigen::Vector3f>& normals);

// Triangulates the grid: every 2 x 2 block of filled cells gives two faces
// (split along the shorter diagonal), a block with three filled cells one.
// Faces longer than maxEdge on any side are skipped. Points, normals and flags
// are copied; faces face the sensor.
void RangeData_convert_to_BaseTriMesh(const RangeData& rge, BaseTriMesh& mesh,
                                      float maxEdge = std::numeric_limits<float>::infinity());

}  // namespace TavoAlgorithm

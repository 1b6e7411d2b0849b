#pragma once
// GridFrame: where a sparse grid lies in the world, and which of its cells
// may be written. The one place of the world <-> cell arithmetic of the TSDF
// volume and the laser octree.
//
// The grid has 2^depth cells per axis of edge cellSize (world units); its
// corner, cell (0, 0, 0)'s lowest corner, lies at `origin` (the TSDF origin,
// the laser tree shift). Cell c covers [origin + cellSize c, origin +
// cellSize (c + 1)); a point is given either in world coordinates or
// "local", relative to the origin (local = world - origin). Cells with
// border <= c < 2^depth - border on every axis are the usable ones.
//
// A plain value: copy it freely; every call is const and thread-safe.
// Lookups of non-finite or far points fail before any conversion to int.
#include <Eigen/Core>

namespace TavoAlgorithm::grid {

struct GridFrame {
  Eigen::Vector3f origin = Eigen::Vector3f::Zero();
  float cellSize = 1.f;
  int depth = 10;
  int border = 0;

  int size() const { return 1 << depth; }

  // Cell of a local point; false when it is not finite or outside the grid
  // (a point on a cell boundary belongs to the cell above it).
  bool local_cell(const Eigen::Vector3f& local, Eigen::Vector3i& cell) const { return cell_within(local, 0, cell); }
  bool cell_of(const Eigen::Vector3f& world, Eigen::Vector3i& cell) const {
    return local_cell(world - origin, cell);
  }
  // As local_cell, and false too when the cell is not usable.
  bool usable_local_cell(const Eigen::Vector3f& local, Eigen::Vector3i& cell) const {
    return cell_within(local, border, cell);
  }

  // margin <= c < 2^depth - margin on every axis.
  bool within(const Eigen::Vector3i& c, int margin) const {
    return (c.array() >= margin).all() && (c.array() < size() - margin).all();
  }
  bool in_grid(const Eigen::Vector3i& c) const { return within(c, 0); }
  bool usable_coordinate(int c) const { return c >= border && c < size() - border; }
  bool is_usable(const Eigen::Vector3i& c) const { return within(c, border); }

  // Centre of cell c, local and in the world.
  Eigen::Vector3f local_centre(const Eigen::Vector3i& c) const {
    return ((c.cast<float>().array() + 0.5f) * cellSize).matrix();
  }
  Eigen::Vector3f centre(const Eigen::Vector3i& c) const { return origin + local_centre(c); }

  // Moves the grid so that the world point p lies at its middle.
  void centre_on(const Eigen::Vector3d& p) {
    const double half = 0.5 * static_cast<double>(size()) * cellSize;
    origin = (p.array() - half).matrix().cast<float>();
  }

 private:
  // The cell of a local point when margin <= cell < 2^depth - margin. The
  // bounds are tested on the grid coordinate before the conversion, so that
  // a point just below the grid does not truncate into cell 0.
  bool cell_within(const Eigen::Vector3f& local, int margin, Eigen::Vector3i& cell) const {
    const Eigen::Vector3f g = local / cellSize;
    const float lo = static_cast<float>(margin), hi = static_cast<float>(size() - margin);
    for (int k = 0; k < 3; ++k)
      if (!(g[k] >= lo && g[k] < hi)) return false;  // NaN fails too
    cell = g.cast<int>();
    return true;
  }
};

}  // namespace TavoAlgorithm::grid

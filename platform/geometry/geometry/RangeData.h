#pragma once
// RangeData: one structured-light frame, a Cloud organised on the camera's
// pixel grid (rows x cols cells, row-major), with per-cell flags, per-point
// texture coordinates and the frame's pose.
//
// Coordinates are in the frame's own camera space; the pose maps them into the
// common (world) space. A cell holds the index of its point or -1. The sensor
// direction is the unit vector from the surface toward the sensor, used to
// orient estimated normals; it defaults to +z.
#include <Eigen/Core>
#include <cstdint>
#include <vector>

#include "geometry/Cloud.h"

namespace TavoAlgorithm {

// Cell flag bit 0: the cell holds a point.
inline constexpr std::uint8_t CELL_HAS_POINT = 1u << 0;

class RangeData : public Cloud {
 public:
  int get_rows() const { return m_rows; }
  int get_cols() const { return m_cols; }
  // Resets the grid to rows x cols empty cells (points are kept).
  void set_grid_size(int rows, int cols);
  int get_cellVertex(int row, int col) const { return m_cells[cell(row, col)]; }
  // Also sets or clears CELL_HAS_POINT. No checks on either index.
  void set_cellVertex(int row, int col, int vertex);
  std::uint8_t get_cellFlag(int row, int col) const { return m_cellFlags[cell(row, col)]; }
  void set_cellFlag(int row, int col, std::uint8_t f) { m_cellFlags[cell(row, col)] = f; }

  const Eigen::Vector2f& get_vUV(int i) const { return m_uv[i]; }
  void set_vUV(int i, const Eigen::Vector2f& uv) { m_uv[i] = uv; }

  const RigidMatrix& get_rigidMatrix() const { return m_pose; }
  void set_rigidMatrix(const RigidMatrix& pose) { m_pose = pose; }

  const Eigen::Vector3f& get_sensorDir() const { return m_sensorDir; }
  void set_sensorDir(const Eigen::Vector3f& d) { m_sensorDir = d.normalized(); }

  void clear() override;
  bool write_archive(WriteAble& out) const override;
  bool read_archive(ReadAble& in) override;
  // Also renumbers the grid cells; cells of removed points become empty.
  int squeeze(std::vector<int>* newIndex = nullptr) override;

 protected:
  void move_vertex(int from, int to) override;
  void resize_extra(std::size_t n) override { m_uv.resize(n, Eigen::Vector2f::Zero()); }

 private:
  std::size_t cell(int row, int col) const {
    return static_cast<std::size_t>(row) * static_cast<std::size_t>(m_cols) +
           static_cast<std::size_t>(col);
  }

  int m_rows = 0;
  int m_cols = 0;
  std::vector<int> m_cells;
  std::vector<std::uint8_t> m_cellFlags;
  std::vector<Eigen::Vector2f> m_uv;
  RigidMatrix m_pose;
  Eigen::Vector3f m_sensorDir = Eigen::Vector3f::UnitZ();
};

}  // namespace TavoAlgorithm

#include "geometry/RangeData.h"

namespace TavoAlgorithm {

void RangeData::set_grid_size(int rows, int cols) {
  m_rows = std::max(rows, 0);
  m_cols = std::max(cols, 0);
  const std::size_t cells = static_cast<std::size_t>(m_rows) * static_cast<std::size_t>(m_cols);
  m_cells.assign(cells, -1);
  m_cellFlags.assign(cells, 0);
}

void RangeData::set_cellVertex(int row, int col, int vertex) {
  const std::size_t c = cell(row, col);
  m_cells[c] = vertex;
  if (vertex >= 0)
    m_cellFlags[c] |= CELL_HAS_POINT;
  else
    m_cellFlags[c] &= static_cast<std::uint8_t>(~CELL_HAS_POINT);
}

void RangeData::clear() {
  Cloud::clear();
  set_grid_size(0, 0);
  m_pose = RigidMatrix();
}

void RangeData::move_vertex(int from, int to) {
  Cloud::move_vertex(from, to);
  m_uv[to] = m_uv[from];
}

int RangeData::squeeze(std::vector<int>* newIndex) {
  std::vector<int> local;
  std::vector<int>& map = newIndex ? *newIndex : local;
  const int n = Cloud::squeeze(&map);
  for (std::size_t c = 0; c < m_cells.size(); ++c) {
    int& v = m_cells[c];
    if (v < 0) continue;
    v = v < static_cast<int>(map.size()) ? map[v] : -1;
    if (v < 0) m_cellFlags[c] &= static_cast<std::uint8_t>(~CELL_HAS_POINT);
  }
  return n;
}

}  // namespace TavoAlgorithm

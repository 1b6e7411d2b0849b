#include "geometry/RangeDataHelpers.h"

#include <algorithm>

namespace TavoAlgorithm {

void create_vertices_index_map(const RangeData& rge, Eigen::MatrixXi& indexMap) {
  indexMap.setConstant(rge.get_rows(), rge.get_cols(), -1);
  const int vn = rge.get_vn();
  for (int r = 0; r < rge.get_rows(); ++r)
    for (int c = 0; c < rge.get_cols(); ++c) {
      const int v = rge.get_cellVertex(r, c);
      if (v >= 0 && v < vn && !rge.get_vDeleted(v)) indexMap(r, c) = v;
    }
}

void RangeData_get_point_bd(const RangeData& rge, const Eigen::MatrixXi& indexMap, int band,
                            std::vector<char>& isBoundary) {
  const int vn = rge.get_vn();
  isBoundary.assign(static_cast<std::size_t>(vn), 0);
  if (band <= 0) return;
  const int rows = static_cast<int>(indexMap.rows());
  const int cols = static_cast<int>(indexMap.cols());
  // The square of side 2 band + 1 around a cell is full when its 2 band + 1
  // columns each hold a full run of that length through the cell's row:
  // down each column, the filled run ending `band` rows below tells whether
  // that column's part is full; across, the run of such columns ending
  // `band` columns to the right decides the cell. A counter down the column
  // and one per row instead of a summed-area table of the whole grid.
  const int side = 2 * band + 1;
  std::vector<int> across(static_cast<std::size_t>(rows), 0);  // full column parts ending here
  auto filled = [&](int r, int c) { return indexMap(r, c) >= 0; };
  for (int last = 0; last < cols + band; ++last) {
    if (last < cols) {
      int down = 0;  // filled cells ending at row r + band of column `last`
      for (int r = 0; r < band && r < rows; ++r) down = filled(r, last) ? down + 1 : 0;
      for (int r = 0; r < rows; ++r) {
        const int below = r + band;
        if (below < rows) down = filled(below, last) ? down + 1 : 0;
        const bool full = below < rows && down >= side;
        across[static_cast<std::size_t>(r)] = full ? across[static_cast<std::size_t>(r)] + 1 : 0;
      }
    }
    const int c = last - band;  // the column these runs decide
    if (c < 0) continue;
    for (int r = 0; r < rows; ++r) {
      const int v = indexMap(r, c);
      if (v < 0 || v >= vn) continue;
      isBoundary[static_cast<std::size_t>(v)] = last < cols && across[static_cast<std::size_t>(r)] >= side ? 0 : 1;
    }
  }
}

void RangeData_convert_to_BaseTriMesh(const RangeData& rge, BaseTriMesh& mesh, float maxEdge) {
  mesh.clear();
  mesh.set_vCoords(std::vector<Eigen::Vector3f>(rge.get_vCoords()));
  if (rge.has_vNormal()) {
    mesh.enable_vNormal();
    for (int i = 0; i < rge.get_vn(); ++i) mesh.set_vNrv(i, rge.get_vNrv(i));
  }
  if (rge.has_vFlag()) {
    mesh.enable_vFlag();
    for (int i = 0; i < rge.get_vn(); ++i) mesh.set_vFlag(i, rge.get_vFlag(i));
  }
  Eigen::MatrixXi map;
  create_vertices_index_map(rge, map);
  const float maxSq = maxEdge * maxEdge;
  const Eigen::Vector3f& toSensor = rge.get_sensorDir();
  std::vector<BaseTriFace> faces;
  auto try_face = [&](int a, int b, int c) {
    if (a < 0 || b < 0 || c < 0) return;
    const Eigen::Vector3f& pa = rge.get_vCoord(a);
    const Eigen::Vector3f& pb = rge.get_vCoord(b);
    const Eigen::Vector3f& pc = rge.get_vCoord(c);
    if ((pa - pb).squaredNorm() > maxSq || (pb - pc).squaredNorm() > maxSq ||
        (pc - pa).squaredNorm() > maxSq)
      return;
    const Eigen::Vector3f n = (pb - pa).cross(pc - pa);
    if (n.squaredNorm() == 0.f) return;
    faces.push_back(n.dot(toSensor) >= 0.f ? BaseTriFace(a, b, c) : BaseTriFace(a, c, b));
  };
  for (int r = 0; r + 1 < rge.get_rows(); ++r)
    for (int c = 0; c + 1 < rge.get_cols(); ++c) {
      const int p00 = map(r, c), p01 = map(r, c + 1), p10 = map(r + 1, c), p11 = map(r + 1, c + 1);
      const int filled = (p00 >= 0) + (p01 >= 0) + (p10 >= 0) + (p11 >= 0);
      if (filled < 3) continue;
      if (filled == 3) {
        if (p00 < 0) try_face(p01, p11, p10);
        else if (p01 < 0) try_face(p00, p11, p10);
        else if (p10 < 0) try_face(p00, p01, p11);
        else try_face(p00, p01, p10);
        continue;
      }
      const float d1 = (rge.get_vCoord(p00) - rge.get_vCoord(p11)).squaredNorm();
      const float d2 = (rge.get_vCoord(p01) - rge.get_vCoord(p10)).squaredNorm();
      if (d1 <= d2) {
        try_face(p00, p01, p11);
        try_face(p00, p11, p10);
      } else {
        try_face(p00, p01, p10);
        try_face(p01, p11, p10);
      }
    }
  mesh.set_faces(std::move(faces));
}

}  // namespace TavoAlgorithm

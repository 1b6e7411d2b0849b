#include "geometry/RangeDataHelpers.h"

#include <Eigen/Eigenvalues>
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
  isBoundary.assign(static_cast<std::size_t>(rge.get_vn()), 0);
  if (band <= 0) return;
  const int rows = static_cast<int>(indexMap.rows());
  const int cols = static_cast<int>(indexMap.cols());
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const int v = indexMap(r, c);
      if (v < 0 || v >= rge.get_vn()) continue;
      bool border = r < band || c < band || r + band >= rows || c + band >= cols;
      for (int dr = -band; dr <= band && !border; ++dr)
        for (int dc = -band; dc <= band && !border; ++dc)
          border = indexMap(r + dr, c + dc) < 0;
      isBoundary[v] = border ? 1 : 0;
    }
}

namespace {
// Smallest principal axis of the window's points, or zero for < 3 points or a
// degenerate (collinear) window.
Eigen::Vector3f fit_normal(const RangeData& rge, const Eigen::MatrixXi& map, int r, int c,
                           int radius) {
  const int rows = static_cast<int>(map.rows());
  const int cols = static_cast<int>(map.cols());
  Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  Eigen::Matrix3d sq = Eigen::Matrix3d::Zero();
  int count = 0;
  for (int rr = std::max(r - radius, 0); rr <= std::min(r + radius, rows - 1); ++rr)
    for (int cc = std::max(c - radius, 0); cc <= std::min(c + radius, cols - 1); ++cc) {
      const int v = map(rr, cc);
      if (v < 0) continue;
      const Eigen::Vector3d p = rge.get_vCoord(v).cast<double>();
      sum += p;
      sq += p * p.transpose();
      ++count;
    }
  if (count < 3) return Eigen::Vector3f::Zero();
  const Eigen::Vector3d mean = sum / count;
  const Eigen::Matrix3d cov = sq / count - mean * mean.transpose();
  // Closed form for 3 x 3: the iterative solver was most of the time spent
  // preparing a frame for fusion, and double precision keeps it accurate.
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eig;
  eig.computeDirect(cov);
  if (eig.info() != Eigen::Success) return Eigen::Vector3f::Zero();
  const Eigen::Vector3d ev = eig.eigenvalues();
  if (ev(1) <= 1e-12 * std::max(ev(2), 1e-300)) return Eigen::Vector3f::Zero();
  Eigen::Vector3f n = eig.eigenvectors().col(0).cast<float>().normalized();
  if (n.dot(rge.get_sensorDir()) < 0.f) n = -n;
  return n;
}
}  // namespace

void RangeData_get_smooth_bd_point_normal(const RangeData& rge, const Eigen::MatrixXi& indexMap,
                                          const std::vector<char>& isBoundary, int fitRadius,
                                          int smoothRadius, std::vector<Eigen::Vector3f>& normals) {
  normals.clear();
  const int vn = rge.get_vn();
  if (static_cast<int>(isBoundary.size()) != vn || indexMap.rows() != rge.get_rows() ||
      indexMap.cols() != rge.get_cols())
    return;
  const int rows = rge.get_rows();
  const int cols = rge.get_cols();
  std::vector<Eigen::Vector3f> fitted(static_cast<std::size_t>(vn), Eigen::Vector3f::Zero());
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const int v = indexMap(r, c);
      if (v >= 0 && v < vn) fitted[v] = fit_normal(rge, indexMap, r, c, std::max(fitRadius, 1));
    }
  normals = fitted;
  const int sr = std::max(smoothRadius, 0);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const int v = indexMap(r, c);
      if (v < 0 || v >= vn || !isBoundary[v]) continue;
      Eigen::Vector3f acc = Eigen::Vector3f::Zero();
      for (int rr = std::max(r - sr, 0); rr <= std::min(r + sr, rows - 1); ++rr)
        for (int cc = std::max(c - sr, 0); cc <= std::min(c + sr, cols - 1); ++cc) {
          const int u = indexMap(rr, cc);
          if (u >= 0 && u < vn && !isBoundary[u]) acc += fitted[u];
        }
      if (acc.squaredNorm() > 0.f) normals[v] = acc.normalized();
    }
  for (auto& n : normals)
    if (n.squaredNorm() == 0.f) n = rge.get_sensorDir();
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

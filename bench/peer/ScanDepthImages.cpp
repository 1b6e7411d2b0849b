#include "ScanDepthImages.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace TavoAlgorithm::bench {
namespace {

int grid_point(const RangeData& f, int row, int col) {
  if (row < 0 || col < 0 || row >= f.get_rows() || col >= f.get_cols()) return -1;
  if ((f.get_cellFlag(row, col) & CELL_HAS_POINT) == 0) return -1;
  const int k = f.get_cellVertex(row, col);
  return k >= 0 && k < f.get_vn() && !f.get_vDeleted(k) && f.get_vCoord(k).allFinite() ? k : -1;
}

// Edge function of (a, b) at p: twice the signed area of (a, b, p).
double edge(const Eigen::Vector2d& a, const Eigen::Vector2d& b, const Eigen::Vector2d& p) {
  return (b.x() - a.x()) * (p.y() - a.y()) - (b.y() - a.y()) * (p.x() - a.x());
}

}  // namespace

float median_grid_spacing(const RangeData& f) {
  std::vector<float> d;
  for (int r = 0; r < f.get_rows(); ++r)
    for (int c = 0; c + 1 < f.get_cols(); ++c) {
      const int a = grid_point(f, r, c), b = grid_point(f, r, c + 1);
      if (a >= 0 && b >= 0) d.push_back((f.get_vCoord(a) - f.get_vCoord(b)).norm());
    }
  if (d.empty()) return 0.f;
  std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(d.size() / 2), d.end());
  return d[d.size() / 2];
}

TriangleSoup triangulate_range_grid(const RangeData& f, float maxEdge) {
  TriangleSoup out;
  std::vector<int> map(static_cast<std::size_t>(f.get_vn()), -1);
  auto vertex = [&](int k) {
    int& m = map[static_cast<std::size_t>(k)];
    if (m < 0) {
      m = static_cast<int>(out.points.size());
      out.points.push_back(f.get_vCoord(k));
    }
    return m;
  };
  const float max2 = maxEdge * maxEdge;
  auto short_edges = [&](int a, int b, int c) {
    if (maxEdge <= 0.f) return true;
    const Eigen::Vector3f &pa = f.get_vCoord(a), &pb = f.get_vCoord(b), &pc = f.get_vCoord(c);
    return (pa - pb).squaredNorm() <= max2 && (pb - pc).squaredNorm() <= max2 && (pc - pa).squaredNorm() <= max2;
  };
  for (int r = 0; r + 1 < f.get_rows(); ++r)
    for (int c = 0; c + 1 < f.get_cols(); ++c) {
      const int k00 = grid_point(f, r, c), k01 = grid_point(f, r, c + 1);
      const int k10 = grid_point(f, r + 1, c), k11 = grid_point(f, r + 1, c + 1);
      if (k00 < 0 || k01 < 0 || k10 < 0 || k11 < 0) continue;
      if (short_edges(k00, k01, k11)) out.faces.push_back({vertex(k00), vertex(k01), vertex(k11)});
      if (short_edges(k00, k11, k10)) out.faces.push_back({vertex(k00), vertex(k11), vertex(k10)});
    }
  return out;
}

ScanDepthImage rasterise_scan(const RangeData& scan, const TriangleSoup& mesh, float pixelSize, float standOff) {
  ScanDepthImage out;
  out.camera.rows = out.camera.cols = 1;
  out.camera.cx = out.camera.cy = 0.f;
  out.camera.pose = scan.get_rigidMatrix();
  out.depth.assign(1, 0.f);
  if (mesh.faces.empty() || !(pixelSize > 0.f)) return out;
  Eigen::AlignedBox3f box;
  for (const Eigen::Vector3f& p : mesh.points) box.extend(p);
  // The eye above the middle of the scan, standOff beyond its nearest point.
  const Eigen::Vector3f eye(box.center().x(), box.center().y(), box.max().z() + standOff);
  const float meanDepth = eye.z() - box.center().z();
  const double f = static_cast<double>(meanDepth / pixelSize);
  // Projected extent with the principal point at 0, then shifted so that
  // every vertex lands at least one pixel inside the image.
  std::vector<Eigen::Vector2d> uv(mesh.points.size());
  std::vector<double> depth(mesh.points.size());
  Eigen::AlignedBox2d extent;
  for (std::size_t i = 0; i < mesh.points.size(); ++i) {
    const Eigen::Vector3d q = (mesh.points[i] - eye).cast<double>();
    depth[i] = -q.z();
    uv[i] = Eigen::Vector2d(f * q.x() / depth[i], -f * q.y() / depth[i]);
    extent.extend(uv[i]);
  }
  const double cx = 1.0 - std::floor(extent.min().x()), cy = 1.0 - std::floor(extent.min().y());
  sim::Camera& cam = out.camera;
  cam.fx = cam.fy = static_cast<float>(f);
  cam.cx = static_cast<float>(cx);
  cam.cy = static_cast<float>(cy);
  cam.cols = static_cast<int>(std::ceil(extent.max().x() + cx)) + 2;
  cam.rows = static_cast<int>(std::ceil(extent.max().y() + cy)) + 2;
  RigidMatrix eyePose;
  eyePose.set_translation(eye.cast<double>());
  cam.pose = scan.get_rigidMatrix() * eyePose;
  for (Eigen::Vector2d& p : uv) p += Eigen::Vector2d(cx, cy);
  // Nearest surface per pixel; 1 / depth is affine in the image plane on a
  // planar triangle, so interpolating it gives the ray's exact depth.
  std::vector<double> inverse(static_cast<std::size_t>(cam.rows) * static_cast<std::size_t>(cam.cols), 0.0);
  for (const std::array<int, 3>& t : mesh.faces) {
    const Eigen::Vector2d &a = uv[static_cast<std::size_t>(t[0])], &b = uv[static_cast<std::size_t>(t[1])],
                          &c = uv[static_cast<std::size_t>(t[2])];
    const double area = edge(a, b, c);
    if (area == 0.0 || depth[static_cast<std::size_t>(t[0])] <= 0.0 || depth[static_cast<std::size_t>(t[1])] <= 0.0 ||
        depth[static_cast<std::size_t>(t[2])] <= 0.0)
      continue;
    const double ia = 1.0 / depth[static_cast<std::size_t>(t[0])], ib = 1.0 / depth[static_cast<std::size_t>(t[1])],
                 ic = 1.0 / depth[static_cast<std::size_t>(t[2])];
    const int c0 = std::max(0, static_cast<int>(std::ceil(std::min({a.x(), b.x(), c.x()}))));
    const int c1 = std::min(cam.cols - 1, static_cast<int>(std::floor(std::max({a.x(), b.x(), c.x()}))));
    const int r0 = std::max(0, static_cast<int>(std::ceil(std::min({a.y(), b.y(), c.y()}))));
    const int r1 = std::min(cam.rows - 1, static_cast<int>(std::floor(std::max({a.y(), b.y(), c.y()}))));
    for (int r = r0; r <= r1; ++r)
      for (int col = c0; col <= c1; ++col) {
        const Eigen::Vector2d p(col, r);
        const double la = edge(b, c, p) / area, lb = edge(c, a, p) / area, lc = edge(a, b, p) / area;
        if (la < 0.0 || lb < 0.0 || lc < 0.0) continue;  // centres on a shared edge go to both: same depth
        const double inv = la * ia + lb * ib + lc * ic;
        double& best = inverse[static_cast<std::size_t>(r) * static_cast<std::size_t>(cam.cols) + col];
        best = std::max(best, inv);  // larger 1 / depth: nearer
      }
  }
  out.depth.resize(inverse.size());
  for (std::size_t i = 0; i < inverse.size(); ++i)
    out.depth[i] = inverse[i] > 0.0 ? static_cast<float>(1.0 / inverse[i]) : 0.f;
  return out;
}

}  // namespace TavoAlgorithm::bench

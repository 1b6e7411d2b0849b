#pragma once
// Models and views of the plane-scanner tests.
#include <Eigen/Core>
#include <filesystem>
#include <string>

#include "AutoScan/QuellanEmulatBinocular/PlaneScanGeometry.h"
#include "SceneMeshes.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/TriMesh.h"

namespace tavo_test {

// Box with every side cut into n x n quads (12 n^2 outward faces).
inline void add_subdivided_box(TavoAlgorithm::BaseTriMesh& mesh, const Eigen::Vector3f& centre,
                               const Eigen::Vector3f& half, int n) {
  for (int axis = 0; axis < 3; ++axis)
    for (float sign : {1.f, -1.f}) {
      Eigen::Vector3f normal = Eigen::Vector3f::Zero(), u = Eigen::Vector3f::Zero(), v = Eigen::Vector3f::Zero();
      normal[axis] = sign;
      u[(axis + 1) % 3] = 1.f;
      v = normal.cross(u);  // u x v = normal: counter-clockwise from outside
      const float hu = half[(axis + 1) % 3], hv = std::abs(v.dot(half));
      auto corner = [&](int i, int j) {
        return Eigen::Vector3f(centre + half[axis] * normal + (-hu + 2.f * hu * i / n) * u + (-hv + 2.f * hv * j / n) * v);
      };
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
          TavoAlgorithm::sim::add_quad(mesh, corner(i, j), corner(i + 1, j), corner(i + 1, j + 1), corner(i, j + 1));
    }
}

// A block standing on z = 0 with a tower beside it that hides part of it.
inline TavoAlgorithm::BaseTriMesh block_and_tower() {
  TavoAlgorithm::BaseTriMesh m;
  add_subdivided_box(m, {0, 0, 250}, {400, 300, 250}, 8);
  add_subdivided_box(m, {550, 150, 350}, {100, 100, 350}, 4);
  return m;
}

// The decimated bunny in millimetres; false when the data folder is absent.
inline bool load_bunny_mm(TavoAlgorithm::BaseTriMesh& mesh) {
  const std::filesystem::path p = std::filesystem::path(TAVO_TEST_DATA_DIR) / "bunny-scans" / "bun_zipper_res2.ply";
  if (!std::filesystem::exists(p) || !TavoAlgorithm::read_mesh(mesh, p.string())) return false;
  std::vector<Eigen::Vector3f> pts = mesh.get_vCoords();
  for (auto& x : pts) x *= 1000.f;
  mesh.set_vCoords(std::move(pts));
  return true;
}

// Oriented box of an axis-aligned box with distinct extents (whose axes the
// principal directions then fix).
inline TavoAlgorithm::OBBox axis_box(const Eigen::Vector3f& half) {
  std::vector<Eigen::Vector3f> corners;
  for (int i = 0; i < 8; ++i)
    corners.emplace_back(i & 1 ? half.x() : -half.x(), i & 2 ? half.y() : -half.y(), i & 4 ? half.z() : -half.z());
  return TavoAlgorithm::OBBox(corners);
}

// Quad facing the camera (eye, centre, up) in the plane at distance d along
// the view, covering exactly the pixel centres of columns [x0, x1) and rows
// [y0, y1) (rows counted from the bottom, as OpenGL does).
inline void add_pixel_rect(TavoAlgorithm::BaseTriMesh& mesh, const Eigen::Vector3f& eye, const Eigen::Vector3f& centre,
                           const Eigen::Vector3f& up, float d, int x0, int y0, int x1, int y1, int w = 1280,
                           int h = 960) {
  const Eigen::Vector3f f = (centre - eye).normalized(), s = f.cross(up).normalized(), u = s.cross(f);
  const double t = TavoAlgorithm::plane_scan::kHalfFovTan, aspect = static_cast<double>(w) / h;
  auto at = [&](int px, int py) {
    const double x = (2.0 * px / w - 1.0) * d * t * aspect, y = (2.0 * py / h - 1.0) * d * t;
    return Eigen::Vector3f(eye + d * f + static_cast<float>(x) * s + static_cast<float>(y) * u);
  };
  TavoAlgorithm::sim::add_quad(mesh, at(x0, y0), at(x1, y0), at(x1, y1), at(x0, y1));
}

}  // namespace tavo_test

#include "AutoScan/QuellanEmulatBinocular/PlaneScanGeometry.h"

#include <array>
#include <cmath>

#include "geometry/TAVOIntersection.h"
#include "registration_platform/RotateMatrix.h"

namespace TavoAlgorithm::plane_scan {
namespace {

constexpr std::array<std::array<int, 3>, 12> kBoxFaces = {{{0, 1, 5}, {4, 0, 5}, {6, 2, 0}, {6, 0, 4},
                                                           {7, 5, 1}, {3, 7, 1}, {7, 6, 5}, {6, 4, 5},
                                                           {0, 2, 1}, {1, 2, 3}, {2, 6, 7}, {2, 7, 3}}};

bool cast_against(const BaseTriMesh& box, const Eigen::Vector3f& from, const Eigen::Vector3f& dir,
                  Eigen::Vector3f& hit) {
  bool any = false;
  for (const BaseTriFace& f : box.get_faces()) {
    Eigen::Vector3f h;
    if (TAVOIntersection::ray_triangle(from, dir, box.get_vCoord(f[0]), box.get_vCoord(f[1]),
                                       box.get_vCoord(f[2]), h)) {
      hit = h;  // the last face hit decides
      any = true;
    }
  }
  return any;
}

// Eigen leaves a zero vector as it is when normalising; a frame needs to know.
bool unit(const Eigen::Vector3f& x, Eigen::Vector3f& out) {
  const float n = x.norm();
  if (!std::isfinite(n) || !(n > 0.f)) return false;
  out = x / n;
  return true;
}

}  // namespace

Candidates make_candidates(const Eigen::Vector3f& c) {
  using TavoRegistration::compute_rotate_matrix;
  const Eigen::Vector3d centre = c.cast<double>();
  const Eigen::Vector3d e0 = centre + Eigen::Vector3d(kEyeDistance, 0.0, 0.0);
  Candidates out;
  out.eyes.reserve(3 * kCandidateCount);
  out.ups.reserve(3 * kCandidateCount);
  for (int t = 0; t <= kTopElevation; t += kAngleStep) {
    const RigidMatrix Rt = compute_rotate_matrix(t, Eigen::Vector3d(0, -1, 0), centre);
    const int lastAzimuth = t == kTopElevation ? 0 : 360 - kAngleStep;
    for (int s = 0; s <= lastAzimuth; s += kAngleStep) {
      const RigidMatrix M = compute_rotate_matrix(s, Eigen::Vector3d(0, 0, 1), centre) * Rt;
      const Eigen::Vector3d eye = M * e0;
      const Eigen::Vector3d up = M.transform_normal(Eigen::Vector3d(0, 0, 1));
      for (int k = 0; k < 3; ++k) {
        out.eyes.push_back(static_cast<float>(eye[k]));
        out.ups.push_back(static_cast<float>(up[k]));
      }
    }
  }
  return out;
}

BaseTriMesh working_box_mesh(const OBBox& box) {
  BaseTriMesh mesh;
  if (box.empty()) return mesh;
  const std::array<Eigen::Vector3f, 8> corners = box.corners();
  mesh.set_vCoords(std::vector<Eigen::Vector3f>(corners.begin(), corners.end()));
  std::vector<BaseTriFace> faces;
  for (const auto& f : kBoxFaces) faces.emplace_back(f[0], f[1], f[2]);
  mesh.set_faces(std::move(faces));
  return mesh;
}

std::vector<GridEntry> view_grid(const Eigen::Vector3f& eye, const Eigen::Vector3f& center,
                                 const Eigen::Vector3f& up, const BaseTriMesh& box) {
  std::vector<GridEntry> grid(kGridEntries);
  Eigen::Vector3f f, u, side, v;
  if (!eye.allFinite() || !unit(center - eye, f) || !unit(up, u) || !unit(f.cross(u), side) ||
      !unit(f.cross(side), v))
    return grid;

  auto place = [&](GridEntry& g, const Eigen::Vector3f& position) {
    g.eye = position;
    g.valid = cast_against(box, position, f, g.center);
  };
#pragma omp parallel for schedule(dynamic)
  for (int i = 0; i < kGridSide; ++i) {
    const float a = kGridStep * static_cast<float>(i);
    for (int j = 0; j < kGridSide; ++j) {
      const float b = kGridStep * static_cast<float>(j);
      GridEntry* g = &grid[static_cast<std::size_t>((i * kGridSide + j) * 4)];
      place(g[0], eye + a * v + b * side);
      place(g[1], eye + a * v - b * side);
      place(g[2], eye - a * v + b * side);
      place(g[3], eye - a * v - b * side);
    }
  }
  place(grid.back(), eye);
  return grid;
}

}  // namespace TavoAlgorithm::plane_scan

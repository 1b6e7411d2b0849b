#pragma once
// Independent CPU answer to "which faces does this camera see": every face
// is rasterised at the pixel centres in double precision with a depth test
// (all faces occlude; only front-facing faces with their flag set count).
// A pixel whose centre lies within kEdgeSlack pixels of a face edge, or whose
// nearest depths lie within kDepthSlack of each other, cannot be decided
// against the GPU's fixed-point rasteriser and 24-bit depth; faces seen only
// there are "possible", the others "sure".
#include <Eigen/Core>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "geometry/BaseTriMesh.h"

namespace tavo_test {

struct Visibility {
  std::set<int> sure;      // seen at some pixel that decides
  std::set<int> possible;  // could win some pixel (a superset of sure)
};

inline Visibility cpu_visible_faces(const TavoAlgorithm::BaseTriMesh& mesh, const std::vector<bool>& counted,
                                    const std::array<float, 16>& mvp, int width, int height) {
  constexpr double kEdgeSlack = 0.01;   // pixels: a few steps of 1/256, the usual sub-pixel grid
  constexpr double kDepthSlack = 4e-7;  // window depth, a few steps of a 24-bit buffer
  const Eigen::Matrix4d m = Eigen::Map<const Eigen::Matrix4f>(mvp.data()).cast<double>();
  struct Win {
    double x, y, z;
    bool ok;
  };
  std::vector<Win> win(static_cast<std::size_t>(mesh.get_vn()));
  for (int v = 0; v < mesh.get_vn(); ++v) {
    const Eigen::Vector4d c = m * mesh.get_vCoord(v).cast<double>().homogeneous();
    win[v] = {(c.x() / c.w() * 0.5 + 0.5) * width, (c.y() / c.w() * 0.5 + 0.5) * height,
              c.z() / c.w() * 0.5 + 0.5, c.w() > 0.0};
  }
  struct Fragment {
    int face;
    double z;
    bool sureCover;
  };
  // Calls f(fragment, pixel) for every pixel a face may cover.
  auto rasterise = [&](auto&& f) {
    for (int face = 0; face < mesh.get_fn(); ++face) {
      const auto& t = mesh.get_face(face);
      const Win& a = win[t[0]];
      const Win& b = win[t[1]];
      const Win& c = win[t[2]];
      if (!a.ok || !b.ok || !c.ok) continue;
      const double area = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
      if (area == 0.0) continue;
      const int x0 = std::max(0, static_cast<int>(std::floor(std::min({a.x, b.x, c.x}) - 1)));
      const int x1 = std::min(width - 1, static_cast<int>(std::ceil(std::max({a.x, b.x, c.x}) + 1)));
      const int y0 = std::max(0, static_cast<int>(std::floor(std::min({a.y, b.y, c.y}) - 1)));
      const int y1 = std::min(height - 1, static_cast<int>(std::ceil(std::max({a.y, b.y, c.y}) + 1)));
      // Edge k runs opposite corner k; its function, divided by the area, is
      // the barycentric weight of corner k, divided by its length the
      // signed distance of the pixel centre (positive inside).
      const Win* p[3] = {&a, &b, &c};
      double ex[3], ey[3], ox[3], oy[3], invLen[3];
      const double side = area > 0 ? 1.0 : -1.0;
      for (int k = 0; k < 3; ++k) {
        const Win& e0 = *p[(k + 1) % 3];
        const Win& e1 = *p[(k + 2) % 3];
        ex[k] = e1.x - e0.x;
        ey[k] = e1.y - e0.y;
        ox[k] = e0.x;
        oy[k] = e0.y;
        invLen[k] = side / std::max(1e-12, std::hypot(ex[k], ey[k]));
      }
      for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
          const double px = x + 0.5, py = y + 0.5;
          double w[3], margin = std::numeric_limits<double>::max();
          for (int k = 0; k < 3; ++k) {
            const double e = ex[k] * (py - oy[k]) - ey[k] * (px - ox[k]);
            w[k] = e / area;
            margin = std::min(margin, e * invLen[k]);
          }
          if (margin < -kEdgeSlack) continue;
          const double z = w[0] * a.z + w[1] * b.z + w[2] * c.z;
          if (z < 0.0 || z > 1.0) continue;  // clipped by the near or far plane
          f(Fragment{face, z, margin > kEdgeSlack}, static_cast<std::size_t>(y) * width + x);
        }
    }
  };
  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  const double inf = std::numeric_limits<double>::max();
  std::vector<double> nearAny(pixels, inf), nearSure(pixels, inf);
  rasterise([&](const Fragment& fr, std::size_t px) {
    nearAny[px] = std::min(nearAny[px], fr.z);
    if (fr.sureCover) nearSure[px] = std::min(nearSure[px], fr.z);
  });
  std::vector<int> close(pixels, 0);  // fragments within the depth slack of the nearest
  rasterise([&](const Fragment& fr, std::size_t px) { close[px] += fr.z <= nearAny[px] + kDepthSlack; });

  auto counts = [&](int face) {
    if (face >= static_cast<int>(counted.size()) || !counted[face]) return false;
    const auto& t = mesh.get_face(face);
    const Win &a = win[t[0]], &b = win[t[1]], &c = win[t[2]];
    return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x) > 0.0;  // front: counter-clockwise
  };
  Visibility out;
  rasterise([&](const Fragment& fr, std::size_t px) {
    if (!counts(fr.face)) return;
    if (fr.z <= nearSure[px] + kDepthSlack) out.possible.insert(fr.face);
    if (fr.sureCover && fr.z == nearAny[px] && close[px] == 1) out.sure.insert(fr.face);
  });
  return out;
}

}  // namespace tavo_test

#pragma once
// Helpers of the renderer tests: all-hole masks, projected areas, id counts.
#include <Eigen/Core>
#include <array>
#include <map>
#include <vector>

#include "geometry/BaseTriMesh.h"

namespace tavo_test {

inline std::vector<int> hole_mask(int faceCount, int firstHole = 0) {
  std::vector<int> m(faceCount / 32 + 1, 0);
  for (int f = firstHole; f < faceCount; ++f)
    m[f / 32] = static_cast<int>(static_cast<unsigned>(m[f / 32]) | (1u << (f % 32)));
  return m;
}

// Pixel area of face f under a column-major MVP on a w x h image.
inline double projected_area(const TavoAlgorithm::BaseTriMesh& mesh, int f, const std::array<float, 16>& mvp,
                             int w, int h) {
  const Eigen::Map<const Eigen::Matrix4f> m(mvp.data());
  Eigen::Vector2d p[3];
  for (int k = 0; k < 3; ++k) {
    const Eigen::Vector4f c = m * mesh.get_vCoord(mesh.get_face(f)[k]).homogeneous();
    p[k] = Eigen::Vector2d((c.x() / c.w() * 0.5 + 0.5) * w, (c.y() / c.w() * 0.5 + 0.5) * h);
  }
  const Eigen::Vector2d a = p[1] - p[0], b = p[2] - p[0];
  return 0.5 * std::abs(a.x() * b.y() - a.y() * b.x());
}

// Pixels per face of a face-id image (pixels with a zero RGB show no face).
inline std::map<int, int> face_pixel_counts(const std::vector<std::uint8_t>& rgba) {
  std::map<int, int> counts;
  for (std::size_t p = 0; p + 3 < rgba.size(); p += 4) {
    if ((rgba[p] | rgba[p + 1] | rgba[p + 2]) == 0) continue;
    const unsigned id = (unsigned(rgba[p + 3]) << 24) | (unsigned(rgba[p]) << 16) | (unsigned(rgba[p + 1]) << 8) |
                        unsigned(rgba[p + 2]);
    ++counts[static_cast<int>(id) - 1];
  }
  return counts;
}

}  // namespace tavo_test

#pragma once
// Helpers of the renderer tests: hole masks, candidate sets, id-image counts.
#include <gtest/gtest.h>

#include <Eigen/Core>
#include <array>
#include <map>
#include <memory>
#include <vector>

#include "AutoScan/emulateBinocular/EmulateBinHelper.h"

namespace tavo_test {

inline std::vector<int> hole_mask(int faceCount, int firstHole = 0) {
  std::vector<int> m(faceCount / 32 + 1, 0);
  for (int f = firstHole; f < faceCount; ++f) m[f / 32] |= static_cast<int>(1u << (f % 32));
  return m;
}

inline bool bit(const std::vector<int>& mask, int i) { return (static_cast<unsigned>(mask[i / 32]) >> (i % 32)) & 1u; }

// Candidates whose three cameras coincide, all looking at the origin: the
// cheap bound and the exact score then render the same images.
struct Candidates {
  std::vector<float> eyes, centers, ups;
  void add(const Eigen::Vector3f& eye, const Eigen::Vector3f& up) {
    for (int c = 0; c < 3; ++c) {
      eyes.insert(eyes.end(), {eye.x(), eye.y(), eye.z()});
      centers.insert(centers.end(), {0.f, 0.f, 0.f});
      ups.insert(ups.end(), {up.x(), up.y(), up.z()});
    }
  }
  TavoAlgorithm::EmulateBinHelper::GLView view(int i) const {
    const int o = 9 * i;
    return {{eyes[o], eyes[o + 1], eyes[o + 2]}, Eigen::Vector3f::Zero(), {ups[o], ups[o + 1], ups[o + 2]}};
  }
};

inline std::unique_ptr<TavoAlgorithm::EmulateBinHelper> make_renderer(double voxel, const Candidates& c,
                                                                      std::vector<float> fovs) {
  auto r = std::make_unique<TavoAlgorithm::EmulateBinHelper>(voxel);
  std::string err;
  if (!r->init_opengl(err) || !r->set_scan_poses(c.eyes, c.centers, c.ups, fovs, err)) {
    ADD_FAILURE() << err;
    return nullptr;
  }
  return r;
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

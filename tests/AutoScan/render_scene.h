#pragma once
// Helpers of the renderer tests: hole masks and candidate sets.
#include <gtest/gtest.h>

#include <Eigen/Core>
#include <memory>
#include <string>
#include <vector>

#include "AutoScan/emulateBinocular/EmulateBinHelper.h"

namespace tavo_test {

// The first `holes` faces (all by default) are hole faces.
inline std::vector<int> hole_mask(int faceCount, int holes = -1) {
  std::vector<int> m(faceCount / 32 + 1, 0);
  for (int f = 0; f < (holes < 0 ? faceCount : holes); ++f) m[f / 32] |= static_cast<int>(1u << (f % 32));
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

}  // namespace tavo_test

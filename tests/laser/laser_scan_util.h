#pragma once
// Simulated laser scans fused into a helper, shared by the laser tests.
#include <cmath>
#include <vector>

#include "LaserFusionHelper.h"
#include "LaserSimulator.h"

namespace laser_test {
using V3 = Eigen::Vector3f;
namespace sim = TavoAlgorithm::sim;

constexpr float kCell = 0.1f;

inline sim::LaserRig test_rig(float noise) {
  sim::LaserRig rig = sim::LaserRig::single_line(1.f, 6.f);
  rig.angleStep = 0.006f;  // about 0.04 between points at the working distance
  rig.depthNoise = noise;
  rig.maxGap = 0.3f;
  return rig;
}

// Linear sweeps of `reach` to either side of `centre`, the camera `dist` away
// along each of the given directions, moving across its own laser line.
inline std::vector<sim::LaserFrame> sweeps(const sim::Scene& scene, const V3& centre,
                                           const std::vector<V3>& directions, float dist, float reach,
                                           int frames, float noise) {
  std::vector<sim::LaserFrame> all;
  unsigned seed = 1;
  for (const V3& dir : directions) {
    const V3 up = std::abs(dir.y()) > 0.9f ? V3::UnitZ() : V3::UnitY();
    const V3 across = dir.cross(up).cross(dir).normalized();
    const V3 eye = centre + dist * dir;
    auto part = sim::sweep_laser(scene, test_rig(noise), eye - reach * across, eye + reach * across, centre, up,
                                 frames, seed++);
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

// Grid centred on `centre`.
template <typename T>
void centre_grid(TavoAlgorithm::LaserFusionHelper<T>& h, const V3& centre) {
  h.set_tree_shift(centre - V3::Constant(0.5f * h.get_grid_size() * h.get_voxel_size()));
}

inline void fuse_normal(TavoAlgorithm::LaserFusionHelper<LaserReconstrcution::Leaf>& h,
                        const std::vector<sim::LaserFrame>& frames) {
  for (const auto& f : frames)
    for (const auto& l : f.lines) h.fusion_one_lines_normal(l.points, l.normals, f.pose);
  h.integrate_into_tsdf();
}

}  // namespace laser_test

#pragma once
// Probe lines, simulated laser scans and cloud readers shared by the laser tests.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "LaserFusionHelper.h"
#include "LaserSimulator.h"

namespace laser_test {
using V3 = Eigen::Vector3f;
using V3i = Eigen::Vector3i;
using Lines = std::vector<V3>;
using TavoAlgorithm::Cloud;
using TavoAlgorithm::LaserFusionHelper;
using TavoAlgorithm::RigidMatrix;
using LaserReconstrcution::Leaf;
using LaserReconstrcution::LeafTangent;
namespace sim = TavoAlgorithm::sim;

constexpr float kCell = 0.1f;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
inline const RigidMatrix kIdentity;
inline const std::vector<V3> kSixSides = {V3(1, 0, 0), V3(-1, 0, 0), V3(0, 1, 0),
                                          V3(0, -1, 0), V3(0, 0, 1), V3(0, 0, -1)};

// A segment along x at height y = 5.17 above the row of cells y = 50, so the
// centre of cell (50, 50, 50) lies 0.12 from it (cell size 0.1).
inline Lines probe_points() { return {V3(5.01f, 5.17f, 5.05f), V3(5.09f, 5.17f, 5.05f)}; }
inline Lines up_normals() { return {V3(0, 1, 0), V3(0, 1, 0)}; }

// Lines on the plane z = 5.02 seen from a camera above it (camera +z = world -z):
// line k has 25 points along x at y = 4.5 + 0.04 k, in the camera frame.
struct PlaneScan {
  RigidMatrix rt{Eigen::Matrix3d(Eigen::Vector3d(1, -1, -1).asDiagonal()), Eigen::Vector3d(5, 5, 8)};
  Lines line(int k) const {
    Lines l;
    for (int i = 0; i < 25; ++i) l.push_back(rt.inverse() * V3(4.5f + 0.04f * i, 4.5f + 0.04f * k, 5.02f));
    return l;
  }
  V3 view_dir() const { return rt.transform_normal(V3(0, 0, 1)); }
};

// Linear sweeps of `reach` to either side of `centre`, the camera `dist` away
// along each of the given directions, moving across its own laser line
// (points about 0.04 apart at the working distance for the default angle
// step).
inline std::vector<sim::LaserFrame> sweeps(const sim::Scene& scene, const V3& centre,
                                           const std::vector<V3>& directions, float dist, float reach,
                                           int frames, float noise, float angleStep = 0.006f) {
  sim::LaserRig rig = sim::LaserRig::single_line(1.f, 6.f);
  rig.angleStep = angleStep;
  rig.depthNoise = noise;
  rig.maxGap = 0.3f;
  std::vector<sim::LaserFrame> all;
  unsigned seed = 1;
  for (const V3& dir : directions) {
    const V3 up = std::abs(dir.y()) > 0.9f ? V3::UnitZ() : V3::UnitY();
    const V3 across = dir.cross(up).cross(dir).normalized();
    const V3 eye = centre + dist * dir;
    auto part = sim::sweep_laser(scene, rig, eye - reach * across, eye + reach * across, centre, up, frames, seed++);
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

template <typename T>
void centre_grid(LaserFusionHelper<T>& h, const V3& centre) {
  h.set_tree_shift(centre - V3::Constant(0.5f * h.get_grid_size() * h.get_voxel_size()));
}

inline void fuse_normal(LaserFusionHelper<Leaf>& h, const std::vector<sim::LaserFrame>& frames) {
  for (const auto& f : frames)
    for (const auto& l : f.lines) h.fusion_one_lines_normal(l.points, l.normals, f.pose);
  h.integrate_into_tsdf();
}

// The live points among the first `count` vertices, sorted, for set comparisons.
using Points = std::vector<std::array<float, 3>>;
inline Points sorted_live(const Cloud& c, int count) {
  Points out;
  for (int i = 0; i < count; ++i)
    if (!c.get_vDeleted(i)) out.push_back({c.get_vCoord(i).x(), c.get_vCoord(i).y(), c.get_vCoord(i).z()});
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace laser_test

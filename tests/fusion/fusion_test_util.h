#pragma once
// Shared pieces of the fusion tests: simulated frames of a sphere and
// live-geometry views of extracted meshes.
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

#include "RangeSimulator.h"
#include "fusion/TsdfVolume.h"
#include "geometry/BaseTriMesh.h"

namespace fusion_test {
using namespace TavoAlgorithm;

constexpr float kVoxel = 0.05f;  // 20 voxels to the radius of the unit sphere

inline sim::Scene unit_sphere() {
  sim::Scene s;
  s.spheres.push_back({Eigen::Vector3f::Zero(), 1.f});
  return s;
}

// Six views around the equator, then one from above and one from below.
inline std::vector<RangeData> sphere_frames(const sim::Scene& scene = unit_sphere()) {
  sim::Camera cam;
  std::vector<RangeData> frames = sim::orbit_frames(scene, cam, 6, Eigen::Vector3f::Zero(), 3.f, 0.f);
  for (float y : {3.f, -3.f}) {
    cam.pose = sim::look_at({0, y, 0}, Eigen::Vector3f::Zero(), Eigen::Vector3f::UnitZ());
    frames.push_back(sim::render_range_frame(scene, cam));
  }
  return frames;
}

// The volume's mesh before refinement.
inline BaseTriMesh raw(const TsdfVolume& v) {
  BaseTriMesh m;
  std::vector<int> axes;
  v.copy_mesh(m, axes);
  return m;
}

inline std::vector<Eigen::Vector3f> live_vertices(const BaseTriMesh& m) {
  std::vector<Eigen::Vector3f> out;
  for (int i = 0; i < m.get_vn(); ++i)
    if (!m.get_vDeleted(i)) out.push_back(m.get_vCoord(i));
  return out;
}

inline bool face_live(const BaseTriMesh& m, int f) {
  const auto& t = m.get_face(f);
  return !m.get_fDeleted(f) && !m.get_vDeleted(t[0]) && !m.get_vDeleted(t[1]) && !m.get_vDeleted(t[2]);
}

inline int live_face_count(const BaseTriMesh& m) {
  int n = 0;
  for (int f = 0; f < m.get_fn(); ++f) n += face_live(m, f) ? 1 : 0;
  return n;
}

// RMS and largest distance of the live vertices to the scene, in voxels.
inline std::pair<double, float> rms_and_worst(const sim::Scene& scene, const BaseTriMesh& m) {
  double sum = 0;
  float worst = 0;
  const auto live = live_vertices(m);
  for (const auto& p : live) {
    const float e = std::abs(scene.signed_distance(p)) / kVoxel;
    sum += e * e;
    worst = std::max(worst, e);
  }
  return {live.empty() ? 1e9 : std::sqrt(sum / live.size()), worst};
}

// Undirected live edges used by other than exactly two live faces, and
// directed edges used twice (inconsistent orientation).
inline std::pair<int, int> open_and_flipped_edges(const BaseTriMesh& m) {
  std::map<std::pair<int, int>, int> undirected, directed;
  for (int f = 0; f < m.get_fn(); ++f) {
    if (!face_live(m, f)) continue;
    const auto& t = m.get_face(f);
    for (int k = 0; k < 3; ++k) {
      const int a = t[k], b = t[(k + 1) % 3];
      ++undirected[{std::min(a, b), std::max(a, b)}];
      ++directed[{a, b}];
    }
  }
  int open = 0, flipped = 0;
  for (const auto& [e, n] : undirected) open += n != 2 ? 1 : 0;
  for (const auto& [e, n] : directed) flipped += n != 1 ? 1 : 0;
  return {open, flipped};
}

}  // namespace fusion_test

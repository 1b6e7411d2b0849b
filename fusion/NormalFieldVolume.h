#pragma once
// NormalFieldVolume: the sparse grid of the normal-field fusion. Frames'
// normals are fused into a field on the cells first; signed distances are
// then taken along the fused normals, so a point whose own normal is off
// (borders, grazing views) still adds a distance consistent with its
// neighbours, with a weight that drops as its normal deviates.
//
// Frame: world coordinates, cell c covers [origin + vs c, origin + vs (c+1)),
// distances positive in front of the surface (toward the sensor). Only cells
// with 3 <= c <= 2^depth - 4 take contributions.
// Threading: one caller at a time; the passes run their own parallel loops.
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "fusion/NormalFieldVoxel.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/Cloud.h"
#include "geometry/RigidMatrix.h"
#include "grid/GridFrame.h"
#include "grid/Octree.h"

namespace TavoAlgorithm {

// One frame: points with normals in its own coordinates (borrowed) and its pose.
struct NormalFieldFrame {
  const Cloud* cloud = nullptr;
  RigidMatrix pose;
};

// Called once per finished item of a phase: (items done so far is counted by
// the caller's progress marks).
using PhaseItemDone = std::function<void()>;

template <typename V>
class NormalFieldVolume {
 public:
  NormalFieldVolume(int depth, float cellSize);
  NormalFieldVolume(const NormalFieldVolume&) = delete;
  NormalFieldVolume& operator=(const NormalFieldVolume&) = delete;

  const grid::GridFrame& grid_frame() const { return m_frame; }
  int thread_num() const { return m_threadNum; }
  bool has_voxels() const { return m_tree.leaf_slots_in_use() > 0; }
  // Centres the grid on the mean of the frame's usable points (at least 51).
  void set_origin_from(const NormalFieldFrame& frame);

  // Items of a pass: the frames when there are two or more, else runs of the
  // one frame's points.
  static std::size_t item_count(const std::vector<NormalFieldFrame>& frames);

  // Normal sums over the 27 neighbours, weighted by the distance from the
  // point's normal line (radius factor R) and from the point. The offset
  // variant also gathers near and far offset sums.
  void fuse_normals(const std::vector<NormalFieldFrame>& frames, float radiusFactor, const PhaseItemDone& done);
  void normalise();
  // Deviation of the frames from the fused normals; marks the unreliable cells.
  void measure_deviation(const std::vector<NormalFieldFrame>& frames, const PhaseItemDone& done);
  // Signed distances along the fused normals (default variant).
  void fuse_distances(const std::vector<NormalFieldFrame>& frames, float radiusFactor, const PhaseItemDone& done);
  // Distances from the offset sums (offset variant only).
  void offsets_to_distances();

  // Marching cubes of the cells with weight: every face, vertex positions in
  // the world, one edge axis per vertex.
  void extract(BaseTriMesh& mesh, std::vector<int>& axes) const;

  // Find-only lookup; null when absent.
  const V* find(const Eigen::Vector3i& c) const { return m_tree.find_payload(c); }

 private:
  template <typename Body>
  void for_points(const std::vector<NormalFieldFrame>& frames, const PhaseItemDone& done, Body body);
  template <typename Body>
  void for_voxels(Body body);

  grid::Octree<V> m_tree;
  grid::GridFrame m_frame;
  int m_threadNum;
};

// w1 of a neighbour at squared distance e2 from the point's normal line.
inline float normal_line_weight(float e2, float radius) {
  const float r2 = radius * radius;
  if (e2 <= r2) return 1.f;
  const float e = std::sqrt(e2) - radius;
  return r2 / (e * e + r2);
}

// What a point with unit normal m adds to the distance sums of a cell with
// fused normal nv whose centre lies at r from the point (cell size vs, normal
// line radius): distance d along nv and its weight w.
inline void distance_contribution(const Eigen::Vector3f& r, const Eigen::Vector3f& m, const Eigen::Vector3f& nv,
                                  float vs, float radius, float& d, float& w, float& e2) {
  d = r.dot(nv);
  e2 = std::max(0.f, r.squaredNorm() - d * d);
  const float dev = 1.f - m.dot(nv);
  w = std::exp(-8.f * dev * dev) * normal_line_weight(e2, radius) * (vs / (r.norm() + 0.1f * vs));
}

// Deviation ratio of a cell in (0.1, 0.3): the frames disagree with its normal.
inline bool deviation_unreliable(float deviationSum, std::uint32_t count) {
  if (count == 0) return false;
  const float ratio = deviationSum / static_cast<float>(count);
  return ratio > 0.1f && ratio < 0.3f;
}

extern template class NormalFieldVolume<NormalFieldVoxel>;
extern template class NormalFieldVolume<NormalOffsetVoxel>;

}  // namespace TavoAlgorithm

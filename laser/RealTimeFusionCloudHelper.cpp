// The real-time laser helper: one tangent-variant octree fed frame by frame,
// its incremental cloud with stable vertex ids, and the editing and meshing
// calls forwarded to the octree.
#include "RealTimeFusionCloudHelper.h"

#include <tbb/concurrent_vector.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <string>
#include <utility>

#include "LaserFusionHelper.h"
#include "Parallel.h"
#include "common/console.h"
#include "laser/FramePoints.h"

namespace TavoAlgorithm {
namespace {
using LaserReconstrcution::LeafTangent;

constexpr int kRealTimeDepth = 13;
constexpr int kMinFramePoints = 10;
// Lines of one frame are integrated on this many workers.
constexpr int kFrameWorkers = 16;

bool finite_pose(const RigidMatrix& rt) {
  return rt.get_rotation().allFinite() && rt.get_translation().allFinite();
}

int finite_points(const std::vector<Cloud>& lines) {
  long long n = 0;
  for (const Cloud& line : lines)
    for (const Eigen::Vector3f& p : line.get_vCoords()) n += p.allFinite();
  return static_cast<int>(std::min<long long>(n, kMinFramePoints));
}

unsigned int truncated_radius(float r) {
  // Negative, NaN and absurd radii give no neighbourhood rather than UB.
  if (!(r >= 0.f)) return 0;
  return static_cast<unsigned int>(std::min(r, static_cast<float>(LaserReconstrcution::kMaxExtendRadius)));
}

const Cloud& empty_cloud() {
  static const Cloud cloud;
  return cloud;
}
}  // namespace

struct RealTimeFusionCloudHelper::State {
  State(float voxelSize, float fusionRadius, float extendRadius, bool useDoubleVoxel)
      : tree(kRealTimeDepth, voxelSize, fusionRadius, fusionRadius, truncated_radius(extendRadius), useDoubleVoxel) {
    cloud.enable_vFlag();
    cloud.enable_vNormal();
  }

  // An erased leaf lost its updated flag: drop it from the pending list, so
  // that its next touch lists it once, not a second time.
  void drop_erased_pending() {
    tbb::concurrent_vector<int> still;
    still.reserve(pending.size());
    for (int index : pending) {
      if (index < 0 || index >= tree.octree().leaf_capacity()) continue;
      const LeafTangent& r = tree.octree().element_at(index).payload;
      const bool updated = ((r.flags | (r.twin != nullptr ? r.twin->flags : 0)) & LaserReconstrcution::LEAF_UPDATED) != 0;
      if (updated) still.push_back(index);
    }
    pending.swap(still);
  }

  LaserFusionHelper<LeafTangent> tree;
  Cloud cloud;
  tbb::concurrent_vector<int> pending;
  std::atomic<int> currentVids{0};
  std::atomic<int> validVids{0};
};

RealTimeFusionCloudHelper::RealTimeFusionCloudHelper(float voxelSize, float fusionRadius, float extendRadius,
                                                     bool useDoubleVoxel) {
  try {
    m_state = std::make_unique<State>(voxelSize, fusionRadius, extendRadius, useDoubleVoxel);
  } catch (const std::bad_alloc&) {
    TAVO_LOG_ERROR("cannot allocate the laser octree");
  } catch (...) {
    console::unknown_exception();
  }
}

RealTimeFusionCloudHelper::~RealTimeFusionCloudHelper() = default;
RealTimeFusionCloudHelper::RealTimeFusionCloudHelper(RealTimeFusionCloudHelper&&) noexcept = default;
RealTimeFusionCloudHelper& RealTimeFusionCloudHelper::operator=(RealTimeFusionCloudHelper&&) noexcept = default;

RetVal RealTimeFusionCloudHelper::fusion_one_laser(const std::vector<Cloud>& lines, const RigidMatrix& rt) {
  if (!m_state) return RETVAL_FAILED;
  if (!finite_pose(rt)) {
    TAVO_LOG_ERROR("frame pose is not finite");
    return RETVAL_FAILED;
  }
  if (finite_points(lines) < kMinFramePoints) return RETVAL_SUCCESS;
  State& s = *m_state;
  try {
    if (m_frameCount == 0 && !s.tree.set_tree_shift(lines, rt)) return RETVAL_SUCCESS;
    // More workers than the machine runs only earn a TBB warning.
    const int workers = std::min(kFrameWorkers, tbb::this_task_arena::max_concurrency());
    s.tree.fusion_one_frame_tangent(frame_points(lines), rt, m_darkMode, workers, s.pending);
  } catch (const std::bad_alloc&) {
    TAVO_LOG_ERROR("out of memory while fusing a laser frame");
    return RETVAL_NO_MEMORY;
  }
  ++m_frameCount;
  return RETVAL_SUCCESS;
}

RetVal RealTimeFusionCloudHelper::fusion_all_laser(const std::vector<std::vector<Cloud>>& frames,
                                                   const std::vector<RigidMatrix>& rts) {
  if (!m_state) return RETVAL_FAILED;
  if (frames.size() != rts.size()) {
    TAVO_LOG_ERROR("frame and pose counts differ: " + std::to_string(frames.size()) + " frames, " +
                   std::to_string(rts.size()) + " poses");
    return RETVAL_FAILED;
  }
  for (std::size_t i = 0; i < frames.size(); ++i) fusion_one_laser(frames[i], rts[i]);
  return RETVAL_SUCCESS;
}

const Cloud& RealTimeFusionCloudHelper::get_cloud(std::vector<int>& changedIds) {
  if (!m_state) return empty_cloud();
  State& s = *m_state;
  const std::size_t given = changedIds.size();
  try {
    s.tree.get_cloud_incremental(s.pending, s.cloud, s.currentVids, s.validVids, changedIds, m_darkMode);
  } catch (const std::bad_alloc&) {
    // The cloud is grown before any leaf is read: the list stays for the
    // next call, or its leaves would never be queued again.
    TAVO_LOG_ERROR("out of memory while refreshing the laser cloud");
    changedIds.resize(given);
    return s.cloud;
  }
  s.pending.clear();
  return s.cloud;
}

int RealTimeFusionCloudHelper::get_current_vids() const { return m_state ? m_state->currentVids.load() : 0; }
int RealTimeFusionCloudHelper::get_valid_vids() const { return m_state ? m_state->validVids.load() : 0; }

const std::vector<int>& RealTimeFusionCloudHelper::get_valid_ids(bool refresh) {
  if (!refresh) return m_validIds;
  m_validIds.clear();
  if (!m_state) return m_validIds;
  const Cloud& c = m_state->cloud;
  const int n = std::min(m_state->currentVids.load(), c.get_vn());
  for (int k = 0; k < n; ++k)
    if (!c.get_vDeleted(k)) m_validIds.push_back(k);
  return m_validIds;
}

void RealTimeFusionCloudHelper::get_marching_cube_cloud(Cloud& out) {
  if (!m_state) {
    out.clear();
    return;
  }
  BaseTriMesh mesh;
  get_marching_cube_mesh(mesh);
  out = static_cast<const Cloud&>(mesh);
}

void RealTimeFusionCloudHelper::get_marching_cube_mesh(BaseTriMesh& mesh) {
  mesh.clear();
  if (!m_state) return;
  try {
    std::vector<int> faceWork, axes;
    tbb::concurrent_vector<int> faceList;
    mesh = m_state->tree.get_mesh(faceWork, faceList, axes);
  } catch (const std::bad_alloc&) {
    TAVO_LOG_ERROR("out of memory while building the laser mesh");
    mesh.clear();
    return;
  }
  // The incremental cloud stores the offset of the surface along the
  // normal (positive behind the cell centre), the opposite sign of a signed
  // distance: turn the faces so that they face the scanner.
  for (int f = 0; f < mesh.get_fn(); ++f) {
    BaseTriFace face = mesh.get_face(f);
    std::swap(face[1], face[2]);
    mesh.set_face(f, face);
  }
  mesh.update_fNrv();
  mesh.update_VNrv();
}

void RealTimeFusionCloudHelper::make_union(BaseTriMesh& mesh) {
  if (m_state) m_state->tree.make_union(m_state->cloud, mesh);
}

const Cloud& RealTimeFusionCloudHelper::delete_grid_point_by_save_cloud(const std::vector<Eigen::Vector3f>& keepPoints,
                                                                        std::vector<int>& deletedIds) {
  deletedIds.clear();
  if (!m_state) return empty_cloud();
  State& s = *m_state;
  s.tree.delete_grid_point_by_save_cloud(keepPoints, s.cloud, deletedIds);
  s.validVids -= static_cast<int>(deletedIds.size());
  s.drop_erased_pending();
  return s.cloud;
}

const Cloud& RealTimeFusionCloudHelper::delete_grid_point_by_select_points(const OrvaneMarkPoints& marks,
                                                                           const std::vector<Eigen::Vector3f>& points,
                                                                           std::vector<int>& deletedIds) {
  deletedIds.clear();
  if (!m_state) return empty_cloud();
  State& s = *m_state;
  s.tree.delete_grid_point_by_select_points(marks, points, s.currentVids.load(), s.cloud, deletedIds);
  s.validVids -= static_cast<int>(deletedIds.size());
  s.drop_erased_pending();
  return s.cloud;
}

void RealTimeFusionCloudHelper::map_on_frame_delete_point(std::vector<std::vector<Cloud>>& frames,
                                                          std::vector<RigidMatrix>& rts, std::vector<int>& keptFrames) {
  if (m_state) m_state->tree.map_on_frame_delete_point(frames, rts, keptFrames);
}

void RealTimeFusionCloudHelper::set_extend_radius(unsigned int r) {
  if (m_state) m_state->tree.set_extend_radius(r);
}

void RealTimeFusionCloudHelper::set_use_double_voxel(bool on) {
  if (m_state) m_state->tree.set_use_double_voxel(on);
}

void RealTimeFusionCloudHelper::set_tbb_num_threads(int n) {
  if (m_state && n >= 1) m_state->tree.set_tbb_num_threads(n);
}

const Eigen::Vector3f& RealTimeFusionCloudHelper::get_tree_shift() const {
  static const Eigen::Vector3f zero = Eigen::Vector3f::Zero();
  return m_state ? m_state->tree.get_tree_shift() : zero;
}

const LaserFusionHelper<LeafTangent>* RealTimeFusionCloudHelper::octree() const {
  return m_state ? &m_state->tree : nullptr;
}

}  // namespace TavoAlgorithm

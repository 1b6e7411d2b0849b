// Whole-scan laser fusion: the helper's two batch overloads and the exported
// one-call functions that build a helper on a box, fuse and drop it.
#include <tbb/concurrent_vector.h>

#include <cmath>
#include <memory>
#include <new>
#include <string>

#include "LaserBatchFusion.h"
#include "LaserFusionHelper.h"
#include "Parallel.h"
#include "common/console.h"
#include "common/trace/Trace.h"
#include "laser/FramePoints.h"

namespace TavoAlgorithm {
namespace {
using LaserReconstrcution::Leaf;
using LaserReconstrcution::LeafTangent;

constexpr int kBatchDepth = 13;
constexpr int kFineBatchDepth = 14;
// Cells finer than this get the deeper grid, so that the scan still fits.
constexpr double kFineCellLimit = 0.1;

Eigen::Vector3f view_direction(const RigidMatrix& rt) {
  return rt.transform_normal(Eigen::Vector3f(Eigen::Vector3f::UnitZ()));
}

bool enough_poses(std::size_t frames, std::size_t poses) {
  if (poses >= frames) return true;
  TAVO_LOG_ERROR("fewer frame poses (" + std::to_string(poses) + ") than frames (" + std::to_string(frames) + ")");
  return false;
}

// The free functions' common checks: a cell size the grid can use and a
// box corner to put the grid at.
bool usable_grid(const BoundingBox& bbox, float pointDis) {
  if (!(pointDis > 0.f) || !std::isfinite(pointDis)) {
    TAVO_LOG_ERROR("point distance must be positive");
    return false;
  }
  if (!bbox.min_corner().allFinite()) {
    TAVO_LOG_ERROR("bounding box has no finite minimum corner");
    return false;
  }
  return true;
}
}  // namespace

template <typename T>
RetVal LaserFusionHelper<T>::fusion_all_frame(std::vector<std::vector<Cloud>>& frames,
                                              const std::vector<RigidMatrix>& rts, Cloud& cloud) {
  if (frames.empty()) return RETVAL_SUCCESS;
  if (!enough_poses(frames.size(), rts.size())) return RETVAL_FAILED;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    // The pending list holds every leaf touched by this frame once, which is
    // what the flags must be cleared on before the next frame.
    tbb::concurrent_vector<int> touched;
    fusion_one_frame_tangent(frame_points(frames[i]), rts[i], true, m_threadNum, touched);
    clear_update_flags(touched);
  }
  integrate_into_tsdf();
  get_cloud(cloud);
  return RETVAL_SUCCESS;
}

template <typename T>
RetVal LaserFusionHelper<T>::fusion_all_frame(std::vector<std::vector<Cloud>>& frames,
                                              const std::vector<RigidMatrix>& rts, bool useTangent,
                                              BaseTriMesh& mesh, std::vector<int>& vertexIds) {
  if (frames.empty()) return RETVAL_SUCCESS;
  if (!enough_poses(frames.size(), rts.size())) return RETVAL_FAILED;
  if (useTangent) {
    // The real-time helper's frame pass, frame after frame, without its
    // normal estimates: each record is estimated once, after all frames are
    // in, against the view of the frame that touched it first (the records
    // that frame's pending list holds, since no flag is cleared meanwhile).
    std::vector<tbb::concurrent_vector<int>> firstTouched(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i)
      fuse_frame_tangent(frame_points(frames[i]), rts[i], false, false, m_threadNum, firstTouched[i]);
    // Not in dark mode: that only marks a record estimable on its first
    // visit, and there is no second one here.
    for (std::size_t i = 0; i < frames.size(); ++i) {
      update_normal(view_direction(rts[i]), firstTouched[i], false);
      clear_update_flags(firstTouched[i]);
    }
  } else {
    auxilary_tbb_for(m_threadNum, 0, frames.size(), [&](std::size_t i) {
      std::vector<Eigen::Vector3f> normals;
      for (const Cloud& line : frames[i]) {
        if (line.get_vn() == 0) continue;
        if (!line.has_vNormal()) {
          console::message("frame not have vNormal");
          continue;
        }
        normals.resize(static_cast<std::size_t>(line.get_vn()));
        for (int k = 0; k < line.get_vn(); ++k) normals[static_cast<std::size_t>(k)] = line.get_vNrv(k);
        fusion_one_lines_normal(line.get_vCoords(), normals, rts[i]);
      }
    });
  }
  integrate_into_tsdf();
  std::vector<int> faceWork;
  tbb::concurrent_vector<int> faceList;
  mesh = get_mesh(faceWork, faceList, vertexIds);
  return RETVAL_SUCCESS;
}

template RetVal LaserFusionHelper<Leaf>::fusion_all_frame(std::vector<std::vector<Cloud>>&,
                                                          const std::vector<RigidMatrix>&, Cloud&);
template RetVal LaserFusionHelper<LeafTangent>::fusion_all_frame(std::vector<std::vector<Cloud>>&,
                                                                 const std::vector<RigidMatrix>&, Cloud&);
template RetVal LaserFusionHelper<Leaf>::fusion_all_frame(std::vector<std::vector<Cloud>>&,
                                                          const std::vector<RigidMatrix>&, bool, BaseTriMesh&,
                                                          std::vector<int>&);
template RetVal LaserFusionHelper<LeafTangent>::fusion_all_frame(std::vector<std::vector<Cloud>>&,
                                                                 const std::vector<RigidMatrix>&, bool,
                                                                 BaseTriMesh&, std::vector<int>&);

namespace {
int batch_depth(float pointDis, bool useTangent) {
  return !useTangent && static_cast<double>(pointDis) < kFineCellLimit ? kFineBatchDepth : kBatchDepth;
}

template <typename T, typename Run>
void fuse_on_box(int depth, const BoundingBox& bbox, float pointDis, float minFusionRadius,
                 unsigned int extendRadius, bool useDoubleVoxel, Run run) {
  try {
    auto helper = std::make_unique<LaserFusionHelper<T>>(depth, pointDis, pointDis, minFusionRadius, extendRadius,
                                                         useDoubleVoxel);
    helper->set_tree_shift(bbox.min_corner());
    run(*helper);
  } catch (const std::bad_alloc&) {
    TAVO_LOG_ERROR("out of memory while fusing the laser scan");
  } catch (...) {
    console::unknown_exception();
  }
}
}  // namespace

// The trace entry may replace the inputs (replay), so the constant ones are
// copied.
void fusion_all_frame_laser(std::vector<std::vector<Cloud>>& all_frame_clds,
                            const std::vector<RigidMatrix>& all_frame_rts, const BoundingBox& bbox, float pointDis,
                            float minFusionRadius, bool useTangent, bool useDoubleVoxel, BaseTriMesh& mesh,
                            std::vector<int>& vertexIds, unsigned int extendRadius) {
  std::vector<RigidMatrix> rts = all_frame_rts;
  BoundingBox box = bbox;
  if (trace("fusion_all_frame_laser", all_frame_clds, "all_frame_clds", rts, "all_frame_rts", box, "bbox", pointDis,
            "pointDis", minFusionRadius, "minFusionRadius", useTangent, "useTangent", useDoubleVoxel,
            "useDoubleVoxel") == TraceOutcome::ReplayFailed)
    return;
  if (all_frame_clds.empty() || !usable_grid(box, pointDis)) return;
  const int depth = batch_depth(pointDis, useTangent);
  auto run = [&](auto& helper) { helper.fusion_all_frame(all_frame_clds, rts, useTangent, mesh, vertexIds); };
  if (useTangent)
    fuse_on_box<LeafTangent>(depth, box, pointDis, minFusionRadius, extendRadius, useDoubleVoxel, run);
  else
    fuse_on_box<Leaf>(depth, box, pointDis, minFusionRadius, extendRadius, useDoubleVoxel, run);
}

void fusion_all_frame_laser(std::vector<std::vector<Cloud>>& all_frame_clds,
                            const std::vector<RigidMatrix>& all_frame_rts, const BoundingBox& bbox, float pointDis,
                            float minFusionRadius, bool useDoubleVoxel, Cloud& cloud, unsigned int extendRadius) {
  std::vector<RigidMatrix> rts = all_frame_rts;
  BoundingBox box = bbox;
  if (trace("fusion_all_frame_laser", all_frame_clds, "all_frame_clds", rts, "all_frame_rts", box, "bbox", pointDis,
            "pointDis", minFusionRadius, "minFusionRadius", useDoubleVoxel,
            "useDoubleVoxel") == TraceOutcome::ReplayFailed)
    return;
  if (all_frame_clds.empty() || !usable_grid(box, pointDis)) return;
  fuse_on_box<LeafTangent>(kBatchDepth, box, pointDis, minFusionRadius, extendRadius, useDoubleVoxel,
                           [&](auto& helper) { helper.fusion_all_frame(all_frame_clds, rts, cloud); });
}

}  // namespace TavoAlgorithm

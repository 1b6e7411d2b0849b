#pragma once
// RealTimeFusionCloudHelper: laser frames in while the scanner runs, one
// incrementally updated point cloud out.
//
// Calling order: fusion_one_laser (per frame) interleaved with get_cloud,
// optional edits, then get_marching_cube_cloud / get_marching_cube_mesh and
// make_union. Frames: points of each line in the camera frame; rt maps
// camera to world; cloud points are world coordinates.
//
// Cloud contract: vertex k of the cloud returned by get_cloud belongs to one
// grid cell for the life of the helper (ids are never reused). Each
// get_cloud reports in changedIds the ids whose vertex was added, moved or
// deleted since the previous call; each edit reports the ids it deleted. A
// caller that applies exactly those reports to its own copy holds the
// helper's live points. The cloud's array grows in steps of 1,000,000, so
// it may be longer than get_current_vids(); unused slots are marked deleted.
//
// Ownership: the helper owns its octree and cloud; it cannot be copied (a
// copy would share or duplicate a grid of hundreds of megabytes), only
// moved. A moved-from helper, or one whose construction ran out of memory,
// has no state: fusion returns 2, the other calls do nothing or return
// empty results. Threading: one caller thread; calls are not re-entrant.
// A frame's line integration and normal estimates run on up to 16 workers
// whatever set_tbb_num_threads says; the whole-tree and editing passes use
// that thread count.
// Exported calls do not throw.
#include <Eigen/Core>
#include <memory>
#include <vector>

#include "OrvaneMarkPoints.h"
#include "RetVal.h"
#include "TavoExport.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/Cloud.h"
#include "geometry/RigidMatrix.h"

namespace LaserReconstrcution {
struct LeafTangent;
}

namespace TavoAlgorithm {

template <typename T>
class LaserFusionHelper;

class TAVO_API RealTimeFusionCloudHelper {
 public:
  // Grid of 8192 cells of voxelSize per axis (a voxelSize <= 0 becomes 0.5),
  // centred on the first frame with at least 10 finite points.
  // fusionRadius serves as point distance and minimum fusion radius;
  // extendRadius is truncated toward zero (3.9 gives 3; negative or NaN
  // gives 0, more than 64 gives 64).
  RealTimeFusionCloudHelper(float voxelSize, float fusionRadius, float extendRadius, bool useDoubleVoxel);
  ~RealTimeFusionCloudHelper();
  RealTimeFusionCloudHelper(const RealTimeFusionCloudHelper&) = delete;
  RealTimeFusionCloudHelper& operator=(const RealTimeFusionCloudHelper&) = delete;
  RealTimeFusionCloudHelper(RealTimeFusionCloudHelper&&) noexcept;
  RealTimeFusionCloudHelper& operator=(RealTimeFusionCloudHelper&&) noexcept;

  // Fuses the lines of one frame. Returns 0 (also for a frame of fewer than
  // 10 finite points, which is ignored and not counted), 2 without state or
  // when rt is not finite. NaN points are skipped.
  RetVal fusion_one_laser(const std::vector<Cloud>& lines, const RigidMatrix& rt);
  // fusion_one_laser for every frame in order; 0, or 2 without state or
  // when the counts of frames and poses differ (then nothing is fused).
  RetVal fusion_all_laser(const std::vector<std::vector<Cloud>>& frames, const std::vector<RigidMatrix>& rts);

  // Refreshes the points of the cells touched since the previous call and
  // appends their ids to changedIds (a deleted vertex among them has left
  // the model). Out of memory it prints an error, leaves changedIds and the
  // cloud as they were and keeps the cells for the next call. Returns the
  // helper's cloud.
  const Cloud& get_cloud(std::vector<int>& changedIds);
  int get_current_vids() const;  // ids handed out so far
  int get_valid_vids() const;    // of those, the vertices not deleted
  // refresh: rebuild the ascending list of live ids; otherwise return the
  // list of the last refresh (empty before the first).
  const std::vector<int>& get_valid_ids(bool refresh);
  int get_frame_count() const { return m_frameCount; }

  // Marching-cubes vertices of the grid (with normals) as a cloud; run
  // get_cloud first, it sets the cells' distances.
  void get_marching_cube_cloud(Cloud& out);
  // The same construction with its faces, normals facing the scanner.
  void get_marching_cube_mesh(BaseTriMesh& mesh);
  // Marks deleted the vertices of mesh that no live cloud point supports.
  void make_union(BaseTriMesh& mesh);

  // Editing (world coordinates): see LaserFusionHelper. deletedIds is
  // overwritten with the erased ids; the valid count drops by their number.
  const Cloud& delete_grid_point_by_save_cloud(const std::vector<Eigen::Vector3f>& keepPoints,
                                               std::vector<int>& deletedIds);
  const Cloud& delete_grid_point_by_select_points(const OrvaneMarkPoints& marks,
                                                  const std::vector<Eigen::Vector3f>& points,
                                                  std::vector<int>& deletedIds);
  void map_on_frame_delete_point(std::vector<std::vector<Cloud>>& frames, std::vector<RigidMatrix>& rts,
                                 std::vector<int>& keptFrames);

  void set_dark_mode(bool on) { m_darkMode = on; }
  // r above 64 is taken as 64, as in the constructor.
  void set_extend_radius(unsigned int r);
  void set_use_double_voxel(bool on);
  // n >= 1 sets the octree's thread counts; other values change nothing.
  void set_tbb_num_threads(int n);
  const Eigen::Vector3f& get_tree_shift() const;
  // Read-only view of the octree (null without state).
  const LaserFusionHelper<LaserReconstrcution::LeafTangent>* octree() const;

 private:
  struct State;
  std::unique_ptr<State> m_state;
  std::vector<int> m_validIds;
  int m_frameCount = 0;
  bool m_darkMode = false;
};

}  // namespace TavoAlgorithm

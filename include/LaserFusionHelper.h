#pragma once
// LaserFusionHelper<T>: laser line fusion into a sparse octree of per-cell
// records, exported for T = LaserReconstrcution::Leaf (lines with normals) and
// T = LaserReconstrcution::LeafTangent (lines without normals).
//
// Grid: 2^D cells per axis of edge `voxelSize` (world units); the tree shift
// is the world position of the grid corner, so a world point p lies in cell
// trunc((p - shift) / voxelSize). Only cells with 3 <= g < 2^D - 3 on every
// axis are ever written; others are dropped.
//
// Ownership: the helper owns its octree, twin pool and offset tables; it
// cannot be copied. Threading: one caller thread at a time; the helper runs
// its own parallel loops. Bad input never throws; memory exhaustion of the
// leaf array does (std::bad_alloc).
#include <tbb/concurrent_vector.h>

#include <Eigen/Core>
#include <atomic>
#include <vector>

#include "OrvaneMarkPoints.h"
#include "RetVal.h"
#include "TavoExport.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/Cloud.h"
#include "geometry/RigidMatrix.h"
#include "grid/GridFrame.h"
#include "grid/Octree.h"
#include "laser/LeafRecords.h"
#include "laser/LineIntegrator.h"
#include "laser/TwinPool.h"

namespace TavoAlgorithm {

// Cells nearer than this to a grid face are never integrated.
inline constexpr int kLaserGridBorder = 3;
// Replaces a non-positive cell size.
inline constexpr float kDefaultLaserVoxelSize = 0.5f;

template <typename T>
class TAVO_API LaserFusionHelper {
 public:
  // depth is raised to at least 10; a voxelSize <= 0 becomes 0.5. Tree shift
  // starts at zero; both thread counts at the OpenMP maximum.
  LaserFusionHelper(int depth, float voxelSize, float pointDis, float minFusionRadius,
                    unsigned int extendRadius, bool useDoubleVoxel);
  ~LaserFusionHelper();
  LaserFusionHelper(const LaserFusionHelper&) = delete;
  LaserFusionHelper& operator=(const LaserFusionHelper&) = delete;

  void set_tree_shift(const Eigen::Vector3f& shift) { m_frame.origin = shift; }
  const Eigen::Vector3f& get_tree_shift() const { return m_frame.origin; }
  // Centres the grid on a frame: the mean of every finite point of every
  // line, mapped by rt (camera to world), minus half the grid extent. Returns
  // false and keeps the shift when the lines hold no finite point or the
  // mapped mean is not finite.
  bool set_tree_shift(const std::vector<Cloud>& lines, const RigidMatrix& rt);

  // Rebuilds the neighbour offset tables for radius r with the current cell
  // size; r above 64 is taken as 64.
  void set_extend_radius(unsigned int r);
  void set_use_double_voxel(bool on) { m_useDoubleVoxel = on; }
  // n > 0 sets both thread counts; other values keep them.
  void set_tbb_num_threads(int n);

  // --- Line integration -------------------------------------------------
  // One line of points with a unit normal each, both in the camera frame; rt
  // maps camera to world. Consecutive points form segments; segments with an
  // end outside the writable cells, a NaN or zero normal, or longer than
  // 4 x minFusionRadius are skipped. Returns 0 (also when nothing was
  // fused), 2 when the counts of points and normals differ, 4 when a twin
  // record is needed and the twin pool cannot grow. Thread-safe against
  // other integration calls on the same helper.
  RetVal fusion_one_lines_normal(const std::vector<Eigen::Vector3f>& points,
                                 const std::vector<Eigen::Vector3f>& normals, const RigidMatrix& rt);
  // One line of points without normals (camera frame). Every touched leaf is
  // appended to updatedLeaves, and to pendingLeaves when neither the leaf nor
  // its twin is already marked updated (so it enters that list once between
  // two clear_update_flags). Returns 0, or 3 when the twin pool cannot grow.
  // Thread-safe against other integration calls on the same helper.
  RetVal fusion_one_lines_tangent(const std::vector<Eigen::Vector3f>& points, const RigidMatrix& rt,
                                  tbb::concurrent_vector<int>& pendingLeaves,
                                  tbb::concurrent_vector<int>& updatedLeaves);
  // One frame of such lines (null entries are skipped), with the same sums,
  // pending list and normals as fusion_one_lines_tangent on every line
  // followed by update_normal(rt's +z axis, the touched leaves, darkMode).
  // The lines are cut into pieces of similar size shared by `workers`
  // tasks, so that a frame of fewer or unequal lines keeps them all busy;
  // each record still takes its contributions in line order, so the sums
  // are the same, bit for bit, for any number of workers.
  // Returns 0, or 3 when the twin pool could not grow (the normals are
  // still updated).
  RetVal fusion_one_frame_tangent(const std::vector<const std::vector<Eigen::Vector3f>*>& lines,
                                  const RigidMatrix& rt, bool darkMode, int workers,
                                  tbb::concurrent_vector<int>& pendingLeaves);

  // Whole-tree pass after a batch of lines: folds twins that face the same
  // way into their leaf, then sets sdf = -(mean offset . normal) on every
  // record with at least two contributions (positive in front of the surface).
  void integrate_into_tsdf();
  // Re-estimates, from the tangent moments, the normals of the listed leaves
  // and their twins that were updated since their last estimate; stored
  // normals face against viewDir (the camera's +z axis in the world). Leaf
  // records keep no moments: their normals are their normal sums, untouched here.
  void update_normal(const Eigen::Vector3f& viewDir, const tbb::concurrent_vector<int>& leaves,
                     bool darkMode);
  // Clears the updated flag of each listed leaf and its twin.
  void clear_update_flags(const tbb::concurrent_vector<int>& leaves);
  // Makes sure every listed leaf index is backed by the leaf array; vids is
  // not changed.
  void get_update_vid(const tbb::concurrent_vector<int>& leaves, std::vector<int>& vids);

  // --- Whole scans ---------------------------------------------------------
  // frames[i][j] is line j of frame i (camera frame), rts[i] maps frame i to
  // the world; lines without vertices are skipped, rts may be longer than
  // frames. Both add to the helper's present tree. An empty frame list returns
  // 0 and leaves the outputs untouched; fewer poses than frames return 2
  // (with a console line), outputs untouched. Memory exhaustion of the leaf
  // array throws std::bad_alloc.
  //
  // Tangent integration, frame after frame (the lines of a frame in
  // parallel), each frame's normals re-estimated against its view direction
  // with the cautious (dark mode) rule; then the whole-tree signed distances,
  // and `cloud` is replaced by get_cloud. Returns 0.
  RetVal fusion_all_frame(std::vector<std::vector<Cloud>>& frames, const std::vector<RigidMatrix>& rts,
                          Cloud& cloud);
  // With useTangent by tangents, frame after frame through the frame pass
  // of fusion_one_frame_tangent (the lines of a frame shared by the
  // workers), and once all frames are in, each touched record's normal
  // estimated once, by the plain rule, against the view direction of the
  // first frame that touched it. Otherwise frames in parallel, the lines of
  // a frame in order, by the lines' vertex normals; a line without normals
  // prints "frame not have vNormal" and is skipped.
  // Then integrate_into_tsdf, and `mesh` is replaced by get_mesh with
  // vertexIds the edge axis (0, 1, 2) of each vertex. Returns 0.
  RetVal fusion_all_frame(std::vector<std::vector<Cloud>>& frames, const std::vector<RigidMatrix>& rts,
                          bool useTangent, BaseTriMesh& mesh, std::vector<int>& vertexIds);

  // --- Surface extraction -------------------------------------------------
  // One point with normal per reliable record (count >= 6, weight >= 0.5,
  // projection inside the cell); cloud is replaced, normals enabled. Point
  // order is not deterministic.
  void get_cloud(Cloud& cloud);
  // LeafTangent only (a Leaf helper leaves everything unchanged): refreshes
  // the points of the pending leaves in place. Vertex k of `cloud` belongs to
  // the record whose vertex id is k; ids are stable for the life of the
  // helper. The cloud grows in steps of 1,000,000 slots, unused slots are
  // marked deleted; currentVids is the next id, validVids the live count.
  // changedIds receives the ids of the pending records; their updated flags
  // are cleared.
  void get_cloud_incremental(const tbb::concurrent_vector<int>& pending, Cloud& cloud,
                             std::atomic<int>& currentVids, std::atomic<int>& validVids,
                             std::vector<int>& changedIds, bool darkMode);
  // Marching cubes over the cell centres of the leaves, with the signed
  // distances of integrate_into_tsdf (run it first). faceWork and faceList
  // are working storage; vertexAxis receives the edge axis of each vertex.
  BaseTriMesh get_mesh(std::vector<int>& faceWork, tbb::concurrent_vector<int>& faceList,
                       std::vector<int>& vertexAxis);
  // The vertices of get_mesh (with area-weighted normals) as a cloud; `in`
  // is not read.
  void get_marching_cube_cloud(const Cloud& in, Cloud& out);
  // Marks deleted every vertex of mesh that has no live point of cloud
  // (a LeafTangent vertex id) within three cells; faces are not touched.
  void make_union(const Cloud& cloud, BaseTriMesh& mesh);

  // --- Editing (points in world coordinates) -------------------------------
  // Empties every leaf that has no keep point within its box of cells from
  // one below to five above the keep point's cell on each axis; the live
  // cloud vertices of emptied records (and their twins) are marked deleted
  // and moved to the origin. deletedIds is overwritten with their ids, each
  // once, in no fixed order. An empty list empties the whole model.
  // Multi-threaded (helper thread count); cloud vertices only for LeafTangent.
  void delete_grid_point_by_save_cloud(const std::vector<Eigen::Vector3f>& keepPoints, Cloud& cloud,
                                       std::vector<int>& deletedIds);
  // Erases the cells of the selected points (and the face neighbour of a
  // cell where the point lies within 0.05 of that face), every cell not
  // backed by a live vertex among ids 0 ... currentVids - 1, and, when
  // marks.markIds is not empty, the cells whose centres lie within
  // marks.radius of a mark point. deletedIds as above.
  void delete_grid_point_by_select_points(const OrvaneMarkPoints& marks, const std::vector<Eigen::Vector3f>& points,
                                          int currentVids, Cloud& cloud, std::vector<int>& deletedIds);
  // Drops from the stored frames the points whose cells were erased (an
  // erased stretch of a line keeps one point at each end), then the lines
  // left empty, then the frames left without lines; rts follows frames and
  // the input index of each kept frame is appended to keptFrames (so an
  // erased model leaves both lists empty). Frames and rts of different
  // lengths, or a model with no leaf yet, leave everything unchanged (with a
  // console line). Non-finite points are always dropped. rts map camera to
  // world. Multi-threaded over frames (helper thread count).
  void map_on_frame_delete_point(std::vector<std::vector<Cloud>>& frames, std::vector<RigidMatrix>& rts,
                                 std::vector<int>& keptFrames);

  // Read access for the integration, extraction and editing code.
  int get_depth() const { return m_tree.depth(); }
  int get_grid_size() const { return m_tree.grid_size(); }
  float get_voxel_size() const { return m_frame.cellSize; }
  float get_point_dis() const { return m_pointDis; }
  float get_min_fusion_radius() const { return m_minFusionRadius; }
  bool get_use_double_voxel() const { return m_useDoubleVoxel; }
  unsigned int get_extend_radius() const { return m_integrator.extendRadius; }
  int get_integrator_threads() const { return m_integrator.threadNum; }
  int get_helper_threads() const { return m_threadNum; }

  // Tree shift (the origin), cell size, depth, and the border band: the
  // usable cells are the ones integration may write (3 <= g < 2^D - 3).
  const grid::GridFrame& grid_frame() const { return m_frame; }

  TavoOctree::Octree<T>& octree() { return m_tree; }
  const TavoOctree::Octree<T>& octree() const { return m_tree; }
  TavoOctree::TwinPool<T>& twin_pool() { return m_twins; }
  const LaserReconstrcution::LineIntegrator& integrator() const { return m_integrator; }

 private:
  // fusion_one_frame_tangent; without `estimate` the touched records keep
  // their normals stale for a later update_normal over the pending list.
  RetVal fuse_frame_tangent(const std::vector<const std::vector<Eigen::Vector3f>*>& lines, const RigidMatrix& rt,
                            bool estimate, bool darkMode, int workers, tbb::concurrent_vector<int>& pendingLeaves);

  TavoOctree::Octree<T> m_tree;
  grid::GridFrame m_frame;
  TavoOctree::TwinPool<T> m_twins;
  LaserReconstrcution::LineIntegrator m_integrator;
  float m_minFusionRadius;
  float m_pointDis;
  bool m_useDoubleVoxel;
  int m_threadNum;
};

extern template class LaserFusionHelper<LaserReconstrcution::Leaf>;
extern template class LaserFusionHelper<LaserReconstrcution::LeafTangent>;

}  // namespace TavoAlgorithm

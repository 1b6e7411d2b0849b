#pragma once
// TsdfVolume: truncated signed distance field of range frames, stored sparsely
// in an octree of TsdfVoxel cells, with its incrementally extracted mesh.
//
// Frame: world coordinates; cell (x, y, z) covers
// [origin + vs (x, y, z), origin + vs (x + 1, y + 1, z + 1)). Distances are
// positive in front of the surface (toward the sensor). Only cells with
// 3 <= c <= 2^depth - 4 on every axis receive contributions.
//
// Threading: one caller at a time; every call runs its own parallel loops on
// get_thread_num() workers. Bad input (count mismatches, NaN points, normals
// or poses) is refused or skipped as each call says; growth that cannot
// allocate throws std::bad_alloc.
#include <Eigen/Core>
#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <tbb/concurrent_vector.h>

#include "fusion/TsdfVoxel.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/Cloud.h"
#include "geometry/RigidMatrix.h"
#include "grid/GridFrame.h"
#include "grid/NodeBaseCache.h"
#include "grid/Octree.h"

namespace TavoAlgorithm {

static_assert(sizeof(grid::LeafElement<TsdfVoxel>) == 64, "a TSDF leaf element fills one cache line");

inline constexpr int kTsdfDefaultDepth = 13;
inline constexpr float kTsdfDefaultVoxelSize = 0.5f;
inline constexpr int kTsdfBorder = 3;
// A first frame needs this many usable points to fix the origin.
inline constexpr int kTsdfMinOriginPoints = 51;
inline constexpr int kMeshInitialSlots = 1000000;
inline constexpr int kMeshGrowth = 1000000;
inline constexpr int kMeshHeadroom = 500000;

// One frame ready for integration: points in the camera frame with their
// smoothed unit normals and weights (equal lengths), the camera-to-world pose
// and the neighbourhood choice (125 cells when wideSpread, else 27).
struct PreparedFrame {
  Cloud cloud;
  std::vector<Eigen::Vector3f> normals;
  std::vector<float> weights;
  RigidMatrix pose;
  bool wideSpread = false;
};

// One point whose earlier contribution is taken out again.
struct RemovedPoint {
  Eigen::Vector3f point;
  Eigen::Vector3f normal;
  RigidMatrix pose;
  float weight = 1.f;
  bool wideSpread = false;
};

class TsdfVolume {
 public:
  // depth below 10 becomes 10; voxelSize <= 0 (or NaN) becomes 0.5.
  TsdfVolume(int depth, float voxelSize);
  TsdfVolume(const TsdfVolume&) = delete;
  TsdfVolume& operator=(const TsdfVolume&) = delete;

  int get_depth() const { return m_tree.depth(); }
  int get_grid_size() const { return m_tree.grid_size(); }
  float get_voxel_size() const { return m_frame.cellSize; }
  const Eigen::Vector3f& get_origin() const { return m_frame.origin; }
  // Origin, voxel size, depth and the border band of unusable cells.
  const grid::GridFrame& grid_frame() const { return m_frame; }
  int get_thread_num() const { return m_threadNum; }
  void set_thread_num(int n) {
    if (n > 0) m_threadNum = n;
  }

  // Offset tables, x fastest, then y, then z.
  static const std::vector<Eigen::Vector3i>& offsets27();
  static const std::vector<Eigen::Vector3i>& offsets125();

  // Adds the frames (Algorithm of integration): origin from the first frame
  // when the volume is empty, then every point into its neighbourhood.
  // Returns false without change when `frames` is empty or a frame's lists
  // differ in length.
  bool integrate(std::vector<PreparedFrame>& frames);
  // Points of the integrated frames that fell outside the usable cells and
  // were dropped, since the volume was made (points skipped for a NaN
  // coordinate, normal or weight are not counted).
  long long get_outside_point_count() const { return m_outsidePoints; }
  // Points that integrate() added to the volume since it was made (points
  // skipped as deleted, unusable or outside are not counted; removals are
  // not subtracted).
  long long integrated_point_count() const { return m_integratedPoints; }
  // Subtracts earlier contributions; voxels are only looked up.
  void remove(const std::vector<RemovedPoint>& points);
  // Marks dirty the existing voxels whose edges or cubes depend on a dirty one.
  void propagate_dirty();

  // Marks an existing voxel dirty (after its sums were edited directly);
  // false when the cell has no voxel.
  bool mark_dirty(const Eigen::Vector3i& c);

  // Incremental extraction of the dirty voxels into the owned mesh.
  void extract();
  // The owned mesh cut to exactly counter-many vertices and faces (deleted
  // ones included) and the per-vertex edge axis list cut likewise.
  void copy_mesh(BaseTriMesh& mesh, std::vector<int>& axes) const;
  const BaseTriMesh& get_mesh() const { return m_mesh; }
  int get_vertex_counter() const { return m_vertexCounter.load(); }
  int get_face_counter() const { return m_faceCounter.load(); }

  // Find-only voxel lookup; null when absent.
  const TsdfVoxel* find_voxel(const Eigen::Vector3i& c) const { return m_tree.find_payload(c); }
  TsdfVoxel* find_voxel(const Eigen::Vector3i& c) { return m_tree.find_payload(c); }
  grid::Octree<TsdfVoxel>& octree() { return m_tree; }
  const grid::Octree<TsdfVoxel>& octree() const { return m_tree; }
  bool has_voxels() const;
  // Voxels made dirty since the last extraction (each listed once).
  std::size_t dirty_count() const { return m_dirty.size(); }

 private:
  // Node caches of one task: creating (integration) and find-only.
  using VoxelCreator = grid::NodeBaseCache<TsdfVoxel, true>;
  using VoxelFinder = grid::NodeBaseCache<TsdfVoxel, false>;

  // Where a point falls: Usable (its local position q and cell c are set),
  // Skipped (not finite, normal or depth unusable) or Outside (finite,
  // beyond the usable cells).
  enum class Place { Usable, Skipped, Outside };
  // The node bases of the finest nodes one point's neighbourhood spans
  // (x fastest from `first`), kept by a task for the next points while they
  // span the same nodes; kUnresolved until a neighbour needs one.
  static constexpr int kUnresolved = INT_MIN;
  struct NodeMemo {
    Eigen::Vector3i first = Eigen::Vector3i::Constant(INT_MIN);
    int radius = 0;
    std::array<int, 27> base{};
  };
  // Adds (sign 1) or subtracts (-1) one point's contribution to the voxels
  // of its neighbourhood whose x lies in [xLo, xHi], appending the voxels it
  // turns dirty to `dirty` (under their locks when `shared`); Usable when it
  // did.
  template <typename Cache>
  Place integrate_point(const Eigen::Vector3f& p, const Eigen::Vector3f& n, float weight, const RigidMatrix& pose,
                        bool wide, float sign, Cache& cache, NodeMemo& memo, std::vector<int>& dirty, bool shared,
                        int xLo, int xHi);
  Place locate(const Eigen::Vector3f& p, const Eigen::Vector3f& n, float weight, const RigidMatrix& pose,
               Eigen::Vector3f& q, Eigen::Vector3i& c) const;
  void set_origin_from(const PreparedFrame& frame);
  // Grow by whole steps until capacity - needed >= margin.
  void ensure_vertex_slots(long long needed, long long margin = kMeshHeadroom);
  void ensure_face_slots(long long needed, long long margin = kMeshHeadroom);
  // Runs `tasks`, which list the voxels they turn dirty in `lists`, then
  // appends the lists to m_dirty in order, also when a task throws: a voxel
  // marked dirty but not listed would never be extracted again.
  void listing_dirty(std::vector<std::vector<int>>& lists, const std::function<void()>& tasks);
  // Runs body(dirty index, cache) over m_dirty[begin, end) in tasks of a few
  // thousand voxels, each with its own cache.
  void for_dirty(std::size_t begin, std::size_t end, const std::function<void(int, VoxelFinder&)>& body);
  void vertex_pass(int index, VoxelFinder& finder);
  void triangle_pass(int index, VoxelFinder& finder);
  // `cube` is the voxel of b itself (corner k3).
  void triangulate(const Eigen::Vector3i& b, bool k3Inside, TsdfVoxel* cube, VoxelFinder& finder);
  // The cubes around a new vertex on voxel `index`'s edge `axis`, as crossed.
  void mark_crossed_cubes(int index, const Eigen::Vector3i& c, int axis, VoxelFinder& finder);
  // A cube that the first extraction's marks show to have nothing to do.
  bool cube_is_idle(int index) const;
  // Likewise for the cube below voxel `index` whose lowest corner was missing.
  bool cube_below_is_idle(int index) const;
  // Live vertex id on the edge `axis` owned by voxel v (null: none).
  int edge_vertex(const TsdfVoxel* v, int axis) const;

  grid::Octree<TsdfVoxel> m_tree;
  grid::GridFrame m_frame;
  int m_threadNum;
  // The offset tables times the voxel size, one array per axis.
  struct ScaledOffsets {
    std::vector<float> x, y, z;
  };
  ScaledOffsets m_scaled27, m_scaled125;

  BaseTriMesh m_mesh;
  std::vector<int> m_vertexAxis;
  std::atomic<int> m_vertexCounter{0};
  std::atomic<int> m_faceCounter{0};
  int m_vertexCapacity = 0;
  int m_faceCapacity = 0;
  std::mutex m_growLock;
  // Dirty voxels, appended when a voxel's state turns from 0 to 1, so that
  // propagation and extraction cost what changed rather than the volume.
  tbb::concurrent_vector<int> m_dirty;
  // During the first extraction of a volume (no vertex or face made before),
  // per leaf slot: kCubeSeen when the vertex pass visited the voxel,
  // kCubeCrossed when a vertex lies on an edge of the cube with this lowest
  // corner, kBelowCrossed for the cube below it when that corner has no
  // voxel. A seen cube without a crossed edge has no face to make or delete;
  // null outside that extraction.
  std::unique_ptr<std::atomic<std::uint8_t>[]> m_cubeMarks;
  int m_cubeMarkCount = 0;
  long long m_integratedPoints = 0;
  long long m_outsidePoints = 0;
};

}  // namespace TavoAlgorithm

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
#include <Eigen/Core>
#include <vector>

#include "TavoExport.h"
#include "geometry/Cloud.h"
#include "geometry/RigidMatrix.h"
#include "laser/LeafRecords.h"
#include "laser/LineIntegrator.h"
#include "laser/Octree.h"
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

  void set_tree_shift(const Eigen::Vector3f& shift) { m_shift = shift; }
  const Eigen::Vector3f& get_tree_shift() const { return m_shift; }
  // Centres the grid on a frame: the mean of every point of every line,
  // mapped by rt (camera to world), minus half the grid extent. Returns false
  // and keeps the shift when the lines hold no point or the mean is not finite.
  bool set_tree_shift(const std::vector<Cloud>& lines, const RigidMatrix& rt);

  // Rebuilds the neighbour offset tables for radius r with the current cell size.
  void set_extend_radius(unsigned int r);
  void set_use_double_voxel(bool on) { m_useDoubleVoxel = on; }
  // n > 0 sets both thread counts; other values keep them.
  void set_tbb_num_threads(int n);

  // Read access for the integration, extraction and editing code.
  int get_depth() const { return m_tree.depth(); }
  int get_grid_size() const { return m_tree.grid_size(); }
  float get_voxel_size() const { return m_voxelSize; }
  float get_point_dis() const { return m_pointDis; }
  float get_min_fusion_radius() const { return m_minFusionRadius; }
  bool get_use_double_voxel() const { return m_useDoubleVoxel; }
  unsigned int get_extend_radius() const { return m_integrator.extendRadius; }
  int get_integrator_threads() const { return m_integrator.threadNum; }
  int get_helper_threads() const { return m_threadNum; }

  // Cell of a point given relative to the shift (q = p - shift).
  Eigen::Vector3i cell_of(const Eigen::Vector3f& q) const {
    return (q / m_voxelSize).template cast<int>();
  }
  // True for the cells that integration may write (3 <= g < 2^D - 3).
  bool is_writable_cell(const Eigen::Vector3i& g) const {
    const int upper = m_tree.grid_size() - kLaserGridBorder;
    return (g.array() >= kLaserGridBorder).all() && (g.array() < upper).all();
  }

  TavoOctree::Octree<T>& octree() { return m_tree; }
  const TavoOctree::Octree<T>& octree() const { return m_tree; }
  TavoOctree::TwinPool<T>& twin_pool() { return m_twins; }
  const LaserReconstrcution::LineIntegrator& integrator() const { return m_integrator; }

 private:
  TavoOctree::Octree<T> m_tree;
  float m_voxelSize;
  Eigen::Vector3f m_shift = Eigen::Vector3f::Zero();
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

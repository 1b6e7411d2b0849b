#include "LaserFusionHelper.h"

#include <omp.h>

#include <cmath>
#include <new>

#include "common/console.h"

namespace TavoAlgorithm {

template <typename T>
LaserFusionHelper<T>::LaserFusionHelper(int depth, float voxelSize, float pointDis,
                                        float minFusionRadius, unsigned int extendRadius,
                                        bool useDoubleVoxel)
    : m_tree(depth),
      m_frame{Eigen::Vector3f::Zero(), voxelSize > 0.f ? voxelSize : kDefaultLaserVoxelSize, m_tree.depth(),
              kLaserGridBorder},
      m_minFusionRadius(minFusionRadius),
      m_pointDis(pointDis),
      m_useDoubleVoxel(useDoubleVoxel),
      m_threadNum(omp_get_max_threads()) {
  m_integrator.threadNum = m_threadNum;
  m_integrator.build_offsets(extendRadius, m_frame.cellSize);
}

template <typename T>
LaserFusionHelper<T>::~LaserFusionHelper() {
  // The record store reports a failed block release itself; anything else
  // must not escape a destructor.
  try {
    m_tree.clear();
  } catch (const std::bad_alloc&) {
    console::message("caught bad dealloc exception");
  } catch (...) {
    console::unknown_exception();
  }
}

template <typename T>
bool LaserFusionHelper<T>::set_tree_shift(const std::vector<Cloud>& lines, const RigidMatrix& rt) {
  Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  long long count = 0;
  // A NaN point would make the mean NaN and leave the grid at its old place.
  for (const Cloud& line : lines)
    for (int i = 0; i < line.get_vn(); ++i)
      if (line.get_vCoord(i).allFinite()) {
        sum += line.get_vCoord(i).cast<double>();
        ++count;
      }
  if (count == 0) return false;
  const Eigen::Vector3d mean = rt * Eigen::Vector3d(sum / static_cast<double>(count));
  if (!mean.allFinite()) return false;
  m_frame.centre_on(mean);
  return true;
}

template <typename T>
void LaserFusionHelper<T>::set_extend_radius(unsigned int r) {
  m_integrator.build_offsets(r, m_frame.cellSize);
}

template <typename T>
void LaserFusionHelper<T>::set_tbb_num_threads(int n) {
  if (n <= 0) return;
  m_threadNum = n;
  m_integrator.threadNum = n;
}

template class LaserFusionHelper<LaserReconstrcution::Leaf>;
template class LaserFusionHelper<LaserReconstrcution::LeafTangent>;

}  // namespace TavoAlgorithm

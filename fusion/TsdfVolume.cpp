#include "fusion/TsdfVolume.h"

#include <omp.h>

#include <cmath>

#include "Parallel.h"

namespace TavoAlgorithm {
namespace {

constexpr float kMinComponent = 1e-5f;

std::vector<Eigen::Vector3i> make_offsets(int radius) {
  std::vector<Eigen::Vector3i> t;
  for (int z = -radius; z <= radius; ++z)
    for (int y = -radius; y <= radius; ++y)
      for (int x = -radius; x <= radius; ++x) t.emplace_back(x, y, z);
  return t;
}

}  // namespace

TsdfVolume::TsdfVolume(int depth, float voxelSize)
    : m_tree(depth),
      m_vs(voxelSize > 0.f ? voxelSize : kTsdfDefaultVoxelSize),
      m_threadNum(omp_get_max_threads()) {
  m_mesh.enable_vFlag();
  m_mesh.enable_fFlag();
  m_mesh.resize_vn(kMeshInitialSlots);
  m_mesh.resize_fn(kMeshInitialSlots);
  m_vertexAxis.assign(kMeshInitialSlots, 0);
  m_vertexCapacity = kMeshInitialSlots;
  m_faceCapacity = kMeshInitialSlots;
}

const std::vector<Eigen::Vector3i>& TsdfVolume::offsets27() {
  static const std::vector<Eigen::Vector3i> t = make_offsets(1);
  return t;
}

const std::vector<Eigen::Vector3i>& TsdfVolume::offsets125() {
  static const std::vector<Eigen::Vector3i> t = make_offsets(2);
  return t;
}

bool TsdfVolume::has_voxels() const { return m_tree.leaf_slots_in_use() > 0; }

bool TsdfVolume::cell_of(const Eigen::Vector3f& world, Eigen::Vector3i& cell) const {
  const Eigen::Vector3f g = (world - m_origin) / m_vs;
  // Range test before the conversion: a NaN or huge value must not reach it.
  if (!g.allFinite() || (g.array() <= -1.f).any() ||
      (g.array() >= static_cast<float>(get_grid_size())).any())
    return false;
  cell = g.cast<int>();
  return true;
}

void TsdfVolume::set_origin_from(const PreparedFrame& frame) {
  Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  int used = 0;
  for (int i = 0; i < frame.cloud.get_vn(); ++i) {
    const Eigen::Vector3f& n = frame.normals[static_cast<std::size_t>(i)];
    const Eigen::Vector3f& p = frame.cloud.get_vCoord(i);
    if (!n.allFinite() || n.isZero(0.f) || !p.allFinite()) continue;
    sum += p.cast<double>();
    ++used;
  }
  if (used < kTsdfMinOriginPoints) return;
  const Eigen::Vector3d mean = frame.pose * Eigen::Vector3d(sum / used);
  if (!mean.allFinite()) return;
  const double half = 0.5 * static_cast<double>(get_grid_size()) * m_vs;
  m_origin = (mean.array() - half).matrix().cast<float>();
}

void TsdfVolume::mark_dirty_locked(TsdfVoxel& v, int index) {
  if (v.state != 0) return;
  v.state = 1;
  m_dirty.push_back(index);
}

bool TsdfVolume::mark_dirty(const Eigen::Vector3i& c) {
  const int index = m_tree.find_leaf(c);
  if (index < 0) return false;
  TsdfVoxel& v = m_tree.element_at(index).payload;
  v.lock.lock();
  mark_dirty_locked(v, index);
  v.lock.unlock();
  return true;
}

void TsdfVolume::integrate_point(const Eigen::Vector3f& p, const Eigen::Vector3f& n, float weight,
                                 const RigidMatrix& pose, bool wide, float sign) {
  if (!p.allFinite() || !n.allFinite() || !std::isfinite(weight)) return;
  if (std::fabs(n.z()) < kMinComponent || std::fabs(p.z()) < kMinComponent) return;
  const Eigen::Vector3f world = pose * p;
  Eigen::Vector3i c;
  if (!cell_of(world, c) || !is_usable_cell(c)) return;
  const Eigen::Vector3f q = world - m_origin;
  const Eigen::Vector3f m = pose.transform_normal(n);
  if (!m.allFinite()) return;
  const Eigen::Vector3f u = m_vs * (c.cast<float>().array() + 0.5f).matrix();
  const float vs2 = m_vs * m_vs;
  const float bias = static_cast<float>(0.1 * static_cast<double>(m_vs));
  // The neighbours share a few finest octree nodes (at most 27 for the wide
  // table): walk each node's path once rather than once per cell.
  constexpr int kMaxNodes = 27;
  Eigen::Vector3i nodeKey[kMaxNodes];
  int nodeBase[kMaxNodes];
  int nodes = 0;
  auto base_of = [&](const Eigen::Vector3i& cell) {
    const Eigen::Vector3i key(cell.x() >> 1, cell.y() >> 1, cell.z() >> 1);
    for (int k = 0; k < nodes; ++k)
      if (nodeKey[k] == key) return nodeBase[k];
    const int base = sign > 0.f ? m_tree.find_or_create_leaf_base(cell) : m_tree.find_leaf_base(cell);
    if (nodes < kMaxNodes) {
      nodeKey[nodes] = key;
      nodeBase[nodes++] = base;
    }
    return base;
  };
  for (const Eigen::Vector3i& o : wide ? offsets125() : offsets27()) {
    const Eigen::Vector3f r = u + m_vs * o.cast<float>() - q;
    const float d = r.dot(m);
    if (r.squaredNorm() - d * d > vs2) continue;  // outside the cylinder around the normal line
    const float w = m_vs / (r.norm() + bias);
    const Eigen::Vector3i cell = c + o;
    const int base = base_of(cell);
    bool created = false;
    const int index = base < 0 ? -1 : sign > 0.f ? m_tree.claim_leaf(cell, base, created) : m_tree.find_leaf_in(cell, base);
    if (index < 0) continue;
    TsdfVoxel& v = m_tree.element(index).payload;
    v.lock.lock();
    v.distSum += sign * w * weight * d;
    v.weightSum += sign * w * weight;
    if (sign > 0.f) {
      ++v.count;
    } else if (v.count > 0) {
      // Once the last contribution is gone the float sums hold only rounding
      // residue; left there it would read as a random distance.
      if (--v.count == 0) v.weightSum = v.distSum = 0.f;
    }
    mark_dirty_locked(v, index);
    v.lock.unlock();
  }
}

bool TsdfVolume::integrate(std::vector<PreparedFrame>& frames) {
  if (frames.empty()) return false;
  for (const PreparedFrame& f : frames) {
    const std::size_t n = static_cast<std::size_t>(f.cloud.get_vn());
    if (f.normals.size() != n || f.weights.size() != n) return false;
  }
  if (!has_voxels()) set_origin_from(frames.front());
  auto point = [this](PreparedFrame& f, std::size_t i) {
    const int k = static_cast<int>(i);
    if (f.cloud.has_vFlag() && (f.cloud.get_vFlag(k) & FLAG_DELETED) != 0) {
      f.cloud.set_vFlag(k, static_cast<VertexFlag>(f.cloud.get_vFlag(k) & ~FLAG_REMOVAL_PENDING));
      return;
    }
    integrate_point(f.cloud.get_vCoord(k), f.normals[i], f.weights[i], f.pose, f.wideSpread, 1.f);
  };
  if (frames.size() >= 2) {
    auxilary_tbb_for(m_threadNum, 0, frames.size(), [&](std::size_t fi) {
      PreparedFrame& f = frames[fi];
      for (std::size_t i = 0; i < f.weights.size(); ++i) point(f, i);
    });
  } else {
    PreparedFrame& f = frames.front();
    auxilary_tbb_for(m_threadNum, 0, f.weights.size(), [&](std::size_t i) { point(f, i); });
  }
  return true;
}

void TsdfVolume::remove(const std::vector<RemovedPoint>& points) {
  auxilary_tbb_for(m_threadNum, 0, points.size(), [&](std::size_t i) {
    const RemovedPoint& r = points[i];
    integrate_point(r.point, r.normal, r.weight, r.pose, r.wideSpread, -1.f);
  });
}

void TsdfVolume::propagate_dirty() {
  // A changed voxel moves the crossings on the edges that its -x, -y, -z
  // neighbours own and the faces of the cubes whose lowest corner lies in
  // c - {0,1}^3; the offsets with -3 components are kept for the voxels the
  // scanner application expects to be refreshed as well.
  static const Eigen::Vector3i kOffsets[] = {
      {-1, 0, 0}, {0, -1, 0}, {0, 0, -1}, {-1, -1, 0}, {-1, 0, -1}, {0, -1, -1}, {-1, -1, -1},
      {-3, 0, 0}, {0, -3, 0}, {0, 0, -3}, {-3, -3, 0}, {0, -3, -3}, {-3, -3, -3}};
  const std::size_t n = m_dirty.size();  // only the voxels dirty before this pass spread
  auxilary_tbb_for(m_threadNum, 0, n, [&](std::size_t i) {
    const Eigen::Vector3i c = m_tree.element_at(m_dirty[i]).get_cell();
    for (const Eigen::Vector3i& o : kOffsets) {
      const int index = m_tree.find_leaf(c + o);
      if (index < 0) continue;
      TsdfVoxel& v = m_tree.element_at(index).payload;
      v.lock.lock();
      mark_dirty_locked(v, index);
      v.lock.unlock();
    }
  });
}

}  // namespace TavoAlgorithm

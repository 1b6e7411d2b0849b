#include "fusion/TsdfVolume.h"

#include <omp.h>

#include <algorithm>
#include <cmath>

#include "Parallel.h"

namespace TavoAlgorithm {
namespace {

constexpr float kMinComponent = 1e-5f;
// Points per task when the points of one list are spread over the workers.
constexpr std::size_t kPointRun = 4096;
// Dirty voxels per task of the passes over them.
constexpr std::size_t kDirtyRun = 4096;
constexpr std::size_t kMaxNeighbours = 125;

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
      m_frame{Eigen::Vector3f::Zero(), voxelSize > 0.f ? voxelSize : kTsdfDefaultVoxelSize, m_tree.depth(), kTsdfBorder},
      m_threadNum(omp_get_max_threads()) {
  m_mesh.enable_vFlag();
  m_mesh.enable_fFlag();
  m_mesh.resize_vn(kMeshInitialSlots);
  m_mesh.resize_fn(kMeshInitialSlots);
  m_vertexAxis.assign(kMeshInitialSlots, 0);
  m_vertexCapacity = kMeshInitialSlots;
  m_faceCapacity = kMeshInitialSlots;
  auto scale = [this](const std::vector<Eigen::Vector3i>& table, ScaledOffsets& out) {
    for (const Eigen::Vector3i& o : table) {
      const Eigen::Vector3f s = m_frame.cellSize * o.cast<float>();
      out.x.push_back(s.x());
      out.y.push_back(s.y());
      out.z.push_back(s.z());
    }
  };
  scale(offsets27(), m_scaled27);
  scale(offsets125(), m_scaled125);
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
  if (mean.allFinite()) m_frame.centre_on(mean);
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

template <typename Cache>
bool TsdfVolume::integrate_point(const Eigen::Vector3f& p, const Eigen::Vector3f& n, float weight,
                                 const RigidMatrix& pose, bool wide, float sign, Cache& cache, bool shared) {
  if (!p.allFinite() || !n.allFinite() || !std::isfinite(weight)) return true;
  if (std::fabs(n.z()) < kMinComponent || std::fabs(p.z()) < kMinComponent) return true;
  const Eigen::Vector3f q = pose * p - m_frame.origin;
  Eigen::Vector3i c;
  // A finite point (under a finite pose) outside the grid is dropped.
  if (!m_frame.usable_local_cell(q, c)) return !q.allFinite();
  const Eigen::Vector3f m = pose.transform_normal(n);
  if (!m.allFinite()) return true;
  const Eigen::Vector3f u = m_frame.local_centre(c);
  const float vs = m_frame.cellSize;
  const float vs2 = vs * vs;
  const float bias = static_cast<float>(0.1 * static_cast<double>(vs));
  const std::vector<Eigen::Vector3i>& offsets = wide ? offsets125() : offsets27();
  const ScaledOffsets& scaled = wide ? m_scaled125 : m_scaled27;
  const std::size_t count = offsets.size();
  // The cylinder test of every neighbour first, over plain arrays so that it
  // runs several neighbours an instruction; the same operations in the same
  // order as one neighbour at a time, so the same values.
  float dist[kMaxNeighbours], sq[kMaxNeighbours];
  bool inside[kMaxNeighbours];
  for (std::size_t k = 0; k < count; ++k) {
    const float rx = (u.x() + scaled.x[k]) - q.x();
    const float ry = (u.y() + scaled.y[k]) - q.y();
    const float rz = (u.z() + scaled.z[k]) - q.z();
    // Grouped as Eigen's dot() and squaredNorm() group three terms.
    dist[k] = rx * m.x() + (ry * m.y() + rz * m.z());
    sq[k] = rx * rx + (ry * ry + rz * rz);
    inside[k] = !(sq[k] - dist[k] * dist[k] > vs2);  // within the cylinder around the normal line
  }
  for (std::size_t k = 0; k < count; ++k) {
    if (!inside[k]) continue;
    const Eigen::Vector3i& o = offsets[k];
    const float d = dist[k];
    const float w = vs / (std::sqrt(sq[k]) + bias);
    const Eigen::Vector3i cell = c + o;
    const int index = cache.leaf(cell);
    if (index < 0) continue;
    TsdfVoxel& v = m_tree.element(index).payload;
    if (shared) v.lock.lock();
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
    if (shared) v.lock.unlock();
  }
  return true;
}

bool TsdfVolume::integrate(std::vector<PreparedFrame>& frames) {
  if (frames.empty()) return false;
  for (const PreparedFrame& f : frames) {
    const std::size_t n = static_cast<std::size_t>(f.cloud.get_vn());
    if (f.normals.size() != n || f.weights.size() != n) return false;
  }
  if (!has_voxels()) set_origin_from(frames.front());
  // Points in order, each run of them with its own node cache. With a single
  // task at a time no other writer can meet a voxel, and the voxel locks
  // (an atomic exchange per update) were a third of the cost.
  const std::size_t tasks = frames.size() >= 2 ? frames.size() : (frames.front().weights.size() + kPointRun - 1) / kPointRun;
  const bool shared = m_threadNum > 1 && tasks > 1;
  auto points = [this, shared](PreparedFrame& f, std::size_t begin, std::size_t end) {
    VoxelCreator cache(m_tree);
    long long outside = 0;
    for (std::size_t i = begin; i < end; ++i) {
      const int k = static_cast<int>(i);
      if (f.cloud.has_vFlag() && (f.cloud.get_vFlag(k) & FLAG_DELETED) != 0) {
        f.cloud.set_vFlag(k, static_cast<VertexFlag>(f.cloud.get_vFlag(k) & ~FLAG_REMOVAL_PENDING));
        continue;
      }
      if (!integrate_point(f.cloud.get_vCoord(k), f.normals[i], f.weights[i], f.pose, f.wideSpread, 1.f, cache, shared))
        ++outside;
    }
    if (outside > 0) m_outsidePoints += outside;
  };
  if (frames.size() >= 2) {
    auxilary_tbb_for(m_threadNum, 0, frames.size(),
                     [&](std::size_t fi) { points(frames[fi], 0, frames[fi].weights.size()); });
  } else {
    PreparedFrame& f = frames.front();
    const std::size_t n = f.weights.size();
    auxilary_tbb_for(m_threadNum, 0, (n + kPointRun - 1) / kPointRun,
                     [&](std::size_t r) { points(f, r * kPointRun, std::min(n, (r + 1) * kPointRun)); });
  }
  return true;
}

void TsdfVolume::remove(const std::vector<RemovedPoint>& points) {
  const std::size_t n = points.size();
  const std::size_t runs = (n + kPointRun - 1) / kPointRun;
  const bool shared = m_threadNum > 1 && runs > 1;
  auxilary_tbb_for(m_threadNum, 0, runs, [&](std::size_t run) {
    VoxelFinder cache(m_tree);
    for (std::size_t i = run * kPointRun; i < std::min(n, (run + 1) * kPointRun); ++i) {
      const RemovedPoint& r = points[i];
      integrate_point(r.point, r.normal, r.weight, r.pose, r.wideSpread, -1.f, cache, shared);
    }
  });
}

void TsdfVolume::for_dirty(std::size_t begin, std::size_t end,
                           const std::function<void(int, VoxelFinder&)>& body) {
  const std::size_t runs = (end - begin + kDirtyRun - 1) / kDirtyRun;
  auxilary_tbb_for(m_threadNum, 0, runs, [&](std::size_t r) {
    VoxelFinder finder(m_tree);
    const std::size_t last = std::min(end, begin + (r + 1) * kDirtyRun);
    for (std::size_t i = begin + r * kDirtyRun; i < last; ++i) body(m_dirty[i], finder);
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
  // Every voxel dirty already (a first integration): nothing to spread to.
  if (n >= static_cast<std::size_t>(m_tree.leaf_count())) return;
  for_dirty(0, n, [&](int dirty, VoxelFinder& finder) {
    const Eigen::Vector3i c = m_tree.element_at(dirty).get_cell();
    for (const Eigen::Vector3i& o : kOffsets) {
      const int index = finder.leaf(c + o);
      if (index < 0) continue;
      TsdfVoxel& v = m_tree.element_at(index).payload;
      v.lock.lock();
      mark_dirty_locked(v, index);
      v.lock.unlock();
    }
  });
}

}  // namespace TavoAlgorithm

#include "fusion/NormalFieldVolume.h"

#include <omp.h>

#include <algorithm>
#include <type_traits>

#include "Parallel.h"
#include "fusion/TsdfVolume.h"
#include "grid/NodeBaseCache.h"

namespace TavoAlgorithm {
namespace {

constexpr float kMinComponent = 1e-5f;
constexpr std::size_t kPointRun = 4096;
constexpr std::size_t kVoxelRun = 8192;

Eigen::Vector3f to_vec(const std::array<float, 3>& a) { return {a[0], a[1], a[2]}; }

// The frame's point i as a world normal line; false when it is skipped.
bool usable_point(const Cloud& cloud, int i, bool requireNonZero, Eigen::Vector3f& p, Eigen::Vector3f& n) {
  if (cloud.has_vFlag() && (cloud.get_vFlag(i) & FLAG_DELETED) != 0) return false;
  n = cloud.get_vNrv(i);
  p = cloud.get_vCoord(i);
  if (!n.allFinite() || !p.allFinite()) return false;
  if ((n.array().abs() <= kMinComponent).all()) return false;
  return !(requireNonZero && n.isZero(0.f));
}

}  // namespace

template <typename V>
NormalFieldVolume<V>::NormalFieldVolume(int depth, float cellSize)
    : m_tree(std::max(depth, grid::kMinDepth)),
      m_frame{Eigen::Vector3f::Zero(), cellSize > 0.f ? cellSize : kTsdfDefaultVoxelSize, m_tree.depth(), kTsdfBorder},
      m_threadNum(omp_get_max_threads()) {}

template <typename V>
void NormalFieldVolume<V>::set_origin_from(const NormalFieldFrame& frame) {
  if (!frame.cloud || !frame.cloud->has_vNormal()) return;
  Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  int used = 0;
  Eigen::Vector3f p, n;
  for (int i = 0; i < frame.cloud->get_vn(); ++i) {
    if (!usable_point(*frame.cloud, i, true, p, n)) continue;
    sum += p.cast<double>();
    ++used;
  }
  if (used < kTsdfMinOriginPoints) return;
  const Eigen::Vector3d mean = frame.pose * Eigen::Vector3d(sum / used);
  if (mean.allFinite()) m_frame.centre_on(mean);
}

template <typename V>
std::size_t NormalFieldVolume<V>::item_count(const std::vector<NormalFieldFrame>& frames) {
  if (frames.size() != 1) return frames.size();
  const std::size_t n = frames.front().cloud ? static_cast<std::size_t>(frames.front().cloud->get_vn()) : 0;
  return (n + kPointRun - 1) / kPointRun;
}

// body(q local point, m world unit normal, c cell, r0 = centre(c) - q, cache).
template <typename V>
template <typename Body>
void NormalFieldVolume<V>::for_points(const std::vector<NormalFieldFrame>& frames, const PhaseItemDone& done,
                                      Body body) {
  auto run = [&](const NormalFieldFrame& f, std::size_t begin, std::size_t end) {
    if (!f.cloud || !f.cloud->has_vNormal()) return;
    grid::NodeBaseCache<V, true> cache(m_tree);
    Eigen::Vector3f p, n;
    for (std::size_t k = begin; k < end; ++k) {
      const int i = static_cast<int>(k);
      if (!usable_point(*f.cloud, i, true, p, n)) continue;
      const Eigen::Vector3f q = f.pose * p - m_frame.origin;
      Eigen::Vector3i c;
      if (!m_frame.usable_local_cell(q, c)) continue;
      const Eigen::Vector3f m = f.pose.transform_normal(n).normalized();
      if (!m.allFinite()) continue;
      body(q, m, c, Eigen::Vector3f(m_frame.local_centre(c) - q), cache);
    }
  };
  if (frames.size() >= 2) {
    auxilary_tbb_for(m_threadNum, 0, frames.size(), [&](std::size_t fi) {
      const NormalFieldFrame& f = frames[fi];
      run(f, 0, f.cloud ? static_cast<std::size_t>(f.cloud->get_vn()) : 0);
      if (done) done();
    });
  } else if (frames.size() == 1) {
    const NormalFieldFrame& f = frames.front();
    const std::size_t n = f.cloud ? static_cast<std::size_t>(f.cloud->get_vn()) : 0;
    auxilary_tbb_for(m_threadNum, 0, (n + kPointRun - 1) / kPointRun, [&](std::size_t r) {
      run(f, r * kPointRun, std::min(n, (r + 1) * kPointRun));
      if (done) done();
    });
  }
}

template <typename V>
template <typename Body>
void NormalFieldVolume<V>::for_voxels(Body body) {
  const std::size_t n = static_cast<std::size_t>(m_tree.leaf_slots_in_use());
  auxilary_tbb_for(m_threadNum, 0, (n + kVoxelRun - 1) / kVoxelRun, [&](std::size_t r) {
    for (std::size_t i = r * kVoxelRun; i < std::min(n, (r + 1) * kVoxelRun); ++i) {
      auto& e = m_tree.element_at(static_cast<int>(i));
      if (e.is_used()) body(e.payload);
    }
  });
}

template <typename V>
void NormalFieldVolume<V>::fuse_normals(const std::vector<NormalFieldFrame>& frames, float radiusFactor,
                                        const PhaseItemDone& done) {
  const float vs = m_frame.cellSize, radius = radiusFactor * vs, r2 = radius * radius;
  const float bias = 0.1f * vs;
  const auto& offsets = TsdfVolume::offsets27();
  for_points(frames, done, [&](const Eigen::Vector3f&, const Eigen::Vector3f& m, const Eigen::Vector3i& c,
                               const Eigen::Vector3f& r0, auto& cache) {
    if constexpr (std::is_same_v<V, NormalOffsetVoxel>) {
      const int own = cache.leaf(c);
      if (own >= 0) {
        V& v = m_tree.element(own).payload;
        const float w0 = vs / (r0.norm() + bias);
        std::lock_guard<grid::SpinLock<std::uint8_t>> g(v.normalLock);
        for (int a = 0; a < 3; ++a) v.nearSum[a] += w0 * r0[a];
        v.nearWeight += w0;
      }
    }
    for (const Eigen::Vector3i& o : offsets) {
      const Eigen::Vector3f r = r0 + vs * o.cast<float>();
      const float d = r.dot(m);
      const float e2 = std::max(0.f, r.squaredNorm() - d * d);
      const float w = normal_line_weight(e2, radius) * (vs / (r.norm() + bias));
      const int index = cache.leaf(c + o);
      if (index < 0) continue;
      V& v = m_tree.element(index).payload;
      std::lock_guard<grid::SpinLock<std::uint8_t>> g(v.normalLock);
      for (int a = 0; a < 3; ++a) v.normal[a] += w * m[a];
      if constexpr (std::is_same_v<V, NormalOffsetVoxel>) {
        const bool nearLine = e2 <= r2;
        auto& sum = nearLine ? v.nearSum : v.farSum;
        for (int a = 0; a < 3; ++a) sum[a] += w * r[a];
        (nearLine ? v.nearWeight : v.farWeight) += w;
      }
    }
  });
}

template <typename V>
void NormalFieldVolume<V>::normalise() {
  auto unit = [](std::array<float, 3>& n) {
    const Eigen::Vector3f v = to_vec(n);
    if (v.isZero(0.f)) return;
    const Eigen::Vector3f u = v.normalized();
    n = {u.x(), u.y(), u.z()};
  };
  for_voxels([&](V& v) {
    unit(v.normal);
    if (v.twin) unit(v.twin->normal);
  });
}

template <typename V>
void NormalFieldVolume<V>::measure_deviation(const std::vector<NormalFieldFrame>& frames, const PhaseItemDone& done) {
  const float vs = m_frame.cellSize, vs2 = vs * vs;
  const auto& offsets = TsdfVolume::offsets27();
  for_points(frames, done, [&](const Eigen::Vector3f&, const Eigen::Vector3f& m, const Eigen::Vector3i& c,
                               const Eigen::Vector3f& r0, auto&) {
    for (const Eigen::Vector3i& o : offsets) {
      const Eigen::Vector3f r = r0 + vs * o.cast<float>();
      const float d = r.dot(m);
      if (r.squaredNorm() - d * d > vs2) continue;
      V* v = m_tree.find_payload(c + o);
      if (!v) continue;
      if (v->twin && m.dot(to_vec(v->normal)) < 0.f) v = static_cast<V*>(v->twin);
      std::lock_guard<grid::SpinLock<std::uint8_t>> g(v->normalLock);
      ++v->count;
      v->deviationSum += 1.f - m.dot(to_vec(v->normal));
    }
  });
  for_voxels([](V& v) {
    if (v.deviationSum == 0.f) return;
    bool unreliable;
    if (v.twin) {
      const std::uint32_t k = v.count, kt = v.twin->count;
      const std::uint32_t lo = std::min(k, kt), hi = std::max(k, kt);
      const NormalFieldVoxel& larger = k >= kt ? static_cast<const NormalFieldVoxel&>(v) : *v.twin;
      unreliable = hi > 0 && (static_cast<float>(lo) / static_cast<float>(hi) >= 0.1f ||
                              deviation_unreliable(larger.deviationSum, hi));
    } else {
      unreliable = deviation_unreliable(v.deviationSum, v.count);
    }
    if (unreliable) {
      v.flags |= NFV_UNRELIABLE;
      v.count = 0;
    }
  });
}

template <typename V>
void NormalFieldVolume<V>::fuse_distances(const std::vector<NormalFieldFrame>& frames, float radiusFactor,
                                          const PhaseItemDone& done) {
  const float vs = m_frame.cellSize, vs2 = vs * vs, radius = radiusFactor * vs;
  const auto& offsets = TsdfVolume::offsets27();
  for_points(frames, done, [&](const Eigen::Vector3f&, const Eigen::Vector3f& m, const Eigen::Vector3i& c,
                               const Eigen::Vector3f& r0, auto&) {
    for (const Eigen::Vector3i& o : offsets) {
      V* v = m_tree.find_payload(c + o);
      if (!v) continue;
      const Eigen::Vector3f nv = to_vec(v->normal);
      if (nv.isZero(kMinComponent)) continue;
      float d, w, e2;
      distance_contribution(r0 + vs * o.cast<float>(), m, nv, vs, radius, d, w, e2);
      if ((v->flags & NFV_UNRELIABLE) && e2 > vs2) continue;
      std::lock_guard<grid::SpinLock<std::uint8_t>> g(v->distLock);
      v->distSum += d * w;
      v->weightSum += w;
      ++v->count;
      v->state = 1;
    }
  });
  for_voxels([](V& v) { v.flags &= static_cast<std::uint8_t>(~NFV_UNRELIABLE); });
}

template <typename V>
void NormalFieldVolume<V>::offsets_to_distances() {
  if constexpr (std::is_same_v<V, NormalOffsetVoxel>) {
    for_voxels([](V& v) {
      const Eigen::Vector3f nv = to_vec(v.normal);
      const bool unreliable = (v.flags & NFV_UNRELIABLE) != 0;
      v.flags &= static_cast<std::uint8_t>(~NFV_UNRELIABLE);
      v.weightSum = v.distSum = 0.f;
      if (nv.isZero(kMinComponent) || unreliable) return;
      // Points on the cell's normal line place the surface best; the others
      // only where no point lies on it, at half weight.
      float w;
      Eigen::Vector3f mean;
      if (v.nearWeight > kTsdfMinWeight) {
        w = v.nearWeight;
        mean = to_vec(v.nearSum) / v.nearWeight;
      } else if (v.farWeight > kTsdfMinWeight) {
        w = 0.5f * v.farWeight;
        mean = to_vec(v.farSum) / v.farWeight;
      } else {
        return;
      }
      v.weightSum = w;
      v.distSum = w * mean.dot(nv);
      v.count = std::max<std::uint32_t>(v.count, 1);
      v.state = 1;
    });
  }
}

template <typename V>
void NormalFieldVolume<V>::extract(BaseTriMesh& mesh, std::vector<int>& axes) const {
  // The incremental extraction of the TSDF volume serves: the cells with
  // weight are copied into one (at origin 0) and the mesh moved back.
  TsdfVolume out(m_frame.depth, m_frame.cellSize);
  out.set_thread_num(m_threadNum);
  const std::size_t n = static_cast<std::size_t>(m_tree.leaf_slots_in_use());
  auxilary_tbb_for(m_threadNum, 0, (n + kVoxelRun - 1) / kVoxelRun, [&](std::size_t r) {
    for (std::size_t i = r * kVoxelRun; i < std::min(n, (r + 1) * kVoxelRun); ++i) {
      const auto& e = m_tree.element_at(static_cast<int>(i));
      if (!e.is_used() || !(e.payload.weightSum > kTsdfMinWeight) || e.payload.count == 0) continue;
      const Eigen::Vector3i c = e.get_cell();
      const int index = out.octree().find_or_create_leaf(c);
      if (index < 0) continue;
      TsdfVoxel& t = out.octree().element(index).payload;
      t.weightSum = e.payload.weightSum;
      t.distSum = e.payload.distSum;
      t.count = e.payload.count;
      out.mark_dirty(c);
    }
  });
  out.extract();
  out.copy_mesh(mesh, axes);
  for (int i = 0; i < mesh.get_vn(); ++i) mesh.set_vCoord(i, mesh.get_vCoord(i) + m_frame.origin);
}

template class NormalFieldVolume<NormalFieldVoxel>;
template class NormalFieldVolume<NormalOffsetVoxel>;

}  // namespace TavoAlgorithm

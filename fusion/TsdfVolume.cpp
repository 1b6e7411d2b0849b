#include "fusion/TsdfVolume.h"

#include <omp.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "Parallel.h"

namespace TavoAlgorithm {
namespace {

constexpr float kMinComponent = 1e-5f;
// Points per task when the points of one list are spread over the workers.
constexpr std::size_t kPointRun = 4096;
// Dirty voxels per task of the passes over them.
constexpr std::size_t kDirtyRun = 4096;
// How far ahead in the dirty list the voxels are prefetched.
constexpr std::size_t kDirtyAhead = 8;
constexpr std::size_t kMaxNeighbours = 125;
// Width along x of the regions integrated without voxel locks, one task
// each: points within a neighbourhood's reach (1 or 2 cells) of a slab's
// side are visited by both slabs, so wider slabs repeat less work and
// narrower ones balance better.
constexpr int kSlabCells = 8;

std::vector<Eigen::Vector3i> make_offsets(int radius) {
  std::vector<Eigen::Vector3i> t;
  for (int z = -radius; z <= radius; ++z)
    for (int y = -radius; y <= radius; ++y)
      for (int x = -radius; x <= radius; ++x) t.emplace_back(x, y, z);
  return t;
}

// Per parity of a cell (bit a: the cell's coordinate a is odd) and per
// neighbour of the offset table: which of the (radius + 1)^3 finest nodes
// spanned by the neighbourhood holds the neighbour (x fastest; the first
// node is that of the cell less radius), and its leaf under that node.
struct NeighbourNodes {
  std::array<std::array<std::uint8_t, kMaxNeighbours>, 8> node{}, child{};
};

NeighbourNodes make_neighbour_nodes(const std::vector<Eigen::Vector3i>& offsets, int radius) {
  NeighbourNodes t;
  const int span = radius + 1;
  for (int parity = 0; parity < 8; ++parity) {
    const Eigen::Vector3i c(4 + (parity & 1), 4 + (parity >> 1 & 1), 4 + (parity >> 2 & 1));
    const Eigen::Vector3i first = (c.array() - radius) / 2;
    for (std::size_t k = 0; k < offsets.size(); ++k) {
      const Eigen::Vector3i cell = c + offsets[k];
      const Eigen::Vector3i rel = cell / 2 - first;
      const std::size_t p = static_cast<std::size_t>(parity);
      t.node[p][k] = static_cast<std::uint8_t>(rel.x() + span * (rel.y() + span * rel.z()));
      t.child[p][k] = static_cast<std::uint8_t>(grid::Octree<TsdfVoxel>::child_of(cell, 0));
    }
  }
  return t;
}

// w[k] = vs / (sqrt(sq[k]) + bias) for k < count (arrays 16-byte aligned),
// four at a time where SSE is there. Both round correctly, so the values are
// those of the scalar expression; Eigen's vector square root is not (under
// its fast math it refines an approximate reciprocal).
void neighbour_weights(const float* sq, int count, float vs, float bias, float* w) {
  int k = 0;
#if defined(__SSE2__)
  const __m128 num = _mm_set1_ps(vs), add = _mm_set1_ps(bias);
  for (; k + 4 <= count; k += 4)
    _mm_store_ps(w + k, _mm_div_ps(num, _mm_add_ps(_mm_sqrt_ps(_mm_load_ps(sq + k)), add)));
#endif
  for (; k < count; ++k) w[k] = vs / (std::sqrt(sq[k]) + bias);
}

// Lists a voxel that turns dirty (its lock held). The push comes first: one
// that cannot allocate leaves the voxel clean, not marked and never listed.
template <typename List>
void mark_dirty_in(TsdfVoxel& v, int index, List& list) {
  if (v.state != 0) return;
  list.push_back(index);
  v.state = 1;
}

const NeighbourNodes& neighbour_nodes(bool wide) {
  static const NeighbourNodes narrow = make_neighbour_nodes(TsdfVolume::offsets27(), 1);
  static const NeighbourNodes broad = make_neighbour_nodes(TsdfVolume::offsets125(), 2);
  return wide ? broad : narrow;
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


bool TsdfVolume::mark_dirty(const Eigen::Vector3i& c) {
  const int index = m_tree.find_leaf(c);
  if (index < 0) return false;
  TsdfVoxel& v = m_tree.element_at(index).payload;
  v.lock.lock();
  mark_dirty_in(v, index, m_dirty);
  v.lock.unlock();
  return true;
}

template <typename Cache>
TsdfVolume::Place TsdfVolume::integrate_point(const Eigen::Vector3f& p, const Eigen::Vector3f& n, float weight,
                                              const RigidMatrix& pose, bool wide, float sign, Cache& cache,
                                              NodeMemo& memo, std::vector<int>& dirty, bool shared, int xLo,
                                              int xHi) {
  Eigen::Vector3f q;
  Eigen::Vector3i c;
  if (const Place where = locate(p, n, weight, pose, q, c); where != Place::Usable) return where;
  const Eigen::Vector3f m = pose.transform_normal(n);
  if (!m.allFinite()) return Place::Skipped;
  const Eigen::Vector3f u = m_frame.local_centre(c);
  const float vs = m_frame.cellSize;
  const float vs2 = vs * vs;
  const float bias = static_cast<float>(0.1 * static_cast<double>(vs));
  const std::vector<Eigen::Vector3i>& offsets = wide ? offsets125() : offsets27();
  const ScaledOffsets& scaled = wide ? m_scaled125 : m_scaled27;
  const int count = static_cast<int>(offsets.size());
  // The cylinder test and the weight of every neighbour first, over plain
  // arrays so that they run several neighbours an instruction; the same
  // operations in the same order as one neighbour at a time, so the same
  // values (vector square roots and divisions round as the scalar ones).
  alignas(32) float dist[kMaxNeighbours], sq[kMaxNeighbours], w[kMaxNeighbours];
  bool inside[kMaxNeighbours];
  for (int k = 0; k < count; ++k) {
    const float rx = (u.x() + scaled.x[k]) - q.x();
    const float ry = (u.y() + scaled.y[k]) - q.y();
    const float rz = (u.z() + scaled.z[k]) - q.z();
    // Grouped as Eigen's dot() and squaredNorm() group three terms.
    dist[k] = rx * m.x() + (ry * m.y() + rz * m.z());
    sq[k] = rx * rx + (ry * ry + rz * rz);
    inside[k] = !(sq[k] - dist[k] * dist[k] > vs2);  // within the cylinder around the normal line
  }
  neighbour_weights(sq, count, vs, bias, w);
  // The neighbourhood spans (radius + 1)^3 finest nodes; their bases are
  // resolved once, on the first accepted neighbour of each in table order
  // (so nodes are made in the same order as one neighbour at a time), and
  // kept for the next points while they span the same nodes.
  const int radius = wide ? 2 : 1;
  const NeighbourNodes& nodes = neighbour_nodes(wide);
  const Eigen::Vector3i first((c.x() - radius) >> 1, (c.y() - radius) >> 1, (c.z() - radius) >> 1);
  if (memo.first != first || memo.radius != radius) {
    memo.first = first;
    memo.radius = radius;
    memo.base.fill(kUnresolved);
  }
  const int parity = (c.x() & 1) | (c.y() & 1) << 1 | (c.z() & 1) << 2;
  const std::uint8_t* node = nodes.node[static_cast<std::size_t>(parity)].data();
  const std::uint8_t* child = nodes.child[static_cast<std::size_t>(parity)].data();
  // Accepted neighbours with their leaf slots prefetched; then the updates,
  // whose cache misses now overlap.
  int accepted[kMaxNeighbours], bases[kMaxNeighbours];
  int na = 0;
  for (int k = 0; k < count; ++k) {
    const int x = c.x() + offsets[static_cast<std::size_t>(k)].x();
    if (!inside[k] || x < xLo || x > xHi) continue;
    int& b = memo.base[node[k]];
    if (b == kUnresolved) b = cache.base(c + offsets[static_cast<std::size_t>(k)]);
    if (b < 0) continue;
    m_tree.prefetch_leaf(b + child[k]);
    bases[na] = b;
    accepted[na++] = k;
  }
  for (int a = 0; a < na; ++a) {
    const int k = accepted[a];
    const Eigen::Vector3i cell = c + offsets[static_cast<std::size_t>(k)];
    const int index = cache.leaf_in(cell, bases[a]);
    if (index < 0) continue;
    const float d = dist[k];
    TsdfVoxel& v = m_tree.element_at(index).payload;
    if (shared) v.lock.lock();
    v.distSum += sign * w[k] * weight * d;
    v.weightSum += sign * w[k] * weight;
    if (sign > 0.f) {
      ++v.count;
    } else if (v.count > 0) {
      // Once the last contribution is gone the float sums hold only rounding
      // residue; left there it would read as a random distance.
      if (--v.count == 0) v.weightSum = v.distSum = 0.f;
    }
    mark_dirty_in(v, index, dirty);
    if (shared) v.lock.unlock();
  }
  return Place::Usable;
}

TsdfVolume::Place TsdfVolume::locate(const Eigen::Vector3f& p, const Eigen::Vector3f& n, float weight,
                                     const RigidMatrix& pose, Eigen::Vector3f& q, Eigen::Vector3i& c) const {
  if (!p.allFinite() || !n.allFinite() || !std::isfinite(weight)) return Place::Skipped;
  if (std::fabs(n.z()) < kMinComponent || std::fabs(p.z()) < kMinComponent) return Place::Skipped;
  q = pose * p - m_frame.origin;
  if (m_frame.usable_local_cell(q, c)) return Place::Usable;
  // A finite point (under a finite pose) outside the grid is dropped.
  return q.allFinite() ? Place::Outside : Place::Skipped;
}

bool TsdfVolume::integrate(std::vector<PreparedFrame>& frames) {
  if (frames.empty()) return false;
  for (const PreparedFrame& f : frames) {
    const std::size_t n = static_cast<std::size_t>(f.cloud.get_vn());
    if (f.normals.size() != n || f.weights.size() != n) return false;
  }
  if (!has_voxels()) set_origin_from(frames.front());
  // A deleted point is skipped; its pending removal bit goes, as it never
  // entered the volume.
  auto skipped = [](PreparedFrame& f, int k) {
    if (!f.cloud.has_vFlag() || (f.cloud.get_vFlag(k) & FLAG_DELETED) == 0) return false;
    f.cloud.set_vFlag(k, static_cast<VertexFlag>(f.cloud.get_vFlag(k) & ~FLAG_REMOVAL_PENDING));
    return true;
  };
  // One task's caches and the voxels it turned dirty, listed in its order.
  struct Task {
    Task(grid::Octree<TsdfVoxel>& tree, std::vector<int>& list) : cache(tree), dirty(list) {}
    VoxelCreator cache;
    NodeMemo memo;
    std::vector<int>& dirty;
  };
  auto add = [this](PreparedFrame& f, int k, Task& task, int xLo, int xHi) {
    const std::size_t i = static_cast<std::size_t>(k);
    return integrate_point(f.cloud.get_vCoord(k), f.normals[i], f.weights[i], f.pose, f.wideSpread, 1.f, task.cache,
                           task.memo, task.dirty, false, xLo, xHi);
  };
  if (m_threadNum <= 1) {
    std::vector<std::vector<int>> dirty(1);
    listing_dirty(dirty, [&] {
      Task task(m_tree, dirty[0]);
      for (PreparedFrame& f : frames)
        for (int k = 0; k < f.cloud.get_vn(); ++k) {
          if (skipped(f, k)) continue;
          const Place where = add(f, k, task, 0, m_tree.grid_size());
          m_integratedPoints += where == Place::Usable ? 1 : 0;
          m_outsidePoints += where == Place::Outside ? 1 : 0;
        }
    });
    return true;
  }
  // Several workers: the volume is cut into slabs of kSlabCells cells along
  // x, each integrated by one task from the points whose neighbourhood
  // reaches into it, in frame and point order, writing only its own cells.
  // No voxel lock is taken, and every voxel receives its contributions in
  // the order of one worker, so the sums do not depend on the worker count.
  const int slabs = (m_tree.grid_size() + kSlabCells - 1) / kSlabCells;
  // Per point the first slab its neighbourhood reaches and the number (0:
  // the point does not contribute, else 1 or 2).
  std::vector<std::vector<std::pair<int, int>>> reach(frames.size());
  std::vector<long long> outside(frames.size(), 0);
  auxilary_tbb_for(m_threadNum, 0, frames.size(), [&](std::size_t fi) {
    PreparedFrame& f = frames[fi];
    const int radius = f.wideSpread ? 2 : 1;
    std::vector<std::pair<int, int>>& out = reach[fi];
    out.assign(static_cast<std::size_t>(f.cloud.get_vn()), {0, 0});
    for (int k = 0; k < f.cloud.get_vn(); ++k) {
      Eigen::Vector3f q;
      Eigen::Vector3i c;
      const std::size_t i = static_cast<std::size_t>(k);
      if (skipped(f, k)) continue;
      const Place where = locate(f.cloud.get_vCoord(k), f.normals[i], f.weights[i], f.pose, q, c);
      outside[fi] += where == Place::Outside ? 1 : 0;
      if (where != Place::Usable) continue;
      const int first = (c.x() - radius) / kSlabCells, last = (c.x() + radius) / kSlabCells;
      out[i] = {first, last - first + 1};
    }
  });
  for (long long n : outside) m_outsidePoints += n;
  std::vector<std::size_t> start(static_cast<std::size_t>(slabs) + 1, 0);
  for (const auto& list : reach)
    for (const auto& [first, count] : list) {
      m_integratedPoints += count > 0 ? 1 : 0;
      for (int s = first; s < first + count; ++s) ++start[static_cast<std::size_t>(s) + 1];
    }
  for (int s = 0; s < slabs; ++s) start[static_cast<std::size_t>(s) + 1] += start[static_cast<std::size_t>(s)];
  // Frame and point of every contributing point, slab by slab, in input order.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> order(start.back());
  {
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    for (std::size_t fi = 0; fi < reach.size(); ++fi)
      for (std::size_t i = 0; i < reach[fi].size(); ++i)
        for (int s = reach[fi][i].first; s < reach[fi][i].first + reach[fi][i].second; ++s)
          order[next[static_cast<std::size_t>(s)]++] = {static_cast<std::uint32_t>(fi), static_cast<std::uint32_t>(i)};
  }
  std::vector<int> busy;
  for (int s = 0; s < slabs; ++s)
    if (start[static_cast<std::size_t>(s) + 1] > start[static_cast<std::size_t>(s)]) busy.push_back(s);
  // The dirty lists follow in slab order, so that they too do not depend on
  // the worker count.
  std::vector<std::vector<int>> dirty(busy.size());
  listing_dirty(dirty, [&] {
    auxilary_tbb_for(m_threadNum, 0, busy.size(), [&](std::size_t r) {
      const int slab = busy[r];
      const std::size_t s = static_cast<std::size_t>(slab);
      Task task(m_tree, dirty[r]);
      const int lo = slab * kSlabCells, hi = lo + kSlabCells - 1;
      for (std::size_t j = start[s]; j < start[s + 1]; ++j)
        add(frames[order[j].first], static_cast<int>(order[j].second), task, lo, hi);
    });
  });
  return true;
}

void TsdfVolume::remove(const std::vector<RemovedPoint>& points) {
  const std::size_t n = points.size();
  const std::size_t runs = (n + kPointRun - 1) / kPointRun;
  const bool shared = m_threadNum > 1 && runs > 1;
  std::vector<std::vector<int>> dirty(runs);
  listing_dirty(dirty, [&] {
    auxilary_tbb_for(m_threadNum, 0, runs, [&](std::size_t run) {
      VoxelFinder cache(m_tree);
      NodeMemo memo;
      for (std::size_t i = run * kPointRun; i < std::min(n, (run + 1) * kPointRun); ++i) {
        const RemovedPoint& r = points[i];
        integrate_point(r.point, r.normal, r.weight, r.pose, r.wideSpread, -1.f, cache, memo, dirty[run], shared, 0,
                        m_tree.grid_size());
      }
    });
  });
}

void TsdfVolume::listing_dirty(std::vector<std::vector<int>>& lists, const std::function<void()>& tasks) {
  auto append = [&] {
    for (const std::vector<int>& list : lists) m_dirty.grow_by(list.begin(), list.end());
  };
  try {
    tasks();
  } catch (...) {
    append();
    throw;
  }
  append();
}

void TsdfVolume::for_dirty(std::size_t begin, std::size_t end,
                           const std::function<void(int, VoxelFinder&)>& body) {
  const std::size_t runs = (end - begin + kDirtyRun - 1) / kDirtyRun;
  auxilary_tbb_for(m_threadNum, 0, runs, [&](std::size_t r) {
    VoxelFinder finder(m_tree);
    const std::size_t last = std::min(end, begin + (r + 1) * kDirtyRun);
    for (std::size_t i = begin + r * kDirtyRun; i < last; ++i) {
      if (i + kDirtyAhead < last) m_tree.prefetch_leaf(m_dirty[i + kDirtyAhead]);
      body(m_dirty[i], finder);
    }
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
      mark_dirty_in(v, index, m_dirty);
      v.lock.unlock();
    }
  });
}

}  // namespace TavoAlgorithm

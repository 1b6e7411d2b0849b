// Laser line integration into the octree: segments of consecutive points
// spread weighted contributions over the cells around them; whole-tree
// passes turn the sums into signed distances and tangent moments into
// normals.
#include <algorithm>
#include <cmath>
#include <vector>

#include "LaserFusionHelper.h"
#include "Parallel.h"
#include "common/symmetric_eigen3.h"
#include "laser/LeafAccess.h"
#include "laser/NodeBaseCache.h"

namespace TavoAlgorithm {
namespace {
using namespace LaserReconstrcution;

constexpr float kMaxSegmentFactor = 4.f;       // segments longer than 4 x minFusionRadius are gaps
constexpr float kDegenerateSegment2 = 1e-10f;  // squared length below which a segment is a point
constexpr float kFarWeightFactor = 0.01f;      // w1 beyond the inner radius
constexpr float kRunBreak = 0.9f;              // camera-frame gap that cuts a tangent line
constexpr float kMinTangentAgreement = 0.6f;   // tangents of one segment must agree this well
constexpr int kSmoothHalfWidth = 4;            // tangent smoothing over +-4 neighbours
constexpr float kSmoothDenominator = 6.f;
constexpr float kTwinMergeDot = -0.05f;        // twins facing the same way fold back
constexpr float kFlatRatio = 0.9f;             // larger tangent eigenvalue share: no normal
constexpr float kDarkQualifyRatio = 0.992f;
constexpr float kMinViewAgreement = 0.5f;

// Radii and bounds of one integration call.
struct LineGeometry {
  float r1 = 0.f, r1sq = 0.f, r2 = 0.f, r2sq = 0.f;
  float cellSize = 1.f;
  int upper = 0;  // writable cells: kLaserGridBorder <= g < upper
};

template <typename T>
LineGeometry line_geometry(const LaserFusionHelper<T>& h) {
  LineGeometry g;
  const float R = std::max(h.get_min_fusion_radius(), h.get_point_dis());
  const unsigned r = h.get_extend_radius();
  g.r1 = static_cast<float>(r / 3.0) * R;
  g.r2 = static_cast<float>(r * 0.5) * R;
  g.r1sq = g.r1 * g.r1;
  g.r2sq = g.r2 * g.r2;
  g.cellSize = h.get_voxel_size();
  g.upper = h.get_grid_size() - kLaserGridBorder;
  return g;
}

template <typename T>
using LeafCache = NodeBaseCache<T, true>;

// Cell of q (grid coordinates) when it is writable; NaN and far points fail
// before any conversion to int.
bool writable_cell(const Eigen::Vector3f& q, const LineGeometry& g, Eigen::Vector3i& cell) {
  const Eigen::Vector3f u = q / g.cellSize;
  for (int k = 0; k < 3; ++k)
    if (!(u[k] >= static_cast<float>(kLaserGridBorder) && u[k] < static_cast<float>(g.upper))) return false;
  cell = u.cast<int>();
  return true;
}

bool cell_in_bounds(const Eigen::Vector3i& c, const LineGeometry& g) {
  return (c.array() >= kLaserGridBorder).all() && (c.array() < g.upper).all();
}

bool usable_normal(const Eigen::Vector3f& n) { return n.allFinite() && !is_zero_vector(n); }

// Locks the leaf and returns the record that takes a contribution facing
// `dir`: the leaf, or with double voxels and an opposed leaf normal its twin,
// created from the pool on first use and linked both ways (twins are only
// ever written under their leaf's lock). Null, with the lock released, when
// the pool cannot grow.
template <typename T>
T* lock_target(LaserFusionHelper<T>& h, T& leaf, const Eigen::Vector3f& dir) {
  leaf.lock.lock();
  if (!h.get_use_double_voxel() || !(raw_normal(leaf).dot(dir) < 0.f)) return &leaf;
  if (leaf.twin == nullptr) {
    T* twin = h.twin_pool().acquire();
    if (twin == nullptr) {
      leaf.lock.unlock();
      return nullptr;
    }
    twin->twin = &leaf;
    leaf.twin = twin;
  }
  return leaf.twin;
}

void add_moments(Moments6& m, const Eigen::Vector3f& v) {
  m[0] += v.x() * v.x();
  m[1] += v.x() * v.y();
  m[2] += v.x() * v.z();
  m[3] += v.y() * v.y();
  m[4] += v.y() * v.z();
  m[5] += v.z() * v.z();
}

Eigen::Matrix3f moment_matrix(const Moments6& m, float scale) {
  Eigen::Matrix3f M;
  M << m[0], m[1], m[2], m[1], m[3], m[4], m[2], m[4], m[5];
  return M * scale;
}

// Closest point of the segment to c when the projection falls inside it;
// the segment's terms are formed once for all the cells around it.
struct Segment {
  Eigen::Vector3f q0, seg;
  float invLen2 = 0.f;
  bool point = false;

  Segment(const Eigen::Vector3f& a, const Eigen::Vector3f& b) : q0(a), seg(b - a) {
    const float len2 = seg.squaredNorm();
    point = len2 < kDegenerateSegment2;
    if (!point) invLen2 = 1.f / len2;
  }
  bool project_inside(const Eigen::Vector3f& c, Eigen::Vector3f& P) const {
    if (point) {
      P = q0;
      return true;
    }
    const float t = (c - q0).dot(seg) * invLen2;
    if (t < 0.f || t > 1.f) return false;
    P = q0 + t * seg;
    return true;
  }
};

template <typename T>
RetVal fuse_normal_segment(LaserFusionHelper<T>& h, const LineGeometry& g, const Eigen::Vector3f& cam,
                           const Eigen::Vector3f& p0, const Eigen::Vector3f& p1, const Eigen::Vector3f& n0,
                           const Eigen::Vector3f& n1, const RigidMatrix& rt, LeafCache<T>& near) {
  const Eigen::Vector3f& shift = h.get_tree_shift();
  const Eigen::Vector3f q0 = rt * p0 - shift;
  const Eigen::Vector3f q1 = rt * p1 - shift;
  Eigen::Vector3i cell;
  if (!writable_cell(q0, g, cell) || !usable_normal(n0)) return RETVAL_SUCCESS;
  if (!writable_cell(q1, g, cell) || !usable_normal(n1)) return RETVAL_SUCCESS;
  const Eigen::Vector3f N0 = rt.transform_normal(n0);
  const Eigen::Vector3f N1 = rt.transform_normal(n1);
  Eigen::Vector3i refCell;
  if (!writable_cell(0.5f * (q0 + q1), g, refCell)) return RETVAL_SUCCESS;
  const Eigen::Vector3f refCentre = (refCell.cast<float>().array() + 0.5f).matrix() * g.cellSize;
  const float L = (q1 - q0).norm();
  if (L > kMaxSegmentFactor * h.get_min_fusion_radius()) return RETVAL_SUCCESS;

  const Eigen::Vector3f d = (q1 - q0).normalized();
  const Eigen::Vector3f u0 = d.cross(N0), u1 = d.cross(N1);
  const Eigen::Vector3f A = u0.cross(N0), B = u1.cross(N1);
  const Eigen::Vector3f C0 = u0.cross(d).normalized(), C1 = u1.cross(d).normalized();
  const float len2 = (q1 - q0).squaredNorm();
  const auto& table = h.integrator();
  auto& tree = h.octree();
  for (std::size_t k = 0; k < table.intOffsets.size(); ++k) {
    const Eigen::Vector3i gc = refCell + table.intOffsets[k];
    if (!cell_in_bounds(gc, g)) continue;
    const Eigen::Vector3f c = refCentre + table.worldOffsets[k];
    if (A.dot(c - q0) > 0.f || B.dot(c - q1) < 0.f) continue;
    Eigen::Vector3f P;
    float dist;
    bool missed = false;
    if (len2 < kDegenerateSegment2) {
      P = q0;
      dist = (c - P).norm();
    } else {
      const float t = (c - q0).dot(q1 - q0) / len2;
      missed = t < 0.f || t > 1.f;
      P = q0 + t * (q1 - q0);
      dist = missed ? -1.f : (c - P).norm();
    }
    if (dist > g.r2) continue;
    if (missed) {
      const bool nearEnd = (c - q0).norm() > (c - q1).norm();
      P = nearEnd ? q1 : q0;
      dist = (c - P).norm();
      const Eigen::Vector3f& side = nearEnd ? C1 : C0;
      if (!(std::abs(side.dot(c - P)) <= g.r2)) continue;
    }
    const int index = near.leaf(gc);
    if (index < 0) continue;
    const float t = L > 0.f ? (P - q0).norm() / L : 0.f;
    const Eigen::Vector3f n = (t * N1 + (1.f - t) * N0).normalized();
    const Eigen::Vector3f v = (cam - P).normalized();
    float w1 = std::exp(-dist * dist / g.r2sq) * static_cast<float>((v.dot(n) + 1.0) * 0.5);
    if (dist > g.r1) w1 *= kFarWeightFactor;
    const float w2 = std::exp(-dist * dist / g.r1sq);
    T& leaf = tree.element_at(index).payload;
    T* r = lock_target(h, leaf, n);
    if (r == nullptr) return RETVAL_NO_MEMORY;
    add_normal(*r, n, w1);
    r->weight += w1;
    r->offsetSum += w2 * (P - c);
    r->weight2 += w2;
    r->count += 1;
    leaf.lock.unlock();
  }
  return RETVAL_SUCCESS;
}

// Raw then smoothed unit tangents of the run [b, e) of camera-frame points;
// `raw` is scratch space.
void smoothed_tangents(const std::vector<Eigen::Vector3f>& p, int b, int e, std::vector<Eigen::Vector3f>& raw,
                       std::vector<Eigen::Vector3f>& s) {
  const int n = e - b;
  raw.resize(static_cast<std::size_t>(n));
  for (int j = 0; j < n; ++j) {
    Eigen::Vector3f sum = Eigen::Vector3f::Zero();
    if (j > 0) sum += (p[b + j] - p[b + j - 1]).normalized();
    if (j + 1 < n) sum += (p[b + j + 1] - p[b + j]).normalized();
    raw[static_cast<std::size_t>(j)] = sum.normalized();
  }
  s.resize(static_cast<std::size_t>(n));
  for (int j = 0; j < n; ++j) {
    Eigen::Vector3f sum = Eigen::Vector3f::Zero();
    for (int k = 0; k <= kSmoothHalfWidth; ++k) {
      const float w = (kSmoothDenominator - static_cast<float>(k)) / kSmoothDenominator;
      if (j - k >= 0) sum += w * raw[static_cast<std::size_t>(j - k)];
      if (j + k < n) sum += w * raw[static_cast<std::size_t>(j + k)];
    }
    s[static_cast<std::size_t>(j)] = sum.normalized();
  }
}

// A cell that takes a segment's contribution: its finest-node base, the
// cell centre and the closest point of the segment.
struct SegmentHit {
  int base;
  Eigen::Vector3i cell;
  Eigen::Vector3f c, P;
};

template <typename T>
RetVal fuse_tangent_segment(LaserFusionHelper<T>& h, const LineGeometry& g, const Eigen::Vector3f& q0,
                            const Eigen::Vector3f& q1, const Eigen::Vector3f& tangent,
                            const Eigen::Vector3f& toCamera, LeafCache<T>& near, std::vector<SegmentHit>& hits,
                            std::vector<int>& pending, std::vector<int>& updated) {
  Eigen::Vector3i cell, refCell;
  if (!writable_cell(q0, g, cell) || !writable_cell(q1, g, cell)) return RETVAL_SUCCESS;
  if (!writable_cell(0.5f * (q0 + q1), g, refCell)) return RETVAL_SUCCESS;
  const Eigen::Vector3f refCentre = (refCell.cast<float>().array() + 0.5f).matrix() * g.cellSize;
  const auto& table = h.integrator();
  auto& tree = h.octree();
  const Segment segment(q0, q1);
  // First the cells and their nodes, with the leaf records fetched ahead:
  // the record reads, mostly cache misses, then overlap instead of queueing
  // one behind the other. Updates keep the table order.
  hits.clear();
  for (std::size_t k = 0; k < table.intOffsets.size(); ++k) {
    const Eigen::Vector3i gc = refCell + table.intOffsets[k];
    if (!cell_in_bounds(gc, g)) continue;
    const Eigen::Vector3f c = refCentre + table.worldOffsets[k];
    Eigen::Vector3f P;
    if (!segment.project_inside(c, P) || (c - P).squaredNorm() > g.r2sq) continue;
    const int base = near.base(gc);
    if (base < 0) continue;
    __builtin_prefetch(&tree.element_at(base + TavoOctree::Octree<T>::child_of(gc, 0)));
    hits.push_back({base, gc, c, P});
  }
  for (const SegmentHit& hit : hits) {
    bool created = false;
    const int index = tree.claim_leaf(hit.cell, hit.base, created);
    T& leaf = tree.element_at(index).payload;
    T* r = lock_target(h, leaf, toCamera);
    if (r == nullptr) return RETVAL_NOT_READY;
    const std::uint8_t seen = leaf.flags | (leaf.twin != nullptr ? leaf.twin->flags : 0);
    if ((seen & LEAF_UPDATED) == 0) pending.push_back(index);
    updated.push_back(index);
    const Eigen::Vector3f& P = hit.P;
    if constexpr (kHasTangents<T>) {
      add_moments(r->momentsA, tangent);
      if (!is_zero_vector(r->lastPoint)) add_moments(r->momentsB, (P - r->lastPoint).normalized());
      r->lastPoint = P;
    }
    r->offsetSum += P - hit.c;
    r->count += 1;
    r->weight += 1.f;
    r->weight2 += 1.f;
    r->flags |= LEAF_UPDATED | LEAF_NORMAL_STALE;
    leaf.lock.unlock();
  }
  return RETVAL_SUCCESS;
}

// The used leaf element of a listed index, or null; `slots` is the tree's
// leaf_slots_in_use(), read once per pass.
template <typename T>
T* listed_leaf(TavoOctree::Octree<T>& tree, int slots, int index) {
  if (index < 0 || index >= slots) return nullptr;
  auto& e = tree.element_at(index);
  return e.is_used() ? &e.payload : nullptr;
}

void estimate_normal(LeafTangent& r, const Eigen::Vector3f& viewDir, bool darkMode) {
  if ((r.flags & LEAF_NORMAL_STALE) == 0) return;
  r.flags &= static_cast<std::uint8_t>(~LEAF_NORMAL_STALE);
  if (!(r.weight > 0.f)) return;
  // The eigenvalue ratio q = lambda_max / (sum of eigenvalues) decides first;
  // most cells are crossed along one direction only (q above the flat
  // limit) and need no eigenvectors at all.
  const Eigen::Matrix3f MA = moment_matrix(r.momentsA, 1.f / r.weight);
  if (!MA.allFinite() || !(MA.trace() > 0.f)) return;
  Eigen::Vector3f candidate;
  if (!darkMode) {
    if (largest_share_exceeds(MA, kFlatRatio)) {
      const Eigen::Matrix3f MAB = MA + moment_matrix(r.momentsB, 1.f / r.weight);
      if (!MAB.allFinite() || largest_share_exceeds(MAB, kFlatRatio)) return;
      candidate = smallest_eigenvector(MAB);
    } else {
      candidate = smallest_eigenvector(MA);
    }
  } else {
    if ((r.flags & LEAF_DARK_ESTIMABLE) == 0) {
      // Qualifies when q < kDarkQualifyRatio.
      if (!largest_share_exceeds(MA, kDarkQualifyRatio)) r.flags |= LEAF_DARK_ESTIMABLE;
      return;
    }
    if (largest_share_exceeds(MA, kFlatRatio)) return;
    candidate = smallest_eigenvector(MA);
  }
  const float facing = candidate.dot(-viewDir);
  if (!is_zero_vector(r.normal) && std::abs(facing) < kMinViewAgreement) return;
  r.normal = facing < 0.f ? Eigen::Vector3f(-candidate) : candidate;
}

void merge_twin(Leaf& leaf, Leaf& twin) {
  leaf.normalSum += twin.normalSum;
  leaf.weight += twin.weight;
  leaf.weight2 += twin.weight2;
  leaf.offsetSum += twin.offsetSum;
  leaf.count += twin.count;
  leaf.normalSum.normalize();
}

void merge_twin(LeafTangent& leaf, LeafTangent& twin) {
  for (std::size_t k = 0; k < leaf.momentsA.size(); ++k) leaf.momentsA[k] += twin.momentsA[k];
  leaf.offsetSum += twin.offsetSum;
  leaf.weight2 += twin.weight2;
  leaf.count += twin.count;
  const float w = leaf.weight + twin.weight;
  if (w > 0.f) leaf.normal = ((leaf.weight * leaf.normal + twin.weight * twin.normal) / w).normalized();
  leaf.weight = w;
}

template <typename T>
void set_sdf(T& r) {
  if (r.count < 2 || !(r.weight2 > 0.f)) return;
  r.sdf = -(r.offsetSum / r.weight2).dot(unit_normal(r));
}
}  // namespace

template <typename T>
RetVal LaserFusionHelper<T>::fusion_one_lines_normal(const std::vector<Eigen::Vector3f>& points,
                                                     const std::vector<Eigen::Vector3f>& normals,
                                                     const RigidMatrix& rt) {
  if (points.size() != normals.size()) return RETVAL_FAILED;
  if (points.size() < 2) return RETVAL_SUCCESS;
  const LineGeometry g = line_geometry(*this);
  const Eigen::Vector3f cam = rt * Eigen::Vector3f(Eigen::Vector3f::Zero()) - m_shift;
  LeafCache<T> near(m_tree);
  for (std::size_t i = 0; i + 1 < points.size(); ++i)
    if (fuse_normal_segment(*this, g, cam, points[i], points[i + 1], normals[i], normals[i + 1], rt, near) ==
        RETVAL_NO_MEMORY)
      return RETVAL_NO_MEMORY;
  return RETVAL_SUCCESS;
}

template <typename T>
RetVal LaserFusionHelper<T>::fusion_one_lines_tangent(const std::vector<Eigen::Vector3f>& points,
                                                      const RigidMatrix& rt,
                                                      tbb::concurrent_vector<int>& pendingLeaves,
                                                      tbb::concurrent_vector<int>& updatedLeaves) {
  const LineGeometry g = line_geometry(*this);
  const Eigen::Vector3f toCamera = -rt.transform_normal(Eigen::Vector3f(Eigen::Vector3f::UnitZ()));
  const int n = static_cast<int>(points.size());
  std::vector<Eigen::Vector3f> raw, smooth;
  std::vector<SegmentHit> hits;
  // The shared lists grow once per line: one push per touched cell would
  // make the workers of a frame fight over the lists' counters.
  std::vector<int> pending, updated;
  LeafCache<T> near(m_tree);
  auto publish = [&](RetVal ret) {
    if (!pending.empty()) pendingLeaves.grow_by(pending.begin(), pending.end());
    if (!updated.empty()) updatedLeaves.grow_by(updated.begin(), updated.end());
    return ret;
  };
  int b = 0;
  while (b < n) {
    // A run: finite points with gaps below kRunBreak; a non-finite point cuts too.
    if (!points[static_cast<std::size_t>(b)].allFinite()) {
      ++b;
      continue;
    }
    int e = b + 1;
    while (e < n && points[static_cast<std::size_t>(e)].allFinite() &&
           (points[static_cast<std::size_t>(e)] - points[static_cast<std::size_t>(e - 1)]).norm() < kRunBreak)
      ++e;
    if (e - b >= 2) {
      smoothed_tangents(points, b, e, raw, smooth);
      for (int i = b; i + 1 < e; ++i) {
        const Eigen::Vector3f T0 = rt.transform_normal(smooth[static_cast<std::size_t>(i - b)]);
        const Eigen::Vector3f T1 = rt.transform_normal(smooth[static_cast<std::size_t>(i - b + 1)]);
        if (!(T0.dot(T1) >= kMinTangentAgreement)) continue;
        const Eigen::Vector3f q0 = rt * points[static_cast<std::size_t>(i)] - m_shift;
        const Eigen::Vector3f q1 = rt * points[static_cast<std::size_t>(i + 1)] - m_shift;
        if (fuse_tangent_segment(*this, g, q0, q1, Eigen::Vector3f(0.5f * (T0 + T1)), toCamera, near, hits,
                                 pending, updated) != RETVAL_SUCCESS)
          return publish(RETVAL_NOT_READY);
      }
    }
    b = e;
  }
  return publish(RETVAL_SUCCESS);
}

template <typename T>
void LaserFusionHelper<T>::integrate_into_tsdf() {
  const int slots = m_tree.leaf_slots_in_use();
  auxilary_tbb_for(m_integrator.threadNum, 0, static_cast<std::size_t>(slots), [&](std::size_t i) {
    auto& e = m_tree.element_at(static_cast<int>(i));
    if (!e.is_used()) return;
    T& leaf = e.payload;
    T* twin = leaf.twin;
    if (twin == nullptr || raw_normal(leaf).dot(raw_normal(*twin)) < kTwinMergeDot) return;
    merge_twin(leaf, *twin);
    twin->twin = nullptr;
    leaf.twin = nullptr;
  });
  auxilary_tbb_for(m_integrator.threadNum, 0, static_cast<std::size_t>(slots), [&](std::size_t i) {
    auto& e = m_tree.element_at(static_cast<int>(i));
    if (!e.is_used()) return;
    set_sdf(e.payload);
    if (e.payload.twin != nullptr) set_sdf(*e.payload.twin);
  });
}

template <typename T>
void LaserFusionHelper<T>::update_normal(const Eigen::Vector3f& viewDir, const tbb::concurrent_vector<int>& leaves,
                                         bool darkMode) {
  if constexpr (kHasTangents<T>) {
    // The list holds a leaf once per touch: the record lock lets only the
    // first task that finds it stale estimate it. One worker meets no other.
    const int slots = m_tree.leaf_slots_in_use();
    const int workers = m_integrator.workers_for(leaves.size());
    auxilary_tbb_for(workers, 0, leaves.size(), [&](std::size_t i) {
      T* leaf = listed_leaf(m_tree, slots, leaves[i]);
      if (leaf == nullptr) return;
      if (workers > 1) leaf->lock.lock();
      estimate_normal(*leaf, viewDir, darkMode);
      if (leaf->twin != nullptr) estimate_normal(*leaf->twin, viewDir, darkMode);
      if (workers > 1) leaf->lock.unlock();
    });
  } else {
    (void)viewDir;
    (void)leaves;
    (void)darkMode;
  }
}

template <typename T>
void LaserFusionHelper<T>::clear_update_flags(const tbb::concurrent_vector<int>& leaves) {
  const int slots = m_tree.leaf_slots_in_use();
  const int workers = m_integrator.workers_for(leaves.size());
  auxilary_tbb_for(workers, 0, leaves.size(), [&](std::size_t i) {
    T* leaf = listed_leaf(m_tree, slots, leaves[i]);
    if (leaf == nullptr) return;
    if (workers > 1) leaf->lock.lock();
    leaf->flags &= static_cast<std::uint8_t>(~LEAF_UPDATED);
    if (leaf->twin != nullptr) leaf->twin->flags &= static_cast<std::uint8_t>(~LEAF_UPDATED);
    if (workers > 1) leaf->lock.unlock();
  });
}

template <typename T>
void LaserFusionHelper<T>::get_update_vid(const tbb::concurrent_vector<int>& leaves, std::vector<int>& vids) {
  (void)vids;
  for (std::size_t i = 0; i < leaves.size(); ++i)
    if (leaves[i] >= 0) m_tree.element(leaves[i]);
}

#define TAVO_LINE_FUSION_MEMBERS(T)                                                                            \
  template RetVal LaserFusionHelper<T>::fusion_one_lines_normal(                                               \
      const std::vector<Eigen::Vector3f>&, const std::vector<Eigen::Vector3f>&, const RigidMatrix&);           \
  template RetVal LaserFusionHelper<T>::fusion_one_lines_tangent(                                              \
      const std::vector<Eigen::Vector3f>&, const RigidMatrix&, tbb::concurrent_vector<int>&,                   \
      tbb::concurrent_vector<int>&);                                                                           \
  template void LaserFusionHelper<T>::integrate_into_tsdf();                                                   \
  template void LaserFusionHelper<T>::update_normal(const Eigen::Vector3f&, const tbb::concurrent_vector<int>&, \
                                                    bool);                                                     \
  template void LaserFusionHelper<T>::clear_update_flags(const tbb::concurrent_vector<int>&);                  \
  template void LaserFusionHelper<T>::get_update_vid(const tbb::concurrent_vector<int>&, std::vector<int>&);

TAVO_LINE_FUSION_MEMBERS(LaserReconstrcution::Leaf)
TAVO_LINE_FUSION_MEMBERS(LaserReconstrcution::LeafTangent)

}  // namespace TavoAlgorithm

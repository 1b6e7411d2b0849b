// Laser line integration into the octree: segments of consecutive points
// spread weighted contributions over the cells around them; whole-tree
// passes turn the sums into signed distances and tangent moments into
// normals.
#include <tbb/global_control.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "LaserFusionHelper.h"
#include "Parallel.h"
#include "geometry/SymmetricEigen3.h"
#include "grid/NodeBaseCache.h"
#include "laser/LeafAccess.h"

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
constexpr std::size_t kEstimateAhead = 4;      // records fetched ahead of the normal estimates

// Radii and grid of one integration call; the writable cells are the
// frame's usable ones.
struct LineGeometry {
  float r1 = 0.f, r1sq = 0.f, r2 = 0.f, r2sq = 0.f;
  grid::GridFrame frame;
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
  g.frame = h.grid_frame();
  return g;
}

template <typename T>
using LeafCache = grid::NodeBaseCache<T, true>;

bool usable_normal(const Eigen::Vector3f& n) { return n.allFinite() && !is_zero_vector(n); }

// Locks the leaf and returns the record that takes a contribution facing
// `dir`: the leaf, or with double voxels and an opposed leaf normal its twin,
// created from the pool on first use and linked both ways (twins are only
// ever written under their leaf's lock). Null, with the lock released, when
// the pool cannot grow.
// `locked` false: the caller is the only writer, and no lock is taken.
template <typename T>
T* lock_target(LaserFusionHelper<T>& h, T& leaf, const Eigen::Vector3f& dir, bool locked = true) {
  if (locked) leaf.lock.lock();
  if (!h.get_use_double_voxel() || !(raw_normal(leaf).dot(dir) < 0.f)) return &leaf;
  if (leaf.twin == nullptr) {
    T* twin = h.twin_pool().acquire();
    if (twin == nullptr) {
      if (locked) leaf.lock.unlock();
      return nullptr;
    }
    twin->twin = &leaf;
    leaf.twin = twin;
  }
  return leaf.twin;
}

// v / |v| by one division instead of three; zero stays zero.
Eigen::Vector3f unit(const Eigen::Vector3f& v) {
  const float n2 = v.squaredNorm();
  return n2 > 0.f ? Eigen::Vector3f(v * (1.f / std::sqrt(n2))) : v;
}

void add_moments(Moments6& m, const Eigen::Vector3f& v) {
  m[0] += v.x() * v.x();
  m[1] += v.x() * v.y();
  m[2] += v.x() * v.z();
  m[3] += v.y() * v.y();
  m[4] += v.y() * v.z();
  m[5] += v.z() * v.z();
}

// The moments times `scale`, in the double precision of the eigen solver.
Eigen::Matrix3d moment_matrix(const Moments6& m, double scale) {
  Eigen::Matrix3d M;
  M(0, 0) = m[0] * scale;
  M(0, 1) = M(1, 0) = m[1] * scale;
  M(0, 2) = M(2, 0) = m[2] * scale;
  M(1, 1) = m[3] * scale;
  M(1, 2) = M(2, 1) = m[4] * scale;
  M(2, 2) = m[5] * scale;
  return M;
}

// A sum is finite only when every term is (infinities of opposite sign give NaN).
bool all_finite(const Eigen::Matrix3d& M) { return std::isfinite(M.sum()); }

// The terms of a segment's closest-point projection, formed once for all
// the cells around it; a point segment projects everything onto q0.
struct Segment {
  Eigen::Vector3f q0, seg;
  float invLen2 = 0.f;
  bool point = false;

  Segment(const Eigen::Vector3f& a, const Eigen::Vector3f& b) : q0(a), seg(b - a) {
    const float len2 = seg.squaredNorm();
    point = len2 < kDegenerateSegment2;
    if (!point) invLen2 = 1.f / len2;
  }
};

template <typename T>
RetVal fuse_normal_segment(LaserFusionHelper<T>& h, const LineGeometry& g, const Eigen::Vector3f& cam,
                           const Eigen::Vector3f& p0, const Eigen::Vector3f& p1, const Eigen::Vector3f& n0,
                           const Eigen::Vector3f& n1, const RigidMatrix& rt, LeafCache<T>& near) {
  // A local copy: its bounds stay in registers across the record writes.
  const grid::GridFrame frame = g.frame;
  const Eigen::Vector3f q0 = rt * p0 - frame.origin;
  const Eigen::Vector3f q1 = rt * p1 - frame.origin;
  Eigen::Vector3i cell;
  if (!frame.usable_local_cell(q0, cell) || !usable_normal(n0)) return RETVAL_SUCCESS;
  if (!frame.usable_local_cell(q1, cell) || !usable_normal(n1)) return RETVAL_SUCCESS;
  const Eigen::Vector3f N0 = rt.transform_normal(n0);
  const Eigen::Vector3f N1 = rt.transform_normal(n1);
  Eigen::Vector3i refCell;
  if (!frame.usable_local_cell(0.5f * (q0 + q1), refCell)) return RETVAL_SUCCESS;
  const Eigen::Vector3f refCentre = frame.local_centre(refCell);
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
    if (!frame.is_usable(gc)) continue;
    const Eigen::Vector3f c = refCentre + table.worldOffsets[k];
    const Eigen::Vector3f fromQ0 = c - q0, fromQ1 = c - q1;
    if (A.dot(fromQ0) > 0.f || B.dot(fromQ1) < 0.f) continue;
    Eigen::Vector3f P;
    float dist;
    bool missed = false;
    if (len2 < kDegenerateSegment2) {
      P = q0;
      dist = (c - P).norm();
    } else {
      const float t = fromQ0.dot(q1 - q0) / len2;
      missed = t < 0.f || t > 1.f;
      P = q0 + t * (q1 - q0);
      dist = missed ? -1.f : (c - P).norm();
    }
    if (dist > g.r2) continue;
    if (missed) {
      const bool nearEnd = fromQ0.norm() > fromQ1.norm();
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

// A run of a line: points [b, e), consecutive ones closer than kRunBreak.
struct Run {
  int b, e;
};

// The runs of at least two points; a non-finite point cuts too.
void line_runs(const std::vector<Eigen::Vector3f>& p, std::vector<Run>& runs) {
  runs.clear();
  const int n = static_cast<int>(p.size());
  int b = 0;
  while (b < n) {
    if (!p[static_cast<std::size_t>(b)].allFinite()) {
      ++b;
      continue;
    }
    int e = b + 1;
    while (e < n && p[static_cast<std::size_t>(e)].allFinite() &&
           (p[static_cast<std::size_t>(e)] - p[static_cast<std::size_t>(e - 1)]).norm() < kRunBreak)
      ++e;
    if (e - b >= 2) runs.push_back({b, e});
    b = e;
  }
}

// Smoothed unit tangents of the points j0 ... j1 - 1 of run r into s (s[0]
// for j0); `dir` and `raw` are scratch space. Only the points within reach
// of the smoothing are read, so any stretch of a run gets the same values
// as the whole run would.
void smoothed_tangents(const std::vector<Eigen::Vector3f>& p, const Run& r, int j0, int j1,
                       std::vector<Eigen::Vector3f>& dir, std::vector<Eigen::Vector3f>& raw,
                       std::vector<Eigen::Vector3f>& s) {
  const int m0 = std::max(r.b, j0 - kSmoothHalfWidth), m1 = std::min(r.e, j1 + kSmoothHalfWidth);
  // dir[m - m0 + 1]: unit direction of segment (m, m + 1), formed once for
  // the two points it joins.
  dir.resize(static_cast<std::size_t>(m1 - m0 + 1));
  for (int m = std::max(r.b, m0 - 1); m < std::min(r.e - 1, m1); ++m)
    dir[static_cast<std::size_t>(m - m0 + 1)] = (p[m + 1] - p[m]).normalized();
  raw.resize(static_cast<std::size_t>(m1 - m0));
  for (int m = m0; m < m1; ++m) {
    Eigen::Vector3f sum = Eigen::Vector3f::Zero();
    if (m > r.b) sum += dir[static_cast<std::size_t>(m - m0)];
    if (m + 1 < r.e) sum += dir[static_cast<std::size_t>(m - m0 + 1)];
    raw[static_cast<std::size_t>(m - m0)] = sum.normalized();
  }
  s.resize(static_cast<std::size_t>(j1 - j0));
  for (int j = j0; j < j1; ++j) {
    Eigen::Vector3f sum = Eigen::Vector3f::Zero();
    for (int k = 0; k <= kSmoothHalfWidth; ++k) {
      const float w = (kSmoothDenominator - static_cast<float>(k)) / kSmoothDenominator;
      if (j - k >= r.b) sum += w * raw[static_cast<std::size_t>(j - k - m0)];
      if (j + k < r.e) sum += w * raw[static_cast<std::size_t>(j + k - m0)];
    }
    s[static_cast<std::size_t>(j - j0)] = sum.normalized();
  }
}

// A cell that takes a segment's contribution: its finest-node base, the
// cell centre and the closest point of the segment.
struct SegmentHit {
  int base;
  Eigen::Vector3i cell;
  Eigen::Vector3f c, P;
};

// Per-axis terms of the neighbour block around a reference cell, in table
// order (offset -1 ... r - 2 on each axis).
struct BlockAxes {
  std::array<std::vector<float>, 3> centre, toCentre;  // cell centre, and centre - q0
  std::array<std::vector<std::uint8_t>, 3> writable;
};

// A segment's contribution to a cell, queued: the cell's finest-node
// base, the cell centre c, the closest point P and the segment's tangent.
struct TangentHit {
  int base;
  Eigen::Vector3i cell;
  Eigen::Vector3f c, P, tangent;
};

// Queued contributions, one queue per share of the finest nodes (a leaf
// belongs to the share of its node).
struct HitQueues : std::vector<std::vector<TangentHit>> {
  void push(const TangentHit& hit) { (*this)[static_cast<std::size_t>(hit.base >> 3) % size()].push_back(hit); }
};

// Writes one contribution to the record of leaf `index`, listing the leaf
// as fusion_one_lines_tangent does. False when the twin pool cannot grow.
template <typename T>
bool add_tangent_contribution(LaserFusionHelper<T>& h, int index, const Eigen::Vector3f& c, const Eigen::Vector3f& P,
                              const Eigen::Vector3f& tangent, const Eigen::Vector3f& toCamera,
                              std::vector<int>& pending, std::vector<int>& updated, bool locked) {
  T& leaf = h.octree().element_at(index).payload;
  T* r = lock_target(h, leaf, toCamera, locked);
  if (r == nullptr) return false;
  const std::uint8_t seen = leaf.flags | (leaf.twin != nullptr ? leaf.twin->flags : 0);
  if ((seen & LEAF_UPDATED) == 0) pending.push_back(index);
  updated.push_back(index);
  if constexpr (kHasTangents<T>) {
    add_moments(r->momentsA, tangent);
    if (!is_zero_vector(r->lastPoint)) add_moments(r->momentsB, unit(P - r->lastPoint));
    r->lastPoint = P;
  }
  r->offsetSum += P - c;
  r->count += 1;
  r->weight += 1.f;
  r->weight2 += 1.f;
  r->flags |= LEAF_UPDATED | LEAF_NORMAL_STALE;
  if (locked) leaf.lock.unlock();
  return true;
}

// The cells a segment reaches get its contribution, or with `deferred` the
// contributions are queued there in order instead (leaves not yet claimed).
template <typename T>
RetVal fuse_tangent_segment(LaserFusionHelper<T>& h, const LineGeometry& g, const Eigen::Vector3f& q0,
                            const Eigen::Vector3f& q1, const Eigen::Vector3f& tangent,
                            const Eigen::Vector3f& toCamera, LeafCache<T>& near, std::vector<SegmentHit>& hits,
                            BlockAxes& axes, std::vector<int>& pending, std::vector<int>& updated, bool locked,
                            HitQueues* deferred) {
  const grid::GridFrame frame = g.frame;  // as in fuse_normal_segment
  Eigen::Vector3i cell, refCell;
  if (!frame.usable_local_cell(q0, cell) || !frame.usable_local_cell(q1, cell)) return RETVAL_SUCCESS;
  if (!frame.usable_local_cell(0.5f * (q0 + q1), refCell)) return RETVAL_SUCCESS;
  const Eigen::Vector3f refCentre = frame.local_centre(refCell);
  const auto& table = h.integrator();
  auto& tree = h.octree();
  const Segment segment(q0, q1);
  // The table is the r x r x r block around the reference cell, x fastest:
  // the centre's offsets from q0 and the bounds are formed per axis, once.
  const int r = static_cast<int>(table.extendRadius);
  for (int a = 0; a < 3; ++a) {
    axes.centre[a].resize(static_cast<std::size_t>(r));
    axes.toCentre[a].resize(static_cast<std::size_t>(r));
    axes.writable[a].resize(static_cast<std::size_t>(r));
    for (int i = 0; i < r; ++i) {
      axes.centre[a][i] = refCentre[a] + static_cast<float>(i - 1) * frame.cellSize;
      axes.toCentre[a][i] = axes.centre[a][i] - q0[a];
      axes.writable[a][i] = frame.usable_coordinate(refCell[a] + i - 1);
    }
  }
  // First the cells and their nodes, with the leaf records fetched ahead:
  // the record reads, mostly cache misses, then overlap instead of queueing
  // one behind the other. Updates keep the table order.
  hits.clear();
  for (int z = 0; z < r; ++z) {
    if (!axes.writable[2][z]) continue;
    const float dz = axes.toCentre[2][z];
    for (int y = 0; y < r; ++y) {
      if (!axes.writable[1][y]) continue;
      const float dy = axes.toCentre[1][y];
      for (int x = 0; x < r; ++x) {
        if (!axes.writable[0][x]) continue;
        const Eigen::Vector3f d(axes.toCentre[0][x], dy, dz);  // c - q0
        float t = 0.f;
        if (!segment.point) {
          t = d.dot(segment.seg) * segment.invLen2;
          if (t < 0.f || t > 1.f) continue;
        }
        const Eigen::Vector3f e = d - t * segment.seg;  // c - P
        if (e.squaredNorm() > g.r2sq) continue;
        const Eigen::Vector3i gc = refCell + Eigen::Vector3i(x - 1, y - 1, z - 1);
        const int base = near.base(gc);
        if (base < 0) continue;
        const Eigen::Vector3f c(axes.centre[0][x], axes.centre[1][y], axes.centre[2][z]);
        const Eigen::Vector3f P = segment.point ? q0 : Eigen::Vector3f(q0 + t * segment.seg);
        if (deferred != nullptr) {
          deferred->push({base, gc, c, P, tangent});
          continue;
        }
        prefetch_record(tree.element_at(base + grid::Octree<T>::child_of(gc, 0)));
        hits.push_back({base, gc, c, P});
      }
    }
  }
  for (const SegmentHit& hit : hits) {
    bool created = false;
    const int index = tree.claim_leaf(hit.cell, hit.base, created);
    if (!add_tangent_contribution(h, index, hit.c, hit.P, tangent, toCamera, pending, updated, locked))
      return RETVAL_NOT_READY;
  }
  return RETVAL_SUCCESS;
}

// Working storage of one task of tangent integration.
struct TangentScratch {
  std::vector<Eigen::Vector3f> dir, raw, smooth;
  std::vector<SegmentHit> hits;
  BlockAxes axes;
};

// Segments i0 ... i1 - 1 of run r (i1 < r.e): the tangent steps of one
// stretch of a line, stopping at the first twin the pool cannot give.
template <typename T>
RetVal fuse_tangent_stretch(LaserFusionHelper<T>& h, const LineGeometry& g, const std::vector<Eigen::Vector3f>& points,
                            const Run& r, int i0, int i1, const RigidMatrix& rt, const Eigen::Vector3f& toCamera,
                            LeafCache<T>& near, TangentScratch& scratch, std::vector<int>& pending,
                            std::vector<int>& updated, bool locked, HitQueues* deferred = nullptr) {
  smoothed_tangents(points, r, i0, i1 + 1, scratch.dir, scratch.raw, scratch.smooth);
  const Eigen::Vector3f& shift = g.frame.origin;
  for (int i = i0; i < i1; ++i) {
    const Eigen::Vector3f T0 = rt.transform_normal(scratch.smooth[static_cast<std::size_t>(i - i0)]);
    const Eigen::Vector3f T1 = rt.transform_normal(scratch.smooth[static_cast<std::size_t>(i - i0 + 1)]);
    if (!(T0.dot(T1) >= kMinTangentAgreement)) continue;
    const Eigen::Vector3f q0 = rt * points[static_cast<std::size_t>(i)] - shift;
    const Eigen::Vector3f q1 = rt * points[static_cast<std::size_t>(i + 1)] - shift;
    if (fuse_tangent_segment(h, g, q0, q1, Eigen::Vector3f(0.5f * (T0 + T1)), toCamera, near, scratch.hits,
                             scratch.axes, pending, updated, locked, deferred) != RETVAL_SUCCESS)
      return RETVAL_NOT_READY;
  }
  return RETVAL_SUCCESS;
}

// The used leaf element of a listed index, or null; `slots` is the tree's
// leaf_slots_in_use(), read once per pass.
template <typename T>
T* listed_leaf(grid::Octree<T>& tree, int slots, int index) {
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
  const double scale = 1.0 / static_cast<double>(r.weight);
  const Eigen::Matrix3d MA = moment_matrix(r.momentsA, scale);
  if (!all_finite(MA) || !(MA.trace() > 0.0)) return;
  Eigen::Vector3d candidate;
  if (!darkMode) {
    if (largest_share_exceeds(MA, double{kFlatRatio})) {
      const Eigen::Matrix3d MAB = MA + moment_matrix(r.momentsB, scale);
      if (!all_finite(MAB) || largest_share_exceeds(MAB, double{kFlatRatio})) return;
      candidate = smallest_eigenvector(MAB);
    } else {
      candidate = smallest_eigenvector(MA);
    }
  } else {
    if ((r.flags & LEAF_DARK_ESTIMABLE) == 0) {
      // Qualifies when q < kDarkQualifyRatio.
      if (!largest_share_exceeds(MA, double{kDarkQualifyRatio})) r.flags |= LEAF_DARK_ESTIMABLE;
      return;
    }
    if (largest_share_exceeds(MA, double{kFlatRatio})) return;
    candidate = smallest_eigenvector(MA);
  }
  const Eigen::Vector3f n = candidate.cast<float>();
  const float facing = n.dot(-viewDir);
  if (!is_zero_vector(r.normal) && std::abs(facing) < kMinViewAgreement) return;
  r.normal = facing < 0.f ? Eigen::Vector3f(-n) : n;
}

// A listed leaf and its twin re-estimated; `locked` when another task may
// meet the same leaf in its list.
void estimate_listed(LeafTangent& leaf, const Eigen::Vector3f& viewDir, bool darkMode, bool locked) {
  if (locked) leaf.lock.lock();
  estimate_normal(leaf, viewDir, darkMode);
  if (leaf.twin != nullptr) estimate_normal(*leaf.twin, viewDir, darkMode);
  if (locked) leaf.lock.unlock();
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
  const Eigen::Vector3f cam = rt * Eigen::Vector3f(Eigen::Vector3f::Zero()) - m_frame.origin;
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
  std::vector<Run> runs;
  line_runs(points, runs);
  TangentScratch scratch;
  // The shared lists grow once per line: one push per touched cell would
  // make the workers of a frame fight over the lists' counters.
  std::vector<int> pending, updated;
  LeafCache<T> near(m_tree);
  RetVal ret = RETVAL_SUCCESS;
  for (const Run& r : runs)
    if (fuse_tangent_stretch(*this, g, points, r, r.b, r.e - 1, rt, toCamera, near, scratch, pending, updated,
                             true) != RETVAL_SUCCESS) {
      ret = RETVAL_NOT_READY;
      break;
    }
  if (!pending.empty()) pendingLeaves.grow_by(pending.begin(), pending.end());
  if (!updated.empty()) updatedLeaves.grow_by(updated.begin(), updated.end());
  return ret;
}

template <typename T>
RetVal LaserFusionHelper<T>::fusion_one_frame_tangent(const std::vector<const std::vector<Eigen::Vector3f>*>& lines,
                                                      const RigidMatrix& rt, bool darkMode, int workers,
                                                      tbb::concurrent_vector<int>& pendingLeaves) {
  return fuse_frame_tangent(lines, rt, true, darkMode, workers, pendingLeaves);
}

template <typename T>
RetVal LaserFusionHelper<T>::fuse_frame_tangent(const std::vector<const std::vector<Eigen::Vector3f>*>& lines,
                                                const RigidMatrix& rt, bool estimate, bool darkMode, int workers,
                                                tbb::concurrent_vector<int>& pendingLeaves) {
  // A piece of about this many segments takes a few tens of microseconds:
  // enough to outweigh its hand-over, small enough that the workers finish
  // a frame's phases together.
  constexpr int kPieceSegments = 32;
  constexpr std::size_t kApplyAhead = 8;  // queued contributions whose records are fetched ahead
  struct Piece {
    const std::vector<Eigen::Vector3f>* points;
    Run run;
    int i0, i1;
    HitQueues queues;
    RetVal ret = RETVAL_SUCCESS;
  };
  // The records one task writes, and its lists.
  struct Share {
    std::vector<int> pending, updated;
    RetVal ret = RETVAL_SUCCESS;
  };
  std::vector<Piece> pieces;
  std::vector<Run> runs;
  for (const std::vector<Eigen::Vector3f>* line : lines) {
    if (line == nullptr) continue;
    line_runs(*line, runs);
    for (const Run& r : runs) {
      const int segments = r.e - r.b - 1;
      const int count = (segments + kPieceSegments - 1) / kPieceSegments;
      for (int k = 0; k < count; ++k)
        pieces.push_back({line, r, r.b + segments * k / count, r.b + segments * (k + 1) / count, {}});
    }
  }
  if (pieces.empty()) return RETVAL_SUCCESS;
  // More shares than threads allowed to run would only take turns, each
  // paying for the queues.
  const auto allowed = static_cast<int>(std::min<std::size_t>(
      tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism), pieces.size()));
  workers = std::max(1, std::min(workers, allowed));
  const LineGeometry g = line_geometry(*this);
  const Eigen::Vector3f viewDir = rt.transform_normal(Eigen::Vector3f(Eigen::Vector3f::UnitZ()));
  std::vector<Share> shares(static_cast<std::size_t>(workers));
  // Each listed leaf estimated once, by the one task that wrote it.
  const auto estimate_share = [&](const Share& share) {
    if constexpr (kHasTangents<T>) {
      if (!estimate) return;
      const std::vector<int>& list = share.updated;
      for (std::size_t j = 0; j < list.size(); ++j) {
        // The records were written by this frame, but mostly fell out of
        // the nearest caches since.
        if (j + kEstimateAhead < list.size()) prefetch_record(m_tree.element_at(list[j + kEstimateAhead]));
        estimate_listed(m_tree.element_at(list[j]).payload, viewDir, darkMode, false);
      }
    } else {
      (void)share;
      (void)darkMode;
    }
  };
  if (workers == 1) {
    TangentScratch scratch;
    LeafCache<T> near(m_tree);
    for (Piece& p : pieces)
      p.ret = fuse_tangent_stretch(*this, g, *p.points, p.run, p.i0, p.i1, rt, -viewDir, near, scratch,
                                   shares[0].pending, shares[0].updated, false);
    estimate_share(shares[0]);
  } else {
    // The pieces find their cells in parallel and queue the contributions by
    // share; then each task claims and writes the leaves of its share,
    // taking its queues in piece order. Every record gets its contributions
    // in line order whatever the number of workers (the moments between
    // contributions depend on that order), and no record is locked.
    auxilary_tbb_for(workers, 0, pieces.size(), [&](std::size_t k) {
      Piece& p = pieces[k];
      p.queues.resize(static_cast<std::size_t>(workers));
      // A segment touches about five cells.
      for (auto& q : p.queues) q.reserve(static_cast<std::size_t>(8 * (p.i1 - p.i0) / workers));
      // Reused by every piece a worker runs: nothing inside waits for other tasks.
      thread_local TangentScratch scratch;
      LeafCache<T> near(m_tree);
      std::vector<int> none;
      p.ret = fuse_tangent_stretch(*this, g, *p.points, p.run, p.i0, p.i1, rt, -viewDir, near, scratch, none, none,
                                   false, &p.queues);
    });
    auxilary_tbb_for(workers, 0, shares.size(), [&](std::size_t w) {
      Share& s = shares[w];
      for (const Piece& p : pieces) {
        const std::vector<TangentHit>& hits = p.queues[w];
        for (std::size_t j = 0; j < hits.size() && s.ret == RETVAL_SUCCESS; ++j) {
          if (j + kApplyAhead < hits.size()) {
            const TangentHit& ahead = hits[j + kApplyAhead];
            prefetch_record(m_tree.element_at(ahead.base + grid::Octree<T>::child_of(ahead.cell, 0)));
          }
          const TangentHit& hit = hits[j];
          bool created = false;
          const int index = m_tree.claim_leaf(hit.cell, hit.base, created);
          if (!add_tangent_contribution(*this, index, hit.c, hit.P, hit.tangent, -viewDir, s.pending, s.updated,
                                        false))
            s.ret = RETVAL_NOT_READY;
        }
      }
      // The records of this share have all their contributions of the frame.
      estimate_share(s);
    });
  }
  for (const Share& s : shares)
    if (!s.pending.empty()) pendingLeaves.grow_by(s.pending.begin(), s.pending.end());
  for (const Piece& p : pieces)
    if (p.ret != RETVAL_SUCCESS) return p.ret;
  for (const Share& s : shares)
    if (s.ret != RETVAL_SUCCESS) return s.ret;
  return RETVAL_SUCCESS;
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
      // A whole scan's list reaches records written long ago.
      if (i + kEstimateAhead < leaves.size()) {
        const int ahead = leaves[i + kEstimateAhead];
        if (ahead >= 0 && ahead < slots) prefetch_record(m_tree.element_at(ahead));
      }
      T* leaf = listed_leaf(m_tree, slots, leaves[i]);
      if (leaf != nullptr) estimate_listed(*leaf, viewDir, darkMode, workers > 1);
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
void LaserFusionHelper<T>::get_update_vid(const tbb::concurrent_vector<int>& leaves, std::vector<int>& /*vids*/) {
  for (std::size_t i = 0; i < leaves.size(); ++i)
    if (leaves[i] >= 0) m_tree.element(leaves[i]);
}

#define TAVO_LINE_FUSION_MEMBERS(T)                                                                            \
  template RetVal LaserFusionHelper<T>::fusion_one_lines_normal(                                               \
      const std::vector<Eigen::Vector3f>&, const std::vector<Eigen::Vector3f>&, const RigidMatrix&);           \
  template RetVal LaserFusionHelper<T>::fusion_one_lines_tangent(                                              \
      const std::vector<Eigen::Vector3f>&, const RigidMatrix&, tbb::concurrent_vector<int>&,                   \
      tbb::concurrent_vector<int>&);                                                                           \
  template RetVal LaserFusionHelper<T>::fusion_one_frame_tangent(                                              \
      const std::vector<const std::vector<Eigen::Vector3f>*>&, const RigidMatrix&, bool, int,                  \
      tbb::concurrent_vector<int>&);                                                                           \
  template RetVal LaserFusionHelper<T>::fuse_frame_tangent(                                                    \
      const std::vector<const std::vector<Eigen::Vector3f>*>&, const RigidMatrix&, bool, bool, int,            \
      tbb::concurrent_vector<int>&);                                                                           \
  template void LaserFusionHelper<T>::integrate_into_tsdf();                                                   \
  template void LaserFusionHelper<T>::update_normal(const Eigen::Vector3f&, const tbb::concurrent_vector<int>&, \
                                                    bool);                                                     \
  template void LaserFusionHelper<T>::clear_update_flags(const tbb::concurrent_vector<int>&);                  \
  template void LaserFusionHelper<T>::get_update_vid(const tbb::concurrent_vector<int>&, std::vector<int>&);

TAVO_LINE_FUSION_MEMBERS(LaserReconstrcution::Leaf)
TAVO_LINE_FUSION_MEMBERS(LaserReconstrcution::LeafTangent)

}  // namespace TavoAlgorithm

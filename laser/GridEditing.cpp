// Editing of the laser model: erasing leaves by a keep cloud, by selected
// points and marked regions, and mapping the erasures back onto the stored
// frames. Erasing empties records in place; tree nodes are never freed, so
// later fusion can refill the cells.
#include <tbb/concurrent_vector.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <string>

#include "LaserFusionHelper.h"
#include "Parallel.h"
#include "common/console.h"
#include "laser/LeafAccess.h"

namespace TavoAlgorithm {
namespace {
using namespace LaserReconstrcution;

// A keep point keeps the cells from kKeepLow to kKeepHigh around its own
// cell on each axis.
constexpr int kKeepLow = -1, kKeepHigh = 5;
// A selected point this close (world units) to a face of its cell selects
// the cell across that face as well.
constexpr float kSelectFaceReach = 0.05f;
// Larger mark regions are found by scanning the leaves instead of the box.
constexpr long long kMaxRegionBoxCells = 1LL << 22;
// Keep points spread over more cells than this (bytes) are marked by lookups.
constexpr long long kMaxKeepBoxCells = 1LL << 27;

// One bit per leaf slot, set from many workers at once.
class SlotBits {
 public:
  explicit SlotBits(int slots) : m_words(static_cast<std::size_t>(slots / 64 + 1)) {
    for (auto& w : m_words) w.store(0, std::memory_order_relaxed);
  }
  void set(int i) {
    m_words[static_cast<std::size_t>(i >> 6)].fetch_or(std::uint64_t{1} << (i & 63), std::memory_order_relaxed);
  }
  bool test(int i) const {
    return (m_words[static_cast<std::size_t>(i >> 6)].load(std::memory_order_relaxed) >> (i & 63)) & 1u;
  }
  // this &= ~other (single-threaded).
  void clear_where(const SlotBits& other) {
    for (std::size_t w = 0; w < m_words.size() && w < other.m_words.size(); ++w)
      m_words[w].store(m_words[w].load(std::memory_order_relaxed) & ~other.m_words[w].load(std::memory_order_relaxed),
                       std::memory_order_relaxed);
  }

 private:
  std::vector<std::atomic<std::uint64_t>> m_words;
};

void empty_record(Leaf& r) {
  // A Leaf keeps its flags.
  r.sdf = 0.f;
  r.normalSum.setZero();
  r.weight = 0.f;
  r.offsetSum.setZero();
  r.count = 0;
  r.weight2 = 0.f;
  r.twin = nullptr;
}

void empty_record(LeafTangent& r) {
  r.sdf = 0.f;
  r.normal.setZero();
  r.lastPoint.setZero();  // a stale last point would bias the next tangent moments
  r.momentsA = {};
  r.momentsB = {};
  r.offsetSum.setZero();
  r.weight = 0.f;
  r.count = 0;
  r.vertexId = -1;
  r.flags = 0;
  r.weight2 = 0.f;
  r.twin = nullptr;
}

// Marks a live vertex of `cloud` deleted, moves it to the origin and reports
// it. The caller holds the lock of the record that owns the id, so no other
// worker tests the same vertex.
void release_vertex(Cloud& cloud, int id, tbb::concurrent_vector<int>& deleted) {
  if (id < 0 || id >= cloud.get_vn() || cloud.get_vDeleted(id)) return;
  cloud.set_vFlag(id, static_cast<VertexFlag>(cloud.get_vFlag(id) | FLAG_DELETED));
  cloud.set_vCoord(id, Eigen::Vector3f::Zero());
  deleted.push_back(id);
}

// Empties leaf `index` and its twin under the leaf's lock (twins are only
// written under their leaf's lock), reporting their live vertices.
template <typename T>
void erase_leaf(LaserFusionHelper<T>& h, int index, Cloud& cloud, tbb::concurrent_vector<int>& deleted) {
  T& leaf = h.octree().element_at(index).payload;
  leaf.lock.lock();
  if (T* twin = leaf.twin) {
    release_vertex(cloud, vertex_id(*twin), deleted);
    empty_record(*twin);  // unlinked; the record stays in the pool
  }
  release_vertex(cloud, vertex_id(leaf), deleted);
  empty_record(leaf);
  leaf.lock.unlock();
}

// Flags are enabled here, once, so that no worker resizes the cloud.
void prepare_cloud(Cloud& cloud) {
  if (!cloud.has_vFlag()) cloud.enable_vFlag();
}

// Keep marks by lookups: 343 per keep point, for keep points spread too
// wide for a dense box.
template <typename T>
void mark_kept_by_lookup(LaserFusionHelper<T>& h, const std::vector<Eigen::Vector3i>& cells, SlotBits& kept) {
  const auto& tree = h.octree();
  auxilary_tbb_for(h.get_helper_threads(), 0, cells.size(), [&](std::size_t i) {
    for (int z = kKeepLow; z <= kKeepHigh; ++z)
      for (int y = kKeepLow; y <= kKeepHigh; ++y)
        for (int x = kKeepLow; x <= kKeepHigh; ++x) {
          const int leaf = tree.find_leaf(cells[i] + Eigen::Vector3i(x, y, z));
          if (leaf >= 0) kept.set(leaf);
        }
  });
}

// Keep marks through a dense byte box over the keep cells, dilated by the
// keep box one axis at a time; then one test per leaf. Same result as the
// lookups at a fraction of their cost for a compact model.
template <typename T>
bool mark_kept_by_box(LaserFusionHelper<T>& h, const std::vector<Eigen::Vector3i>& cells, SlotBits& kept) {
  Eigen::Vector3i lo = cells.front(), hi = cells.front();
  for (const Eigen::Vector3i& c : cells) {
    lo = lo.cwiseMin(c);
    hi = hi.cwiseMax(c);
  }
  lo.array() += kKeepLow;
  hi.array() += kKeepHigh;
  const Eigen::Vector3i n = hi - lo + Eigen::Vector3i::Ones();
  const long long total = static_cast<long long>(n.x()) * n.y() * n.z();
  if (total > kMaxKeepBoxCells) return false;
  std::vector<std::uint8_t> box(static_cast<std::size_t>(total), 0);
  auto at = [&](int x, int y, int z) {
    return static_cast<std::size_t>(x + static_cast<long long>(n.x()) * (y + static_cast<long long>(n.y()) * z));
  };
  for (const Eigen::Vector3i& c : cells) {
    const Eigen::Vector3i u = c - lo;
    box[at(u.x(), u.y(), u.z())] = 1;
  }
  // Along one axis a cell is set when a set cell lies kKeepLow ... kKeepHigh
  // before it (a running count over that window). Lines are independent.
  for (int axis = 0; axis < 3; ++axis) {
    const int a1 = (axis + 1) % 3, a2 = (axis + 2) % 3;
    auxilary_tbb_for(h.get_helper_threads(), 0, static_cast<std::size_t>(n[a1]) * static_cast<std::size_t>(n[a2]),
                     [&](std::size_t line) {
                       Eigen::Vector3i u;
                       u[a1] = static_cast<int>(line % static_cast<std::size_t>(n[a1]));
                       u[a2] = static_cast<int>(line / static_cast<std::size_t>(n[a1]));
                       std::vector<std::uint8_t> in(static_cast<std::size_t>(n[axis]));
                       for (u[axis] = 0; u[axis] < n[axis]; ++u[axis])
                         in[static_cast<std::size_t>(u[axis])] = box[at(u.x(), u.y(), u.z())];
                       // Window of cell k: in[k - kKeepHigh] ... in[k - kKeepLow].
                       int inWindow = 0;
                       for (int j = 0; j < -kKeepLow && j < n[axis]; ++j) inWindow += in[static_cast<std::size_t>(j)];
                       for (int k = 0; k < n[axis]; ++k) {
                         if (k - kKeepLow < n[axis]) inWindow += in[static_cast<std::size_t>(k - kKeepLow)];
                         if (k - kKeepHigh - 1 >= 0) inWindow -= in[static_cast<std::size_t>(k - kKeepHigh - 1)];
                         u[axis] = k;
                         box[at(u.x(), u.y(), u.z())] = inWindow > 0;
                       }
                     });
  }
  const auto& tree = h.octree();
  auxilary_tbb_for(h.get_helper_threads(), 0, static_cast<std::size_t>(tree.leaf_slots_in_use()), [&](std::size_t i) {
    const auto& e = tree.element_at(static_cast<int>(i));
    if (!e.is_used()) return;
    const Eigen::Vector3i u = e.get_cell() - lo;
    if ((u.array() >= 0).all() && (u.array() < n.array()).all() && box[at(u.x(), u.y(), u.z())])
      kept.set(static_cast<int>(i));
  });
  return true;
}

// Keep marks of the leaves in the keep box of any keep point.
template <typename T>
void mark_kept(LaserFusionHelper<T>& h, const std::vector<Eigen::Vector3f>& keepPoints, SlotBits& kept) {
  std::vector<Eigen::Vector3i> cells;
  cells.reserve(keepPoints.size());
  for (const Eigen::Vector3f& p : keepPoints) {
    Eigen::Vector3i g;
    if (h.grid_frame().cell_of(p, g)) cells.push_back(g);
  }
  if (cells.empty()) return;
  if (!mark_kept_by_box(h, cells, kept)) mark_kept_by_lookup(h, cells, kept);
}

template <typename T>
void erase_unkept(LaserFusionHelper<T>& h, int slots, const SlotBits& kept, Cloud& cloud,
                  tbb::concurrent_vector<int>& deleted) {
  auxilary_tbb_for(h.get_helper_threads(), 0, static_cast<std::size_t>(slots), [&](std::size_t i) {
    const int index = static_cast<int>(i);
    if (!h.octree().element_at(index).is_used() || kept.test(index)) return;
    erase_leaf(h, index, cloud, deleted);
  });
}

// Leaves whose cell centre lies within `radius` of a mark point, and the
// mark point's own cell.
template <typename T>
void erase_regions(LaserFusionHelper<T>& h, const std::vector<Eigen::Vector3f>& centres, float radius, Cloud& cloud,
                   tbb::concurrent_vector<int>& deleted) {
  if (!(radius >= 0.f) || !std::isfinite(radius)) return;
  auto& tree = h.octree();
  const grid::GridFrame& frame = h.grid_frame();
  const float s = frame.cellSize;
  const float r2 = radius * radius;
  auto inside = [&](const Eigen::Vector3f& p, const Eigen::Vector3i& own, const Eigen::Vector3i& c) {
    return c == own || (frame.centre(c) - p).squaredNorm() <= r2;
  };
  const long long reach = static_cast<long long>(std::ceil(radius / s)) + 1;
  const long long side = 2 * reach + 1;
  const bool scanLeaves = reach > h.get_grid_size() || side * side * side > kMaxRegionBoxCells;
  auxilary_tbb_for(h.get_helper_threads(), 0, centres.size(), [&](std::size_t m) {
    const Eigen::Vector3f& p = centres[m];
    Eigen::Vector3i own;
    if (!frame.cell_of(p, own)) return;
    if (scanLeaves) {
      const int slots = tree.leaf_slots_in_use();
      for (int i = 0; i < slots; ++i) {
        const auto& e = tree.element_at(i);
        if (e.is_used() && inside(p, own, e.get_cell())) erase_leaf(h, i, cloud, deleted);
      }
      return;
    }
    const int r = static_cast<int>(reach);
    for (int z = -r; z <= r; ++z)
      for (int y = -r; y <= r; ++y)
        for (int x = -r; x <= r; ++x) {
          const Eigen::Vector3i c = own + Eigen::Vector3i(x, y, z);
          if (!inside(p, own, c)) continue;
          const int leaf = tree.find_leaf(c);
          if (leaf >= 0) erase_leaf(h, leaf, cloud, deleted);
        }
  });
}

// The leaf of a selected point's cell and the face neighbours the point
// lies close to.
template <typename T>
void mark_selected(LaserFusionHelper<T>& h, const std::vector<Eigen::Vector3f>& points, SlotBits& selected) {
  const auto& tree = h.octree();
  const grid::GridFrame& frame = h.grid_frame();
  const float half = 0.5f * frame.cellSize;
  auxilary_tbb_for(h.get_helper_threads(), 0, points.size(), [&](std::size_t i) {
    Eigen::Vector3i g;
    if (!frame.cell_of(points[i], g)) return;
    auto take = [&](const Eigen::Vector3i& c) {
      const int leaf = tree.find_leaf(c);
      if (leaf >= 0) selected.set(leaf);
    };
    take(g);
    const Eigen::Vector3f off = points[i] - frame.centre(g);
    for (int k = 0; k < 3; ++k) {
      if (half - off[k] <= kSelectFaceReach) take(g + Eigen::Vector3i::Unit(k));
      if (half + off[k] <= kSelectFaceReach) take(g - Eigen::Vector3i::Unit(k));
    }
  });
}

void copy_out(const tbb::concurrent_vector<int>& deleted, std::vector<int>& deletedIds) {
  deletedIds.assign(deleted.begin(), deleted.end());
}
}  // namespace

template <typename T>
void LaserFusionHelper<T>::delete_grid_point_by_save_cloud(const std::vector<Eigen::Vector3f>& keepPoints,
                                                           Cloud& cloud, std::vector<int>& deletedIds) {
  prepare_cloud(cloud);
  const int slots = m_tree.leaf_slots_in_use();
  SlotBits kept(slots);
  mark_kept(*this, keepPoints, kept);
  tbb::concurrent_vector<int> deleted;
  erase_unkept(*this, slots, kept, cloud, deleted);
  copy_out(deleted, deletedIds);
}

template <typename T>
void LaserFusionHelper<T>::delete_grid_point_by_select_points(const OrvaneMarkPoints& marks,
                                                              const std::vector<Eigen::Vector3f>& points,
                                                              int currentVids, Cloud& cloud,
                                                              std::vector<int>& deletedIds) {
  prepare_cloud(cloud);
  const int slots = m_tree.leaf_slots_in_use();
  SlotBits selected(slots);
  mark_selected(*this, points, selected);

  // Live vertices that no selected record owns are the keep points.
  const int ids = std::clamp(currentVids, 0, cloud.get_vn());
  std::vector<char> keepId(static_cast<std::size_t>(ids), 1);
  auto unkeep = [&](int id) {
    if (id >= 0 && id < ids) keepId[static_cast<std::size_t>(id)] = 0;
  };
  for (int i = 0; i < slots; ++i) {
    if (!selected.test(i)) continue;
    const T& r = m_tree.element_at(i).payload;
    unkeep(vertex_id(r));
    if (r.twin != nullptr) unkeep(vertex_id(*r.twin));
  }
  std::vector<Eigen::Vector3f> keepPoints;
  for (int id = 0; id < ids; ++id)
    if (keepId[static_cast<std::size_t>(id)] && !cloud.get_vDeleted(id)) keepPoints.push_back(cloud.get_vCoord(id));

  SlotBits kept(slots);
  mark_kept(*this, keepPoints, kept);
  // The keep box of a neighbouring live vertex must not save a selected cell.
  kept.clear_where(selected);
  tbb::concurrent_vector<int> deleted;
  erase_unkept(*this, slots, kept, cloud, deleted);
  if (!marks.markIds.empty()) erase_regions(*this, marks.points, marks.radius, cloud, deleted);
  copy_out(deleted, deletedIds);
}

template <typename T>
void LaserFusionHelper<T>::map_on_frame_delete_point(std::vector<std::vector<Cloud>>& frames,
                                                     std::vector<RigidMatrix>& rts, std::vector<int>& keptFrames) {
  if (frames.size() != rts.size()) {
    TAVO_LOG_ERROR("frame and pose counts differ: " + std::to_string(frames.size()) + " frames, " +
                   std::to_string(rts.size()) + " poses");
    return;
  }
  const int slots = m_tree.leaf_slots_in_use();
  bool anyLeaf = false;
  for (int i = 0; i < slots && !anyLeaf; ++i) anyLeaf = m_tree.element_at(i).is_used();
  if (!anyLeaf) {
    // Nothing was fused, so nothing was erased: the frames are not the model's.
    TAVO_LOG_WARNING("no fused cell: frames left unchanged");
    return;
  }
  // Edited copies first, so that the input stays whole until the end.
  std::vector<std::vector<Cloud>> edited(frames.size());
  auxilary_tbb_for(m_threadNum, 0, frames.size(), [&](std::size_t f) {
    const RigidMatrix& rt = rts[f];
    for (const Cloud& line : frames[f]) {
      const int n = line.get_vn();
      std::vector<char> erased(static_cast<std::size_t>(n), 0);
      for (int i = 0; i < n; ++i) {
        Eigen::Vector3i g;
        const T* r = m_frame.cell_of(rt * line.get_vCoord(i), g) ? m_tree.find_payload(g) : nullptr;
        erased[static_cast<std::size_t>(i)] = r == nullptr || (r->weight == 0.f && r->twin == nullptr);
      }
      // Every erased stretch gives back its end points, judged on the marks
      // before any is given back; a point that is not finite never comes back.
      std::vector<char> drop = erased;
      for (int i = 0; i + 1 < n; ++i) {
        if (erased[static_cast<std::size_t>(i)] == erased[static_cast<std::size_t>(i + 1)]) continue;
        const int end = erased[static_cast<std::size_t>(i)] ? i : i + 1;
        if (line.get_vCoord(end).allFinite()) drop[static_cast<std::size_t>(end)] = 0;
      }
      Cloud kept = line;
      for (int i = 0; i < n; ++i)
        if (drop[static_cast<std::size_t>(i)]) kept.set_vDeleted(i, true);
      if (kept.squeeze() > 0) edited[f].push_back(std::move(kept));
    }
  });
  std::vector<std::vector<Cloud>> newFrames;
  std::vector<RigidMatrix> newRts;
  for (std::size_t f = 0; f < edited.size(); ++f) {
    if (edited[f].empty()) continue;
    newFrames.push_back(std::move(edited[f]));
    newRts.push_back(rts[f]);
    keptFrames.push_back(static_cast<int>(f));
  }
  // With every frame emptied the model is empty too: so are the lists.
  frames = std::move(newFrames);
  rts = std::move(newRts);
}

#define TAVO_GRID_EDITING_MEMBERS(T)                                                                             \
  template void LaserFusionHelper<T>::delete_grid_point_by_save_cloud(const std::vector<Eigen::Vector3f>&,       \
                                                                      Cloud&, std::vector<int>&);                \
  template void LaserFusionHelper<T>::delete_grid_point_by_select_points(                                        \
      const OrvaneMarkPoints&, const std::vector<Eigen::Vector3f>&, int, Cloud&, std::vector<int>&);             \
  template void LaserFusionHelper<T>::map_on_frame_delete_point(std::vector<std::vector<Cloud>>&,                \
                                                                std::vector<RigidMatrix>&, std::vector<int>&);

TAVO_GRID_EDITING_MEMBERS(LaserReconstrcution::Leaf)
TAVO_GRID_EDITING_MEMBERS(LaserReconstrcution::LeafTangent)

}  // namespace TavoAlgorithm

// Point output of the laser octree: one point per reliable record, the
// incremental refresh of the real-time cloud with stable vertex ids, and the
// trimming of a mesh to the cells that still hold live points.
#include <tbb/concurrent_vector.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "LaserFusionHelper.h"
#include "Parallel.h"
#include "grid/NodeBaseCache.h"
#include "laser/ChunkedFor.h"
#include "laser/LeafAccess.h"

namespace TavoAlgorithm {
namespace {
using namespace LaserReconstrcution;

constexpr int kCloudMinCount = 6;
constexpr float kCloudMinWeight = 0.5f;
constexpr int kLiveMinCount = 3, kLiveMinCountDark = 5;
constexpr float kLiveMinWeight = 0.3f, kLiveMinWeightDark = 0.5f;
constexpr int kCloudGrowth = 1000000;
constexpr float kAlignedDot = 0.9f;
constexpr float kKeepShare = 0.7f;
constexpr int kMinNeighbours = 2;
constexpr int kConfirmNeighbours = 4;
constexpr int kCodeLeaf = 1, kCodeTwin = 2;
// make_union searches the cells within this many of a mesh vertex's cell.
constexpr int kUnionReach = 3;
// List entries per task of the incremental cloud, and records fetched ahead.
constexpr std::size_t kCloudChunk = 256;
constexpr std::size_t kRecordsAhead = 4;

// Displacement from the cell centre to the surface along n, when it stays
// inside the cell's box.
bool projected_offset(const Eigen::Vector3f& offsetSum, float weight2, const Eigen::Vector3f& n, float cellSize,
                      float& d) {
  if (!(weight2 > 0.f)) return false;
  d = (offsetSum / weight2).dot(n);
  return ((d * n).array().abs() <= 0.5f * cellSize).all();
}

void delete_vertex(Cloud& cloud, int id, std::atomic<int>& validVids) {
  if (id < 0 || cloud.get_vDeleted(id)) return;
  cloud.set_vDeleted(id, true);
  cloud.set_vCoord(id, Eigen::Vector3f::Zero());
  validVids.fetch_sub(1);
}

// Grows the cloud in whole steps until `needed` slots exist; new slots are
// marked deleted so that an unused slot never reads as a live point.
void reserve_vertex_slots(Cloud& cloud, long long needed) {
  cloud.enable_vNormal();
  cloud.enable_vFlag();
  const int before = cloud.get_vn();
  long long cap = before;
  while (cap < needed) cap += kCloudGrowth;
  if (cap == before) return;
  cloud.resize_vn(static_cast<int>(cap));
  for (int i = before; i < cap; ++i) cloud.set_vFlag(i, FLAG_DELETED);
}
}  // namespace

template <typename T>
void LaserFusionHelper<T>::get_cloud(Cloud& cloud) {
  struct Point {
    Eigen::Vector3f p, n;
  };
  tbb::concurrent_vector<Point> out;
  out.reserve(static_cast<std::size_t>(kCloudGrowth));
  auto emit = [&](const T& r, const Eigen::Vector3i& cell) {
    if (r.count < kCloudMinCount || !(r.weight >= kCloudMinWeight)) return;
    const Eigen::Vector3f n = unit_normal(r);
    if (!n.allFinite() || is_zero_vector(n)) return;
    float d;
    if (!projected_offset(r.offsetSum, r.weight2, n, m_frame.cellSize, d)) return;
    out.push_back({m_frame.local_centre(cell) + d * n + m_frame.origin, n});
  };
  auxilary_tbb_for(m_integrator.threadNum, 0, static_cast<std::size_t>(m_tree.leaf_slots_in_use()),
                   [&](std::size_t i) {
                     const auto& e = m_tree.element_at(static_cast<int>(i));
                     if (!e.is_used()) return;
                     const Eigen::Vector3i cell = e.get_cell();
                     emit(e.payload, cell);
                     if (e.payload.twin != nullptr) emit(*e.payload.twin, cell);
                   });
  cloud.clear();
  cloud.enable_vNormal();
  cloud.resize_vn(static_cast<int>(out.size()));
  for (std::size_t i = 0; i < out.size(); ++i) {
    cloud.set_vCoord(static_cast<int>(i), out[i].p);
    cloud.set_vNrv(static_cast<int>(i), out[i].n);
  }
}

template <typename T>
void LaserFusionHelper<T>::get_cloud_incremental(const tbb::concurrent_vector<int>& pending, Cloud& cloud,
                                                 std::atomic<int>& currentVids, std::atomic<int>& validVids,
                                                 std::vector<int>& changedIds, bool darkMode) {
  if constexpr (!kHasTangents<T>) {
    (void)pending, (void)cloud, (void)currentVids, (void)validVids, (void)changedIds, (void)darkMode;
  } else {
    const std::size_t n = pending.size();
    // Each pending leaf takes at most two new ids (leaf and twin): room for
    // all of them up front, so no writer ever sees the cloud move.
    reserve_vertex_slots(cloud, static_cast<long long>(currentVids.load()) + 2 * static_cast<long long>(n));
    const int minCount = darkMode ? kLiveMinCountDark : kLiveMinCount;
    const float minWeight = darkMode ? kLiveMinWeightDark : kLiveMinWeight;
    const float s = m_frame.cellSize;
    const int slots = m_tree.leaf_slots_in_use();
    auto in_slots = [&](int index) { return index >= 0 && index < slots; };
    auto leaf_of = [&](int index) -> LeafTangent* {
      if (!in_slots(index)) return nullptr;
      auto& e = m_tree.element_at(index);
      return e.is_used() ? &e.payload : nullptr;
    };
    // First pass: each record's own point. True when it holds a point that
    // still needs the neighbourhood check.
    auto refresh = [&](LeafTangent& r, const Eigen::Vector3i& cell) {
      if ((r.flags & LEAF_UPDATED) == 0) return false;
      if (r.count < minCount || !(r.weight >= minWeight)) return false;
      if (is_zero_vector(r.normal) || !r.normal.allFinite()) return false;
      if (!(r.weight2 > 0.f)) return false;
      const float d = (r.offsetSum / r.weight2).dot(r.normal);
      r.sdf = d;
      if (!((d * r.normal).array().abs() <= 0.5f * s).all()) {
        delete_vertex(cloud, r.vertexId, validVids);
        return false;
      }
      if (r.vertexId < 0) {
        r.vertexId = currentVids.fetch_add(1);
        validVids.fetch_add(1);
      } else if (cloud.get_vDeleted(r.vertexId)) {
        validVids.fetch_add(1);
      }
      cloud.set_vFlag(r.vertexId, static_cast<VertexFlag>(cloud.get_vFlag(r.vertexId) & ~FLAG_DELETED));
      cloud.set_vCoord(r.vertexId, m_frame.local_centre(cell) + d * r.normal + m_frame.origin);
      cloud.set_vNrv(r.vertexId, r.normal);
      return (r.flags & LEAF_CONFIRMED) == 0;
    };
    // Per list position, written by the task that owns it: the code for the
    // second pass and the ids the records hold after the first (later steps
    // never change an id). A shared vector would have the tasks contend for
    // its counter on every push.
    struct Entry {
      int leafId = -1, twinId = -1;
      std::uint8_t code = 0;
    };
    std::vector<Entry> entries(n);
    for_chunks(m_integrator.workers_for(n), n, kCloudChunk, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        if (i + kRecordsAhead < end && in_slots(pending[i + kRecordsAhead]))
          prefetch_record(m_tree.element_at(pending[i + kRecordsAhead]));
        LeafTangent* leaf = leaf_of(pending[i]);
        if (leaf == nullptr) continue;
        const Eigen::Vector3i cell = m_tree.element_at(pending[i]).get_cell();
        int code = refresh(*leaf, cell) ? kCodeLeaf : 0;
        LeafTangent* twin = leaf->twin;
        if (twin != nullptr && refresh(*twin, cell)) code |= kCodeTwin;
        // The update flag is read by nothing after the record's own
        // refresh: clearing it here (clear_update_flags) saves another walk
        // over the records.
        leaf->flags &= static_cast<std::uint8_t>(~LEAF_UPDATED);
        if (twin != nullptr) twin->flags &= static_cast<std::uint8_t>(~LEAF_UPDATED);
        entries[i] = {leaf->vertexId, twin != nullptr ? twin->vertexId : -1, static_cast<std::uint8_t>(code)};
      }
    });
    // Second pass: a point stays only where its neighbours agree with it.
    // It reads vertex ids and normals, which this pass never writes. The
    // neighbourhood is the integrator's r x r x r block (offsets -1 ... r - 2).
    const Eigen::Vector3i reachLo = Eigen::Vector3i::Constant(-1);
    const Eigen::Vector3i reachHi = Eigen::Vector3i::Constant(static_cast<int>(m_integrator.extendRadius) - 2);
    std::vector<std::pair<int, int>> collected;
    for (std::size_t i = 0; i < n; ++i)
      if (entries[i].code != 0) collected.push_back({pending[i], entries[i].code});
    // The collected leaves come in the order the frame touched them: one
    // node cache per chunk serves the neighbourhoods of many.
    const std::size_t m = collected.size();
    for_chunks(m_integrator.workers_for(m), m, kCloudChunk, [&](std::size_t begin, std::size_t end) {
      grid::NodeBaseCache<LeafTangent, false> nodes(m_tree);
      for (std::size_t i = begin; i < end; ++i) {
        const int index = collected[i].first, code = collected[i].second;
        LeafTangent& leaf = m_tree.element_at(index).payload;
        const Eigen::Vector3i cell = m_tree.element_at(index).get_cell();
        int nWith = 0, aligned = 0, mWith = 0, opposed = 0;
        nodes.for_each_leaf_in_box(cell + reachLo, cell + reachHi, [&](int nbIndex) {
          const LeafTangent* nb = &m_tree.element_at(nbIndex).payload;
          if (nb->vertexId >= 0) {
            ++nWith;
            aligned += nb->normal.dot(leaf.normal) > kAlignedDot;
          }
          const LeafTangent* tw = nb->twin;
          if (tw != nullptr && tw->vertexId >= 0) {
            ++mWith;
            opposed += tw->normal.dot(leaf.normal) < -kAlignedDot;
          }
        });
        auto judge = [&](LeafTangent& r, int with, int agree) {
          if (with >= kMinNeighbours && static_cast<float>(agree) / static_cast<float>(with) > kKeepShare) {
            if (agree >= kConfirmNeighbours) r.flags |= LEAF_CONFIRMED;
          } else {
            delete_vertex(cloud, r.vertexId, validVids);
          }
        };
        if (code & kCodeLeaf) judge(leaf, nWith, aligned);
        if ((code & kCodeTwin) && leaf.twin != nullptr) judge(*leaf.twin, mWith, opposed);
      }
    });
    for (const Entry& e : entries) {
      if (e.leafId >= 0) changedIds.push_back(e.leafId);
      if (e.twinId >= 0) changedIds.push_back(e.twinId);
    }
  }
}

template <typename T>
void LaserFusionHelper<T>::make_union(const Cloud& cloud, BaseTriMesh& mesh) {
  mesh.enable_vFlag();
  auto live = [&](const T* r) {
    const int id = r == nullptr ? -1 : vertex_id(*r);
    return id >= 0 && id < cloud.get_vn() && !cloud.get_vDeleted(id);
  };
  auxilary_tbb_for(m_threadNum, 0, static_cast<std::size_t>(mesh.get_vn()), [&](std::size_t i) {
    const int v = static_cast<int>(i);
    bool supported = false;
    Eigen::Vector3i cell;
    if (m_frame.cell_of(mesh.get_vCoord(v), cell)) {
      for (int z = -kUnionReach; z <= kUnionReach && !supported; ++z)
        for (int y = -kUnionReach; y <= kUnionReach && !supported; ++y)
          for (int x = -kUnionReach; x <= kUnionReach && !supported; ++x) {
            const T* r = m_tree.find_payload(cell + Eigen::Vector3i(x, y, z));
            supported = r != nullptr && (live(r) || live(r->twin));
          }
    }
    if (!supported) mesh.set_vFlag(v, static_cast<VertexFlag>(mesh.get_vFlag(v) | FLAG_DELETED));
  });
}

#define TAVO_OCTREE_CLOUD_MEMBERS(T)                                                                               \
  template void LaserFusionHelper<T>::get_cloud(Cloud&);                                                           \
  template void LaserFusionHelper<T>::get_cloud_incremental(const tbb::concurrent_vector<int>&, Cloud&,            \
                                                            std::atomic<int>&, std::atomic<int>&, std::vector<int>&, \
                                                            bool);                                                 \
  template void LaserFusionHelper<T>::make_union(const Cloud&, BaseTriMesh&);

TAVO_OCTREE_CLOUD_MEMBERS(LaserReconstrcution::Leaf)
TAVO_OCTREE_CLOUD_MEMBERS(LaserReconstrcution::LeafTangent)

}  // namespace TavoAlgorithm

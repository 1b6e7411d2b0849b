// Marching cubes over the laser octree: cube corners are the centres of
// neighbouring leaves, edge vertices interpolate their signed distances, and
// twins carry the second surface of thin walls. Uses the project's one case
// table and its corner and edge numbering.
#include <tbb/concurrent_vector.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "LaserFusionHelper.h"
#include "Parallel.h"
#include "common/marching_cubes_cube.h"
#include "grid/NodeBaseCache.h"
#include "laser/ChunkedFor.h"
#include "laser/LeafAccess.h"
#include "meshproc/RepeatedFaces.h"

namespace TavoAlgorithm {
namespace {
using namespace LaserReconstrcution;

constexpr float kMinEdgeWeight = 0.001f;
constexpr int kTwinSlot = 3;  // slots 0-2: edges of the leaf's surface, 3-5: of its twin's
constexpr std::size_t kReservedVertices = 1000000;
// Leaf slots per task: slots claimed together mostly lie near one another,
// so one node cache serves the chunk.
constexpr std::size_t kSlotChunk = 1024;

using EdgeSlots = std::array<int, 6>;

// The record of a neighbouring cell that continues the surface of a record
// with orientation `n`: the leaf or its twin, or null when neither faces
// the same way.
template <typename T>
const T* continuing_record(const T& b, const Eigen::Vector3f& n, bool& isTwin) {
  const float db = raw_normal(b).dot(n);
  isTwin = false;
  if (db < 0.f) {
    if (b.twin != nullptr && raw_normal(*b.twin).dot(n) >= 0.f) {
      isTwin = true;
      return b.twin;
    }
    return nullptr;
  }
  if (b.twin != nullptr && raw_normal(*b.twin).dot(n) > db) {
    isTwin = true;
    return b.twin;
  }
  return &b;
}

// Lowest corner k3 first: a cube is built by the first of its corners that exists.
constexpr int kCubeOrder[8] = {3, 0, 2, 7, 1, 4, 6, 5};

Eigen::Vector3i corner_offset(int k) { return mc::corner_cell(Eigen::Vector3i::Zero(), k); }

bool has_vertex(const EdgeSlots& e) {
  return std::any_of(e.begin(), e.end(), [](int v) { return v >= 0; });
}

// Index in a 3 x 3 x 3 block (x fastest) of the cell at offset d, each
// component in -1 ... 1, from the block's centre.
int block_slot(const Eigen::Vector3i& d) { return (d.x() + 1) + 3 * (d.y() + 1) + 9 * (d.z() + 1); }
}  // namespace

template <typename T>
BaseTriMesh LaserFusionHelper<T>::get_mesh(std::vector<int>& faceWork, tbb::concurrent_vector<int>& faceList,
                                           std::vector<int>& vertexAxis) {
  // The neighbours of a leaf are found through the few finest nodes around
  // it, cached per chunk of slots (nothing is created meanwhile), rather
  // than by a walk from the root for each of a cube's corners.
  using NodeCache = grid::NodeBaseCache<T, false>;
  const int slots = m_tree.leaf_slots_in_use();
  const float s = m_frame.cellSize;
  // Edge vertices of each leaf, indexed like the leaf array (the cells of
  // the vertex tree are exactly the leaves).
  std::vector<EdgeSlots> edges(static_cast<std::size_t>(slots), EdgeSlots{-1, -1, -1, -1, -1, -1});
  // A vertex and its axis go in as one element: a second array grown to the
  // new id would let another worker's growth construct (zero) the slot after
  // this worker had written it.
  tbb::concurrent_vector<std::pair<Eigen::Vector3f, int>> vertices;
  vertices.reserve(kReservedVertices);
  faceWork.clear();
  faceList.clear();

  auto add_vertex = [&](const Eigen::Vector3f& p, int axis) {
    const auto it = vertices.push_back({p + m_frame.origin, axis});
    return static_cast<int>(it - vertices.begin());
  };
  // The edge vertices of leaf slot i, towards its +x, +y and +z neighbours.
  auto leaf_edges = [&](NodeCache& near, std::size_t i) {
    const auto& e = m_tree.element_at(static_cast<int>(i));
    if (!e.is_used()) return;
    const Eigen::Vector3i g = e.get_cell();
    if (!m_frame.within(g, 1)) return;
    const Eigen::Vector3f ca = m_frame.local_centre(g);
    auto edges_of = [&](const T& a, int base) {
      // No sign change without a signed distance (most records lie off the
      // surface with none): skip the neighbour lookups.
      if (!(a.sdf < 0.f || a.sdf > 0.f)) return;
      for (int k = 0; k < 3; ++k) {
        const int nbLeaf = near.leaf(g + Eigen::Vector3i::Unit(k));
        if (nbLeaf < 0) continue;
        bool isTwin;
        const T* b = continuing_record(m_tree.element_at(nbLeaf).payload, raw_normal(a), isTwin);
        if (b == nullptr || !(a.sdf * b->sdf < 0.f)) continue;
        if (a.weight < kMinEdgeWeight && b->weight < kMinEdgeWeight) continue;
        float sa = a.sdf, sb = b->sdf;
        if (mc::flat_crossing(sa, sb)) sa = sb = 1.f;
        Eigen::Vector3f p = ca;
        p[k] = mc::edge_crossing(ca[k], s, sa, sb);
        edges[i][static_cast<std::size_t>(base + k)] = add_vertex(p, k);
      }
    };
    edges_of(e.payload, 0);
    if (e.payload.twin != nullptr) edges_of(*e.payload.twin, kTwinSlot);
  };
  for_chunks(m_integrator.threadNum, static_cast<std::size_t>(slots), kSlotChunk,
             [&](std::size_t begin, std::size_t end) {
               NodeCache near(m_tree);
               for (std::size_t i = begin; i < end; ++i) leaf_edges(near, i);
             });

  // One cube whose corner `own` is the record r0 of leaf `corners[own]`;
  // the other corners take the record continuing r0's surface. `corners`
  // holds the leaf index (-1: none) of each corner.
  auto cube_of = [&](int own, const T& r0, const int (&corners)[8]) {
    int leafOf[8];
    bool twinOf[8], insideOf[8];
    const T& ownRecord = m_tree.element_at(corners[own]).payload;
    for (int k = 0; k < 8; ++k) {
      twinOf[k] = insideOf[k] = false;
      const T* r = nullptr;
      leafOf[k] = corners[k];
      if (k == own) {
        r = &r0;
        twinOf[k] = &r0 != &ownRecord;
      } else if (leafOf[k] >= 0) {
        r = continuing_record(m_tree.element_at(leafOf[k]).payload, raw_normal(r0), twinOf[k]);
      }
      // A record too light to make edges counts as absent: outside, no
      // edges, the same decision for every cube that shares it.
      if (r == nullptr || r->weight < kMinEdgeWeight) leafOf[k] = -1;
      else insideOf[k] = r->sdf < 0.f;
    }
    mc::build_cube([&](int k) { return insideOf[k]; },
                   [&](int k, int axis) {
                     return leafOf[k] < 0 ? -1
                                          : edges[static_cast<std::size_t>(leafOf[k])]
                                                 [static_cast<std::size_t>(axis + (twinOf[k] ? kTwinSlot : 0))];
                   },
                   [&](int, const int (&ids)[3], bool complete) {
                     if (!complete) return;
                     auto it = faceList.grow_by(3);
                     it[0] = ids[0];
                     it[1] = ids[1];
                     it[2] = ids[2];
                   });
  };
  // A cube's edges belong to its corners, so only a cube with an edge
  // vertex on one of its corner leaves can give a face: the cubes are found
  // from those leaves, a small share of the tree. Of a cube's corners with
  // vertices the first in kCubeOrder finds it; it is built from its first
  // existing corner (and again from that corner's twin), once, even when its
  // lowest corner has no leaf.
  auto leaf_cubes = [&](NodeCache& near, std::size_t i) {
    if (!has_vertex(edges[i])) return;
    const Eigen::Vector3i cell = m_tree.element_at(static_cast<int>(i)).get_cell();
    // Every corner of the eight cubes lies in the block around the leaf.
    int block[27];
    bool withEdges[27];
    for (int z = -1, b = 0; z <= 1; ++z)
      for (int y = -1; y <= 1; ++y)
        for (int x = -1; x <= 1; ++x, ++b) {
          block[b] = near.leaf(cell + Eigen::Vector3i(x, y, z));
          withEdges[b] = block[b] >= 0 && has_vertex(edges[static_cast<std::size_t>(block[b])]);
        }
    for (int at = 0; at < 8; ++at) {
      if (!m_frame.within(cell - corner_offset(at), 2)) continue;
      int corners[8];
      int firstWithEdges = -1, first = -1;
      for (int q = 0; q < 8; ++q) {
        const int k = kCubeOrder[q];
        const int b = block_slot(corner_offset(k) - corner_offset(at));
        corners[k] = block[b];
        if (firstWithEdges < 0 && withEdges[b]) firstWithEdges = k;
        if (first < 0 && block[b] >= 0) first = k;
      }
      if (firstWithEdges != at) continue;
      const T& r0 = m_tree.element_at(corners[first]).payload;
      cube_of(first, r0, corners);
      if (r0.twin != nullptr) cube_of(first, *r0.twin, corners);
    }
  };
  for_chunks(m_integrator.threadNum, static_cast<std::size_t>(slots), kSlotChunk,
             [&](std::size_t begin, std::size_t end) {
               NodeCache near(m_tree);
               for (std::size_t i = begin; i < end; ++i) leaf_cubes(near, i);
             });

  BaseTriMesh mesh;
  std::vector<Eigen::Vector3f> points;
  points.reserve(vertices.size());
  vertexAxis.clear();
  vertexAxis.reserve(vertices.size());
  for (const auto& [p, axis] : vertices) {
    points.push_back(p);
    vertexAxis.push_back(axis);
  }
  mesh.set_vCoords(std::move(points));
  std::vector<BaseTriFace> faces;
  faces.reserve(faceList.size() / 3);
  for (std::size_t f = 0; f + 2 < faceList.size(); f += 3)
    faces.emplace_back(faceList[f], faceList[f + 1], faceList[f + 2]);
  // A cube built once for a leaf and once for its twin repeats the faces
  // whose corners both builds resolve to the same records.
  const std::vector<int> repeated = repeated_faces(faces, [](int) { return true; });
  if (!repeated.empty()) {
    std::size_t out = 0, next = 0;
    for (std::size_t f = 0; f < faces.size(); ++f) {
      if (next < repeated.size() && repeated[next] == static_cast<int>(f)) {
        ++next;
        continue;
      }
      faces[out++] = faces[f];
    }
    faces.resize(out);
  }
  mesh.set_faces(std::move(faces));
  return mesh;
}

template <typename T>
void LaserFusionHelper<T>::get_marching_cube_cloud(const Cloud& /*in*/, Cloud& out) {
  std::vector<int> faceWork, axes;
  tbb::concurrent_vector<int> faceList;
  BaseTriMesh mesh = get_mesh(faceWork, faceList, axes);
  mesh.update_VNrv();
  out = static_cast<const Cloud&>(mesh);
}

#define TAVO_OCTREE_MESH_MEMBERS(T)                                                                           \
  template BaseTriMesh LaserFusionHelper<T>::get_mesh(std::vector<int>&, tbb::concurrent_vector<int>&,         \
                                                      std::vector<int>&);                                      \
  template void LaserFusionHelper<T>::get_marching_cube_cloud(const Cloud&, Cloud&);

TAVO_OCTREE_MESH_MEMBERS(LaserReconstrcution::Leaf)
TAVO_OCTREE_MESH_MEMBERS(LaserReconstrcution::LeafTangent)

}  // namespace TavoAlgorithm

// Incremental marching cubes over the dirty voxels of a TsdfVolume. Vertices
// and faces keep the ids their voxels remember; vanished ones are marked
// deleted. The mesh arrays only grow between the passes, each pass having
// reserved room for every id it can take, so no writer ever sees them move.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>

#include "Parallel.h"
#include "common/marching_cubes_cube.h"
#include "fusion/TsdfVolume.h"

namespace TavoAlgorithm {
namespace {
constexpr int kNewVerticesPerVoxel = 3;  // its three edges
constexpr int kNewFacesPerVoxel = 2 * mc::kMaxTrianglesPerCube;  // its cube and the one below
// A batch's worst case fits the headroom kept after every extraction, so the
// arrays grow only when the mesh itself does.
constexpr std::size_t kExtractionBatch = kMeshHeadroom / kNewFacesPerVoxel;
constexpr std::uint8_t kCubeSeen = 1;
constexpr std::uint8_t kCubeCrossed = 2;
// On voxel c: the cube whose lowest corner c - (1, 1, 1) had no voxel is crossed.
constexpr std::uint8_t kBelowCrossed = 4;

// The capacity grown by whole steps until capacity - needed >= margin;
// grow(new capacity) resizes the arrays behind it.
template <typename Grow>
void grow_slots(int& capacity, long long needed, long long margin, Grow&& grow) {
  long long cap = capacity;
  while (cap - needed < margin) cap += kMeshGrowth;
  if (cap == capacity) return;
  grow(static_cast<int>(cap));
  capacity = static_cast<int>(cap);
}
}  // namespace

void TsdfVolume::ensure_vertex_slots(long long needed, long long margin) {
  std::lock_guard<std::mutex> guard(m_growLock);
  grow_slots(m_vertexCapacity, needed, margin, [this](int cap) {
    m_mesh.resize_vn(cap);
    m_vertexAxis.resize(static_cast<std::size_t>(cap), 0);
  });
}

void TsdfVolume::ensure_face_slots(long long needed, long long margin) {
  std::lock_guard<std::mutex> guard(m_growLock);
  grow_slots(m_faceCapacity, needed, margin, [this](int cap) { m_mesh.resize_fn(cap); });
}

int TsdfVolume::edge_vertex(const TsdfVoxel* v, int axis) const {
  if (v == nullptr) return -1;
  const int id = v->edgeVertex[static_cast<std::size_t>(axis)];
  if (id < 0 || m_mesh.get_vDeleted(id)) return -1;
  return id;
}

void TsdfVolume::mark_crossed_cubes(int index, const Eigen::Vector3i& c, int axis, VoxelFinder& finder) {
  // The edge belongs to the cubes whose lowest corners are c less 0 or 1
  // along each of the other two axes.
  const Eigen::Vector3i u = Eigen::Vector3i::Unit((axis + 1) % 3), w = Eigen::Vector3i::Unit((axis + 2) % 3);
  const Eigen::Vector3i lowest[3] = {c - u, c - w, c - u - w};
  auto mark = [this](int i, std::uint8_t bit) {
    if (i >= 0 && i < m_cubeMarkCount) m_cubeMarks[static_cast<std::size_t>(i)].fetch_or(bit, std::memory_order_relaxed);
  };
  mark(index, kCubeCrossed);
  for (const Eigen::Vector3i& l : lowest) {
    const int i = finder.leaf(l);
    // A missing lowest corner is made, if at all, by the triangle pass of
    // the voxel above it, which keeps the mark instead.
    if (i >= 0) mark(i, kCubeCrossed);
    else mark(finder.leaf(l + Eigen::Vector3i::Ones()), kBelowCrossed);
  }
}

bool TsdfVolume::cube_is_idle(int index) const {
  if (!m_cubeMarks || index < 0 || index >= m_cubeMarkCount) return false;
  const std::uint8_t m = m_cubeMarks[static_cast<std::size_t>(index)].load(std::memory_order_relaxed);
  return (m & (kCubeSeen | kCubeCrossed)) == kCubeSeen;
}

bool TsdfVolume::cube_below_is_idle(int index) const {
  if (!m_cubeMarks || index < 0 || index >= m_cubeMarkCount) return false;
  const std::uint8_t m = m_cubeMarks[static_cast<std::size_t>(index)].load(std::memory_order_relaxed);
  return (m & (kCubeSeen | kBelowCrossed)) == kCubeSeen;
}

void TsdfVolume::vertex_pass(int index, VoxelFinder& finder) {
  auto& e = m_tree.element_at(index);
  TsdfVoxel& v = e.payload;
  const Eigen::Vector3i c = e.get_cell();
  if (!m_frame.within(c, 1)) return;
  if (m_cubeMarks) m_cubeMarks[static_cast<std::size_t>(index)].fetch_or(kCubeSeen, std::memory_order_relaxed);
  int bases[3];
  for (int a = 0; a < 3; ++a) bases[a] = finder.prefetch_base(c + Eigen::Vector3i::Unit(a));
  float s0 = v.sdf();
  const Eigen::Vector3f p0 = m_frame.local_centre(c);
  for (int a = 0; a < 3; ++a) {
    const int i = finder.leaf_in(c + Eigen::Vector3i::Unit(a), bases[a]);
    const TsdfVoxel* nb = i < 0 ? nullptr : &m_tree.element_at(i).payload;
    if (nb == nullptr) continue;  // a never-created neighbour keeps the old vertex
    float s1 = nb->sdf();
    int& id = v.edgeVertex[static_cast<std::size_t>(a)];
    if (s0 * s1 < 0.f) {
      if (mc::flat_crossing(s0, s1)) s0 = s1 = 1.f;  // s0 keeps it for the remaining axes
      Eigen::Vector3f p = p0;
      p[a] = mc::edge_crossing(p0[a], m_frame.cellSize, s0, s1);
      if (id < 0) id = m_vertexCounter.fetch_add(1);
      if (id < m_vertexCapacity) {
        m_mesh.set_vCoord(id, p + m_frame.origin);
        m_vertexAxis[static_cast<std::size_t>(id)] = a;
        m_mesh.set_vFlag(id, static_cast<VertexFlag>(m_mesh.get_vFlag(id) & ~FLAG_DELETED));
        if (m_cubeMarks) mark_crossed_cubes(index, c, a, finder);
      } else {
        id = -1;
      }
    } else if (id >= 0) {
      m_mesh.set_vFlag(id, static_cast<VertexFlag>(m_mesh.get_vFlag(id) | FLAG_DELETED));
    }
  }
}

void TsdfVolume::triangulate(const Eigen::Vector3i& b, bool k3Inside, TsdfVoxel* cube, VoxelFinder& finder) {
  // Every edge a cube needs is owned by one of its corners, so the eight
  // corner voxels are looked up once and serve both the index and the edges.
  if (cube == nullptr) return;
  const TsdfVoxel* corners[8];
  int bases[8];
  for (int k = 0; k < 8; ++k) bases[k] = k == 3 ? -1 : finder.prefetch_base(mc::corner_cell(b, k));
  for (int k = 0; k < 8; ++k) {
    if (k == 3) {
      corners[k] = cube;  // corner k3 is b itself
      continue;
    }
    const int i = finder.leaf_in(mc::corner_cell(b, k), bases[k]);
    corners[k] = i < 0 ? nullptr : &m_tree.element_at(i).payload;
  }
  auto inside = [&](int k) {
    if (k == 3) return k3Inside;
    const TsdfVoxel* v = corners[k];
    return v != nullptr && v->has_weight() && v->sdf() < 0.f;
  };
  auto edge = [&](int k, int axis) { return edge_vertex(corners[k], axis); };
  auto mark_deleted = [this](int face) {
    m_mesh.set_fFlag(face, static_cast<FaceFlag>(m_mesh.get_fFlag(face) | FLAG_DELETED));
  };
  // Two tasks may triangulate one cube (its own voxel's and that of
  // b + (1,1,1)); the cube voxel's lock keeps its face slots consistent.
  std::lock_guard<grid::SpinLock<std::uint8_t>> guard(cube->lock);
  const int used = mc::build_cube(inside, edge, [&](int t, const int (&ids)[3], bool complete) {
    int& slot = cube->faceIds[static_cast<std::size_t>(t)];
    if (complete) {
      if (slot < 0) slot = m_faceCounter.fetch_add(1);
      if (slot < m_faceCapacity) {
        m_mesh.set_face(slot, BaseTriFace(ids[0], ids[1], ids[2]));
        m_mesh.set_fFlag(slot, 0);
      } else {
        slot = -1;
      }
    } else if (slot >= 0) {
      mark_deleted(slot);
    }
  });
  for (int t = used; t < mc::kMaxTrianglesPerCube; ++t) {
    const int slot = cube->faceIds[static_cast<std::size_t>(t)];
    if (slot >= 0) mark_deleted(slot);
  }
}

void TsdfVolume::triangle_pass(int index, VoxelFinder& finder) {
  auto& e = m_tree.element_at(index);
  TsdfVoxel& v = e.payload;
  v.state = 0;
  const Eigen::Vector3i c = e.get_cell();
  if (!m_frame.within(c, 2)) return;
  const Eigen::Vector3i below = c - Eigen::Vector3i::Ones();
  // The finder may remember a node as absent that this pass has created
  // since: the voxels it creates are empty (no weight, no ids), which reads
  // as missing for a corner, and a cube's own voxel is passed in directly.
  int b = finder.leaf(below);
  const bool missing = b < 0;
  if (missing) b = m_tree.find_or_create_leaf(below);
  TsdfVoxel* cube = b < 0 ? nullptr : &m_tree.element_at(b).payload;
  const bool idle = missing ? cube_below_is_idle(index) : cube_is_idle(b);
  if ((missing || (cube != nullptr && cube->count == 0)) && !idle) triangulate(below, false, cube, finder);
  if (!cube_is_idle(index)) triangulate(c, v.has_weight() && v.sdf() < 0.f, &v, finder);
}

void TsdfVolume::extract() {
  const std::size_t n = m_dirty.size();
  // Nothing made before: every live vertex comes from this vertex pass, and
  // its marks show which cubes have one (two thirds of the cubes have none).
  if (m_vertexCounter.load() == 0 && m_faceCounter.load() == 0 && n > 0) {
    m_cubeMarkCount = m_tree.leaf_slots_in_use();
    m_cubeMarks.reset(new std::atomic<std::uint8_t>[static_cast<std::size_t>(m_cubeMarkCount)]());
  }
  // In batches, each making room for its own worst case: reserving for all dirty
  // voxels at once would grow the arrays by ten face slots per voxel where
  // about one is used, and every later copy of the mesh pays for them.
  for (std::size_t b = 0; b < n; b += kExtractionBatch) {
    const std::size_t e = std::min(n, b + kExtractionBatch);
    ensure_vertex_slots(static_cast<long long>(m_vertexCounter.load()) +
                            kNewVerticesPerVoxel * static_cast<long long>(e - b), 0);
    for_dirty(b, e, [this](int index, VoxelFinder& finder) { vertex_pass(index, finder); });
  }
  for (std::size_t b = 0; b < n; b += kExtractionBatch) {
    const std::size_t e = std::min(n, b + kExtractionBatch);
    ensure_face_slots(static_cast<long long>(m_faceCounter.load()) + kNewFacesPerVoxel * static_cast<long long>(e - b), 0);
    for_dirty(b, e, [this](int index, VoxelFinder& finder) { triangle_pass(index, finder); });
  }
  m_dirty.clear();
  m_cubeMarks.reset();
  m_cubeMarkCount = 0;
  ensure_vertex_slots(m_vertexCounter.load());
  ensure_face_slots(m_faceCounter.load());
}

void TsdfVolume::copy_mesh(BaseTriMesh& mesh, std::vector<int>& axes) const {
  const int vn = m_vertexCounter.load(), fn = m_faceCounter.load();
  // Only the used slots: copying the spare capacity cost more than the rest
  // of the extraction.
  BaseTriMesh out;
  out.enable_vFlag();
  out.enable_fFlag();
  out.set_vCoords(std::vector<Eigen::Vector3f>(m_mesh.get_vCoords().begin(), m_mesh.get_vCoords().begin() + vn));
  out.set_faces(std::vector<BaseTriFace>(m_mesh.get_faces().begin(), m_mesh.get_faces().begin() + fn));
  for (int i = 0; i < vn; ++i) out.set_vFlag(i, m_mesh.get_vFlag(i));
  for (int i = 0; i < fn; ++i) out.set_fFlag(i, m_mesh.get_fFlag(i));
  mesh = std::move(out);
  axes.assign(m_vertexAxis.begin(), m_vertexAxis.begin() + vn);
}

}  // namespace TavoAlgorithm

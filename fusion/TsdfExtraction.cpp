// Incremental marching cubes over the dirty voxels of a TsdfVolume. Vertices
// and faces keep the ids their voxels remember; vanished ones are marked
// deleted. The mesh arrays only grow between the passes, each pass having
// reserved room for every id it can take, so no writer ever sees them move.
#include <cfloat>
#include <algorithm>
#include <cmath>

#include "Parallel.h"
#include "common/marching_cubes_table.h"
#include "fusion/TsdfVolume.h"

namespace TavoAlgorithm {
namespace {
constexpr int kNewVerticesPerVoxel = 3;  // its three edges
constexpr int kNewFacesPerVoxel = 2 * mc::kMaxTrianglesPerCube;  // its cube and the one below
// A batch's worst case fits the headroom kept after every extraction, so the
// arrays grow only when the mesh itself does.
constexpr std::size_t kExtractionBatch = kMeshHeadroom / kNewFacesPerVoxel;

// The corner (kCornerOffset numbering) whose cell owns each edge.
constexpr int corner_of_offset(const int (&o)[3]) {
  for (int k = 0; k < 8; ++k)
    if (mc::kCornerOffset[k][0] == o[0] && mc::kCornerOffset[k][1] == o[1] && mc::kCornerOffset[k][2] == o[2]) return k;
  return -1;
}
constexpr int kEdgeOwnerCorner[12] = {
    corner_of_offset(mc::kEdgeOwner[0]), corner_of_offset(mc::kEdgeOwner[1]), corner_of_offset(mc::kEdgeOwner[2]),
    corner_of_offset(mc::kEdgeOwner[3]), corner_of_offset(mc::kEdgeOwner[4]), corner_of_offset(mc::kEdgeOwner[5]),
    corner_of_offset(mc::kEdgeOwner[6]), corner_of_offset(mc::kEdgeOwner[7]), corner_of_offset(mc::kEdgeOwner[8]),
    corner_of_offset(mc::kEdgeOwner[9]), corner_of_offset(mc::kEdgeOwner[10]), corner_of_offset(mc::kEdgeOwner[11])};
static_assert(kEdgeOwnerCorner[0] >= 0 && kEdgeOwnerCorner[1] >= 0 && kEdgeOwnerCorner[2] >= 0 &&
                  kEdgeOwnerCorner[3] >= 0 && kEdgeOwnerCorner[4] >= 0 && kEdgeOwnerCorner[5] >= 0 &&
                  kEdgeOwnerCorner[6] >= 0 && kEdgeOwnerCorner[7] >= 0 && kEdgeOwnerCorner[8] >= 0 &&
                  kEdgeOwnerCorner[9] >= 0 && kEdgeOwnerCorner[10] >= 0 && kEdgeOwnerCorner[11] >= 0,
              "every edge is owned by a corner of its cube");
}  // namespace

void TsdfVolume::ensure_vertex_slots(long long needed, long long margin) {
  std::lock_guard<std::mutex> guard(m_growLock);
  long long cap = m_vertexCapacity;
  while (cap - needed < margin) cap += kMeshGrowth;
  if (cap == m_vertexCapacity) return;
  m_mesh.resize_vn(static_cast<int>(cap));
  m_vertexAxis.resize(static_cast<std::size_t>(cap), 0);
  m_vertexCapacity = static_cast<int>(cap);
}

void TsdfVolume::ensure_face_slots(long long needed, long long margin) {
  std::lock_guard<std::mutex> guard(m_growLock);
  long long cap = m_faceCapacity;
  while (cap - needed < margin) cap += kMeshGrowth;
  if (cap == m_faceCapacity) return;
  m_mesh.resize_fn(static_cast<int>(cap));
  m_faceCapacity = static_cast<int>(cap);
}

int TsdfVolume::edge_vertex(const TsdfVoxel* v, int axis) const {
  if (v == nullptr) return -1;
  const int id = v->edgeVertex[static_cast<std::size_t>(axis)];
  if (id < 0 || m_mesh.get_vDeleted(id)) return -1;
  return id;
}

void TsdfVolume::vertex_pass(int index, VoxelFinder& finder) {
  auto& e = m_tree.element_at(index);
  TsdfVoxel& v = e.payload;
  const Eigen::Vector3i c = e.get_cell();
  const int upper = get_grid_size() - 1;
  if ((c.array() <= 0).any() || (c.array() >= upper).any()) return;
  float s0 = v.sdf();
  const Eigen::Vector3f p0 = m_vs * (c.cast<float>().array() + 0.5f).matrix();
  for (int a = 0; a < 3; ++a) {
    const TsdfVoxel* nb = find_voxel_cached(c + Eigen::Vector3i::Unit(a), finder);
    if (nb == nullptr) continue;  // a never-created neighbour keeps the old vertex
    float s1 = nb->sdf();
    int& id = v.edgeVertex[static_cast<std::size_t>(a)];
    if (s0 * s1 < 0.f) {
      if (std::fabs(s0) + std::fabs(s1) < FLT_EPSILON) s0 = s1 = 1.f;
      Eigen::Vector3f p = p0;
      p[a] = (std::fabs(s1) * p0[a] + std::fabs(s0) * (p0[a] + m_vs)) / (std::fabs(s0) + std::fabs(s1));
      if (id < 0) id = m_vertexCounter.fetch_add(1);
      if (id < m_vertexCapacity) {
        m_mesh.set_vCoord(id, p + m_origin);
        m_vertexAxis[static_cast<std::size_t>(id)] = a;
        m_mesh.set_vFlag(id, static_cast<VertexFlag>(m_mesh.get_vFlag(id) & ~FLAG_DELETED));
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
  for (int k = 0; k < 8; ++k)
    corners[k] = k == 3 ? cube  // corner k3 is b itself
                        : find_voxel_cached(b + Eigen::Vector3i(mc::kCornerOffset[k][0], mc::kCornerOffset[k][1],
                                                                mc::kCornerOffset[k][2]),
                                            finder);
  int index = k3Inside ? (1 << 3) : 0;
  for (int k = 0; k < 8; ++k) {
    if (k == 3) continue;
    const TsdfVoxel* v = corners[k];
    if (v != nullptr && v->has_weight() && v->sdf() < 0.f) index |= 1 << k;
  }
  const auto& row = mc::triangle_table()[static_cast<std::size_t>(index)];
  // Two tasks may triangulate one cube (its own voxel's and that of
  // b + (1,1,1)); the cube voxel's lock keeps its face slots consistent.
  cube->lock.lock();
  int t = 0;
  for (; t < mc::kMaxTrianglesPerCube && row[static_cast<std::size_t>(3 * t)] >= 0; ++t) {
    int ids[3];
    bool complete = true;
    for (int j = 0; j < 3; ++j) {
      const int edge = row[static_cast<std::size_t>(3 * t + j)];
      ids[j] = edge_vertex(corners[kEdgeOwnerCorner[edge]], mc::kEdgeAxis[edge]);
      complete = complete && ids[j] >= 0;
    }
    int& slot = cube->faceIds[static_cast<std::size_t>(t)];
    if (complete) {
      if (slot < 0) slot = m_faceCounter.fetch_add(1);
      if (slot < m_faceCapacity) {
        m_mesh.set_face(slot, BaseTriFace(ids[2], ids[1], ids[0]));
        m_mesh.set_fFlag(slot, 0);
      } else {
        slot = -1;
      }
    } else if (slot >= 0) {
      m_mesh.set_fFlag(slot, static_cast<FaceFlag>(m_mesh.get_fFlag(slot) | FLAG_DELETED));
    }
  }
  for (; t < mc::kMaxTrianglesPerCube; ++t) {
    const int slot = cube->faceIds[static_cast<std::size_t>(t)];
    if (slot >= 0) m_mesh.set_fFlag(slot, static_cast<FaceFlag>(m_mesh.get_fFlag(slot) | FLAG_DELETED));
  }
  cube->lock.unlock();
}

void TsdfVolume::triangle_pass(int index, VoxelFinder& finder) {
  auto& e = m_tree.element_at(index);
  TsdfVoxel& v = e.payload;
  v.state = 0;
  const Eigen::Vector3i c = e.get_cell();
  const int upper = get_grid_size() - 2;
  if ((c.array() <= 1).any() || (c.array() >= upper).any()) return;
  const Eigen::Vector3i below = c - Eigen::Vector3i::Ones();
  // The finder may remember a node as absent that this pass has created
  // since: the voxels it creates are empty (no weight, no ids), which reads
  // as missing for a corner, and a cube's own voxel is passed in directly.
  int b = finder.leaf(below);
  const bool missing = b < 0;
  if (missing) b = m_tree.find_or_create_leaf(below);
  TsdfVoxel* cube = b < 0 ? nullptr : &m_tree.element_at(b).payload;
  if (missing || (cube != nullptr && cube->count == 0)) triangulate(below, false, cube, finder);
  triangulate(c, v.has_weight() && v.sdf() < 0.f, &v, finder);
}

void TsdfVolume::extract() {
  const std::size_t n = m_dirty.size();
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

#include "AutoScan/emulateBinocular/ScoringMesh.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "MeshShells.h"
#include "meshproc/EarClipping.h"
#include "meshproc/MeshCleanup.h"
#include "meshproc/QuickFill.h"

namespace TavoAlgorithm {

namespace {

// Holes of fewer edges are closed without scoring; from kLargeHoleEdges on
// the patch filler closes them.
constexpr std::size_t kMediumHoleEdges = 7;
constexpr std::size_t kLargeHoleEdges = 21;
// Without value boxes the cut edge lies this far above the base height.
constexpr float kReferenceAboveBase = 2.0f;
// Vertices this close in z to the reference lie on the cut edge.
constexpr float kCutEdgeBand = 1.0f;
// Ear clipping arguments: loops of up to kEarMaxEdges edges, ears of quality
// kEarMinQuality and corner angle up to kEarMaxAngleDeg preferred.
constexpr int kEarMaxEdges = 20;
constexpr float kEarMinQuality = 0.6f;
constexpr float kEarMaxAngleDeg = 150.0f;

constexpr int kBaseDiscSegments = 36;
constexpr float kBaseDiscRadius = 50.0f;

bool boxes_meet(const BoundingBox& a, const BoundingBox& b) {
  return !a.empty() && !b.empty() && a.minX <= b.maxX && b.minX <= a.maxX && a.minY <= b.maxY &&
         b.minY <= a.maxY && a.minZ <= b.maxZ && b.minZ <= a.maxZ;
}

BoundingBox loop_box(const TriMesh& mesh, const HalfedgeLoop& loop) {
  BoundingBox box;
  for (auto h : loop) {
    const auto& p = mesh.point(mesh.from_vertex_handle(h));
    box.extend({p[0], p[1], p[2]});
  }
  return box;
}

bool on_cut_edge(const TriMesh& mesh, const HalfedgeLoop& loop, float reference) {
  const auto near = std::count_if(loop.begin(), loop.end(), [&](TriMesh::HalfedgeHandle h) {
    return std::abs(mesh.point(mesh.from_vertex_handle(h))[2] - reference) < kCutEdgeBand;
  });
  return 2 * static_cast<std::size_t>(near) > loop.size();
}

void close_ears(TriMesh& mesh, const std::vector<HalfedgeLoop>& loops) {
  if (!loops.empty())
    ear_clipping(mesh, loops, false, false, false, kEarMaxEdges, kEarMinQuality, kEarMaxAngleDeg);
}

QuickFillParam patch_param(int maxHoleSize) {
  QuickFillParam p;
  p.minHoleSize = 0;
  p.maxHoleSize = maxHoleSize;
  p.fairingIterations = 200;
  p.reserved0 = 0;
  p.reserved1 = 0;
  p.refineLevels = 4;
  p.selectNewFaces = 0;
  p.flipEdges = 1;
  p.verbose = 0;
  return p;
}

void fill_large(TriMesh& mesh, const std::vector<HalfedgeLoop>& loops, int maxHoleSize, bool keepPatches,
                std::vector<TriMesh>& kept) {
  kept.clear();
  if (loops.empty()) return;
  const QuickFillParam param = patch_param(maxHoleSize);
  if (!keepPatches) {
    quick_fill_holes(mesh, loops, param);
    return;
  }
  QuickFill filler;
  filler.set_all_parameter(param);
  std::vector<TriMesh> patches;
  std::vector<int> statuses;
  std::vector<HoleVertexMaps> maps;
  filler.fill_holes_quick(mesh, loops, patches, statuses, maps);
  for (std::size_t i = 0; i < patches.size(); ++i) {
    if (statuses[i] != QUICKFILL_FILLED) continue;
    merge_back_hole_region(mesh, patches[i], maps[i].patchToMesh, maps[i].meshToPatch);
    kept.push_back(std::move(patches[i]));
  }
}

// Faces of the half-edge mesh below `end` that survive the conversion back.
int live_faces_before(const TriMesh& mesh, int end) {
  int n = 0;
  for (int f = 0; f < end; ++f) n += mesh.status(mesh.face_handle(f)).deleted() ? 0 : 1;
  return n;
}

}  // namespace

HoleClasses classify_holes(const TriMesh& mesh, const std::vector<HalfedgeLoop>& loops,
                           const HoleMeshSettings& settings) {
  HoleClasses c;
  std::vector<BoundingBox> boxes;
  boxes.reserve(loops.size());
  for (const auto& loop : loops) boxes.push_back(loop_box(mesh, loop));
  const bool byValue = !settings.valueBoxes.empty();
  if (byValue) {
    c.reference = std::numeric_limits<float>::infinity();
    for (const auto& b : boxes) c.reference = std::min(c.reference, b.minZ);
  } else {
    c.reference = settings.baseHeight + kReferenceAboveBase;
  }
  for (std::size_t i = 0; i < loops.size(); ++i) {
    const std::size_t n = loops[i].size();
    if (byValue) {
      const bool touches = std::any_of(settings.valueBoxes.begin(), settings.valueBoxes.end(),
                                       [&](const BoundingBox& v) { return boxes_meet(boxes[i], v); });
      (n >= kMediumHoleEdges && touches ? c.large : c.small).push_back(loops[i]);
    } else {
      (n >= kLargeHoleEdges ? c.large : n >= kMediumHoleEdges ? c.medium : c.small).push_back(loops[i]);
    }
  }
  if (settings.addBase) {
    const auto dropped = [&](const HalfedgeLoop& loop) {
      return static_cast<long long>(loop.size()) > settings.maxHoleSize || on_cut_edge(mesh, loop, c.reference);
    };
    c.large.erase(std::remove_if(c.large.begin(), c.large.end(), dropped), c.large.end());
  }
  return c;
}

void build_scoring_mesh(const BaseTriMesh& model, const HoleMeshSettings& settings, bool keepPatches,
                        ScoringMesh& out) {
  BaseTriMesh m = model;
  if (m.has_fFlag())
    for (int f = 0; f < m.get_fn(); ++f)
      if (m.get_fFlag(f) & kFaceNotScored) m.set_fDeleted(f, true);
  const bool cut = settings.addBase && m.has_vFlag();
  for (int v = 0; v < m.get_vn(); ++v) {
    const Eigen::Vector3f& p = m.get_vCoord(v);
    // A point that is not finite would stop every hole filler.
    if (!p.allFinite() || (cut && p.z() < settings.baseHeight)) m.set_vDeleted(v, true);
  }
  squeeze_baseTriMesh(m);

  TriMesh t;
  BaseTriMesh_convert_to_TriMesh(m, t);
  remove_small_shell(t, settings.minShellSize);
  remove_non_manifold_verts(t);
  std::vector<HalfedgeLoop> loops;
  find_holes(t, loops);
  const HoleClasses holes = classify_holes(t, loops, settings);

  close_ears(t, holes.small);
  const int firstHoleFace = static_cast<int>(t.n_faces());
  close_ears(t, holes.medium);
  fill_large(t, holes.large, settings.maxHoleSize, keepPatches, out.patches);

  TriMesh_convert_to_BaseTriMesh(t, out.mesh);
  // Faces a filler took back are still counted by the half-edge mesh but
  // are gone from the converted one.
  out.firstHoleFace = live_faces_before(t, firstHoleFace);
}

BaseTriMesh make_base_disc() {
  BaseTriMesh disc;
  disc.add_vCoord(Eigen::Vector3f::Zero());
  for (int k = 0; k < kBaseDiscSegments; ++k) {
    const double a = k * (2.0 * M_PI / kBaseDiscSegments);
    disc.add_vCoord({static_cast<float>(kBaseDiscRadius * std::sin(a)),
                     static_cast<float>(kBaseDiscRadius * std::cos(a)), 0.f});
  }
  std::vector<BaseTriFace> faces;
  for (int k = 1; k <= kBaseDiscSegments; ++k) faces.push_back({0, k, k % kBaseDiscSegments + 1});
  disc.set_faces(std::move(faces));
  // The disc faces down, so that the cameras above see its back.
  disc.update_fNrv();
  if (disc.get_fNrv(0).z() > 0.f) {
    std::vector<BaseTriFace> flipped = disc.get_faces();
    for (auto& f : flipped) std::swap(f[1], f[2]);
    disc.set_faces(std::move(flipped));
    disc.update_fNrv();
  }
  return disc;
}

std::vector<int> make_hole_face_mask(int faceCount, int first, int end) {
  std::vector<int> mask(static_cast<std::size_t>(std::max(faceCount, 0)) / 32 + 1, 0);
  first = std::max(first, 0);
  end = std::min(end, faceCount);
  for (int f = first; f < end; ++f) mask[f / 32] |= static_cast<int>(1u << (f % 32));
  return mask;
}

}  // namespace TavoAlgorithm

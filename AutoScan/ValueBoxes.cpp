#include "AutoScan/ValueBoxes.h"

#include <omp.h>

#include <algorithm>
#include <limits>

#include "AutoScan/HoleBoxes.h"
#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "HoleDetection.h"
#include "Parallel.h"
#include "common/console.h"
#include "meshproc/HoleFinding.h"
#include "meshproc/MeshCleanup.h"

namespace TavoAlgorithm::value_boxes {
namespace {

// Value boxes grow by this much before they are tested against holes.
constexpr float kIterBoxGrowth = 1.0f;
// The clip height goes this far below the lowest value box.
constexpr float kClipBelowBox = hole_boxes::kCutBelowHole;
constexpr float kNoClip = std::numeric_limits<float>::max();

bool boxes_meet(const BoundingBox& a, const BoundingBox& b) {
  return a.minX <= b.maxX && b.minX <= a.maxX && a.minY <= b.maxY && b.minY <= a.maxY && a.minZ <= b.maxZ &&
         b.minZ <= a.maxZ;
}

BoundingBox grown(const BoundingBox& b, float d) {
  const BoundingBox g(b.min_corner() - Eigen::Vector3f::Constant(d), b.max_corner() + Eigen::Vector3f::Constant(d));
  return g.empty() ? BoundingBox() : g;
}

RetVal apply(EmulateBinHelper& r, const std::vector<BoundingBox>& boxes, bool resetGrid) {
  if (!resetGrid) {
    r.set_value_boxes_keep_grid(boxes);
    return RETVAL_SUCCESS;
  }
  return r.set_value_boxes(boxes, false) == RETVAL_SUCCESS ? RETVAL_SUCCESS : RETVAL_FAILED;
}

}  // namespace

RetVal from_points(const BaseTriMesh* model, EmulateBinHelper* renderer, int minShellSize,
                   const std::vector<Eigen::Vector3f>& points, Target t) {
  if (!model) return RETVAL_FAILED;
  t.boxes.clear();
  if (!renderer) return RETVAL_FAILED;
  TriMesh mesh;
  BaseTriMesh_convert_to_TriMesh(*model, mesh);
  remove_small_components_by_face(mesh, minShellSize);
  remove_non_manifold_verts(mesh);
  find_mesh_hole_by_pts(mesh, points, t.boxes, t.clipZ);
  return apply(*renderer, t.boxes, true);
}

RetVal from_list(EmulateBinHelper* renderer, const std::vector<BoundingBox>& list, Target t) {
  if (list.empty()) return RETVAL_SUCCESS;
  if (!renderer) return RETVAL_FAILED;
  t.boxes.clear();
  t.clipZ = kNoClip;
  for (const BoundingBox& b : list) {
    if (b.empty()) continue;
    t.boxes.push_back(b);
    t.clipZ = std::min(t.clipZ, b.minZ - kClipBelowBox);
  }
  return apply(*renderer, t.boxes, true);
}

RetVal from_box(EmulateBinHelper* renderer, const BoundingBox& box, Target t) {
  if (box.empty()) return RETVAL_SUCCESS;
  t.boxes.assign(1, box);
  if (!renderer) {
    console::message("must set param first! ");
    return RETVAL_FAILED;
  }
  renderer->add_value_box(box, true);
  t.clipZ = box.minZ - kClipBelowBox;
  return RETVAL_SUCCESS;
}

RetVal narrow(EmulateBinHelper* renderer, TriMesh& mesh, bool resetGrid, Target t) {
  if (!renderer) return RETVAL_FAILED;
  remove_non_manifold_verts(mesh);
  std::vector<VertexLoop> holes;
  find_holes(mesh, holes);

  std::vector<BoundingBox> reach;
  for (const BoundingBox& b : t.boxes) reach.push_back(grown(b, kIterBoxGrowth));
  const std::size_t n = holes.size();
  std::vector<BoundingBox> holeBoxes(n);
  // One byte per hole: each task writes only its own.
  std::vector<char> selected(n, 0);
  auxilary_tbb_for(omp_get_max_threads(), 0, n, [&](std::size_t h) {
    holeBoxes[h] = hole_boxes::loop_box(mesh, holes[h]);
    selected[h] = std::any_of(reach.begin(), reach.end(),
                              [&](const BoundingBox& b) { return boxes_meet(holeBoxes[h], b); });
  });

  const float bottom = hole_boxes::lowest_bottom(holeBoxes);
  t.clipZ = kNoClip;
  t.boxes.clear();
  for (std::size_t h = 0; h < n; ++h) {
    if (!selected[h] || !hole_boxes::worth_scanning(mesh, holes[h], bottom)) continue;
    t.boxes.push_back(holeBoxes[h]);
    t.clipZ = std::min(t.clipZ, holeBoxes[h].minZ - kClipBelowBox);
  }
  return apply(*renderer, t.boxes, resetGrid);
}

RetVal narrow(EmulateBinHelper* renderer, const BaseTriMesh* model, bool resetGrid, Target t) {
  if (!renderer || !model) return RETVAL_FAILED;
  TriMesh mesh;
  BaseTriMesh_convert_to_TriMesh(*model, mesh);
  return narrow(renderer, mesh, resetGrid, t);
}

}  // namespace TavoAlgorithm::value_boxes

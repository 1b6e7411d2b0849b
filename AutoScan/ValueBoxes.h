#pragma once
// The value-box rules shared by the planners that own their model
// (AutoScanHelper) and those that plan on the host's mesh
// (DentalGetScanPathHelper): which holes matter, and how far the clip height
// drops below them. Each call states its result as the planners return it;
// the caller checks its own "no model yet" state first.
#include <Eigen/Core>
#include <vector>

#include "RetVal.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/BoundingBox.h"
#include "geometry/TriMesh.h"

namespace TavoAlgorithm {

class EmulateBinHelper;

namespace value_boxes {

// Where the rules write: the planner's box list and clip height.
struct Target {
  std::vector<BoundingBox>& boxes;
  float& clipZ;
};

// Boxes of the mesh's holes holding one of the points. 2 without mesh or
// renderer (the list is emptied once the mesh exists).
RetVal from_points(const BaseTriMesh* mesh, EmulateBinHelper* renderer, int minShellSize,
                   const std::vector<Eigen::Vector3f>& points, Target t);
// The non-empty boxes of the list; an empty list changes nothing (0).
RetVal from_list(EmulateBinHelper* renderer, const std::vector<BoundingBox>& list, Target t);
// This box alone, the grid reset to it; an empty box changes nothing (0).
RetVal from_box(EmulateBinHelper* renderer, const BoundingBox& box, Target t);
// Narrows the list to the holes of `mesh` still open inside it.
RetVal narrow(EmulateBinHelper* renderer, TriMesh& mesh, bool resetGrid, Target t);
// The same on a copy of `model`; 2 without renderer or model.
RetVal narrow(EmulateBinHelper* renderer, const BaseTriMesh* model, bool resetGrid, Target t);

}  // namespace value_boxes
}  // namespace TavoAlgorithm

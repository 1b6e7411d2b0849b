#pragma once
// Holes that still need scanning, found from points the user marked and given
// as axis-aligned boxes (the planners' value boxes). Positions are in the
// model's units (mm); the mesh is only read. A hole is a boundary loop of the
// half-edge mesh; its box is the box of its loop vertices. The cut height is
// the height below which the planner cuts the model away: these functions
// only ever lower it. The shells and border faces of an indexed mesh
// (find_baseTriMesh_shells_border_faces) are in MeshShells.h.
//
// Threading: the per-hole passes of find_mesh_hole_by_pts run as OpenMP loops;
// the calls themselves may run concurrently on different outputs.
// Bad input never fails these calls: points with a NaN or infinite coordinate
// are ignored, empty boxes contain nothing, vertex indices outside the mesh
// are dropped.
#include <Eigen/Core>
#include <cstdint>
#include <vector>

#include "TavoExport.h"
#include "geometry/BoundingBox.h"
#include "geometry/TriMesh.h"

namespace TavoAlgorithm {

// Appends to holeBoxes the boxes of the holes, in hole order, whose box holds
// at least one point (bounds included), except a hole of which more than
// half the vertices lie within 1.0 in z of the lowest hole bottom (the
// model's cut edge) and a hole of more than 2000 vertices. Every hole
// returned lowers cutHeight to its box's min z - 2.0. An empty point list or
// a mesh without holes changes nothing. Always true.
TAVO_API bool find_mesh_hole_by_pts(const TriMesh& mesh, const std::vector<Eigen::Vector3f>& points,
                                    std::vector<BoundingBox>& holeBoxes, float& cutHeight);

// holeBoxes := the boxes of firstPoints' holes (as above), followed, in index
// order, by those boxes of secondPoints' holes whose centres lie within 6.0 of
// the centre of one of the first boxes (the 10 nearest per first box). Both
// searches lower cutHeight. Always true.
TAVO_API bool find_mesh_hole_by_pts(const TriMesh& mesh, const std::vector<Eigen::Vector3f>& firstPoints,
                                    const std::vector<Eigen::Vector3f>& secondPoints,
                                    std::vector<BoundingBox>& holeBoxes, float& cutHeight);

// Point flags, one per vertex: 2 or more marks a vertex at a hole to scan, 1 a
// weaker mark, 0 or less none. The strong marks are grown (extend_color_pick)
// over a copy of the mesh whose holes of at most 1000 edges are closed by
// fans, and the holes at the grown marks are appended as above. Prints the
// lines "fix holes cost:   ", "extend holes cost:   " and "auto find holes
// cost:   " with the milliseconds since the call began. True without a
// strong mark (nothing appended); false, nothing changed, when the flag count
// differs from the vertex count.
TAVO_API bool auto_classfiy_holes_by_pt_flags(const TriMesh& mesh, const std::vector<std::int32_t>& flags,
                                              std::vector<BoundingBox>& holeBoxes, float& cutHeight);

// Retired classification: changes nothing, always true.
TAVO_API bool auto_classfiy_holes_by_pt_flags_die(const TriMesh& mesh, const std::vector<std::int32_t>& flags,
                                                  std::vector<BoundingBox>& holeBoxes, float& cutHeight);

// Grows the strong marks (first) over the mesh's edges: every vertex
// reachable from a strong mark through vertices within 3.0 of it joins the
// first list, and a weak mark (second) reached that way grows in turn as a
// strong one. first is rewritten in increasing order without duplicates or
// indices outside the live vertices; second and the mesh are not changed.
// Always true. Sequential.
TAVO_API bool extend_color_pick(const TriMesh& mesh, std::vector<std::int32_t>& first,
                                std::vector<std::int32_t>& second);

// marks := one flag per vertex (deleted ones included), set for every hole
// vertex inside at least one box (bounds included) and for every vertex within
// `rings` edges of such a vertex (rings <= 0: the vertex alone). Sequential.
TAVO_API void find_hole_vertexs_by_value_boxs(const TriMesh& mesh, const std::vector<BoundingBox>& boxes,
                                              std::int32_t rings, std::vector<bool>& marks);

}  // namespace TavoAlgorithm

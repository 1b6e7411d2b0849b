#pragma once
// Boundary loops of a half-edge mesh. A loop is the cycle of boundary
// half-edges (half-edges without a face) around one hole, in OpenMesh's
// next-half-edge order, so that a face built on consecutive loop vertices in
// loop order is oriented like the mesh around it. Loops start at their
// lowest-index half-edge and are listed in increasing order of that index.
// Deleted elements are ignored. Sequential; the mesh is only read.
#include <vector>

#include "RetVal.h"
#include "geometry/TriMesh.h"

namespace TavoAlgorithm {

using HalfedgeLoop = std::vector<TriMesh::HalfedgeHandle>;
using VertexLoop = std::vector<TriMesh::VertexHandle>;

// Each loop lists its half-edges; the vertex form lists their from-vertices.
// RETVAL_FAILED (loops emptied) for a mesh without live faces or for a broken
// boundary cycle; a closed mesh succeeds with no loops.
RetVal find_holes(const TriMesh& mesh, std::vector<HalfedgeLoop>& loops);
RetVal find_holes(const TriMesh& mesh, std::vector<VertexLoop>& loops);

// True when `loop` is, in order, a complete cycle of live boundary half-edges.
bool is_boundary_loop(const TriMesh& mesh, const HalfedgeLoop& loop);

}  // namespace TavoAlgorithm

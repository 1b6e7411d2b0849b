#pragma once
// Holes of the indexed mesh over the tables of OrvaneSimpleTopos: a hole is a
// loop of border edges (edges with exactly one live face). Edges with three
// or more faces are no border. Deleted faces (at build time or since) take no
// part. Sequential; the mesh and the tables are only read.
#include <cstdint>
#include <vector>

#include "OrvaneSimpleTopos.h"
#include "RetVal.h"

namespace TavoAlgorithm {

// One group of holes whose boundaries are joined: two holes are grouped when
// a vertex lies on both or a face has a vertex on each.
struct UnionHoleFaces {
  std::vector<std::int32_t> holes;  // indices into the lists of find_holes, increasing
  std::vector<std::int32_t> verts;  // boundary vertices of these holes, increasing
  std::vector<std::int32_t> faces;  // live faces with a vertex on these boundaries, increasing
};

// holeVerts[h]: the boundary vertices of hole h in loop order, oriented like
// the half-edge mesh's boundary (opposite to the faces' edges); holeFaces[h]:
// for each of its border edges, in the same order, the face it belongs to, so
// holeFaces[h][i] is the face of the edge from holeVerts[h][i] to the next
// vertex. Holes come in order of their first border edge (lowest face, then
// edge number). Both lists are emptied first; they stay empty when the
// tables are missing or do not fit the mesh.
void find_holes(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo,
                std::vector<std::vector<std::int32_t>>& holeVerts,
                std::vector<std::vector<std::int32_t>>& holeFaces);

// One record per group of holes, groups in order of their lowest hole.
// RETVAL_FAILED (records emptied) when the tables are empty or do not fit the
// mesh, or the mesh has no face flags.
RetVal get_all_union_hole_faces(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo,
                                std::vector<UnionHoleFaces>& records);

}  // namespace TavoAlgorithm

#pragma once
// Shells of the indexed mesh over the edge table (OrvaneSimpleTopos), shared
// by the free shell functions and the planners' shell clean-up. Two faces
// connect across an edge used by exactly these two faces; border and
// non-manifold edges do not connect.
#include <cstdint>
#include <vector>

#include "OrvaneSimpleTopos.h"
#include "RetVal.h"

namespace TavoAlgorithm {

// Appends one shell per face not marked in `done`, in increasing face order;
// a shell grows breadth first across edges shared by exactly two faces and
// marks its faces in `done`. `done` must have one mark per face of the mesh;
// the topology must be built from this mesh (otherwise nothing is appended).
void flood_shells(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo, std::vector<bool>& done,
                  std::vector<std::vector<std::int32_t>>& shells);

// shells := the shells of the faces not marked in `done` (the caller marks
// deleted faces); empty for a mesh without faces, a `done` of the wrong length
// or tables that do not fit the mesh. Sequential.
void find_shells(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo, std::vector<bool> done,
                 std::vector<std::vector<std::int32_t>>& shells);

// Deletes every shell of 1 ... minShellSize faces and compacts the mesh
// (squeeze_baseTriMesh: faces renumbered, unused vertices dropped), so the
// topology no longer fits it afterwards. Deleted faces and faces left out of
// the tables belong to no shell. RETVAL_FAILED, mesh untouched, when the
// edge table is empty or does not fit the mesh, or the mesh has no face
// flags. The marking and deleting loops run in parallel (OpenMP).
RetVal remove_small_shells(BaseTriMesh& mesh, const OrvaneSimpleTopos& topo, std::int32_t minShellSize);

}  // namespace TavoAlgorithm

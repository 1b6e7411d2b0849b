#pragma once
// Shell flooding over the edge table, shared by the free shell functions and
// the planners' shell clean-up.
#include <cstdint>
#include <vector>

#include "OrvaneSimpleTopos.h"

namespace TavoAlgorithm {

// Appends one shell per face not marked in `done`, in increasing face order;
// a shell grows breadth first across edges shared by exactly two faces and
// marks its faces in `done`. `done` must have one mark per face of the mesh;
// the topology must be built from this mesh (otherwise nothing is appended).
void flood_shells(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo, std::vector<bool>& done,
                  std::vector<std::vector<std::int32_t>>& shells);

}  // namespace TavoAlgorithm

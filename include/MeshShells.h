#pragma once
// Shells (sets of faces connected through edges) and compaction of meshes.
// Sequential; each call changes only the mesh it is given.
#include <cstdint>
#include <vector>

#include "TavoExport.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/TriMesh.h"

namespace TavoAlgorithm {

// Deletes every shell of 1 ... n faces (faces meeting at an edge of the
// half-edge mesh are one shell) with the vertices only it used, then collects
// the garbage: handles taken before the call are invalid after it.
TAVO_API void remove_small_shell(TriMesh& mesh, std::int32_t n);

// Deletes the vertices that no live face uses and compacts the mesh (faces
// renumbered; deleted faces and faces with a vertex index outside the mesh are
// dropped). Vertex flags are enabled. A mesh whose vertices are all used keeps
// its vertex and face order.
TAVO_API void squeeze_baseTriMesh(BaseTriMesh& mesh);

// Shells of the indexed mesh, where two faces connect across an edge used by
// exactly these two faces (border and non-manifold edges do not connect).
// Each shell lists its faces in flood order from its lowest face; shells come
// in order of that face. borderFaces lists, in increasing order, the faces
// with an edge no other face uses. Deleted faces and faces with a vertex index
// outside the mesh belong to no shell and are no border faces.
TAVO_API void find_baseTriMesh_shells_border_faces(const BaseTriMesh& mesh,
                                                   std::vector<std::vector<std::int32_t>>& shells,
                                                   std::vector<std::int32_t>& borderFaces);

}  // namespace TavoAlgorithm

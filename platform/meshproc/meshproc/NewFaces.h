#pragma once
// Finishing faces a fill has just added: optional selection, face normals,
// and the normals of their vertices, whose fans the new faces changed.
#include <vector>

#include "geometry/TriMesh.h"

namespace TavoAlgorithm {

void finish_new_faces(TriMesh& mesh, const std::vector<TriMesh::FaceHandle>& added, bool select);

}  // namespace TavoAlgorithm

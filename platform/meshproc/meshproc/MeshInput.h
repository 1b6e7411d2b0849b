#pragma once
// Input checks shared by the mesh-processing calls: every call that reads
// coordinates refuses a mesh without live faces or with a non-finite point, so
// that NaN never reaches the geometric predicates.
#include "geometry/TriMesh.h"

namespace TavoAlgorithm {

// True when the mesh has at least one face that is not deleted.
bool has_live_faces(const TriMesh& mesh);
// True when every vertex that is not deleted has finite coordinates.
bool has_finite_points(const TriMesh& mesh);

}  // namespace TavoAlgorithm

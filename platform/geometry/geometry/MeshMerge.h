#pragma once
// merge_mesh: appends one indexed mesh to another.
#include "geometry/BaseTriMesh.h"

namespace TavoAlgorithm {

// Appends the points of `part` to `mesh` and then its faces, renumbered by the
// point count `mesh` had, so the faces of `part` follow those of `mesh` in
// their own order. The attributes `mesh` has enabled are carried from `part`
// where it has them and zero otherwise; `part`'s other attributes are dropped.
// Faces of `part` with an index outside its points are appended unchanged
// apart from the renumbering (faces_valid() then reports them).
void merge_mesh(BaseTriMesh& mesh, const BaseTriMesh& part);

}  // namespace TavoAlgorithm

#pragma once
// Clean-up of a half-edge mesh before hole finding. The calls change the mesh
// in place and finish with garbage collection, so handles taken before a call
// are invalid after it. Sequential.
#include <vector>

#include "RetVal.h"
#include "geometry/TriMesh.h"

namespace TavoAlgorithm {

// Labels the live faces by component: two faces are connected when they share
// an edge. label[f] is the component of face f (numbered in order of each
// component's lowest face) or -1 for a deleted face; sizes[c] is the face
// count of component c. Linear in the face count.
void label_face_components(const TriMesh& mesh, std::vector<int>& label, std::vector<int>& sizes);

// Deletes every component with fewer than minFaces faces, with the vertices
// only it used. minFaces <= 1 removes nothing. RETVAL_FAILED, mesh untouched,
// for a mesh without live faces.
RetVal remove_small_components_by_face(TriMesh& mesh, int minFaces);

// Deletes the vertices whose faces do not form one fan (a vertex where two or
// more fans touch), with their faces, and repeats until every vertex is
// manifold: the result may have holes where the vertices were. RETVAL_FAILED,
// mesh untouched, for a mesh without live faces.
RetVal remove_non_manifold_verts(TriMesh& mesh);

}  // namespace TavoAlgorithm

#pragma once
// repeated_faces: faces that lie on the same three vertices as another.
//
// Marching cubes followed by edge collapse, or two surfaces of one cell
// sharing vertices, can put several faces on one vertex triple; their edges
// then carry more than two faces. Copies with the same turn keep the first
// one; faces with opposite turns cancel in pairs (a fold, not a surface).
#include <functional>
#include <vector>

#include "geometry/BaseTriMesh.h"

namespace TavoAlgorithm {

// Ascending indices of the faces to drop. Faces for which `live` returns
// false take no part.
std::vector<int> repeated_faces(const std::vector<BaseTriFace>& faces, const std::function<bool(int)>& live);

}  // namespace TavoAlgorithm

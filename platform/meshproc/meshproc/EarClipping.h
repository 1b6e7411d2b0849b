#pragma once
// Closes boundary loops of a half-edge mesh with ear-clipped triangles made of
// the loop's own vertices (no new vertices). New faces are appended, oriented
// like the faces around the hole; existing faces and handles stay valid (no
// garbage collection), so the other loops of a find_holes result stay usable.
// Sequential.
#include <vector>

#include "RetVal.h"
#include "meshproc/HoleFinding.h"

namespace TavoAlgorithm {

// loops: half-edge loops from find_holes on this mesh.
// selectNewFaces: mark every new face selected (OpenMesh status).
// ignoreSizeLimit: fill loops longer than maxHoleSize too.
// verbose: one located warning per loop that could not be closed.
// maxHoleSize: loops with more half-edges are left open (unless ignored).
// minQuality, maxAngleDeg: ear preferences of triangulate_loop
//   (LoopTriangulation.h); they steer the choice of ears, never block a fill.
// Returns RETVAL_FAILED for a mesh without live faces or with a non-finite
// point (mesh untouched), or when some loop is not a current boundary loop or
// could not be closed (that loop stays open, the others are filled).
RetVal ear_clipping(TriMesh& mesh, const std::vector<HalfedgeLoop>& loops, bool selectNewFaces,
                    bool ignoreSizeLimit, bool verbose, int maxHoleSize, float minQuality,
                    float maxAngleDeg);

}  // namespace TavoAlgorithm

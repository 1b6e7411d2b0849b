#pragma once
// Hole filling with patches: each hole gets its own small mesh (the patch) made
// of the hole's boundary vertices and new interior vertices, which the caller
// may keep and then merge into the mesh. A patch starts as an ear-clipped
// triangulation of the loop (a fan about a new centre vertex where the loop's
// projection crosses itself and no ear clipping exists), is refined by splitting its interior edges that
// are longer than the loop's mean edge, improved by edge flips and faired by
// umbrella smoothing of its new vertices with the boundary held fixed, so a
// planar hole gets a planar patch of triangles about the size of the border's.
// Sequential; the class holds only its parameters.
#include <cstdint>
#include <map>
#include <vector>

#include "RetVal.h"
#include "meshproc/HoleFinding.h"

namespace TavoAlgorithm {

// Nine int32 fields, in this order.
struct QuickFillParam {
  std::int32_t minHoleSize = 0;          // loops with fewer half-edges are skipped
  std::int32_t maxHoleSize = 0;          // loops with more half-edges are skipped; <= 0: no limit
  std::int32_t fairingIterations = 200;  // umbrella-smoothing sweeps over the new vertices
  std::int32_t reserved0 = 0;            // carried, not read
  std::int32_t reserved1 = 0;            // carried, not read
  std::int32_t refineLevels = 4;         // edge-splitting passes; 0 keeps the bare triangulation
  std::int32_t selectNewFaces = 0;       // nonzero: merged faces are marked selected
  std::int32_t flipEdges = 1;            // nonzero: flip interior edges toward Delaunay
  std::int32_t verbose = 0;              // nonzero: one located warning per hole not filled
};
static_assert(sizeof(QuickFillParam) == 9 * sizeof(std::int32_t), "QuickFillParam is nine int32");

enum QuickFillStatus : int {
  QUICKFILL_FILLED = 0,   // patch made
  QUICKFILL_SKIPPED = 1,  // loop size outside [minHoleSize, maxHoleSize]
  QUICKFILL_FAILED = 2,   // not a boundary loop of the mesh, or one through a vertex twice
};

// Vertex maps of one patch. patchToMesh[i] is the mesh vertex index of patch
// vertex i, or -1 for a new vertex; meshToPatch is its inverse over the
// boundary vertices.
struct HoleVertexMaps {
  std::vector<int> patchToMesh;
  std::map<int, int> meshToPatch;
};

class QuickFill {
 public:
  void set_all_parameter(const QuickFillParam& param) { m_param = param; }
  const QuickFillParam& get_all_parameter() const { return m_param; }

  // One patch, status and map pair per loop, in loop order (a hole not filled
  // gets an empty patch and empty maps). The mesh is not changed. Returns
  // RETVAL_FAILED (outputs emptied) for a mesh without live faces or with a
  // non-finite point, or when some hole failed; skipped holes are no failure.
  RetVal fill_holes_quick(const TriMesh& mesh, const std::vector<HalfedgeLoop>& loops,
                          std::vector<TriMesh>& patches, std::vector<int>& statuses,
                          std::vector<HoleVertexMaps>& maps) const;

 private:
  QuickFillParam m_param;
};

// Adds the patch's new vertices and its faces to the mesh (no garbage
// collection, so existing handles stay valid). RETVAL_FAILED, mesh unchanged
// apart from deleted marks on what this call added, when the maps do not match
// the patch or the mesh, a patch point is not finite, or a face cannot join the
// mesh. selectNewFaces marks the added faces selected.
RetVal merge_back_hole_region(TriMesh& mesh, const TriMesh& patch, const std::vector<int>& patchToMesh,
                              const std::map<int, int>& meshToPatch, bool selectNewFaces = false);

// fill_holes_quick then merge_back_hole_region of every patch.
RetVal quick_fill_holes(TriMesh& mesh, const std::vector<HalfedgeLoop>& loops,
                        const QuickFillParam& param);

}  // namespace TavoAlgorithm

#pragma once
// The scoring mesh of the emulated binocular renderer: the planner's model
// with every hole that still needs scanning closed by extra faces (the hole
// faces), which come after the model's faces and after the faces that close
// holes not worth scoring. Built on the CPU from the mesh-processing calls;
// EmulateBinHelper::update_hole_mesh uploads it. Positions in mm.
#include <vector>

#include "geometry/BaseTriMesh.h"
#include "geometry/BoundingBox.h"
#include "geometry/TriMesh.h"
#include "meshproc/HoleFinding.h"

namespace TavoAlgorithm {

// Face flag bit of model faces that the planner has taken out of scoring.
inline constexpr FaceFlag kFaceNotScored = 1u << 1;

struct HoleMeshSettings {
  int minShellSize = 0;  // shells of at most this many faces are dropped
  int maxHoleSize = 0;   // larger holes are not filled for scoring
  bool addBase = true;   // cut below baseHeight; large holes on the cut edge stay open
  float baseHeight = 0.f;
  std::vector<BoundingBox> valueBoxes;  // non-empty: only holes touching them are scored
};

// Holes sorted by what happens to them: small ones are closed before the
// hole faces (not scored), medium ones become hole faces by ear clipping,
// large ones by patch filling.
struct HoleClasses {
  std::vector<HalfedgeLoop> small, medium, large;
  float reference = 0.f;  // height of the model's cut edge
};

// With value boxes: a hole of more than 6 edges whose box meets a value box
// is large, every other hole small, and the reference is the lowest hole
// bottom. Without: 21 edges or more large, 7 to 20 medium, the rest small,
// and the reference 2 above the base height. With addBase, a large hole of
// which more than half the vertices lie within 1 of the reference, or with
// more edges than maxHoleSize, is dropped (stays open).
HoleClasses classify_holes(const TriMesh& mesh, const std::vector<HalfedgeLoop>& loops,
                           const HoleMeshSettings& settings);

struct ScoringMesh {
  BaseTriMesh mesh;        // model faces, closed small holes, then the hole faces
  int firstHoleFace = 0;   // faces [firstHoleFace, mesh.get_fn()) are hole faces
  std::vector<TriMesh> patches;  // one per large hole filled, when kept
};

// Copy of the model without the faces flagged kFaceNotScored, without its
// vertices that are not finite and (with addBase, when it has vertex flags)
// without the vertices below the base height; compacted, small shells and
// non-manifold vertices removed, holes classified and closed. keepPatches
// keeps the patch of every large hole filled. Sequential.
void build_scoring_mesh(const BaseTriMesh& model, const HoleMeshSettings& settings, bool keepPatches,
                        ScoringMesh& out);

// The disc merged under the model: 37 vertices, the centre at the origin and
// 36 on a circle of radius 50 in z = 0, 36 faces facing -z.
BaseTriMesh make_base_disc();

// One bit per face (bit f % 32 of word f / 32), faceCount / 32 + 1 words, set
// for the faces [first, end).
std::vector<int> make_hole_face_mask(int faceCount, int first, int end);

}  // namespace TavoAlgorithm

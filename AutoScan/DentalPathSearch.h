#pragma once
// The dental planning step shared by DentalAutoScanHelper (its own TSDF
// model) and DentalGetScanPathHelper (the host's mesh): the lazy greedy
// choice over the candidate grid, the shrinking pattern search around the
// chosen candidate, the move of a repeated choice, and the navigation window.
// Single-threaded; the renderer draws in the shared OpenGL context.
#include <utility>
#include <vector>

#include "DentalScanPoses.h"
#include "RetVal.h"

namespace TavoAlgorithm {

class BaseTriMesh;
class EmulateBinHelper;

namespace dental {

using Angles = std::pair<std::int32_t, std::int32_t>;  // (rotation, tilt)

// Bounds of the candidate grid and of the pattern search render the hole
// faces alone (EmulateBinHelper::set_hole_face_bounds): an upper bound of the
// exact score at the cost of the hole faces, so that the choice is the one
// of exact scoring. Before that, the projected area of the hole faces bounds
// every candidate, so that only those that may reach the best render a bound
// at all. kBoundImageDivisor is the coarse size of the whole-mesh bounds
// the planners used before, kept for comparison (the planning bench).
constexpr int kBoundImageDivisor = 4;

// Both planners score with the exact hole-face bounds described above.
void use_hole_face_bounds(EmulateBinHelper& renderer);

// What the search reads of its planner: the candidates, the tilt range and
// step, and the settings of its parameters (those of set_param, whatever
// settings the candidates were last made with).
struct PlanContext {
  EmulateBinHelper& renderer;
  const DentalPlanSetup& setup;
};

// Score of one pose on the renderer (evaluate_pose of its c0 / c1 cameras).
float score_pose(const PlanContext& ctx, const Angles& pose, bool bound);

// Pattern search from candidate i: unchanged for value 0 (or NaN) and step 1;
// otherwise the eight neighbours at half the step, halving until zero.
// Neighbour rotations above 360 are wrapped, negative ones kept.
void get_better_path(const PlanContext& ctx, int i, float& value, Angles& angles);

// The angles a repeat of `last` moves to: tilt + 2 below 121, else tilt - 2;
// rotation + 2 mod 360.
Angles moved_repeat(const Angles& angles);

// The poses of the navigation window in scoring order before sorting: dr and
// dt from -w to w, rotation wrapped to 0 ... 359, tilts outside -30 ... 120
// skipped.
std::vector<Angles> navigation_window(std::int32_t rotation, std::int32_t tilt, std::int32_t w);

// Both calls below score `mesh` above clipZ (the renderer's source mesh
// when it has no scoring mesh yet) and return 2 without renderer or mesh.

// One planning step: choose, refine, move a repeat, accept, print
// "best value: ", release the scoring mesh. 3 when nothing is chosen, else 0
// with value and angles written; `last` becomes the chosen angles.
RetVal plan_step(EmulateBinHelper* renderer, const BaseTriMesh* mesh, float clipZ, const DentalPlanSetup& setup,
                 bool keepPatches, float& value, Angles& angles, Angles& last);

// Best pose of the window (outputs untouched when none scores above 0); 3
// when the scoring mesh cannot be built (outputs = the given angles), else 0.
RetVal navigate(EmulateBinHelper* renderer, const BaseTriMesh* mesh, float clipZ, const DentalPlanSetup& setup,
                std::int32_t rotation, std::int32_t tilt, std::int32_t w, std::int32_t& rotationOut,
                std::int32_t& tiltOut);

}  // namespace dental
}  // namespace TavoAlgorithm

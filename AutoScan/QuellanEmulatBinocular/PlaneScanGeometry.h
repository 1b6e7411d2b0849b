#pragma once
// Where the plane scanner can look from: the candidate directions around the
// model, the working box that bounds the volume it scans, and the grid of
// positions in a viewing plane. Millimetres, degrees where named so.
#include <Eigen/Core>
#include <vector>

#include "geometry/BaseTriMesh.h"
#include "geometry/OBBox.h"

namespace TavoAlgorithm::plane_scan {

// Every candidate eye lies this far from the model centre.
inline constexpr float kEyeDistance = 2000.f;
inline constexpr int kAngleStep = 10;     // degrees, elevation and azimuth
inline constexpr int kTopElevation = 90;  // degrees
inline constexpr int kCandidateCount = 325;
// The working box is the model's oriented box grown by this on every side.
inline constexpr float kBoxMargin = 200.f;
// Viewing-plane grid: offsets 0, 100, ..., 1100 along both plane axes, both
// signs, plus the starting eye.
inline constexpr int kGridSide = 12;
inline constexpr float kGridStep = 100.f;
inline constexpr int kGridEntries = kGridSide * kGridSide * 4 + 1;
// Frustum of the plane scanner's camera: tan of half the vertical field of
// view, near and far plane.
inline constexpr double kHalfFovTan = 0.71428573;
inline constexpr double kNear = 1.0;
inline constexpr double kFar = 10000.0;

// Candidate views around the model centre c, three floats per candidate in
// each list: for elevation t = 0, 10, ..., 90 and azimuth s = 0, 10, ..., 350
// (only s = 0 at t = 90), M = Rs * Rt with Rt the turn by t about the line
// through c along (0, -1, 0) and Rs the turn by s about the line through c
// along (0, 0, 1); eye = M (c + (2000, 0, 0)), up = M's rotation applied to
// (0, 0, 1). 325 candidates in that order; every eye looks at c.
struct Candidates {
  std::vector<float> eyes, ups;
};
Candidates make_candidates(const Eigen::Vector3f& c);

// The box's eight corners (OBBox corner order) as 12 triangles:
// (0,1,5) (4,0,5) (6,2,0) (6,0,4) (7,5,1) (3,7,1) (7,6,5) (6,4,5) (0,2,1)
// (1,2,3) (2,6,7) (2,7,3). An empty box gives an empty mesh.
BaseTriMesh working_box_mesh(const OBBox& box);

// One position of the viewing-plane grid: the eye, and, where its ray along
// the view direction meets the box, the hit point as the look-at centre.
struct GridEntry {
  Eigen::Vector3f eye = Eigen::Vector3f::Zero();
  Eigen::Vector3f center = Eigen::Vector3f::Zero();
  bool valid = false;
  bool operator==(const GridEntry& o) const { return eye == o.eye && center == o.center && valid == o.valid; }
};

// The 577 grid entries of the view (eye, centre, up): with f = the unit view
// direction, side = normalize(f x up) and v = normalize(f x side), entry
// ((a/100)*12 + b/100)*4 + k holds eye + a v + b side (k = 0), eye + a v - b side
// (1), eye - a v + b side (2), eye - a v - b side (3) for a, b = 0, 100, ..., 1100;
// entry 576 is the eye itself. Each position is cast along f against every
// face of `box` in order and the last face hit gives the centre. A view whose
// frame is degenerate (eye at the centre, up along f, non-finite input)
// gives no valid entry. Filled in parallel (OpenMP over a).
std::vector<GridEntry> view_grid(const Eigen::Vector3f& eye, const Eigen::Vector3f& center,
                                 const Eigen::Vector3f& up, const BaseTriMesh& box);

}  // namespace TavoAlgorithm::plane_scan

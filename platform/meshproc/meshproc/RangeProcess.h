#pragma once
// Cleaning of one range frame by its pixel-grid neighbourhood.
//
// Lengths are relative to the frame's spacing s: the median distance between
// the points of horizontally or vertically adjacent cells, so one parameter
// record serves frames in any unit. Two points of cells c cells apart
// (Chebyshev distance) are linked when they are at most longEdgeFactor * s * c
// apart. A pass marks, among the live points:
//   - points with a non-finite coordinate;
//   - isolated points: fewer than minNeighbours linked points in the
//     (2 windowRadius + 1)^2 window;
//   - long-edge points: no linked point among the eight adjacent cells;
//   - spikes: farther than spikeFactor * s from the plane fitted to the linked
//     points of the window (at least three needed);
//   - grazing points: the normal of that plane is more than maxViewAngleDeg
//     from the frame's sensor direction;
//   - small pieces: grid components of linked adjacent points with fewer than
//     minComponentSize points;
// then the border band (boundaryBand cells from an empty cell or the grid's
// edge, as RangeData_get_point_bd). A factor, angle or count of 0 switches
// its test off. Marked points are set deleted; with `compact` the frame is
// squeezed (points, flags, texture coordinates and cells renumbered) so they
// are no longer vertices of the frame.
// Sequential; the frame is changed in place.
#include <cstdint>

#include "RetVal.h"
#include "geometry/RangeData.h"

namespace TavoAlgorithm {

// Fourteen 4-byte fields and one byte, in this order.
struct RangeProcessParam {
  float maxViewAngleDeg = 0.f;
  float longEdgeFactor = 9.f;
  float spikeFactor = 9.f;
  std::int32_t windowRadius = 3;
  std::int32_t minNeighbours = 4;
  float reservedF0 = 0.f;  // fields 6 to 11 are carried, not read
  float reservedF1 = 0.f;
  float reservedF2 = 0.f;
  float reservedF3 = 0.f;
  std::int32_t reservedI0 = 0;
  std::int32_t reservedI1 = 0;
  std::int32_t minComponentSize = 10;
  std::int32_t iterations = 1;  // passes; each sees the previous pass's result
  std::int32_t boundaryBand = 0;
  bool compact = true;
};

// RETVAL_FAILED, frame untouched, for a frame without points or grid, or a
// parameter that is negative or not finite, or a window radius above
// kMaxRangeWindowRadius.
inline constexpr int kMaxRangeWindowRadius = 32;
RetVal process_model(RangeData& rge, const RangeProcessParam& param);

// Removes the points within `band` cells of an empty cell or of the grid's
// edge and squeezes the frame. band <= 0 removes nothing. RETVAL_FAILED, frame
// untouched, for a frame without points or grid.
RetVal remove_boundary(RangeData& rge, int band);

// Median spacing s defined above; 0 when no two adjacent cells hold points.
float range_frame_spacing(const RangeData& rge);

}  // namespace TavoAlgorithm

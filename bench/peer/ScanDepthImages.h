#pragma once
// What a depth-image fusion sees of a real range scan: the scan's range grid
// triangulated (two triangles per quad of four valid neighbours, triangles
// with an edge longer than a few grid spacings dropped, as they bridge depth
// jumps) and rasterised into a virtual pinhole camera placed in the scan's
// own frame on the sensor side (+z, looking along -z), with the depth
// interpolated perspective-correctly at each pixel centre. A pixel thus holds
// the exact depth of its ray through the triangulated scan, not a splatted
// point.
//
// Units are the scan's; cameras follow sim::Camera (pose camera-to-world,
// looking along -z with +y up, pixel (c, r) on the ray
// ((c - cx) / fx, -(r - cy) / fy, -1)). Images are row-major, 0 = no depth.
#include <vector>

#include "RangeSimulator.h"
#include "SurfaceDistance.h"
#include "geometry/RangeData.h"

namespace TavoAlgorithm::bench {

// Median distance between horizontally adjacent valid grid points (0 when
// the grid has no such pair).
float median_grid_spacing(const RangeData& scan);

// Triangles of the range grid in scan coordinates; maxEdge <= 0 keeps all.
TriangleSoup triangulate_range_grid(const RangeData& scan, float maxEdge);

struct ScanDepthImage {
  sim::Camera camera;  // pose: camera to the scan's world (scan pose applied)
  std::vector<float> depth;
};

// A camera whose pixels cover about `pixelSize` on the scan at its mean
// depth, `standOff` in front of the scan's nearest point, framing the whole
// triangulation, and the depth image of `mesh` (scan coordinates) in it.
// An empty mesh gives a 1 x 1 image without depth.
ScanDepthImage rasterise_scan(const RangeData& scan, const TriangleSoup& mesh, float pixelSize, float standOff);

}  // namespace TavoAlgorithm::bench

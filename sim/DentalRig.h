#pragma once
// A plausible dental turntable scanner for tests, the demo and the
// benchmarks: the table (z up, its plate at z = 0) rotates about z and tilts
// about x through the origin; c0 and c1, 60 mm apart, and c2 between them
// look from about 250 mm at a point 10 mm above the plate centre. For a pose
// (rotation, tilt) the simulator renders the range frame that c0 would
// capture of a mesh standing on the table, through the one range-frame
// simulator, with the frame's pose in the table frame. Millimetres.
#include <vector>

#include "DentalScanPoses.h"
#include "MeshShape.h"
#include "RangeSimulator.h"

namespace TavoAlgorithm::sim {

struct DentalRig {
  CameraInfo camera;
  AxisInfo axis;
};

// 640 x 480 stereo cameras (f = 1700 px, about 70 mm of view at the
// target), a 1280 x 960 c2 (f = 3400 px).
DentalRig default_dental_rig();

// The simulator's camera (looking down -z, +y up) of c0 at (rotation, tilt),
// at 1 / `downscale` of c0's resolution with the same field of view.
Camera dental_c0_camera(const DentalRig& rig, int rotation, int tilt, int setting2 = 0, int setting3 = 0,
                        int downscale = 2);

// The frame c0 captures at the pose; noise sigma (mm at 250 mm, growing with
// the square of the range) when above 0.
RangeData dental_frame(const MeshShape& shape, const DentalRig& rig, int rotation, int tilt, float noiseSigma = 0.f,
                       unsigned seed = 1, int downscale = 2);

// Per point: whether c0 sees it (inside its image, facing it, unoccluded) at
// one of the poses. Normals are the points' outward normals.
std::vector<char> dental_reachable(const MeshShape& shape, const DentalRig& rig,
                                   const std::vector<Eigen::Vector3f>& points,
                                   const std::vector<Eigen::Vector3f>& normals,
                                   const std::vector<std::pair<int, int>>& poses);

}  // namespace TavoAlgorithm::sim

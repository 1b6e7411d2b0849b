#pragma once
// Candidate views of the robot planners: spheres of scanner poses around the
// turntable axis, each a robot pose with a turntable (platform) angle.
//
// Frames and units (see RobotScanInfo): the cell record's cameras map the
// world (calibration) frame into each camera, the turntable axis (direction
// D pointing down, point P) is given in that frame, and S carries it into the
// robot base. A view sphere turns camera 1's centre about the axis foot O
// (the point of the axis nearest the world origin) at radius |c1 - O|:
// elevation 0 is on the axis above the object (top = O + R * (-D)), 90 is
// level with O, 180 below. Lengths in mm, angles in whole degrees; the
// platform angle turns the object about -D by the right-hand rule.
//
// Outputs, one entry per candidate in candidate order:
//  - path: (robot pose, platform angle); the robot pose is the flange's pose
//    in the robot base, S * E * RT1^-1 * F^-1 for the elevation pose E;
//  - camera record: per candidate the eyes, look-at centres (100 mm along the
//    optical axis) and ups of cameras (c0, c1, c2) = (camera 2, camera 2,
//    camera 1) in the model frame (the turntable at angle 0, turned so that
//    -D is +z), and three vertical fields of view (radians).
// Pure functions, thread-safe. Every output is left untouched when a
// generator refuses (RETVAL_FAILED).
#include <Eigen/Core>
#include <utility>
#include <vector>

#include "AutoScanHelper.h"
#include "RetVal.h"
#include "RobotAxisCalibHelper.h"
#include "TavoExport.h"
#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm {

// (robot pose, platform angle in whole degrees).
using RobotPath = std::vector<std::pair<RigidMatrix, int>>;

// Robot planner parameters: the planning record, of which the robot planner
// reads the first three fields (first and last elevation, angle step), then
// the large-format fields.
struct RobotAutoScanParam : AutoScanParam {
  float largeFormatStep = 0.f;    // mm; 0 selects the standard sphere, else the spacing of sphere centres along the axis
  float largeFormatLength = 0.f;  // mm; length of the axis span covered by sphere centres
};

// Shoe planner parameters: the planning record, then the sideways sweep.
struct ShoesRobotAutoScanParam : AutoScanParam {
  float shiftStep = 10.f;                                  // mm between sideways copies
  Eigen::Vector2f shiftRange = Eigen::Vector2f(0.f, 0.f);  // [0]: half-width of the sweep (mm); [1] unused
};

// The standard sphere: elevations first, first + step, ... <= last; one
// candidate on the axis at elevation 0, else one per platform angle 0, step,
// 2 step, ... < 360 (1 + 12 * 36 = 433 for 0, 120, 10). firstScan: the
// calibration pose (S RT1^-1 F^-1 = Cr) at platform angles 0, 90, 180, 270.
// RETVAL_FAILED for last > 140, step <= 0, or a cell without a usable axis
// (zero or non-finite direction, camera 1 on the axis foot).
TAVO_API RetVal get_spheres_robot(int first, int last, int step, const RobotScanInfo& info, RobotPath& path,
                                  OpenGLCameraParam& camera, RobotPath& firstScan);

// Spheres centred along the axis at O + t (-D) for t = 0, centreStep, ... <
// length and t = length, each dropping the views that come closer than the
// radius to a neighbouring centre; the lowest centre runs elevations 0 to
// last, the highest first to 180, the others 0 to 180. firstScan: four
// platform angles per centre, the highest centre first, the calibration pose
// shifted by the centre's offset. No limit on last; RETVAL_FAILED for step <=
// 0, centreStep <= 0 with a positive length, non-finite lengths or an
// unusable axis.
TAVO_API RetVal get_spheres_robot_large_format(int first, int last, int step, float length, float centreStep,
                                               const RobotScanInfo& info, RobotPath& path, OpenGLCameraParam& camera,
                                               RobotPath& firstScan);

// The standard sphere with sideways copies for long, flat objects: every
// elevation strictly between 0 and 180 is emitted shifted by +s and -s along
// the sphere's sideways direction w for s = 0, trunc(s + shiftStep), ... <
// shiftRange[0] (once for s = 0; not at all for a range of 0 or less). firstScan: a sweep of the top view, shifts trunc(-range),
// trunc(s + shiftStep), ... < range at platform angle 0, given as elevation
// poses (world frame), not as robot poses. RETVAL_FAILED as the standard
// sphere, and for a shift step below 1 mm with a positive range (the
// truncated shift would never grow) or non-finite shift values.
TAVO_API RetVal get_all_spheres_robot_scan_shoes(int first, int last, int step, float shiftStep,
                                                 const RobotScanInfo& info, const Eigen::Vector2f& shiftRange,
                                                 RobotPath& path, RobotPath& firstScan, OpenGLCameraParam& camera);

}  // namespace TavoAlgorithm

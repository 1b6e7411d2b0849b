#pragma once
// A robot scanning cell for the robot planners' tests, demo and benchmarks:
// a two-camera scanner on a robot flange and an object on a turntable. All
// lengths in mm. Frames:
//  - world: the cell's calibration frame; each camera's RT maps world points
//    into that camera (looking along +z, image y down). The turntable axis
//    and the planners' view spheres are given in it, for the robot at Cr.
//  - flange and robot base: the fixture F carries camera 1's frame into the
//    flange's; a robot pose is the flange's pose in the base; Cr is the pose
//    at which the cameras were calibrated, so S = Cr F RT1 carries world
//    points into the base.
//  - model: the turntable at angle 0 turned so that the axis's upward
//    direction (-D) is +z; frames are fused and candidates placed in it.
// The turntable turns the object by the platform angle about -D (right-hand).
#include <Eigen/Core>

#include "RangeSimulator.h"
#include "RobotAxisCalibHelper.h"
#include "StereoRigSimulator.h"

namespace TavoAlgorithm::sim {

struct RobotCell {
  StereoCamera first, second;    // intrinsics, image size, RT (world -> camera)
  RigidMatrix fixture;           // F: camera 1 -> flange
  RigidMatrix calibrationRobot;  // Cr: flange -> base at calibration
  Eigen::Vector3d axisDirection = -Eigen::Vector3d::UnitZ();  // D, unit, pointing down
  Eigen::Vector3d axisPoint = Eigen::Vector3d::Zero();        // P, world

  // S = Cr F RT1.
  RigidMatrix sum_matrix() const { return calibrationRobot * fixture * first.RT; }
  // World (turntable at angle 0) -> model: the shortest turn of -D onto +z.
  RigidMatrix model_from_world() const;
  // Model-frame pose of camera 1 in the range simulator's convention (looking
  // down its -z, +y up) for a robot pose (flange -> base) and platform angle.
  RigidMatrix camera_pose(const RigidMatrix& robotPose, double platformDeg) const;
  // The same for camera 2.
  RigidMatrix second_camera_pose(const RigidMatrix& robotPose, double platformDeg) const;
};

// Cameras 1280 x 960 (f = 1800 px) 120 mm apart, 400 mm from a point 50 mm
// above the turntable, 55 degrees from its slightly tilted axis; non-trivial
// fixture and calibration robot pose.
RobotCell default_robot_cell();

// The cell record the planners receive: both cameras (no distortion), Cr, F
// and the axis.
RobotScanInfo robot_scan_info(const RobotCell& cell);

struct RobotShotOptions {
  int decimation = 4;             // range grid = camera 1's image at 1/decimation
  float depthSigma = 0.05f;       // mm of range noise at 400 mm (grows with range^2)
  double poseErrorDegrees = 0.2;  // robot and turntable repeatability: the shot
  double poseErrorMm = 0.5;       // is taken this far off the nominal pose
  unsigned seed = 1;
};

// One shot of `scene` (model frame) from a robot pose and platform angle:
// camera 1's range frame of the points that camera 2 also sees (in view and
// not hidden), taken from the nominal pose moved by a random error of the
// options' size, with range noise; the frame carries the nominal pose
// (camera_pose), as the application knows it. `truePose` receives the pose
// the frame was taken from. Points in camera 1's frame (range simulator
// convention), normals toward the camera.
RangeData robot_range_frame(const RobotCell& cell, const Scene& scene, const RigidMatrix& robotPose,
                            double platformDeg, const RobotShotOptions& options, RigidMatrix* truePose = nullptr);

// Faces of `mesh` (model frame, the object of `scene`) that a shot from the
// robot pose and platform angle can measure: the face centre lies in both
// cameras' images, in front of both, unhidden from both (within 0.3 mm), and
// both look at the face's front within maxIncidenceDeg of its normal. One
// flag per face; deleted faces get 0.
std::vector<char> faces_measured(const RobotCell& cell, const Scene& scene, const BaseTriMesh& mesh,
                                 const RigidMatrix& robotPose, double platformDeg, double maxIncidenceDeg = 80.0);

}  // namespace TavoAlgorithm::sim

#pragma once
// Poses of the dental turntable scanner: the model stands on a table that
// rotates about machine axis A0 and tilts about A1; a rigid rig of three
// cameras (stereo pair c0, c1 and a third camera c2) looks at it. A scanner
// pose is (rotation, tilt) in whole degrees.
//
// Units: millimetres for positions, degrees for the axis settings, radians
// for fields of view and for AxisInfo::angleS. Frames: a camera pose in
// CameraInfo maps the rig frame to that camera (camera looks along +z, image
// y down); the machine transform maps the rig frame into the model frame of
// the table. All functions are pure and thread-safe; none throws.
#include <Eigen/Core>
#include <cstdint>
#include <utility>
#include <vector>

#include "AutoScanHelper.h"
#include "RetVal.h"
#include "TavoExport.h"
#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm {

// The ten AutoScanParam fields (firstAngle = smallest tilt, lastAngle =
// largest tilt, angleStep = grid step) and two machine settings that enter
// every pose unchanged.
struct DentalAutoScanParam : AutoScanParam {
  std::int32_t setting2 = 0;  // value of machine axis A2
  std::int32_t setting3 = 0;  // turn about axis A3 (degrees)
};

// Three cameras: poses (rig -> camera), focal lengths and principal points of
// c0, c1, c2 (pixels), then the image size of c2 and that of the pair.
struct CameraInfo {
  RigidMatrix pose[3];
  float focal[6] = {0, 0, 0, 0, 0, 0};      // fx0, fy0, fx1, fy1, fx2, fy2
  float principal[6] = {0, 0, 0, 0, 0, 0};  // cx0, cy0, cx1, cy1, cx2, cy2
  std::int32_t size[4] = {0, 0, 0, 0};      // w2, h2, w01, h01
};

// Five machine axes (point, direction): A0 rotation, A1 tilt, A2 driven by
// setting 2, A3 turned by setting 3 (set by set_opengl_param), A4 fixed and
// turned by -d degrees.
struct AxisInfo {
  Eigen::Vector3d point[5] = {Eigen::Vector3d::Zero(), Eigen::Vector3d::Zero(), Eigen::Vector3d::Zero(),
                              Eigen::Vector3d::Zero(), Eigen::Vector3d::Zero()};
  Eigen::Vector3d direction[5] = {Eigen::Vector3d::Zero(), Eigen::Vector3d::Zero(), Eigen::Vector3d::Zero(),
                                  Eigen::Vector3d::Zero(), Eigen::Vector3d::Zero()};
  double d = 0.0;
  std::int32_t tiltOffset = 0;
  std::int32_t setting2Offset = 0;
  float k = 1.f;       // scale of the A2 angle
  float angleS = 0.f;  // radians; the final turn about z
};

// Machine settings of one pose: rotation, tilt, setting 2, setting 3.
using DentalSettings = std::int32_t[4];

// out := RE * R(p3,d3,a3) * R(p0,d0,a0)^-1 * R(p1,d1,a1)^-1 * R(p2,d2,k*a2)^-1
// (ComputeRT::compute_rt with the final angle s in degrees), then, when d4 is
// not zero, out := R(p4,d4,a4)^-1 * out. Always RETVAL_SUCCESS.
TAVO_API RetVal dental_comput_rt(const Eigen::Vector3d& p0, const Eigen::Vector3d& d0, double a0,
                                 const Eigen::Vector3d& p1, const Eigen::Vector3d& d1, double a1,
                                 const Eigen::Vector3d& p2, const Eigen::Vector3d& d2, double a2,
                                 const Eigen::Vector3d& p3, const Eigen::Vector3d& d3, double a3,
                                 const Eigen::Vector3d& p4, const Eigen::Vector3d& d4, double a4, double s,
                                 double k, RigidMatrix& out);

// The machine transform of a pose: the axis chain (A0, rotation),
// (A1, tilt - tiltOffset), (A2, setting 2 - setting2Offset), (A4, -d) with
// the final turn angleS, then the inverted turn (A3, setting 3).
TAVO_API RigidMatrix dental_machine_rt(const AxisInfo& axis, const std::int32_t settings[4]);

// Eyes, look-at centres (100 mm along the optical axis) and up vectors of
// c0, c1, c2 in the model frame for one pose (three entries each), and the
// three vertical fields of view (c0 and c1 with the image size twice their
// truncated principal point, c2 with its own image size).
TAVO_API void dental_look_at(const AxisInfo& axis, const CameraInfo& camera, const std::int32_t settings[4],
                             std::vector<Eigen::Vector3f>& eyes, std::vector<Eigen::Vector3f>& centers,
                             std::vector<Eigen::Vector3f>& ups, std::vector<float>& fovys);

// Every pose of the grid, tilt-major: tilt t0, t0 + step, ... <= t1, within
// it rotation 0, step, ... < 360; one weight 1 each; the camera set (nine
// floats per pose in eyes, centers, ups; fovys c0, c1, c2, 0); the five
// preset poses (0,10), (0,60), (90,60), (180,60), (270,60).
// RETVAL_FAILED, outputs untouched, when t0 < -30, t1 > 140, step < 1 or the
// grid is empty.
TAVO_API RetVal get_spheres_twoAxis(std::int32_t t0, std::int32_t t1, std::int32_t step, std::int32_t setting2,
                                    std::int32_t setting3, const AxisInfo& axis, const CameraInfo& camera,
                                    std::vector<std::pair<std::int32_t, std::int32_t>>& angles,
                                    std::vector<float>& weights, OpenGLCameraParam& cameraSet,
                                    std::vector<std::pair<std::int32_t, std::int32_t>>& presets);

// A dental planner's candidate grid with what it was made from: the
// parameters (tilt range, step, the two settings the pattern search scores
// with), the rig and the machine axes.
struct DentalPlanSetup {
  DentalAutoScanParam param;
  CameraInfo camera;
  AxisInfo axis;
  std::vector<std::pair<std::int32_t, std::int32_t>> angles;
  std::vector<float> weights;
  OpenGLCameraParam cameras;
  std::vector<std::pair<std::int32_t, std::int32_t>> presets;
};

// get_spheres_twoAxis over param's tilt range and step with the given
// settings into `setup` (param, camera and axis stored); RETVAL_FAILED,
// setup untouched, where get_spheres_twoAxis fails.
TAVO_API RetVal make_dental_plan_setup(const DentalAutoScanParam& param, std::int32_t setting2,
                                       std::int32_t setting3, const CameraInfo& camera, const AxisInfo& axis,
                                       DentalPlanSetup& setup);

// Moves every principal point to its image centre: each pose is turned by
// the inverse of the rotation that takes the optical axis onto the old ray
// of the image centre, so that the centre pixel keeps looking where it did.
// Cameras with a zero focal length or image size are left as they are.
// Returns 0.
TAVO_API RetVal fix_cameraInfo(CameraInfo& camera);

// Height (z in the model frame) of the point at c0's distance from the rig
// origin along the ray of c0's pixel (10, row), for the pose `settings`
// (here the A3 turn is applied uninverted). NaN for a zero focal length.
TAVO_API float get_clip_z(const CameraInfo& camera, const AxisInfo& axis, const std::int32_t settings[4],
                          std::int32_t row);

// Searches the 40 x 40 grid of offsets (tilt offset r - 20, final-turn offset
// c - 20) for the cell where the mean viewing axis of c0 and c1 looks most
// nearly straight down and the c0 -> c1 baseline lies most nearly along the
// table's +x (score -z of the axis + x of the baseline); the first such cell in
// row-major order gives first = trunc(angleS in degrees + 0.5) + c - 20 and
// second = r - 20. a is setting 3, b setting 2. Returns 0.
TAVO_API RetVal get_fix_reset_angle(const AxisInfo& axis, const CameraInfo& camera, std::int32_t a, std::int32_t b,
                                    std::int32_t& first, std::int32_t& second);

}  // namespace TavoAlgorithm

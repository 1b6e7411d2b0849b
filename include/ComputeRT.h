#pragma once
// Rigid transforms from rotation axes, chained like the joints of a
// turntable or arm, and small 2-D helpers on camera values and image marks.
// Angles of axes are in degrees, rotations follow the right-hand rule about
// the (normalised) direction. All functions are pure and thread-safe.
#include <tuple>
#include <vector>

#include <Eigen/Core>

#include "RetVal.h"
#include "TavoExport.h"
#include "geometry/Image.h"
#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm {

class TAVO_API ComputeRT {
 public:
  // (point, direction, angle in degrees), the axis in its home position.
  using Axis = std::tuple<Eigen::Vector3d, Eigen::Vector3d, double>;

  // Rotation by `angle` about the line through `point` along `direction`:
  // T(point) * R * T(-point). A zero or non-finite direction gives the
  // identity.
  static void get_rotate_matrix(const Eigen::Vector3d& point, const Eigen::Vector3d& direction, double angle,
                                RigidMatrix& out);
  // normalize(M * d - M * 0).
  static Eigen::Vector3d dir_mul_rt(const Eigen::Vector3d& direction, const RigidMatrix& m);
  // point' = M * point, direction' = normalize(M * (point + direction) - M * point).
  static void pt_dir_mul_rt(const Eigen::Vector3d& point, const Eigen::Vector3d& direction,
                            Eigen::Vector3d& pointOut, Eigen::Vector3d& directionOut, const RigidMatrix& m);
  // Chains the axes in order, each moved by the turns before it:
  // M = R_n * ... * R_1. RETVAL_FAILED (M unchanged) for no axes.
  static RetVal compute_rt(const std::vector<Axis>& axes, RigidMatrix& m);
  // Axis 0 is the camera axis, not moved: K * (chain of axes 1, 2, ...).
  // RETVAL_FAILED (M unchanged) for no axes.
  static RetVal compute_rt_with_camera_axis(const std::vector<Axis>& axes, RigidMatrix& m);
  // M = RE * R4 * R1^-1 * R2^-1 * R3^-1, Rk the turn about axis k (R3 the
  // identity when the third direction is zero), RE the turn by `finalAngle`
  // degrees about z through the origin. Always RETVAL_SUCCESS.
  static RetVal compute_rt(const Eigen::Vector3d& p1, const Eigen::Vector3d& d1, double a1,
                           const Eigen::Vector3d& p2, const Eigen::Vector3d& d2, double a2,
                           const Eigen::Vector3d& p3, const Eigen::Vector3d& d3, double a3,
                           const Eigen::Vector3d& p4, const Eigen::Vector3d& d4, double a4, double finalAngle,
                           RigidMatrix& m);
};

// Vertical field of view in radians: 2 atan(trunc(height / 2) / fy), in
// single precision; f = (fx, fy), c = (cx, cy) (unused), size = (width, height)
// in pixels.
TAVO_API double compute_fovy(const Eigen::Vector2f& f, const Eigen::Vector2f& c, const Eigen::Vector2i& size);

// 4 |atan((trunc(height / 2) - cy) / fy)| in radians, single precision.
TAVO_API double compute_project_fix_angle(const Eigen::Vector2f& f, const Eigen::Vector2f& c,
                                          const Eigen::Vector2i& size);

// Least-squares affine map A (2 x 3) with A * (x, y, 1) ~ target. RETVAL_FAILED
// (A unchanged) for different counts, fewer than three pairs, non-finite
// values or collinear sources.
TAVO_API RetVal compute_affine_mat2d(const std::vector<Eigen::Vector2f>& source,
                                     const std::vector<Eigen::Vector2f>& target, Eigen::Matrix<float, 2, 3>& a);

// Mean distance between the affinely mapped sources and the targets (same
// unit as the points). Failures of compute_affine_mat2d are passed on.
TAVO_API RetVal compute_two_pic_error(const std::vector<Eigen::Vector2f>& source,
                                      const std::vector<Eigen::Vector2f>& target, double& error);

// The same on the calibration-board marks recognised in two grey images
// (pixels); RETVAL_FAILED when either image shows no complete board.
TAVO_API RetVal compute_two_pic_error(const Image<1, unsigned char>& source, const Image<1, unsigned char>& target,
                                      double& error);

}  // namespace TavoAlgorithm

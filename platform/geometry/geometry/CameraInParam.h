#pragma once
// CameraInParam: pinhole intrinsics of a frame's camera, in pixels.
// Camera space: +z ahead of the camera, image x right and y down, so
// (x, y) = (fx X / Z + cx, fy Y / Z + cy). A plain value.
#include <Eigen/Core>
#include <array>

namespace TavoAlgorithm {

struct CameraInParam {
  // fx, fy, cx, cy; the cleaning refuses a camera with any of them 0.
  std::array<double, 4> values{{0.0, 0.0, 0.0, 0.0}};

  double fx() const { return values[0]; }
  double fy() const { return values[1]; }
  double cx() const { return values[2]; }
  double cy() const { return values[3]; }

  // Image position of a camera-space point; callers keep q.z() != 0.
  Eigen::Vector2d point_to_image(const Eigen::Vector3d& q) const {
    return {fx() * q.x() / q.z() + cx(), fy() * q.y() / q.z() + cy()};
  }
};

}  // namespace TavoAlgorithm

#pragma once
// Synthetic two-camera rig with a calibration board on a turntable: the
// board is rendered into 8-bit images as each camera would see it (lens
// distortion, anti-aliased marks, optional blur and noise), with the exact
// mark projections as truth. World frame: the rig's calibration frame, mm.
#include <array>
#include <string>
#include <vector>

#include "geometry/Image.h"
#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm::sim {

struct StereoCamera {
  int width = 800;
  int height = 600;
  double fx = 900.0, fy = 900.0, cx = 400.0, cy = 300.0, alpha = 0.0;
  std::array<double, 5> kc{};  // (k1, k2, p1, p2, k3)
  RigidMatrix RT;              // world -> camera (camera looks along +z, y down)

  // Pixel of a world point; false behind the camera or on a lens failure.
  bool project(const Eigen::Vector3d& world, Eigen::Vector2d& pixel) const;
};

// Camera at `centre` looking at `target`, image y along -`up`.
RigidMatrix camera_look_at(const Eigen::Vector3d& centre, const Eigen::Vector3d& target,
                           const Eigen::Vector3d& up = -Eigen::Vector3d::UnitY());

struct BoardRenderOptions {
  double ground = 210.0;  // grey level of the board
  double ink = 30.0;      // grey level of the marks
  int subSamples = 4;     // per pixel side on mark outlines
  double blurSigma = 0.0; // Gaussian blur, pixels
  double noiseSigma = 0.0;
  unsigned seed = 1;
};

// The board (CalibrationBoard layout) posed by `boardToWorld`.
Image<1, unsigned char> render_board_view(const StereoCamera& camera, const RigidMatrix& boardToWorld,
                                          const BoardRenderOptions& options = {});

// Exact pixels of the mark centres in board order; (-1, -1) where a mark does
// not project into the image.
std::vector<Eigen::Vector2d> project_board_marks(const StereoCamera& camera, const RigidMatrix& boardToWorld);

// Mark centres in world coordinates, board order.
std::vector<Eigen::Vector3d> board_marks_world(const RigidMatrix& boardToWorld);

struct TurntableRig {
  StereoCamera first, second;
  Eigen::Vector3d axisPoint = Eigen::Vector3d::Zero();  // world
  Eigen::Vector3d axisDirection = -Eigen::Vector3d::UnitY();
  RigidMatrix boardHome;  // board -> world at turntable angle 0

  // Board -> world after turning the table by `angleDeg` (right-hand rule
  // about axisDirection).
  RigidMatrix board_pose(double angleDeg) const;
};

// Cameras 200 mm apart, about 400 mm from a slightly tilted turntable axis,
// both with distortion; the board faces the cameras at angle 0.
TurntableRig default_turntable_rig();

// Writes the camera's calibration file in the ten-record layout (zero
// uncertainties and standard error), values printed to full precision.
bool write_camera_file(const std::string& path, const StereoCamera& camera);

}  // namespace TavoAlgorithm::sim

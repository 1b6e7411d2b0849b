#pragma once
// One camera's calibration, read from its calibration text file.
#include "TavoExport.h"
#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm::TavoRobotAlgorithm {

class TAVO_API CameraCalibrateParam {
 public:
  double fc[2] = {0.0, 0.0};  // focal lengths in pixels, x then y
  double cc[2] = {0.0, 0.0};  // principal point in pixels, x then y
  double alpha = 0.0;         // skew coefficient
  double kc[5] = {0.0, 0.0, 0.0, 0.0, 0.0};  // distortion (k1, k2, p1, p2, k3) in file order
  RigidMatrix RT;             // world (calibration) frame -> camera frame

  // Reads the ten records of a calibration file (focal length, its
  // uncertainty, principal point, its uncertainty, skew, distortion, its
  // uncertainty, translation, rotation row by row, standard error). Blanks
  // and line ends in the layout match any run of whitespace, including none;
  // everything else must appear literally, numbers are decimal. Stores the
  // values only when all ten records were read; otherwise prints
  // "Cann't Find Camera Calibration File!" (missing or cannot open) or
  // "Camera Calibration File Error!" (not a regular file, over 64 KiB, or a
  // record that does not match) and leaves the object unchanged.
  // Uncertainties and the standard error are not kept.
  void readParam(const char* path);
};

}  // namespace TavoAlgorithm::TavoRobotAlgorithm

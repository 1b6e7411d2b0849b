#pragma once
// Robot scanning cell and turntable-axis calibration from board images.
//
// Frames: RT of each camera maps the calibration (world) frame into that
// camera's frame; reconstructed points are in camera 1's frame, millimetres.
// Images: element k of the first sequence is camera 1's view and element k of
// the second camera 2's view of the same board position. The helper is used
// by one thread at a time; inputs stay the caller's.
#include <memory>
#include <vector>

#include <Eigen/Core>

#include "CameraCalibrateParam.h"
#include "TavoExport.h"
#include "geometry/Image.h"
#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm {

namespace TavoCalibration {
class CalibrationTableRecognition;
}

class TAVO_API RobotScanInfo {
 public:
  using Camera = TavoRobotAlgorithm::CameraCalibrateParam;

  // Copies the inputs and computes the sum matrix S = Cr * F * RT1.
  RobotScanInfo(const Camera& first, const Camera& second, const RigidMatrix& calibrationRobot,
                const RigidMatrix& fixture);

  void compute_sumMat();

  RigidMatrix get_fixture_mat() const { return m_fixture; }
  RigidMatrix get_sum_mat() const { return m_sum; }
  RigidMatrix get_calibration_robot_mat() const { return m_calibrationRobot; }
  // Turntable axis: unit direction and a point on it (zero until set).
  void get_axis_info(Eigen::Vector3f& direction, Eigen::Vector3f& point) const;
  void get_camera_ccf(Camera& first, Camera& second) const;

  void set_axis_calibration(const Eigen::Vector3f& direction, const Eigen::Vector3f& point);

 private:
  RigidMatrix m_fixture;
  RigidMatrix m_sum;
  RigidMatrix m_calibrationRobot;
  Eigen::Vector3f m_axisDirection = Eigen::Vector3f::Zero();
  Eigen::Vector3f m_axisPoint = Eigen::Vector3f::Zero();
  Camera m_first;
  Camera m_second;
};

class TAVO_API RobotAxisCalibHelper {
 public:
  using GreyImage = Image<1, unsigned char>;

  // Creates and configures the board recogniser.
  RobotAxisCalibHelper();
  ~RobotAxisCalibHelper();
  RobotAxisCalibHelper(const RobotAxisCalibHelper&) = delete;
  RobotAxisCalibHelper& operator=(const RobotAxisCalibHelper&) = delete;
  RobotAxisCalibHelper(RobotAxisCalibHelper&&) noexcept;
  RobotAxisCalibHelper& operator=(RobotAxisCalibHelper&&) noexcept;

  // One point list per image pair, index k = board mark k, camera 1 frame.
  // A pair whose images give different mark counts (no board in one of
  // them, say) gets an empty list; a mark whose rays miss each other by
  // more than 0.1 mm, or that lies outside an image, becomes (0, 0, 0).
  // Prints "point size: n1,n2" and the rejected count and mean ray gap of
  // each triangulated pair. Sequences of different lengths give no lists.
  void robot_rebuild_pts(const RobotScanInfo& info, const std::vector<GreyImage>& first,
                         const std::vector<GreyImage>& second,
                         std::vector<std::vector<Eigen::Vector3f>>& pts);

  // Fits the turntable axis to the marks seen in every pair and stores it in
  // `info` moved by (F^-1 * P^-1 * S)^-1, P the robot pose of the shots.
  // `info` keeps its previous axis when no axis can be fitted (fewer than
  // two usable pairs, fewer than three marks seen in all of them, no turn).
  void robot_axis_calibration(const RigidMatrix& robotPose, const std::vector<GreyImage>& first,
                              const std::vector<GreyImage>& second, RobotScanInfo& info);

  // One transform per pair carrying pair k's marks onto pair 0's (entry 0
  // the identity); the identity also where fewer than three marks are shared
  // with pair 0. Empty output for no pairs.
  void robot_get_delta_rt(const RobotScanInfo& info, const std::vector<GreyImage>& first,
                          const std::vector<GreyImage>& second, std::vector<RigidMatrix>& rts);

 private:
  void init_CalibrationTableRecognition();

  std::unique_ptr<TavoCalibration::CalibrationTableRecognition> m_recognizer;
};

}  // namespace TavoAlgorithm

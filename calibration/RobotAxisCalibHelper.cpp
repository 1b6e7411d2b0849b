#include "RobotAxisCalibHelper.h"

#include <sstream>

#include "calibration/StereoTriangulation.h"
#include "calibration/TurntableFit.h"
#include "calibration_platform/CalibrationTableRecognition.h"
#include "calibration_platform/ImageConversion.h"
#include "common/console.h"

namespace TavoAlgorithm {

RobotAxisCalibHelper::RobotAxisCalibHelper() { init_CalibrationTableRecognition(); }
RobotAxisCalibHelper::~RobotAxisCalibHelper() = default;
RobotAxisCalibHelper::RobotAxisCalibHelper(RobotAxisCalibHelper&&) noexcept = default;
RobotAxisCalibHelper& RobotAxisCalibHelper::operator=(RobotAxisCalibHelper&&) noexcept = default;

void RobotAxisCalibHelper::init_CalibrationTableRecognition() {
  TavoCalibration::CalibrationTableParam p;
  p.blurKernelX = 5;
  p.blurKernelY = 5;
  p.blurSigma = 1.0;
  p.reserved4 = 1.0;
  p.minCircularity = 0.35;
  p.minConvexity = 0.7;
  p.minThreshold = 70.0;
  p.maxThreshold = 140.0;
  p.bigAreaRatio = 2.1;
  p.matchTolerance = 0.4;
  p.reserved11 = 0.6;
  p.centroidMargin = 6.0;
  p.minBlobArea = 6;
  p.maxBlobCount = 200;
  p.lightMarks = false;
  p.reserved16 = 1;
  p.reserved17 = 4;
  p.reserved18 = 1.2;
  p.reserved19 = 40;
  p.reserved20 = 17;
  p.reserved21 = 14;
  p.reserved22 = 25.0;
  p.reserved23 = 25.0;
  p.reserved24 = 8;
  p.reserved25 = 6;
  p.reserved26 = 8;
  p.reserved27 = 5;
  p.reserved28 = 7;
  p.reserved29 = 11;
  p.reserved30 = 4;
  p.reserved31 = 8;
  p.reserved32 = 8;
  p.reserved33 = 8;
  m_recognizer = std::make_unique<TavoCalibration::CalibrationTableRecognition>(p);
}

void RobotAxisCalibHelper::robot_rebuild_pts(const RobotScanInfo& info, const std::vector<GreyImage>& first,
                                             const std::vector<GreyImage>& second,
                                             std::vector<std::vector<Eigen::Vector3f>>& pts) {
  pts.clear();
  if (first.size() != second.size() || !m_recognizer) return;
  RobotScanInfo::Camera cam1, cam2;
  info.get_camera_ccf(cam1, cam2);
  pts.resize(first.size());
  for (std::size_t k = 0; k < first.size(); ++k) {
    Image<1, float> f1, f2;
    std::vector<Eigen::Vector2d> m1, m2;
    TavoCalibration::image_conversion(first[k], f1);
    TavoCalibration::image_conversion(second[k], f2);
    m_recognizer->recognition_tavo_calibTable(f1, m1, false, false);
    m_recognizer->recognition_tavo_calibTable(f2, m2, false, false);
    if (m1.size() != m2.size()) continue;
    std::ostringstream line;
    line << "point size: " << m1.size() << "," << m2.size();
    console::message(line.str());
    calibration::triangulate_marks(cam1, cam2, m1, m2, pts[k]);
  }
}

void RobotAxisCalibHelper::robot_axis_calibration(const RigidMatrix& robotPose, const std::vector<GreyImage>& first,
                                                  const std::vector<GreyImage>& second, RobotScanInfo& info) {
  std::vector<std::vector<Eigen::Vector3f>> pts;
  robot_rebuild_pts(info, first, second, pts);
  Eigen::Vector3d direction, point;
  if (!calibration::fit_turntable_axis(pts, direction, point)) return;
  const RigidMatrix m = (info.get_fixture_mat().inverse() * robotPose.inverse() * info.get_sum_mat()).inverse();
  info.set_axis_calibration(m.transform_normal(direction).cast<float>(), (m * point).cast<float>());
}

void RobotAxisCalibHelper::robot_get_delta_rt(const RobotScanInfo& info, const std::vector<GreyImage>& first,
                                              const std::vector<GreyImage>& second, std::vector<RigidMatrix>& rts) {
  std::vector<std::vector<Eigen::Vector3f>> pts;
  robot_rebuild_pts(info, first, second, pts);
  rts = calibration::fit_turntable_motions(pts);
}

}  // namespace TavoAlgorithm

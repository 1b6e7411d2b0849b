#include "RobotAxisCalibHelper.h"

namespace TavoAlgorithm {

RobotScanInfo::RobotScanInfo(const Camera& first, const Camera& second, const RigidMatrix& calibrationRobot,
                             const RigidMatrix& fixture)
    : m_fixture(fixture), m_sum(), m_calibrationRobot(calibrationRobot), m_first(first), m_second(second) {
  compute_sumMat();
}

void RobotScanInfo::compute_sumMat() { m_sum = m_calibrationRobot * m_fixture * m_first.RT; }

void RobotScanInfo::get_axis_info(Eigen::Vector3f& direction, Eigen::Vector3f& point) const {
  direction = m_axisDirection;
  point = m_axisPoint;
}

void RobotScanInfo::get_camera_ccf(Camera& first, Camera& second) const {
  first = m_first;
  second = m_second;
}

void RobotScanInfo::set_axis_calibration(const Eigen::Vector3f& direction, const Eigen::Vector3f& point) {
  m_axisDirection = direction;
  m_axisPoint = point;
}

}  // namespace TavoAlgorithm

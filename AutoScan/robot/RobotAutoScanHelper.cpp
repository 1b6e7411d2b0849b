#include "RobotAutoScanHelper.h"

#include <string>

#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "common/console.h"
#include "registration_platform/tavoRegistrationManager.h"

namespace TavoAlgorithm {

namespace {

using TavoRegistration::tavoRegistrationManager;

// The registration settings of the robot planner.
constexpr int kSampleStep = 8;
constexpr float kMaxDistance = 2.f;
constexpr int kMaxIterations = 50;
constexpr double kConvergence = 1e-5;
constexpr double kMaxNormalAngle = 90.0;
constexpr bool kPointToPlane = true;
constexpr bool kCoarseToFine = true;
constexpr bool kTrimmed = false;
constexpr double kTrimRatio = 0.5;

}  // namespace

// --- RobotPlannerBase ---

RetVal RobotPlannerBase::set_camera(double fovy, double unused, double nearPlane, double farPlane) {
  return set_opengl_camera(fovy, unused, nearPlane, farPlane);
}

bool RobotPlannerBase::ready_to_plan() {
  if (frame_count() == 0) {
    console::message("model list is empty!");
    return false;
  }
  if (renderer() == nullptr) {
    console::message("must set param first! ");
    return false;
  }
  return true;
}

RetVal RobotPlannerBase::run_result(RetVal selection, int bestId, RigidMatrix& robotPose, int& platformAngle) const {
  if (selection != RETVAL_SUCCESS || bestId < 0 || bestId >= static_cast<int>(m_allPlatformPath.size()))
    return RETVAL_FAILED;
  robotPose = m_allPlatformPath[static_cast<std::size_t>(bestId)].first;
  platformAngle = m_allPlatformPath[static_cast<std::size_t>(bestId)].second;
  return RETVAL_SUCCESS;
}

RetVal RobotPlannerBase::get_scanPath(int& bestId, std::vector<float>& scores, bool& finished) {
  EmulateBinHelper* r = renderer();
  bestId = -1;
  if (r == nullptr) return RETVAL_FAILED;
  r->set_base_height(param().clipZ);
  float best = 0.f;
  bestId = r->choose_robot_pose(scores, best, false);
  r->accept_view();
  finished = static_cast<float>(param().stopThreshold) >= best;
  if (bestId == -1) return RETVAL_FAILED;
  r->release_scoring_mesh();
  return RETVAL_SUCCESS;
}

// --- RobotAutoScanHelper ---

RobotAutoScanHelper::RobotAutoScanHelper() : m_registration(tavoRegistrationManager::new_instance(0)) {}

RobotAutoScanHelper::~RobotAutoScanHelper() { tavoRegistrationManager::delete_instance(0); }

RetVal RobotAutoScanHelper::set_param(const RobotAutoScanParam& param, const RobotScanInfo& info,
                                      std::string& errorText) {
  OpenGLCameraParam camera;
  if (param.largeFormatStep == 0.f)
    get_spheres_robot(param.firstAngle, param.lastAngle, param.angleStep, info, m_allPlatformPath, camera,
                      m_firstScanPath);
  else
    get_spheres_robot_large_format(param.firstAngle, param.lastAngle, param.angleStep, param.largeFormatLength,
                                   param.largeFormatStep, info, m_allPlatformPath, camera, m_firstScanPath);
  set_base_param(param, camera, errorText);
  return RETVAL_SUCCESS;
}

RetVal RobotAutoScanHelper::run(RigidMatrix& robotPose, int& platformAngle, bool& finished) {
  int bestId = -1;
  return run(robotPose, platformAngle, finished, bestId);
}

RetVal RobotAutoScanHelper::run(RigidMatrix& robotPose, int& platformAngle, bool& finished, int& bestId) {
  bestId = -1;
  const RetVal selection = get_bestId(bestId, finished);
  return run_result(selection, bestId, robotPose, platformAngle);
}

RetVal RobotAutoScanHelper::get_bestId(int& bestId, bool& finished) {
  if (!ready_to_plan()) return RETVAL_FAILED;
  do_icp();
  BaseTriMesh mesh;
  get_triMesh(mesh);
  std::vector<float> scores;
  return get_scanPath(bestId, scores, finished);
}

const std::vector<RigidMatrix>& RobotAutoScanHelper::do_icp() {
  const int frames = frame_count();
  if (m_registeredCount >= frames) {
    m_registeredCount = frames;
    return frame_corrections();
  }
  if (static_cast<int>(m_registrationIds.size()) < frames) {
    TAVO_LOG_WARNING("registration waits: " + std::to_string(m_registrationIds.size()) + " registration ids for " +
                     std::to_string(frames) + " frames");
    return frame_corrections();
  }
  double error = 0.0;
  if (m_registeredCount == 0) {
    console::message("global registertion");
    const std::vector<int> ids(m_registrationIds.begin(), m_registrationIds.begin() + frames);
    std::vector<RigidMatrix> poses;
    if (m_registration->global_registertion(ids, kSampleStep, kMaxDistance, kMaxIterations, kConvergence,
                                            kMaxNormalAngle, kPointToPlane, kCoarseToFine, error, poses, kTrimmed,
                                            kTrimRatio) == RETVAL_SUCCESS &&
        static_cast<int>(poses.size()) == frames) {
      for (int k = 0; k < frames; ++k) set_frame_correction(k, poses[static_cast<std::size_t>(k)]);
    } else {
      TAVO_LOG_WARNING("global registertion failed; the frames keep their poses");
    }
  } else {
    for (int k = m_registeredCount; k < frames; ++k) {
      console::message("last registertion");
      const std::vector<int> before(m_registrationIds.begin(), m_registrationIds.begin() + k);
      RigidMatrix pose;
      if (m_registration->pair_registertion({m_registrationIds[static_cast<std::size_t>(k)]}, before, kSampleStep,
                                            kMaxDistance, kMaxIterations, kConvergence, kMaxNormalAngle,
                                            kPointToPlane, kCoarseToFine, error, pose, kTrimmed,
                                            kTrimRatio) == RETVAL_SUCCESS)
        set_frame_correction(k, pose);
      else
        TAVO_LOG_WARNING("last registertion failed for frame " + std::to_string(k) + "; it keeps its pose");
    }
  }
  m_registeredCount = frames;
  return frame_corrections();
}

void RobotAutoScanHelper::get_allPlatformPath_and_firstScanPath(RobotPath& allPlatformPath,
                                                                RobotPath& firstScanPath) const {
  allPlatformPath = m_allPlatformPath;
  firstScanPath = m_firstScanPath;
}

// --- RobotAutoScanHelperShoes ---

RetVal RobotAutoScanHelperShoes::set_param(const ShoesRobotAutoScanParam& param, const RobotScanInfo& info,
                                           std::string& errorText) {
  OpenGLCameraParam camera;
  get_all_spheres_robot_scan_shoes(param.firstAngle, param.lastAngle, param.angleStep, param.shiftStep, info,
                                   param.shiftRange, m_allPlatformPath, m_firstScanPath, camera);
  set_base_param(param, camera, errorText);
  if (EmulateBinHelper* r = renderer()) r->set_pose_weights(std::vector<float>(m_allPlatformPath.size(), 1.f));
  return RETVAL_SUCCESS;
}

RetVal RobotAutoScanHelperShoes::run(RigidMatrix& robotPose, int& platformAngle, bool& finished) {
  int bestId = -1;
  const RetVal selection = get_bestId(bestId, finished);
  return run_result(selection, bestId, robotPose, platformAngle);
}

RetVal RobotAutoScanHelperShoes::get_bestId(int& bestId, bool& finished) {
  if (!ready_to_plan()) return RETVAL_FAILED;
  BaseTriMesh mesh;
  get_triMesh(mesh);
  std::vector<float> scores;
  return get_scanPath(bestId, scores, finished);
}

}  // namespace TavoAlgorithm

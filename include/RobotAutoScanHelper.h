#pragma once
// Robot auto scan: a robot arm carries the two-camera scanner, the object
// stands on a calibrated turntable. From the frames scanned so far the
// planners propose the next robot pose with the platform angle at which to
// scan, until the best view no longer reveals enough (finished).
//
// Use: construct; set_param; optionally set_camera and set_iter_num;
// get_allPlatformPath_and_firstScanPath and scan the first views; then, for
// every frame scanned, send it to the planning base (send_rangeData, in mm,
// the frame's own pose the one its robot pose and platform angle give,
// correction identity), hand its points to registration instance 0 under an
// id (TavoRegistration::tavoRegistrationManager::new_instance(0)->
// set_frame_data(id, frame, frame.get_rigidMatrix())) and record the ids in
// the order sent (set_registration_ids); call run until finished.
//
// Frames, units and candidates: see RobotViewSpheres.h. Poses out of run are
// robot poses (flange in robot base). Results: 0 success, 2 refused (with the
// lines below on standard output). Threading: one caller thread at a time;
// the renderer uses the process-wide OpenGL context, the registration the
// process-wide instance 0. Not copyable.
#include <string>
#include <vector>

#include "AutoScanHelper.h"
#include "RobotViewSpheres.h"

namespace TavoAlgorithm {

namespace TavoRegistration {
class tavoRegistrationManager;
}

// What both robot planners share: the candidate paths and one planning step.
class TAVO_API RobotPlannerBase : public AutoScanHelper {
 public:
  // Forwards to the renderer camera: field of view (radians), unused, near and
  // far planes (mm). 2 before set_param.
  RetVal set_camera(double fovy, double unused, double nearPlane, double farPlane);

  // One renderer evaluation on the model in the renderer's slot: the base
  // height follows the stored clip height, the best unused candidate is
  // chosen and accepted, and finished is set when the stop threshold is at
  // least its score. scores gets one value per candidate. 2 (bestId -1)
  // without model ("base tri mesh is empty!") or renderer.
  RetVal get_scanPath(int& bestId, std::vector<float>& scores, bool& finished);

  const RobotPath& all_platform_path() const { return m_allPlatformPath; }
  const RobotPath& first_scan_path() const { return m_firstScanPath; }

 protected:
  RobotPlannerBase() = default;
  // "model list is empty!" without frames, "must set param first! " without
  // renderer: false after printing the line.
  bool ready_to_plan();
  // run's result from a selection's: candidate bestId's path entry copied
  // out, 2 (outputs untouched) for a refused selection or an index outside
  // the path.
  RetVal run_result(RetVal selection, int bestId, RigidMatrix& robotPose, int& platformAngle) const;

  RobotPath m_allPlatformPath;
  RobotPath m_firstScanPath;
};

class TAVO_API RobotAutoScanHelper : public RobotPlannerBase {
 public:
  // Takes a use of registration instance 0 (released by the destructor).
  RobotAutoScanHelper();
  ~RobotAutoScanHelper() override;

  // Builds the candidates (standard sphere when largeFormatStep is 0, else the
  // large-format spheres) and starts the planning base with `param` and
  // them. Returns 0 even when the generator or the base refuses; a refused
  // generator leaves the paths as they were and gives the base no camera
  // record, which it refuses, so the previous renderer (or none) stays.
  RetVal set_param(const RobotAutoScanParam& param, const RobotScanInfo& info, std::string& errorText);

  // Registers the new frames, rebuilds the model and picks the next view:
  // pose and platformAngle get its path entry. 2, outputs untouched, when
  // refused (messages of get_bestId) or when no view can be scored.
  RetVal run(RigidMatrix& robotPose, int& platformAngle, bool& finished);
  RetVal run(RigidMatrix& robotPose, int& platformAngle, bool& finished, int& bestId);
  // do_icp, get_triMesh, get_scanPath.
  RetVal get_bestId(int& bestId, bool& finished);

  // Registers the frames not registered yet with the fixed settings (every
  // 8th point, 2 mm, 50 iterations, 1e-5, 90 degrees, point-to-plane,
  // coarse-to-fine, untrimmed): all of them together the first time
  // ("global registertion"), afterwards each new frame pairwise against the
  // frames before it ("last registertion"). The corrections found replace
  // the frames' corrections; a failed registration keeps them (with a
  // warning line). Waits, with a warning line, while fewer registration ids
  // than frames are known. Returns the frame corrections.
  const std::vector<RigidMatrix>& do_icp();

  void get_allPlatformPath_and_firstScanPath(RobotPath& allPlatformPath, RobotPath& firstScanPath) const;

  // The registration id of every frame sent, in the order sent.
  void set_registration_ids(std::vector<int> ids) { m_registrationIds = std::move(ids); }
  const std::vector<int>& registration_ids() const { return m_registrationIds; }
  // Frames whose corrections registration has set.
  int registered_count() const { return m_registeredCount; }

 private:
  int m_registeredCount = 0;
  std::vector<int> m_registrationIds;
  TavoRegistration::tavoRegistrationManager* m_registration = nullptr;
};

class TAVO_API RobotAutoScanHelperShoes : public RobotPlannerBase {
 public:
  // The shoe candidates, then the planning base with `param`; all candidate
  // weights 1. Returns 0 even when the generator or the base refuses.
  RetVal set_param(const ShoesRobotAutoScanParam& param, const RobotScanInfo& info, std::string& errorText);
  // get_triMesh and get_scanPath (no registration).
  RetVal run(RigidMatrix& robotPose, int& platformAngle, bool& finished);
  RetVal get_bestId(int& bestId, bool& finished);
};

}  // namespace TavoAlgorithm

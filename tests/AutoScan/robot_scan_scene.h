#pragma once
// The robot cell with an object on its turntable, shot the way a host would:
// the frame to the planner, its points to registration instance 0, its id to
// the planner's list.
#include <list>
#include <vector>

#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "RobotAutoScanHelper.h"
#include "RobotCellSimulator.h"
#include "registration_platform/tavoRegistrationManager.h"

namespace tavo_test {

// Opens the protected part of the planners.
struct TestRobotPlanner : TavoAlgorithm::RobotAutoScanHelper {
  using AutoScanHelper::frame_corrections;
  using AutoScanHelper::param;
  using AutoScanHelper::renderer;
};
struct TestShoePlanner : TavoAlgorithm::RobotAutoScanHelperShoes {
  using AutoScanHelper::param;
  using AutoScanHelper::renderer;
};

struct RobotScanSession {
  TavoAlgorithm::sim::RobotCell cell = TavoAlgorithm::sim::default_robot_cell();
  TavoAlgorithm::sim::Scene scene;
  TavoAlgorithm::sim::RobotShotOptions options;
  std::list<TavoAlgorithm::RangeData> frames;  // the planner borrows them: stable addresses
  std::vector<TavoAlgorithm::RigidMatrix> truePoses;
  std::vector<int> ids;

  // Shoots the view, hands it over, returns the frame.
  const TavoAlgorithm::RangeData& shoot(TavoAlgorithm::RobotAutoScanHelper& planner,
                                        const TavoAlgorithm::RigidMatrix& robotPose, int platformAngle) {
    options.seed = static_cast<unsigned>(frames.size() + 1);
    TavoAlgorithm::RigidMatrix truth;
    frames.push_back(
        TavoAlgorithm::sim::robot_range_frame(cell, scene, robotPose, platformAngle, options, &truth));
    truePoses.push_back(truth);
    const TavoAlgorithm::RangeData& f = frames.back();
    const int id = 100 + static_cast<int>(ids.size());
    TavoAlgorithm::TavoRegistration::tavoRegistrationManager* reg =
        TavoAlgorithm::TavoRegistration::tavoRegistrationManager::new_instance(0);
    reg->set_frame_data(id, f, f.get_rigidMatrix());
    TavoAlgorithm::TavoRegistration::tavoRegistrationManager::delete_instance(0);
    planner.send_rangeData(&f, TavoAlgorithm::RigidMatrix(), false, false);
    ids.push_back(id);
    planner.set_registration_ids(ids);
    return f;
  }
};

}  // namespace tavo_test

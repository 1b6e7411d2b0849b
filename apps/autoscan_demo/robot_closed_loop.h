#pragma once
// The robot planner's closed loop on the simulated robot cell: scan the
// first-scan path, then ask run for the next view and scan it until the
// planner says finished. Frames go to the planner and to registration
// instance 0, as a host would hand them over. Coverage is judged on the
// object's own mesh, over the faces some candidate view can measure
// (reachable): those the views taken measured, and those whose centre lies
// within one TSDF voxel of the planner's fused model.
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "RobotCellSimulator.h"
#include "geometry/BaseTriMesh.h"

namespace autoscan_demo {

struct RobotLoopResult;

struct RobotLoopOptions {
  int firstAngle = 0, lastAngle = 120, angleStep = 10;  // degrees: the candidate sphere
  float tsdfVoxel = 1.f;                                 // mm
  float planVoxel = 2.f;                                 // mm, the renderer's scoring grid
  int stopThreshold = 10;                                // the planner's finish score
  float clipZ = 1.f;                                     // mm above the turntable
  int maxViews = 100;                                    // planned views at most (the first scans aside)
  bool verbose = false;                                  // let the library's console lines through
  TavoAlgorithm::sim::RobotShotOptions shot;
  // Called after every view with the result so far (its last view the new one).
  std::function<void(const RobotLoopResult&)> onView;
};

struct RobotViewRecord {
  int candidate = -1;  // -1 for the first-scan views
  int platformAngle = 0;
  double planSeconds = 0.0;   // run
  double shootSeconds = 0.0;  // the simulated shot
  int points = 0;
  double coveragePercent = 0.0;  // of the reachable faces, after this view
  // Of the reachable faces, within one TSDF voxel of the model fused (and
  // registered) from the views up to this one; NaN until the planner fuses it.
  double fusedPercent = std::numeric_limits<double>::quiet_NaN();
};

struct RobotLoopResult {
  bool finished = false;
  int candidates = 0;
  std::vector<RobotViewRecord> views;
  std::vector<char> reachable;  // per face of the object
  std::vector<int> firstView;   // per face: 1-based view that first measured it, 0 never
  int reachableCount = 0, coveredCount = 0;
  double fusedPercent = 0.0;  // the last model's, as fusedPercent of a view
  // Pose error of the frames against frame 0, RMS over their points (mm):
  // as the robot placed them and after registration.
  double meanErrorBefore = 0.0, meanErrorAfter = 0.0;
  TavoAlgorithm::BaseTriMesh model;  // the planner's last fused model
};

// `object` in mm, standing on the turntable in the model frame (z up along
// the cell's axis; see place_on_turntable). false, with the reason, when the
// planner cannot plan (no renderer) or a view cannot be scored.
bool run_robot_loop(const TavoAlgorithm::BaseTriMesh& object, const RobotLoopOptions& options,
                    RobotLoopResult& result, std::string& error);

// Stands `mesh` on the turntable of the default cell: coordinates times
// `scale` (to mm), turned from y up to z up when `yUp`, centred over the axis
// with its lowest point on the turntable. false, the mesh unchanged, for a
// mesh without faces or with a non-finite coordinate after scaling.
bool place_on_turntable(TavoAlgorithm::BaseTriMesh& mesh, float scale, bool yUp);

// The object scanned when none is given: a bumpy ball 90 mm across on the
// turntable.
TavoAlgorithm::BaseTriMesh builtin_object();

}  // namespace autoscan_demo

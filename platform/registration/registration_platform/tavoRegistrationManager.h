#pragma once
// Registration engine of the robot planners. Numbered, process-wide
// instances each keep frames (points with normals) by id and register them
// against each other.
//
// Frames: a frame's points and normals are given in the common (world)
// frame, placed by the caller's estimate of its pose (robot pose and
// turntable angle). Registration finds for each frame a correction C, the
// rigid transform that moves it onto the others: registered = C * as sent.
// A frame's correction is the identity until a registration sets it, and the
// registered frames are the targets of later pair registrations. Units are
// those of the points (mm for the planners).
//
// Threading: instances may be used from several threads; each call on an
// instance runs under that instance's lock, so calls on one instance are
// serialised. The heavy work (registration) runs in a module loaded on first
// use (libTavoRegistrationEngine.so, looked for beside the library that
// holds this code, then on the dynamic linker's path); without it the two
// registrations fail with a located error line.
#include <Eigen/Core>
#include <memory>
#include <vector>

#include "RetVal.h"
#include "TavoExport.h"
#include "geometry/Cloud.h"
#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm::TavoRegistration {

struct RegistrationSettings;

class TAVO_API tavoRegistrationManager {
 public:
  // Instance `index`, created on first use. Every call must be matched by one
  // delete_instance(index): the instance and its frames live until the last
  // user has released it. Null for a negative index.
  static tavoRegistrationManager* new_instance(int index);
  // Releases one use of instance `index`; nothing happens for an index that
  // has no live instance.
  static void delete_instance(int index);

  // Stores frame `id`, replacing what it held (its correction becomes the
  // identity). Points and normals (unit or not; they are normalised) are
  // world coordinates, one normal per point. Pairs with a non-finite or zero
  // normal or a non-finite point are left out. false, and the id left as it
  // was, for lists of different lengths or no usable pair.
  bool set_frame_data(int id, const std::vector<Eigen::Vector3f>& points,
                      const std::vector<Eigen::Vector3f>& normals);
  // The same from a cloud in its own coordinates, placed by `pose`; deleted
  // points are left out. false without normals.
  bool set_frame_data(int id, const Cloud& cloud, const RigidMatrix& pose);
  // false for an id that holds nothing.
  bool remove_frame_data(int id);
  void clear_frame_data();
  bool has_frame_data(int id) const;
  int frame_count() const;
  // The correction last found for frame `id`; false (out unchanged) for an id
  // that holds nothing.
  bool get_correction(int id, RigidMatrix& out) const;

  // Registers the frames of `source` (moved together, as one rigid piece)
  // onto the frames of `target` at their corrections and stores the result as
  // the correction of every source frame. Settings, in order:
  //   sampleStep      every sampleStep-th source point drives the fit (>= 1)
  //   maxDistance     correspondence distance of the final fit (> 0)
  //   maxIterations   iterations per distance level (>= 1)
  //   convergence     a level stops when the transform changes by less (>= 0)
  //   maxNormalAngle  degrees; correspondences whose normals differ more are
  //                   rejected (0 < angle <= 180)
  //   pointToPlane    point-to-plane error, else point-to-point
  //   coarseToFine    start at 8 * maxDistance and halve down to it, so that
  //                   pose errors of several maxDistance are caught
  //   error           out: RMS distance (units of the points) of the final
  //                   correspondences
  //   pose            out: the correction of the source frames
  //   trimmed         keep only the closest trimRatio of the correspondences
  //                   in each iteration (for small overlaps)
  //   trimRatio       0 < ratio <= 1, read when trimmed
  // RETVAL_FAILED, nothing stored and outputs unchanged, for an empty list,
  // an id that holds nothing, an id in both lists, settings out of range, a
  // missing engine, or a fit with less than a tenth of the sampled source
  // points matched at maxDistance.
  RetVal pair_registertion(const std::vector<int>& source, const std::vector<int>& target, int sampleStep,
                           float maxDistance, int maxIterations, double convergence, double maxNormalAngle,
                           bool pointToPlane, bool coarseToFine, double& error, RigidMatrix& pose, bool trimmed,
                           double trimRatio);

  // Multi-view registration of the frames `ids`: every pair of frames that
  // overlaps is registered pairwise, then all corrections are optimised
  // together over the graph of those pairs, so that no error accumulates
  // along a chain. The first frame is the anchor and keeps its correction;
  // frames that overlap no frame of the anchor's group keep theirs. `poses`
  // receives one correction per id, in order, and every frame stores its own.
  // Settings as for pair_registertion; error is the RMS over all pairs.
  // RETVAL_FAILED, nothing stored and outputs unchanged, for an empty list,
  // an id given twice or holding nothing, settings out of range or a missing
  // engine.
  RetVal global_registertion(const std::vector<int>& ids, int sampleStep, float maxDistance, int maxIterations,
                             double convergence, double maxNormalAngle, bool pointToPlane, bool coarseToFine,
                             double& error, std::vector<RigidMatrix>& poses, bool trimmed, double trimRatio);

  ~tavoRegistrationManager();
  tavoRegistrationManager(const tavoRegistrationManager&) = delete;
  tavoRegistrationManager& operator=(const tavoRegistrationManager&) = delete;

 private:
  struct State;
  tavoRegistrationManager();
  std::unique_ptr<State> m_state;
};

}  // namespace TavoAlgorithm::TavoRegistration

#pragma once
// The interface between the registration manager and its engine module. The
// module is built by this project with the same compiler, so standard types
// cross the boundary; the manager validates every input before it calls in.
#include <Eigen/Core>
#include <vector>

namespace TavoAlgorithm::TavoRegistration {

// The fixed settings of the registration calls (see tavoRegistrationManager).
struct RegistrationSettings {
  int sampleStep = 8;
  float maxDistance = 2.f;
  int maxIterations = 50;
  double convergence = 1e-5;
  double maxNormalAngle = 90.0;
  bool pointToPlane = true;
  bool coarseToFine = true;
  bool trimmed = false;
  double trimRatio = 0.5;
};

// One frame as sent (world coordinates) with its current correction.
struct FrameView {
  const std::vector<Eigen::Vector3f>* points = nullptr;
  const std::vector<Eigen::Vector3f>* normals = nullptr;  // unit, one per point
  Eigen::Matrix4d correction = Eigen::Matrix4d::Identity();
};

class RegistrationEngine {
 public:
  virtual ~RegistrationEngine() = default;
  // Corrections of `sources` (one rigid piece, starting from sources[0]'s
  // correction) onto `targets` at theirs. false when too little matched.
  virtual bool register_pair(const std::vector<FrameView>& sources, const std::vector<FrameView>& targets,
                             const RegistrationSettings& settings, Eigen::Matrix4d& correction,
                             double& rms) const = 0;
  // Multi-view: corrections[i] for frames[i], frame 0 kept; frames outside
  // the anchor's overlap group keep theirs.
  virtual bool register_global(const std::vector<FrameView>& frames, const RegistrationSettings& settings,
                               std::vector<Eigen::Matrix4d>& corrections, double& rms) const = 0;
};

}  // namespace TavoAlgorithm::TavoRegistration

// Entry point of the module: a process-lifetime engine, never null.
extern "C" const TavoAlgorithm::TavoRegistration::RegistrationEngine* tavo_registration_engine();

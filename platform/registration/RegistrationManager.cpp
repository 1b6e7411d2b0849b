#include <cmath>
#include <map>
#include <mutex>
#include <set>

#include "EngineLoader.h"
#include "registration_platform/tavoRegistrationManager.h"

namespace TavoAlgorithm::TavoRegistration {

namespace {

struct Frame {
  std::vector<Eigen::Vector3f> points;
  std::vector<Eigen::Vector3f> normals;
  RigidMatrix correction;
};

// Process-wide instances with their use counts.
struct Registry {
  std::mutex mutex;
  std::map<int, std::pair<std::unique_ptr<tavoRegistrationManager>, int>> instances;
};

Registry& registry() {
  static Registry r;
  return r;
}

bool settings_valid(const RegistrationSettings& s) {
  return s.sampleStep >= 1 && std::isfinite(s.maxDistance) && s.maxDistance > 0.f && s.maxIterations >= 1 &&
         std::isfinite(s.convergence) && s.convergence >= 0.0 && std::isfinite(s.maxNormalAngle) &&
         s.maxNormalAngle > 0.0 && s.maxNormalAngle <= 180.0 &&
         (!s.trimmed || (std::isfinite(s.trimRatio) && s.trimRatio > 0.0 && s.trimRatio <= 1.0));
}

RigidMatrix to_rigid(const Eigen::Matrix4d& m) { return RigidMatrix::from_matrix4(m); }

}  // namespace

struct tavoRegistrationManager::State {
  mutable std::mutex mutex;
  std::map<int, Frame> frames;

  // Views of the frames `ids` in order; false when one holds nothing.
  bool views(const std::vector<int>& ids, std::vector<FrameView>& out) const {
    out.clear();
    for (int id : ids) {
      const auto it = frames.find(id);
      if (it == frames.end()) return false;
      FrameView v;
      v.points = &it->second.points;
      v.normals = &it->second.normals;
      v.correction = it->second.correction.to_matrix4();
      out.push_back(v);
    }
    return true;
  }
};

tavoRegistrationManager::tavoRegistrationManager() : m_state(std::make_unique<State>()) {}
tavoRegistrationManager::~tavoRegistrationManager() = default;

tavoRegistrationManager* tavoRegistrationManager::new_instance(int index) {
  if (index < 0) return nullptr;
  Registry& r = registry();
  const std::lock_guard<std::mutex> lock(r.mutex);
  auto& slot = r.instances[index];
  if (!slot.first) slot.first.reset(new tavoRegistrationManager());
  ++slot.second;
  return slot.first.get();
}

void tavoRegistrationManager::delete_instance(int index) {
  Registry& r = registry();
  std::unique_ptr<tavoRegistrationManager> last;  // destroyed outside the registry lock
  {
    const std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.instances.find(index);
    if (it == r.instances.end()) return;
    if (--it->second.second > 0) return;
    last = std::move(it->second.first);
    r.instances.erase(it);
  }
}

bool tavoRegistrationManager::set_frame_data(int id, const std::vector<Eigen::Vector3f>& points,
                                             const std::vector<Eigen::Vector3f>& normals) {
  if (points.size() != normals.size()) return false;
  Frame f;
  f.points.reserve(points.size());
  f.normals.reserve(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    const float len = normals[i].norm();
    if (!points[i].allFinite() || !std::isfinite(len) || !(len > 0.f)) continue;
    f.points.push_back(points[i]);
    f.normals.push_back(normals[i] / len);
  }
  if (f.points.empty()) return false;
  const std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->frames[id] = std::move(f);
  return true;
}

bool tavoRegistrationManager::set_frame_data(int id, const Cloud& cloud, const RigidMatrix& pose) {
  if (!cloud.has_vNormal()) return false;
  std::vector<Eigen::Vector3f> points, normals;
  points.reserve(static_cast<std::size_t>(cloud.get_vn()));
  normals.reserve(static_cast<std::size_t>(cloud.get_vn()));
  for (int i = 0; i < cloud.get_vn(); ++i) {
    if (cloud.get_vDeleted(i)) continue;
    points.push_back(pose * cloud.get_vCoord(i));
    normals.push_back(pose.transform_normal(cloud.get_vNrv(i)));
  }
  return set_frame_data(id, points, normals);
}

bool tavoRegistrationManager::remove_frame_data(int id) {
  const std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->frames.erase(id) > 0;
}

void tavoRegistrationManager::clear_frame_data() {
  const std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->frames.clear();
}

bool tavoRegistrationManager::has_frame_data(int id) const {
  const std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->frames.count(id) > 0;
}

int tavoRegistrationManager::frame_count() const {
  const std::lock_guard<std::mutex> lock(m_state->mutex);
  return static_cast<int>(m_state->frames.size());
}

bool tavoRegistrationManager::get_correction(int id, RigidMatrix& out) const {
  const std::lock_guard<std::mutex> lock(m_state->mutex);
  const auto it = m_state->frames.find(id);
  if (it == m_state->frames.end()) return false;
  out = it->second.correction;
  return true;
}

RetVal tavoRegistrationManager::pair_registertion(const std::vector<int>& source, const std::vector<int>& target,
                                                  int sampleStep, float maxDistance, int maxIterations,
                                                  double convergence, double maxNormalAngle, bool pointToPlane,
                                                  bool coarseToFine, double& error, RigidMatrix& pose, bool trimmed,
                                                  double trimRatio) {
  const RegistrationSettings settings{sampleStep,     maxDistance,  maxIterations, convergence, maxNormalAngle,
                                      pointToPlane,   coarseToFine, trimmed,       trimRatio};
  if (source.empty() || target.empty() || !settings_valid(settings)) return RETVAL_FAILED;
  const std::set<int> sourceSet(source.begin(), source.end());
  for (int id : target)
    if (sourceSet.count(id) > 0) return RETVAL_FAILED;
  const std::lock_guard<std::mutex> lock(m_state->mutex);
  std::vector<FrameView> sources, targets;
  if (!m_state->views(source, sources) || !m_state->views(target, targets)) return RETVAL_FAILED;
  const RegistrationEngine* engine = registration_engine();
  if (engine == nullptr) return RETVAL_FAILED;
  Eigen::Matrix4d correction = sources.front().correction;
  double rms = 0.0;
  if (!engine->register_pair(sources, targets, settings, correction, rms)) return RETVAL_FAILED;
  pose = to_rigid(correction);
  error = rms;
  for (int id : source) m_state->frames[id].correction = pose;
  return RETVAL_SUCCESS;
}

RetVal tavoRegistrationManager::global_registertion(const std::vector<int>& ids, int sampleStep, float maxDistance,
                                                    int maxIterations, double convergence, double maxNormalAngle,
                                                    bool pointToPlane, bool coarseToFine, double& error,
                                                    std::vector<RigidMatrix>& poses, bool trimmed,
                                                    double trimRatio) {
  const RegistrationSettings settings{sampleStep,     maxDistance,  maxIterations, convergence, maxNormalAngle,
                                      pointToPlane,   coarseToFine, trimmed,       trimRatio};
  if (ids.empty() || !settings_valid(settings)) return RETVAL_FAILED;
  if (std::set<int>(ids.begin(), ids.end()).size() != ids.size()) return RETVAL_FAILED;
  const std::lock_guard<std::mutex> lock(m_state->mutex);
  std::vector<FrameView> frames;
  if (!m_state->views(ids, frames)) return RETVAL_FAILED;
  std::vector<Eigen::Matrix4d> corrections;
  corrections.reserve(frames.size());
  for (const FrameView& f : frames) corrections.push_back(f.correction);
  double rms = 0.0;
  if (frames.size() > 1) {
    const RegistrationEngine* engine = registration_engine();
    if (engine == nullptr || !engine->register_global(frames, settings, corrections, rms)) return RETVAL_FAILED;
  }
  poses.clear();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    poses.push_back(to_rigid(corrections[i]));
    m_state->frames[ids[i]].correction = poses.back();
  }
  error = rms;
  return RETVAL_SUCCESS;
}

}  // namespace TavoAlgorithm::TavoRegistration

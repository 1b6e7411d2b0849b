#include "DentalAutoScanHelper.h"

#include <tuple>

#include "AutoScan/DentalArchive.h"
#include "AutoScan/DentalPathSearch.h"
#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "common/trace/Trace.h"
#include "geometry/TavoGLFWWindow.h"
#include "topology/IndexedHoles.h"
#include "topology/ShellFlood.h"

namespace TavoAlgorithm {
namespace {

// The tripletray filter keeps candidates whose c2 looks within acos(0.2) of
// the reference direction.
constexpr float kTripletrayMinCos = 0.2f;

Eigen::Vector3f view_direction(const OpenGLCameraParam& set, std::size_t candidate, int camera) {
  const std::size_t o = 9 * candidate + 3 * static_cast<std::size_t>(camera);
  const Eigen::Vector3f e(set.eyes[o], set.eyes[o + 1], set.eyes[o + 2]);
  const Eigen::Vector3f c(set.centers[o], set.centers[o + 1], set.centers[o + 2]);
  return (c - e).normalized();
}

}  // namespace

DentalAutoScanHelper::DentalAutoScanHelper() = default;
DentalAutoScanHelper::~DentalAutoScanHelper() = default;

RetVal DentalAutoScanHelper::set_param(const DentalAutoScanParam& param, const CameraInfo& camera,
                                       const AxisInfo& axis, std::string& errorText) {
  // Replay reads the recorded values into these copies.
  DentalAutoScanParam p = param;
  CameraInfo c = camera;
  AxisInfo a = axis;
  if (trace("das_set_param", p, "param", c, "inputCameraInfo", a, "inputAxisInfo") == TraceOutcome::ReplayFailed)
    return RETVAL_FAILED;
  DentalPlanSetup setup;
  if (make_dental_plan_setup(p, p.setting2, p.setting3, c, a, setup) != RETVAL_SUCCESS) return RETVAL_FAILED;
  if (set_base_param(p, setup.cameras, errorText) != RETVAL_SUCCESS) return RETVAL_NOT_READY;
  renderer()->set_pose_weights(setup.weights);
  dental::use_hole_face_bounds(*renderer());
  m_setup = std::move(setup);
  m_haveParam = true;
  m_lastAngles = {-1, -1};
  return RETVAL_SUCCESS;
}

RetVal DentalAutoScanHelper::install_poses(std::int32_t setting3, std::int32_t setting2, const Eigen::Vector3d& point,
                                           const Eigen::Vector3d& direction, const Eigen::Vector3f* reference) {
  if (!m_haveParam) return RETVAL_FAILED;
  m_setup.axis.point[3] = point;
  m_setup.axis.direction[3] = direction;
  DentalPlanSetup fresh;
  if (make_dental_plan_setup(m_setup.param, setting2, setting3, m_setup.camera, m_setup.axis, fresh) !=
      RETVAL_SUCCESS)
    return RETVAL_FAILED;
  m_setup.presets = std::move(fresh.presets);
  std::vector<Angles>& angles = fresh.angles;
  std::vector<float>& weights = fresh.weights;
  OpenGLCameraParam& set = fresh.cameras;
  if (reference) {
    // Only the candidates whose c2 looks roughly along the reference stay.
    OpenGLCameraParam kept;
    kept.fovys = set.fovys;
    std::vector<Angles> keptAngles;
    std::vector<float> keptWeights;
    for (std::size_t i = 0; i < angles.size(); ++i) {
      if (view_direction(set, i, 2).dot(*reference) < kTripletrayMinCos) continue;
      keptAngles.push_back(angles[i]);
      keptWeights.push_back(weights[i]);
      for (auto [from, to] : {std::make_pair(&set.eyes, &kept.eyes), std::make_pair(&set.centers, &kept.centers),
                              std::make_pair(&set.ups, &kept.ups)})
        to->insert(to->end(), from->begin() + 9 * i, from->begin() + 9 * i + 9);
    }
    set = std::move(kept);
    angles = std::move(keptAngles);
    weights = std::move(keptWeights);
  }
  std::string err;
  if (!renderer() || !renderer()->set_scan_poses(set.eyes, set.centers, set.ups, set.fovys, err))
    return RETVAL_NOT_READY;
  renderer()->set_pose_weights(weights);
  m_setup.angles = std::move(angles);
  m_setup.weights = std::move(weights);
  m_setup.cameras = std::move(set);
  return RETVAL_SUCCESS;
}

RetVal DentalAutoScanHelper::set_opengl_param(std::int32_t setting3, std::int32_t setting2,
                                              const Eigen::Vector3d& point, const Eigen::Vector3d& direction) {
  return install_poses(setting3, setting2, point, direction, nullptr);
}

RetVal DentalAutoScanHelper::set_opengl_param_tripletray(std::int32_t rotation, std::int32_t tilt,
                                                         std::int32_t setting3, std::int32_t setting2,
                                                         const Eigen::Vector3d& point,
                                                         const Eigen::Vector3d& direction) {
  if (!m_haveParam) return RETVAL_FAILED;
  AxisInfo axis = m_setup.axis;
  axis.point[3] = point;
  axis.direction[3] = direction;
  const std::int32_t ref[4] = {rotation, tilt, setting2, setting3};
  std::vector<Eigen::Vector3f> e, c, u;
  std::vector<float> f;
  dental_look_at(axis, m_setup.camera, ref, e, c, u, f);
  const Eigen::Vector3f reference = (c[0] - e[0]).normalized();
  return install_poses(setting3, setting2, point, direction, &reference);
}

RetVal DentalAutoScanHelper::get_scanPath(std::int32_t& rotation, std::int32_t& tilt, float& value,
                                          bool keepPatches) {
  Angles angles;
  const RetVal r = dental::plan_step(renderer(), model(), clip_z(), m_setup, keepPatches, value, angles, m_lastAngles);
  if (r == RETVAL_SUCCESS) std::tie(rotation, tilt) = angles;
  return r;
}

RetVal DentalAutoScanHelper::get_navigation_scanPath(std::int32_t rotation, std::int32_t tilt, std::int32_t,
                                                     std::int32_t halfWidth, std::int32_t& rotationOut,
                                                     std::int32_t& tiltOut) {
  return dental::navigate(renderer(), model(), clip_z(), m_setup, rotation, tilt, halfWidth, rotationOut, tiltOut);
}

RetVal DentalAutoScanHelper::get_hole_vec_trimesh(std::vector<TriMesh>& patches) {
  const EmulateBinHelper* r = renderer();
  if (!r) return RETVAL_FAILED;
  patches = r->hole_patches();
  return RETVAL_SUCCESS;
}

RetVal DentalAutoScanHelper::get_final_trimesh(BaseTriMesh& mesh) {
  if (frame_count() == 0 || replace_volume(param().tsdfVoxelSize) != RETVAL_SUCCESS) return RETVAL_FAILED;
  return get_triMesh(mesh);
}

RetVal DentalAutoScanHelper::reset_tsdf_point_dist(float voxelEdge) {
  replace_volume(voxelEdge);
  m_setup.param.tsdfVoxelSize = voxelEdge;
  return RETVAL_SUCCESS;
}

RetVal DentalAutoScanHelper::clear_all(std::string& errorText) {
  const RetVal r = clear_base_all(errorText);
  if (renderer()) renderer()->set_pose_weights(m_setup.weights);
  m_lastAngles = {-1, -1};
  return r;
}

RetVal DentalAutoScanHelper::release() {
  release_engines();
  m_lastAngles = {-1, -1};
  return TavoGLFWWindow::delete_all();
}

void DentalAutoScanHelper::get_mesh_topo(const BaseTriMesh& mesh, OrvaneSimpleTopos& topo) {
  topo.build_topo(mesh, 1);
}

void DentalAutoScanHelper::find_holes(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo,
                                      std::vector<std::vector<std::int32_t>>& holeVerts,
                                      std::vector<std::vector<std::int32_t>>& holeFaces) {
  TavoAlgorithm::find_holes(mesh, topo, holeVerts, holeFaces);
}

void DentalAutoScanHelper::find_shells(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo,
                                       std::vector<bool> done, std::vector<std::vector<std::int32_t>>& shells) {
  TavoAlgorithm::find_shells(mesh, topo, std::move(done), shells);
}

RetVal DentalAutoScanHelper::get_all_union_hole_faces(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo,
                                                      std::vector<UnionHoleFaces>& records) {
  return TavoAlgorithm::get_all_union_hole_faces(mesh, topo, records);
}

RetVal DentalAutoScanHelper::remove_small_shells(BaseTriMesh& mesh, const OrvaneSimpleTopos& topo) {
  if (!renderer()) return RETVAL_FAILED;
  return TavoAlgorithm::remove_small_shells(mesh, topo, param().minShellSize);
}

}  // namespace TavoAlgorithm

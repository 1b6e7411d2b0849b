#include "DentalGetScanPathHelper.h"

#include <tuple>

#include "AutoScan/DentalPathSearch.h"
#include "AutoScan/ValueBoxes.h"
#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "common/console.h"
#include "geometry/TavoGLFWWindow.h"

namespace TavoAlgorithm {

DentalGetScanPathHelper::DentalGetScanPathHelper() = default;
DentalGetScanPathHelper::~DentalGetScanPathHelper() = default;

RetVal DentalGetScanPathHelper::set_param(const DentalAutoScanParam& param, const CameraInfo& camera,
                                          const AxisInfo& axis, std::string& errorText) {
  DentalPlanSetup setup;
  if (make_dental_plan_setup(param, param.setting2, param.setting3, camera, axis, setup) != RETVAL_SUCCESS ||
      param.stopThreshold < 0 || setup.cameras.fovys.empty())
    return RETVAL_FAILED;
  const OpenGLCameraParam& set = setup.cameras;
  m_renderer = std::make_unique<EmulateBinHelper>(param.planVoxelSize);
  // The new renderer has no grid and no mesh: the host sends it again.
  m_meshBoxPending = true;
  m_scanMesh = nullptr;
  if (!m_renderer->set_scan_poses(set.eyes, set.centers, set.ups, set.fovys, errorText)) return RETVAL_NOT_READY;
  m_renderer->set_hole_params(param.minShellSize, param.maxHoleSize);
  dental::use_hole_face_bounds(*m_renderer);
  if (!m_renderer->init_opengl(errorText)) return RETVAL_NOT_READY;
  m_renderer->set_pose_weights(setup.weights);
  m_clipZ = param.clipZ;
  m_setup = std::move(setup);
  m_lastAngles = {-1, -1};
  return RETVAL_SUCCESS;
}

void DentalGetScanPathHelper::send_scan_mesh(const BaseTriMesh* mesh) {
  if (!m_renderer) {
    console::message("must set param first! ");
    return;
  }
  if (!mesh) return;
  // A new mesh replaces the one planned on: the old pointer may be gone.
  if (mesh != m_scanMesh) m_renderer->set_source_mesh(nullptr);
  m_scanMesh = mesh;
  if (!m_renderer->scoring_mesh()) m_renderer->set_source_mesh(mesh);
  if (m_meshBoxPending) {
    m_renderer->set_mesh_box();
    m_meshBoxPending = !m_renderer->mesh_box_set();
  }
}

RetVal DentalGetScanPathHelper::set_voxel_bbox(const std::vector<Eigen::Vector3f>& points) {
  if (m_meshBoxPending) return RETVAL_NOT_READY;
  return value_boxes::from_points(m_scanMesh, m_renderer.get(), m_setup.param.minShellSize, points,
                                  {m_valueBoxes, m_clipZ});
}

RetVal DentalGetScanPathHelper::set_voxel_bbox(const std::vector<BoundingBox>& boxes) {
  if (m_meshBoxPending) return RETVAL_NOT_READY;
  return value_boxes::from_list(m_renderer.get(), boxes, {m_valueBoxes, m_clipZ});
}

RetVal DentalGetScanPathHelper::set_voxel_bbox(const BoundingBox& box) {
  if (m_meshBoxPending) return RETVAL_NOT_READY;
  return value_boxes::from_box(m_renderer.get(), box, {m_valueBoxes, m_clipZ});
}

RetVal DentalGetScanPathHelper::set_iter_bbox(TriMesh& mesh, bool resetGrid) {
  if (m_meshBoxPending) return RETVAL_NOT_READY;
  return value_boxes::narrow(m_renderer.get(), mesh, resetGrid, {m_valueBoxes, m_clipZ});
}

RetVal DentalGetScanPathHelper::set_iter_bbox(bool resetGrid) {
  if (m_meshBoxPending) return RETVAL_NOT_READY;
  return value_boxes::narrow(m_renderer.get(), m_scanMesh, resetGrid, {m_valueBoxes, m_clipZ});
}

RetVal DentalGetScanPathHelper::get_scanPath(std::int32_t& rotation, std::int32_t& tilt, float& value,
                                             bool keepPatches) {
  Angles angles;
  const RetVal r =
      dental::plan_step(m_renderer.get(), m_scanMesh, m_clipZ, m_setup, keepPatches, value, angles, m_lastAngles);
  if (r == RETVAL_SUCCESS) std::tie(rotation, tilt) = angles;
  return r;
}

RetVal DentalGetScanPathHelper::clear_all(std::string& errorText) {
  m_meshBoxPending = true;
  m_scanMesh = nullptr;
  m_valueBoxes.clear();
  if (!m_renderer) return RETVAL_SUCCESS;
  m_renderer->set_source_mesh(nullptr);
  const DentalPlanSetup setup = m_setup;
  return set_param(setup.param, setup.camera, setup.axis, errorText);
}

RetVal DentalGetScanPathHelper::release() {
  m_renderer.reset();
  m_scanMesh = nullptr;
  m_meshBoxPending = true;
  return TavoGLFWWindow::delete_all();
}

}  // namespace TavoAlgorithm

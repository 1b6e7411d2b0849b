#include "AutoScanHelper.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>

#include "AutoScan/ValueBoxes.h"
#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "HoleDetection.h"
#include "Parallel.h"
#include "common/console.h"
#include "fusion/RangeFrameLists.h"
#include "fusion/TsdfVolume.h"
#include "meshproc/HoleFinding.h"
#include "meshproc/MeshCleanup.h"

namespace TavoAlgorithm {
namespace {

// The planners' frame rules: no steep points kept, sampling in the
// single-frame calls only from step 2, no clipping, 8 preparation workers.
constexpr int kPrepareWorkers = 8;
constexpr int kSingleFrameMinStep = 2;

FrameListRules auto_scan_rules() {
  FrameListRules r;
  r.keepSteepPoints = false;
  r.singleFrameMinStep = kSingleFrameMinStep;
  r.clipZ = false;
  r.prepareWorkers = kPrepareWorkers;
  return r;
}

}  // namespace

AutoScanHelper::AutoScanHelper() : m_lists(std::make_unique<RangeFrameLists>(auto_scan_rules())) {}

AutoScanHelper::~AutoScanHelper() = default;

// --- TSDF side ---

void AutoScanHelper::send_rangeData(const RangeData* frame, const RigidMatrix& correction, bool wideSpread,
                                    bool isSample) {
  m_lists->send_rangeData(frame, correction, wideSpread, isSample);
}

void AutoScanHelper::send_rangeData(const RangeData* frame, const RigidMatrix& correction, bool wideSpread,
                                    const std::vector<float>& weights, bool isSample) {
  m_lists->send_rangeData(frame, correction, wideSpread, weights, isSample);
}

bool AutoScanHelper::send_rangeData(const std::vector<const RangeData*>& frames,
                                    const std::vector<RigidMatrix>& corrections,
                                    const std::vector<bool>& wideSpread, bool isSample) {
  return m_lists->send_rangeData(frames, corrections, wideSpread, isSample);
}

bool AutoScanHelper::send_rangeData(const std::vector<const RangeData*>& frames,
                                    const std::vector<RigidMatrix>& corrections,
                                    const std::vector<bool>& wideSpread,
                                    const std::vector<std::vector<float>>& weights, bool isSample) {
  return m_lists->send_rangeData_traced(frames, corrections, wideSpread, weights, isSample);
}

void AutoScanHelper::pop_rangeData() { m_lists->pop_rangeData(m_volume.get()); }

void AutoScanHelper::add_to_tsdf() {
  if (m_volume) m_lists->add_to_tsdf(*m_volume);
}

RetVal AutoScanHelper::get_triMesh(BaseTriMesh& mesh) {
  const TraceOutcome r = m_lists->trace_lists("get_triMesh");
  if (r == TraceOutcome::ReplayFailed || !m_volume) return RETVAL_FAILED;
  if (r == TraceOutcome::Replayed) m_volume = std::make_unique<TsdfVolume>(kTsdfDefaultDepth, m_param.tsdfVoxelSize);
  const std::clock_t start = std::clock();
  auto model = std::make_unique<BaseTriMesh>();
  const bool built = m_lists->rebuild_mesh(*m_volume, *model);
  console::elapsed_ms(console::label::kRebuildMesh, start);
  if (m_renderer) m_renderer->set_source_mesh(nullptr);  // it must not keep the old model
  if (!built) {
    m_model.reset();
    return RETVAL_FAILED;
  }
  m_model = std::move(model);
  mesh = *m_model;
  if (m_renderer) {
    m_renderer->set_source_mesh(m_model.get());
    // The grid is sized once per model life; an empty model sizes nothing and
    // leaves the helper without a model.
    if (m_noModel) {
      m_renderer->set_mesh_box();
      m_noModel = !m_renderer->mesh_box_set();
    }
  }
  return RETVAL_SUCCESS;
}

void AutoScanHelper::get_delete_verts_self(Cloud& cloud, std::vector<RigidMatrix>& poses,
                                           std::vector<float>& values, std::vector<bool>& flags) {
  std::vector<RemovedPoint> removed;
  m_lists->collect_removed_points(removed);
  std::vector<Eigen::Vector3f> coords;
  coords.reserve(removed.size());
  for (const RemovedPoint& p : removed) {
    coords.push_back(p.point);
    poses.push_back(p.pose);
    values.push_back(p.weight);
    flags.push_back(p.wideSpread);
  }
  cloud.clear();
  cloud.set_vCoords(std::move(coords));
  cloud.enable_vNormal();
  for (std::size_t i = 0; i < removed.size(); ++i) cloud.set_vNrv(static_cast<int>(i), removed[i].normal);
}

int AutoScanHelper::frame_count() const { return m_lists->frame_count(); }

// --- Parameters ---

RetVal AutoScanHelper::set_base_param(const AutoScanParam& param, const OpenGLCameraParam& camera,
                                      std::string& errorText) {
  if (param.stopThreshold < 0 || camera.fovys.empty()) return RETVAL_FAILED;
  m_clipZ = param.clipZ;
  m_volume = std::make_unique<TsdfVolume>(kTsdfDefaultDepth, param.tsdfVoxelSize);
  // The frames already held belong in the new volume too.
  m_lists->reset_integrated_count();
  m_lists->set_sample_step(param.sampleStep);
  m_renderer = std::make_unique<EmulateBinHelper>(param.planVoxelSize);
  // A fresh renderer has no grid: the next model gives it one.
  m_noModel = true;
  if (!m_renderer->set_scan_poses(camera.eyes, camera.centers, camera.ups, camera.fovys, errorText))
    return RETVAL_NOT_READY;
  m_renderer->set_hole_params(param.minShellSize, param.maxHoleSize);
  m_renderer->set_base_height(m_clipZ);
  m_param = param;
  m_camera = camera;
  return m_renderer->init_opengl(errorText) ? RETVAL_SUCCESS : RETVAL_NOT_READY;
}

RetVal AutoScanHelper::set_opengl_camera(double fovy, double unused, double nearPlane, double farPlane) {
  if (!m_renderer) return RETVAL_FAILED;
  m_renderer->set_opengl_camera(fovy, unused, nearPlane, farPlane);
  return RETVAL_SUCCESS;
}

const std::vector<RigidMatrix>& AutoScanHelper::frame_corrections() const { return m_lists->corrections(); }

void AutoScanHelper::set_frame_correction(int frame, const RigidMatrix& correction) {
  if (frame < 0 || frame >= m_lists->frame_count()) return;
  m_lists->set_correction(static_cast<std::size_t>(frame), correction);
  if (frame < m_lists->integrated_count() && m_volume) {
    m_volume = std::make_unique<TsdfVolume>(kTsdfDefaultDepth, m_param.tsdfVoxelSize);
    m_lists->reset_integrated_count();
  }
}

void AutoScanHelper::set_clip_z(float z) {
  m_clipZ = z;
  m_param.clipZ = z;
  if (m_renderer) m_renderer->set_base_height(z);
}

void AutoScanHelper::set_iter_num(int count) { m_iterNum = count; }

RetVal AutoScanHelper::set_need_add_base(bool addBase) {
  if (!m_renderer) return RETVAL_FAILED;
  m_renderer->set_need_add_base(addBase);
  return RETVAL_SUCCESS;
}

// --- Value boxes ---

RetVal AutoScanHelper::set_voxel_bbox(const std::vector<Eigen::Vector3f>& points) {
  if (m_noModel) return RETVAL_NOT_READY;
  return value_boxes::from_points(m_model.get(), m_renderer.get(), m_param.minShellSize, points,
                                  {m_valueBoxes, m_clipZ});
}

RetVal AutoScanHelper::set_voxel_bbox(const std::vector<BoundingBox>& boxes) {
  if (m_noModel) return RETVAL_NOT_READY;
  return value_boxes::from_list(m_renderer.get(), boxes, {m_valueBoxes, m_clipZ});
}

RetVal AutoScanHelper::set_voxel_bbox(const BoundingBox& box) {
  if (m_noModel) return RETVAL_NOT_READY;
  return value_boxes::from_box(m_renderer.get(), box, {m_valueBoxes, m_clipZ});
}

RetVal AutoScanHelper::set_iter_bbox(TriMesh& mesh, bool resetGrid) {
  if (m_noModel) return RETVAL_NOT_READY;
  return value_boxes::narrow(m_renderer.get(), mesh, resetGrid, {m_valueBoxes, m_clipZ});
}

RetVal AutoScanHelper::set_iter_bbox(bool resetGrid) {
  if (m_noModel) return RETVAL_NOT_READY;
  return value_boxes::narrow(m_renderer.get(), m_model.get(), resetGrid, {m_valueBoxes, m_clipZ});
}

// --- Reset ---

RetVal AutoScanHelper::replace_volume(float voxelEdge) {
  if (!m_volume) return RETVAL_FAILED;
  m_param.tsdfVoxelSize = voxelEdge;
  m_volume = std::make_unique<TsdfVolume>(kTsdfDefaultDepth, voxelEdge);
  m_lists->reset_integrated_count();
  return RETVAL_SUCCESS;
}

void AutoScanHelper::release_engines() {
  m_lists->clear();
  m_noModel = true;
  m_iterNum = 0;
  m_renderer.reset();
  m_volume.reset();
  m_model.reset();
  m_valueBoxes.clear();
}

RetVal AutoScanHelper::clear_base_all(std::string& errorText) {
  m_lists->clear();
  m_noModel = true;
  m_iterNum = 0;
  if (m_renderer) m_renderer->set_source_mesh(nullptr);
  m_model.reset();
  m_valueBoxes.clear();
  if (!m_renderer || !m_volume) return RETVAL_SUCCESS;
  const AutoScanParam param = m_param;
  const OpenGLCameraParam camera = m_camera;
  return set_base_param(param, camera, errorText);
}

}  // namespace TavoAlgorithm

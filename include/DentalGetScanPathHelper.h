#pragma once
// DentalGetScanPathHelper: dental turntable poses (DentalScanPoses.h) planned
// on a mesh the host sends, instead of a model fused here. Pose generation,
// refinement and scoring are those of DentalAutoScanHelper.
//
// Calling order: set_param -> send_scan_mesh (sizes the scoring grid once) ->
// value boxes -> get_scanPath per step (each accepts its view) ->
// send_scan_mesh again whenever the host's mesh changes -> clear_all or
// release.
//
// Units: millimetres, whole degrees. Ownership: the scan mesh is borrowed and
// must stay alive until the next send_scan_mesh, clear_all, release or
// destruction. Results (RetVal): 0 success, 2 failed (no renderer, no mesh,
// bad parameters), 3 not ready (renderer set-up failed; value boxes before
// the first send_scan_mesh; nothing chosen). No call throws. Threading: one
// caller thread; the renderer draws in the process-wide OpenGL context.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DentalScanPoses.h"
#include "RetVal.h"
#include "TavoExport.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/BoundingBox.h"
#include "geometry/TriMesh.h"

namespace TavoAlgorithm {

class EmulateBinHelper;

class TAVO_API DentalGetScanPathHelper {
 public:
  using Angles = std::pair<std::int32_t, std::int32_t>;  // (rotation, tilt)

  DentalGetScanPathHelper();
  ~DentalGetScanPathHelper();
  DentalGetScanPathHelper(const DentalGetScanPathHelper&) = delete;
  DentalGetScanPathHelper& operator=(const DentalGetScanPathHelper&) = delete;

  // 2 when the poses are refused (tilts below -30 or above 140, step below
  // 1), the stop threshold is negative or there is no field of view; 3 when
  // the renderer cannot be set up (errorText says why). Not recorded.
  RetVal set_param(const DentalAutoScanParam& param, const CameraInfo& camera, const AxisInfo& axis,
                   std::string& errorText);
  // Without renderer prints "must set param first! ". A null mesh is ignored.
  void send_scan_mesh(const BaseTriMesh* mesh);

  // The value boxes of AutoScanHelper on the scan mesh: 3 before the first
  // send_scan_mesh after set_param, clear_all or release; 2 without renderer.
  RetVal set_voxel_bbox(const std::vector<Eigen::Vector3f>& points);
  RetVal set_voxel_bbox(const std::vector<BoundingBox>& boxes);
  RetVal set_voxel_bbox(const BoundingBox& box);
  RetVal set_iter_bbox(TriMesh& mesh, bool resetGrid);
  RetVal set_iter_bbox(bool resetGrid);
  const std::vector<BoundingBox>& get_value_box() const { return m_valueBoxes; }

  // As DentalAutoScanHelper::get_scanPath on the last sent mesh; 2 without
  // renderer or mesh.
  RetVal get_scanPath(std::int32_t& rotation, std::int32_t& tilt, float& value, bool keepPatches);

  // Forgets the mesh (send it again) and reruns set_param with the stored
  // values; 0 without renderer.
  RetVal clear_all(std::string& errorText);
  RetVal release();

  const std::vector<Angles>& candidate_angles() const { return m_setup.angles; }
  float clip_z() const { return m_clipZ; }
  // The renderer (null before set_param), for inspection and tuning.
  const EmulateBinHelper* renderer() const { return m_renderer.get(); }
  EmulateBinHelper* renderer() { return m_renderer.get(); }

 private:
  std::unique_ptr<EmulateBinHelper> m_renderer;
  DentalPlanSetup m_setup;
  Angles m_lastAngles{-1, -1};
  float m_clipZ = 0.f;
  bool m_meshBoxPending = true;
  const BaseTriMesh* m_scanMesh = nullptr;
  std::vector<BoundingBox> m_valueBoxes;
};

}  // namespace TavoAlgorithm

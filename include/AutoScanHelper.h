#pragma once
// AutoScanHelper: the planning base of the turntable and robot planners
// (DentalAutoScanHelper, RobotAutoScanHelper). It owns two engines: the TSDF
// model that fuses the frames scanned so far into a mesh, and the emulated
// binocular renderer that scores candidate poses against that mesh. This class
// holds the parameters, the value boxes (the holes that still matter) and the
// reset; the subclasses add pose generation and the planning calls.
//
// Units: millimetres for positions, voxel edges and heights (world frame of
// the frames' poses, z up); degrees for the angle fields; radians for fields
// of view. Frames are borrowed: they must stay alive until clear_base_all or
// destruction. A frame's world pose is correction x its own pose.
//
// Calling order: a subclass's parameter call (set_base_param) -> frames ->
// get_triMesh (the model exists) -> value boxes -> planning calls of the
// subclass -> clear_base_all to start over with the same parameters.
//
// Results (RetVal): 0 success; 2 no renderer or volume yet (parameter call
// missing or refused), no model, or bad parameters; 3 the model does not
// exist yet (every value-box call before the first non-empty get_triMesh), or
// the renderer could not be set up. No call throws or writes errorText except
// as stated.
//
// Threading: one caller thread at a time; the calls run their own parallel
// loops. The renderer uses the process-wide hidden OpenGL context, made
// current on the calling thread.
//
// Copying is not supported: the helper owns its engines and its model.
#include <Eigen/Core>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "RetVal.h"
#include "TavoExport.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/BoundingBox.h"
#include "geometry/Cloud.h"
#include "geometry/RangeData.h"
#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm {

class EmulateBinHelper;
class RangeFrameLists;
class TriMesh;  // geometry/TriMesh.h, the half-edge mesh
class TsdfVolume;

// Planning parameters, ten 32-bit fields in this order.
struct AutoScanParam {
  std::int32_t firstAngle = 0;    // degrees; the dental planners' smallest tilt
  std::int32_t lastAngle = 120;   // degrees; the largest tilt
  std::int32_t angleStep = 10;    // degrees; grid step, start of the refinement
  float clipZ = 0.f;              // initial clip height (mm)
  std::int32_t stopThreshold = 10;  // >= 0; the robot planner stops at or below it
  std::int32_t minShellSize = 1000;  // shells with fewer faces are cut before hole finding
  float tsdfVoxelSize = 0.15f;       // TSDF voxel edge (mm)
  float planVoxelSize = 0.2f;        // edge of the renderer's scoring grid (mm)
  std::int32_t sampleStep = 0;       // frame sampling step; 0 = every point
  std::int32_t maxHoleSize = 1000;   // holes with more vertices are not filled for scoring
};

// Candidate poses: nine floats per candidate in eyes, centers and ups (the
// eye, look-at centre and up vector of cameras c0, c1, c2); fovys holds the
// vertical fields of view (radians), entry 0 for the first camera of a pair,
// entry 1 for the second.
struct OpenGLCameraParam {
  std::vector<float> eyes;
  std::vector<float> centers;
  std::vector<float> ups;
  std::vector<float> fovys;
};

class TAVO_API AutoScanHelper {
 public:
  AutoScanHelper();
  virtual ~AutoScanHelper();
  AutoScanHelper(const AutoScanHelper&) = delete;
  AutoScanHelper& operator=(const AutoScanHelper&) = delete;

  // --- TSDF side: frames in, model out. ---
  // A null frame, or weights of another length than its points, is ignored.
  // Sampling (every step-th grid row and column) applies only for a sample
  // step above 1 here.
  void send_rangeData(const RangeData* frame, const RigidMatrix& correction, bool wideSpread, bool isSample);
  void send_rangeData(const RangeData* frame, const RigidMatrix& correction, bool wideSpread,
                      const std::vector<float>& weights, bool isSample);
  // Several frames, prepared by 8 workers; false without change when the
  // lists differ in length, a frame is null or a weight list does not match
  // its frame. Boundary rings of flagged frames get the weights 0.01 / 0.02;
  // any sample step other than 0 samples. The four-list form is recorded by
  // the trace facility as "send_rangeData".
  bool send_rangeData(const std::vector<const RangeData*>& frames, const std::vector<RigidMatrix>& corrections,
                      const std::vector<bool>& wideSpread, bool isSample);
  bool send_rangeData(const std::vector<const RangeData*>& frames, const std::vector<RigidMatrix>& corrections,
                      const std::vector<bool>& wideSpread, const std::vector<std::vector<float>>& weights,
                      bool isSample);
  // Withdraws the last frame (subtracting it when it was integrated).
  void pop_rangeData();
  // Integrates the pending frames and subtracts the points marked removed
  // (vertex flag bits 0 and 3); nothing without a volume.
  void add_to_tsdf();
  // Integrates, extracts and refines the model; the helper keeps it (the
  // renderer plans on it) and copies it to `mesh`. The first non-empty model
  // after construction or clearing sizes the renderer's scoring grid and ends
  // the no-model state. Prints "rebuild mesh cost:   " with the milliseconds.
  // Recorded as "get_triMesh". 2 without a volume.
  RetVal get_triMesh(BaseTriMesh& mesh);

  // --- Planning side. ---
  // Clip height (mm): the renderer's base height, below which the model is
  // cut from the scoring mesh. The frames themselves are not clipped.
  void set_clip_z(float z);
  void set_iter_num(int count);
  // Whether the scoring mesh is cut at the base height and closed by the base
  // disc. 2 without renderer.
  RetVal set_need_add_base(bool addBase);

  // Value boxes: only voxel blocks inside them count when views are scored,
  // and the clip height drops to 2 below the lowest. Every form returns 3
  // before the model exists and 2 without renderer; a refusal of the renderer
  // (no scoring grid) is 2.
  // The boxes of the model's holes that hold one of the points (points with a
  // NaN coordinate are ignored; no point or no such hole leaves no value box,
  // so that nothing scores). 2 without model.
  RetVal set_voxel_bbox(const std::vector<Eigen::Vector3f>& points);
  // The non-empty boxes of the list; an empty list changes nothing and
  // returns 0. Empty (inverted or NaN) boxes are skipped.
  RetVal set_voxel_bbox(const std::vector<BoundingBox>& boxes);
  // This box alone, the scoring grid reset to it; an empty box changes
  // nothing and returns 0. Without renderer prints "must set param first! ".
  RetVal set_voxel_bbox(const BoundingBox& box);
  // Narrows the value boxes to the holes of `mesh` still open inside them
  // (grown by 1 mm): holes more than half on the lowest hole bottom (the cut
  // edge) and holes of more than 2000 vertices are dropped. resetGrid rebuilds
  // the scoring grid for the new boxes; otherwise only the list changes and
  // the bounds of unused candidates are re-evaluated. `mesh` is cleaned of
  // non-manifold vertices in place.
  RetVal set_iter_bbox(TriMesh& mesh, bool resetGrid);
  // The same on (a copy of) the model; 2 without model.
  RetVal set_iter_bbox(bool resetGrid);
  const std::vector<BoundingBox>& get_value_box() const { return m_valueBoxes; }

  // Forgets the frames, the model, the value boxes and the iteration count,
  // and starts fresh engines with the stored parameters: the result of that
  // parameter call, or 0 when no parameters were set yet.
  RetVal clear_base_all(std::string& errorText);

  int frame_count() const;
  int iteration_count() const { return m_iterNum; }
  bool has_model() const { return !m_noModel; }
  float clip_z() const { return m_clipZ; }

 protected:
  // Checks the parameters (2: negative stop threshold or no field of view,
  // engines kept), then replaces the TSDF volume (voxel edge tsdfVoxelSize)
  // and the renderer (planVoxelSize) and sets the renderer up with the
  // candidate poses and hole parameters: 3 when the poses are refused or the
  // OpenGL setup fails (errorText says why), 0 otherwise. Frames already held
  // are integrated afresh into the new volume by the next get_triMesh, which
  // also gives the new renderer its grid.
  RetVal set_base_param(const AutoScanParam& param, const OpenGLCameraParam& camera, std::string& errorText);
  // The renderer camera's field of view (radians), near and far planes (mm);
  // the second value is not used. 2 without renderer.
  RetVal set_opengl_camera(double fovy, double unused, double nearPlane, double farPlane);
  // Points of the integrated frames marked removed (flag bits 0 and 3, bit 3
  // is cleared) that took part in the integration: positions (frame
  // coordinates) with their smoothed normals in `cloud`, and per point the
  // frame's world pose, its weight and the frame's wide-spread flag.
  void get_delete_verts_self(Cloud& cloud, std::vector<RigidMatrix>& poses, std::vector<float>& values,
                             std::vector<bool>& flags);

  // For the subclasses: the engines (null before set_base_param), the model
  // (null before the first get_triMesh) and the stored settings.
  EmulateBinHelper* renderer() { return m_renderer.get(); }
  TsdfVolume* tsdf_volume() { return m_volume.get(); }
  const BaseTriMesh* model() const { return m_model.get(); }
  RangeFrameLists& frame_lists() { return *m_lists; }
  const AutoScanParam& param() const { return m_param; }
  // Frame corrections, one per frame sent. Replacing the correction of a
  // frame already integrated makes the next get_triMesh integrate every
  // frame afresh, so that the model follows the new pose. Indices outside
  // the frames are ignored.
  const std::vector<RigidMatrix>& frame_corrections() const;
  void set_frame_correction(int frame, const RigidMatrix& correction);
  const OpenGLCameraParam& camera_param() const { return m_camera; }
  // A fresh TSDF volume of this voxel edge (also stored as the parameter);
  // every held frame goes into it at the next get_triMesh. 2 before
  // set_base_param.
  RetVal replace_volume(float voxelEdge);
  // Drops both engines, the model, the frames and the value boxes: the state
  // of a new helper.
  void release_engines();

 private:
  std::unique_ptr<RangeFrameLists> m_lists;
  std::unique_ptr<EmulateBinHelper> m_renderer;
  std::unique_ptr<TsdfVolume> m_volume;
  int m_iterNum = 0;
  bool m_noModel = true;
  float m_clipZ = 0.f;
  std::unique_ptr<BaseTriMesh> m_model;
  AutoScanParam m_param;
  OpenGLCameraParam m_camera;
  std::vector<BoundingBox> m_valueBoxes;
};

}  // namespace TavoAlgorithm

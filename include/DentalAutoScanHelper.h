#pragma once
// DentalAutoScanHelper: next-view planning of the dental turntable scanner
// (rotation + tilt, three-camera rig; DentalScanPoses.h) over the TSDF model
// that the base class fuses from the frames sent so far.
//
// Calling order: set_param (or set_opengl_param) -> frames through the base
// class -> get_triMesh -> value boxes -> get_scanPath per planning step, each
// accepting its view; get_navigation_scanPath at any time without changing
// the planning state; clear_all to start again; release.
//
// Units: millimetres, whole degrees for the angles. Results (RetVal): 0
// success, 2 failed (no renderer or model, pose generation refused), 3 not
// ready (renderer set-up failed, no choice possible). No call throws.
// Threading: one caller thread; the renderer draws in the process-wide hidden
// OpenGL context.
#include <string>
#include <utility>
#include <vector>

#include "AutoScanHelper.h"
#include "DentalScanPoses.h"
#include "OrvaneSimpleTopos.h"
#include "geometry/TriMesh.h"

namespace TavoAlgorithm {

struct UnionHoleFaces;

class TAVO_API DentalAutoScanHelper : public AutoScanHelper {
 public:
  using Angles = std::pair<std::int32_t, std::int32_t>;  // (rotation, tilt)

  DentalAutoScanHelper();
  ~DentalAutoScanHelper() override;

  // Recorded as "das_set_param" ("param", "inputCameraInfo",
  // "inputAxisInfo"). 2 when the poses are refused (tilts below -30 or above
  // 140, step below 1) or a replay fails; 3 when the base parameters fail
  // (negative stop threshold, renderer set-up; errorText says why).
  RetVal set_param(const DentalAutoScanParam& param, const CameraInfo& camera, const AxisInfo& axis,
                   std::string& errorText);
  // New A3 axis and settings for the candidate set only: 2 when no parameters
  // were set or the poses are refused, 3 when the renderer refuses them.
  RetVal set_opengl_param(std::int32_t setting3, std::int32_t setting2, const Eigen::Vector3d& point,
                          const Eigen::Vector3d& direction);
  // The same, keeping only the candidates whose c2 looks within acos(0.2) of
  // the c0 direction of the reference pose (rotation, tilt).
  RetVal set_opengl_param_tripletray(std::int32_t rotation, std::int32_t tilt, std::int32_t setting3,
                                     std::int32_t setting2, const Eigen::Vector3d& point,
                                     const Eigen::Vector3d& direction);

  // Next view: best unused candidate, refined by the pattern search; a
  // repeat of the last angles moves by +2 rotation and +-2 tilt. Prints
  // "best value: ". 2 without renderer or model, 3 when nothing was chosen
  // (outputs untouched, value 0).
  RetVal get_scanPath(std::int32_t& rotation, std::int32_t& tilt, float& value, bool keepPatches);
  // Best pose of the (2w+1)^2 window around (rotation, tilt); rows below -30
  // or above 120 are skipped, rotations wrap. Outputs untouched when no pose
  // scores above 0. 2 without renderer or model, 3 (outputs = the given
  // angles) when the scoring mesh cannot be built.
  RetVal get_navigation_scanPath(std::int32_t rotation, std::int32_t tilt, std::int32_t ignored,
                                 std::int32_t halfWidth, std::int32_t& rotationOut, std::int32_t& tiltOut);

  // The renderer's kept hole patches; 2 without renderer.
  RetVal get_hole_vec_trimesh(std::vector<TriMesh>& patches);
  // A fresh fusion of every stored frame; 2 without frames or parameters.
  RetVal get_final_trimesh(BaseTriMesh& mesh);
  RetVal reset_tsdf_point_dist(float voxelEdge);
  RetVal clear_all(std::string& errorText);
  RetVal release();

  static void get_mesh_topo(const BaseTriMesh& mesh, OrvaneSimpleTopos& topo);
  static void find_holes(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo,
                         std::vector<std::vector<std::int32_t>>& holeVerts,
                         std::vector<std::vector<std::int32_t>>& holeFaces);
  static void find_shells(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo, std::vector<bool> done,
                          std::vector<std::vector<std::int32_t>>& shells);
  static RetVal get_all_union_hole_faces(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo,
                                         std::vector<UnionHoleFaces>& records);
  // 2 without renderer (set_param missing); otherwise removes the shells of
  // 1 ... minimum-shell-size faces (MeshShells.h rules).
  RetVal remove_small_shells(BaseTriMesh& mesh, const OrvaneSimpleTopos& topo);

  const std::vector<Angles>& candidate_angles() const { return m_setup.angles; }
  const std::vector<Angles>& preset_poses() const { return m_setup.presets; }
  const Angles& last_angles() const { return m_lastAngles; }

 private:
  // Regenerates the candidate set for a new A3 axis and settings, keeping
  // only candidates whose c2 looks within acos(0.2) of `reference` if given.
  RetVal install_poses(std::int32_t setting3, std::int32_t setting2, const Eigen::Vector3d& point,
                       const Eigen::Vector3d& direction, const Eigen::Vector3f* reference);

  DentalPlanSetup m_setup;
  Angles m_lastAngles{-1, -1};
  bool m_haveParam = false;
};

}  // namespace TavoAlgorithm

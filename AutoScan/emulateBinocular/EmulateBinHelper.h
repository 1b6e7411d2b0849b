#pragma once
// Emulated binocular renderer of the view planners. It renders the scoring
// mesh (the model with its holes closed by hole faces) off screen from the two
// cameras of a scanner pose, keeps the hole faces that the left camera sees
// from the front and the right camera also sees (shadow test against the right
// camera's depth map), and scores the resulting face-id image against the
// coverage volume. Over a fixed candidate set it picks the best unused pose by
// lazy greedy search and damps what an accepted pose has seen.
//
// Images are 1280 x 960. All OpenGL work runs in the process-wide hidden
// context (TavoGLFWWindow), made current on the calling thread by every call;
// one thread at a time. Positions are in the model's units (mm), angles in
// radians. A view that cannot be rendered or scored (no context, init_opengl
// not run or failed, mesh box not set, an OpenGL or GPU error) scores
// kScoreFailed, and a selection meeting one chooses nothing (-1).
//
// With the CUDA back end the kernels read the face-id image, the weight mask
// and the drawn mesh's vertex and index buffers on the device (CUDA-OpenGL
// interop); on the CPU back end, or where CUDA refuses the OpenGL objects,
// the images are read back and the mesh is copied at upload.
#include <GL/glew.h>

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "AutoScan/emulateBinocular/GLCamera.h"
#include "AutoScan/emulateBinocular/ScoringMesh.h"
#include "RetVal.h"
#include "common/gpu/device_memory.h"
#include "common/voxelGpu/TavoVoxelGpu.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/BoundingBox.h"
#include "geometry/TriMesh.h"

namespace TavoAlgorithm {

class EmulateBinHelper {
 public:
  // One camera: where it is, what it looks at, which way is up.
  struct GLView {
    Eigen::Vector3f eye, center, up;
  };
  static constexpr float kUnevaluated = std::numeric_limits<float>::max();
  // Score of a view that could not be rendered or scored; real scores are >= 0.
  static constexpr float kScoreFailed = -1.0f;
  // What the last select_best_candidate rendered: cheap bounds and exact
  // scores (candidates whose old bound ruled them out render nothing).
  struct SelectionStats {
    int candidates = 0;
    int boundsScored = 0;
    int exactScored = 0;
  };

  explicit EmulateBinHelper(double voxelEdge);
  ~EmulateBinHelper();
  EmulateBinHelper(const EmulateBinHelper&) = delete;
  EmulateBinHelper& operator=(const EmulateBinHelper&) = delete;

  // Context, framebuffers and the three programs; false with the reason in err
  // (shader failures are also printed).
  bool init_opengl(std::string& err);
  void set_hole_params(int minShellSize, int maxHoleSize);
  // Nine floats per candidate in each list (cameras c0, c1, c2); fovys[0] is
  // the first camera's vertical field of view, fovys[1] the second's. False
  // (reason in err) for lists of different or non-multiple-of-9 lengths or
  // fewer than two fields of view; nothing is changed then.
  bool set_scan_poses(std::vector<float> eyes, std::vector<float> centers, std::vector<float> ups,
                      std::vector<float> fovys, std::string& err);
  // One weight per candidate; missing weights count as 1.
  void set_pose_weights(std::vector<float> weights);

  // Takes a ready scoring mesh and its hole-face mask (bit f % 32 of word
  // f / 32 set for hole face f), uploads both and puts the mesh in the slot.
  // FAILED for face indices outside the vertex range, a mask shorter than the
  // faces or a failed upload; NOT_READY before init_opengl or without a
  // context. On failure nothing changes: the previous mesh stays drawn.
  RetVal set_scoring_mesh(const BaseTriMesh& mesh, std::vector<int> holeFaceMask);

  // The mesh slot. The planner puts its model there (borrowed: it must outlive
  // its stay in the slot); set_mesh_box measures and update_hole_mesh copies
  // what the slot holds, and update_hole_mesh leaves its own scoring mesh
  // there (owned) until release_scoring_mesh or the next model.
  void set_source_mesh(const BaseTriMesh* model);
  const BaseTriMesh* scoring_mesh() const { return m_mesh ? m_mesh.get() : m_sourceMesh; }
  void release_scoring_mesh();
  // Whether vertices below the base height are cut from the scoring mesh and
  // the base disc is merged under it (default true).
  void set_need_add_base(bool addBase) { m_addBase = addBase; }
  // Starts at the largest float, so that a model with vertex flags is cut
  // away entirely until the planner sets it (here or by value boxes).
  void set_base_height(float z) { m_baseHeight = z; }

  // Statuses of update_hole_mesh.
  enum HoleMeshStatus : int {
    HOLE_MESH_UPLOADED = 1,    // uploaded, or nothing to scan ("none hole need scan !")
    HOLE_MESH_NO_OPENGL = 2,   // init_opengl has not run
    HOLE_MESH_NO_CONTEXT = 3,  // the context could not be made current
    HOLE_MESH_GL_ERROR = 4,    // an upload failed; the previous mesh stays drawn
    HOLE_MESH_EMPTY = 6,       // nothing of the model is left
  };
  // Builds the scoring mesh from the slot (ScoringMesh.h) with the hole
  // parameters, base height, add-base flag and value boxes, puts it in the
  // slot, merges the base disc under it (add base), builds the hole-face mask
  // and uploads mesh and mask. firstHoleFace: the first hole face of the
  // slot's mesh. When nothing is left or nothing needs scanning the previous
  // upload is no longer drawn, so later scores are 0. keepPatches keeps the
  // patches of the large holes (hole_patches). Sequential; makes the shared
  // context current.
  int update_hole_mesh(bool keepPatches, int& firstHoleFace);
  // The robot planners' choice: -1 with "base tri mesh is empty!" for an
  // empty slot; else update_hole_mesh and, when it uploaded hole faces,
  // select_best_candidate (index, value = its result; -1 when the selection
  // fails); otherwise 0 with value 0, results all 0 and no candidate marked
  // used.
  int choose_robot_pose(std::vector<float>& results, float& value, bool keepPatches);
  const std::vector<TriMesh>& hole_patches() const { return m_holePatches; }
  // Mask of the mesh drawn now (empty before the first upload).
  const std::vector<int>& hole_face_mask() const { return m_holeFaceMask; }
  // True while the last upload is drawn and has hole faces.
  bool hole_faces_drawn() const { return m_holeFacesDrawn; }

  // Grid over the slot mesh's box moved by +1 on every axis.
  void set_mesh_box();
  // FAILED before the mesh box is set.
  RetVal set_value_boxes(const std::vector<BoundingBox>& boxes, bool keepBounds);
  void add_value_box(const BoundingBox& box, bool reset);
  void set_value_boxes_keep_grid(const std::vector<BoundingBox>& boxes);

  // Score of one pose (lists of one candidate's cameras; F = c0, S = c1),
  // with the visit mask of what it sees left in the volume. kScoreFailed for
  // lists too short for two cameras, or when rendering or scoring fails.
  // Coarse: rendered as a bound is (set_bound_image_divisor).
  float evaluate_pose(const std::vector<float>& eyes, const std::vector<float>& centers,
                      const std::vector<float>& ups, const std::vector<float>& fovys, bool swap,
                      bool coarse = false);
  // Lazy greedy choice of the best unused candidate; results gets one float
  // per candidate (exact score for those scored exactly, else a bound). The
  // chosen candidate is marked used. -1 for no candidates, or when the
  // context or any scoring fails: then no candidate is marked used and the
  // saved visit mask is cleared, so that accept_view damps nothing.
  int select_best_candidate(std::vector<float>& results);
  // Damps the voxels that the last chosen view saw.
  void accept_view();
  void set_opengl_camera(double fovy, double ignored, double nearPlane, double farPlane);

  // Renders the pair and scores it (full kernel unless simple; coarse: at the
  // bound pass's image size); kScoreFailed on failure.
  float score_view_pair(const GLView& first, const GLView& second, bool swap, bool simple, bool coarse = false);
  // The bound pass of select_best_candidate renders images `divisor` times
  // smaller on each side and scales the score by divisor^2: an estimate of
  // the full-size bound at a fraction of the fill and read-back cost, which
  // dominate on a software rasteriser. 1 (the default) renders bounds at full
  // size. False, unchanged, unless divisor >= 1 divides both 1280 and 960.
  bool set_bound_image_divisor(int divisor);
  int bound_image_divisor() const { return m_boundDivisor; }
  // Before any bound is rendered, select_best_candidate bounds every
  // candidate by the projected area of the hole faces its bound camera faces
  // (HoleAreaBound.h), so that the bound pass renders only those that may
  // still come within reach of the best (default off).
  void set_area_bounds(bool on) { m_areaBounds = on; }
  // The area bound of every candidate (weight included) for the mesh drawn
  // now; empty before the mesh box is set.
  std::vector<float> area_bounds();
  // Hole-face bounds (default off): the bound pass of select_best_candidate
  // draws the hole faces alone, from the cameras of the exact score and at
  // full size, with weight 1 on every pixel. Without the rest of the mesh
  // nothing but hole faces occludes or shadows, so every pixel the exact
  // score counts is counted again, at a weight no smaller: an upper bound of
  // the exact score, at the cost of the hole faces instead of the whole mesh.
  // The lazy greedy choice is then the candidate of best exact score (the
  // area bounds, when on, are computed for the same camera). Overrides
  // set_bound_image_divisor for the bound pass.
  void set_hole_face_bounds(bool on) { m_holeFaceBounds = on; }
  bool hole_face_bounds() const { return m_holeFaceBounds; }
  // That bound for the pair that score_view_pair(first, second, false, ...)
  // scores exactly; kScoreFailed on failure.
  float hole_face_bound(const GLView& first, const GLView& second);
  // The same for the pose that evaluate_pose(eyes, ..., swap = false) scores.
  float hole_face_bound_of_pose(const std::vector<float>& eyes, const std::vector<float>& centers,
                                const std::vector<float>& ups, const std::vector<float>& fovys);
  // Host copies of the images of the last scored pair, rows bottom-up as
  // OpenGL stores them.
  std::vector<std::uint8_t> last_face_ids() const;
  std::vector<std::uint8_t> last_weight_mask() const;
  // True when both images reach the kernels through CUDA-OpenGL interop.
  bool images_on_device() const;
  // MVP of the left camera of the last scored pair (column-major).
  const std::array<float, 16>& last_left_mvp() const { return m_lastLeftMvp; }

  bool opengl_ready() const { return m_openglReady; }
  int width() const { return m_width; }
  int height() const { return m_height; }
  int candidate_count() const { return static_cast<int>(m_weights.size()); }
  bool candidate_used(int i) const { return m_used[i]; }
  const std::vector<std::pair<int, float>>& ranking() const { return m_ranking; }
  const SelectionStats& last_selection_stats() const { return m_stats; }
  const TavoVoxelGpu& voxels() const { return m_voxels; }
  bool mesh_box_set() const { return m_meshBoxSet; }
  Eigen::Vector3f mesh_box_min() const { return m_boxMin; }
  const std::vector<BoundingBox>& value_boxes() const { return m_valueBoxes; }
  float base_height() const { return m_baseHeight; }
  bool add_base() const { return m_addBase; }

 private:
  struct GLObjects;
  struct ImageTargets;
  GLView candidate_camera(int candidate, int camera) const;
  // The images to draw into; null when the coarse ones cannot be made.
  ImageTargets* targets(bool coarse);
  // Aims the camera; returns its clip transform.
  std::array<float, 16> aim(const GLView& v, double fovy);
  bool render_and_score(const GLView& first, const GLView& second, bool swap, bool simple, bool coarse,
                        float& score);
  bool render_hole_bound(const GLView& first, const GLView& second, float& score);
  bool score_candidate(int candidate, bool bound, float& score);
  int fail_selection();
  // The whole scoring mesh, or its hole faces alone.
  void draw_mesh(bool holeFacesOnly = false) const;
  bool score_images(bool simple, ImageTargets& t, float& score);
  void reset_bounds(bool keepUsed);
  int upload_scoring_mesh(const BaseTriMesh& mesh, std::vector<int> holeFaceMask);
  void stop_drawing();

  // Candidate pose set, weights, ranking, fields of view.
  std::vector<float> m_eyes, m_centers, m_ups;
  std::vector<float> m_weights;
  std::vector<std::pair<int, float>> m_ranking;
  std::vector<float> m_fovys;
  // Mesh slot: the owned scoring mesh, else the planner's model; the mask
  // and the disc and patches of the hole mesh.
  std::unique_ptr<BaseTriMesh> m_mesh;
  const BaseTriMesh* m_sourceMesh = nullptr;
  std::vector<int> m_holeFaceMask;
  BaseTriMesh m_baseDisc = make_base_disc();
  std::vector<TriMesh> m_holePatches;
  bool m_holeFacesDrawn = false;
  std::unique_ptr<GLObjects> m_gl;
  int m_width = 1280;
  int m_height = 960;
  int m_boundDivisor = 1;
  bool m_areaBounds = false;
  bool m_holeFaceBounds = false;
  GLCamera m_camera;
  Eigen::Vector3f m_boxMin, m_boxMax;
  std::vector<BoundingBox> m_valueBoxes;
  double m_voxelEdge;
  float m_baseHeight = std::numeric_limits<float>::max();
  int m_dims[3] = {0, 0, 0};
  int m_minShellSize = 0;
  int m_maxHoleSize = 0;
  std::vector<bool> m_used;
  SelectionStats m_stats;
  // Back-end copies: grid dims, box min, mesh, images.
  TavoGPUAlgorithm::DeviceBuffer<int> m_devDims;
  TavoGPUAlgorithm::DeviceBuffer<float> m_devBoxMin;
  TavoVoxelGpu m_voxels;
  TavoGPUAlgorithm::DeviceBuffer<std::uint8_t> m_devFaceIds;
  TavoGPUAlgorithm::DeviceBuffer<std::uint8_t> m_devWeights;
  std::array<float, 16> m_lastLeftMvp{};
  bool m_openglReady = false;
  bool m_meshBoxSet = false;
  bool m_addBase = true;
};

}  // namespace TavoAlgorithm

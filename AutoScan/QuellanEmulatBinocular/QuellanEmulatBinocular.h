#pragma once
// Renderer of the plane-scanner planner. It draws a finished model with its
// still-unscanned faces marked, from the candidate directions around the
// model and from positions on a grid in a viewing plane, and counts the
// marked pixels (unscanned faces seen from the front, not hidden by any
// face); from a chosen view it lists the unscanned faces it shows.
//
// Images are 1280 x 960; the camera has a vertical field of view of
// 2 atan(0.71428573), near plane 1 and far plane 10000 (mm). All OpenGL
// work runs in the process-wide hidden context (TavoGLFWWindow), made
// current on the calling thread by every call; one thread at a time. The
// pixel kernels run on the active back end (CUDA or the CPU).
#include <GL/glew.h>

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AutoScan/emulateBinocular/GLCamera.h"
#include "common/gpu/device_memory.h"
#include "geometry/BaseTriMesh.h"

namespace TavoAlgorithm {

class QuellanEmulatBinocular {
 public:
  // A view needs at least this many marked pixels to be chosen.
  static constexpr int kMinMarkedPixels = 1000;

  // Creates the hidden context (if no renderer did yet), the framebuffers and
  // the two programs. ready() tells whether that worked; error() says why not.
  QuellanEmulatBinocular();
  ~QuellanEmulatBinocular();
  QuellanEmulatBinocular(const QuellanEmulatBinocular&) = delete;
  QuellanEmulatBinocular& operator=(const QuellanEmulatBinocular&) = delete;

  bool ready() const { return m_ready; }
  const std::string& error() const { return m_error; }
  int width() const { return m_width; }
  int height() const { return m_height; }

  // Candidate eyes and ups, three floats per candidate (a trailing partial
  // triple is dropped), all looking at `center`.
  void set_candidates(std::vector<float> eyes, std::vector<float> ups, const Eigen::Vector3f& center);
  int candidate_count() const { return static_cast<int>(m_eyes.size() / 3); }
  Eigen::Vector3f candidate_eye(int i) const { return triple(m_eyes, i); }
  Eigen::Vector3f candidate_up(int i) const { return triple(m_ups, i); }
  const Eigen::Vector3f& center() const { return m_center; }

  // The working box that the viewing-plane rays are cast against; written
  // as "working_box.stl" when debug dumps are on.
  void set_box_mesh(BaseTriMesh box);
  const BaseTriMesh& box_mesh() const { return m_box; }

  // Uploads the model's vertices and faces and marks every face unscanned.
  // False, with the previous model kept, when not ready, for face indices
  // outside the vertices, or for more faces than the face mask can hold.
  bool set_model(const BaseTriMesh& mesh);
  int face_count() const { return m_faceCount; }
  // Packs the flags (true = still to be scanned; missing flags count as
  // scanned) into (face count / 32) + 1 words and uploads them as the mask.
  void set_face_flags(const std::vector<bool>& unscanned);
  // How many times a face mask was uploaded (set_model included).
  int mask_uploads() const { return m_maskUploads; }

  // Best candidate direction: the one with the most marked pixels among those
  // with at least 1000 (the earlier wins a tie). Outputs its eye, the centre
  // and its up and returns its index; -1 (outputs untouched) when none has
  // 1000 or the context cannot be made current. Prints "max num:  " and
  // "best idx: ".
  int find_plane(Eigen::Vector3f& eye, Eigen::Vector3f& center, Eigen::Vector3f& up);
  // Best position on the viewing-plane grid of candidate k (577 entries, see
  // plane_scan::view_grid), looking with candidate k's up: outputs the eye and
  // look-at centre of the entry with the most marked pixels (the earlier
  // wins a tie) and returns its index, or -1 (outputs untouched) when that is
  // fewer than 1000, k is no candidate or there is no context. Prints
  // "scan maxNum:  " and "scan bestIdx: "; with dumps on the mask of the
  // candidate's own view is written as "find_path_<n>.png".
  int find_path(int k, Eigen::Vector3f& eye, Eigen::Vector3f& center);
  // Appends to `faces`, in face order, every face that the view shows as
  // marked. False, `faces` as it was, without a context, for a degenerate
  // view or on a GPU error. Prints "scan end".
  bool scan(const Eigen::Vector3f& eye, const Eigen::Vector3f& center, const Eigen::Vector3f& up,
            std::vector<int>& faces);
  // Marked pixels of one view; -1 without a context or on a GPU error.
  int count_marked_pixels(const Eigen::Vector3f& eye, const Eigen::Vector3f& center, const Eigen::Vector3f& up);

  // Counts of the last find_plane (one per candidate) or find_path (one per
  // grid entry, -1 for entries whose ray missed the box).
  const std::vector<int>& last_counts() const { return m_lastCounts; }
  // Images of the last render, rows bottom-up as OpenGL reads them: the mask
  // (one byte per pixel) and the face ids (RGBA) of the last scan.
  const std::vector<std::uint8_t>& last_mask() const { return m_hostMask; }
  const std::vector<std::uint8_t>& last_face_ids() const { return m_hostIds; }
  // MVP of the last render (column-major).
  const std::array<float, 16>& last_mvp() const { return m_lastMvp; }

  // Debug dumps go under `folder` (created when needed); empty (the
  // default) switches them off.
  void set_debug_folder(std::string folder) { m_debugFolder = std::move(folder); }
  const std::string& debug_folder() const { return m_debugFolder; }

 private:
  struct GLObjects;
  static Eigen::Vector3f triple(const std::vector<float>& v, int i) {
    return {v[3 * i], v[3 * i + 1], v[3 * i + 2]};
  }
  bool make_current();
  // Draws the model into `fbo` with `program` from the view; false for a
  // degenerate view.
  bool render(GLuint fbo, GLuint program, const Eigen::Vector3f& eye, const Eigen::Vector3f& center,
              const Eigen::Vector3f& up);
  // Reads the mask back and counts it; -1 on a GPU error.
  int count_mask();
  std::string debug_path(const std::string& name) const;
  void dump_box() const;
  void dump_mask(const std::string& name) const;

  std::unique_ptr<GLObjects> m_gl;
  bool m_ready = false;
  std::string m_error;
  int m_width = 1280;
  int m_height = 960;
  GLCamera m_camera;
  int m_faceCount = 0;
  std::vector<float> m_eyes, m_ups;
  Eigen::Vector3f m_center = Eigen::Vector3f::Zero();
  BaseTriMesh m_box;
  int m_maskUploads = 0;
  int m_findPathCalls = 0;
  std::vector<int> m_lastCounts;
  std::vector<std::uint8_t> m_hostMask, m_hostIds;
  std::array<float, 16> m_lastMvp{};
  // Back-end copies of the images and the kernels' outputs.
  TavoGPUAlgorithm::DeviceBuffer<std::uint8_t> m_devMask, m_devIds;
  TavoGPUAlgorithm::DeviceBuffer<int> m_devCounter;
  std::string m_debugFolder;
};

}  // namespace TavoAlgorithm

#pragma once
// QuellanAutoScanHelper: view planning of the plane scanner over a finished
// model. It keeps, per face of the model, whether the face still has to be
// scanned; proposes the candidate direction ("plane") from which most
// unscanned surface is visible, then the best position on a grid in that
// viewing plane; reports which faces a view covers and marks them scanned.
//
// Calling order: loadSTL; then repeatedly find_plane, find_path (stop when
// done), scan with the view find_path returned, update_scan with the faces
// scan reported.
//
// Units and frames: the model's coordinates, in millimetres (the candidate
// eyes lie 2000 mm from the model, the viewing-plane grid spans +-1100 mm).
// Every view is an eye, a look-at centre and an up vector in that frame.
// "Visible" means: seen from the front by the 1280 x 960 camera of vertical
// field of view 2 atan(0.71428573), near 1, far 10000, not hidden by any
// face of the model (scanned or not); a view counts when it shows at least
// 1000 pixels of unscanned faces.
//
// Ownership and threading: the model is copied into the renderer; the helper
// owns the renderer, which draws in the process-wide hidden OpenGL context.
// One caller thread at a time, and it must be able to make that context
// current. No call throws.
#include <Eigen/Core>
#include <memory>
#include <string>
#include <vector>

#include "RetVal.h"
#include "TavoExport.h"
#include "geometry/BaseTriMesh.h"

namespace TavoAlgorithm {

class QuellanEmulatBinocular;

class TAVO_API QuellanAutoScanHelper {
 public:
  // Creates the renderer and its OpenGL objects (see renderer_ready()).
  QuellanAutoScanHelper();
  ~QuellanAutoScanHelper();
  QuellanAutoScanHelper(const QuellanAutoScanHelper&) = delete;
  QuellanAutoScanHelper& operator=(const QuellanAutoScanHelper&) = delete;

  // Installs the model: every face unscanned, the model centre c (centre of
  // the bounding box in x and y, its minimum z), the 325 candidate views
  // around c and the working box (the model's oriented box grown by 200 mm).
  // Every face is drawn and counted, deleted marks included: compact the
  // mesh first. May be called again for a new model. Returns 0; 2 (previous
  // model kept) for a mesh without faces, with a face index outside its
  // vertices or a non-finite vertex; 3 when the renderer has no OpenGL
  // context (the model is installed, nothing can be rendered).
  RetVal loadSTL(const BaseTriMesh& mesh);

  // The candidate direction with the most unscanned pixels (at least 1000;
  // the earlier candidate wins a tie): bestIdx, its eye, c and its up.
  // bestIdx = -1, outputs untouched, when no candidate shows 1000 pixels, no
  // model is loaded or there is no OpenGL context. Prints "max num:  ",
  // "best idx: " and "find plane cost: ". Returns 0.
  RetVal find_plane(int& bestIdx, Eigen::Vector3f& eye, Eigen::Vector3f& center, Eigen::Vector3f& up);

  // The best of the 577 positions on the viewing-plane grid of candidate
  // idx, all looking along that candidate's direction: its eye and look-at
  // centre, and the candidate's up. done = true (eye and centre untouched)
  // when no position shows 1000 unscanned pixels, idx is no candidate (-1
  // from find_plane included) or there is no context. Prints "scan maxNum:  ",
  // "scan bestIdx: " and "find path cost: ". Returns 0.
  RetVal find_path(int idx, Eigen::Vector3f& eye, Eigen::Vector3f& center, Eigen::Vector3f& up, bool& done);

  // Appends to `faces`, in face order, the unscanned faces that the view
  // shows from the front. Prints "scan end". Returns 0; 3 (faces as they
  // were) without a context, a GPU error included; 2 before a model is
  // loaded or for a degenerate view (eye at the centre, up along the view,
  // non-finite values).
  RetVal scan(const Eigen::Vector3f& eye, const Eigen::Vector3f& center, const Eigen::Vector3f& up,
              std::vector<int>& faces);

  // Marks the listed faces scanned and hands the flags to the renderer;
  // indices outside the model are skipped. An empty list changes and
  // uploads nothing. Returns 0.
  RetVal update_scan(const std::vector<int>& faces);

  // Debug dumps (the working box as "working_box.stl" at loadSTL, the first
  // view of each find_path as "find_path_<n>.png") go under `folder`,
  // created when needed; empty, the default, switches them off.
  void set_debug_folder(const std::string& folder);

  // Model centre c; one flag per face, true = still to be scanned.
  const Eigen::Vector3f& model_center() const { return m_center; }
  const std::vector<bool>& unscanned_flags() const { return m_unscanned; }
  int unscanned_count() const;
  bool renderer_ready() const;
  const QuellanEmulatBinocular& renderer() const { return *m_renderer; }

 private:
  Eigen::Vector3f m_center = Eigen::Vector3f::Zero();
  std::vector<bool> m_unscanned;
  std::unique_ptr<QuellanEmulatBinocular> m_renderer;
};

}  // namespace TavoAlgorithm

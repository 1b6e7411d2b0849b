#pragma once
// RemoveBadVertHelper: removes, across the range frames of one scan, the
// vertices that other frames show to be wrong. Each frame is cleaned, the
// vertices its strict cleaning would drop become suspects, the cleaned frame
// is rendered from its own camera into an 8-bit depth image, and run() marks
// deleted every suspect that lies in front of another frame's surface.
//
// Frames: camera space, camera at the origin looking along +z with image y
// down (-y up); the pose handed with a frame, times the frame's own rigid
// matrix, maps it into the world. Frames are borrowed and changed in place
// (cleaned, flagged); they must stay alive until clear_all or destruction.
// Vertex flags set: 4 kept by the strict cleaning, 2 dropped by it, 1
// deleted by run, 1 | 8 deleted by a later run against newer frames.
// Needs the process-wide off-screen OpenGL context; one thread at a time,
// the thread that calls init_render. Not copyable. Never throws.
#include <memory>
#include <vector>

#include "TavoExport.h"
#include "geometry/RangeData.h"
#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm {

class DepthFrameRenderer;

class TAVO_API RemoveBadVertHelper {
 public:
  RemoveBadVertHelper();
  ~RemoveBadVertHelper();
  RemoveBadVertHelper(const RemoveBadVertHelper&) = delete;
  RemoveBadVertHelper& operator=(const RemoveBadVertHelper&) = delete;

  // Creates the renderer once; false (and no renderer) without an OpenGL context.
  bool init_render();
  // Perspective of the frames' cameras (world units, vertical field of view
  // in radians); applies to frames sent afterwards. Ignored before
  // init_render or for near <= 0, far <= near or fovy outside (0, pi).
  void set_render_camera(double nearPlane, double fovy, double farPlane);
  // false for a null frame ("rge is empty !"), before init_render ("need init
  // renderer !", the frame is still cleaned) or when it could not be rendered.
  bool send_rangeData(RangeData* rge, const RigidMatrix& rt);
  // false, nothing sent, when the lists differ in length; otherwise true,
  // a frame that fails is reported and skipped.
  bool send_rangeData(const std::vector<RangeData*>& rges, const std::vector<RigidMatrix>& rts);
  // Tests the frames sent since the last run against all others, and the
  // earlier ones against the new ones. Nothing with fewer than two frames.
  void run();
  // Forgets the frames and their renderings; the renderer stays. true.
  bool clear_all();
  // Removes the frame's vertices on long grid edges, spikes and small pieces
  // (the frame is compacted). Nothing for a null frame.
  void delete_long_edge(RangeData* rge);

  int processed_count() const { return m_processed; }
  int frame_count() const { return static_cast<int>(m_frames.size()); }

 private:
  std::vector<RangeData*> m_frames;
  std::vector<RigidMatrix> m_poses;
  std::unique_ptr<DepthFrameRenderer> m_renderer;
  int m_processed = 0;
};

}  // namespace TavoAlgorithm

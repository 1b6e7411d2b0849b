#pragma once
// Off-screen renderer of 8-bit depth frames (window depth x 255: 0 at the near
// plane, 255 at the far plane, 0 where nothing is drawn) used by the bad-vertex
// removal. Every rendered frame keeps its depth image (width x height bytes,
// rows bottom-up) and its column-major view-projection matrix in back-end
// memory, in render order, until release_frames; on a CUDA device the images
// go there through CUDA-OpenGL interop. Uses the process-wide hidden context;
// one thread at a time.
#include <GL/glew.h>

#include <memory>
#include <string>
#include <vector>

#include "AutoScan/emulateBinocular/GLCamera.h"
#include "common/gpu/device_memory.h"
#include "geometry/BaseTriMesh.h"

namespace TavoAlgorithm {

class DepthFrameRenderer {
 public:
  DepthFrameRenderer();
  ~DepthFrameRenderer();
  DepthFrameRenderer(const DepthFrameRenderer&) = delete;
  DepthFrameRenderer& operator=(const DepthFrameRenderer&) = delete;

  // Context, framebuffer and buffers; false with the reason in err.
  bool init(std::string& err);
  // Shader errors are printed; false then.
  bool build_program();
  // 1 when rendered and stored, 0 when the renderer is not ready or the
  // context or the device failed.
  int render_frame(const BaseTriMesh& mesh, const Eigen::Vector3f& eye, const Eigen::Vector3f& center,
                   const Eigen::Vector3f& up);
  void release_frames();

  const std::vector<TavoGPUAlgorithm::DeviceBuffer<std::uint8_t>>& depth_images() const { return m_images; }
  const std::vector<TavoGPUAlgorithm::DeviceBuffer<float>>& view_projections() const { return m_matrices; }
  int width() const { return m_width; }
  int height() const { return m_height; }
  GLCamera& camera() { return m_camera; }

 private:
  struct GLObjects;
  int m_width = 1280;
  int m_height = 960;
  std::unique_ptr<GLObjects> m_gl;
  GLCamera m_camera;
  std::vector<TavoGPUAlgorithm::DeviceBuffer<std::uint8_t>> m_images;
  std::vector<TavoGPUAlgorithm::DeviceBuffer<float>> m_matrices;
};

}  // namespace TavoAlgorithm

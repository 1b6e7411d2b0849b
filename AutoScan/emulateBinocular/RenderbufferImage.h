#pragma once
// A colour renderbuffer as the kernels read it: its pixels copied into
// back-end memory (device_memory.h). On the CUDA back end the renderbuffer is
// registered with CUDA (read-only) and copied device to device, so the image
// never reaches the host; on the CPU back end, or where CUDA cannot register
// the renderbuffer (an OpenGL context that is not on the CUDA device), it is
// read back with glReadPixels. Rows run bottom-up, as OpenGL stores them.
//
// Needs the OpenGL context current on the calling thread; one thread at a
// time. detach() (or destruction) must come before the renderbuffer is deleted.
#include <GL/glew.h>

#include <cstdint>
#include <string>
#include <vector>

namespace TavoAlgorithm {

class RenderbufferImage {
 public:
  RenderbufferImage() = default;
  ~RenderbufferImage() { detach(); }
  RenderbufferImage(const RenderbufferImage&) = delete;
  RenderbufferImage& operator=(const RenderbufferImage&) = delete;

  // `renderbuffer` is colour attachment 0 of `framebuffer`, width x height
  // pixels of 1 (GL_R8) or 4 (GL_RGBA8) bytes. False (reason in err) only for
  // bad sizes; a refused CUDA registration falls back to read-back.
  bool attach(GLuint framebuffer, GLuint renderbuffer, int width, int height, int bytesPerPixel,
              std::string& err);
  void detach();

  // Copies the renderbuffer's current pixels to dst, bytes() bytes of
  // back-end memory. False, with the GPU error line written, when OpenGL or
  // the back end fails; dst is then undefined.
  bool copy_to(std::uint8_t* dst);

  std::size_t bytes() const { return static_cast<std::size_t>(m_width) * m_height * m_bytesPerPixel; }
  // True when copies go device to device through CUDA-OpenGL interop.
  bool on_device() const { return m_resource != nullptr; }
  // Why CUDA refused the registration (empty when it was not asked).
  const std::string& interop_refusal() const { return m_refusal; }

 private:
  bool read_back(std::uint8_t* dst);

  GLuint m_framebuffer = 0;
  int m_width = 0;
  int m_height = 0;
  int m_bytesPerPixel = 0;
  void* m_resource = nullptr;  // cudaGraphicsResource_t while registered
  std::string m_refusal;
  std::vector<std::uint8_t> m_staging;  // host copy on the way to the device
};

}  // namespace TavoAlgorithm

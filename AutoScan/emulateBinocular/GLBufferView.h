#pragma once
// An OpenGL buffer as the kernels read it. On the CUDA back end the buffer is
// registered with CUDA (read-only) and mapped while the kernels run, so its
// contents are never copied; on the CPU back end, or where CUDA cannot
// register the buffer (an OpenGL context that is not on the CUDA device), the
// view keeps its own back-end copy of the bytes given at attach.
//
// Needs the OpenGL context current on the calling thread; one thread at a
// time. detach() (or destruction) must come before the buffer is deleted.
// Movable, not copyable.
#include <GL/glew.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "common/gpu/device_memory.h"

namespace TavoAlgorithm {

class GLBufferView {
 public:
  GLBufferView() = default;
  ~GLBufferView() { detach(); }
  GLBufferView(GLBufferView&& other) noexcept { *this = std::move(other); }
  GLBufferView& operator=(GLBufferView&& other) noexcept;
  GLBufferView(const GLBufferView&) = delete;
  GLBufferView& operator=(const GLBufferView&) = delete;

  // `buffer` holds `bytes` bytes equal to `data`. False (GPU error line
  // written) when neither the registration nor the back-end copy could be
  // made; the view is then empty.
  bool attach(GLuint buffer, const void* data, std::size_t bytes);
  void detach();

  // Back-end address of the buffer's bytes, valid until unmap(); null for an
  // empty view. False (GPU error line written) when mapping fails.
  bool map(const void*& contents);
  void unmap();

  std::size_t bytes() const { return m_bytes; }
  // True when the kernels read the OpenGL buffer itself through interop.
  bool on_device() const { return m_resource != nullptr; }

 private:
  struct Unregister {
    void operator()(void* resource) const;
  };
  std::unique_ptr<void, Unregister> m_resource;  // cudaGraphicsResource_t while registered
  TavoGPUAlgorithm::DeviceBuffer<std::uint8_t> m_copy;
  std::size_t m_bytes = 0;
  bool m_mapped = false;
};

}  // namespace TavoAlgorithm

#include "AutoScan/emulateBinocular/GLBufferView.h"

#if defined(TAVO_WITH_CUDA)
#include <cuda_gl_interop.h>
#include <cuda_runtime.h>
#endif

namespace TavoAlgorithm {

using namespace TavoGPUAlgorithm;

void GLBufferView::Unregister::operator()(void* resource) const {
#if defined(TAVO_WITH_CUDA)
  cudaGraphicsUnregisterResource(static_cast<cudaGraphicsResource_t>(resource));
  cudaGetLastError();  // nothing is left to do about a failed release
#else
  (void)resource;
#endif
}

GLBufferView& GLBufferView::operator=(GLBufferView&& other) noexcept {
  if (this == &other) return *this;
  detach();
  m_resource = std::move(other.m_resource);
  m_copy = std::move(other.m_copy);
  m_bytes = std::exchange(other.m_bytes, 0);
  m_mapped = std::exchange(other.m_mapped, false);
  return *this;
}

bool GLBufferView::attach(GLuint buffer, const void* data, std::size_t bytes) {
  detach();
  if (bytes == 0) return true;
#if defined(TAVO_WITH_CUDA)
  if (active_backend() == Backend::Cuda) {
    cudaGraphicsResource_t resource = nullptr;
    if (cudaGraphicsGLRegisterBuffer(&resource, buffer, cudaGraphicsRegisterFlagsReadOnly) == cudaSuccess) {
      m_resource.reset(resource);
      m_bytes = bytes;
      return true;
    }
    cudaGetLastError();  // the copy serves instead; no error is left behind
  }
#else
  (void)buffer;
#endif
  if (!m_copy.allocate(bytes)) {
    TAVO_CHECK_GPU();
    return false;
  }
  m_copy.upload(static_cast<const std::uint8_t*>(data), bytes);
  if (!TAVO_CHECK_GPU()) {
    m_copy.release();
    return false;
  }
  m_bytes = bytes;
  return true;
}

void GLBufferView::detach() {
  unmap();
  m_resource.reset();
  m_copy.release();
  m_bytes = 0;
}

bool GLBufferView::map(const void*& contents) {
  contents = nullptr;
  if (m_bytes == 0) return true;
#if defined(TAVO_WITH_CUDA)
  if (m_resource) {
    auto resource = static_cast<cudaGraphicsResource_t>(m_resource.get());
    // Mapping waits for the OpenGL work that wrote the buffer.
    if (!m_mapped) {
      if (cudaGraphicsMapResources(1, &resource, 0) != cudaSuccess) {
        TAVO_CHECK_GPU();
        return false;
      }
      m_mapped = true;
    }
    void* p = nullptr;
    std::size_t size = 0;
    if (cudaGraphicsResourceGetMappedPointer(&p, &size, resource) != cudaSuccess || size < m_bytes) {
      TAVO_CHECK_GPU();
      unmap();
      return false;
    }
    contents = p;
    return true;
  }
#endif
  contents = m_copy.data();
  return true;
}

void GLBufferView::unmap() {
#if defined(TAVO_WITH_CUDA)
  if (m_mapped && m_resource) {
    auto resource = static_cast<cudaGraphicsResource_t>(m_resource.get());
    cudaGraphicsUnmapResources(1, &resource, 0);
  }
#endif
  m_mapped = false;
}

}  // namespace TavoAlgorithm

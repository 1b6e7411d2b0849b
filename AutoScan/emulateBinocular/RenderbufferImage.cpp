#include "AutoScan/emulateBinocular/RenderbufferImage.h"

#include <string>

#include "common/console.h"
#include "common/gpu/device_memory.h"

#if defined(TAVO_WITH_CUDA)
#include <cuda_gl_interop.h>
#include <cuda_runtime.h>
#endif

namespace TavoAlgorithm {

using namespace TavoGPUAlgorithm;

bool RenderbufferImage::attach(GLuint framebuffer, GLuint renderbuffer, int width, int height, int bytesPerPixel,
                               std::string& err) {
  detach();
  if (width <= 0 || height <= 0 || (bytesPerPixel != 1 && bytesPerPixel != 4)) {
    err = "bad renderbuffer image size";
    return false;
  }
  m_framebuffer = framebuffer;
  m_width = width;
  m_height = height;
  m_bytesPerPixel = bytesPerPixel;
#if defined(TAVO_WITH_CUDA)
  if (active_backend() == Backend::Cuda) {
    cudaGraphicsResource_t resource = nullptr;
    const cudaError_t e =
        cudaGraphicsGLRegisterImage(&resource, renderbuffer, GL_RENDERBUFFER, cudaGraphicsRegisterFlagsReadOnly);
    if (e == cudaSuccess) {
      m_resource = resource;
    } else {
      m_refusal = cudaGetErrorString(e);
      cudaGetLastError();  // the read-back path serves instead; no error is left behind
    }
  }
#else
  (void)renderbuffer;
#endif
  return true;
}

void RenderbufferImage::detach() {
#if defined(TAVO_WITH_CUDA)
  if (m_resource) {
    cudaGraphicsUnregisterResource(static_cast<cudaGraphicsResource_t>(m_resource));
    cudaGetLastError();  // the OpenGL object may be gone already; nothing is left to do
  }
#endif
  m_resource = nullptr;
  m_refusal.clear();
  m_staging.clear();
  m_staging.shrink_to_fit();
  m_width = m_height = m_bytesPerPixel = 0;
}

bool RenderbufferImage::copy_to(std::uint8_t* dst) {
  if (!dst || bytes() == 0) return false;
#if defined(TAVO_WITH_CUDA)
  if (m_resource) {
    auto resource = static_cast<cudaGraphicsResource_t>(m_resource);
    const std::size_t rowBytes = static_cast<std::size_t>(m_width) * m_bytesPerPixel;
    // Mapping waits for the OpenGL work that drew the image.
    bool ok = cudaGraphicsMapResources(1, &resource, 0) == cudaSuccess;
    if (ok) {
      cudaArray_t array = nullptr;
      ok = cudaGraphicsSubResourceGetMappedArray(&array, resource, 0, 0) == cudaSuccess &&
           cudaMemcpy2DFromArray(dst, rowBytes, array, 0, 0, rowBytes, static_cast<std::size_t>(m_height),
                                 cudaMemcpyDeviceToDevice) == cudaSuccess;
      ok = cudaGraphicsUnmapResources(1, &resource, 0) == cudaSuccess && ok;
    }
    return TAVO_CHECK_GPU() && ok;
  }
#endif
  return read_back(dst);
}

bool RenderbufferImage::read_back(std::uint8_t* dst) {
  // On the CPU back end dst is host memory and takes the pixels directly.
  const bool host = active_backend() == Backend::Cpu;
  if (!host) m_staging.resize(bytes());
  glBindFramebuffer(GL_READ_FRAMEBUFFER, m_framebuffer);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, m_width, m_height, m_bytesPerPixel == 4 ? GL_RGBA : GL_RED, GL_UNSIGNED_BYTE,
               host ? dst : m_staging.data());
  glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
  const GLenum glError = glGetError();
  if (glError != GL_NO_ERROR) {
    TAVO_LOG_ERROR("OpenGL error, error code:  " + std::to_string(glError));
    return false;
  }
  if (!host) copy_to_device(dst, m_staging.data(), m_staging.size());
  return TAVO_CHECK_GPU();
}

}  // namespace TavoAlgorithm

#include "common/gpu/device_memory.h"

#include <cstdlib>
#include <cstring>

#include "common/console.h"

#if defined(TAVO_WITH_CUDA)
#include <cuda_runtime.h>

#include "common/gpu/cell_launch.h"
#endif

namespace TavoGPUAlgorithm {
namespace {

constexpr const char* kHostOutOfMemory = "out of memory";
thread_local std::string tHostError;

bool on_cuda() { return active_backend() == Backend::Cuda; }

}  // namespace

Backend active_backend() {
#if defined(TAVO_WITH_CUDA)
  static const Backend b = cuda_backend::device_usable() ? Backend::Cuda : Backend::Cpu;
  return b;
#else
  return Backend::Cpu;
#endif
}

const char* backend_name(Backend b) { return b == Backend::Cuda ? "cuda" : "cpu"; }

void* device_alloc(std::size_t bytes) {
  if (bytes == 0) return nullptr;
#if defined(TAVO_WITH_CUDA)
  if (on_cuda()) {
    void* p = nullptr;
    if (cudaMalloc(&p, bytes) != cudaSuccess) return nullptr;
    return p;
  }
#endif
  void* p = std::malloc(bytes);
  if (!p) tHostError = kHostOutOfMemory;
  return p;
}

void device_free(void* p) {
  if (!p) return;
#if defined(TAVO_WITH_CUDA)
  if (on_cuda()) {
    cudaFree(p);
    return;
  }
#endif
  std::free(p);
}

namespace {
void copy(void* dst, const void* src, std::size_t bytes, [[maybe_unused]] int kind) {
  if (bytes == 0 || !dst || !src) return;
#if defined(TAVO_WITH_CUDA)
  if (on_cuda()) {
    cudaMemcpy(dst, src, bytes, static_cast<cudaMemcpyKind>(kind));
    return;
  }
#endif
  std::memmove(dst, src, bytes);
}
}  // namespace

#if defined(TAVO_WITH_CUDA)
void copy_to_device(void* dst, const void* src, std::size_t bytes) { copy(dst, src, bytes, cudaMemcpyHostToDevice); }
void copy_to_host(void* dst, const void* src, std::size_t bytes) { copy(dst, src, bytes, cudaMemcpyDeviceToHost); }
void copy_on_device(void* dst, const void* src, std::size_t bytes) { copy(dst, src, bytes, cudaMemcpyDeviceToDevice); }
#else
void copy_to_device(void* dst, const void* src, std::size_t bytes) { copy(dst, src, bytes, 0); }
void copy_to_host(void* dst, const void* src, std::size_t bytes) { copy(dst, src, bytes, 0); }
void copy_on_device(void* dst, const void* src, std::size_t bytes) { copy(dst, src, bytes, 0); }
#endif

void device_memset(void* p, int byte, std::size_t bytes) {
  if (!p || bytes == 0) return;
#if defined(TAVO_WITH_CUDA)
  if (on_cuda()) {
    cudaMemset(p, byte, bytes);
    return;
  }
#endif
  std::memset(p, byte, bytes);
}

std::string take_last_error() {
#if defined(TAVO_WITH_CUDA)
  if (on_cuda()) {
    const cudaError_t e = cudaGetLastError();
    return e == cudaSuccess ? std::string() : std::string(cudaGetErrorString(e));
  }
#endif
  std::string e;
  e.swap(tHostError);
  return e;
}

bool check_last_error(const char* file, int line) {
  const std::string e = take_last_error();
  if (e.empty()) return true;
  TavoAlgorithm::console::gpu_error(e, file, line);
  return false;
}

}  // namespace TavoGPUAlgorithm

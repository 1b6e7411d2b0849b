#pragma once
// Memory of the active kernel back end: CUDA device memory when a usable CUDA
// device exists at run time, host memory otherwise. The choice is made once
// per process; nothing outside common/gpu needs to know which one it is.
// Not thread-safe per buffer; called from the thread that owns the buffer.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>

namespace TavoGPUAlgorithm {

enum class Backend { Cpu, Cuda };

Backend active_backend();
const char* backend_name(Backend b);

// Raw operations on back-end memory. Allocation returns null on failure and
// leaves an "out of memory" error for check_last_error.
void* device_alloc(std::size_t bytes);
void device_free(void* p);
void copy_to_device(void* dst, const void* src, std::size_t bytes);
void copy_to_host(void* dst, const void* src, std::size_t bytes);
void copy_on_device(void* dst, const void* src, std::size_t bytes);
void device_memset(void* p, int byte, std::size_t bytes);

// Reads and clears the back end's last error; empty text means none.
std::string take_last_error();

// Writes the GPU error line ("Error: <text>\t<file>:<line>") when the back end
// reports an error and returns false then.
bool check_last_error(const char* file, int line);

// Owning buffer of n elements of T in back-end memory; empty after a failed
// allocation. Contents are undefined after allocate().
template <class T>
class DeviceBuffer {
 public:
  DeviceBuffer() = default;
  explicit DeviceBuffer(std::size_t n) { allocate(n); }

  bool allocate(std::size_t n) {
    m_data.reset();
    m_size = 0;
    if (n == 0) return true;
    m_data.reset(static_cast<T*>(device_alloc(n * sizeof(T))));
    if (m_data) m_size = n;
    return m_data != nullptr;
  }
  void release() {
    m_data.reset();
    m_size = 0;
  }
  bool empty() const { return m_data == nullptr; }
  std::size_t size() const { return m_size; }
  std::size_t bytes() const { return m_size * sizeof(T); }
  T* data() { return m_data.get(); }
  const T* data() const { return m_data.get(); }

  void zero() {
    if (m_data) device_memset(m_data.get(), 0, bytes());
  }
  // Copies min(n, size()) elements.
  void upload(const T* src, std::size_t n) {
    if (m_data) copy_to_device(m_data.get(), src, std::min(n, m_size) * sizeof(T));
  }
  void download(T* dst, std::size_t n) const {
    if (m_data) copy_to_host(dst, m_data.get(), std::min(n, m_size) * sizeof(T));
  }

 private:
  struct Free {
    void operator()(T* p) const { device_free(p); }
  };
  std::unique_ptr<T, Free> m_data;
  std::size_t m_size = 0;
};

}  // namespace TavoGPUAlgorithm

#define TAVO_CHECK_GPU() ::TavoGPUAlgorithm::check_last_error(__FILE__, __LINE__)

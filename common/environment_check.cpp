#include "common/environment_check.h"

#include <GLFW/glfw3.h>

#include <fstream>

#include "GpuEnvironment.h"
#include "common/gpu/TavoGPUAlgorithm.h"
#include "common/gpu/device_memory.h"

#if defined(TAVO_WITH_CUDA)
#include <cuda_runtime.h>
#endif

extern "C" {
TAVO_API std::uint32_t NvOptimusEnablementCuda = 1;
}

namespace TavoAlgorithm {
namespace env_check {
namespace {

constexpr const char* kUpdateDriver = "maybe you need to updata graphics driver.";
constexpr int kProbeWindowWidth = 640;
constexpr int kProbeWindowHeight = 480;

void line(std::ostream& out, const std::string& text) { out << text << std::endl; }

}  // namespace

DeviceVerdict qualify_devices(const std::vector<DeviceProperties>& devices) {
  if (devices.empty()) return DeviceVerdict::NoDevice;
  bool someCuda2 = false;
  for (const DeviceProperties& d : devices) {
    if (!d.readable || d.major < kMinMajor) continue;
    if (d.totalGlobalMem >= kMinGlobalMem) return DeviceVerdict::Qualified;
    someCuda2 = true;
  }
  return someCuda2 ? DeviceVerdict::TooLittleMemory : DeviceVerdict::NoCuda2;
}

bool run_environment_check(const Probe& probe, std::ostream& out) {
  switch (qualify_devices(probe.devices())) {
    case DeviceVerdict::NoDevice:
      line(out, "There is no device.");
      return false;
    case DeviceVerdict::TooLittleMemory:
      line(out, "There is no device Mem size >= 2GB");
      line(out, "maybe you need to replace the graphics device.");
      return false;
    case DeviceVerdict::NoCuda2:
      line(out, "There is no device supporting CUDA 2.x");
      line(out, "maybe you need to replace the graphics device.");
      return false;
    case DeviceVerdict::Qualified:
      break;
  }
  const std::string kernelError = probe.runTestKernel();
  if (!kernelError.empty()) {
    line(out, "This Nvidia cuda error info:   " + kernelError);
    line(out, "you can google to get more information. " + std::string(kUpdateDriver));
    return false;
  }
  if (!probe.initGlfw()) {
    line(out, "Failed to initialize GLFW");
    line(out, kUpdateDriver);
    return false;
  }
  // A driver without OpenGL 4.3 initialises GLFW but gives no window.
  if (!probe.createWindow()) {
    line(out, "Failed to create the OpenGL 4.3 window");
    line(out, kUpdateDriver);
    return false;
  }
  return true;
}

Probe system_probe() {
  Probe p;
  p.devices = [] {
    std::vector<DeviceProperties> list;
#if defined(TAVO_WITH_CUDA)
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess) {
      cudaGetLastError();
      count = 0;
    }
    for (int i = 0; i < count; ++i) {
      cudaDeviceProp prop{};
      DeviceProperties d;
      d.readable = cudaGetDeviceProperties(&prop, i) == cudaSuccess;
      d.major = prop.major;
      d.totalGlobalMem = prop.totalGlobalMem;
      list.push_back(d);
    }
#endif
    return list;
  };
  p.runTestKernel = [] {
    TavoGPUAlgorithm::DeviceBuffer<int> counter(1);
    counter.zero();
    if (!counter.empty()) TavoGPUAlgorithm::sampleTest_Gpu(counter.data());
    const std::string e = TavoGPUAlgorithm::take_last_error();
    return e.empty() && counter.empty() ? std::string("out of memory") : e;
  };
  p.initGlfw = [] { return glfwInit() == GLFW_TRUE; };
  p.createWindow = [] {
    glfwDefaultWindowHints();
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    GLFWwindow* w = glfwCreateWindow(kProbeWindowWidth, kProbeWindowHeight, "", nullptr, nullptr);
    if (w) glfwDestroyWindow(w);
    glfwTerminate();
    return w != nullptr;
  };
  return p;
}

}  // namespace env_check

bool detect_cuda_and_opengl_enable() {
  std::ofstream file("out/outPrint.txt", std::ios::out | std::ios::trunc);
  std::ostream discard(nullptr);  // lines are lost when the file cannot be opened
  std::ostream& out = file.is_open() ? static_cast<std::ostream&>(file) : discard;
  return env_check::run_environment_check(env_check::system_probe(), out);
}

}  // namespace TavoAlgorithm

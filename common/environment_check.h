#pragma once
// The steps of detect_cuda_and_opengl_enable, with the probes passed in so
// that every verdict and line can be checked without the hardware.
#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace TavoAlgorithm::env_check {

struct DeviceProperties {
  bool readable = true;
  int major = 0;
  std::size_t totalGlobalMem = 0;
};

inline constexpr int kMinMajor = 2;
inline constexpr std::size_t kMinGlobalMem = std::size_t{1} << 31;  // 2 GiB

enum class DeviceVerdict { NoDevice, NoCuda2, TooLittleMemory, Qualified };

// Walks the devices in index order and stops at the first that qualifies.
DeviceVerdict qualify_devices(const std::vector<DeviceProperties>& devices);

struct Probe {
  std::function<std::vector<DeviceProperties>()> devices;
  // Runs the test kernel; the runtime's error text, empty on success.
  std::function<std::string()> runTestKernel;
  std::function<bool()> initGlfw;
  // Creates and destroys the hidden 4.3 core window, terminates GLFW; false
  // when the window could not be created.
  std::function<bool()> createWindow;
};

// Writes the diagnosis lines to out and returns the verdict.
bool run_environment_check(const Probe& probe, std::ostream& out);

// The probes of this build and machine.
Probe system_probe();

}  // namespace TavoAlgorithm::env_check

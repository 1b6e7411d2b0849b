// Verdicts and lines of the GPU and OpenGL environment check.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "GpuEnvironment.h"
#include "common/environment_check.h"
#include "common/gpu/device_memory.h"

using namespace TavoAlgorithm;
using namespace TavoAlgorithm::env_check;

namespace {

constexpr std::size_t kGiB = std::size_t{1} << 30;

Probe fake(std::vector<DeviceProperties> devices, std::string kernelError = "", bool glfw = true,
           bool window = true) {
  Probe p;
  p.devices = [devices] { return devices; };
  p.runTestKernel = [kernelError] { return kernelError; };
  p.initGlfw = [glfw] { return glfw; };
  p.createWindow = [window] { return window; };
  return p;
}

}  // namespace

TEST(EnvironmentCheck, VerdictsAndTheirLines) {
  const std::vector<DeviceProperties> good = {{true, 9, 80 * kGiB}};
  const std::string replace = "maybe you need to replace the graphics device.\n";
  const std::string driver = "maybe you need to updata graphics driver.\n";
  const std::string kernelError = "no kernel image is available for execution on the device";
  const struct {
    Probe probe;
    bool ok;
    std::string lines;
  } cases[] = {
      {fake({}), false, "There is no device.\n"},
      {fake({{true, 7, 1 * kGiB}}), false, "There is no device Mem size >= 2GB\n" + replace},
      {fake({{true, 1, 8 * kGiB}, {false, 9, 8 * kGiB}}), false, "There is no device supporting CUDA 2.x\n" + replace},
      {fake(good, kernelError), false,
       "This Nvidia cuda error info:   " + kernelError +
           "\nyou can google to get more information. maybe you need to updata graphics driver.\n"},
      {fake(good, "", false), false, "Failed to initialize GLFW\n" + driver},
      // A machine without OpenGL 4.3 is not ready.
      {fake(good, "", true, false), false, "Failed to create the OpenGL 4.3 window\n" + driver},
      {fake(good), true, ""},
  };
  for (const auto& c : cases) {
    std::ostringstream out;
    EXPECT_EQ(run_environment_check(c.probe, out), c.ok) << c.lines;
    EXPECT_EQ(out.str(), c.lines);
  }
  EXPECT_EQ(qualify_devices({{true, 2, 2 * kGiB}}), DeviceVerdict::Qualified);
  EXPECT_EQ(qualify_devices({{true, 2, 2 * kGiB - 1}}), DeviceVerdict::TooLittleMemory);
  EXPECT_EQ(qualify_devices({{true, 1, 4 * kGiB}, {true, 3, 1 * kGiB}, {true, 8, 80 * kGiB}}),
            DeviceVerdict::Qualified);
}

TEST(EnvironmentCheck, ThisMachineWritesTheFileOrNothing) {
  if (TavoGPUAlgorithm::active_backend() == TavoGPUAlgorithm::Backend::Cuda)
    GTEST_SKIP() << "a CUDA device is present; the no-device verdict does not apply";
  namespace fs = std::filesystem;
  const fs::path home = fs::current_path();
  const fs::path dir = fs::temp_directory_path() / ("tavo_env_check_" + std::to_string(::getpid()));
  fs::create_directories(dir / "out");
  fs::current_path(dir);
  {
    std::ofstream("out/outPrint.txt") << "stale\nlines\n";
  }
  const bool withDir = detect_cuda_and_opengl_enable();
  std::ifstream in("out/outPrint.txt");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove_all(dir / "out");
  const bool withoutDir = detect_cuda_and_opengl_enable();
  const bool created = fs::exists(dir / "out");
  fs::current_path(home);
  fs::remove_all(dir);
  EXPECT_FALSE(withDir);
  EXPECT_EQ(text, "There is no device.\n");
  EXPECT_FALSE(withoutDir);
  EXPECT_FALSE(created);
  EXPECT_EQ(NvOptimusEnablementCuda, 1u);
}

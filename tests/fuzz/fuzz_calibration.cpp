// Arbitrary bytes as a camera calibration text file for readParam. The
// object must keep its values or take finite ones.
#include <cmath>
#include <cstdlib>

#include "CameraCalibrateParam.h"
#include "fuzz_file.h"

using namespace TavoAlgorithm;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_console();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::write_input("camera.txt", data, size);
  TavoRobotAlgorithm::CameraCalibrateParam p;
  p.readParam(path.c_str());
  const double values[] = {p.fc[0], p.fc[1], p.cc[0], p.cc[1], p.alpha, p.kc[0], p.kc[1], p.kc[2], p.kc[3], p.kc[4]};
  for (const double v : values)
    if (!std::isfinite(v)) std::abort();
  if (!p.RT.get_rotation().allFinite() || !p.RT.get_translation().allFinite()) std::abort();
  return 0;
}

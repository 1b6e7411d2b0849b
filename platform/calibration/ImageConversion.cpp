#include "calibration_platform/ImageConversion.h"

#include <algorithm>

namespace TavoAlgorithm::TavoCalibration {

bool image_conversion(const Image<1, unsigned char>& in, Image<1, float>& out) {
  if (in.empty() || !in.is_consistent()) {
    out = Image<1, float>();
    return false;
  }
  out = Image<1, float>(in.width(), in.height());
  std::transform(in.data().begin(), in.data().end(), out.data().begin(),
                 [](unsigned char v) { return static_cast<float>(v); });
  return true;
}

}  // namespace TavoAlgorithm::TavoCalibration

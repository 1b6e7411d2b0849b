#pragma once
// 8-bit to float image conversion ahead of board recognition.
#include "geometry/Image.h"

namespace TavoAlgorithm::TavoCalibration {

// Copies the grey values (0 ... 255) into a float image of the same size.
// Returns false and leaves `out` empty when `in` is empty or its sample array
// does not match its size.
bool image_conversion(const Image<1, unsigned char>& in, Image<1, float>& out);

}  // namespace TavoAlgorithm::TavoCalibration

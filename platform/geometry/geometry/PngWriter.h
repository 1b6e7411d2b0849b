#pragma once
// PNG files of 8-bit images: one channel is written as grey, two as grey and
// alpha, three as RGB, four as RGBA. Row 0 of the image is the top row of the
// picture. Thread-safe (no shared state); the image stays the caller's.
#include <cstdint>
#include <string>
#include <vector>

#include "geometry/Image.h"

namespace TavoAlgorithm {

// Encodes the image into `png` (replacing its contents). False with the
// reason in `error`, `png` emptied, for an empty image, one whose sample
// array does not match its size, or an encoder failure.
template <int Channels>
bool encode_png(const Image<Channels, std::uint8_t>& image, std::vector<std::uint8_t>& png, std::string& error);

// Encodes and writes the file. False with the reason in `error` when
// encoding fails or the file cannot be written; no partial file is left,
// and a path that cannot be opened for writing is left as it was.
template <int Channels>
bool write_png(const std::string& path, const Image<Channels, std::uint8_t>& image, std::string& error);

}  // namespace TavoAlgorithm

#pragma once
// Test helper: decodes PNG bytes with libspng itself, independent of the writer.
#include <spng.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace TavoAlgorithm::test {

inline // Decodes with libspng into the file's own sample layout.
bool decode(const std::vector<std::uint8_t>& png, int& w, int& h, std::vector<std::uint8_t>& out) {
  spng_ctx* ctx = spng_ctx_new(0);
  spng_set_png_buffer(ctx, png.data(), png.size());
  spng_ihdr ihdr{};
  bool ok = spng_get_ihdr(ctx, &ihdr) == 0;
  const int fmt = SPNG_FMT_PNG;
  std::size_t size = 0;
  ok = ok && spng_decoded_image_size(ctx, fmt, &size) == 0;
  out.resize(size);
  ok = ok && spng_decode_image(ctx, out.data(), size, fmt, 0) == 0;
  w = static_cast<int>(ihdr.width);
  h = static_cast<int>(ihdr.height);
  spng_ctx_free(ctx);
  return ok;
}

// Reads the whole file; empty when it cannot be opened.
inline std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace TavoAlgorithm::test

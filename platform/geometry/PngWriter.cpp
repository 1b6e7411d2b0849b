#include "geometry/PngWriter.h"

#include <spng.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

namespace TavoAlgorithm {
namespace {

constexpr std::uint8_t kColorTypes[] = {SPNG_COLOR_TYPE_GRAYSCALE, SPNG_COLOR_TYPE_GRAYSCALE_ALPHA,
                                        SPNG_COLOR_TYPE_TRUECOLOR, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA};
constexpr std::uint8_t kBitDepth = 8;

struct ContextFree {
  void operator()(spng_ctx* c) const { spng_ctx_free(c); }
};

}  // namespace

template <int Channels>
bool encode_png(const Image<Channels, std::uint8_t>& image, std::vector<std::uint8_t>& png, std::string& error) {
  static_assert(Channels >= 1 && Channels <= 4, "PNG holds 1 to 4 channels");
  png.clear();
  if (image.empty() || !image.is_consistent()) {
    error = "png: the image is empty or its samples do not match its size";
    return false;
  }
  std::unique_ptr<spng_ctx, ContextFree> ctx(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!ctx) {
    error = "png: cannot create an encoder";
    return false;
  }
  spng_ihdr ihdr{};
  ihdr.width = static_cast<std::uint32_t>(image.width());
  ihdr.height = static_cast<std::uint32_t>(image.height());
  ihdr.bit_depth = kBitDepth;
  ihdr.color_type = kColorTypes[Channels - 1];
  int ret = spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
  if (ret == 0) ret = spng_set_ihdr(ctx.get(), &ihdr);
  if (ret == 0)
    ret = spng_encode_image(ctx.get(), image.data().data(), image.data().size(), SPNG_FMT_PNG,
                            SPNG_ENCODE_FINALIZE);
  std::size_t size = 0;
  void* buffer = ret == 0 ? spng_get_png_buffer(ctx.get(), &size, &ret) : nullptr;
  if (ret != 0 || buffer == nullptr) {
    std::free(buffer);
    error = std::string("png: ") + spng_strerror(ret);
    return false;
  }
  // The encoder hands its buffer over; it is released with free().
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  png.assign(bytes, bytes + size);
  std::free(buffer);
  return true;
}

template <int Channels>
bool write_png(const std::string& path, const Image<Channels, std::uint8_t>& image, std::string& error) {
  std::vector<std::uint8_t> png;
  if (!encode_png(image, png, error)) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) {
    out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    out.close();
    if (!out.fail()) return true;
    // Only a file this call truncated is removed; one it could not open stays.
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
  error = "png: cannot write " + path;
  return false;
}

#define TAVO_PNG_INSTANTIATE(C)                                                                       \
  template bool encode_png<C>(const Image<C, std::uint8_t>&, std::vector<std::uint8_t>&, std::string&); \
  template bool write_png<C>(const std::string&, const Image<C, std::uint8_t>&, std::string&);
TAVO_PNG_INSTANTIATE(1)
TAVO_PNG_INSTANTIATE(2)
TAVO_PNG_INSTANTIATE(3)
TAVO_PNG_INSTANTIATE(4)
#undef TAVO_PNG_INSTANTIATE

}  // namespace TavoAlgorithm

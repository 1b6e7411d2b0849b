// PNG files: the exact bytes of the signature and the header chunks, a
// decode by libspng itself back to the same samples, and refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "geometry/PngWriter.h"
#include "png_decode.h"
#include "temp_dir.h"

using namespace TavoAlgorithm;
using TavoAlgorithm::test::decode;

namespace {

std::uint32_t crc32(const std::uint8_t* p, std::size_t n) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t be32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return (std::uint32_t(b[at]) << 24) | (std::uint32_t(b[at + 1]) << 16) | (std::uint32_t(b[at + 2]) << 8) | b[at + 3];
}

template <int C>
Image<C, std::uint8_t> random_image(int w, int h, unsigned seed) {
  Image<C, std::uint8_t> im(w, h);
  std::mt19937 rng(seed);
  for (auto& s : im.data()) s = static_cast<std::uint8_t>(rng());
  return im;
}

template <int C>
void expect_round_trip(int w, int h) {
  const auto im = random_image<C>(w, h, 17u * C + w);
  std::vector<std::uint8_t> png;
  std::string err;
  ASSERT_TRUE(encode_png(im, png, err)) << err;
  int dw = 0, dh = 0;
  std::vector<std::uint8_t> back;
  ASSERT_TRUE(decode(png, dw, dh, back)) << C;
  EXPECT_EQ(dw, w);
  EXPECT_EQ(dh, h);
  EXPECT_EQ(back, im.data()) << C << " channels";
}

}  // namespace

TEST(PngWriter, SignatureHeaderChunkAndEndChunkAreExact) {
  Image<3, std::uint8_t> im(3, 2);
  std::vector<std::uint8_t> png;
  std::string err;
  ASSERT_TRUE(encode_png(im, png, err)) << err;
  const std::vector<std::uint8_t> signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  ASSERT_GT(png.size(), 8u + 25u + 12u);
  EXPECT_TRUE(std::equal(signature.begin(), signature.end(), png.begin()));
  EXPECT_EQ(be32(png, 8), 13u);
  EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
  EXPECT_EQ(be32(png, 16), 3u);  // width
  EXPECT_EQ(be32(png, 20), 2u);  // height
  EXPECT_EQ(png[24], 8);         // bit depth
  EXPECT_EQ(png[25], 2);         // colour type: RGB
  EXPECT_EQ(png[26], 0);
  EXPECT_EQ(png[27], 0);
  EXPECT_EQ(png[28], 0);
  EXPECT_EQ(be32(png, 29), crc32(png.data() + 12, 17));
  const std::vector<std::uint8_t> end = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  EXPECT_TRUE(std::equal(end.begin(), end.end(), png.end() - 12));

  // Colour types of the other channel counts.
  std::vector<std::uint8_t> g, ga, rgba;
  ASSERT_TRUE(encode_png(Image<1, std::uint8_t>(2, 2), g, err));
  ASSERT_TRUE(encode_png(Image<2, std::uint8_t>(2, 2), ga, err));
  ASSERT_TRUE(encode_png(Image<4, std::uint8_t>(2, 2), rgba, err));
  EXPECT_EQ(g[25], 0);
  EXPECT_EQ(ga[25], 4);
  EXPECT_EQ(rgba[25], 6);
}

TEST(PngWriter, DecodesToTheSameSamplesForEveryChannelCount) {
  expect_round_trip<1>(37, 11);
  expect_round_trip<2>(5, 64);
  expect_round_trip<3>(128, 3);
  expect_round_trip<4>(1, 1);

  test::TempDir dir;
  const auto im = random_image<3>(20, 10, 4);
  std::string err;
  ASSERT_TRUE(write_png(dir.file("a.png"), im, err)) << err;
  const std::string bytes = dir.read("a.png");
  std::vector<std::uint8_t> png;
  ASSERT_TRUE(encode_png(im, png, err));
  EXPECT_EQ(bytes, std::string(png.begin(), png.end()));
}

TEST(PngWriter, RefusesEmptyOrInconsistentImagesAndUnwritablePaths) {
  std::vector<std::uint8_t> png = {1, 2, 3};
  std::string err;
  EXPECT_FALSE(encode_png(Image<3, std::uint8_t>(), png, err));
  EXPECT_TRUE(png.empty());
  EXPECT_FALSE(err.empty());
  Image<1, std::uint8_t> broken(4, 4);
  broken.data().resize(3);
  err.clear();
  EXPECT_FALSE(encode_png(broken, png, err));
  EXPECT_FALSE(err.empty());

  test::TempDir dir;
  const std::string path = dir.file("missing/sub/a.png");
  err.clear();
  EXPECT_FALSE(write_png(path, Image<1, std::uint8_t>(2, 2), err));
  EXPECT_NE(err.find(path), std::string::npos) << err;
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(write_png(dir.file("empty.png"), Image<1, std::uint8_t>(0, 5), err));
  EXPECT_FALSE(std::filesystem::exists(dir.file("empty.png")));
  // What stands at a path that cannot be opened is not removed.
  const std::string folder = dir.file("folder.png");
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  EXPECT_FALSE(write_png(folder, Image<1, std::uint8_t>(2, 2), err));
  EXPECT_TRUE(std::filesystem::is_directory(folder));
}

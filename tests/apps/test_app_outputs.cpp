// What the programs write: the binary PLY layout byte for byte and read back,
// the distance colour ramp, and the off-screen snapshot of a mesh.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "MeshShape.h"
#include "mesh_ply.h"
#include "mesh_snapshot.h"
#include "platform/geometry/png_decode.h"
#include "platform/geometry/temp_dir.h"
#include "ply_reader.h"

using namespace TavoAlgorithm;

namespace {

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

BaseTriMesh two_triangles() {
  BaseTriMesh m;
  m.set_vCoords({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0.5f}});
  m.set_faces({{0, 1, 2}, {1, 3, 2}});
  return m;
}

}  // namespace

TEST(BinaryPly, NormalsAndVertexColoursByteForByteAndReadBack) {
  BaseTriMesh m = two_triangles();
  m.enable_vNormal();
  for (int i = 0; i < 4; ++i) m.set_vNrv(i, Eigen::Vector3f(0.f, 0.f, 1.f) * (i + 1));
  const std::vector<Color3b> colours = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {250, 251, 252}};
  apps::PlyContents contents;
  contents.vertexNormals = true;
  contents.vertexColours = &colours;
  test::TempDir dir;
  std::string err;
  ASSERT_TRUE(apps::write_binary_ply(dir.file("n.ply"), m, contents, err)) << err;

  const std::string header =
      "ply\nformat binary_little_endian 1.0\nelement vertex 4\n"
      "property float x\nproperty float y\nproperty float z\n"
      "property float nx\nproperty float ny\nproperty float nz\n"
      "property uchar red\nproperty uchar green\nproperty uchar blue\n"
      "element face 2\nproperty list uchar int vertex_indices\nend_header\n";
  const std::string bytes = file_bytes(dir.file("n.ply"));
  ASSERT_EQ(bytes.size(), header.size() + 4 * (6 * 4 + 3) + 2 * (1 + 3 * 4));
  EXPECT_EQ(bytes.substr(0, header.size()), header);
  // Vertex 3: x y z, nx ny nz, r g b.
  const char* v3 = bytes.data() + header.size() + 3 * 27;
  float xyzn[6];
  std::memcpy(xyzn, v3, sizeof(xyzn));
  EXPECT_EQ(std::vector<float>(xyzn, xyzn + 6), (std::vector<float>{1, 1, 0.5f, 0, 0, 4}));
  EXPECT_EQ(static_cast<unsigned char>(v3[24]), 250);
  EXPECT_EQ(static_cast<unsigned char>(v3[26]), 252);
  const char* f1 = bytes.data() + header.size() + 4 * 27 + 13;
  EXPECT_EQ(f1[0], 3);
  std::int32_t idx[3];
  std::memcpy(idx, f1 + 1, sizeof(idx));
  EXPECT_EQ(std::vector<int>(idx, idx + 3), (std::vector<int>{1, 3, 2}));

  ply::File f;
  ASSERT_TRUE(ply::read(dir.file("n.ply"), f, err)) << err;
  const ply::Element* v = f.find("vertex");
  ASSERT_TRUE(v != nullptr);
  EXPECT_EQ(v->find("nz")->values, (std::vector<double>{1, 2, 3, 4}));
  EXPECT_EQ(v->find("green")->values, (std::vector<double>{2, 5, 8, 251}));
}

TEST(BinaryPly, RefusesWhatDoesNotMatchAndLeavesNoFileForAMissingFolder) {
  BaseTriMesh m = two_triangles();
  test::TempDir dir;
  std::string err;
  apps::PlyContents normals;
  normals.vertexNormals = true;
  EXPECT_FALSE(apps::write_binary_ply(dir.file("a.ply"), m, normals, err));
  EXPECT_NE(err.find("no vertex normals"), std::string::npos);
  const std::vector<Color3b> three(3);
  apps::PlyContents vertexColours;
  vertexColours.vertexColours = &three;
  EXPECT_FALSE(apps::write_binary_ply(dir.file("a.ply"), m, vertexColours, err));
  apps::PlyContents faceColours;
  faceColours.faceColours = &three;
  EXPECT_FALSE(apps::write_binary_ply(dir.file("a.ply"), m, faceColours, err));
  m.add_face({0, 1, 4});
  EXPECT_FALSE(apps::write_binary_ply(dir.file("a.ply"), m, {}, err));
  EXPECT_FALSE(std::ifstream(dir.file("a.ply")).good());
  EXPECT_FALSE(apps::write_binary_ply(dir.file("missing/a.ply"), two_triangles(), {}, err));
  EXPECT_NE(err.find("cannot write"), std::string::npos);
}

TEST(DistanceColour, RunsBlueGreenRedAndGreyForNoDistance) {
  EXPECT_EQ(apps::distance_colour(0.0, 2.0), Color3b(0, 0, 255));
  EXPECT_EQ(apps::distance_colour(1.0, 2.0), Color3b(0, 255, 0));
  EXPECT_EQ(apps::distance_colour(2.0, 2.0), Color3b(255, 0, 0));
  EXPECT_EQ(apps::distance_colour(7.0, 2.0), Color3b(255, 0, 0));
  EXPECT_EQ(apps::distance_colour(0.5, 2.0), Color3b(0, 128, 128));
  EXPECT_EQ(apps::distance_colour(std::numeric_limits<double>::quiet_NaN(), 2.0), Color3b(150, 150, 150));
}

TEST(MeshSnapshot, ShadedMeshFillsTheMiddleOnWhiteAndTakesVertexColours) {
  const BaseTriMesh ball = sim::make_lumpy_sphere(Eigen::Vector3f(10.f, -5.f, 3.f), 2.f, 0.f, 3);
  Image<3, std::uint8_t> picture;
  std::string err;
  if (!apps::render_mesh_picture(ball, nullptr, 96, 64, picture, err)) GTEST_SKIP() << err;
  ASSERT_EQ(picture.width(), 96);
  ASSERT_EQ(picture.height(), 64);
  const auto at = [&](int x, int y) {
    return Color3b(picture.at(x, y, 0), picture.at(x, y, 1), picture.at(x, y, 2));
  };
  // Corners are background; the middle is lit grey, brightest where the
  // surface faces the eye.
  EXPECT_EQ(at(0, 0), Color3b(255, 255, 255));
  EXPECT_EQ(at(95, 63), Color3b(255, 255, 255));
  const Color3b middle = at(48, 32);
  EXPECT_EQ(middle[0], middle[1]);
  EXPECT_GT(middle[0], 140);
  EXPECT_LT(middle[0], 255);
  // The ball is round and fitted: the sphere around its bounding box (radius
  // sqrt(3) r) fills the 0.6 rad of the height with 5 % to spare, so the ball
  // itself spans 64 cos(0.3) / (1.05 sqrt(3)) pixels, as many across.
  int across = 0, down = 0;
  for (int x = 0; x < 96; ++x) across += at(x, 32) != Color3b(255, 255, 255);
  for (int y = 0; y < 64; ++y) down += at(48, y) != Color3b(255, 255, 255);
  EXPECT_NEAR(down, 64 * std::cos(0.3) / (1.05 * std::sqrt(3.0)), 2.0);
  EXPECT_NEAR(across, down, 2);

  const std::vector<Color3b> red(static_cast<std::size_t>(ball.get_vn()), Color3b(255, 0, 0));
  ASSERT_TRUE(apps::render_mesh_picture(ball, &red, 96, 64, picture, err)) << err;
  EXPECT_GT(at(48, 32)[0], 140);
  EXPECT_EQ(at(48, 32)[1], 0);

  // The written file decodes to the same picture.
  test::TempDir dir;
  ASSERT_TRUE(apps::write_mesh_snapshot(dir.file("s.png"), ball, &red, 96, 64, err)) << err;
  int w = 0, h = 0;
  std::vector<std::uint8_t> samples;
  ASSERT_TRUE(test::decode(test::read_file(dir.file("s.png")), w, h, samples));
  EXPECT_EQ(w, 96);
  EXPECT_EQ(h, 64);
  EXPECT_EQ(samples, picture.data());
}

TEST(MeshSnapshot, RefusesEmptyMeshesBadSizesAndMismatchedColours) {
  Image<3, std::uint8_t> picture;
  std::string err;
  EXPECT_FALSE(apps::render_mesh_picture(BaseTriMesh(), nullptr, 64, 64, picture, err));
  const BaseTriMesh m = two_triangles();
  EXPECT_FALSE(apps::render_mesh_picture(m, nullptr, 0, 64, picture, err));
  EXPECT_FALSE(apps::render_mesh_picture(m, nullptr, 64, 100000, picture, err));
  const std::vector<Color3b> one(1);
  EXPECT_FALSE(apps::render_mesh_picture(m, &one, 64, 64, picture, err));
  EXPECT_NE(err.find("colours"), std::string::npos);
}

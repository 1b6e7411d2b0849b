#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "geometry/TriMesh.h"

using namespace TavoAlgorithm;
namespace fs = std::filesystem;

namespace {
BaseTriMesh unit_cube() {
  BaseTriMesh m;
  for (int i = 0; i < 8; ++i)
    m.add_vCoord(Eigen::Vector3f(static_cast<float>(i & 1), static_cast<float>((i >> 1) & 1),
                                 static_cast<float>((i >> 2) & 1)));
  m.set_faces({{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6}, {0, 1, 4}, {1, 5, 4},
               {2, 6, 3}, {3, 6, 7}, {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}});
  return m;
}

fs::path temp_path(const std::string& name) {
  return fs::temp_directory_path() / ("tavo_mesh_io_" + std::to_string(::getpid()) + "_" + name);
}
}  // namespace

TEST(MeshIO, RoundTripThroughEveryFormat) {
  const BaseTriMesh cube = unit_cube();
  for (const char* ext : {"ply", "obj", "stl", "off"}) {
    const fs::path p = temp_path(std::string("cube.") + ext);
    ASSERT_TRUE(write_mesh(cube, p.string())) << ext;
    BaseTriMesh back;
    ASSERT_TRUE(read_mesh(back, p.string())) << ext;
    EXPECT_EQ(back.get_fn(), 12) << ext;
    EXPECT_EQ(back.get_vn(), 8) << ext;
    const BoundingBox b = back.get_boundBox();
    EXPECT_EQ(b.min_corner(), Eigen::Vector3f::Zero()) << ext;
    EXPECT_EQ(b.max_corner(), Eigen::Vector3f::Ones()) << ext;
    // Closed and outward: the normals of the faces sum to zero and each points away.
    back.update_fNrv();
    for (int f = 0; f < back.get_fn(); ++f) {
      const BaseTriFace& face = back.get_face(f);
      const Eigen::Vector3f c = (back.get_vCoord(face[0]) + back.get_vCoord(face[1]) + back.get_vCoord(face[2])) / 3.f;
      EXPECT_GT(back.get_fNrv(f).dot(c - Eigen::Vector3f::Constant(0.5f)), 0.f) << ext;
    }
    fs::remove(p);
  }
}

TEST(MeshIO, BinaryStlLayout) {
  TriMesh tri;
  BaseTriMesh_convert_to_TriMesh(unit_cube(), tri);
  const fs::path p = temp_path("layout.bin");  // any extension gives binary STL
  ASSERT_TRUE(write_stl_mesh(tri, p.string()));
  std::ifstream in(p, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 84u + 12u * 50u);
  std::uint32_t count;
  std::memcpy(&count, bytes.data() + 80, 4);
  EXPECT_EQ(count, 12u);
  float rec[12];
  std::memcpy(rec, bytes.data() + 84, sizeof(rec));
  // First face (0, 2, 1) lies in z = 0 and faces -z.
  EXPECT_FLOAT_EQ(rec[2], -1.f);
  EXPECT_FLOAT_EQ(rec[3 + 3], 0.f);
  EXPECT_FLOAT_EQ(rec[3 + 4], 1.f);  // second corner is vertex 2 = (0, 1, 0)
  fs::remove(p);
}

TEST(MeshIO, DeletedElementsAndBadFacesAreLeftOut) {
  BaseTriMesh cube = unit_cube();
  cube.set_fDeleted(0, true);
  cube.add_face({0, 1, 99});
  TriMesh tri;
  BaseTriMesh_convert_to_TriMesh(cube, tri);
  EXPECT_EQ(tri.n_faces(), 11u);
  BaseTriMesh back;
  TriMesh_convert_to_BaseTriMesh(tri, back);
  EXPECT_EQ(back.get_fn(), 11);
  EXPECT_TRUE(back.faces_valid());

  const std::vector<Eigen::Vector3f> pts{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  const int idx[] = {0, 1, 2, 0, 1, -1, 0, 0, 1};
  EXPECT_EQ(tri.build_mesh(pts, idx, 3), 1);
  EXPECT_EQ(tri.build_mesh(pts, nullptr, 3), 0);
}

TEST(MeshIO, MissingFileFailsWithALine) {
  BaseTriMesh m;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(read_mesh(m, "/nonexistent/dir/mesh.ply"));
  EXPECT_NE(testing::internal::GetCapturedStdout().find(" Error: "), std::string::npos);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(write_mesh(unit_cube(), "/nonexistent/dir/mesh.ply"));
  testing::internal::GetCapturedStdout();
}

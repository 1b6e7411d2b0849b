#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "geometry/TriMesh.h"
#include "temp_dir.h"

using namespace TavoAlgorithm;
using TavoAlgorithm::test::TempDir;

namespace {
BaseTriMesh unit_cube() {
  BaseTriMesh m;
  for (int i = 0; i < 8; ++i) m.add_vCoord(Eigen::Vector3f(float(i & 1), float((i >> 1) & 1), float((i >> 2) & 1)));
  m.set_faces({{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6}, {0, 1, 4}, {1, 5, 4},
               {2, 6, 3}, {3, 6, 7}, {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}});
  return m;
}
}  // namespace

TEST(MeshIO, RoundTripThroughEveryFormat) {
  TempDir dir;
  for (const char* ext : {"ply", "obj", "stl", "off"}) {
    const std::string p = dir.file(std::string("cube.") + ext);
    ASSERT_TRUE(write_mesh(unit_cube(), p)) << ext;
    BaseTriMesh back;
    ASSERT_TRUE(read_mesh(back, p)) << ext;
    EXPECT_TRUE(back.get_fn() == 12 && back.get_vn() == 8) << ext;
    EXPECT_TRUE(back.get_boundBox().min_corner().isZero() && back.get_boundBox().max_corner().isOnes()) << ext;
    back.update_fNrv();  // still outward: every face normal points away from the centre
    for (int f = 0; f < back.get_fn(); ++f) {
      const BaseTriFace& face = back.get_face(f);
      const Eigen::Vector3f c = (back.get_vCoord(face[0]) + back.get_vCoord(face[1]) + back.get_vCoord(face[2])) / 3.f;
      EXPECT_GT(back.get_fNrv(f).dot(c - Eigen::Vector3f::Constant(0.5f)), 0.f) << ext;
    }
  }
}

TEST(MeshIO, BinaryStlLayout) {
  TriMesh tri;
  BaseTriMesh_convert_to_TriMesh(unit_cube(), tri);
  TempDir dir;
  ASSERT_TRUE(write_stl_mesh(tri, dir.file("layout.bin")));  // any extension gives binary STL
  const std::string bytes = dir.read("layout.bin");
  ASSERT_EQ(bytes.size(), 84u + 12u * 50u);
  std::uint32_t count;
  std::memcpy(&count, bytes.data() + 80, 4);
  EXPECT_EQ(count, 12u);
  float rec[12];
  std::memcpy(rec, bytes.data() + 84, sizeof(rec));
  // First face (0, 2, 1) lies in z = 0 and faces -z; its second corner is vertex 2 = (0, 1, 0).
  EXPECT_EQ(std::vector<float>(rec, rec + 12), (std::vector<float>{0, 0, -1, 0, 0, 0, 0, 1, 0, 1, 0, 0}));
}

TEST(MeshIO, DeletedElementsAndBadFacesAreLeftOut) {
  BaseTriMesh cube = unit_cube();
  cube.set_fDeleted(0, true);
  cube.add_face({0, 1, 99});
  TriMesh tri;
  BaseTriMesh_convert_to_TriMesh(cube, tri);
  BaseTriMesh back;
  TriMesh_convert_to_BaseTriMesh(tri, back);
  EXPECT_TRUE(tri.n_faces() == 11u && back.get_fn() == 11 && back.faces_valid());
  const std::vector<Eigen::Vector3f> pts{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  const int idx[] = {0, 1, 2, 0, 1, -1, 0, 0, 1};
  EXPECT_EQ(tri.build_mesh(pts, idx, 3), 1);
  EXPECT_EQ(tri.build_mesh(pts, nullptr, 3), 0);
}

TEST(MeshIO, BadFilesFailWithALineAndLeaveTheMesh) {
  TempDir dir;
  ASSERT_TRUE(write_mesh(unit_cube(), dir.file("good.ply")) && write_mesh(unit_cube(), dir.file("good.stl")));
  const std::string ply = dir.read("good.ply"), bin = dir.read("good.stl");
  const std::string header =
      "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
      "element face 1\nproperty list uchar int vertex_indices\nend_header\n";
  const std::pair<const char*, std::string> cases[] = {
      {"missing.ply", ""},
      {"truncated.ply", ply.substr(0, ply.size() - 20)},
      {"no-header.ply", ply.substr(0, ply.find("end_header"))},
      {"index.ply", header + "0 0 0\n1 0 0\n0 1 0\n3 0 1 7\n"},
      {"nan.ply", header + "0 0 0\nnan 0 0\n0 1 0\n3 0 1 2\n"},
      {"truncated.stl", bin.substr(0, bin.size() - 30)},
  };
  for (const auto& [name, text] : cases) {
    const std::string p = text.empty() ? dir.file(name) : dir.write(name, text);
    BaseTriMesh m = unit_cube();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(read_mesh(m, p)) << name;
    EXPECT_NE(testing::internal::GetCapturedStdout().find(" Error: cannot read mesh"), std::string::npos) << name;
    EXPECT_EQ(m.get_fn(), 12) << name << ": the array mesh is left as it was";
  }
  testing::internal::CaptureStdout();
  EXPECT_FALSE(write_mesh(unit_cube(), "/nonexistent/dir/mesh.ply"));
  EXPECT_NE(testing::internal::GetCapturedStdout().find(" Error: "), std::string::npos);
}

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>

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

namespace {
// Reads `path` into a mesh holding the unit cube: true when it was refused
// with a line naming the file and the cube is still there.
::testing::AssertionResult refused(const std::string& path, const std::string& why = "") {
  BaseTriMesh m = unit_cube();
  testing::internal::CaptureStdout();
  const bool ok = read_mesh(m, path);
  const std::string out = testing::internal::GetCapturedStdout();
  if (ok) return ::testing::AssertionFailure() << path << " was accepted";
  if (out.find(" Error: cannot read mesh " + path + ": " + why) == std::string::npos)
    return ::testing::AssertionFailure() << "unexpected message: " << out;
  if (m.get_fn() != 12 || m.get_vn() != 8) return ::testing::AssertionFailure() << "the mesh was changed";
  return ::testing::AssertionSuccess();
}

std::string binary_stl(const std::vector<float>& corners, std::uint32_t claimed, const char* head = "") {
  std::string s(80, '\0');
  s.replace(0, std::strlen(head), head);
  s.append(reinterpret_cast<const char*>(&claimed), 4);
  for (std::size_t f = 0; f + 9 <= corners.size(); f += 9) {
    const float normal[3] = {0, 0, 1};
    s.append(reinterpret_cast<const char*>(normal), sizeof(normal));
    s.append(reinterpret_cast<const char*>(&corners[f]), 9 * sizeof(float));
    s.append(2, '\0');
  }
  return s;
}
}  // namespace

// OBJ and OFF faults are refused as PLY's are: NaN coordinates, faces naming
// no vertex, malformed and overflowing numbers; counts are checked against
// the file before anything is reserved.
TEST(MeshIO, MalformedNumbersAndSizesInEveryFormatAreRefused) {
  TempDir dir;
  const std::string plyHead =
      "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
      "element face 1\nproperty list uchar int vertex_indices\nend_header\n0 0 0\n1 0 0\n0 1 0\n";
  const std::string objVerts = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
  const std::string offHead = "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n";
  const std::vector<float> tri = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  const std::pair<const char*, std::string> cases[] = {
      {"index-nan.ply", plyHead + "3 0 1 nan\n"},
      {"index-fraction.ply", plyHead + "3 0 1 1.5\n"},
      {"index-overflow.ply", plyHead + "3 0 1 99999999999\n"},
      {"index-empty.ply", plyHead + "3 0 1\n"},
      {"count-nan.ply", plyHead + "nan 0 1 2\n"},
      {"vertex-overflow.obj", "v 0 0 1e39\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"},
      {"vertex-nan.obj", "v 0 nan 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"},
      {"vertex-empty.obj", "v 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"},
      {"vertex-trailing.obj", "v 0 0 0.5abc\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"},
      {"face-out-of-range.obj", objVerts + "f 1 2 4\n"},
      {"face-zero.obj", objVerts + "f 0 1 2\n"},
      {"face-relative-too-far.obj", objVerts + "f -1 -2 -4\n"},
      {"face-fraction.obj", objVerts + "f 1 2 2.5\n"},
      {"face-nan.obj", objVerts + "f 1 2 nan\n"},
      {"face-overflow.obj", objVerts + "f 1 2 99999999999\n"},
      {"face-texture-missing.obj", objVerts + "f 1/1 2/1 3/1\n"},
      {"face-two-corners.obj", objVerts + "f 1 2\n"},
      {"normal-nan.obj", objVerts + "vn 0 0 nan\nf 1 2 3\n"},
      {"huge-counts.off", "OFF\n2000000000 2000000000 0\n"},
      {"negative-counts.off", "OFF\n-3 1 0\n0 0 0\n"},
      {"fraction-count.off", "OFF\n3.5 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n"},
      {"count-empty.off", "OFF\n3\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n"},
      {"vertex-nan.off", "OFF\n3 1 0\n0 0 nan\n1 0 0\n0 1 0\n3 0 1 2\n"},
      {"vertex-overflow.off", "OFF\n3 1 0\n0 0 1e999\n1 0 0\n0 1 0\n3 0 1 2\n"},
      {"face-out-of-range.off", offHead + "3 0 1 3\n"},
      {"face-fraction.off", offHead + "3 0 1 1.5\n"},
      {"face-nan.off", offHead + "3 0 1 nan\n"},
      {"face-short.off", offHead + "3 0 1\n"},
      {"truncated.off", "OFF\n3 1 0\n0 0 0\n1 0 0\n"},
      {"binary.off", "OFF BINARY\n"},
      {"vertex-nan.stl", "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex nan 0 0\nvertex 0 1 0\n"
                         "endloop\nendfacet\nendsolid t\n"},
      {"vertex-empty.stl", "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0\nvertex 0 1 0\n"
                           "endloop\nendfacet\nendsolid t\n"},
      {"no-endsolid.stl", "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\n"
                          "endloop\nendfacet\n"},
      {"binary-nan.stl", binary_stl({0, 0, 0, 1, 0, 0, 0, std::numeric_limits<float>::quiet_NaN(), 0}, 1)},
      {"binary-count.stl", binary_stl(tri, 7)},
      {"long-line.obj", objVerts + "# " + std::string(100000, 'x') + "\nf 1 2 3\n"},
      {"unknown.xyz", objVerts},
  };
  for (const auto& [name, text] : cases) EXPECT_TRUE(refused(dir.write(name, text))) << name;
  EXPECT_TRUE(refused(dir.write("huge.off", "OFF\n2000000000 2000000000 0\n"), "OFF counts of 2000000000 vertices"));
  EXPECT_TRUE(refused(dir.write("unknown.om", objVerts), "unsupported mesh format 'om'"));
}

TEST(MeshIO, DevicesFoldersAndPipesAreRefusedWithoutReading) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir.path / "pipe.obj").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir.path / "zero.off");
  std::filesystem::create_symlink("/dev/zero", dir.path / "zero.ply");
  std::filesystem::create_directories(dir.path / "folder.stl");
  for (const char* name : {"pipe.obj", "zero.off", "zero.ply", "folder.stl"})
    EXPECT_TRUE(refused(dir.file(name), "not a regular file")) << name;
  EXPECT_TRUE(refused(dir.file("missing.obj"), "no such file"));
}

// Polygons become fans, OBJ references may count back from the last vertex
// and carry texture and normal parts, OFF may hold comments, colours and its
// counts on the keyword line, STL corners are welded into shared vertices.
TEST(MeshIO, TextFormatsReadTheirCommonForms) {
  TempDir dir;
  const std::pair<const char*, std::string> squares[] = {
      {"quad.obj", "# square\nmtllib missing.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvn 0 0 1\n"
                   "g side\nusemtl none\nf 1/1/1 2/1/1 -2//1 -1\n"},
      {"quad.off", "COFF 4 1 0\n# square\n0 0 0 255 0 0 255\n1 0 0 255 0 0 255\n\n1 1 0 255 0 0 255\n"
                   "0 1 0 255 0 0 255\n4 0 1 2 3\n"},
      {"quad.stl", "solid square\n facet normal 0 0 1\n  outer loop\n   vertex 0 0 0\n   vertex 1 0 0\n"
                   "   vertex 1 1 0\n  endloop\n endfacet\n facet normal 0 0 1\n  outer loop\n   vertex 0 0 0\n"
                   "   vertex 1 1 0\n   vertex -0 1 0\n  endloop\n endfacet\nendsolid square\n"},
  };
  for (const auto& [name, text] : squares) {
    BaseTriMesh m;
    ASSERT_TRUE(read_mesh(m, dir.write(name, text))) << name;
    EXPECT_TRUE(m.get_vn() == 4 && m.get_fn() == 2) << name << ": " << m.get_vn() << " " << m.get_fn();
    m.update_fNrv();
    for (int f = 0; f < m.get_fn(); ++f) EXPECT_GT(m.get_fNrv(f).z(), 0.99f) << name;  // winding kept
  }
  // A binary STL whose header starts with "solid" is told apart by its size.
  BaseTriMesh m;
  ASSERT_TRUE(read_mesh(m, dir.write("solid.stl", binary_stl({0, 0, 0, 1, 0, 0, 0, 1, 0}, 1, "solid by size"))));
  EXPECT_TRUE(m.get_vn() == 3 && m.get_fn() == 1);
}

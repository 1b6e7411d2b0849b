#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>

#include "MeshDistance.h"
#include "geometry/RangeScanIO.h"
#include "geometry/TriMesh.h"
#include "temp_dir.h"

using namespace TavoAlgorithm;
using TavoAlgorithm::test::TempDir;
namespace fs = std::filesystem;

namespace {
const fs::path kBunny = fs::path(TAVO_TEST_DATA_DIR) / "bunny-scans";

#define SKIP_WITHOUT_BUNNY() \
  if (!fs::exists(kBunny / "bun000.ply")) GTEST_SKIP() << "no bunny scans at " << kBunny

// A 2 x 3 scan with points in cells 0, 2 and 4.
std::string small_scan(const std::string& vertexLines, const std::string& gridLines,
                       int vertexCount = 3, int cells = 6) {
  std::ostringstream s;
  s << "ply\nformat ascii 1.0\nobj_info num_cols 3\nobj_info num_rows 2\n"
    << "element vertex " << vertexCount << "\nproperty float x\nproperty float y\nproperty float z\n"
    << "element range_grid " << cells << "\nproperty list uchar int vertex_indices\nend_header\n"
    << vertexLines << gridLines;
  return s.str();
}
const std::string kVertices = "0 0 1\n1 0 1\n0 1 1\n";
const std::string kGrid = "1 0\n0\n1 1\n0\n1 2\n0\n";

// Runs `read` with the console captured into `out`.
template <class Read>
RetVal quietly(Read&& read, std::string* out = nullptr) {
  testing::internal::CaptureStdout();
  const RetVal v = read();
  const std::string text = testing::internal::GetCapturedStdout();
  if (out) *out = text;
  return v;
}
RetVal read_quietly(const std::string& path, RangeData& r, std::string* out = nullptr) {
  return quietly([&] { return read_range_scan(path, r); }, out);
}
}  // namespace

TEST(RangeScanIO, ReadsTheRealBunnyScan) {
  SKIP_WITHOUT_BUNNY();
  RangeData r;
  ASSERT_EQ(read_range_scan((kBunny / "bun000.ply").string(), r), RETVAL_SUCCESS);
  EXPECT_TRUE(r.get_vn() == 40256 && r.get_rows() == 400 && r.get_cols() == 512);
  std::vector<char> seen(r.get_vn(), 0);  // every point in exactly one flagged cell
  for (int y = 0; y < r.get_rows(); ++y)
    for (int x = 0; x < r.get_cols(); ++x)
      if (const int v = r.get_cellVertex(y, x); v >= 0) {
        EXPECT_TRUE(r.get_cellFlag(y, x) & CELL_HAS_POINT);
        ++seen[v];
      }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 40256);
  // First cell with a point: index 13952 = row 27, column 128, vertex 0.
  EXPECT_EQ(r.get_cellVertex(27, 128), 0);
  EXPECT_TRUE(r.get_vCoord(0).isApprox(Eigen::Vector3f(-0.06325f, 0.0359793f, 0.0420873f)));
}

// The list holds the inverse of each pose's rotation (a wrong reading puts the
// scans centimetres off the reference mesh; scanner noise is ~0.2 mm).
TEST(RangeScanIO, PoseListPutsEveryScanOnTheReferenceSurface) {
  SKIP_WITHOUT_BUNNY();
  ScanPoseList list;
  ASSERT_EQ(read_scan_pose_list((kBunny / "bun.conf").string(), list), RETVAL_SUCCESS);
  ASSERT_EQ(list.scans.size(), 8u);
  EXPECT_TRUE(list.scans[1].file == "bun045.ply" && list.scans[0].pose.to_matrix4().isIdentity());
  RangeData r;
  ASSERT_EQ(read_range_scan_with_pose((kBunny / "bun045.ply").string(), (kBunny / "bun.conf").string(), r),
            RETVAL_SUCCESS);
  EXPECT_EQ(r.get_rigidMatrix().to_matrix4(), list.scans[1].pose.to_matrix4());

  std::vector<RangeData> frames;
  ASSERT_EQ(read_range_scans((kBunny / "bun.conf").string(), frames), RETVAL_SUCCESS);
  BaseTriMesh reference;
  ASSERT_TRUE(read_mesh(reference, (kBunny / "bun_zipper_res2.ply").string()));
  for (std::size_t i = 0; i < frames.size(); ++i) {
    std::vector<Eigen::Vector3f> posed;  // every 16th point is plenty to tell a pose
    for (int v = 0; v < frames[i].get_vn(); v += 16) posed.push_back(frames[i].get_rigidMatrix() * frames[i].get_vCoord(v));
    EXPECT_LT(sim::points_to_surface_distance(posed, reference).mean, 0.5e-3) << i;
  }
}

TEST(RangeScanIO, SmallScanInAsciiAndBinary) {
  TempDir dir;
  RangeData r;
  ASSERT_EQ(read_quietly(dir.write("ok.ply", small_scan(kVertices, kGrid)), r), RETVAL_SUCCESS);
  for (int c = 0; c < 6; ++c) EXPECT_EQ(r.get_cellVertex(c / 3, c % 3), (std::vector<int>{0, -1, 1, -1, 2, -1}[c]));

  std::string bin =
      "ply\nformat binary_little_endian 1.0\nobj_info num_cols 2\nobj_info num_rows 1\n"
      "element vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
      "element range_grid 2\nproperty list uchar int vertex_indices\nend_header\n";
  const float p[3] = {1.5f, -2.f, 3.25f};
  const char cells[6] = {0, 1, 0, 0, 0, 0};  // an empty cell, then one holding vertex 0
  bin.append(reinterpret_cast<const char*>(p), sizeof(p)).append(cells, sizeof(cells));
  ASSERT_EQ(read_quietly(dir.write("bin.ply", bin), r), RETVAL_SUCCESS);
  EXPECT_EQ(r.get_cellVertex(0, 1), 0);
  EXPECT_EQ(r.get_vCoord(0), Eigen::Vector3f(1.5f, -2.f, 3.25f));
}

TEST(RangeScanIO, BadScansFailWithAMessageAndLeaveTheFrame) {
  TempDir dir;
  const std::string good = small_scan(kVertices, kGrid);
  const std::pair<const char*, std::string> cases[] = {
      {"missing", ""},
      {"empty", "\0"},
      {"not-ply", "hello\n"},
      {"no-end-header", good.substr(0, good.find("end_header"))},
      {"truncated-vertices", good.substr(0, good.find("1 0 1"))},
      {"truncated-grid", good.substr(0, good.size() - 6)},
      {"index-out-of-range", small_scan(kVertices, "1 0\n0\n1 1\n0\n1 7\n0\n")},
      {"negative-index", small_scan(kVertices, "1 0\n0\n1 -1\n0\n1 2\n0\n")},
      {"two-points-in-a-cell", small_scan(kVertices, "2 0 1\n0\n0\n0\n1 2\n0\n")},
      {"shared-vertex", small_scan(kVertices, "1 0\n1 0\n0\n0\n1 2\n0\n")},
      {"nan", small_scan("0 0 1\nnan 0 1\n0 1 1\n", kGrid)},
      {"inf", small_scan("0 0 1\n1 inf 1\n0 1 1\n", kGrid)},
      {"letters", small_scan("0 0 1\n1 x 1\n0 1 1\n", kGrid)},
      {"cell-count", small_scan(kVertices, kGrid, 3, 5)},
      {"huge-count", small_scan(kVertices, kGrid, 2000000000)},
      {"huge-list", small_scan(kVertices, "255 0\n0\n0\n0\n0\n0\n")},
  };
  for (const auto& [name, text] : cases) {
    RangeData r;
    r.add_vCoord(Eigen::Vector3f(9, 9, 9));
    const std::string path = std::string(name) == "missing" ? "/nonexistent/scan.ply"
                                                            : dir.write(std::string(name) + ".ply", text);
    std::string out;
    EXPECT_EQ(read_quietly(path, r, &out), RETVAL_FAILED) << name;
    EXPECT_TRUE(out.find(" Error: ") != std::string::npos && r.get_vn() == 1) << name << " leaves the frame: " << out;
  }
}

TEST(RangeScanIO, BadPoseListsFail) {
  TempDir dir;
  dir.write("a.ply", small_scan(kVertices, kGrid));
  const std::pair<const char*, std::string> cases[] = {
      {"short-line", "bmesh a.ply 0 0 0 0 0 0\n"},
      {"extra-number", "bmesh a.ply 0 0 0 0 0 0 1 5\n"},
      {"nan-pose", "bmesh a.ply 0 nan 0 0 0 0 1\n"},
      {"not-unit", "bmesh a.ply 0 0 0 0 0 0 3\n"},
      {"no-scans", "camera 0 0 0 0 0 0 1\n"},
      {"unknown", "mesh a.ply 0 0 0 0 0 0 1\n"},
      {"missing-file", "bmesh nothere.ply 0 0 0 0 0 0 1\n"},
  };
  for (const auto& [name, text] : cases) {
    std::vector<RangeData> frames(2);
    std::string out;
    const std::string conf = dir.write(std::string(name) + ".conf", text);
    EXPECT_EQ(quietly([&] { return read_range_scans(conf, frames); }, &out),
              RETVAL_FAILED) << name;
    EXPECT_TRUE(out.find(" Error: ") != std::string::npos && frames.size() == 2u) << name;
  }
  // The list has no line for the scan asked for; a good list skips other lines and takes CR LF.
  RangeData r;
  std::string out;
  const std::string conf = dir.write("other.conf", "bmesh b.ply 0 0 0 0 0 0 1\r\n");
  EXPECT_EQ(quietly([&] { return read_range_scan_with_pose(dir.file("a.ply"), conf, r); }, &out), RETVAL_FAILED);
  EXPECT_NE(out.find("no bmesh line for a.ply"), std::string::npos);
  std::vector<RangeData> frames;
  ASSERT_EQ(read_range_scans(dir.write("good.conf", "camera 0 0 0 0 0 0 1\r\nbmesh a.ply 1 2 3 0 0 0 1\r\n"), frames),
            RETVAL_SUCCESS);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].get_rigidMatrix().get_translation(), Eigen::Vector3d(1, 2, 3));
}

namespace {
// A 1 x 2 binary scan whose range_grid lists hold `type` values.
template <typename T>
std::string binary_scan(const char* type, T cellValue) {
  std::string bin = std::string("ply\nformat binary_little_endian 1.0\nobj_info num_cols 2\nobj_info num_rows 1\n") +
                    "element vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
                    "element range_grid 2\nproperty list uchar " + type + " vertex_indices\nend_header\n";
  const float p[3] = {1.f, 2.f, 3.f};
  bin.append(reinterpret_cast<const char*>(p), sizeof(p));
  bin.push_back('\0');  // an empty cell, then one holding cellValue
  bin.push_back('\1');
  return bin.append(reinterpret_cast<const char*>(&cellValue), sizeof(T));
}
}  // namespace

// Every number is what its property type allows before it is used; the case
// of the issue (a 2 x 2 grid whose second cell holds "nan") crashed the reader.
TEST(RangeScanIO, MalformedNumbersFailNamingTheFile) {
  TempDir dir;
  const std::string nanCell =
      "ply\nformat ascii 1.0\nobj_info num_cols 2\nobj_info num_rows 2\nelement vertex 4\n"
      "property float x\nproperty float y\nproperty float z\nelement range_grid 4\n"
      "property list uchar int vertex_indices\nend_header\n0 0 1\n1 0 1\n0 1 1\n1 1 1\n1 0\n1 nan\n1 2\n1 3\n";
  const auto header_with = [&](const std::string& from, const std::string& to) {
    std::string s = small_scan(kVertices, kGrid);
    return s.replace(s.find(from), from.size(), to);
  };
  const std::pair<const char*, std::string> cases[] = {
      // grid indices
      {"index-nan", nanCell},
      {"index-fraction", small_scan(kVertices, "1 0\n0\n1 1.5\n0\n1 2\n0\n")},
      {"index-overflow", small_scan(kVertices, "1 0\n0\n1 99999999999\n0\n1 2\n0\n")},
      {"index-empty", small_scan(kVertices, "1 0\n0\n1 1\n0\n1\n")},
      {"index-trailing", small_scan(kVertices, "1 0\n0\n1 1x\n0\n1 2\n0\n")},
      {"binary-float-nan", binary_scan("float", std::numeric_limits<float>::quiet_NaN())},
      {"binary-float-fraction", binary_scan("float", 0.5f)},
      {"binary-float-overflow", binary_scan("float", 3e9f)},
      {"binary-garbage", binary_scan("int", std::int32_t{0x7a7a7a7a})},
      {"binary-negative", binary_scan("int", std::int32_t{-5})},
      // list counts
      {"count-nan", small_scan(kVertices, "1 0\n0\nnan 1\n0\n1 2\n0\n")},
      {"count-fraction", small_scan(kVertices, "1 0\n0\n1.5 1\n0\n1 2\n0\n")},
      {"count-overflow", small_scan(kVertices, "1 0\n0\n256 1\n0\n1 2\n0\n")},
      {"count-float-type", header_with("list uchar int", "list float int")},
      // coordinates
      {"coord-nan", small_scan("0 0 1\n1 0 nan\n0 1 1\n", kGrid)},
      {"coord-float-overflow", small_scan("0 0 1\n1 0 1e39\n0 1 1\n", kGrid)},
      {"coord-double-overflow", small_scan("0 0 1\n1 0 1e999\n0 1 1\n", kGrid)},
      {"coord-empty", small_scan("0 0 1\n1 0\n", "")},
      {"coord-trailing", small_scan("0 0 1\n1 0 1.5abc\n0 1 1\n", kGrid)},
      // header numbers
      {"element-count-nan", header_with("element vertex 3", "element vertex nan")},
      {"element-count-fraction", header_with("element vertex 3", "element vertex 3.5")},
      {"element-count-overflow", header_with("element vertex 3", "element vertex 99999999999999999999")},
      {"element-count-empty", header_with("element vertex 3", "element vertex")},
      {"cols-nan", header_with("num_cols 3", "num_cols nan")},
      {"cols-fraction", header_with("num_cols 3", "num_cols 1.5")},
      {"cols-overflow", header_with("num_cols 3", "num_cols 99999999999999999999")},
      {"cols-empty", header_with("num_cols 3", "num_cols")},
  };
  for (const auto& [name, text] : cases) {
    RangeData r;
    r.add_vCoord(Eigen::Vector3f(9, 9, 9));
    const std::string path = dir.write(std::string(name) + ".ply", text);
    std::string out;
    EXPECT_EQ(read_quietly(path, r, &out), RETVAL_FAILED) << name;
    EXPECT_NE(out.find(path + ": "), std::string::npos) << name << ": " << out;
    EXPECT_NE(out.find(" Error: "), std::string::npos) << name << ": " << out;
    EXPECT_TRUE(r.get_vn() == 1 && r.get_vCoord(0) == Eigen::Vector3f(9, 9, 9)) << name << " leaves the frame";
  }
  // Integral values of a float-typed list are indices all the same.
  RangeData r;
  ASSERT_EQ(read_quietly(dir.write("float-index.ply", binary_scan("float", 0.f)), r), RETVAL_SUCCESS);
  EXPECT_EQ(r.get_cellVertex(0, 1), 0);
}

// Devices, folders and pipes are refused before they are opened; headers and
// counts that claim more than the file holds are refused before anything is
// reserved; an element without properties is skipped whatever its count.
TEST(RangeScanIO, FilesThatAreNotScansFailQuickly) {
  TempDir dir;
  const fs::path fifo = dir.path / "pipe.ply";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", dir.path / "zero.ply");
  fs::create_directories(dir.path / "folder.ply");
  std::string endless = "ply\nformat ascii 1.0\ncomment ";
  endless.append(1 << 20, 'x');
  const std::pair<std::string, std::string> cases[] = {
      {dir.file("pipe.ply"), "not a regular file"},
      {dir.file("zero.ply"), "not a regular file"},
      {dir.file("folder.ply"), "not a regular file"},
      {dir.write("endless.ply", endless), "too long"},
      {dir.write("huge-grid.ply", small_scan(kVertices, kGrid, 3, 2000000000)), "more than the file holds"},
  };
  for (const auto& [path, why] : cases) {
    RangeData r;
    std::string out;
    EXPECT_EQ(read_quietly(path, r, &out), RETVAL_FAILED) << path;
    EXPECT_NE(out.find(path + ": "), std::string::npos) << out;
    EXPECT_NE(out.find(why), std::string::npos) << out;
  }
  std::string padded = small_scan(kVertices, kGrid);
  padded.insert(padded.find("element vertex"), "element nothing 9223372036854775807\n");
  RangeData r;
  EXPECT_EQ(read_quietly(dir.write("padded.ply", padded), r), RETVAL_SUCCESS);
  EXPECT_EQ(r.get_vn(), 3);
}

TEST(RangeScanIO, PoseListsRefuseMalformedNumbersAndEndlessFiles) {
  TempDir dir;
  dir.write("a.ply", small_scan(kVertices, kGrid));
  fs::create_symlink("/dev/zero", dir.path / "zero.ply");
  fs::create_symlink("/dev/zero", dir.path / "zero.conf");
  {
    std::ofstream big(dir.path / "big.conf");
    big << "bmesh a.ply 0 0 0 0 0 0 1\n";
  }
  fs::resize_file(dir.path / "big.conf", std::uintmax_t{17} << 20);  // sparse: quick to make
  const std::pair<const char*, std::string> cases[] = {
      {"nan", "bmesh a.ply 0 0 0 0 0 0 nan\n"},
      {"overflow", "bmesh a.ply 1e999 0 0 0 0 0 1\n"},
      {"empty", "bmesh a.ply 0 0 0 0 0 0\n"},
      {"trailing", "bmesh a.ply 0.5abc 0 0 0 0 0 1\n"},
      {"hex", "bmesh a.ply 0x10 0 0 0 0 0 1\n"},
      {"camera-nan", "camera nan 0 0 0 0 0 1\nbmesh a.ply 0 0 0 0 0 0 1\n"},
      {"long-line", "bmesh a.ply 0 0 0 0 0 0 1" + std::string(5000, ' ') + "\n"},
      {"names-a-device", "bmesh zero.ply 0 0 0 0 0 0 1\n"},
  };
  std::vector<std::pair<std::string, std::string>> lists;
  for (const auto& [name, text] : cases) lists.emplace_back(dir.write(std::string(name) + ".conf", text), name);
  lists.emplace_back(dir.file("zero.conf"), "is-a-device");
  lists.emplace_back(dir.file("big.conf"), "too-large");
  for (const auto& [conf, name] : lists) {
    std::vector<RangeData> frames(2);
    std::string out;
    EXPECT_EQ(quietly([&] { return read_range_scans(conf, frames); }, &out), RETVAL_FAILED) << name;
    const std::string named = name == "names-a-device" ? dir.file("zero.ply") : conf;
    EXPECT_NE(out.find(named + ": "), std::string::npos) << name << ": " << out;
    EXPECT_EQ(frames.size(), 2u) << name;
  }
}

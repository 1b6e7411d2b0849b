// What the programs write when they work: the fused mesh as binary PLY with
// normals, the mesh coloured by its distance to the reference, the snapshot
// picture; outputs that cannot be written stop a run before it fuses; every
// program names its version.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "platform/geometry/png_decode.h"
#include "ply_reader.h"
#include "run_program.h"

using TavoAlgorithm::test::ProgramRun;
namespace fs = std::filesystem;
namespace ply = TavoAlgorithm::ply;

namespace {

constexpr double kTimeoutSeconds = 300;
constexpr std::size_t kMemoryLimit = std::size_t{4} << 30;

class ProgramOutputs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fs::remove_all(dir());
    fs::create_directories(dir());
  }
  static void TearDownTestSuite() { fs::remove_all(dir()); }
  static fs::path dir() { return fs::temp_directory_path() / ("tavo_outputs_" + std::to_string(::getpid())); }
  static std::string at(const std::string& name) { return (dir() / name).string(); }
  static ProgramRun run(std::vector<std::string> args) {
    return TavoAlgorithm::test::run_program(args, at("output.txt"), kTimeoutSeconds, kMemoryLimit);
  }
  static std::string header(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(in), {});
    return text.substr(0, text.find("end_header\n"));
  }
};

}  // namespace

TEST_F(ProgramOutputs, FusedMeshDistanceColoursAndSnapshot) {
  const ProgramRun r = run({FUSION_DEMO, "--sim-camera", "64x48", "--voxel", "0.003", "--output", at("m.ply"),
                            "--snapshot", at("m.png"), "--snapshot-size", "160x120"});
  ASSERT_EQ(r.exitCode, 0) << r.output;

  // Binary PLY with normals, unit length, pointing away from the ball's centre.
  EXPECT_NE(header(at("m.ply")).find("format binary_"), std::string::npos);
  std::string err;
  ply::File mesh;
  ASSERT_TRUE(ply::read(at("m.ply"), mesh, err)) << err;
  const ply::Element* v = mesh.find("vertex");
  ASSERT_TRUE(v && v->find("nx") && v->find("ny") && v->find("nz"));
  const auto& x = v->find("x")->values;
  const auto& y = v->find("y")->values;
  const auto& z = v->find("z")->values;
  const auto& nx = v->find("nx")->values;
  const auto& ny = v->find("ny")->values;
  const auto& nz = v->find("nz")->values;
  ASSERT_GT(x.size(), 100u);
  std::size_t outward = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_NEAR(nx[i] * nx[i] + ny[i] * ny[i] + nz[i] * nz[i], 1.0, 1e-4);
    outward += x[i] * nx[i] + y[i] * ny[i] + z[i] * nz[i] > 0;
  }
  EXPECT_GT(outward, x.size() * 95 / 100);

  // The same vertices coloured by distance: a fusion at 3 mm lies well
  // within the ramp's 2 voxels, so blue dominates and no vertex is grey.
  ASSERT_NE(r.output.find("wrote " + at("m_distance.ply")), std::string::npos) << r.output;
  ply::File coloured;
  ASSERT_TRUE(ply::read(at("m_distance.ply"), coloured, err)) << err;
  const ply::Element* cv = coloured.find("vertex");
  ASSERT_TRUE(cv && cv->find("red") && cv->find("blue"));
  EXPECT_EQ(cv->find("x")->values, x);
  std::size_t bluish = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double red = cv->find("red")->values[i], green = cv->find("green")->values[i], blue = cv->find("blue")->values[i];
    EXPECT_FALSE(red == 150 && green == 150 && blue == 150);
    bluish += blue > red;
  }
  EXPECT_GT(bluish, x.size() * 9 / 10);

  // The picture: the ball in the middle on white.
  int w = 0, h = 0;
  std::vector<std::uint8_t> rgb;
  ASSERT_TRUE(TavoAlgorithm::test::decode(TavoAlgorithm::test::read_file(at("m.png")), w, h, rgb));
  ASSERT_EQ(w, 160);
  ASSERT_EQ(h, 120);
  ASSERT_EQ(rgb.size(), 160u * 120 * 3);
  const auto pixel = [&](int px, int py) { return &rgb[(static_cast<std::size_t>(py) * w + px) * 3]; };
  EXPECT_EQ(pixel(0, 0)[0], 255);
  EXPECT_LT(pixel(80, 60)[0], 255);
  EXPECT_GT(pixel(80, 60)[0], 100);
}

TEST_F(ProgramOutputs, AsciiWhenAskedAndTheReplayWritesBinaryToo) {
  const ProgramRun a = run({FUSION_DEMO, "--sim-camera", "32x24", "--voxel", "0.004", "--ascii", "--output", at("a.ply"),
                            "--record", at("traces")});
  ASSERT_EQ(a.exitCode, 0) << a.output;
  EXPECT_NE(header(at("a.ply")).find("format ascii"), std::string::npos);
  const ProgramRun b = run({TRACE_REPLAY, "--voxel", "0.004", "--output", at("b.ply"), at("traces")});
  ASSERT_EQ(b.exitCode, 0) << b.output;
  const std::string h = header(at("b.ply"));
  EXPECT_NE(h.find("format binary_"), std::string::npos);
  EXPECT_NE(h.find("property float nx"), std::string::npos);
}

TEST_F(ProgramOutputs, OutputsThatCannotBeWrittenStopTheRunBeforeItFuses) {
  const std::vector<std::vector<std::string>> bad = {
      {"--snapshot", at("none/s.png")},
      {"--snapshot", at("s.jpg")},
      {"--distance-ply", at("none/d.ply")},
      {"--distance-ply", at("d.obj")},
  };
  for (const auto& extra : bad) {
    std::vector<std::string> args = {FUSION_DEMO, "--sim-camera", "32x24", "--voxel", "0.004", "--output", at("x.ply")};
    args.insert(args.end(), extra.begin(), extra.end());
    const ProgramRun r = run(args);
    EXPECT_EQ(r.exitCode, 2) << extra[1] << ":\n" << r.output;
    EXPECT_EQ(r.output.find("fusing"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("simulated frames"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(at("x.ply")));
  }
  const ProgramRun size = run({FUSION_DEMO, "--snapshot", at("s.png"), "--snapshot-size", "0x10"});
  EXPECT_EQ(size.exitCode, 2) << size.output;
}

TEST_F(ProgramOutputs, EveryProgramNamesItsVersion) {
  for (const char* program : {FUSION_DEMO, TRACE_REPLAY, CALIB_BOARD_GENERATOR}) {
    const ProgramRun r = run({program, "--version"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(std::regex_match(r.output, std::regex("[a-z_]+ [0-9]+\\.[0-9]+\\.[0-9]+ \\(TavoAlgorithm library "
                                                       "[0-9]+\\.[0-9]+\\.[0-9]+\\)\n")))
        << r.output;
    EXPECT_EQ(r.output.rfind(fs::path(program).filename().string() + " ", 0), 0u) << r.output;
  }
  const ProgramRun laser = run({FUSION_DEMO, "--laser", "--version"});
  EXPECT_EQ(laser.exitCode, 0) << laser.output;
  EXPECT_EQ(laser.output.rfind("fusion_demo ", 0), 0u) << laser.output;
}

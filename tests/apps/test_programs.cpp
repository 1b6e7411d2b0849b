// The programs given the input of a careless user: each case must end with
// a clear message and a non-zero exit, within its time and under a memory
// limit, and must write nothing that claims success.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "run_program.h"

using TavoAlgorithm::test::ProgramRun;
namespace fs = std::filesystem;

namespace {

constexpr double kTimeoutSeconds = 120;
constexpr std::size_t kMemoryLimit = std::size_t{2} << 30;  // the runaway cases grew past 3 GB
// Fast settings for the runs that get as far as fusing.
const std::vector<std::string> kSmallSim = {"--sim-camera", "32x24", "--voxel", "0.004"};

struct Case {
  const char* name;
  std::vector<std::string> args;  // "{dir}" stands for the scratch folder
  int exitCode;
  const char* message;
};

class Programs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fs::remove_all(dir());
    fs::create_directories(dir());
    write("huge.off", "OFF\n2000000000 2000000000 0\n");
    write("negative.off", "OFF\n-5 -5 0\n");
    write("bad.obj", "v 0 0 0\nv 1 0 0\nv nan 1 0\nf 1 2 3\n");
    write("bad-face.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 4\n");
    write("count-nan.ply",
          "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
          "element face 1\nproperty list uchar int vertex_indices\nend_header\n0 0 0\n1 0 0\n0 1 0\nnan 0 1 2\n");
    // A property-less element holds no bytes whatever its count; reading
    // must step over it at once and reach the real fault behind it.
    write("padded-count-nan.ply",
          "ply\nformat ascii 1.0\nelement nothing 9223372036854775807\nelement vertex 3\nproperty float x\n"
          "property float y\nproperty float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
          "0 0 0\n1 0 0\n0 1 0\nnan 0 1 2\n");
    write("plain-file", "not a folder\n");
    fs::create_symlink("/dev/zero", dir() / "zero.conf");
    fs::create_symlink("/dev/zero", dir() / "zero.ply");
    write("names-zero.conf", "bmesh zero.ply 0 0 0 0 0 0 1\n");
    // The scan of the first report: a 2 x 2 grid whose second cell holds "nan".
    write("nan-index.ply",
          "ply\nformat ascii 1.0\nobj_info num_cols 2\nobj_info num_rows 2\nelement vertex 4\n"
          "property float x\nproperty float y\nproperty float z\nelement range_grid 4\n"
          "property list uchar int vertex_indices\nend_header\n0 0 1\n1 0 1\n0 1 1\n1 1 1\n1 0\n1 nan\n1 2\n1 3\n");
    write("nan-index.conf", "bmesh nan-index.ply 0 0 0 0 0 0 1\n");
    fs::create_directories(dir() / "empty-traces");
    fs::create_directories(dir() / "folder.ply");
  }
  static void TearDownTestSuite() { fs::remove_all(dir()); }

  static fs::path dir() { return fs::temp_directory_path() / ("tavo_programs_" + std::to_string(::getpid())); }
  static void write(const std::string& name, const std::string& text) {
    std::ofstream(dir() / name, std::ios::binary) << text;
  }

  static ProgramRun run(const std::string& program, std::vector<std::string> args) {
    for (auto& a : args) a = std::regex_replace(a, std::regex("\\{dir\\}"), dir().string());
    args.insert(args.begin(), program);
    return TavoAlgorithm::test::run_program(args, (dir() / "output.txt").string(), kTimeoutSeconds, kMemoryLimit);
  }

  // Runs every case; `written` lists files that must not exist afterwards.
  static void check(const std::string& program, const std::vector<Case>& cases, const std::vector<std::string>& written) {
    for (const Case& c : cases) {
      for (const auto& w : written) fs::remove_all(dir() / w);
      const ProgramRun r = run(program, c.args);
      EXPECT_FALSE(r.timedOut) << c.name << " ran over " << kTimeoutSeconds << " s";
      EXPECT_EQ(r.signal, 0) << c.name << " died of signal " << r.signal << ":\n" << r.output;
      EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ":\n" << r.output;
      EXPECT_NE(r.output.find(c.message), std::string::npos) << c.name << " lacks \"" << c.message << "\":\n" << r.output;
      for (const char* claim : {"wrote ", "recorded "})
        EXPECT_EQ(r.output.find(claim), std::string::npos) << c.name << " claims success:\n" << r.output;
      for (const auto& w : written) EXPECT_FALSE(fs::exists(dir() / w)) << c.name << " wrote " << w;
    }
  }

  static std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
};

}  // namespace

TEST_F(Programs, FusionDemoRefusesBadInput) {
  const std::vector<std::string> out = {"--output", "{dir}/fused.ply"};
  const std::vector<Case> cases = {
      {"voxel-inf", with(out, {"--voxel", "inf"}), 2, "--voxel"},
      {"voxel-trailing", with(out, {"--voxel", "0.5abc"}), 2, "0.5abc is not a number"},
      {"voxel-zero-as-float", with(out, {"--voxel", "1e-300"}), 2, "1e-300 is not a number from 1e-06 to 1000 m (as a float it is 0)"},
      {"voxel-too-large", with(out, {"--voxel", "1e30"}), 2, "1e30 is not a number from"},
      {"voxel-negative", with(out, {"--voxel", "-1"}), 2, "-1 is not a number from"},
      {"voxel-nan", with(out, {"--voxel", "nan"}), 2, "nan is not a number"},
      {"voxel-missing", with(out, {"--voxel"}), 2, "--voxel"},
      {"step-wraps", with(out, {"--step", "4294967298"}), 2, "4294967298 is not a whole number from"},
      {"step-fraction", with(out, {"--step", "1.5"}), 2, "1.5 is not a whole number"},
      {"step-hex", with(out, {"--step", "0x10"}), 2, "0x10 is not a whole number"},
      {"clip-inf", with(out, {"--clip-z", "inf"}), 2, "--clip-z"},
      {"camera-too-wide", with(out, {"--sim-camera", "5000x2"}), 2, "--sim-camera"},
      {"camera-half", with(out, {"--sim-camera", "32x"}), 2, "--sim-camera"},
      {"unknown-option", with(out, {"--voxels", "1"}), 2, "--voxels"},
      {"output-folder-missing", {"--output", "{dir}/none/fused.ply"}, 2, "no folder"},
      {"output-format", {"--output", "{dir}/fused.xyz"}, 2, "must end in"},
      {"output-is-folder", {"--output", "{dir}/empty-traces"}, 2, "must end in"},
      {"record-under-a-file", with(out, {"--record", "{dir}/plain-file/traces"}), 2, "cannot write into"},
      {"record-into-a-file", with(out, {"--record", "{dir}/plain-file"}), 2, "cannot write into"},
      {"record-into-dev-null", with(out, {"--record", "/dev/null/traces"}), 2, "cannot write into"},
      {"reference-missing", with(out, {"--reference", "{dir}/none.ply"}), 1, "no such file"},
      {"reference-huge-counts", with(out, {"--reference", "{dir}/huge.off"}), 1, "OFF counts of 2000000000"},
      {"reference-negative-counts", with(out, {"--reference", "{dir}/negative.off"}), 1, "bad OFF counts"},
      {"reference-nan-obj", with(out, {"--reference", "{dir}/bad.obj"}), 1, "bad vertex"},
      {"reference-obj-face-out-of-range", with(out, {"--reference", "{dir}/bad-face.obj"}), 1, "face corner 4 names no vertex"},
      {"reference-ply-count-nan", with(out, {"--reference", "{dir}/count-nan.ply"}), 1, "bad list count 'nan'"},
      {"reference-huge-empty-element", with(out, {"--reference", "{dir}/padded-count-nan.ply"}), 1, "bad list count 'nan'"},
      {"reference-is-a-folder", with(out, {"--reference", "{dir}/folder.ply"}), 1, "not a regular file"},
      {"reference-is-a-device", with(out, {"--reference", "{dir}/zero.ply"}), 1, "not a regular file"},
      {"pose-list-is-a-device", with(out, {"{dir}/zero.conf"}), 1, "not a regular file"},
      {"pose-list-names-a-device", with(out, {"{dir}/names-zero.conf"}), 1, "not a regular file"},
      {"scan-index-nan", with(out, {"{dir}/nan-index.conf"}), 1, "nan-index.ply: "},
      {"everything-clipped", with(with(out, kSmallSim), {"--clip-z", "1e30"}), 1, "the fused mesh is empty"},
      {"voxel-twice", with(with(out, kSmallSim), {"--voxel", "1000"}), 2, "--voxel"},
  };
  check(FUSION_DEMO, cases, {"fused.ply", "fused.xyz"});
}

TEST_F(Programs, FusionDemoLaserModeRefusesBadInput) {
  const std::vector<std::string> laser = {"--laser", "--out", "{dir}/laser"};
  const std::vector<Case> cases = {
      {"frames-huge", with(laser, {"--frames", "2147483647"}), 2, "2147483647 is not a whole number from 2 to 100000"},
      {"frames-wrap", with(laser, {"--frames", "4294967298"}), 2, "4294967298 is not a whole number from"},
      {"frames-one", with(laser, {"--frames", "1"}), 2, "1 is not a whole number from 2"},
      {"voxel-too-fine", with(laser, {"--voxel", "1e-6"}), 2, "is not a number from 0.015 to 30 mm"},
      {"voxel-tiny", with(laser, {"--voxel", "1e-30"}), 2, "is not a number from 0.015 to 30 mm"},
      {"voxel-zero-as-float", with(laser, {"--voxel", "1e-300"}), 2,
       "1e-300 is not a positive number of mesh units (as a float it is 0)"},
      {"voxel-inf", with(laser, {"--voxel", "inf"}), 2, "inf is not a number"},
      {"voxel-trailing", with(laser, {"--voxel", "0.5abc"}), 2, "0.5abc is not a number"},
      {"voxel-coarser-than-the-object", with(laser, {"--voxel", "100"}), 2, "is not a number from 0.015 to 30 mm"},
      {"mesh-huge-counts", with(laser, {"{dir}/huge.off"}), 1, "OFF counts of 2000000000"},
      {"mesh-negative-counts", with(laser, {"{dir}/negative.off"}), 1, "bad OFF counts"},
      {"mesh-is-a-device", with(laser, {"{dir}/zero.ply"}), 1, "not a regular file"},
      {"mesh-nan-obj", with(laser, {"{dir}/bad.obj"}), 1, "bad vertex"},
      {"mesh-obj-face-out-of-range", with(laser, {"{dir}/bad-face.obj"}), 1, "face corner 4 names no vertex"},
      {"mesh-huge-empty-element", with(laser, {"{dir}/padded-count-nan.ply"}), 1, "bad list count 'nan'"},
      {"out-under-a-file", {"--laser", "--out", "{dir}/plain-file/laser"}, 2, "cannot write into"},
      {"out-under-dev-null", {"--laser", "--out", "/dev/null/laser"}, 2, "cannot write into"},
  };
  check(FUSION_DEMO, cases, {"laser/laser_cloud.ply", "laser/laser_mesh.ply"});
}

TEST_F(Programs, TraceReplayRefusesBadInput) {
  // A real recording of a small fusion, and copies made bad.
  const ProgramRun rec = run(FUSION_DEMO, with(kSmallSim, {"--record", "{dir}/traces", "--output", "{dir}/rec.ply"}));
  ASSERT_EQ(rec.exitCode, 0) << rec.output;
  ASSERT_NE(rec.output.find("recorded send_rangeData.tb and get_triMesh.tb"), std::string::npos);
  fs::create_directories(dir() / "bad-bool");
  fs::copy_file(dir() / "traces" / "send_rangeData.tb", dir() / "bad-bool" / "send_rangeData.tb");
  {
    // The last parameter, isSample, is the byte before the trailer.
    std::fstream f(dir() / "bad-bool" / "send_rangeData.tb", std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(-8, std::ios::end);
    std::uint64_t length = 0, trailer = 0;
    f.read(reinterpret_cast<char*>(&length), 8);
    f.seekg(-16, std::ios::end);
    f.read(reinterpret_cast<char*>(&trailer), 8);
    ASSERT_EQ(length, fs::file_size(dir() / "bad-bool" / "send_rangeData.tb"));
    f.seekp(static_cast<std::streamoff>(trailer) - 1);
    const char two = 2;
    f.write(&two, 1);
  }
  fs::create_directories(dir() / "device");
  fs::create_symlink("/dev/zero", dir() / "device" / "send_rangeData.tb");

  const std::vector<std::string> out = {"--output", "{dir}/replayed.ply"};
  const std::vector<Case> cases = {
      {"voxel-zero-as-float", with(out, {"--voxel", "1e-300", "{dir}/traces"}), 2, "1e-300 is not a number from 1e-06 to 1000 m (as a float it is 0)"},
      {"voxel-inf", with(out, {"--voxel", "inf", "{dir}/traces"}), 2, "inf is not a number"},
      {"voxel-too-large", with(out, {"--voxel", "1e30", "{dir}/traces"}), 2, "1e30 is not a number from"},
      {"step-wraps", with(out, {"--step", "4294967298", "{dir}/traces"}), 2, "4294967298 is not a whole number from"},
      {"no-folder", out, 2, "folder"},
      {"not-a-folder", with(out, {"{dir}/plain-file"}), 2, "not a folder"},
      {"no-recordings", with(out, {"{dir}/empty-traces"}), 1, "no send_rangeData or get_triMesh recording"},
      {"output-folder-missing", {"--output", "{dir}/none/replayed.ply", "{dir}/traces"}, 2, "no folder"},
      {"bool-byte-two", with(out, {"--voxel", "0.004", "{dir}/bad-bool"}), 1, "cannot read trace parameter isSample"},
      {"recording-is-a-device", with(out, {"{dir}/device"}), 1, "cannot open testbug file"},
      {"everything-clipped", with(out, {"--voxel", "0.004", "--clip-z", "1e30", "{dir}/traces"}), 1,
       "the replayed mesh is empty"},
  };
  check(TRACE_REPLAY, cases, {"replayed.ply"});
  // The good recording replays (the harness itself is sound).
  const ProgramRun good = run(TRACE_REPLAY, with(out, {"--voxel", "0.004", "{dir}/traces"}));
  EXPECT_EQ(good.exitCode, 0) << good.output;
  EXPECT_TRUE(fs::exists(dir() / "replayed.ply"));
}

TEST_F(Programs, CalibBoardGeneratorRefusesBadInput) {
  const std::vector<Case> cases = {
      {"no-arguments", {}, 2, "output"},
      {"scale-zero", {"{dir}/board.png", "0"}, 2, "0 is not a number from 1 to 100 px/mm"},
      {"scale-inf", {"{dir}/board.png", "inf"}, 2, "inf is not a number"},
      {"scale-trailing", {"{dir}/board.png", "5abc"}, 2, "5abc is not a number"},
      {"scale-too-large", {"{dir}/board.png", "1000"}, 2, "1000 is not a number from 1 to 100 px/mm"},
      {"folder-missing", {"{dir}/none/board.png"}, 2, "no folder"},
      {"not-png", {"{dir}/board.jpg"}, 2, "must end in .png"},
      {"extra-argument", {"{dir}/board.png", "2", "3"}, 2, "3"},
  };
  check(CALIB_BOARD_GENERATOR, cases, {"board.png", "board.jpg"});
  const ProgramRun good = run(CALIB_BOARD_GENERATOR, {"{dir}/board.png", "1"});
  EXPECT_EQ(good.exitCode, 0) << good.output;
  EXPECT_TRUE(fs::exists(dir() / "board.png"));
}

// The runs that work: the built-in object fuses, the laser mode fuses its
// sweeps frame by frame and reports "frame k of n".
TEST_F(Programs, GoodRunsSucceedAndSayWhatTheyWrote) {
  const ProgramRun range = run(FUSION_DEMO, with(kSmallSim, {"--output", "{dir}/ok.ply"}));
  EXPECT_EQ(range.exitCode, 0) << range.output;
  EXPECT_NE(range.output.find("wrote " + (dir() / "ok.ply").string()), std::string::npos) << range.output;
  EXPECT_NE(range.output.find("frame 10 of 10: "), std::string::npos) << range.output;
  EXPECT_EQ(range.output.find("fell outside"), std::string::npos) << range.output;
  const ProgramRun laser = run(FUSION_DEMO, {"--laser", "--frames", "4", "--voxel", "1", "--out", "{dir}"});
  EXPECT_EQ(laser.exitCode, 0) << laser.output;
  EXPECT_NE(laser.output.find("frame 24 of 24"), std::string::npos) << laser.output;
  EXPECT_TRUE(fs::exists(dir() / "laser_cloud.ply") && fs::exists(dir() / "laser_mesh.ply"));
  // --batch fuses the same sweeps in one call as well and compares the clouds.
  const ProgramRun batch =
      run(FUSION_DEMO, {"--laser", "--batch", "--frames", "4", "--voxel", "1", "--out", "{dir}/batch"});
  EXPECT_EQ(batch.exitCode, 0) << batch.output;
  EXPECT_NE(batch.output.find("within one cell of the real-time cloud"), std::string::npos) << batch.output;
  EXPECT_TRUE(fs::exists(dir() / "batch" / "laser_batch_cloud.ply"));
}

// --step samples the frames: fewer points enter the volume, and the demo
// says how many of how many.
TEST_F(Programs, FusionDemoStepSamplesTheFrames) {
  const std::regex integrated("integrated ([0-9]+) of ([0-9]+) points");
  std::smatch m;
  const ProgramRun all = run(FUSION_DEMO, {"--sim-camera", "64x48", "--voxel", "0.004", "--output", "{dir}/all.ply"});
  EXPECT_EQ(all.exitCode, 0) << all.output;
  ASSERT_TRUE(std::regex_search(all.output, m, integrated)) << all.output;
  const long long every = std::stoll(m[1]), sent = std::stoll(m[2]);
  EXPECT_GT(every, sent / 2);
  EXPECT_LE(every, sent);
  const ProgramRun sampled = run(FUSION_DEMO, {"--sim-camera", "64x48", "--voxel", "0.004", "--step", "2", "--output",
                                               "{dir}/sampled.ply"});
  EXPECT_EQ(sampled.exitCode, 0) << sampled.output;
  ASSERT_TRUE(std::regex_search(sampled.output, m, integrated)) << sampled.output;
  EXPECT_EQ(std::stoll(m[2]), sent);
  // Every second row and column, plus the steep points that sampling keeps.
  EXPECT_LT(std::stoll(m[1]), every * 3 / 4);
  EXPECT_GT(std::stoll(m[1]), every / 5);
  EXPECT_NE(sampled.output.find("(sample step 2)"), std::string::npos) << sampled.output;
}

// A voxel so fine that the volume (8186 usable voxels a side, 8 cm here)
// cannot hold the 10 cm object: the mesh is partial, and both the demo and
// the replay of its recording say how many points were dropped.
TEST_F(Programs, PointsOutsideTheVolumeAreCountedAloud) {
  const std::string fine = "0.00001";
  const std::regex dropped("warning: ([0-9]+) points fell outside the volume and were dropped: its usable cells "
                           "span 8186 voxels = 0.08186 m a side");
  const ProgramRun demo = run(FUSION_DEMO, {"--sim-camera", "32x24", "--voxel", fine, "--record", "{dir}/fine-traces",
                                           "--output", "{dir}/fine.ply"});
  EXPECT_EQ(demo.exitCode, 0) << demo.output;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(demo.output, m, dropped)) << demo.output;
  const long long count = std::stoll(m[1]);
  EXPECT_GT(count, 0);
  const ProgramRun replay = run(TRACE_REPLAY, {"--voxel", fine, "--output", "{dir}/fine-replayed.ply", "{dir}/fine-traces"});
  EXPECT_EQ(replay.exitCode, 0) << replay.output;
  ASSERT_TRUE(std::regex_search(replay.output, m, dropped)) << replay.output;
  EXPECT_EQ(std::stoll(m[1]), count);
}

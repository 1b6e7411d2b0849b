#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "CameraCalibrateParam.h"

using TavoAlgorithm::TavoRobotAlgorithm::CameraCalibrateParam;

namespace {

const char* const kCannotOpen = "Cann't Find Camera Calibration File!\n";
const char* const kFileError = "Camera Calibration File Error!\n";

// The ten records printed with printf from the reader's patterns.
std::string printed_file() {
  char buf[4096];
  std::snprintf(buf, sizeof buf,
                "Focal Length:          fc = [%lf %lf]\n"
                "                            [%lf %lf]\n"
                "Principal point:       cc = [%lf %lf]\n"
                "                            [%lf %lf\n\n]"
                "alpha:              alpha = [%lf] [%lf]\n"
                "Distortion:            kc = [%lf %lf %lf %lf %lf]\n"
                "                            [%lf %lf %lf %lf %lf]\n"
                "Translation vector:     T = [%lf %lf %lf]\n"
                "Rotation Matrix:        R = [%lf %lf %lf %lf %lf %lf %lf %lf %lf]\n"
                "Standard Error:     error = [%lf]\n",
                1200.5, 1201.25, 0.5, 0.5, 640.125, 480.75, 0.25, 0.25, 0.001, 0.0001, -0.125, 0.0625, 0.001, -0.002,
                0.03125, 0.01, 0.01, 0.001, 0.001, 0.01, -100.5, 2.25, 350.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0,
                9.0, 0.15);
  return buf;
}

// What the printed file holds, in the order of fields(): fc, cc, alpha, kc,
// R row by row, T.
const std::vector<double> kPrinted = {1200.5, 1201.25, 640.125, 480.75, 0.001, -0.125, 0.0625, 0.001, -0.002, 0.03125,
                                      1, 2, 3, 4, 5, 6, 7, 8, 9, -100.5, 2.25, 350.0};

std::vector<double> fields(const CameraCalibrateParam& p) {
  std::vector<double> v = {p.fc[0], p.fc[1], p.cc[0], p.cc[1], p.alpha};
  v.insert(v.end(), std::begin(p.kc), std::end(p.kc));
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) v.push_back(p.RT.get_rotation()(r, c));
  for (int k = 0; k < 3; ++k) v.push_back(p.RT.get_translation()(k));
  return v;
}

CameraCalibrateParam sentinel() {
  CameraCalibrateParam p;
  p.fc[0] = p.fc[1] = p.cc[0] = p.cc[1] = p.alpha = -7.0;
  for (double& k : p.kc) k = -8.0;
  p.RT = TavoAlgorithm::RigidMatrix(Eigen::Matrix3d::Constant(-9.0), Eigen::Vector3d::Constant(-10.0));
  return p;
}

// Reads a file into an object of sentinel values: console output and fields.
std::pair<std::string, std::vector<double>> read(const char* path) {
  CameraCalibrateParam p = sentinel();
  ::testing::internal::CaptureStdout();
  p.readParam(path);
  return {::testing::internal::GetCapturedStdout(), fields(p)};
}

std::pair<std::string, std::vector<double>> read_text(const std::string& text) {
  // Per process: ctest runs the cases side by side.
  const std::string path = ::testing::TempDir() + "tavo_camera_param_" + std::to_string(::getpid()) + ".txt";
  std::ofstream(path, std::ios::binary) << text;
  return read(path.c_str());
}

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size()))
    s.replace(pos, from.size(), to);
  return s;
}

}  // namespace

TEST(ReadParam, PrintedPatternsAndWhitespaceVariantsAreAccepted) {
  const std::string file = printed_file();
  const std::string accepted[] = {
      file,
      replace_all(file, "\n", "\r\n"),  // Windows line ends
      replace_all(file, "Focal Length:", "Focal    Length:"),
      replace_all(file, "          fc = [", " fc   =   [  "),
      replace_all(file, "[1200.500000 ", "[1200.500000\n\t"),
      replace_all(file, "Principal point:       cc", "Principal point:cc"),  // no blank at all
      replace_all(file, "[640.125000 ", "[+6.40125E2 "),                   // another decimal spelling
      file + "trailing text after the last record\n",
  };
  // Rotation 1..9 is stored row by row: the first row is (1, 2, 3).
  for (const std::string& text : accepted) EXPECT_EQ(read_text(text), std::make_pair(std::string(), kPrinted)) << text;
}

TEST(ReadParam, BrokenLayoutsAndMalformedFilesLeaveTheObjectUnchanged) {
  const std::string file = printed_file();
  std::vector<std::string> rejected = {
      replace_all(file, "1201.250000]", "1201.250000 ]"),  // blank before the bracket of record 1
      replace_all(file, "]alpha:", "]\nalpha:"),           // line end after the bracket of record 4
      file.substr(0, file.find("Rotation Matrix:")),       // stops after record 8: fc, cc read but not kept
      replace_all(file, "[0.150000]", "[0.150000"),        // last bracket missing
      "",
      "garbage\n",
      replace_all(file, "350.000000", "35O.000000"),  // letter O in a number
      replace_all(file, "[0.001000] [", "[abc] ["),
      replace_all(file, "[-100.500000 2.250000 350.000000]", "[-100.500000 2.250000]"),  // too few numbers
      replace_all(file, "Distortion:", "Distortions:"),
  };
  for (const char* number : {"1e999", "nan", "inf", "0x10", "1e", "."})  // out of range, not decimal, cut short
    rejected.push_back(replace_all(file, "-100.500000", number));
  for (std::size_t n = 0; n + 1 < file.size(); n += 37) rejected.push_back(file.substr(0, n));
  const auto unchanged = fields(sentinel());
  for (const std::string& text : rejected)
    EXPECT_EQ(read_text(text), std::make_pair(std::string(kFileError), unchanged)) << text;

  EXPECT_EQ(read("/nonexistent/dir/camera.txt"), std::make_pair(std::string(kCannotOpen), unchanged));
  EXPECT_EQ(read(nullptr), std::make_pair(std::string(kCannotOpen), unchanged));
}

// A calibration file is a few hundred bytes: anything far larger, and
// anything that is not a regular file, is refused before it is read (a
// device or a pipe would otherwise be read without end or block).
TEST(ReadParam, OversizedFilesDevicesAndPipesAreRefusedUnread) {
  const std::string dir = ::testing::TempDir() + "tavo_camera_param_dir_" + std::to_string(::getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir + "/folder.txt");
  const auto unchanged = fields(sentinel());
  // The printed records, then notes up to just below and just above 64 KiB.
  const std::string file = printed_file();
  const std::string fits = file + std::string(64 * 1024 - file.size(), ' ');
  EXPECT_EQ(read_text(fits), std::make_pair(std::string(), kPrinted));
  EXPECT_EQ(read_text(fits + " "), std::make_pair(std::string(kFileError), unchanged));

  ASSERT_EQ(::mkfifo((dir + "/pipe.txt").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir + "/zero.txt");
  for (const char* name : {"/pipe.txt", "/zero.txt", "/folder.txt"})
    EXPECT_EQ(read((dir + name).c_str()), std::make_pair(std::string(kFileError), unchanged)) << name;
  std::filesystem::remove_all(dir);
}

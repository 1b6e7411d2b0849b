#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <unistd.h>

#include "CameraCalibrateParam.h"
#include "calibration/CalibrationFileLayout.h"

using TavoAlgorithm::TavoRobotAlgorithm::CameraCalibrateParam;

namespace {

const char* const kCannotOpen = "Cann't Find Camera Calibration File!\n";
const char* const kFileError = "Camera Calibration File Error!\n";

// The ten records printed with printf from the layout's own patterns.
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
                0.03125, 0.01, 0.01, 0.001, 0.001, 0.01, -100.5, 2.25, 350.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0,
                0.15);
  return buf;
}

class ReadParam : public ::testing::Test {
 protected:
  // Per process: ctest runs the cases of this fixture side by side.
  std::string path_ = ::testing::TempDir() + "tavo_camera_param_" + std::to_string(::getpid()) + ".txt";

  void write(const std::string& text) {
    std::ofstream out(path_, std::ios::binary);
    out << text;
  }
  // Reads the file into an object holding sentinel values; returns the
  // console output.
  std::string read(CameraCalibrateParam& p, const char* path = nullptr) {
    p.fc[0] = p.fc[1] = -7.0;
    p.cc[0] = p.cc[1] = -8.0;
    p.alpha = -9.0;
    for (double& k : p.kc) k = -10.0;
    p.RT = TavoAlgorithm::RigidMatrix(Eigen::Matrix3d::Constant(-11.0), Eigen::Vector3d::Constant(-12.0));
    ::testing::internal::CaptureStdout();
    p.readParam(path ? path : path_.c_str());
    return ::testing::internal::GetCapturedStdout();
  }
  static void expect_unchanged(const CameraCalibrateParam& p) {
    EXPECT_EQ(p.fc[0], -7.0);
    EXPECT_EQ(p.fc[1], -7.0);
    EXPECT_EQ(p.cc[0], -8.0);
    EXPECT_EQ(p.cc[1], -8.0);
    EXPECT_EQ(p.alpha, -9.0);
    for (double k : p.kc) EXPECT_EQ(k, -10.0);
    EXPECT_EQ(p.RT.get_rotation(), Eigen::Matrix3d::Constant(-11.0));
    EXPECT_EQ(p.RT.get_translation(), Eigen::Vector3d::Constant(-12.0));
  }
  void expect_rejected(const std::string& text) {
    write(text);
    CameraCalibrateParam p;
    EXPECT_EQ(read(p), kFileError) << text;
    expect_unchanged(p);
  }
  void expect_accepted(const std::string& text) {
    write(text);
    CameraCalibrateParam p;
    EXPECT_EQ(read(p), "") << text;
    EXPECT_EQ(p.fc[0], 1200.5) << text;
    EXPECT_EQ(p.RT.get_rotation()(2, 2), 9.0) << text;
  }
};

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size()))
    s.replace(pos, from.size(), to);
  return s;
}

}  // namespace

TEST_F(ReadParam, PrintedPatternsGiveEveryValueInPlace) {
  write(printed_file());
  CameraCalibrateParam p;
  EXPECT_EQ(read(p), "");
  EXPECT_EQ(p.fc[0], 1200.5);
  EXPECT_EQ(p.fc[1], 1201.25);
  EXPECT_EQ(p.cc[0], 640.125);
  EXPECT_EQ(p.cc[1], 480.75);
  EXPECT_EQ(p.alpha, 0.001);
  const double kc[5] = {-0.125, 0.0625, 0.001, -0.002, 0.03125};
  for (int k = 0; k < 5; ++k) EXPECT_EQ(p.kc[k], kc[k]);
  Eigen::Matrix3d r;
  r << 1, 2, 3, 4, 5, 6, 7, 8, 9;
  EXPECT_EQ(p.RT.get_rotation(), r);  // row by row: first row (1, 2, 3)
  EXPECT_EQ(p.RT.get_translation(), Eigen::Vector3d(-100.5, 2.25, 350.0));
  // Copies carry every field.
  const CameraCalibrateParam copy = p;
  EXPECT_EQ(copy.kc[4], p.kc[4]);
  EXPECT_EQ(copy.RT.get_rotation(), r);
}

TEST_F(ReadParam, MissingFileOrNullPathLeavesObjectUnchanged) {
  CameraCalibrateParam p;
  EXPECT_EQ(read(p, "/nonexistent/dir/camera.txt"), kCannotOpen);
  expect_unchanged(p);
  ::testing::internal::CaptureStdout();
  p.readParam(nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), kCannotOpen);
  expect_unchanged(p);
}

TEST_F(ReadParam, WhitespaceVariantsAreAccepted) {
  const std::string file = printed_file();
  expect_accepted(replace_all(file, "\n", "\r\n"));                      // Windows line ends
  expect_accepted(replace_all(file, "Focal Length:", "Focal    Length:"));
  expect_accepted(replace_all(file, "          fc = [", " fc   =   [  "));
  expect_accepted(replace_all(file, "[1200.500000 ", "[1200.500000\n\t"));
  expect_accepted(replace_all(file, "Principal point:       cc", "Principal point:cc"));  // none at all
  expect_accepted(file + "trailing text after the last record\n");
  // Numbers in other decimal spellings.
  expect_accepted(replace_all(file, "[640.125000 ", "[+6.40125E2 "));
}

TEST_F(ReadParam, LayoutEdgeCasesAreRejected) {
  const std::string file = printed_file();
  // Space before the closing bracket of the first record.
  expect_rejected(replace_all(file, "1201.250000]", "1201.250000 ]"));
  // Line end between the bracket of record 4 and "alpha:".
  expect_rejected(replace_all(file, "]alpha:", "]\nalpha:"));
  // The file stops after the translation record (fc and cc were read).
  expect_rejected(file.substr(0, file.find("Rotation Matrix:")));
  // Missing closing bracket of the last record.
  expect_rejected(replace_all(file, "[0.150000]", "[0.150000"));
}

TEST_F(ReadParam, MalformedFilesAreRejected) {
  const std::string file = printed_file();
  expect_rejected("");
  expect_rejected("garbage\n");
  expect_rejected(replace_all(file, "350.000000", "35O.000000"));  // letter O in a number
  expect_rejected(replace_all(file, "[0.001000] [", "[abc] ["));
  expect_rejected(replace_all(file, "-100.500000", "1e999"));      // out of double range
  expect_rejected(replace_all(file, "-100.500000", "nan"));
  expect_rejected(replace_all(file, "-100.500000", "inf"));
  expect_rejected(replace_all(file, "-100.500000", "0x10"));
  expect_rejected(replace_all(file, "-100.500000", "1e"));
  expect_rejected(replace_all(file, "-100.500000", "."));
  // A record with too few numbers.
  expect_rejected(replace_all(file, "[-100.500000 2.250000 350.000000]", "[-100.500000 2.250000]"));
  expect_rejected(replace_all(file, "Distortion:", "Distortions:"));
  // Every truncation of a valid file fails.
  for (std::size_t n = 0; n + 1 < file.size(); n += 37) expect_rejected(file.substr(0, n));
}

TEST(CalibrationFileLayout, OffsetsCountTheValuesBeforeEachRecord) {
  using TavoAlgorithm::calibration::record_offset;
  EXPECT_EQ(record_offset(0), 0);
  EXPECT_EQ(record_offset(5), 10);
  EXPECT_EQ(record_offset(8), 23);
  EXPECT_EQ(record_offset(10), 33);
}

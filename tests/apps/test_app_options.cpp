#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "AppOptions.h"
#include "Progress.h"

using namespace TavoAlgorithm::apps;
namespace fs = std::filesystem;

namespace {
// The option's value after parsing `token`, or the parse error's text.
template <typename T>
std::string parse_one(const CLI::Validator& v, const std::string& token, T& value) {
  CLI::App app("test");
  app.add_option("--x", value)->transform(v);
  const std::string a0 = "test", a1 = "--x";
  std::string a2 = token;
  char* argv[] = {const_cast<char*>(a0.c_str()), const_cast<char*>(a1.c_str()), a2.data()};
  try {
    app.parse(3, argv);
  } catch (const CLI::ParseError& e) {
    return e.what();
  }
  return {};
}
}  // namespace

// What CLI11 converts is the value that was checked: no octal reading of a
// leading zero, no float that becomes 0 or infinite, no wrapped integer.
TEST(AppOptions, NumbersAreCheckedAsTheTypeTheyBecome) {
  int i = -1;
  EXPECT_EQ(parse_one(int_in(0, 100), "010", i), "");
  EXPECT_EQ(i, 10);
  EXPECT_EQ(parse_one(int_in(0, 100), "+7", i), "");
  EXPECT_EQ(i, 7);
  for (const char* bad : {"0x10", "1.5", "1e2", "4294967298", "-1", "101", "", "7 "})
    EXPECT_NE(parse_one(int_in(0, 100), bad, i), "") << "'" << bad << "'";

  float f = -1.f;
  EXPECT_EQ(parse_one(float_in(1e-6f, 1e3f, "m"), "0.001", f), "");
  EXPECT_EQ(f, 0.001f);
  EXPECT_EQ(parse_one(float_in(1e-6f, 1e3f, "m"), "1000", f), "");
  EXPECT_EQ(f, 1000.f);
  EXPECT_NE(parse_one(float_in(1e-6f, 1e3f, "m"), "1e-300", f).find("(as a float it is 0)"), std::string::npos);
  for (const char* bad : {"inf", "nan", "0.5abc", "0x1p3", "1e39", "1000.1", "0", "-0.001", "1,5"})
    EXPECT_NE(parse_one(float_in(1e-6f, 1e3f, "m"), bad, f), "") << bad;
  EXPECT_EQ(parse_one(positive_float("mm"), "1e-30", f), "");
  EXPECT_EQ(f, 1e-30f);
  EXPECT_NE(parse_one(positive_float("mm"), "1e-50", f), "");  // below the normal floats
}

TEST(AppOptions, OutputPathsAreCheckedBeforeTheWork) {
  const fs::path dir = fs::temp_directory_path() / ("tavo_app_options_" + std::to_string(::getpid()));
  fs::create_directories(dir / "sub.ply");
  std::ofstream(dir / "file") << "x";
  EXPECT_EQ(output_file_problem((dir / "out.ply").string(), {"ply", "stl"}), "");
  EXPECT_EQ(output_file_problem((dir / "OUT.STL").string(), {"ply", "stl"}), "");
  EXPECT_NE(output_file_problem((dir / "out.xyz").string(), {"ply", "stl"}).find("must end in .ply, .stl"), std::string::npos);
  EXPECT_NE(output_file_problem((dir / "sub.ply").string(), {"ply"}).find("it is a folder"), std::string::npos);
  EXPECT_NE(output_file_problem((dir / "none" / "out.ply").string(), {"ply"}).find("no folder"), std::string::npos);
  EXPECT_NE(output_file_problem((dir / "file" / "out.ply").string(), {"ply"}).find("no folder"), std::string::npos);
  EXPECT_EQ(output_folder_problem((dir / "new" / "deeper").string()), "");
  EXPECT_TRUE(fs::is_directory(dir / "new" / "deeper") && fs::is_empty(dir / "new" / "deeper"));  // probe removed
  EXPECT_NE(output_folder_problem((dir / "file").string()), "");
  EXPECT_NE(output_folder_problem("/dev/null/traces"), "");
  fs::remove_all(dir);
}

// Off a terminal: a line per report at most every half second, and always
// the last one.
TEST(AppOptions, ProgressLinesCountItems) {
  testing::internal::CaptureStdout();
  {
    Progress p("frame", 3);
    p.report(1, "first");
    p.report(2, "second");  // too soon after the first
    p.report(3, "last");
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "frame 1 of 3: first\nframe 3 of 3: last\n");
  EXPECT_EQ(Progress("scan", 8).count_text(3), "scan 3 of 8");
}

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "geometry/InputFile.h"
#include "temp_dir.h"

using namespace TavoAlgorithm;
using TavoAlgorithm::test::TempDir;

TEST(InputFile, NumbersMustBeWholeTokensOfTheirType) {
  const std::pair<const char*, double> doubles[] = {
      {"1.5", 1.5}, {"+2", 2.0}, {"-0.25e2", -25.0}, {".5", 0.5}, {"5.", 5.0}, {"1E3", 1000.0}};
  for (const auto& [text, want] : doubles) {
    double v = 0;
    EXPECT_TRUE(parse_double_token(text, v) && v == want) << text;
  }
  double v = 0;
  EXPECT_TRUE(parse_double_token("nan", v) && std::isnan(v));
  EXPECT_TRUE(parse_double_token("-inf", v) && std::isinf(v) && v < 0);
  for (const char* bad : {"", " 1", "1 ", "1.5abc", "0x10", "+-1", "1e", "e5", "1e999", "-1e999", "1e-400", "1,5"})
    EXPECT_FALSE(parse_double_token(bad, v)) << "'" << bad << "'";

  long long i = 0;
  EXPECT_TRUE(parse_integer_token("+42", i) && i == 42);
  EXPECT_TRUE(parse_integer_token("-9223372036854775808", i) && i == INT64_MIN);
  for (const char* bad : {"", "1.5", "nan", "1e3", "9223372036854775808", "12a", " 3"})
    EXPECT_FALSE(parse_integer_token(bad, i)) << "'" << bad << "'";
  EXPECT_TRUE(parse_integer_token("255", 0, 255, i) && i == 255);
  EXPECT_FALSE(parse_integer_token("256", 0, 255, i));
  EXPECT_FALSE(parse_integer_token("-1", 0, 255, i));

  for (const double ok : {0.0, 3.0, 9.0}) EXPECT_TRUE(is_index_value(ok, 10)) << ok;
  for (const double bad : {-1.0, 10.0, 1.5, std::nan(""), double(INFINITY), -0.5, 1e300}) EXPECT_FALSE(is_index_value(bad, 10)) << bad;
}

TEST(InputFile, LinesAreBoundedAndLoseTheirLineEnds) {
  std::istringstream in("one\r\ntwo\n\n" + std::string(20, 'x') + "\nlast");
  std::string line;
  EXPECT_EQ(read_bounded_line(in, 10, line), LineRead::Line);
  EXPECT_EQ(line, "one");
  EXPECT_EQ(read_bounded_line(in, 10, line), LineRead::Line);
  EXPECT_EQ(line, "two");
  EXPECT_EQ(read_bounded_line(in, 10, line), LineRead::Line);
  EXPECT_EQ(line, "");
  EXPECT_EQ(read_bounded_line(in, 10, line), LineRead::TooLong);
  std::istringstream tail("last");
  EXPECT_EQ(read_bounded_line(tail, 10, line), LineRead::Line);
  EXPECT_EQ(line, "last");
  EXPECT_EQ(read_bounded_line(tail, 10, line), LineRead::End);
}

TEST(InputFile, SmallFilesAreReadWholeUpToTheirBound) {
  TempDir dir;
  std::string text, error;
  InputFault fault = InputFault::None;
  ASSERT_TRUE(read_small_file(dir.write("ten.txt", "0123456789"), 10, text, error, &fault));
  EXPECT_EQ(text, "0123456789");
  text = "kept";
  EXPECT_FALSE(read_small_file(dir.file("ten.txt"), 9, text, error, &fault));
  EXPECT_TRUE(fault == InputFault::TooLarge && text == "kept" && error.find("10 bytes") != std::string::npos) << error;
  EXPECT_FALSE(read_small_file(dir.file("none.txt"), 9, text, error, &fault));
  EXPECT_TRUE(fault == InputFault::CannotOpen && error == "no such file");
  EXPECT_FALSE(read_small_file(dir.path.string(), 9, text, error, &fault));
  EXPECT_TRUE(fault == InputFault::NotRegular && error == "not a regular file");
}

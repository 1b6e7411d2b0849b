#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "RetVal.h"
#include "common/console.h"

using namespace TavoAlgorithm;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

TEST(RetVal, NumericValuesAreFixed) {
  EXPECT_EQ(static_cast<int>(RETVAL_SUCCESS), 0);
  EXPECT_EQ(static_cast<int>(RETVAL_FAILED), 2);
  EXPECT_EQ(static_cast<int>(RETVAL_NOT_READY), 3);
  EXPECT_EQ(static_cast<int>(RETVAL_NO_MEMORY), 4);
  EXPECT_EQ(sizeof(RetVal), 4u);
}

TEST(Console, LineShapes) {
  CaptureStdout();
  console::error_at("common/voxelGpu/TavoVoxelGpu.h", 42, "TavoVoxelGpu is not init !!!!!!!!!!!!!!!!");
  console::warning_at("AutoScan/holes.cpp", 7, "none hole need scan !");
  console::gpu_error("invalid argument", "common/gpu/kernels.cu", 99);
  console::message("must set param first! ");
  console::elapsed_us(console::label::kMcUs, 1234567);
  EXPECT_EQ(GetCapturedStdout(),
            "common/voxelGpu/TavoVoxelGpu.h 42 Error: TavoVoxelGpu is not init !!!!!!!!!!!!!!!!\n"
            "AutoScan/holes.cpp 7 Warning: none hole need scan !\n"
            "Error: invalid argument\tcommon/gpu/kernels.cu:99\n"
            "must set param first! \n"
            "Mc Time is:1234567\n");

  CaptureStderr();
  CaptureStdout();
  console::unknown_exception();
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "unknown exception\n");
}

TEST(Console, LocatedMacroNamesThisFileAndLine) {
  CaptureStdout();
  const int line = __LINE__ + 1;
  TAVO_LOG_ERROR("rge is empty !");
  EXPECT_EQ(GetCapturedStdout(), std::string(__FILE__) + " " + std::to_string(line) +
                                     " Error: rge is empty !\n");
}

TEST(Console, ElapsedMillisecondsIsAnIntegerAfterTheLabel) {
  CaptureStdout();
  console::elapsed_ms(console::label::kRebuildMesh, std::clock());
  const std::string out = GetCapturedStdout();
  EXPECT_TRUE(std::regex_match(out, std::regex("rebuild mesh cost:   [0-9]+\n"))) << out;
}

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "RetVal.h"
#include "common/console.h"

using namespace TavoAlgorithm;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

TEST(Console, ReturnCodesAndTheFiveLineShapes) {
  // Callers compare numbers; 1 stays unused.
  EXPECT_EQ((std::vector<int>{RETVAL_SUCCESS, RETVAL_FAILED, RETVAL_NOT_READY, RETVAL_NO_MEMORY}),
            (std::vector<int>{0, 2, 3, 4}));
  EXPECT_EQ(sizeof(RetVal), 4u);

  CaptureStdout();
  console::error_at("common/voxelGpu/TavoVoxelGpu.h", 42, "TavoVoxelGpu is not init !!!!!!!!!!!!!!!!");
  console::warning_at("AutoScan/holes.cpp", 7, "none hole need scan !");
  console::gpu_error("invalid argument", "common/gpu/kernels.cu", 99);
  console::message("must set param first! ");
  console::elapsed_us(console::label::kMcUs, 1234567);
  const int line = __LINE__ + 1;
  TAVO_LOG_ERROR("rge is empty !");
  EXPECT_EQ(GetCapturedStdout(),
            "common/voxelGpu/TavoVoxelGpu.h 42 Error: TavoVoxelGpu is not init !!!!!!!!!!!!!!!!\n"
            "AutoScan/holes.cpp 7 Warning: none hole need scan !\n"
            "Error: invalid argument\tcommon/gpu/kernels.cu:99\n"
            "must set param first! \n"
            "Mc Time is:1234567\n" +
                std::string(__FILE__) + " " + std::to_string(line) + " Error: rge is empty !\n");

  CaptureStderr();
  CaptureStdout();
  console::unknown_exception();
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "unknown exception\n");
}

TEST(Console, MillisecondLinesCountProcessorMilliseconds) {
  // Less than a millisecond of processor time prints 0; a start one second of
  // ticks back prints 1000, whatever the clock's tick rate.
  CaptureStdout();
  console::elapsed_ms(console::label::kRebuildMesh, std::clock());
  console::elapsed_ms(console::label::kRebuildMesh, std::clock() - CLOCKS_PER_SEC);
  EXPECT_EQ(GetCapturedStdout(), "rebuild mesh cost:   0\nrebuild mesh cost:   1000\n");
}

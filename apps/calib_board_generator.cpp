// Writes the calibration board as a PNG for printing:
//   calib_board_generator out.png [pixels-per-mm]
// The default of 11.811 px/mm prints at 300 dpi.
#include <string>

#include "AppOptions.h"
#include "calibration_platform/CalibrationBoard.h"
#include "common/console.h"

namespace {
constexpr const char* kProgram = "calib_board_generator";
constexpr double kDefaultPixelsPerMm = 300.0 / 25.4;
}  // namespace

int main(int argc, char** argv) {
  namespace calib = TavoAlgorithm::TavoCalibration;
  namespace apps = TavoAlgorithm::apps;
  std::string path;
  float scale = static_cast<float>(kDefaultPixelsPerMm);
  CLI::App app("Writes the calibration board (9 x 7 marks, 25 mm apart) as an 8-bit PNG for printing.", kProgram);
  app.add_option("output", path, "PNG file to write")->required();
  app.add_option("pixels-per-mm", scale, "image pixels per millimetre of the board (default 11.811 = 300 dpi)")
      ->transform(apps::float_in(static_cast<float>(calib::kMinBoardPixelsPerMm),
                                 static_cast<float>(calib::kMaxBoardPixelsPerMm), "px/mm"));
  if (const int rc = apps::parse_command_line(app, argc, argv); rc >= 0) return rc;
  if (const std::string problem = apps::output_file_problem(path, {"png"}); !problem.empty()) {
    apps::report_error(kProgram, problem);
    return 2;
  }
  if (!calib::write_board_png(path, scale)) {
    apps::report_error(kProgram, "cannot write the board to " + path + " at " + apps::number(scale) + " px/mm");
    return 1;
  }
  TavoAlgorithm::console::message("wrote " + path + " at " + apps::number(scale) + " px/mm");
  return 0;
}

// Writes the calibration board as a PNG for printing:
//   calib_board_generator out.png [pixels-per-mm]
// The default of 11.811 px/mm prints at 300 dpi.
#include <cstdlib>
#include <string>

#include "calibration_platform/CalibrationBoard.h"
#include "common/console.h"

namespace {
constexpr double kDefaultPixelsPerMm = 300.0 / 25.4;
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    TavoAlgorithm::console::message(std::string("usage: ") + argv[0] + " out.png [pixels-per-mm]");
    return 2;
  }
  const double scale = argc == 3 ? std::strtod(argv[2], nullptr) : kDefaultPixelsPerMm;
  if (!TavoAlgorithm::TavoCalibration::write_board_png(argv[1], scale)) {
    TavoAlgorithm::console::message(std::string("cannot write the board to ") + argv[1] + " at " +
                                    std::to_string(scale) + " px/mm");
    return 1;
  }
  return 0;
}

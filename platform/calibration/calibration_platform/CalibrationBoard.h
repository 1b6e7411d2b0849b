#pragma once
// The calibration board: dark filled circles on a light ground in a grid of
// kColumns x kRows marks, kSpacingMm apart. Four marks are larger; their
// pattern is unchanged by no flip or half turn of the grid, so it fixes the
// board's origin and orientation in any view of the front face:
//
//   row 0   o o o o o o o o o
//   row 1   o o o o o o o o o
//   row 2   o o o O O O o o o      O: big mark
//   row 3   o o o O o o o o o
//   row 4   o o o o o o o o o
//   row 5   o o o o o o o o o
//   row 6   o o o o o o o o o
//
// Board frame (mm): origin at the centre of mark (column 0, row 0), x along
// the columns, y along the rows (down the printed sheet), z into the board.
// Mark k = row * kColumns + column; every recogniser output uses this order.
#include <string>
#include <vector>

#include <Eigen/Core>

#include "geometry/Image.h"

namespace TavoAlgorithm::TavoCalibration {

struct CalibrationBoard {
  static constexpr int kColumns = 9;
  static constexpr int kRows = 7;
  static constexpr int kMarkCount = kColumns * kRows;
  static constexpr double kSpacingMm = 25.0;
  static constexpr double kSmallRadiusMm = 4.0;
  static constexpr double kBigRadiusMm = 8.0;
  // Printed sheet: light margin around the outer mark centres.
  static constexpr double kMarginMm = 20.0;

  static bool is_big(int column, int row);
  static double radius_mm(int column, int row);
  // Mark centres in the board frame, in mark order (z = 0).
  static std::vector<Eigen::Vector3d> mark_positions();
};

// Scales the board is rendered at, in pixels per millimetre.
inline constexpr double kMinBoardPixelsPerMm = 1.0;
inline constexpr double kMaxBoardPixelsPerMm = 100.0;

// Top view of the board at `pixelsPerMm` (within the bounds above),
// anti-aliased by sub-sampling: ground 255, marks 0. Empty for a bad scale.
Image<1, unsigned char> render_board(double pixelsPerMm);

// Renders the board and writes it as an 8-bit PNG; false when the scale is
// bad or the file cannot be written.
bool write_board_png(const std::string& path, double pixelsPerMm);

}  // namespace TavoAlgorithm::TavoCalibration

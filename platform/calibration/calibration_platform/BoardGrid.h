#pragma once
// Puts detected blobs on the board's grid: walks the lattice of blob centres
// from the blob nearest the middle, then finds the single placement of the
// walked grid on the board (flip, quarter turns, offset) under which the large
// blobs are exactly the board's big marks.
#include <vector>

#include <Eigen/Core>

namespace TavoAlgorithm::TavoCalibration {

struct GridBlob {
  Eigen::Vector2d centre;  // image pixels
  double area = 0.0;       // pixels
};

struct GridOptions {
  // A blob is taken for a predicted grid node when it lies within this
  // fraction of the local lattice step.
  double matchTolerance = 0.4;
  // A blob is big when its area, relative to the local cell area, exceeds
  // this multiple of the median relative area.
  double bigAreaRatio = 2.1;
};

// Blob index of every board mark (CalibrationBoard order), -1 for marks not
// seen; empty when no unique placement exists (too few blobs, clutter, an
// ambiguous or contradicting big-mark pattern). Image y points down, so a
// view of the board's front face is never mirrored.
std::vector<int> assign_board_marks(const std::vector<GridBlob>& blobs, const GridOptions& options);

}  // namespace TavoAlgorithm::TavoCalibration

#include "calibration_platform/CalibrationBoard.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "geometry/PngWriter.h"

namespace TavoAlgorithm::TavoCalibration {

namespace {
// Sub-samples per pixel side of the printed rendering.
constexpr int kSubSamples = 4;
}  // namespace

bool CalibrationBoard::is_big(int column, int row) {
  return (row == 2 && column >= 3 && column <= 5) || (row == 3 && column == 3);
}

double CalibrationBoard::radius_mm(int column, int row) {
  return is_big(column, row) ? kBigRadiusMm : kSmallRadiusMm;
}

std::vector<Eigen::Vector3d> CalibrationBoard::mark_positions() {
  std::vector<Eigen::Vector3d> pts;
  pts.reserve(kMarkCount);
  for (int r = 0; r < kRows; ++r)
    for (int c = 0; c < kColumns; ++c) pts.emplace_back(c * kSpacingMm, r * kSpacingMm, 0.0);
  return pts;
}

Image<1, unsigned char> render_board(double pixelsPerMm) {
  if (!(pixelsPerMm >= kMinBoardPixelsPerMm && pixelsPerMm <= kMaxBoardPixelsPerMm)) return {};
  using B = CalibrationBoard;
  const double widthMm = (B::kColumns - 1) * B::kSpacingMm + 2.0 * B::kMarginMm;
  const double heightMm = (B::kRows - 1) * B::kSpacingMm + 2.0 * B::kMarginMm;
  const int w = static_cast<int>(std::ceil(widthMm * pixelsPerMm));
  const int h = static_cast<int>(std::ceil(heightMm * pixelsPerMm));
  Image<1, unsigned char> img(w, h, 255);
  const double step = 1.0 / (kSubSamples * pixelsPerMm);
  for (int r = 0; r < B::kRows; ++r) {
    for (int c = 0; c < B::kColumns; ++c) {
      const double cx = B::kMarginMm + c * B::kSpacingMm, cy = B::kMarginMm + r * B::kSpacingMm;
      const double rad = B::radius_mm(c, r);
      const int x0 = std::max(0, static_cast<int>((cx - rad) * pixelsPerMm) - 1);
      const int x1 = std::min(w - 1, static_cast<int>((cx + rad) * pixelsPerMm) + 1);
      const int y0 = std::max(0, static_cast<int>((cy - rad) * pixelsPerMm) - 1);
      const int y1 = std::min(h - 1, static_cast<int>((cy + rad) * pixelsPerMm) + 1);
      for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
          int inside = 0;
          for (int sy = 0; sy < kSubSamples; ++sy)
            for (int sx = 0; sx < kSubSamples; ++sx) {
              const double px = x / pixelsPerMm + (sx + 0.5) * step - cx;
              const double py = y / pixelsPerMm + (sy + 0.5) * step - cy;
              if (px * px + py * py <= rad * rad) ++inside;
            }
          const double ground = 1.0 - double(inside) / (kSubSamples * kSubSamples);
          img.at(x, y) = static_cast<unsigned char>(std::lround(255.0 * ground));
        }
      }
    }
  }
  return img;
}

bool write_board_png(const std::string& path, double pixelsPerMm) {
  Image<1, unsigned char> img = render_board(pixelsPerMm);
  if (img.empty()) return false;
  std::string error;
  return write_png(path, img, error);
}

}  // namespace TavoAlgorithm::TavoCalibration

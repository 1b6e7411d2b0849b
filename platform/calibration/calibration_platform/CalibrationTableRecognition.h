#pragma once
// Recogniser of the calibration board (CalibrationBoard.h) in grey images.
#include <vector>

#include <Eigen/Core>

#include "geometry/Image.h"

namespace TavoAlgorithm::TavoCalibration {

// Settings record of the recogniser, fields in record order. Fields named
// `reserved*` keep the record layout that callers write field by field; this
// recogniser does not read them.
struct CalibrationTableParam {
  int blurKernelX = 5;  // Gaussian smoothing ahead of thresholding (odd sizes)
  int blurKernelY = 5;
  double blurSigma = 1.0;
  double reserved4 = 1.0;
  double minCircularity = 0.35;  // 4 pi area / perimeter^2 of a mark outline
  double minConvexity = 0.7;     // area / convex hull area of a mark outline
  double minThreshold = 70.0;    // Otsu's grey threshold is clamped into this range
  double maxThreshold = 140.0;
  double bigAreaRatio = 2.1;     // big marks: relative area above this multiple of the median
  double matchTolerance = 0.4;   // grid walk acceptance, fraction of the lattice step
  double reserved11 = 0.6;
  double centroidMargin = 6.0;   // pixels added around a mark for its grey centroid
  int minBlobArea = 6;           // pixels
  int maxBlobCount = 200;        // more candidate marks than this: cluttered image, no board
  bool lightMarks = false;       // true: light marks on a dark ground
  int reserved16 = 1;
  int reserved17 = 4;
  double reserved18 = 1.2;
  int reserved19 = 40;
  int reserved20 = 17;
  int reserved21 = 14;
  double reserved22 = 25.0;
  double reserved23 = 25.0;
  int reserved24 = 8;
  int reserved25 = 6;
  int reserved26 = 8;
  int reserved27 = 5;
  int reserved28 = 7;
  int reserved29 = 11;
  int reserved30 = 4;
  int reserved31 = 8;
  int reserved32 = 8;
  int reserved33 = 8;
};

class CalibrationTableRecognition {
 public:
  CalibrationTableRecognition() = default;
  explicit CalibrationTableRecognition(const CalibrationTableParam& param) : m_param(param) {}

  void set_param(const CalibrationTableParam& param) { m_param = param; }
  const CalibrationTableParam& get_param() const { return m_param; }

  // Finds the board in a grey image (values 0 ... 255) and writes the mark
  // centres in image pixels (pixel (x, y) centred at (x, y)), in board mark
  // order, so that index k is the same physical mark in every view.
  //  - keepPartial false: all marks or none; true: a partly seen board whose
  //    big marks fix its placement gives the full list with (-1, -1) for the
  //    marks not seen.
  //  - coarseCentres true: outline centroids instead of the sub-pixel grey
  //    centroids (which are also freed of the perspective offset of a disc's
  //    area centroid, from the homography fitted to the marks).
  // Returns false with an empty list when no board is found, on an empty or
  // inconsistent image, or on bad settings. Const and thread-safe.
  bool recognition_tavo_calibTable(const Image<1, float>& image, std::vector<Eigen::Vector2d>& marks,
                                   bool keepPartial, bool coarseCentres) const;

 private:
  CalibrationTableParam m_param;
};

}  // namespace TavoAlgorithm::TavoCalibration

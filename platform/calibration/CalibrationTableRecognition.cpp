#include "calibration_platform/CalibrationTableRecognition.h"

#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration_platform/BoardGrid.h"
#include "calibration_platform/CalibrationBoard.h"

namespace TavoAlgorithm::TavoCalibration {

namespace {

// Re-centring passes of the grey centroid window.
constexpr int kCentroidPasses = 2;
constexpr double kMaxGrey = 255.0;
constexpr std::size_t kMinHomographyMarks = 8;
constexpr int kOutlineSamples = 64;

struct Candidate {
  cv::Rect box;
  cv::Point2d outlineCentre;
  double area = 0.0;
};

bool settings_valid(const CalibrationTableParam& p) {
  return p.blurKernelX >= 1 && p.blurKernelY >= 1 && p.blurKernelX % 2 == 1 && p.blurKernelY % 2 == 1 &&
         p.blurSigma >= 0.0 && p.minThreshold >= 0.0 && p.maxThreshold <= kMaxGrey &&
         p.minThreshold <= p.maxThreshold && p.bigAreaRatio > 1.0 && p.matchTolerance > 0.0 &&
         p.matchTolerance < 0.5 && p.centroidMargin >= 0.0 && p.minBlobArea >= 1 && p.maxBlobCount >= 1;
}

// Grey-weighted centroid of the darkness of one mark. Pixels of other marks
// are left out; the ground level is the mean of the window's ground pixels.
cv::Point2d grey_centroid(const cv::Mat& grey, const cv::Mat& labels, const cv::Mat& binary, int label,
                          const Candidate& c, double margin) {
  const int m = static_cast<int>(std::ceil(margin));
  const cv::Rect bounds(0, 0, grey.cols, grey.rows);
  cv::Point2d centre = c.outlineCentre;
  for (int pass = 0; pass < kCentroidPasses; ++pass) {
    const cv::Rect win = cv::Rect(static_cast<int>(std::lround(centre.x - c.box.width / 2.0)) - m,
                                  static_cast<int>(std::lround(centre.y - c.box.height / 2.0)) - m,
                                  c.box.width + 2 * m, c.box.height + 2 * m) & bounds;
    double groundSum = 0.0;
    int groundCount = 0;
    for (int y = win.y; y < win.y + win.height; ++y)
      for (int x = win.x; x < win.x + win.width; ++x)
        if (binary.at<unsigned char>(y, x) == 0) {
          groundSum += grey.at<float>(y, x);
          ++groundCount;
        }
    if (groundCount == 0) return centre;
    const double ground = groundSum / groundCount;
    double sw = 0.0, sx = 0.0, sy = 0.0;
    for (int y = win.y; y < win.y + win.height; ++y)
      for (int x = win.x; x < win.x + win.width; ++x) {
        const int l = labels.at<int>(y, x);
        if (l != 0 && l != label) continue;
        const double w = std::max(0.0, ground - grey.at<float>(y, x));
        sw += w;
        sx += w * x;
        sy += w * y;
      }
    if (!(sw > 0.0)) return centre;
    centre = {sx / sw, sy / sw};
  }
  return centre;
}

// A disc seen in perspective has its area centroid off the image of its
// centre. With the board-to-image homography fitted to the marks, the offset
// of each mark is computed from its projected outline and removed.
void remove_perspective_offset(std::vector<Eigen::Vector2d>& marks) {
  std::vector<cv::Point2d> board, image;
  const auto positions = CalibrationBoard::mark_positions();
  for (std::size_t k = 0; k < marks.size(); ++k) {
    if (marks[k].x() < 0.0) continue;
    board.emplace_back(positions[k].x(), positions[k].y());
    image.emplace_back(marks[k].x(), marks[k].y());
  }
  if (board.size() < kMinHomographyMarks) return;
  const cv::Mat h = cv::findHomography(board, image, 0);
  if (h.empty()) return;
  const auto map = [&h](double x, double y) {
    const double w = h.at<double>(2, 0) * x + h.at<double>(2, 1) * y + h.at<double>(2, 2);
    return Eigen::Vector2d((h.at<double>(0, 0) * x + h.at<double>(0, 1) * y + h.at<double>(0, 2)) / w,
                           (h.at<double>(1, 0) * x + h.at<double>(1, 1) * y + h.at<double>(1, 2)) / w);
  };
  for (std::size_t k = 0; k < marks.size(); ++k) {
    if (marks[k].x() < 0.0) continue;
    const int col = static_cast<int>(k) % CalibrationBoard::kColumns, row = static_cast<int>(k) / CalibrationBoard::kColumns;
    const double r = CalibrationBoard::radius_mm(col, row);
    const Eigen::Vector2d c = map(positions[k].x(), positions[k].y());
    // Area centroid of the projected outline polygon.
    double area = 0.0;
    Eigen::Vector2d acc = Eigen::Vector2d::Zero();
    Eigen::Vector2d prev = map(positions[k].x() + r, positions[k].y()) - c;
    for (int i = 1; i <= kOutlineSamples; ++i) {
      const double a = 2.0 * CV_PI * i / kOutlineSamples;
      const Eigen::Vector2d cur = map(positions[k].x() + r * std::cos(a), positions[k].y() + r * std::sin(a)) - c;
      const double cr = prev.x() * cur.y() - cur.x() * prev.y();
      area += cr;
      acc += cr * (prev + cur);
      prev = cur;
    }
    if (std::abs(area) <= 0.0 || !acc.allFinite()) continue;
    marks[k] -= acc / (3.0 * area);
  }
}

}  // namespace

bool CalibrationTableRecognition::recognition_tavo_calibTable(const Image<1, float>& image,
                                                              std::vector<Eigen::Vector2d>& marks,
                                                              bool keepPartial, bool coarseCentres) const {
  marks.clear();
  const CalibrationTableParam& p = m_param;
  if (image.empty() || !image.is_consistent() || !settings_valid(p)) return false;

  // Dark marks on a light ground from here on.
  cv::Mat grey(image.height(), image.width(), CV_32F);
  std::copy(image.data().begin(), image.data().end(), grey.ptr<float>());
  cv::patchNaNs(grey, kMaxGrey);
  if (p.lightMarks) grey = kMaxGrey - grey;
  cv::Mat grey8, smooth, binary;
  grey.convertTo(grey8, CV_8U);
  cv::GaussianBlur(grey8, smooth, cv::Size(p.blurKernelX, p.blurKernelY), p.blurSigma);
  double t = cv::threshold(smooth, binary, 0, 255, cv::THRESH_BINARY_INV | cv::THRESH_OTSU);
  if (t < p.minThreshold || t > p.maxThreshold) {
    t = std::clamp(t, p.minThreshold, p.maxThreshold);
    cv::threshold(smooth, binary, t, 255, cv::THRESH_BINARY_INV);
  }

  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(binary, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
  std::vector<Candidate> cands;
  std::vector<int> contourOf;
  for (int i = 0; i < static_cast<int>(contours.size()); ++i) {
    const auto& ct = contours[i];
    const double area = cv::contourArea(ct);
    if (area < p.minBlobArea) continue;
    const cv::Rect box = cv::boundingRect(ct);
    // Marks cut by the image border have a displaced centre.
    if (box.x <= 0 || box.y <= 0 || box.x + box.width >= grey.cols || box.y + box.height >= grey.rows) continue;
    const double perimeter = cv::arcLength(ct, true);
    if (!(perimeter > 0.0) || 4.0 * CV_PI * area / (perimeter * perimeter) < p.minCircularity) continue;
    std::vector<cv::Point> hull;
    cv::convexHull(ct, hull);
    const double hullArea = cv::contourArea(hull);
    if (!(hullArea > 0.0) || area / hullArea < p.minConvexity) continue;
    const cv::Moments mo = cv::moments(ct);
    cands.push_back({box, {mo.m10 / mo.m00, mo.m01 / mo.m00}, area});
    contourOf.push_back(i);
  }
  if (cands.empty() || static_cast<int>(cands.size()) > p.maxBlobCount) return false;

  std::vector<GridBlob> blobs;
  blobs.reserve(cands.size());
  for (const auto& c : cands) blobs.push_back({{c.outlineCentre.x, c.outlineCentre.y}, c.area});
  const std::vector<int> assignment = assign_board_marks(blobs, {p.matchTolerance, p.bigAreaRatio});
  if (assignment.empty()) return false;
  const bool complete = std::none_of(assignment.begin(), assignment.end(), [](int b) { return b < 0; });
  if (!complete && !keepPartial) return false;

  cv::Mat labels;
  if (!coarseCentres) {
    labels = cv::Mat::zeros(grey.size(), CV_32S);
    for (int k = 0; k < static_cast<int>(cands.size()); ++k)
      cv::drawContours(labels, contours, contourOf[k], cv::Scalar(k + 1), cv::FILLED);
  }
  marks.assign(assignment.size(), Eigen::Vector2d(-1.0, -1.0));
  for (std::size_t k = 0; k < assignment.size(); ++k) {
    const int b = assignment[k];
    if (b < 0) continue;
    const cv::Point2d c = coarseCentres
                              ? cands[b].outlineCentre
                              : grey_centroid(grey, labels, binary, b + 1, cands[b], p.centroidMargin);
    marks[k] = {c.x, c.y};
  }
  if (!coarseCentres) remove_perspective_offset(marks);
  return true;
}

}  // namespace TavoAlgorithm::TavoCalibration

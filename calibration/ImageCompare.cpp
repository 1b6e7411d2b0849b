#include <Eigen/QR>
#include <cmath>

#include "ComputeRT.h"
#include "calibration_platform/CalibrationTableRecognition.h"
#include "calibration_platform/ImageConversion.h"

namespace TavoAlgorithm {

namespace {
constexpr int kMinAffinePairs = 3;
constexpr int kAffineUnknowns = 6;

bool board_marks(const TavoCalibration::CalibrationTableRecognition& rec, const Image<1, unsigned char>& img,
                 std::vector<Eigen::Vector2f>& marks) {
  Image<1, float> f;
  std::vector<Eigen::Vector2d> m;
  TavoCalibration::image_conversion(img, f);
  rec.recognition_tavo_calibTable(f, m, false, false);
  marks.clear();
  for (const auto& p : m) marks.push_back(p.cast<float>());
  return !marks.empty();
}
}  // namespace

double compute_fovy(const Eigen::Vector2f& f, const Eigen::Vector2f& /*c*/, const Eigen::Vector2i& size) {
  const float half = static_cast<float>(size.y() / 2);
  return static_cast<double>(2.0f * std::atan(half / f.y()));
}

double compute_project_fix_angle(const Eigen::Vector2f& f, const Eigen::Vector2f& c, const Eigen::Vector2i& size) {
  const float half = static_cast<float>(size.y() / 2);
  return static_cast<double>(4.0f * std::fabs(std::atan((half - c.y()) / f.y())));
}

RetVal compute_affine_mat2d(const std::vector<Eigen::Vector2f>& source, const std::vector<Eigen::Vector2f>& target,
                            Eigen::Matrix<float, 2, 3>& a) {
  const std::size_t n = source.size();
  if (n != target.size() || n < kMinAffinePairs) return RETVAL_FAILED;
  Eigen::MatrixXd m = Eigen::MatrixXd::Zero(2 * n, kAffineUnknowns);
  Eigen::VectorXd b(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!source[i].allFinite() || !target[i].allFinite()) return RETVAL_FAILED;
    const Eigen::Index r = static_cast<Eigen::Index>(2 * i);
    const double x = source[i].x(), y = source[i].y();
    m.row(r) << x, y, 1.0, 0.0, 0.0, 0.0;
    m.row(r + 1) << 0.0, 0.0, 0.0, x, y, 1.0;
    b(r) = target[i].x();
    b(r + 1) = target[i].y();
  }
  const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(m);
  if (qr.rank() < kAffineUnknowns) return RETVAL_FAILED;
  const Eigen::VectorXd s = qr.solve(b);
  a << float(s(0)), float(s(1)), float(s(2)), float(s(3)), float(s(4)), float(s(5));
  return RETVAL_SUCCESS;
}

RetVal compute_two_pic_error(const std::vector<Eigen::Vector2f>& source, const std::vector<Eigen::Vector2f>& target,
                             double& error) {
  Eigen::Matrix<float, 2, 3> a;
  const RetVal r = compute_affine_mat2d(source, target, a);
  if (r != RETVAL_SUCCESS) return r;
  double sum = 0.0;
  for (std::size_t i = 0; i < source.size(); ++i) {
    const Eigen::Vector2f mapped = a.leftCols<2>() * source[i] + a.col(2);
    sum += (mapped - target[i]).cast<double>().norm();
  }
  error = sum / static_cast<double>(source.size());
  return RETVAL_SUCCESS;
}

RetVal compute_two_pic_error(const Image<1, unsigned char>& source, const Image<1, unsigned char>& target,
                             double& error) {
  const TavoCalibration::CalibrationTableRecognition recognizer;
  std::vector<Eigen::Vector2f> a, b;
  board_marks(recognizer, source, a);
  board_marks(recognizer, target, b);
  return compute_two_pic_error(a, b, error);
}

}  // namespace TavoAlgorithm

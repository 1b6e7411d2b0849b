#include "StereoRigSimulator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>

#include "calibration/CalibrationFileLayout.h"
#include "calibration_platform/CalibrationBoard.h"
#include "calibration_platform/RadialDistortion.h"

namespace TavoAlgorithm::sim {

namespace {

using TavoCalibration::CalibrationBoard;
using TavoCalibration::RadialDistortion;

constexpr double kDegToRad = M_PI / 180.0;
constexpr int kOutlineSamples = 48;
constexpr double kBlurRadiusSigmas = 3.0;
constexpr double kMaxGrey = 255.0;

std::vector<double> coefficients(const StereoCamera& c) { return {c.kc.begin(), c.kc.end()}; }

// Board-plane point seen through pixel (u, v); false when the ray misses.
bool pixel_on_board(const StereoCamera& cam, const std::vector<double>& kc, const RigidMatrix& camToBoard, double u,
                    double v, Eigen::Vector2d& onBoard) {
  const double yd = (v - cam.cy) / cam.fy;
  const double xd = (u - cam.cx) / cam.fx - cam.alpha * yd;
  Eigen::Vector2d n;
  if (!RadialDistortion::unDistortion(kc, {xd, yd}, n)) return false;
  const Eigen::Vector3d o = camToBoard.get_translation();
  const Eigen::Vector3d d = camToBoard.get_rotation() * Eigen::Vector3d(n.x(), n.y(), 1.0);
  if (std::abs(d.z()) < 1e-12) return false;
  const double s = -o.z() / d.z();
  if (s <= 0.0) return false;
  onBoard = (o + s * d).head<2>();
  return true;
}

void gaussian_blur(std::vector<double>& img, int w, int h, double sigma) {
  const int r = std::max(1, static_cast<int>(std::ceil(kBlurRadiusSigmas * sigma)));
  std::vector<double> k(2 * r + 1);
  double sum = 0.0;
  for (int i = -r; i <= r; ++i) sum += k[i + r] = std::exp(-0.5 * i * i / (sigma * sigma));
  for (double& v : k) v /= sum;
  std::vector<double> tmp(img.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double acc = 0.0;
      for (int i = -r; i <= r; ++i) acc += k[i + r] * img[y * w + std::clamp(x + i, 0, w - 1)];
      tmp[y * w + x] = acc;
    }
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double acc = 0.0;
      for (int i = -r; i <= r; ++i) acc += k[i + r] * tmp[std::clamp(y + i, 0, h - 1) * w + x];
      img[y * w + x] = acc;
    }
}

}  // namespace

bool StereoCamera::project(const Eigen::Vector3d& world, Eigen::Vector2d& pixel) const {
  const Eigen::Vector3d c = RT * world;
  if (!(c.z() > 0.0)) return false;
  Eigen::Vector2d d;
  if (!RadialDistortion::distortion(coefficients(*this), {c.x() / c.z(), c.y() / c.z()}, d)) return false;
  pixel = {fx * (d.x() + alpha * d.y()) + cx, fy * d.y() + cy};
  return true;
}

RigidMatrix camera_look_at(const Eigen::Vector3d& centre, const Eigen::Vector3d& target, const Eigen::Vector3d& up) {
  const Eigen::Vector3d z = (target - centre).normalized();
  const Eigen::Vector3d x = (-up).cross(z).normalized();
  const Eigen::Vector3d y = z.cross(x);
  Eigen::Matrix3d r;
  r.row(0) = x.transpose();
  r.row(1) = y.transpose();
  r.row(2) = z.transpose();
  return RigidMatrix(r, -(r * centre));
}

std::vector<Eigen::Vector3d> board_marks_world(const RigidMatrix& boardToWorld) {
  std::vector<Eigen::Vector3d> pts = CalibrationBoard::mark_positions();
  for (auto& p : pts) p = boardToWorld * p;
  return pts;
}

std::vector<Eigen::Vector2d> project_board_marks(const StereoCamera& camera, const RigidMatrix& boardToWorld) {
  std::vector<Eigen::Vector2d> out;
  for (const auto& p : board_marks_world(boardToWorld)) {
    Eigen::Vector2d px;
    const bool inside = camera.project(p, px) && px.x() >= 0.0 && px.y() >= 0.0 && px.x() <= camera.width - 1 &&
                        px.y() <= camera.height - 1;
    out.push_back(inside ? px : Eigen::Vector2d(-1.0, -1.0));
  }
  return out;
}

Image<1, unsigned char> render_board_view(const StereoCamera& cam, const RigidMatrix& boardToWorld,
                                          const BoardRenderOptions& opt) {
  const int w = cam.width, h = cam.height;
  if (w <= 0 || h <= 0 || opt.subSamples < 1) return {};
  std::vector<double> img(static_cast<std::size_t>(w) * h, opt.ground);
  const std::vector<double> kc = coefficients(cam);
  const RigidMatrix camToBoard = (cam.RT * boardToWorld).inverse();
  const int n = opt.subSamples;

  for (int row = 0; row < CalibrationBoard::kRows; ++row) {
    for (int col = 0; col < CalibrationBoard::kColumns; ++col) {
      const double r = CalibrationBoard::radius_mm(col, row);
      const Eigen::Vector2d centre(col * CalibrationBoard::kSpacingMm, row * CalibrationBoard::kSpacingMm);
      // Pixel box of the outline (slightly enlarged).
      double x0 = w, x1 = -1, y0 = h, y1 = -1;
      for (int k = 0; k < kOutlineSamples; ++k) {
        const double a = 2.0 * M_PI * k / kOutlineSamples;
        const Eigen::Vector3d p(centre.x() + 1.2 * r * std::cos(a), centre.y() + 1.2 * r * std::sin(a), 0.0);
        Eigen::Vector2d px;
        if (!cam.project(boardToWorld * p, px)) continue;
        x0 = std::min(x0, px.x()), x1 = std::max(x1, px.x()), y0 = std::min(y0, px.y()), y1 = std::max(y1, px.y());
      }
      const int ix0 = std::max(0, static_cast<int>(std::floor(x0)) - 1);
      const int ix1 = std::min(w - 1, static_cast<int>(std::ceil(x1)) + 1);
      const int iy0 = std::max(0, static_cast<int>(std::floor(y0)) - 1);
      const int iy1 = std::min(h - 1, static_cast<int>(std::ceil(y1)) + 1);
      for (int v = iy0; v <= iy1; ++v) {
        for (int u = ix0; u <= ix1; ++u) {
          Eigen::Vector2d b, bu, bv;
          if (!pixel_on_board(cam, kc, camToBoard, u, v, b) || !pixel_on_board(cam, kc, camToBoard, u + 1, v, bu) ||
              !pixel_on_board(cam, kc, camToBoard, u, v + 1, bv))
            continue;
          const double footprint = std::max((bu - b).norm(), (bv - b).norm());
          const double dist = (b - centre).norm();
          double coverage = 0.0;
          if (dist <= r - footprint) {
            coverage = 1.0;
          } else if (dist < r + footprint) {
            int inside = 0;
            for (int sy = 0; sy < n; ++sy)
              for (int sx = 0; sx < n; ++sx) {
                Eigen::Vector2d s;
                if (pixel_on_board(cam, kc, camToBoard, u - 0.5 + (sx + 0.5) / n, v - 0.5 + (sy + 0.5) / n, s) &&
                    (s - centre).norm() <= r)
                  ++inside;
              }
            coverage = double(inside) / (n * n);
          }
          double& px = img[static_cast<std::size_t>(v) * w + u];
          px = std::min(px, opt.ground - (opt.ground - opt.ink) * coverage);
        }
      }
    }
  }
  if (opt.blurSigma > 0.0) gaussian_blur(img, w, h, opt.blurSigma);
  std::mt19937 rng(opt.seed);
  std::normal_distribution<double> noise(0.0, opt.noiseSigma > 0.0 ? opt.noiseSigma : 1.0);
  Image<1, unsigned char> out(w, h);
  for (std::size_t i = 0; i < img.size(); ++i) {
    const double v = img[i] + (opt.noiseSigma > 0.0 ? noise(rng) : 0.0);
    out.data()[i] = static_cast<unsigned char>(std::lround(std::clamp(v, 0.0, kMaxGrey)));
  }
  return out;
}

RigidMatrix TurntableRig::board_pose(double angleDeg) const {
  const Eigen::Matrix3d r = Eigen::AngleAxisd(angleDeg * kDegToRad, axisDirection.normalized()).toRotationMatrix();
  return RigidMatrix(r, axisPoint - r * axisPoint) * boardHome;
}

TurntableRig default_turntable_rig() {
  TurntableRig rig;
  rig.first.RT = camera_look_at({-100.0, -60.0, -400.0}, {0.0, 0.0, -20.0});
  rig.first.kc = {-0.08, 0.05, 0.0005, -0.0003, 0.0};
  rig.second.RT = camera_look_at({100.0, -55.0, -405.0}, {0.0, 5.0, -20.0});
  rig.second.fx = 905.0;
  rig.second.fy = 903.0;
  rig.second.cx = 402.0;
  rig.second.cy = 298.0;
  rig.second.kc = {-0.06, 0.03, -0.0004, 0.0002, 0.01};
  rig.axisPoint = {5.0, 0.0, 10.0};
  rig.axisDirection = Eigen::Vector3d(0.05, -1.0, 0.08).normalized();
  // Board centre 40 mm in front of the axis, facing the cameras.
  const double cxMm = 0.5 * (CalibrationBoard::kColumns - 1) * CalibrationBoard::kSpacingMm;
  const double cyMm = 0.5 * (CalibrationBoard::kRows - 1) * CalibrationBoard::kSpacingMm;
  rig.boardHome = RigidMatrix(Eigen::Matrix3d::Identity(), Eigen::Vector3d(5.0 - cxMm, -cyMm, -30.0));
  return rig;
}

bool write_camera_file(const std::string& path, const StereoCamera& c) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!f) return false;
  const Eigen::Matrix3d& r = c.RT.get_rotation();
  const Eigen::Vector3d& t = c.RT.get_translation();
  const std::vector<std::vector<double>> values = {
      {c.fx, c.fy}, {0, 0}, {c.cx, c.cy}, {0, 0}, {c.alpha, 0},
      {c.kc[0], c.kc[1], c.kc[2], c.kc[3], c.kc[4]}, {0, 0, 0, 0, 0}, {t.x(), t.y(), t.z()},
      {r(0, 0), r(0, 1), r(0, 2), r(1, 0), r(1, 1), r(1, 2), r(2, 0), r(2, 1), r(2, 2)}, {0}};
  for (std::size_t rec = 0; rec < values.size(); ++rec) {
    const std::string_view pattern = calibration::kCalibrationRecords[rec].pattern;
    std::size_t k = 0, start = 0;
    for (std::size_t pos = pattern.find("%lf"); pos != std::string_view::npos; pos = pattern.find("%lf", start)) {
      std::fprintf(f.get(), "%.*s%.17g", static_cast<int>(pos - start), pattern.data() + start, values[rec][k++]);
      start = pos + 3;
    }
    std::fprintf(f.get(), "%.*s", static_cast<int>(pattern.size() - start), pattern.data() + start);
  }
  return std::fflush(f.get()) == 0;
}

}  // namespace TavoAlgorithm::sim

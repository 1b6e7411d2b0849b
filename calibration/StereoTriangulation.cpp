#include "calibration/StereoTriangulation.h"

#include <sstream>

#include "calibration_platform/RadialDistortion.h"
#include "common/console.h"

namespace TavoAlgorithm::calibration {

namespace {

// The full-width colon of the GBK code page that ends the labels.
constexpr std::string_view kWideColon = "\xA3\xBA";

struct Intrinsics {
  double fx, cx, cy, aspect, alpha;  // aspect = fy / fx
  std::vector<double> kc;
};

Intrinsics intrinsics_of(const TavoRobotAlgorithm::CameraCalibrateParam& c) {
  return {c.fc[0], c.cc[0], c.cc[1], c.fc[1] / c.fc[0], c.alpha, {c.kc, c.kc + 5}};
}

bool normalised_ray(const Intrinsics& in, const Eigen::Vector2d& px, Eigen::Vector3d& ray) {
  const double yn = (px.y() - in.cy) / (in.fx * in.aspect);
  const double xn = (px.x() - in.cx) / in.fx - in.alpha * yn;
  Eigen::Vector2d u;
  if (!TavoCalibration::RadialDistortion::unDistortion(in.kc, {xn, yn}, u)) return false;
  ray = Eigen::Vector3d(u.x(), u.y(), 1.0).normalized();
  return ray.allFinite();
}

// Closest points of o1 + s d1 and o2 + t d2 (unit directions); false for
// parallel rays.
bool closest_points(const Eigen::Vector3d& o1, const Eigen::Vector3d& d1, const Eigen::Vector3d& o2,
                    const Eigen::Vector3d& d2, Eigen::Vector3d& mid, double& gap) {
  const Eigen::Vector3d w = o1 - o2;
  const double b = d1.dot(d2), d = d1.dot(w), e = d2.dot(w);
  const double denom = 1.0 - b * b;
  if (!(denom > 1e-14)) return false;
  const double s = (b * e - d) / denom;
  const double t = (e - b * d) / denom;
  const Eigen::Vector3d p1 = o1 + s * d1, p2 = o2 + t * d2;
  mid = 0.5 * (p1 + p2);
  gap = (p1 - p2).norm();
  return mid.allFinite();
}

}  // namespace

bool triangulate_marks(const TavoRobotAlgorithm::CameraCalibrateParam& first,
                       const TavoRobotAlgorithm::CameraCalibrateParam& second,
                       const std::vector<Eigen::Vector2d>& marks1, const std::vector<Eigen::Vector2d>& marks2,
                       std::vector<Eigen::Vector3f>& points) {
  points.clear();
  if (marks1.size() != marks2.size()) return false;
  const Intrinsics in1 = intrinsics_of(first), in2 = intrinsics_of(second);
  const RigidMatrix q = first.RT * second.RT.inverse();  // camera 2 -> camera 1
  points.assign(marks1.size(), Eigen::Vector3f::Zero());
  int rejected = 0, accepted = 0;
  double gapSum = 0.0;
  for (std::size_t i = 0; i < marks1.size(); ++i) {
    const Eigen::Vector2d& a = marks1[i];
    const Eigen::Vector2d& b = marks2[i];
    if (a.x() < 0.0 || a.y() < 0.0 || b.x() < 0.0 || b.y() < 0.0) continue;
    Eigen::Vector3d r1, r2, mid;
    double gap = 0.0;
    if (!normalised_ray(in1, a, r1) || !normalised_ray(in2, b, r2) ||
        !closest_points(Eigen::Vector3d::Zero(), r1, q.get_translation(), q.get_rotation() * r2, mid, gap) ||
        !(gap <= kMaxRayGap)) {
      ++rejected;
      continue;
    }
    points[i] = mid.cast<float>();
    gapSum += gap;
    ++accepted;
  }
  std::ostringstream count, error;
  count << "> 0.1 count" << kWideColon << rejected;
  error << "average image error" << kWideColon << (accepted > 0 ? gapSum / accepted : 0.0);
  console::message(count.str());
  console::message(error.str());
  return true;
}

}  // namespace TavoAlgorithm::calibration

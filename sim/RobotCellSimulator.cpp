#include "RobotCellSimulator.h"

#include <Eigen/Geometry>
#include <cmath>
#include <random>

#include "PoseError.h"

namespace TavoAlgorithm::sim {

namespace {

constexpr double kDegToRad = M_PI / 180.0;
// Range of the noise reference and the slack of the second camera's
// visibility test (a point that camera 2's ray reaches within it is seen).
constexpr float kNoiseReferenceRange = 400.f;
constexpr float kVisibilitySlack = 0.3f;

// Camera frame of the range simulator (y up, looking down -z) -> calibration
// camera frame (y down, looking down +z).
RigidMatrix flip() { return RigidMatrix(Eigen::Vector3d(1.0, -1.0, -1.0).asDiagonal(), Eigen::Vector3d::Zero()); }

RigidMatrix turn(const Eigen::Vector3d& point, const Eigen::Vector3d& direction, double deg) {
  const Eigen::Matrix3d r = Eigen::AngleAxisd(deg * kDegToRad, direction.normalized()).toRotationMatrix();
  return RigidMatrix(r, point - r * point);
}

TavoRobotAlgorithm::CameraCalibrateParam calibration(const StereoCamera& c) {
  TavoRobotAlgorithm::CameraCalibrateParam p;
  p.fc[0] = c.fx;
  p.fc[1] = c.fy;
  p.cc[0] = c.cx;
  p.cc[1] = c.cy;
  p.alpha = c.alpha;
  for (int k = 0; k < 5; ++k) p.kc[k] = c.kc[static_cast<std::size_t>(k)];
  p.RT = c.RT;
  return p;
}

// Camera 1's calibration-convention pose in the model frame.
RigidMatrix first_camera(const RobotCell& cell, const RigidMatrix& robotPose, double platformDeg) {
  // Turning the object by p about -D is, seen from the object, the cameras
  // turning by p about +D.
  return cell.model_from_world() * turn(cell.axisPoint, cell.axisDirection, platformDeg) *
         cell.sum_matrix().inverse() * robotPose * cell.fixture;
}

}  // namespace

RigidMatrix RobotCell::model_from_world() const {
  const Eigen::Quaterniond q = Eigen::Quaterniond::FromTwoVectors(-axisDirection, Eigen::Vector3d::UnitZ());
  return RigidMatrix(q.toRotationMatrix(), Eigen::Vector3d::Zero());
}

RigidMatrix RobotCell::camera_pose(const RigidMatrix& robotPose, double platformDeg) const {
  return first_camera(*this, robotPose, platformDeg) * flip();
}

RigidMatrix RobotCell::second_camera_pose(const RigidMatrix& robotPose, double platformDeg) const {
  return first_camera(*this, robotPose, platformDeg) * first.RT * second.RT.inverse() * flip();
}

RobotCell default_robot_cell() {
  RobotCell cell;
  const Eigen::Vector3d up = Eigen::Vector3d(0.04, -0.03, 1.0).normalized();
  cell.axisDirection = -up;
  cell.axisPoint = {3.0, -2.0, 0.0};
  const Eigen::Vector3d target = cell.axisPoint + 50.0 * up;
  const Eigen::Vector3d side = (Eigen::Vector3d::UnitX() - Eigen::Vector3d::UnitX().dot(up) * up).normalized();
  const double elevation = 55.0 * kDegToRad;
  const Eigen::Vector3d c1 = target + 400.0 * (std::cos(elevation) * up + std::sin(elevation) * side);
  const Eigen::Vector3d c2 = c1 + 120.0 * up.cross(side).normalized();
  for (StereoCamera* c : {&cell.first, &cell.second}) {
    c->width = 1280;
    c->height = 960;
    c->fx = c->fy = 1800.0;
    c->cx = 640.0;
    c->cy = 480.0;
  }
  cell.first.RT = camera_look_at(c1, target, up);
  cell.second.RT = camera_look_at(c2, target, up);
  cell.fixture = RigidMatrix(Eigen::AngleAxisd(0.35, Eigen::Vector3d(1, 0.2, 0).normalized()).toRotationMatrix(),
                             Eigen::Vector3d(30.0, -40.0, 150.0));
  cell.calibrationRobot = RigidMatrix(
      Eigen::AngleAxisd(2.2, Eigen::Vector3d(0.3, 1.0, -0.2).normalized()).toRotationMatrix(),
      Eigen::Vector3d(650.0, 180.0, 520.0));
  return cell;
}

RobotScanInfo robot_scan_info(const RobotCell& cell) {
  RobotScanInfo info(calibration(cell.first), calibration(cell.second), cell.calibrationRobot, cell.fixture);
  info.set_axis_calibration(cell.axisDirection.cast<float>(), cell.axisPoint.cast<float>());
  return info;
}

RangeData robot_range_frame(const RobotCell& cell, const Scene& scene, const RigidMatrix& robotPose,
                            double platformDeg, const RobotShotOptions& options, RigidMatrix* truePose) {
  const int dec = std::max(1, options.decimation);
  std::mt19937 rng(options.seed);
  const RigidMatrix nominal = cell.camera_pose(robotPose, platformDeg);
  // The error turns about the point the cameras look at.
  const Eigen::Vector3d lookedAt = nominal * Eigen::Vector3d(0.0, 0.0, -kNoiseReferenceRange);
  const RigidMatrix error = random_pose_error(rng, options.poseErrorDegrees, options.poseErrorMm, lookedAt);

  Camera cam;
  cam.rows = cell.first.height / dec;
  cam.cols = cell.first.width / dec;
  cam.fx = static_cast<float>(cell.first.fx / dec);
  cam.fy = static_cast<float>(cell.first.fy / dec);
  cam.cx = static_cast<float>(cell.first.cx / dec);
  cam.cy = static_cast<float>(cell.first.cy / dec);
  cam.pose = error * nominal;
  RangeData frame = render_range_frame(scene, cam);

  // Structured light needs both cameras: drop what camera 2 cannot see.
  StereoCamera second = cell.second;
  const RigidMatrix secondPose = error * cell.second_camera_pose(robotPose, platformDeg);
  second.RT = flip() * secondPose.inverse();
  const Eigen::Vector3f eye2 = secondPose.get_translation().cast<float>();
  for (int i = 0; i < frame.get_vn(); ++i) {
    const Eigen::Vector3f p = cam.pose * frame.get_vCoord(i);
    Eigen::Vector2d px;
    bool seen = second.project(p.cast<double>(), px) && px.x() >= 0.0 && px.y() >= 0.0 && px.x() < second.width &&
                px.y() < second.height;
    if (seen) {
      const Eigen::Vector3f ray = p - eye2;
      const float dist = ray.norm();
      float t;
      Eigen::Vector3f n;
      seen = !scene.intersect(eye2, ray / dist, t, n) || t > dist - kVisibilitySlack;
    }
    if (!seen) frame.set_vDeleted(i, true);
  }
  frame.squeeze();
  add_depth_noise(frame, options.depthSigma, kNoiseReferenceRange, options.seed + 1);
  frame.set_rigidMatrix(nominal);
  if (truePose != nullptr) *truePose = cam.pose;
  return frame;
}

std::vector<char> faces_measured(const RobotCell& cell, const Scene& scene, const BaseTriMesh& mesh,
                                 const RigidMatrix& robotPose, double platformDeg, double maxIncidenceDeg) {
  std::vector<char> seen(static_cast<std::size_t>(mesh.get_fn()), 0);
  const double minCos = std::cos(maxIncidenceDeg * kDegToRad);
  struct View {
    StereoCamera camera;
    Eigen::Vector3f eye;
  };
  std::vector<View> views;
  const RigidMatrix poses[2] = {cell.camera_pose(robotPose, platformDeg), cell.second_camera_pose(robotPose, platformDeg)};
  const StereoCamera* cameras[2] = {&cell.first, &cell.second};
  for (int k = 0; k < 2; ++k) {
    View v{*cameras[k], poses[k].get_translation().cast<float>()};
    v.camera.RT = flip() * poses[k].inverse();
    views.push_back(v);
  }
#pragma omp parallel for schedule(dynamic, 64)
  for (int f = 0; f < mesh.get_fn(); ++f) {
    if (mesh.get_fDeleted(f)) continue;
    const BaseTriFace& face = mesh.get_face(f);
    const Eigen::Vector3f a = mesh.get_vCoord(face[0]), b = mesh.get_vCoord(face[1]), c = mesh.get_vCoord(face[2]);
    const Eigen::Vector3f centre = (a + b + c) / 3.f;
    const Eigen::Vector3f normal = (b - a).cross(c - a).normalized();
    bool ok = normal.allFinite();
    for (const View& v : views) {
      if (!ok) break;
      const Eigen::Vector3f ray = centre - v.eye;
      const float dist = ray.norm();
      Eigen::Vector2d px;
      ok = -normal.dot(ray / dist) >= minCos && v.camera.project(centre.cast<double>(), px) && px.x() >= 0.0 &&
           px.y() >= 0.0 && px.x() < v.camera.width && px.y() < v.camera.height;
      float t;
      Eigen::Vector3f n;
      ok = ok && (!scene.intersect(v.eye, ray / dist, t, n) || t > dist - kVisibilitySlack);
    }
    seen[static_cast<std::size_t>(f)] = ok;
  }
  return seen;
}

}  // namespace TavoAlgorithm::sim

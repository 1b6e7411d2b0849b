#include "DentalRig.h"

#include <cmath>

#include "StereoRigSimulator.h"

namespace TavoAlgorithm::sim {
namespace {

// The target 10 mm above the plate centre; c0 / c1 60 mm apart.
const Eigen::Vector3d kTarget(0, 0, 10);
// About 250 mm away: the renderer draws from 150 to 450 mm.
const Eigen::Vector3d kEye0(-30, -165, 200), kEye1(30, -165, 200), kEye2(0, -170, 203);
constexpr float kNoiseReferenceRange = 250.f;

// c0's camera (+z forward, y down) to the simulator's (-z forward, y up).
const RigidMatrix kFlip(Eigen::Vector3d(1, -1, -1).asDiagonal().toDenseMatrix(), Eigen::Vector3d::Zero());

}  // namespace

DentalRig default_dental_rig() {
  DentalRig rig;
  const Eigen::Vector3d up = Eigen::Vector3d::UnitZ();
  rig.camera.pose[0] = camera_look_at(kEye0, kTarget, up);
  rig.camera.pose[1] = camera_look_at(kEye1, kTarget, up);
  rig.camera.pose[2] = camera_look_at(kEye2, kTarget, up);
  const float focal[6] = {1700, 1700, 1700, 1700, 3400, 3400};
  const float principal[6] = {320, 240, 320, 240, 640, 480};
  const std::int32_t size[4] = {1280, 960, 640, 480};
  std::copy(focal, focal + 6, rig.camera.focal);
  std::copy(principal, principal + 6, rig.camera.principal);
  std::copy(size, size + 4, rig.camera.size);
  rig.axis.direction[0] = Eigen::Vector3d::UnitZ();  // rotation
  rig.axis.direction[1] = Eigen::Vector3d::UnitX();  // tilt
  rig.axis.direction[2] = Eigen::Vector3d::UnitY();
  rig.axis.direction[3] = Eigen::Vector3d::UnitZ();
  rig.axis.direction[4] = Eigen::Vector3d::UnitZ();
  return rig;
}

Camera dental_c0_camera(const DentalRig& rig, int rotation, int tilt, int setting2, int setting3, int downscale) {
  const int s = std::max(1, downscale);
  const std::int32_t settings[4] = {rotation, tilt, setting2, setting3};
  Camera cam;
  cam.cols = rig.camera.size[2] / s;
  cam.rows = rig.camera.size[3] / s;
  cam.fx = rig.camera.focal[0] / s;
  cam.fy = rig.camera.focal[1] / s;
  cam.cx = rig.camera.principal[0] / s;
  cam.cy = rig.camera.principal[1] / s;
  cam.pose = dental_machine_rt(rig.axis, settings) * rig.camera.pose[0].inverse() * kFlip;
  return cam;
}

RangeData dental_frame(const MeshShape& shape, const DentalRig& rig, int rotation, int tilt, float noiseSigma,
                       unsigned seed, int downscale) {
  Scene scene;
  scene.meshes.push_back(shape);
  RangeData frame = render_range_frame(scene, dental_c0_camera(rig, rotation, tilt, 0, 0, downscale));
  if (noiseSigma > 0.f) add_depth_noise(frame, noiseSigma, kNoiseReferenceRange, seed);
  return frame;
}

std::vector<char> dental_reachable(const MeshShape& shape, const DentalRig& rig,
                                   const std::vector<Eigen::Vector3f>& points,
                                   const std::vector<Eigen::Vector3f>& normals,
                                   const std::vector<std::pair<int, int>>& poses) {
  std::vector<char> seen(points.size(), 0);
  for (const auto& [r, t] : poses) {
    const Camera cam = dental_c0_camera(rig, r, t, 0, 0, 1);
    const RigidMatrix toCamera = cam.pose.inverse();
    const Eigen::Vector3f eye = cam.pose * Eigen::Vector3f(0, 0, 0);
#pragma omp parallel for schedule(dynamic, 256)
    for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(points.size()); ++i) {
      if (seen[i]) continue;
      const Eigen::Vector3f q = toCamera * points[i];
      if (q.z() >= 0.f) continue;
      const float u = cam.cx + cam.fx * q.x() / -q.z(), v = cam.cy - cam.fy * q.y() / -q.z();
      if (u < 0.f || v < 0.f || u >= cam.cols || v >= cam.rows) continue;
      const Eigen::Vector3f ray = points[i] - eye;
      const float dist = ray.norm();
      if (normals[i].dot(ray) >= 0.f) continue;
      float hit = 0.f;
      Eigen::Vector3f n;
      // Unoccluded when the first hit is the point itself.
      if (shape.intersect(eye, ray / dist, hit, n) && hit < dist - 0.05f * std::max(1.f, dist / 100.f)) continue;
      seen[i] = 1;
    }
  }
  return seen;
}

}  // namespace TavoAlgorithm::sim

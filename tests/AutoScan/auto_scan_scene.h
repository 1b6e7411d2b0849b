#pragma once
// The planning base as its subclasses see it, and a scanned sphere in
// millimetres for the planning tests.
#include <Eigen/Geometry>
#include <string>
#include <vector>

#include "AutoScanHelper.h"
#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "RangeSimulator.h"
#include "fusion/RangeFrameLists.h"

namespace tavo_test {

// Opens the protected part of the base, as a planner would use it.
struct TestPlanner : TavoAlgorithm::AutoScanHelper {
  using AutoScanHelper::camera_param;
  using AutoScanHelper::frame_lists;
  using AutoScanHelper::get_delete_verts_self;
  using AutoScanHelper::model;
  using AutoScanHelper::param;
  using AutoScanHelper::renderer;
  using AutoScanHelper::set_base_param;
  using AutoScanHelper::set_opengl_camera;
  using AutoScanHelper::tsdf_volume;
};

constexpr float kSphereRadius = 30.f;  // mm

inline TavoAlgorithm::AutoScanParam sphere_param() {
  TavoAlgorithm::AutoScanParam p;
  p.clipZ = -1000.f;
  p.tsdfVoxelSize = 0.5f;
  p.planVoxelSize = 1.0f;
  p.minShellSize = 10;
  return p;
}

// Three cameras per candidate on a circle of radius `orbit` in the plane z = 0,
// at the given azimuths (degrees from +x toward +y), all looking at the
// origin: c0 and c1 a stereo pair `baseline` apart, c2 between them.
inline TavoAlgorithm::OpenGLCameraParam ring_candidates(const std::vector<float>& azimuths, float orbit,
                                                        float baseline, float fovy) {
  TavoAlgorithm::OpenGLCameraParam c;
  const Eigen::Vector3f up = Eigen::Vector3f::UnitZ();
  for (float a : azimuths) {
    const float r = a * static_cast<float>(M_PI) / 180.f;
    const Eigen::Vector3f eye = orbit * Eigen::Vector3f(std::cos(r), std::sin(r), 0.f);
    const Eigen::Vector3f side = 0.5f * baseline * up.cross(eye.normalized());
    for (const Eigen::Vector3f& e : {Eigen::Vector3f(eye - side), Eigen::Vector3f(eye + side), eye}) {
      c.eyes.insert(c.eyes.end(), {e.x(), e.y(), e.z()});
      c.centers.insert(c.centers.end(), {0.f, 0.f, 0.f});
      c.ups.insert(c.ups.end(), {up.x(), up.y(), up.z()});
    }
  }
  c.fovys = {fovy, fovy, fovy};
  return c;
}

// Frames of a sphere of kSphereRadius at the origin from cameras at the given
// unit directions, 150 mm away.
inline std::vector<TavoAlgorithm::RangeData> sphere_scans(const std::vector<Eigen::Vector3f>& directions) {
  TavoAlgorithm::sim::Scene scene;
  scene.spheres.push_back({Eigen::Vector3f::Zero(), kSphereRadius});
  TavoAlgorithm::sim::Camera cam;
  std::vector<TavoAlgorithm::RangeData> frames;
  for (const Eigen::Vector3f& d : directions) {
    const Eigen::Vector3f up = std::abs(d.z()) > 0.9f ? Eigen::Vector3f::UnitX() : Eigen::Vector3f::UnitZ();
    cam.pose = TavoAlgorithm::sim::look_at(150.f * d.normalized(), Eigen::Vector3f::Zero(), up);
    frames.push_back(TavoAlgorithm::sim::render_range_frame(scene, cam));
  }
  return frames;
}

// Directions that see the whole sphere: six around the equator, two poles.
inline std::vector<Eigen::Vector3f> all_round() {
  std::vector<Eigen::Vector3f> d;
  for (int k = 0; k < 6; ++k) d.emplace_back(std::cos(k * M_PI / 3), std::sin(k * M_PI / 3), 0.f);
  d.emplace_back(0.f, 0.f, 1.f);
  d.emplace_back(0.f, 0.f, -1.f);
  return d;
}

// A direction on the sphere and the half-angle (radians) of the cap around it.
struct Cap {
  Eigen::Vector3f direction;
  float halfAngle;
};

// Marks deleted, in every frame, the points whose world direction from the
// sphere's centre lies inside a cap: the model then has a hole there.
inline void cut_caps(std::vector<TavoAlgorithm::RangeData>& frames, const std::vector<Cap>& caps) {
  for (auto& f : frames)
    for (int k = 0; k < f.get_vn(); ++k) {
      const Eigen::Vector3f d = (f.get_rigidMatrix() * f.get_vCoord(k)).normalized();
      for (const Cap& c : caps)
        if (d.dot(c.direction) > std::cos(c.halfAngle)) f.set_vDeleted(k, true);
    }
}

inline bool send_frames(TavoAlgorithm::AutoScanHelper& h, const std::vector<TavoAlgorithm::RangeData>& frames) {
  std::vector<const TavoAlgorithm::RangeData*> ptrs;
  for (const auto& f : frames) ptrs.push_back(&f);
  return h.send_rangeData(ptrs, std::vector<TavoAlgorithm::RigidMatrix>(ptrs.size()),
                          std::vector<bool>(ptrs.size(), false), false);
}

}  // namespace tavo_test

#pragma once
// Synthetic range frames of analytic scenes, for tests, the demo and the
// benchmarks. The camera is a pinhole looking down its own -z axis with +y up;
// frame points are in camera space, the frame's pose maps camera to world.
#include <vector>

#include "MeshShape.h"
#include "geometry/RangeData.h"

namespace TavoAlgorithm::sim {

struct Sphere {
  Eigen::Vector3f center = Eigen::Vector3f::Zero();
  float radius = 1.f;
};

// Oriented box: half extents along the axes of `pose` (box to world).
struct Box {
  RigidMatrix pose;
  Eigen::Vector3f halfExtent = Eigen::Vector3f::Ones();
};

// Capped cylinder: axis through `center` along the unit `axis`, caps at
// +-halfLength along it.
struct Cylinder {
  Eigen::Vector3f center = Eigen::Vector3f::Zero();
  Eigen::Vector3f axis = Eigen::Vector3f::UnitY();
  float radius = 1.f;
  float halfLength = 1.f;
};

struct Scene {
  std::vector<Sphere> spheres;
  std::vector<Box> boxes;
  std::vector<Cylinder> cylinders;
  std::vector<MeshShape> meshes;
  // Signed distance of the union (negative inside), exact for each primitive.
  float signed_distance(const Eigen::Vector3f& p) const;
  // Nearest hit along a world ray (unit direction); false when nothing is hit.
  bool intersect(const Eigen::Vector3f& origin, const Eigen::Vector3f& dir, float& t,
                 Eigen::Vector3f& normal) const;
};

struct Camera {
  int rows = 240;
  int cols = 320;
  float fx = 300.f, fy = 300.f, cx = 160.f, cy = 120.f;
  RigidMatrix pose;  // camera to world
  float maxRange = 1e30f;
};

// 640 x 480, focal length 525 px, principal point at the centre: the
// VGA depth camera of the benchmarks.
Camera vga_camera();

// Camera at `eye` looking at `target` with `up` roughly upward.
RigidMatrix look_at(const Eigen::Vector3f& eye, const Eigen::Vector3f& target,
                    const Eigen::Vector3f& up = Eigen::Vector3f::UnitY());

// One frame: a point per pixel whose ray hits the scene, normals (turned to
// face the camera) and flags enabled, texture coordinates = pixel / image size, pose = camera pose.
RangeData render_range_frame(const Scene& scene, const Camera& camera);

// Frames from `count` cameras evenly spaced on a circle of `radius` around
// `center` in the plane y = center.y + height, all looking at `center`.
std::vector<RangeData> orbit_frames(const Scene& scene, const Camera& base, int count,
                                    const Eigen::Vector3f& center, float radius, float height);

// Structured-light style range noise: every point moves along its viewing
// ray by a normal deviate whose sigma grows with the square of the range,
// sigma = sigmaAtRange * (range / referenceRange)^2. Reproducible per seed.
void add_depth_noise(RangeData& frame, float sigmaAtRange, float referenceRange, unsigned seed);

// The frame as a depth image, row-major rows x cols: distance along the
// viewing axis (-z in camera space) per pixel, 0 where the pixel has no point.
std::vector<float> depth_image(const RangeData& frame);

}  // namespace TavoAlgorithm::sim

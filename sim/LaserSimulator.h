#pragma once
// Synthetic laser-line frames for tests, the demo and the benchmarks: one or
// two laser planes fixed to a pinhole camera, fanned over a Scene of the
// range simulator and kept where the camera sees the lit point.
//
// Frames: the laser camera uses the optical convention (x right, y down,
// +z the viewing direction); points and normals of a line are in that
// camera frame, the frame's pose maps camera to world. Normals face the
// camera. Deterministic for a given seed.
#include <random>
#include <vector>

#include "RangeSimulator.h"

namespace TavoAlgorithm::sim {

// A laser plane in the camera frame: the emitter position and the plane's
// unit normal; rays fan out within the plane around `forward`.
struct LaserPlane {
  Eigen::Vector3f origin = Eigen::Vector3f::Zero();
  Eigen::Vector3f normal = Eigen::Vector3f::UnitY();
  Eigen::Vector3f forward = Eigen::Vector3f::UnitZ();
};

struct LaserRig {
  int rows = 1024, cols = 1280;
  float fx = 1400.f, fy = 1400.f, cx = 640.f, cy = 512.f;
  std::vector<LaserPlane> planes;
  // A fan that would need more than kMaxLaserRays rays (or a step that is not
  // a positive number) lights nothing: the frames have no lines.
  float angleStep = 0.005f;     // radians between neighbouring rays of the fan
  float fanHalfAngle = 0.6f;    // radians
  float depthNoise = 0.f;       // standard deviation along the camera ray, world units
  float maxGap = 1e30f;         // consecutive points further apart start a new line

  // One horizontal laser line (along camera x) from an emitter `baseline`
  // below the camera, crossing the optical axis at `workDistance`.
  static LaserRig single_line(float baseline, float workDistance);
  // single_line plus a vertical line from an emitter `baseline` to the left.
  static LaserRig cross_lines(float baseline, float workDistance);
};

// Rays of one laser plane's fan at most: four times the pixels across the
// largest camera a rig has.
inline constexpr int kMaxLaserRays = 1 << 16;

struct LaserLine {
  std::vector<Eigen::Vector3f> points;   // ordered along the fan
  std::vector<Eigen::Vector3f> normals;  // unit, facing the camera
};

struct LaserFrame {
  RigidMatrix pose;  // camera to world
  std::vector<LaserLine> lines;
};

// Camera pose at `eye` whose +z axis points at `target`, +y roughly along -up.
RigidMatrix look_at_optical(const Eigen::Vector3f& eye, const Eigen::Vector3f& target,
                            const Eigen::Vector3f& up = Eigen::Vector3f::UnitY());

LaserFrame scan_laser_frame(const Scene& scene, const LaserRig& rig, const RigidMatrix& pose, std::mt19937& rng);

// A linear sweep of `count` frames, the camera moving in a straight line
// from `eye0` to `eye1` and always looking along `target - eye0`, made one
// frame at a time (a long sweep holds one frame, not all of them). The scene
// is borrowed and must outlive the sweep.
class LaserSweep {
 public:
  LaserSweep(const Scene& scene, const LaserRig& rig, const Eigen::Vector3f& eye0, const Eigen::Vector3f& eye1,
             const Eigen::Vector3f& target, const Eigen::Vector3f& up, int count, unsigned seed);
  int count() const { return m_count; }
  // Frames made so far.
  int done() const { return m_next; }
  // The next frame of the sweep; false (frame untouched) after the last one.
  bool next(LaserFrame& frame);

 private:
  const Scene& m_scene;
  LaserRig m_rig;
  Eigen::Vector3f m_eye0, m_eye1;
  RigidMatrix m_start;
  int m_count;
  int m_next = 0;
  std::mt19937 m_rng;
};

// All frames of a LaserSweep at once.
std::vector<LaserFrame> sweep_laser(const Scene& scene, const LaserRig& rig, const Eigen::Vector3f& eye0,
                                    const Eigen::Vector3f& eye1, const Eigen::Vector3f& target,
                                    const Eigen::Vector3f& up, int count, unsigned seed);

}  // namespace TavoAlgorithm::sim

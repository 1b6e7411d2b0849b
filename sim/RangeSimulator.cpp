#include "RangeSimulator.h"

#include <cmath>
#include <limits>
#include <random>

namespace TavoAlgorithm::sim {

namespace {
float box_distance(const Box& b, const Eigen::Vector3f& p) {
  const Eigen::Vector3f q = (b.pose.inverse() * p).cwiseAbs() - b.halfExtent;
  return q.cwiseMax(0.f).norm() + std::min(q.maxCoeff(), 0.f);
}

// Nearer intersection in front of the ray origin.
bool sphere_hit(const Sphere& s, const Eigen::Vector3f& o, const Eigen::Vector3f& d, float& t,
                Eigen::Vector3f& n) {
  const Eigen::Vector3f oc = o - s.center;
  const float b = oc.dot(d);
  const float disc = b * b - (oc.squaredNorm() - s.radius * s.radius);
  if (disc < 0.f) return false;
  t = -b - std::sqrt(disc);
  if (!(t > 0.f)) return false;
  n = (o + t * d - s.center).normalized();
  return true;
}

// Slab test in box space.
bool box_hit(const Box& b, const Eigen::Vector3f& o, const Eigen::Vector3f& d, float& t,
             Eigen::Vector3f& n) {
  const RigidMatrix inv = b.pose.inverse();
  const Eigen::Vector3f lo = inv * o;
  const Eigen::Vector3f ld = inv.transform_normal(d);
  float tNear = -std::numeric_limits<float>::infinity();
  float tFar = std::numeric_limits<float>::infinity();
  int axis = -1;
  float sign = 0.f;
  for (int k = 0; k < 3; ++k) {
    if (std::abs(ld[k]) < 1e-12f) {
      if (std::abs(lo[k]) > b.halfExtent[k]) return false;
      continue;
    }
    float t0 = (-b.halfExtent[k] - lo[k]) / ld[k];
    float t1 = (b.halfExtent[k] - lo[k]) / ld[k];
    float s = -1.f;
    if (t0 > t1) {
      std::swap(t0, t1);
      s = 1.f;
    }
    if (t0 > tNear) {
      tNear = t0;
      axis = k;
      sign = s;
    }
    tFar = std::min(tFar, t1);
  }
  if (axis < 0 || tNear > tFar || tNear <= 0.f) return false;
  t = tNear;
  Eigen::Vector3f ln = Eigen::Vector3f::Zero();
  ln[axis] = sign;
  n = b.pose.transform_normal(ln);
  return true;
}
float cylinder_distance(const Cylinder& c, const Eigen::Vector3f& p) {
  const Eigen::Vector3f q = p - c.center;
  const float h = q.dot(c.axis);
  const Eigen::Vector2f d((q - h * c.axis).norm() - c.radius, std::abs(h) - c.halfLength);
  return std::min(std::max(d.x(), d.y()), 0.f) + d.cwiseMax(0.f).norm();
}

// Nearest of the side (quadratic in the plane normal to the axis) and the caps.
bool cylinder_hit(const Cylinder& c, const Eigen::Vector3f& o, const Eigen::Vector3f& d, float& t,
                  Eigen::Vector3f& n) {
  const Eigen::Vector3f q = o - c.center;
  const float qa = q.dot(c.axis), da = d.dot(c.axis);
  const Eigen::Vector3f qp = q - qa * c.axis, dp = d - da * c.axis;
  float best = std::numeric_limits<float>::infinity();
  const float a = dp.squaredNorm(), b = qp.dot(dp), k = qp.squaredNorm() - c.radius * c.radius;
  const float disc = b * b - a * k;
  if (a > 1e-12f && disc >= 0.f) {
    for (float th : {(-b - std::sqrt(disc)) / a, (-b + std::sqrt(disc)) / a}) {
      if (th <= 0.f || th >= best || std::abs(qa + th * da) > c.halfLength) continue;
      best = th;
      n = (qp + th * dp).normalized();
    }
  }
  if (std::abs(da) > 1e-12f) {
    for (float side : {-1.f, 1.f}) {
      const float th = (side * c.halfLength - qa) / da;
      if (th <= 0.f || th >= best || (qp + th * dp).norm() > c.radius) continue;
      best = th;
      n = side * c.axis;
    }
  }
  if (!(best < std::numeric_limits<float>::infinity())) return false;
  t = best;
  return true;
}
}  // namespace

float Scene::signed_distance(const Eigen::Vector3f& p) const {
  float d = std::numeric_limits<float>::infinity();
  for (const auto& s : spheres) d = std::min(d, (p - s.center).norm() - s.radius);
  for (const auto& b : boxes) d = std::min(d, box_distance(b, p));
  for (const auto& c : cylinders) d = std::min(d, cylinder_distance(c, p));
  for (const auto& m : meshes) d = std::min(d, m.signed_distance(p));
  return d;
}

bool Scene::intersect(const Eigen::Vector3f& o, const Eigen::Vector3f& d, float& t,
                      Eigen::Vector3f& normal) const {
  bool hit = false;
  t = std::numeric_limits<float>::infinity();
  auto nearest = [&](const auto& shapes, auto shapeHit) {
    for (const auto& s : shapes) {
      float ts;
      Eigen::Vector3f ns;
      if (shapeHit(s, ts, ns) && ts < t) {
        t = ts;
        normal = ns;
        hit = true;
      }
    }
  };
  nearest(spheres, [&](const Sphere& s, float& ts, Eigen::Vector3f& ns) { return sphere_hit(s, o, d, ts, ns); });
  nearest(boxes, [&](const Box& b, float& tb, Eigen::Vector3f& nb) { return box_hit(b, o, d, tb, nb); });
  nearest(cylinders,
          [&](const Cylinder& c, float& tc, Eigen::Vector3f& nc) { return cylinder_hit(c, o, d, tc, nc); });
  nearest(meshes, [&](const auto& m, float& tm, Eigen::Vector3f& nm) { return m.intersect(o, d, tm, nm); });
  return hit;
}

Camera vga_camera() {
  Camera cam;
  cam.rows = 480;
  cam.cols = 640;
  cam.fx = cam.fy = 525.f;
  cam.cx = 320.f;
  cam.cy = 240.f;
  return cam;
}

RigidMatrix look_at(const Eigen::Vector3f& eye, const Eigen::Vector3f& target,
                    const Eigen::Vector3f& up) {
  const Eigen::Vector3d back = (eye - target).cast<double>().normalized();  // camera +z
  Eigen::Vector3d right = up.cast<double>().cross(back);
  if (right.norm() < 1e-9) right = Eigen::Vector3d::UnitX().cross(back);
  right.normalize();
  const Eigen::Vector3d camUp = back.cross(right);
  Eigen::Matrix3d R;
  R.col(0) = right;
  R.col(1) = camUp;
  R.col(2) = back;
  return RigidMatrix(R, eye.cast<double>());
}

RangeData render_range_frame(const Scene& scene, const Camera& cam) {
  RangeData frame;
  frame.set_grid_size(cam.rows, cam.cols);
  frame.enable_vNormal();
  frame.enable_vFlag();
  frame.set_rigidMatrix(cam.pose);
  const RigidMatrix toCamera = cam.pose.inverse();
  const Eigen::Vector3f eye = cam.pose.get_translation().cast<float>();
  for (int r = 0; r < cam.rows; ++r)
    for (int c = 0; c < cam.cols; ++c) {
      const Eigen::Vector3f local((c - cam.cx) / cam.fx, -(r - cam.cy) / cam.fy, -1.f);
      const Eigen::Vector3f dir = cam.pose.transform_normal(local).normalized();
      float t;
      Eigen::Vector3f n;
      if (!scene.intersect(eye, dir, t, n) || t > cam.maxRange) continue;
      const int v = frame.add_vCoord(toCamera * Eigen::Vector3f(eye + t * dir));
      if (n.dot(dir) > 0.f) n = -n;  // seen from behind (open or inward mesh)
      frame.set_vNrv(v, toCamera.transform_normal(n));
      frame.set_vUV(v, Eigen::Vector2f(static_cast<float>(c) / cam.cols,
                                       static_cast<float>(r) / cam.rows));
      frame.set_cellVertex(r, c, v);
    }
  return frame;
}

std::vector<RangeData> orbit_frames(const Scene& scene, const Camera& base, int count,
                                    const Eigen::Vector3f& center, float radius, float height) {
  std::vector<RangeData> frames;
  for (int i = 0; i < count; ++i) {
    const float a = 2.f * static_cast<float>(M_PI) * static_cast<float>(i) / static_cast<float>(count);
    const Eigen::Vector3f eye = center + Eigen::Vector3f(radius * std::cos(a), height, radius * std::sin(a));
    Camera cam = base;
    cam.pose = look_at(eye, center);
    frames.push_back(render_range_frame(scene, cam));
  }
  return frames;
}

void add_depth_noise(RangeData& frame, float sigmaAtRange, float referenceRange, unsigned seed) {
  if (!(sigmaAtRange > 0.f) || !(referenceRange > 0.f)) return;
  std::mt19937 rng(seed);
  std::normal_distribution<float> unit(0.f, 1.f);
  for (int i = 0; i < frame.get_vn(); ++i) {
    const Eigen::Vector3f p = frame.get_vCoord(i);
    const float range = p.norm();
    if (!(range > 0.f)) continue;
    const float ratio = range / referenceRange;
    frame.set_vCoord(i, p * (1.f + sigmaAtRange * ratio * ratio * unit(rng) / range));
  }
}

std::vector<float> depth_image(const RangeData& frame) {
  const int rows = frame.get_rows(), cols = frame.get_cols();
  std::vector<float> depth(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols), 0.f);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const int v = frame.get_cellVertex(r, c);
      if (v < 0 || v >= frame.get_vn()) continue;
      const float z = -frame.get_vCoord(v).z();
      if (z > 0.f && std::isfinite(z)) depth[static_cast<std::size_t>(r) * cols + c] = z;
    }
  return depth;
}

}  // namespace TavoAlgorithm::sim

#pragma once
// Oriented bounding box of a point set: a centre, three orthonormal axes and
// the half extents along them. Units are those of the points.
#include <Eigen/Core>
#include <array>
#include <vector>

namespace TavoAlgorithm {

class OBBox {
 public:
  // The empty box: no corners, contains nothing.
  OBBox() = default;
  // Box of the finite points of `points` (non-finite ones are skipped). The
  // axes are the principal directions of the points' covariance, largest
  // spread first, and form a right-handed frame; the extents are the tight
  // range of the points along each axis. No finite point gives the empty
  // box. Thread-safe; the points stay the caller's.
  explicit OBBox(const std::vector<Eigen::Vector3f>& points);

  bool empty() const { return m_empty; }
  const Eigen::Vector3f& center() const { return m_center; }
  // Column k is axis k (unit length, axes(0) x axes(1) = axes(2)).
  const Eigen::Matrix3f& axes() const { return m_axes; }
  const Eigen::Vector3f& half_extents() const { return m_half; }

  // Moves every side outward by `margin` (inward for a negative one, never
  // past the centre). Nothing happens to the empty box.
  void enlarge(float margin);

  // Corner i = centre + sum over k of (bit k of i set ? +1 : -1) * half_k * axis_k,
  // so corner 0 is at the low end of every axis and corner 7 at the high end.
  // All eight coincide with the centre of a single-point box; the empty box
  // gives eight non-finite corners.
  std::array<Eigen::Vector3f, 8> corners() const;

  float volume() const;
  // True for a point inside the box or within `tolerance` of its sides.
  bool contains(const Eigen::Vector3f& p, float tolerance = 0.f) const;

 private:
  Eigen::Vector3f m_center = Eigen::Vector3f::Zero();
  Eigen::Matrix3f m_axes = Eigen::Matrix3f::Identity();
  Eigen::Vector3f m_half = Eigen::Vector3f::Zero();
  bool m_empty = true;
};

}  // namespace TavoAlgorithm

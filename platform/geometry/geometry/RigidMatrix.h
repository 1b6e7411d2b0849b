#pragma once
// Rigid transform x -> R x + t in double precision. Products compose like
// matrices: (a * b) * x == a * (b * x).
#include <Eigen/Core>
#include <Eigen/Geometry>

namespace TavoAlgorithm {

class RigidMatrix {
 public:
  RigidMatrix() : m_R(Eigen::Matrix3d::Identity()), m_t(Eigen::Vector3d::Zero()) {}
  RigidMatrix(const Eigen::Matrix3d& R, const Eigen::Vector3d& t) : m_R(R), m_t(t) {}

  static RigidMatrix identity() { return RigidMatrix(); }
  // From a 4x4 homogeneous matrix whose upper-left block is a rotation.
  static RigidMatrix from_matrix4(const Eigen::Matrix4d& m) {
    return RigidMatrix(m.topLeftCorner<3, 3>(), m.topRightCorner<3, 1>());
  }

  const Eigen::Matrix3d& get_rotation() const { return m_R; }
  void set_rotation(const Eigen::Matrix3d& R) { m_R = R; }
  const Eigen::Vector3d& get_translation() const { return m_t; }
  void set_translation(const Eigen::Vector3d& t) { m_t = t; }
  Eigen::Matrix4d to_matrix4() const {
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = m_R;
    m.topRightCorner<3, 1>() = m_t;
    return m;
  }

  RigidMatrix operator*(const RigidMatrix& o) const { return {m_R * o.m_R, m_R * o.m_t + m_t}; }
  Eigen::Vector3d operator*(const Eigen::Vector3d& p) const { return m_R * p + m_t; }
  Eigen::Vector3f operator*(const Eigen::Vector3f& p) const {
    return (m_R * p.cast<double>() + m_t).cast<float>();
  }
  Eigen::Vector3d transform_normal(const Eigen::Vector3d& n) const { return m_R * n; }
  Eigen::Vector3f transform_normal(const Eigen::Vector3f& n) const {
    return (m_R * n.cast<double>()).cast<float>();
  }
  // Exact for a rotation: uses the transpose.
  RigidMatrix inverse() const {
    const Eigen::Matrix3d Rt = m_R.transpose();
    return {Rt, -(Rt * m_t)};
  }

 private:
  Eigen::Matrix3d m_R;
  Eigen::Vector3d m_t;
};

}  // namespace TavoAlgorithm

#pragma once
// Look-at camera of the off-screen renderers. Matrices are column-major, the
// layout OpenGL takes; mvp() = projection * view maps world to clip space.
// Angles in radians, distances in the model's units.
#include <Eigen/Core>
#include <array>

namespace TavoAlgorithm {

class GLCamera {
 public:
  GLCamera();

  void set_eye(const Eigen::Vector3f& eye) { m_eye = eye; }
  void set_center(const Eigen::Vector3f& center) { m_center = center; }
  void set_up(const Eigen::Vector3f& up) { m_up = up; }
  void set_fovy(double fovy) { m_fovy = fovy; }
  void set_near_fovy_far(double nearPlane, double fovy, double farPlane);
  // h = 0 counts as 1; the orthographic size follows the aspect; also sets
  // the OpenGL viewport when a context is current.
  void set_viewport(double w, double h);
  // view := look-at(eye, centre, up), projection := perspective(fovy, w/h, near, far).
  void update();

  const std::array<float, 16>& view() const { return m_view; }
  const std::array<float, 16>& projection() const { return m_projection; }
  std::array<float, 16> mvp() const;
  double near_plane() const { return m_near; }
  double far_plane() const { return m_far; }
  double fovy() const { return m_fovy; }
  double viewport_width() const { return m_viewportW; }
  double viewport_height() const { return m_viewportH; }

 private:
  std::array<float, 16> m_view{};
  std::array<float, 16> m_projection{};
  Eigen::Vector3f m_eye, m_center, m_up;
  double m_far, m_near, m_orthoW, m_orthoH, m_fovy, m_viewportW, m_viewportH;
};

}  // namespace TavoAlgorithm

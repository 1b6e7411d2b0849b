#include "AutoScan/emulateBinocular/GLCamera.h"

#include <GL/glew.h>

#include <Eigen/Geometry>
#include <cmath>

namespace TavoAlgorithm {
namespace {

// Default frustum of the scanner cameras: a half-height of 0.16964 at unit
// distance, 150 to 450 mm.
constexpr double kDefaultHalfFovTan = 0.16964285714285715;
constexpr double kDefaultNear = 150.0;
constexpr double kDefaultFar = 450.0;
constexpr double kDefaultViewport = 1000.0;

void store(const Eigen::Matrix4f& m, std::array<float, 16>& out) {
  Eigen::Map<Eigen::Matrix4f>(out.data()) = m;  // Eigen is column-major too
}

}  // namespace

GLCamera::GLCamera()
    : m_eye(0.f, 0.f, 1000.f),
      m_center(0.f, 0.f, 0.f),
      m_up(0.f, 1.f, 0.f),
      m_far(kDefaultFar),
      m_near(kDefaultNear),
      m_orthoW(kDefaultViewport),
      m_orthoH(kDefaultViewport),
      m_fovy(2.0 * std::atan(kDefaultHalfFovTan)),
      m_viewportW(kDefaultViewport),
      m_viewportH(kDefaultViewport) {
  update();
}

void GLCamera::set_near_fovy_far(double nearPlane, double fovy, double farPlane) {
  m_near = nearPlane;
  m_fovy = fovy;
  m_far = farPlane;
}

void GLCamera::set_viewport(double w, double h) {
  if (h == 0.0) h = 1.0;
  m_orthoH *= h / m_viewportH;
  m_orthoW = (w / h) * m_orthoH;
  m_viewportW = w;
  m_viewportH = h;
  glViewport(0, 0, static_cast<GLsizei>(w), static_cast<GLsizei>(h));
}

void GLCamera::update() {
  const Eigen::Vector3f f = (m_center - m_eye).normalized();
  const Eigen::Vector3f s = f.cross(m_up).normalized();
  const Eigen::Vector3f u = s.cross(f);
  Eigen::Matrix4f view = Eigen::Matrix4f::Identity();
  view.block<1, 3>(0, 0) = s.transpose();
  view.block<1, 3>(1, 0) = u.transpose();
  view.block<1, 3>(2, 0) = -f.transpose();
  view(0, 3) = -s.dot(m_eye);
  view(1, 3) = -u.dot(m_eye);
  view(2, 3) = f.dot(m_eye);
  store(view, m_view);

  const double aspect = m_viewportW / m_viewportH;
  const double t = 1.0 / std::tan(m_fovy * 0.5);
  Eigen::Matrix4d proj = Eigen::Matrix4d::Zero();
  proj(0, 0) = t / aspect;
  proj(1, 1) = t;
  proj(2, 2) = (m_far + m_near) / (m_near - m_far);
  proj(2, 3) = 2.0 * m_far * m_near / (m_near - m_far);
  proj(3, 2) = -1.0;
  store(proj.cast<float>(), m_projection);
}

std::array<float, 16> GLCamera::mvp() const {
  std::array<float, 16> out;
  store(Eigen::Map<const Eigen::Matrix4f>(m_projection.data()) * Eigen::Map<const Eigen::Matrix4f>(m_view.data()), out);
  return out;
}

}  // namespace TavoAlgorithm

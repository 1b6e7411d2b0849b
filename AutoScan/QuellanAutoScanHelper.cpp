#include "QuellanAutoScanHelper.h"

#include <algorithm>
#include <ctime>

#include "AutoScan/QuellanEmulatBinocular/PlaneScanGeometry.h"
#include "AutoScan/QuellanEmulatBinocular/QuellanEmulatBinocular.h"
#include "common/console.h"
#include "geometry/OBBox.h"

namespace TavoAlgorithm {

QuellanAutoScanHelper::QuellanAutoScanHelper() : m_renderer(std::make_unique<QuellanEmulatBinocular>()) {}

QuellanAutoScanHelper::~QuellanAutoScanHelper() = default;

RetVal QuellanAutoScanHelper::loadSTL(const BaseTriMesh& mesh) {
  if (mesh.get_fn() == 0 || !mesh.faces_valid()) return RETVAL_FAILED;
  for (const auto& p : mesh.get_vCoords())
    if (!p.allFinite()) return RETVAL_FAILED;
  const BoundingBox box = mesh.get_boundBox();
  if (box.empty()) return RETVAL_FAILED;
  // The renderer refuses a model it cannot hold before anything changes here.
  const bool drawn = m_renderer->ready();
  if (drawn && !m_renderer->set_model(mesh)) return RETVAL_FAILED;

  m_unscanned.assign(static_cast<std::size_t>(mesh.get_fn()), true);
  m_center = Eigen::Vector3f(0.5f * (box.minX + box.maxX), 0.5f * (box.minY + box.maxY), box.minZ);
  plane_scan::Candidates candidates = plane_scan::make_candidates(m_center);
  m_renderer->set_candidates(std::move(candidates.eyes), std::move(candidates.ups), m_center);
  OBBox working(mesh.get_vCoords());
  working.enlarge(plane_scan::kBoxMargin);
  m_renderer->set_box_mesh(plane_scan::working_box_mesh(working));
  return drawn ? RETVAL_SUCCESS : RETVAL_NOT_READY;
}

RetVal QuellanAutoScanHelper::find_plane(int& bestIdx, Eigen::Vector3f& eye, Eigen::Vector3f& center,
                                         Eigen::Vector3f& up) {
  const std::clock_t start = std::clock();
  bestIdx = m_unscanned.empty() ? -1 : m_renderer->find_plane(eye, center, up);
  console::elapsed_ms(console::label::kFindPlane, start);
  return RETVAL_SUCCESS;
}

RetVal QuellanAutoScanHelper::find_path(int idx, Eigen::Vector3f& eye, Eigen::Vector3f& center,
                                        Eigen::Vector3f& up, bool& done) {
  const std::clock_t start = std::clock();
  done = true;
  if (!m_unscanned.empty() && idx >= 0 && idx < m_renderer->candidate_count()) {
    up = m_renderer->candidate_up(idx);
    done = m_renderer->find_path(idx, eye, center) < 0;
  }
  console::elapsed_ms(console::label::kFindPath, start);
  return RETVAL_SUCCESS;
}

RetVal QuellanAutoScanHelper::scan(const Eigen::Vector3f& eye, const Eigen::Vector3f& center,
                                   const Eigen::Vector3f& up, std::vector<int>& faces) {
  if (!m_renderer->ready()) return RETVAL_NOT_READY;
  if (m_unscanned.empty() || !eye.allFinite() || !center.allFinite() || !up.allFinite() ||
      !((center - eye).cross(up).squaredNorm() > 0.f))
    return RETVAL_FAILED;
  return m_renderer->scan(eye, center, up, faces) ? RETVAL_SUCCESS : RETVAL_NOT_READY;
}

RetVal QuellanAutoScanHelper::update_scan(const std::vector<int>& faces) {
  if (faces.empty()) return RETVAL_SUCCESS;
  const int n = static_cast<int>(m_unscanned.size());
  for (int f : faces)
    if (f >= 0 && f < n) m_unscanned[f] = false;
  m_renderer->set_face_flags(m_unscanned);
  return RETVAL_SUCCESS;
}

void QuellanAutoScanHelper::set_debug_folder(const std::string& folder) { m_renderer->set_debug_folder(folder); }

int QuellanAutoScanHelper::unscanned_count() const {
  return static_cast<int>(std::count(m_unscanned.begin(), m_unscanned.end(), true));
}

bool QuellanAutoScanHelper::renderer_ready() const { return m_renderer->ready(); }

}  // namespace TavoAlgorithm

#include "RemoveBadVertHelper.h"

#include <omp.h>

#include <cmath>
#include <string>

#include "AutoScan/emulateBinocular/DepthFrameRenderer.h"
#include "common/console.h"
#include "common/gpu/TavoGPUAlgorithm.h"
#include "geometry/RangeDataHelpers.h"
#include "meshproc/RangeProcess.h"

namespace TavoAlgorithm {
namespace {

constexpr VertexFlag kKept = 4;     // survived the strict cleaning
constexpr VertexFlag kDropped = 2;  // dropped by it
constexpr VertexFlag kLateDeleted = 8;

RangeProcessParam long_edge_setting() {
  RangeProcessParam p;
  p.maxViewAngleDeg = 0.f;
  p.longEdgeFactor = 9.f;
  p.spikeFactor = 9.f;
  p.windowRadius = 3;
  p.minNeighbours = 4;
  p.reservedF0 = 0.f;
  p.reservedF1 = 0.f;
  p.reservedF2 = 0.3f;
  p.reservedF3 = 0.05f;
  p.minComponentSize = 10;
  p.iterations = 1;
  p.boundaryBand = 0;
  p.compact = true;
  return p;
}

RangeProcessParam strict_setting() {
  RangeProcessParam p = long_edge_setting();
  p.maxViewAngleDeg = 80.f;
  p.longEdgeFactor = 3.5f;
  p.spikeFactor = 3.5f;
  p.reservedF0 = 90.f;
  p.reservedF1 = 45.f;
  return p;
}

// Suspects of one frame: world positions (xyz) and their vertex indices.
struct Suspects {
  std::vector<float> points;
  std::vector<int> vertices;
};

// Result byte per suspect: 1 when it lies in front of one of the depth
// images `others`; empty on a device failure.
std::vector<char> overlap(const Suspects& s, const DepthFrameRenderer& r, int from, int to, int skip) {
  using namespace TavoGPUAlgorithm;
  const int n = static_cast<int>(s.vertices.size());
  DeviceBuffer<float> points(s.points.size());
  DeviceBuffer<char> flags(static_cast<std::size_t>(n));
  if (points.empty() || flags.empty()) return {};
  points.upload(s.points.data(), s.points.size());
  flags.zero();
  const int side = static_cast<int>(std::cbrt(static_cast<double>(n)) + 1.0);
  for (int j = from; j < to; ++j) {
    if (j == skip) continue;
    remove_overlap_cuda(points.data(), r.view_projections()[j].data(), flags.data(), r.depth_images()[j].data(), n,
                        {r.width(), r.height()}, side);
  }
  std::vector<char> out(static_cast<std::size_t>(n), 0);
  flags.download(out.data(), out.size());
  if (!TAVO_CHECK_GPU()) return {};
  return out;
}

}  // namespace

RemoveBadVertHelper::RemoveBadVertHelper() = default;
RemoveBadVertHelper::~RemoveBadVertHelper() = default;

bool RemoveBadVertHelper::init_render() {
  if (m_renderer) return true;
  auto r = std::make_unique<DepthFrameRenderer>();
  std::string err;
  if (!r->init(err) || !r->build_program()) return false;
  m_renderer = std::move(r);
  return true;
}

void RemoveBadVertHelper::set_render_camera(double nearPlane, double fovy, double farPlane) {
  if (!m_renderer || !(nearPlane > 0.0) || !(farPlane > nearPlane) || !(fovy > 0.0 && fovy < 3.14159265358979))
    return;
  m_renderer->camera().set_near_fovy_far(nearPlane, fovy, farPlane);
}

void RemoveBadVertHelper::delete_long_edge(RangeData* rge) {
  if (rge) process_model(*rge, long_edge_setting());
}

bool RemoveBadVertHelper::send_rangeData(RangeData* rge, const RigidMatrix& rt) {
  if (!rge) {
    TAVO_LOG_ERROR("rge is empty !");
    return false;
  }
  process_model(*rge, long_edge_setting());
  if (!m_renderer) {
    TAVO_LOG_ERROR("need init renderer !");
    return false;
  }
  rge->enable_vFlag();
  m_frames.push_back(rge);
  m_poses.push_back(rt);

  RangeData copy = *rge;
  process_model(copy, strict_setting());
  remove_boundary(copy, 1);
  // Cells are kept by the cleaning, so a cell names the same pixel in both.
  if (copy.get_rows() == rge->get_rows() && copy.get_cols() == rge->get_cols()) {
    for (int r = 0; r < copy.get_rows(); ++r)
      for (int c = 0; c < copy.get_cols(); ++c) {
        if (copy.get_cellVertex(r, c) < 0) continue;
        const int v = rge->get_cellVertex(r, c);
        if (v >= 0 && v < rge->get_vn()) rge->set_vFlag(v, static_cast<VertexFlag>(rge->get_vFlag(v) | kKept));
      }
  }
  for (int v = 0; v < rge->get_vn(); ++v)
    if ((rge->get_vFlag(v) & kKept) == 0) rge->set_vFlag(v, static_cast<VertexFlag>(rge->get_vFlag(v) | kDropped));

  const RigidMatrix pose = rt * rge->get_rigidMatrix();
  copy.set_rigidMatrix(pose);
  BaseTriMesh mesh;
  RangeData_convert_to_BaseTriMesh(copy, mesh);
  mesh.rigid_transformation(pose);
  const Eigen::Vector3f eye = pose * Eigen::Vector3f(0.f, 0.f, 0.f);
  const Eigen::Vector3f center = pose * Eigen::Vector3f(0.f, 0.f, 100.f);
  const Eigen::Vector3f up = pose.transform_normal(Eigen::Vector3f(0.f, -100.f, 0.f));
  if (m_renderer->render_frame(mesh, eye, center, up) == 1) return true;
  // A frame without a rendering would shift every later frame's image.
  m_frames.pop_back();
  m_poses.pop_back();
  return false;
}

bool RemoveBadVertHelper::send_rangeData(const std::vector<RangeData*>& rges, const std::vector<RigidMatrix>& rts) {
  if (rges.size() != rts.size()) {
    TAVO_LOG_ERROR("rangdata size != dRts size! ");
    return false;
  }
  for (std::size_t i = 0; i < rges.size(); ++i)
    if (!send_rangeData(rges[i], rts[i]))
      TAVO_LOG_WARNING("number:  " + std::to_string(i) + "   rge, send failed!");
  return true;
}

void RemoveBadVertHelper::run() {
  const int count = static_cast<int>(m_frames.size());
  if (count < 2 || !m_renderer || static_cast<int>(m_renderer->depth_images().size()) != count) return;
  std::vector<Suspects> suspects(static_cast<std::size_t>(count));
#pragma omp parallel for schedule(static)
  for (int i = 0; i < count; ++i) {
    const RangeData& f = *m_frames[static_cast<std::size_t>(i)];
    if (!f.has_vFlag()) {
#pragma omp critical(remove_bad_vert_console)
      TAVO_LOG_WARNING("the No. " + std::to_string(i) + "  rge not enable vFlag !");
      continue;
    }
    const RigidMatrix pose = m_poses[static_cast<std::size_t>(i)] * f.get_rigidMatrix();
    Suspects& s = suspects[static_cast<std::size_t>(i)];
    for (int v = 0; v < f.get_vn(); ++v) {
      if ((f.get_vFlag(v) & (kKept | FLAG_DELETED)) != 0) continue;
      const Eigen::Vector3f p = pose * f.get_vCoord(v);
      s.points.insert(s.points.end(), {p.x(), p.y(), p.z()});
      s.vertices.push_back(v);
    }
  }
  const int first = std::min(m_processed, count);
  for (int i = first; i < count; ++i) {
    const Suspects& s = suspects[static_cast<std::size_t>(i)];
    if (s.vertices.empty()) continue;
    const std::vector<char> hit = overlap(s, *m_renderer, 0, count, i);
    if (hit.empty()) return;
    for (std::size_t k = 0; k < hit.size(); ++k)
      if (hit[k]) m_frames[static_cast<std::size_t>(i)]->set_vDeleted(s.vertices[k], true);
  }
  for (int i = 0; i < first; ++i) {
    const Suspects& s = suspects[static_cast<std::size_t>(i)];
    if (s.vertices.empty()) continue;
    const std::vector<char> hit = overlap(s, *m_renderer, first, count, i);
    if (hit.empty()) return;
    RangeData& f = *m_frames[static_cast<std::size_t>(i)];
    for (std::size_t k = 0; k < hit.size(); ++k)
      if (hit[k]) {
        const int v = s.vertices[k];
        f.set_vFlag(v, static_cast<VertexFlag>(f.get_vFlag(v) | FLAG_DELETED | kLateDeleted));
      }
  }
  m_processed = count;
}

bool RemoveBadVertHelper::clear_all() {
  m_frames.clear();
  m_poses.clear();
  m_processed = 0;
  if (m_renderer) m_renderer->release_frames();
  return true;
}

}  // namespace TavoAlgorithm

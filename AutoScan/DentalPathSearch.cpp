#include "AutoScan/DentalPathSearch.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "common/console.h"

namespace TavoAlgorithm::dental {
namespace {

constexpr std::int32_t kRepeatStep = 2;
constexpr std::int32_t kRepeatTiltLimit = 121;
constexpr std::int32_t kWindowLowestTilt = -30;
constexpr std::int32_t kWindowHighestTilt = 120;

struct Scored {
  Angles pose;
  float bound = 0.f;
};

bool by_bound(const Scored& a, const Scored& b) { return a.bound > b.bound; }

// Exact pass over bound-sorted poses: result = min(bound, exact); stops once
// the best found beats the next bound. Returns the index of the best above
// `best`, or -1.
int exact_pass(const PlanContext& ctx, const std::vector<Scored>& sorted, float& best) {
  int chosen = -1;
  for (std::size_t j = 0; j < sorted.size(); ++j) {
    if (sorted[j].bound <= 0.f) break;  // nothing after it can score
    const float s = score_pose(ctx, sorted[j].pose, false);
    const float result = std::min(sorted[j].bound, s);
    if (result > best) {
      best = result;
      chosen = static_cast<int>(j);
    }
    if (j + 1 < sorted.size() && best > sorted[j + 1].bound) break;
  }
  return chosen;
}

}  // namespace

void use_hole_face_bounds(EmulateBinHelper& renderer) {
  renderer.set_bound_image_divisor(kBoundImageDivisor);
  renderer.set_area_bounds(true);
  renderer.set_hole_face_bounds(true);
}

float score_pose(const PlanContext& ctx, const Angles& pose, bool bound) {
  const DentalAutoScanParam& p = ctx.setup.param;
  const std::int32_t s[4] = {pose.first, pose.second, p.setting2, p.setting3};
  std::vector<Eigen::Vector3f> e, c, u;
  std::vector<float> f;
  dental_look_at(ctx.setup.axis, ctx.setup.camera, s, e, c, u, f);
  std::vector<float> eyes, centers, ups;
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 3; ++j) {
      eyes.push_back(e[k][j]);
      centers.push_back(c[k][j]);
      ups.push_back(u[k][j]);
    }
  EmulateBinHelper& r = ctx.renderer;
  const float v = bound && r.hole_face_bounds() ? r.hole_face_bound_of_pose(eyes, centers, ups, f)
                                                : r.evaluate_pose(eyes, centers, ups, f, bound, bound);
  return v < 0.f ? 0.f : v;  // a failed render improves nothing
}

void get_better_path(const PlanContext& ctx, int i, float& value, Angles& angles) {
  if (i < 0 || i >= static_cast<int>(ctx.setup.angles.size())) return;
  angles = ctx.setup.angles[static_cast<std::size_t>(i)];
  if (value == 0.f || ctx.setup.param.angleStep == 1 || std::isnan(value)) return;
  Angles at = angles;
  for (std::int32_t h = ctx.setup.param.angleStep / 2; h > 0;) {
    const std::int32_t r = at.first, t = at.second;
    std::vector<Scored> n = {{{r + h, t + h}}, {{r + h, t}}, {{r + h, t - h}}, {{r, t + h}},
                             {{r, t - h}},     {{r - h, t + h}}, {{r - h, t}}, {{r - h, t - h}}};
    for (Scored& s : n) {
      if (s.pose.second < ctx.setup.param.firstAngle || s.pose.second > ctx.setup.param.lastAngle) continue;
      if (s.pose.first > 360) s.pose.first = (s.pose.first + 360) % 360;
      s.bound = score_pose(ctx, s.pose, true);
    }
    std::stable_sort(n.begin(), n.end(), by_bound);
    h /= 2;
    if (!(value > n.front().bound)) {
      const int j = exact_pass(ctx, n, value);
      if (j >= 0) at = n[static_cast<std::size_t>(j)].pose;
    }
  }
  angles = at;
}

Angles moved_repeat(const Angles& a) {
  const std::int32_t tilt = a.second + kRepeatStep < kRepeatTiltLimit ? a.second + kRepeatStep : a.second - kRepeatStep;
  return {(a.first + kRepeatStep) % 360, tilt};
}

std::vector<Angles> navigation_window(std::int32_t rotation, std::int32_t tilt, std::int32_t w) {
  std::vector<Angles> poses;
  for (std::int32_t dr = -w; dr <= w; ++dr)
    for (std::int32_t dt = -w; dt <= w; ++dt) {
      const std::int32_t t = tilt + dt;
      if (t < kWindowLowestTilt || t > kWindowHighestTilt) continue;
      poses.emplace_back(((rotation + 360 + dr) % 360 + 360) % 360, t);
    }
  return poses;
}

namespace {

bool ready(EmulateBinHelper* renderer, const BaseTriMesh* mesh, float clipZ) {
  if (!renderer || !mesh) return false;
  if (!renderer->scoring_mesh()) renderer->set_source_mesh(mesh);
  renderer->set_base_height(clipZ);
  return true;
}

}  // namespace

RetVal plan_step(EmulateBinHelper* renderer, const BaseTriMesh* mesh, float clipZ, const DentalPlanSetup& setup,
                 bool keepPatches, float& value, Angles& angles, Angles& last) {
  value = 0.f;
  if (!ready(renderer, mesh, clipZ)) return RETVAL_FAILED;
  EmulateBinHelper& r = *renderer;
  const PlanContext ctx{r, setup};
  int first = 0;
  int i = -1;
  if (r.update_hole_mesh(keepPatches, first) == EmulateBinHelper::HOLE_MESH_UPLOADED && r.hole_faces_drawn()) {
    std::vector<float> results;
    i = r.select_best_candidate(results);
    if (i >= 0 && i < static_cast<int>(results.size())) value = results[static_cast<std::size_t>(i)];
  }
  if (i >= 0) {
    get_better_path(ctx, i, value, angles);
    if (angles == last) angles = moved_repeat(angles);
    last = angles;
  }
  r.accept_view();
  console::message("best value: " + std::to_string(value));
  r.release_scoring_mesh();
  return i < 0 ? RETVAL_NOT_READY : RETVAL_SUCCESS;
}

RetVal navigate(EmulateBinHelper* renderer, const BaseTriMesh* mesh, float clipZ, const DentalPlanSetup& setup,
                std::int32_t rotation, std::int32_t tilt, std::int32_t w, std::int32_t& rotationOut,
                std::int32_t& tiltOut) {
  if (!ready(renderer, mesh, clipZ)) return RETVAL_FAILED;
  EmulateBinHelper& r = *renderer;
  const PlanContext ctx{r, setup};
  int first = 0;
  if (r.update_hole_mesh(false, first) != EmulateBinHelper::HOLE_MESH_UPLOADED) {
    rotationOut = rotation;
    tiltOut = tilt;
    return RETVAL_NOT_READY;
  }
  std::vector<Scored> poses;
  for (const Angles& a : navigation_window(rotation, tilt, std::max(0, w)))
    poses.push_back({a, score_pose(ctx, a, true)});
  std::stable_sort(poses.begin(), poses.end(), by_bound);
  float best = 0.f;
  const int j = exact_pass(ctx, poses, best);
  if (j >= 0) {
    rotationOut = poses[static_cast<std::size_t>(j)].pose.first;
    tiltOut = poses[static_cast<std::size_t>(j)].pose.second;
  }
  r.release_scoring_mesh();
  return RETVAL_SUCCESS;
}

}  // namespace TavoAlgorithm::dental

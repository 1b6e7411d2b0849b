// Planning against ground truth: a sphere scanned all round except for a
// large cap facing +x and a smaller one facing -x, so that the fused model has
// a hole at each, and a ring of candidates around it. From the scans through
// the model and its hole mesh, the first choice must look at the large hole
// with both scoring cameras, the next one, after the view is accepted, at the
// other hole; a renderer lost in the middle of a choice chooses nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "auto_scan_scene.h"
#include "geometry/TriMesh.h"
#include "meshproc/HoleFinding.h"
#include "gl_test_context.h"

using namespace TavoAlgorithm;
using namespace tavo_test;
using Eigen::Vector3f;

namespace {

constexpr float kOrbit = 250.f, kBaseline = 60.f, kFovy = 0.5f;
constexpr float kLargeHole = 0.6f, kSmallHole = 0.35f;  // cap half-angles, radians

std::vector<float> azimuths() {
  std::vector<float> a;
  for (int k = 0; k < 12; ++k) a.push_back(30.f * k);
  return a;
}

using Hole = Cap;

// Whether a camera at eye looking at the origin sees the hole's centre inside
// its field of view and within 60 degrees of the hole's direction.
bool sees(const Vector3f& eye, const Hole& hole) {
  const Vector3f c = kSphereRadius * hole.direction;
  const float facing = (eye - c).normalized().dot(hole.direction);
  const float offAxis = std::acos(std::clamp((c - eye).normalized().dot(-eye.normalized()), -1.f, 1.f));
  return facing > 0.5f && offAxis < 0.5f * kFovy;
}

// The two cameras that score a candidate: c2 and c1.
bool both_see(const OpenGLCameraParam& cams, int candidate, const Hole& hole) {
  auto eye = [&](int camera) {
    const int o = 9 * candidate + 3 * camera;
    return Vector3f(cams.eyes[o], cams.eyes[o + 1], cams.eyes[o + 2]);
  };
  return sees(eye(2), hole) && sees(eye(1), hole);
}

struct PlanningScene {
  TestPlanner h;
  OpenGLCameraParam cams = ring_candidates(azimuths(), kOrbit, kBaseline, kFovy);
  std::vector<RangeData> frames = sphere_scans(all_round());
  const Hole large{Vector3f::UnitX(), kLargeHole};
  const Hole small{-Vector3f::UnitX(), kSmallHole};
  BaseTriMesh model;
  bool ready = false;

  PlanningScene() {
    cut_caps(frames, {large, small});
    std::string err;
    ready = h.set_base_param(sphere_param(), cams, err) == RETVAL_SUCCESS && send_frames(h, frames) &&
            h.get_triMesh(model) == RETVAL_SUCCESS && h.has_model();
    EXPECT_TRUE(ready) << err;
    if (!ready) return;
    int firstHoleFace = -1;
    ready = h.renderer()->update_hole_mesh(false, firstHoleFace) == EmulateBinHelper::HOLE_MESH_UPLOADED &&
            h.renderer()->hole_faces_drawn();
    EXPECT_TRUE(ready) << "no hole faces to score";
  }
};

// Directions from the centre to the centres of the model's holes.
std::vector<Vector3f> hole_directions(const BaseTriMesh& model) {
  TriMesh t;
  BaseTriMesh_convert_to_TriMesh(model, t);
  std::vector<VertexLoop> loops;
  find_holes(t, loops);
  std::vector<Vector3f> d;
  for (const auto& loop : loops) {
    Vector3f c = Vector3f::Zero();
    for (auto v : loop) c += Vector3f(t.point(v)[0], t.point(v)[1], t.point(v)[2]);
    d.push_back(c.normalized());
  }
  return d;
}

}  // namespace

TEST(AutoScanPlanning, FirstChoiceSeesTheLargeHoleAndTheNextTheOther) {
  TAVO_REQUIRE_GL_CONTEXT();
  PlanningScene s;
  ASSERT_TRUE(s.ready);
  // The model has exactly the two holes, where the scans left them.
  const std::vector<Vector3f> holes = hole_directions(s.model);
  ASSERT_EQ(holes.size(), 2u);
  EXPECT_TRUE(std::any_of(holes.begin(), holes.end(), [](const Vector3f& d) { return d.x() > 0.99f; }));
  EXPECT_TRUE(std::any_of(holes.begin(), holes.end(), [](const Vector3f& d) { return d.x() < -0.99f; }));
  // The ground truth of the views: the candidates within 30 degrees of +x see
  // the large hole with both cameras, those within 30 degrees of -x the small one.
  for (int i = 0; i < 12; ++i) {
    const float a = 30.f * i;
    EXPECT_EQ(both_see(s.cams, i, s.large), a <= 30.f || a >= 330.f) << a;
    EXPECT_EQ(both_see(s.cams, i, s.small), a >= 150.f && a <= 210.f) << a;
  }
  EmulateBinHelper& r = *s.h.renderer();
  std::vector<float> results;
  const int first = r.select_best_candidate(results);
  ASSERT_GE(first, 0);
  EXPECT_TRUE(both_see(s.cams, first, s.large)) << "chose azimuth " << 30 * first;
  EXPECT_GT(results[first], 0.f);
  r.accept_view();

  const int second = r.select_best_candidate(results);
  ASSERT_GE(second, 0);
  EXPECT_TRUE(both_see(s.cams, second, s.small)) << "chose azimuth " << 30 * second;
  EXPECT_TRUE(r.candidate_used(first) && r.candidate_used(second));
}

TEST(AutoScanPlanning, ARendererLostMidChoiceReportsItAndMarksNothing) {
  TAVO_REQUIRE_GL_CONTEXT();
  PlanningScene s;
  ASSERT_TRUE(s.ready);
  EmulateBinHelper& r = *s.h.renderer();
  std::vector<float> results;
  TavoGLFWWindow::fail_make_current_after(5);  // the choice's own call and four candidates
  const int chosen = r.select_best_candidate(results);
  TavoGLFWWindow::fail_make_current_after(-1);
  EXPECT_EQ(chosen, -1);
  for (int i = 0; i < r.candidate_count(); ++i) EXPECT_FALSE(r.candidate_used(i)) << i;
  r.accept_view();  // as the planners do after any choice: nothing is damped
  const std::vector<float> values = r.voxels().download_values();
  EXPECT_TRUE(std::all_of(values.begin(), values.end(), [](float v) { return v == 1.f || v == 0.f; }));
  // With the renderer back, the planning goes on from where it stood.
  const int first = r.select_best_candidate(results);
  ASSERT_GE(first, 0);
  EXPECT_TRUE(both_see(s.cams, first, s.large));
}

// Planning against ground truth: a scanned sphere whose scoring mesh has a
// large hole facing +x and a smaller one facing -x, and a ring of candidates
// around it. The first choice must look at the large hole with both scoring
// cameras, the next one, after the view is accepted, at the other hole; a
// renderer lost in the middle of a choice chooses nothing.
#include <gtest/gtest.h>

#include <cmath>

#include "SceneMeshes.h"
#include "auto_scan_scene.h"
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

struct Hole {
  Vector3f direction;
  float halfAngle;
};

// The sphere with its faces within each hole's cap moved behind the others
// and marked as hole faces (what closing the holes leaves to score).
void sphere_with_hole_faces(const std::vector<Hole>& holes, BaseTriMesh& mesh, std::vector<int>& mask) {
  BaseTriMesh s;
  sim::add_uv_sphere(s, Vector3f::Zero(), kSphereRadius, 96, 48);
  mesh = BaseTriMesh();
  for (int i = 0; i < s.get_vn(); ++i) mesh.add_vCoord(s.get_vCoord(i));
  std::vector<BaseTriFace> holeFaces;
  for (int f = 0; f < s.get_fn(); ++f) {
    Vector3f c = Vector3f::Zero();
    for (int k = 0; k < 3; ++k) c += s.get_vCoord(s.get_face(f)[k]);
    bool inHole = false;
    for (const Hole& h : holes) inHole = inHole || c.normalized().dot(h.direction) > std::cos(h.halfAngle);
    if (inHole) holeFaces.push_back(s.get_face(f));
    else mesh.add_face(s.get_face(f));
  }
  const int first = mesh.get_fn();
  for (const BaseTriFace& f : holeFaces) mesh.add_face(f);
  mask.assign(mesh.get_fn() / 32 + 1, 0);
  for (int f = first; f < mesh.get_fn(); ++f) mask[f / 32] |= static_cast<int>(1u << (f % 32));
}

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
  bool ready = false;

  PlanningScene() {
    std::string err;
    BaseTriMesh model, scoring;
    std::vector<int> mask;
    sphere_with_hole_faces({large, small}, scoring, mask);
    ready = h.set_base_param(sphere_param(), cams, err) == RETVAL_SUCCESS && send_frames(h, frames) &&
            h.get_triMesh(model) == RETVAL_SUCCESS && h.has_model() &&
            h.renderer()->set_scoring_mesh(scoring, mask) == RETVAL_SUCCESS;
    EXPECT_TRUE(ready) << err;
  }
};

}  // namespace

TEST(AutoScanPlanning, FirstChoiceSeesTheLargeHoleAndTheNextTheOther) {
  TAVO_REQUIRE_GL_CONTEXT();
  PlanningScene s;
  ASSERT_TRUE(s.ready);
  // The ground truth itself: the candidates within 30 degrees of +x see the
  // large hole with both cameras, those within 30 degrees of -x the small one.
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

// Face-id images and the shadow test of the binocular renderer on real OpenGL.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "AutoScan/emulateBinocular/DepthFrameRenderer.h"
#include "SceneMeshes.h"
#include "gl_test_context.h"
#include "render_scene.h"

using namespace TavoAlgorithm;
using namespace tavo_test;
using View = EmulateBinHelper::GLView;
using Eigen::Vector3f;

namespace {

constexpr double kVoxel = 2.0;
const std::vector<float> kFovs = {0.6f, 0.6f};

BaseTriMesh quad_at(float z, float half = 10.f) {
  BaseTriMesh m;
  sim::add_quad(m, {-half, -half, z}, {half, -half, z}, {half, half, z}, {-half, half, z});
  return m;
}

}  // namespace

TEST(EmulateBinHelper, FaceIdsCoverEachVisibleFaceByItsProjectedArea) {
  TAVO_REQUIRE_GL_CONTEXT();
  BaseTriMesh mesh;
  sim::add_box(mesh, Vector3f::Zero(), Vector3f::Constant(20.f));  // faces 0..11
  sim::add_quad(mesh, {30, -60, -30}, {70, -60, -30}, {70, -30, -30}, {30, -30, -30});      // 12, 13: open
  sim::add_quad(mesh, {-5, -5, -25}, {5, -5, -25}, {5, 5, -25}, {-5, 5, -25});              // 14, 15: hidden
  sim::add_quad(mesh, {-70, -60, -30}, {-70, -30, -30}, {-30, -30, -30}, {-30, -60, -30});  // 16, 17: back
  auto r = make_renderer(kVoxel, {}, kFovs);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->set_scoring_mesh(mesh, hole_mask(mesh.get_fn())), RETVAL_SUCCESS);
  r->set_mesh_box();
  const View cam{{150, 120, 200}, {0, 0, 0}, {0, 1, 0}};
  EXPECT_GT(r->score_view_pair(cam, cam, true, true), 0.f);

  const std::map<int, int> counts = face_pixel_counts(r->last_face_ids());
  for (int f : {0, 1, 4, 5, 8, 9, 12, 13}) {
    const double area = projected_area(mesh, f, r->last_left_mvp(), r->width(), r->height());
    ASSERT_GT(area, 2000.0) << f;
    ASSERT_TRUE(counts.count(f)) << f;
    EXPECT_NEAR(counts.at(f), area, 0.03 * area) << "face " << f;
  }
  // Faces turned away (-x, -y, -z of the box, the reversed quad) and the quad
  // behind the box write nothing.
  for (int f : {2, 3, 6, 7, 10, 11, 14, 15, 16, 17}) EXPECT_EQ(counts.count(f), 0u) << f;
}

TEST(EmulateBinHelper, ShadowWeightsAndBackFacesDecideTheScore) {
  TAVO_REQUIRE_GL_CONTEXT();
  auto r = make_renderer(kVoxel, {}, kFovs);
  ASSERT_TRUE(r);
  const std::vector<float> eyes = {0, 0, 250, 100, 0, 250, 0, 0, 0}, centers(9, 0.f), ups = {0, 1, 0, 0, 1, 0, 0, 1, 0};
  auto score = [&](const BaseTriMesh& m, const std::vector<int>& mask) {
    EXPECT_EQ(r->set_scoring_mesh(m, mask), RETVAL_SUCCESS);
    r->set_mesh_box();
    return r->evaluate_pose(eyes, centers, ups, kFovs, true);
  };
  // Hole quad in the open, seen by both cameras; behind it nothing (weight 0.1).
  BaseTriMesh open = quad_at(0);
  sim::add_box(open, {0, 0, -60}, {40, 40, 1});  // a floor far below, no hole faces
  const float inOpen = score(open, {0b11});
  int holePixels = 0;
  for (const auto& [face, n] : face_pixel_counts(r->last_face_ids())) holePixels += face < 2 ? n : 1 << 20;
  ASSERT_GT(holePixels, 1000);
  EXPECT_NEAR(inOpen, 0.1f * holePixels, 1e-3f * inOpen);

  // A wall between the right camera and the hole: nothing is lit, score 0.
  BaseTriMesh walled = open;
  sim::add_quad(walled, {30, -40, 100}, {60, -40, 100}, {60, 40, 100}, {30, 40, 100});
  EXPECT_EQ(score(walled, {0b11}), 0.f);
  EXPECT_TRUE(face_pixel_counts(r->last_face_ids()).empty());

  // The same hole turned away from the cameras adds nothing.
  BaseTriMesh turned;
  sim::add_quad(turned, {-10, -10, 0}, {-10, 10, 0}, {10, 10, 0}, {10, -10, 0});
  EXPECT_EQ(score(turned, {0b11}), 0.f);

  // A hole in the top of a closed box: the left camera looks through it at the
  // inside of the bottom, a back face, so its pixels weigh 1.0.
  BaseTriMesh box;
  sim::add_box(box, {0, 0, -10}, {10, 10, 10});
  const float throughHole = score(box, {0b11 << 8});  // the +z side is the hole
  EXPECT_NEAR(throughHole, 10.f * inOpen, 0.03f * throughHole);
}

TEST(EmulateBinHelper, MissingSetupScoresZeroWithTheMessage) {
  TAVO_REQUIRE_GL_CONTEXT();
  const View cam{{0, 0, 250}, {0, 0, 0}, {0, 1, 0}};
  EmulateBinHelper idle(kVoxel);
  EXPECT_EQ(idle.score_view_pair(cam, cam, true, false), 0.f);  // no OpenGL yet

  auto r = make_renderer(kVoxel, {}, kFovs);
  ASSERT_TRUE(r);
  const BaseTriMesh quad = quad_at(0);
  BaseTriMesh broken = quad;
  broken.add_face({0, 1, 7});
  EXPECT_EQ(r->set_scoring_mesh(quad, {}), RETVAL_FAILED);  // mask shorter than the faces
  EXPECT_EQ(r->set_scoring_mesh(broken, hole_mask(3)), RETVAL_FAILED);
  ASSERT_EQ(r->set_scoring_mesh(quad, hole_mask(2)), RETVAL_SUCCESS);
  testing::internal::CaptureStdout();
  EXPECT_EQ(r->score_view_pair(cam, cam, true, false), 0.f);
  EXPECT_EQ(r->set_value_boxes({BoundingBox({0, 0, 0}, {1, 1, 1})}, false), RETVAL_FAILED);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(EmulateBinHelper\.cpp \d+ Error: EmulateBinHelper mesh box is not init !{16})")))
      << out;

  std::string err;
  EXPECT_FALSE(r->set_scan_poses({1, 2, 3}, {1, 2, 3}, {1, 2, 3}, kFovs, err));
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(r->evaluate_pose({1, 2}, {}, {}, kFovs, true), 0.f);
}

// Runs in its own ctest entry that hides every OpenGL driver from the process.
TEST(EmulateBinHelper, WithoutOpenGLEveryCallFailsCleanly) {
  if (!std::getenv("TAVO_EXPECT_NO_GL")) GTEST_SKIP() << "needs a process without OpenGL drivers";
  std::string err;
  EmulateBinHelper r(kVoxel);
  EXPECT_FALSE(r.init_opengl(err));
  EXPECT_NE(err.find("no OpenGL 4.3 core context"), std::string::npos) << err;
  Candidates c;
  c.add({0, 0, 250}, {0, 1, 0});
  ASSERT_TRUE(r.set_scan_poses(c.eyes, c.centers, c.ups, kFovs, err));
  EXPECT_EQ(r.set_scoring_mesh(quad_at(0), hole_mask(2)), RETVAL_NOT_READY);
  r.set_mesh_box();
  EXPECT_EQ(r.score_view_pair(c.view(0), c.view(0), true, false), 0.f);
  EXPECT_EQ(r.evaluate_pose(c.eyes, c.centers, c.ups, kFovs, true), 0.f);
  std::vector<float> results{1.f};
  EXPECT_EQ(r.select_best_candidate(results), 0);
  r.accept_view();

  DepthFrameRenderer frames;
  err.clear();
  EXPECT_FALSE(frames.init(err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(frames.build_program());
  EXPECT_EQ(frames.render_frame(quad_at(0), {0, 0, 250}, {0, 0, 0}, {0, 1, 0}), 0);
  EXPECT_TRUE(frames.depth_images().empty());
}

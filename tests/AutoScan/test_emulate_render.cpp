// Face-id images and the shadow test of the binocular renderer on real OpenGL.
#include <gtest/gtest.h>

#include <regex>

#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
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

std::unique_ptr<EmulateBinHelper> make_renderer() {
  auto r = std::make_unique<EmulateBinHelper>(kVoxel);
  std::string err;
  if (!r->init_opengl(err)) {
    ADD_FAILURE() << err;
    return nullptr;
  }
  if (!r->set_scan_poses({}, {}, {}, kFovs, err)) ADD_FAILURE() << err;
  return r;
}

std::vector<float> flat(std::initializer_list<Vector3f> v) {
  std::vector<float> out;
  for (const auto& p : v) out.insert(out.end(), {p.x(), p.y(), p.z()});
  return out;
}

}  // namespace

TEST(EmulateBinHelper, FaceIdsCoverEachVisibleFaceByItsProjectedArea) {
  TAVO_REQUIRE_GL_CONTEXT();
  BaseTriMesh mesh;
  sim::add_box(mesh, Vector3f::Zero(), Vector3f::Constant(20.f));  // faces 0..11
  sim::add_quad(mesh, {30, -60, -30}, {70, -60, -30}, {70, -30, -30}, {30, -30, -30});      // 12, 13: open
  sim::add_quad(mesh, {-5, -5, -25}, {5, -5, -25}, {5, 5, -25}, {-5, 5, -25});              // 14, 15: hidden
  sim::add_quad(mesh, {-70, -60, -30}, {-70, -30, -30}, {-30, -30, -30}, {-30, -60, -30});  // 16, 17: back
  auto r = make_renderer();
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
  auto r = make_renderer();
  ASSERT_TRUE(r);
  const std::vector<float> eyes = flat({{0, 0, 250}, {100, 0, 250}, {0, 0, 0}});
  const std::vector<float> centers = flat({{0, 0, 0}, {0, 0, 0}, {0, 0, 0}});
  const std::vector<float> ups = flat({{0, 1, 0}, {0, 1, 0}, {0, 1, 0}});
  auto score = [&](const BaseTriMesh& m, const std::vector<int>& mask) {
    EXPECT_EQ(r->set_scoring_mesh(m, mask), RETVAL_SUCCESS);
    r->set_mesh_box();
    return r->evaluate_pose(eyes, centers, ups, kFovs, true);
  };
  // Hole quad in the open, seen by both cameras; behind it nothing (weight 0.1).
  BaseTriMesh open;
  sim::add_quad(open, {-10, -10, 0}, {10, -10, 0}, {10, 10, 0}, {-10, 10, 0});
  sim::add_box(open, {0, 0, -60}, {40, 40, 1});  // a floor far below, no hole faces
  const std::vector<int> openMask = {0b11};
  const float inOpen = score(open, openMask);
  int holePixels = 0;
  for (const auto& [face, n] : face_pixel_counts(r->last_face_ids())) holePixels += face < 2 ? n : 1 << 20;
  ASSERT_GT(holePixels, 1000);
  EXPECT_NEAR(inOpen, 0.1f * holePixels, 1e-3f * inOpen);

  // A wall between the right camera and the hole: nothing is lit, score 0.
  BaseTriMesh walled = open;
  sim::add_quad(walled, {30, -40, 100}, {60, -40, 100}, {60, 40, 100}, {30, 40, 100});
  EXPECT_EQ(score(walled, openMask), 0.f);
  EXPECT_TRUE(face_pixel_counts(r->last_face_ids()).empty());

  // The same hole turned away from the cameras adds nothing.
  BaseTriMesh turned;
  sim::add_quad(turned, {-10, -10, 0}, {-10, 10, 0}, {10, 10, 0}, {10, -10, 0});
  EXPECT_EQ(score(turned, openMask), 0.f);

  // A hole in the top of a closed box: the left camera looks through it at the
  // inside of the bottom, a back face, so its pixels weigh 1.0.
  BaseTriMesh box;
  sim::add_box(box, {0, 0, -10}, {10, 10, 10});
  const std::vector<int> topHole = {0b11 << 8};  // the +z side is the hole
  const float throughHole = score(box, topHole);
  EXPECT_NEAR(throughHole, 10.f * inOpen, 0.03f * throughHole);
}

TEST(EmulateBinHelper, MissingSetupScoresZeroWithTheMessage) {
  TAVO_REQUIRE_GL_CONTEXT();
  EmulateBinHelper idle(kVoxel);
  const View cam{{0, 0, 250}, {0, 0, 0}, {0, 1, 0}};
  EXPECT_EQ(idle.score_view_pair(cam, cam, true, false), 0.f);  // no OpenGL yet
  std::vector<float> results;
  EXPECT_EQ(idle.select_best_candidate(results), 0);
  EXPECT_TRUE(results.empty());

  auto r = make_renderer();
  ASSERT_TRUE(r);
  BaseTriMesh quad;
  sim::add_quad(quad, {-10, -10, 0}, {10, -10, 0}, {10, 10, 0}, {-10, 10, 0});
  EXPECT_EQ(r->set_scoring_mesh(quad, {}), RETVAL_FAILED);  // mask shorter than the faces
  BaseTriMesh broken = quad;
  broken.add_face({0, 1, 7});
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

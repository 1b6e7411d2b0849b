// Face-id images, the shadow test and depth frames of the off-screen
// renderers on real OpenGL, and their failures without it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>

#include "AutoScan/emulateBinocular/DepthFrameRenderer.h"
#include "SceneMeshes.h"
#include "common/gpu/TavoGPUAlgorithm.h"
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

// Pixel area of face f under a column-major MVP on a w x h image.
double projected_area(const BaseTriMesh& mesh, int f, const std::array<float, 16>& mvp, int w, int h) {
  const Eigen::Map<const Eigen::Matrix4f> m(mvp.data());
  Eigen::Vector2d p[3];
  for (int k = 0; k < 3; ++k) {
    const Eigen::Vector4f c = m * mesh.get_vCoord(mesh.get_face(f)[k]).homogeneous();
    p[k] = Eigen::Vector2d((c.x() / c.w() * 0.5 + 0.5) * w, (c.y() / c.w() * 0.5 + 0.5) * h);
  }
  const Eigen::Vector2d a = p[1] - p[0], b = p[2] - p[0];
  return 0.5 * std::abs(a.x() * b.y() - a.y() * b.x());
}

// Pixels per face of a face-id image (pixels with a zero RGB show no face).
std::map<int, int> face_pixel_counts(const std::vector<std::uint8_t>& rgba) {
  std::map<int, int> counts;
  for (std::size_t p = 0; p + 3 < rgba.size(); p += 4) {
    if ((rgba[p] | rgba[p + 1] | rgba[p + 2]) == 0) continue;
    const unsigned id = (unsigned(rgba[p + 3]) << 24) | (unsigned(rgba[p]) << 16) | (unsigned(rgba[p + 1]) << 8) |
                        unsigned(rgba[p + 2]);
    ++counts[static_cast<int>(id) - 1];
  }
  return counts;
}

// Window depth of a point at distance d on the axis of the default frustum.
double window_depth(double d, double n, double f) {
  return 0.5 * ((f + n) / (f - n) - 2.0 * f * n / ((f - n) * d)) + 0.5;
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

  // A hole in the top of a closed box: the left camera looks through it at the
  // inside of the bottom, a back face, so its pixels weigh 1.0.
  BaseTriMesh box;
  sim::add_box(box, {0, 0, -10}, {10, 10, 10});
  const float throughHole = score(box, {0b11 << 8});  // the +z side is the hole
  EXPECT_NEAR(throughHole, 10.f * inOpen, 0.03f * throughHole);
}

TEST(EmulateBinHelper, MissingSetupFailsTheScoreWithTheMessage) {
  TAVO_REQUIRE_GL_CONTEXT();
  const View cam{{0, 0, 250}, {0, 0, 0}, {0, 1, 0}};
  EXPECT_EQ(EmulateBinHelper(kVoxel).score_view_pair(cam, cam, true, false),
            EmulateBinHelper::kScoreFailed);  // no OpenGL yet
  auto r = make_renderer(kVoxel, {}, kFovs);
  ASSERT_TRUE(r);
  const BaseTriMesh quad = quad_at(0);
  BaseTriMesh broken = quad;
  broken.add_face({0, 1, 7});
  EXPECT_EQ(r->set_scoring_mesh(quad, {}), RETVAL_FAILED);  // mask shorter than the faces
  EXPECT_EQ(r->set_scoring_mesh(broken, hole_mask(3)), RETVAL_FAILED);
  ASSERT_EQ(r->set_scoring_mesh(quad, hole_mask(2)), RETVAL_SUCCESS);
  testing::internal::CaptureStdout();
  EXPECT_EQ(r->score_view_pair(cam, cam, true, false), EmulateBinHelper::kScoreFailed);
  EXPECT_EQ(r->set_value_boxes({BoundingBox({0, 0, 0}, {1, 1, 1})}, false), RETVAL_FAILED);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::regex line(R"(EmulateBinHelper\.cpp \d+ Error: EmulateBinHelper mesh box is not init !{16})");
  EXPECT_TRUE(std::regex_search(out, line)) << out;

  std::string err;
  EXPECT_FALSE(r->set_scan_poses({1, 2, 3}, {1, 2, 3}, {1, 2, 3}, kFovs, err));
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(r->evaluate_pose({1, 2}, {}, {}, kFovs, true), EmulateBinHelper::kScoreFailed);
}

TEST(DepthFrameRenderer, StoresWindowDepthAndFlagsPointsInFront) {
  TAVO_REQUIRE_GL_CONTEXT();
  DepthFrameRenderer r;
  std::string err;
  ASSERT_TRUE(r.init(err)) << err;
  ASSERT_TRUE(r.build_program());
  const BaseTriMesh wall = quad_at(0, 20);
  const Vector3f eye(0, 0, 300), center(0, 0, 0), up(0, 1, 0);
  ASSERT_EQ(r.render_frame(wall, eye, center, up) + r.render_frame(wall, {0, 0, 200}, center, up), 2);
  ASSERT_EQ(r.depth_images().size(), 2u);
  ASSERT_EQ(r.view_projections().size(), 2u);

  const double n = r.camera().near_plane(), f = r.camera().far_plane();
  std::vector<std::uint8_t> image(r.width() * r.height());
  r.depth_images()[0].download(image.data(), image.size());
  const int middle = (r.height() / 2) * r.width() + r.width() / 2;
  EXPECT_NEAR(image[middle], window_depth(300, n, f) * 255.0, 1.0);
  EXPECT_EQ(image[0], 0);  // corner: nothing drawn
  r.depth_images()[1].download(image.data(), image.size());
  EXPECT_NEAR(image[middle], window_depth(200, n, f) * 255.0, 1.0);

  // Points on the axis of the first frame: in front of the wall, behind it,
  // and beside it where no surface was drawn.
  const std::vector<float> points = {0, 0, 50, 0, 0, -50, 60, 0, 50};
  TavoGPUAlgorithm::DeviceBuffer<float> p(points.size());
  p.upload(points.data(), points.size());
  TavoGPUAlgorithm::DeviceBuffer<char> flags(3);
  flags.zero();
  TavoGPUAlgorithm::remove_overlap_cuda(p.data(), r.view_projections()[0].data(), flags.data(),
                                        r.depth_images()[0].data(), 3, {r.width(), r.height()}, 2);
  std::vector<char> out(3);
  flags.download(out.data(), 3);
  EXPECT_EQ(out, (std::vector<char>{1, 0, 0}));

  r.release_frames();
  EXPECT_TRUE(r.depth_images().empty());
  BaseTriMesh broken = wall;
  broken.add_face({0, 1, 9});
  EXPECT_EQ(r.render_frame(broken, eye, center, up), 0);
  EXPECT_EQ(DepthFrameRenderer().render_frame(wall, eye, center, up), 0);  // not initialised
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
  EXPECT_EQ(r.score_view_pair(c.view(0), c.view(0), true, false), EmulateBinHelper::kScoreFailed);
  EXPECT_EQ(r.evaluate_pose(c.eyes, c.centers, c.ups, kFovs, true), EmulateBinHelper::kScoreFailed);
  std::vector<float> results{1.f};
  EXPECT_EQ(r.select_best_candidate(results), -1);
  EXPECT_FALSE(r.candidate_used(0));
  r.accept_view();

  DepthFrameRenderer frames;
  err.clear();
  EXPECT_FALSE(frames.init(err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(frames.build_program());
  EXPECT_EQ(frames.render_frame(quad_at(0), {0, 0, 250}, {0, 0, 0}, {0, 1, 0}), 0);
  EXPECT_TRUE(frames.depth_images().empty());
}

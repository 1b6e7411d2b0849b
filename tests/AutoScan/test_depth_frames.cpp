// 8-bit depth frames against the analytic window depth, and the overlap test.
#include <gtest/gtest.h>

#include <cmath>

#include "AutoScan/emulateBinocular/DepthFrameRenderer.h"
#include "SceneMeshes.h"
#include "common/gpu/TavoGPUAlgorithm.h"
#include "gl_test_context.h"

using namespace TavoAlgorithm;
using namespace TavoGPUAlgorithm;
using Eigen::Vector3f;

// Window depth of a point at distance d on the axis of the default frustum.
static double window_depth(double d, double n, double f) {
  return 0.5 * ((f + n) / (f - n) - 2.0 * f * n / ((f - n) * d)) + 0.5;
}

TEST(DepthFrameRenderer, StoresWindowDepthAndFlagsPointsInFront) {
  TAVO_REQUIRE_GL_CONTEXT();
  DepthFrameRenderer r;
  std::string err;
  ASSERT_TRUE(r.init(err)) << err;
  ASSERT_TRUE(r.build_program());
  BaseTriMesh wall;
  sim::add_quad(wall, {-20, -20, 0}, {20, -20, 0}, {20, 20, 0}, {-20, 20, 0});
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
  DeviceBuffer<float> p(points.size());
  p.upload(points.data(), points.size());
  DeviceBuffer<char> flags(3);
  flags.zero();
  remove_overlap_cuda(p.data(), r.view_projections()[0].data(), flags.data(), r.depth_images()[0].data(), 3,
                      {r.width(), r.height()}, static_cast<int>(std::cbrt(3.0) + 1));
  std::vector<char> out(3);
  flags.download(out.data(), 3);
  EXPECT_EQ(out, (std::vector<char>{1, 0, 0}));

  r.release_frames();
  EXPECT_TRUE(r.depth_images().empty());
  BaseTriMesh broken = wall;
  broken.add_face({0, 1, 9});
  EXPECT_EQ(r.render_frame(broken, eye, center, up), 0);
  DepthFrameRenderer idle;
  EXPECT_EQ(idle.render_frame(wall, eye, center, up), 0);
}

// Value boxes decide which blocks count; used candidates stay used.
#include <gtest/gtest.h>

#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "SceneMeshes.h"
#include "gl_test_context.h"
#include "render_scene.h"

using namespace TavoAlgorithm;
using namespace tavo_test;

namespace {

std::unique_ptr<EmulateBinHelper> quad_renderer(int candidates) {
  auto r = std::make_unique<EmulateBinHelper>(2.0);
  std::string err;
  if (!r->init_opengl(err)) ADD_FAILURE() << err;
  std::vector<float> eyes, centers, ups;
  for (int i = 0; i < candidates; ++i)
    for (int c = 0; c < 3; ++c) {
      eyes.insert(eyes.end(), {20.f * i - 20.f, 0.f, 250.f});
      centers.insert(centers.end(), {0.f, 0.f, 0.f});
      ups.insert(ups.end(), {0.f, 1.f, 0.f});
    }
  if (!r->set_scan_poses(eyes, centers, ups, {0.5f, 0.5f}, err)) ADD_FAILURE() << err;
  BaseTriMesh mesh;
  sim::add_quad(mesh, {-40, -40, 0}, {40, -40, 0}, {40, 40, 0}, {-40, 40, 0});
  sim::add_quad(mesh, {-40, -40, -30}, {40, -40, -30}, {40, 40, -20}, {-40, 40, -20});
  if (r->set_scoring_mesh(mesh, hole_mask(2)) != RETVAL_SUCCESS) ADD_FAILURE();
  r->set_mesh_box();
  return r;
}

}  // namespace

TEST(EmulateBinHelper, OnlyBlocksInsideTheGrownValueBoxesCount) {
  TAVO_REQUIRE_GL_CONTEXT();
  auto r = quad_renderer(1);
  ASSERT_TRUE(r->mesh_box_set());
  const Eigen::Vector3f lo = r->mesh_box_min();
  EXPECT_EQ(lo, Eigen::Vector3f(-39, -39, -29));  // moved by +1, not grown
  const auto d = r->voxels().voxel_dims();
  EXPECT_EQ(d.x, 41);
  EXPECT_EQ(d.z, 16);

  const BoundingBox box({10, -10, -5}, {20, 0, 0});
  r->add_value_box(box, true);
  EXPECT_FLOAT_EQ(r->base_height(), -7.f);
  const std::vector<int> table = r->voxels().download_block_table();
  const auto bd = r->voxels().block_dims();
  // Grown by 2 voxels (4 mm) and clipped: x 6..24, y -14..4, z -9..1 (grid
  // top at z = 1), voxel = trunc((c - min) / 2), block = voxel / 4.
  auto block = [&](float c, float m) { return static_cast<int>((c - m) / 2.0) / 4; };
  int open = 0;
  for (int z = 0; z < bd.z; ++z)
    for (int y = 0; y < bd.y; ++y)
      for (int x = 0; x < bd.x; ++x) {
        const bool in = x >= block(6, lo.x()) && x <= block(24, lo.x()) && y >= block(-14, lo.y()) &&
                        y <= block(4, lo.y()) && z >= block(-9, lo.z()) && z <= block(1, lo.z());
        const int t = table[(z * bd.y + y) * bd.x + x];
        EXPECT_EQ(t, in ? -1 : -2) << x << " " << y << " " << z;
        open += in;
      }
  EXPECT_GT(open, 0);

  // An empty box opens nothing and lowers nothing.
  r->add_value_box(BoundingBox({5, 5, -50}, {4, 6, -40}), false);
  EXPECT_EQ(r->voxels().download_block_table(), table);
  EXPECT_FLOAT_EQ(r->base_height(), -7.f);
  EXPECT_EQ(r->value_boxes().size(), 1u);

  ASSERT_EQ(r->set_value_boxes({box, BoundingBox(), box}, false), RETVAL_SUCCESS);
  EXPECT_EQ(r->value_boxes().size(), 2u);
  EXPECT_EQ(r->voxels().download_block_table(), table);
  EXPECT_EQ(r->voxels().slot_count(), 0);
}

TEST(EmulateBinHelper, UsedCandidateKeepsBoundZero) {
  TAVO_REQUIRE_GL_CONTEXT();
  auto r = quad_renderer(3);
  std::vector<float> results;
  const int first = r->select_best_candidate(results);
  r->accept_view();
  const int second = r->select_best_candidate(results);
  EXPECT_NE(first, second);
  EXPECT_EQ(results[first], 0.f);
  ASSERT_EQ(r->set_value_boxes({BoundingBox({-40, -40, -30}, {40, 40, 0})}, true), RETVAL_SUCCESS);
  // The first choice met its used mark in the second selection (bound 0);
  // the second one meets it only in the next selection.
  for (const auto& [i, bound] : r->ranking())
    EXPECT_EQ(bound, i == first ? 0.f : EmulateBinHelper::kUnevaluated) << i;
  const int third = r->select_best_candidate(results);
  EXPECT_NE(third, first);
  EXPECT_NE(third, second);
  EXPECT_EQ(results[first], 0.f);
  EXPECT_EQ(results[second], 0.f);
  EXPECT_GT(results[third], 0.f);
}

// update_hole_mesh on real OpenGL: what is uploaded and drawn, the base disc,
// the statuses, and the robot planners' pose choice.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "gl_test_context.h"
#include "hole_meshes.h"
#include "render_scene.h"

using namespace TavoAlgorithm;
using namespace tavo_test;
using Eigen::Vector3f;
using View = EmulateBinHelper::GLView;

namespace {

constexpr float kRadius = 40.f;
constexpr float kBase = -45.f;

// Eyes on +x, -x and +y, the sphere inside the default depth range (150 to
// 450); the holes lie towards +x and -x.
Candidates around() {
  Candidates c;
  c.add({300, 0, 0}, {0, 0, 1});
  c.add({-300, 0, 0}, {0, 0, 1});
  c.add({0, 300, 0}, {0, 0, 1});
  return c;
}

std::unique_ptr<EmulateBinHelper> hole_renderer() {
  auto r = make_renderer(2.0, around(), {0.6f, 0.6f});
  if (!r) return r;
  r->set_hole_params(10, 1000);
  r->set_base_height(kBase);
  return r;
}

// Faces shown in the last face-id image (pixels with a zero RGB show none:
// the cleared alpha is 255, and these meshes have fewer than 2^24 faces).
std::set<int> shown_faces(const EmulateBinHelper& r) {
  std::set<int> faces;
  const auto& rgba = r.last_face_ids();
  for (std::size_t p = 0; p + 3 < rgba.size(); p += 4) {
    const unsigned id = (unsigned(rgba[p]) << 16) | (unsigned(rgba[p + 1]) << 8) | unsigned(rgba[p + 2]);
    if (id) faces.insert(static_cast<int>(id) - 1);
  }
  return faces;
}

float score_from(EmulateBinHelper& r, int candidate) {
  const View v = around().view(candidate);
  return r.score_view_pair(v, v, true, false);
}

// update_hole_mesh without value boxes, checked against the model's oracle
// holes: hole faces and mask bits for the new faces of holes of 7 edges or
// more, then the disc at the base height without bits. The first hole face.
int check_update(EmulateBinHelper& r, const BaseTriMesh& model, float base) {
  r.set_source_mesh(&model);
  int first = -1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(r.update_hole_mesh(false, first), EmulateBinHelper::HOLE_MESH_UPLOADED);
  const bool nothing = testing::internal::GetCapturedStdout().find(" Warning: none hole need scan !") != std::string::npos;
  const auto holes = oracle_holes(model);
  int tooLong = 0, scored = 0;
  for (const auto& h : holes) {
    tooLong += h.edges > 1000 ? h.edges : 0;
    scored += h.edges >= 7 && h.edges <= 1000;
  }
  const BaseTriMesh& slot = *r.scoring_mesh();
  EXPECT_EQ(nothing, scored == 0);
  EXPECT_EQ(r.hole_faces_drawn(), scored > 0);
  if (scored == 0) {
    EXPECT_TRUE(first == slot.get_fn() && border_edge_count(slot) == tooLong) << "no hole faces, no disc";
    return first;
  }
  const int fn = slot.get_fn(), holeEnd = fn - 36;
  EXPECT_EQ(border_edge_count(slot), tooLong + 36) << "open: the disc's rim and holes too long to fill";
  const BaseTriMesh disc = make_base_disc();
  const int discBase = slot.get_vn() - 37;
  for (int k = 0; k < 37; ++k)
    EXPECT_EQ(slot.get_vCoord(discBase + k), Vector3f(disc.get_vCoord(k).x(), disc.get_vCoord(k).y(), base)) << k;
  for (int k = 0; k < 36; ++k)
    EXPECT_EQ(slot.get_face(holeEnd + k),
              BaseTriFace(disc.get_face(k)[0] + discBase, disc.get_face(k)[1] + discBase, disc.get_face(k)[2] + discBase));
  const std::vector<int>& mask = r.hole_face_mask();
  EXPECT_EQ(mask.size(), static_cast<std::size_t>(fn / 32 + 1));
  check_hole_faces(model, holes, long_holes(holes), slot, first, holeEnd, &mask);
  for (int f = holeEnd; f < 32 * static_cast<int>(mask.size()); ++f) EXPECT_FALSE(mask_bit(mask, f)) << f;
  return first;
}

}  // namespace

TEST(HoleMesh, HoleFacesMaskAndDiscOnSpheresWithZeroToFourHolesAndTheBunny) {
  TAVO_REQUIRE_GL_CONTEXT();
  auto r = hole_renderer();
  ASSERT_TRUE(r);
  const std::vector<int> sizes = {30, 24, 41, 9};
  for (int k = 0; k <= 4; ++k) {
    bool cut = false;
    const BaseTriMesh model = holed_sphere(kRadius, {sizes.begin(), sizes.begin() + k}, kDirs, &cut);
    ASSERT_TRUE(cut);
    if (k == 0) {
      r->set_source_mesh(&model);
      r->set_mesh_box();
    }
    const int first = check_update(*r, model, kBase);
    if (k != 2) continue;
    // Drawn from +x, the image shows hole faces of the +x hole only.
    EXPECT_GT(score_from(*r, 0), 0.f);
    const std::set<int> shown = shown_faces(*r);
    ASSERT_FALSE(shown.empty());
    const BaseTriMesh& slot = *r->scoring_mesh();
    for (int f : shown)
      EXPECT_TRUE(f >= first && f < slot.get_fn() - 36 && slot.get_vCoord(slot.get_face(f)[0]).x() > 0.f) << f;
  }
  r->release_scoring_mesh();
  EXPECT_EQ(r->scoring_mesh(), nullptr);

  CutBunny bunny;
  if (!cut_bunny(bunny)) GTEST_SKIP() << "no bunny scans";
  const float base = bunny.model.get_boundBox().minZ - 5.f;
  r->set_base_height(base);
  EXPECT_GT(check_update(*r, bunny.model, base), 0);
}

TEST(HoleMesh, NothingToScanUploadsNothingAndStopsDrawingTheOldMesh) {
  TAVO_REQUIRE_GL_CONTEXT();
  auto r = hole_renderer();
  ASSERT_TRUE(r);
  const BaseTriMesh holed = holed_sphere(kRadius, {30, 24, 9});
  r->set_source_mesh(&holed);
  r->set_mesh_box();
  int first = 0;
  ASSERT_EQ(r->update_hole_mesh(true, first), 1);
  ASSERT_GT(score_from(*r, 0), 0.f);
  EXPECT_EQ(r->hole_patches().size(), 2u) << "kept: the two large holes; the 9-edge one is ear-clipped";
  r->set_source_mesh(&holed);
  ASSERT_EQ(r->update_hole_mesh(false, first), 1);
  EXPECT_EQ(r->hole_patches().size(), 2u) << "not asked: the kept patches stay";
  const std::vector<int> uploaded = r->hole_face_mask();

  // A closed sphere, and one with only a 5- and a 6-edge hole: nothing to scan.
  const BaseTriMesh closed = sphere(kRadius, 4);
  const BaseTriMesh small = holed_sphere(kRadius, {5, 6}, {{0, 1, 1.618f}, {1, 0, 0}});
  for (const BaseTriMesh* m : {&closed, &small}) {
    check_update(*r, *m, kBase);
    EXPECT_EQ(r->hole_face_mask(), uploaded) << "nothing uploaded";
    EXPECT_EQ(score_from(*r, 0), 0.f) << "the previous cycle's holes are not scored";
  }
  r->set_source_mesh(&closed);
  testing::internal::CaptureStdout();
  r->update_hole_mesh(true, first);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(r->hole_patches().empty());
}

TEST(HoleMesh, EmptyModelNotInitialisedAndFailedUploadKeepTheDrawnMesh) {
  TAVO_REQUIRE_GL_CONTEXT();
  auto r = hole_renderer();
  ASSERT_TRUE(r);
  const BaseTriMesh holed = holed_sphere(kRadius, {30});
  r->set_source_mesh(&holed);
  r->set_mesh_box();
  int first = 0;
  ASSERT_EQ(r->update_hole_mesh(false, first), 1);
  const float before = score_from(*r, 0);
  ASSERT_GT(before, 0.f);

  // Failed uploads of a ready mesh change nothing that is drawn.
  BaseTriMesh bad = holed;
  bad.add_face({0, 1, bad.get_vn()});
  EXPECT_EQ(r->set_scoring_mesh(bad, hole_mask(bad.get_fn())), RETVAL_FAILED);
  EXPECT_EQ(r->set_scoring_mesh(holed, {0}), RETVAL_FAILED) << "mask shorter than the faces";
  EXPECT_FLOAT_EQ(score_from(*r, 0), before);

  BaseTriMesh flagged = holed;
  for (int f = 0; f < flagged.get_fn(); ++f) flagged.set_fFlag(f, kFaceNotScored);
  r->set_source_mesh(&flagged);
  EXPECT_EQ(r->update_hole_mesh(false, first), EmulateBinHelper::HOLE_MESH_EMPTY);
  EXPECT_EQ(r->scoring_mesh()->get_vn(), 0);
  EXPECT_EQ(score_from(*r, 0), 0.f);
  r->release_scoring_mesh();
  EXPECT_EQ(r->update_hole_mesh(false, first), EmulateBinHelper::HOLE_MESH_EMPTY) << "empty slot";

  EmulateBinHelper fresh(2.0);  // the context exists, this renderer has no objects
  fresh.set_hole_params(10, 1000);
  fresh.set_base_height(kBase);
  fresh.set_source_mesh(&holed);
  testing::internal::CaptureStdout();
  EXPECT_EQ(fresh.update_hole_mesh(false, first), EmulateBinHelper::HOLE_MESH_NO_OPENGL);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(" Error: OpenGL not init !!!!!!!!!!!!!!!"), std::string::npos);
  EXPECT_TRUE(fresh.hole_face_mask().empty() && !fresh.hole_faces_drawn());
}

TEST(HoleMesh, RobotPoseChoiceSeesAHoleOrReportsNothingToScan) {
  TAVO_REQUIRE_GL_CONTEXT();
  auto r = hole_renderer();
  ASSERT_TRUE(r);
  std::vector<float> results;
  float value = 7.f;
  testing::internal::CaptureStdout();
  EXPECT_EQ(r->choose_robot_pose(results, value, false), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(" Error: base tri mesh is empty!"), std::string::npos);
  EXPECT_EQ(value, 0.f);

  const BaseTriMesh closed = sphere(kRadius, 4);
  r->set_source_mesh(&closed);
  r->set_mesh_box();
  testing::internal::CaptureStdout();
  EXPECT_EQ(r->choose_robot_pose(results, value, false), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(value == 0.f && results == std::vector<float>(3, 0.f));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(r->candidate_used(i));

  const BaseTriMesh holed = holed_sphere(kRadius, {30, 24});
  r->set_source_mesh(&holed);
  const int chosen = r->choose_robot_pose(results, value, false);
  ASSERT_TRUE(chosen == 0 || chosen == 1) << "an eye facing a hole, not the +y one";
  EXPECT_TRUE(value > 0.f && value == results[chosen] && r->candidate_used(chosen));
}

TEST(HoleMesh, WithoutOpenGLUpdateReportsTheContext) {
  if (!std::getenv("TAVO_EXPECT_NO_GL")) GTEST_SKIP() << "needs a process without OpenGL drivers";
  EmulateBinHelper r(2.0);
  r.set_hole_params(10, 1000);
  r.set_base_height(kBase);
  const BaseTriMesh holed = holed_sphere(kRadius, {30});
  r.set_source_mesh(&holed);
  int first = -1;
  EXPECT_EQ(r.update_hole_mesh(false, first), EmulateBinHelper::HOLE_MESH_NO_CONTEXT);
  EXPECT_EQ(first, holed.get_fn()) << "the mesh was built";
  std::vector<float> results;
  float value = 1.f;
  EXPECT_EQ(r.choose_robot_pose(results, value, false), 0);
  EXPECT_EQ(value, 0.f);
  r.release_scoring_mesh();
  testing::internal::CaptureStdout();
  EXPECT_EQ(r.choose_robot_pose(results, value, false), -1);
  testing::internal::GetCapturedStdout();
}

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
const std::vector<float> kFovs = {0.6f, 0.6f};

// Eyes on +x, -x and +y, the sphere inside the default depth range
// (150 to 450); the holes lie towards +x and -x.
Candidates around() {
  Candidates c;
  c.add({300, 0, 0}, {0, 0, 1});
  c.add({-300, 0, 0}, {0, 0, 1});
  c.add({0, 300, 0}, {0, 0, 1});
  return c;
}

std::unique_ptr<EmulateBinHelper> hole_renderer() {
  auto r = make_renderer(2.0, around(), kFovs);
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

// Runs update_hole_mesh on a model without value boxes and checks the slot
// against the model's oracle holes: model faces, then the faces closing
// holes of fewer than 7 edges, then the hole faces (new faces of longer
// holes), then the disc at the base height; the mask set exactly for the
// hole faces. Returns the first hole face, -1 after a failure.
int check_update(EmulateBinHelper& r, const BaseTriMesh& model, float base) {
  r.set_source_mesh(&model);
  int first = -1;
  testing::internal::CaptureStdout();
  const int status = r.update_hole_mesh(false, first);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, EmulateBinHelper::HOLE_MESH_UPLOADED);
  const auto holes = oracle_holes(model);
  int tooLong = 0, scored = 0;
  for (const auto& h : holes) {
    tooLong += h.edges > 1000 ? h.edges : 0;
    scored += h.edges >= 7 && h.edges <= 1000;
  }
  const BaseTriMesh& slot = *r.scoring_mesh();
  if (scored == 0) {
    EXPECT_NE(out.find("none hole need scan !"), std::string::npos);
    EXPECT_TRUE(first == slot.get_fn() && !r.hole_faces_drawn());
    EXPECT_EQ(border_edge_count(slot), tooLong);
    return first;
  }
  EXPECT_TRUE(out.find("none hole need scan !") == std::string::npos && r.hole_faces_drawn());
  const int fn = slot.get_fn(), holeEnd = fn - 36;
  EXPECT_EQ(border_edge_count(slot), tooLong + 36) << "only the disc's rim and holes too long to fill";

  const BaseTriMesh disc = make_base_disc();
  const int discBase = slot.get_vn() - 37;
  for (int k = 0; k < 37; ++k) {
    const Vector3f p = slot.get_vCoord(discBase + k);
    EXPECT_TRUE(p.x() == disc.get_vCoord(k).x() && p.y() == disc.get_vCoord(k).y() && p.z() == base) << k;
  }
  for (int k = 0; k < 36; ++k)
    EXPECT_EQ(slot.get_face(holeEnd + k),
              BaseTriFace(disc.get_face(k)[0] + discBase, disc.get_face(k)[1] + discBase, disc.get_face(k)[2] + discBase));

  const std::vector<int>& mask = r.hole_face_mask();
  EXPECT_EQ(mask.size(), static_cast<std::size_t>(fn / 32 + 1));
  const FaceOrigins o = face_origins(model, holes, slot, holeEnd);
  int modelFaces = 0, wrong = 0;
  for (int f = 0; f < holeEnd; ++f) {
    modelFaces += o.fromModel[f];
    const bool hole = !o.fromModel[f] && (o.hole[f] < 0 || holes[o.hole[f]].edges >= 7);
    wrong += mask_bit(mask, f) != hole || (f >= first) != hole || (o.fromModel[f] && f >= modelFaces);
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(modelFaces, model.get_fn());
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
  ASSERT_EQ(bunny.cutHoles.size(), 2u);
  const float base = bunny.model.get_boundBox().minZ - 5.f;
  r->set_base_height(base);
  EXPECT_GT(check_update(*r, bunny.model, base), 0);
}

TEST(HoleMesh, NothingToScanLogsUploadsNothingAndStopsDrawingTheOldMesh) {
  TAVO_REQUIRE_GL_CONTEXT();
  auto r = hole_renderer();
  ASSERT_TRUE(r);
  const BaseTriMesh holed = holed_sphere(kRadius, {30, 24});
  r->set_source_mesh(&holed);
  r->set_mesh_box();
  int first = 0;
  ASSERT_EQ(r->update_hole_mesh(false, first), 1);
  ASSERT_GT(score_from(*r, 0), 0.f);
  const std::vector<int> uploaded = r->hole_face_mask();

  // Only a 5- and a 6-edge hole: closed, none scored.
  const BaseTriMesh closed = sphere(kRadius, 4);
  const BaseTriMesh small = holed_sphere(kRadius, {5, 6}, {{0, 1, 1.618f}, {1, 0, 0}});
  for (const BaseTriMesh* m : {&closed, &small}) {
    r->set_source_mesh(m);
    testing::internal::CaptureStdout();
    EXPECT_EQ(r->update_hole_mesh(false, first), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" Warning: none hole need scan !"), std::string::npos) << out;
    EXPECT_EQ(first, r->scoring_mesh()->get_fn()) << "no hole faces, no disc";
    EXPECT_EQ(border_edge_count(*r->scoring_mesh()), 0);
    EXPECT_EQ(r->hole_face_mask(), uploaded) << "nothing uploaded";
    EXPECT_FALSE(r->hole_faces_drawn());
    EXPECT_EQ(score_from(*r, 0), 0.f) << "the previous cycle's holes are not scored";
  }
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

  // A failed upload of a ready mesh changes nothing that is drawn.
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
  EXPECT_NE(testing::internal::GetCapturedStdout().find(" Error: OpenGL not init !!!!!!!!!!!!!!!"),
            std::string::npos);
  EXPECT_TRUE(fresh.hole_face_mask().empty());
  EXPECT_FALSE(fresh.hole_faces_drawn());
}

TEST(HoleMesh, PatchesAreKeptOnlyWhenAsked) {
  TAVO_REQUIRE_GL_CONTEXT();
  auto r = hole_renderer();
  ASSERT_TRUE(r);
  const BaseTriMesh holed = holed_sphere(kRadius, {30, 24, 9});
  int first = 0;
  r->set_source_mesh(&holed);
  ASSERT_EQ(r->update_hole_mesh(true, first), 1);
  ASSERT_EQ(r->hole_patches().size(), 2u) << "the two large holes; the 9-edge one is ear-clipped";
  r->set_source_mesh(&holed);
  ASSERT_EQ(r->update_hole_mesh(false, first), 1);
  EXPECT_EQ(r->hole_patches().size(), 2u) << "not asked: the kept patches stay";
  const BaseTriMesh closed = sphere(kRadius, 4);
  r->set_source_mesh(&closed);
  testing::internal::CaptureStdout();
  r->update_hole_mesh(true, first);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(r->hole_patches().empty());
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
  EXPECT_GT(value, 0.f);
  EXPECT_EQ(value, results[chosen]);
  EXPECT_TRUE(r->candidate_used(chosen));
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

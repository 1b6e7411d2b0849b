// The plane-scanner loop end to end (slow): find_plane, find_path, scan and
// update_scan until done must cover at least 95% of the faces that an
// independent CPU visibility test sees from some candidate direction, on
// models of the size the scanner is built for (its eyes stand 2 m off): a
// box model, a lumpy ball and the bunny grown five times. A model of a few
// centimetres is too small for that: the loop ends once no view shows 1000
// unscanned pixels, long before its sub-pixel faces are all sampled, which
// the bunny in millimetres shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "AutoScan/QuellanEmulatBinocular/QuellanEmulatBinocular.h"
#include "QuellanAutoScanHelper.h"
#include "cpu_visibility.h"
#include "MeshShape.h"
#include "gl_test_context.h"
#include "plane_scenes.h"

using namespace TavoAlgorithm;
using namespace tavo_test;
using Eigen::Vector3f;

namespace {

constexpr double kRequiredCoverage = 0.95;
constexpr int kMaxViews = 200;
// The bunny in millimetres, grown to the size of the models the scanner is
// built for.
constexpr float kScannerScale = 5.f;

struct LoopResult {
  int views = 0;
  double covered = 0.0;  // share of the faces visible from some candidate
};

LoopResult run_loop(const BaseTriMesh& model, const char* what) {
  LoopResult result;
  QuellanAutoScanHelper helper;
  EXPECT_TRUE(helper.renderer_ready()) << helper.renderer().error();
  EXPECT_EQ(helper.loadSTL(model), RETVAL_SUCCESS);
  const QuellanEmulatBinocular& r = helper.renderer();

  // Faces some candidate direction shows, by the CPU test on each candidate's camera.
  GLCamera camera;
  camera.set_near_fovy_far(plane_scan::kNear, 2.0 * std::atan(plane_scan::kHalfFovTan), plane_scan::kFar);
  camera.set_viewport(r.width(), r.height());
  std::set<int> sure, possible;
  const std::vector<bool> all(static_cast<std::size_t>(model.get_fn()), true);
  for (int i = 0; i < r.candidate_count(); ++i) {
    camera.set_eye(r.candidate_eye(i));
    camera.set_center(r.center());
    camera.set_up(r.candidate_up(i));
    camera.update();
    const Visibility v = cpu_visible_faces(model, all, camera.mvp(), r.width(), r.height());
    sure.insert(v.sure.begin(), v.sure.end());
    possible.insert(v.possible.begin(), v.possible.end());
  }

  int views = 0;
  double seconds = 0.0;
  using Clock = std::chrono::steady_clock;
  testing::internal::CaptureStdout();
  for (; views < kMaxViews; ++views) {
    const Clock::time_point start = Clock::now();
    int k = -1;
    bool done = true;
    Vector3f eye, centre, up;
    std::vector<int> faces;
    helper.find_plane(k, eye, centre, up);
    helper.find_path(k, eye, centre, up, done);
    if (done) break;
    EXPECT_EQ(helper.scan(eye, centre, up, faces), RETVAL_SUCCESS);
    EXPECT_FALSE(faces.empty());
    helper.update_scan(faces);
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  // It ended because no candidate direction shows 1000 unscanned pixels.
  int k = 0;
  Vector3f eye, centre, up;
  helper.find_plane(k, eye, centre, up);
  testing::internal::GetCapturedStdout();
  EXPECT_LT(views, kMaxViews) << "the loop must end";
  EXPECT_EQ(k, -1);
  const std::vector<int>& last = r.last_counts();
  EXPECT_LT(*std::max_element(last.begin(), last.end()), QuellanEmulatBinocular::kMinMarkedPixels);

  int covered = 0, coveredPossible = 0;
  for (int f : sure) covered += !helper.unscanned_flags()[f];
  for (int f : possible) coveredPossible += !helper.unscanned_flags()[f];
  const double share = sure.empty() ? 1.0 : static_cast<double>(covered) / sure.size();
  std::printf("%s: %d faces, %zu visible from some candidate (%zu possibly); %d views cover %.1f%% of them "
              "(%.1f%% of the possible, %.1f%% of all faces), %.2f s per view\n",
              what, model.get_fn(), sure.size(), possible.size(), views, 100.0 * share,
              100.0 * coveredPossible / std::max<std::size_t>(1, possible.size()),
              100.0 * (model.get_fn() - helper.unscanned_count()) / model.get_fn(), views ? seconds / views : 0.0);
  result.views = views;
  result.covered = share;
  return result;
}

}  // namespace

TEST(QuellanCoverage, LoopCoversTheVisibleFacesOfABoxModel) {
  TAVO_REQUIRE_GL_CONTEXT();
  EXPECT_GE(run_loop(block_and_tower(), "block and tower").covered, kRequiredCoverage);
}

TEST(QuellanCoverage, LoopCoversTheVisibleFacesOfALumpyBall) {
  TAVO_REQUIRE_GL_CONTEXT();
  const BaseTriMesh ball = sim::make_lumpy_sphere({0, 0, 400}, 400.f, 0.15f, 3);
  EXPECT_GE(run_loop(ball, "lumpy ball (0.8 m)").covered, kRequiredCoverage);
}

TEST(QuellanCoverage, LoopCoversTheVisibleFacesOfTheBunnyAtTheScannersScale) {
  TAVO_REQUIRE_GL_CONTEXT();
  BaseTriMesh bunny;
  if (!load_bunny_mm(bunny)) GTEST_SKIP() << "no bunny in " << TAVO_TEST_DATA_DIR;
  std::vector<Vector3f> pts = bunny.get_vCoords();
  for (Vector3f& p : pts) p *= kScannerScale;
  bunny.set_vCoords(std::move(pts));
  EXPECT_GE(run_loop(bunny, "bunny (mm) x 5, 0.75 m").covered, kRequiredCoverage);
}

TEST(QuellanCoverage, TheBunnyInMillimetresEndsWhenNoViewShowsAThousandPixels) {
  TAVO_REQUIRE_GL_CONTEXT();
  BaseTriMesh bunny;
  if (!load_bunny_mm(bunny)) GTEST_SKIP() << "no bunny in " << TAVO_TEST_DATA_DIR;
  const LoopResult r = run_loop(bunny, "bunny (mm)");
  EXPECT_GT(r.views, 0);
  EXPECT_GT(r.covered, 0.2);
}

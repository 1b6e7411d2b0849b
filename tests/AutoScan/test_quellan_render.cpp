// The plane-scanner renderer on real OpenGL: marked-pixel counts against
// pixel rectangles built to size, the 1000-pixel threshold, ties, what
// scanned and back faces do, and the debug dumps.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>

#include "AutoScan/QuellanEmulatBinocular/QuellanEmulatBinocular.h"
#include "gl_test_context.h"
#include "plane_scenes.h"
#include "platform/geometry/temp_dir.h"

using namespace TavoAlgorithm;
using namespace tavo_test;
using Eigen::Vector3f;

namespace {

const Vector3f kCentre(0, 0, 0), kUp(0, 0, 1);

// Candidates looking at the origin from the given eyes, all with up +z.
void set_eyes(QuellanEmulatBinocular& r, const std::vector<Vector3f>& eyes) {
  std::vector<float> e, u;
  for (const Vector3f& x : eyes) {
    e.insert(e.end(), {x.x(), x.y(), x.z()});
    u.insert(u.end(), {0.f, 0.f, 1.f});
  }
  r.set_candidates(e, u, kCentre);
}

// A rectangle of exactly w x h marked pixels seen from (2000, 0, 0).
BaseTriMesh rect_of(int w, int h) {
  BaseTriMesh m;
  add_pixel_rect(m, {2000, 0, 0}, kCentre, kUp, 2000.f, 600, 400, 600 + w, 400 + h);
  return m;
}

std::string captured(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(QuellanEmulatBinocular, CountsExactlyThePixelsOfARectangleAndNeedsAThousand) {
  TAVO_REQUIRE_GL_CONTEXT();
  QuellanEmulatBinocular r;
  ASSERT_TRUE(r.ready()) << r.error();
  set_eyes(r, {{2000, 0, 0}});
  Vector3f eye(1, 1, 1), centre(2, 2, 2), up(3, 3, 3);

  ASSERT_TRUE(r.set_model(rect_of(27, 37)));  // 999 pixels
  std::string out = captured([&] { EXPECT_EQ(r.find_plane(eye, centre, up), -1); });
  EXPECT_EQ(r.last_counts(), std::vector<int>{999});
  EXPECT_NE(out.find("max num:  0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("best idx: -1\n"), std::string::npos) << out;
  EXPECT_EQ(eye, Vector3f(1, 1, 1));  // outputs untouched

  ASSERT_TRUE(r.set_model(rect_of(25, 40)));  // 1000 pixels
  out = captured([&] { EXPECT_EQ(r.find_plane(eye, centre, up), 0); });
  EXPECT_EQ(r.last_counts(), std::vector<int>{1000});
  EXPECT_NE(out.find("max num:  1000\n"), std::string::npos) << out;
  EXPECT_NE(out.find("best idx: 0\n"), std::string::npos) << out;
  EXPECT_EQ(eye, Vector3f(2000, 0, 0));
  EXPECT_EQ(centre, kCentre);
  EXPECT_EQ(up, kUp);

  // The mask image holds the same rectangle.
  std::size_t marked = 0;
  for (int y = 400; y < 440; ++y)
    for (int x = 600; x < 625; ++x) marked += r.last_mask()[y * r.width() + x] != 0;
  EXPECT_EQ(marked, 1000u);
}

TEST(QuellanEmulatBinocular, TiesKeepTheEarlierCandidateAndLargerCountsReplace) {
  TAVO_REQUIRE_GL_CONTEXT();
  QuellanEmulatBinocular r;
  ASSERT_TRUE(r.ready()) << r.error();
  ASSERT_TRUE(r.set_model(rect_of(200, 150)));
  Vector3f eye, centre, up;
  set_eyes(r, {{3000, 0, 0}, {2000, 0, 0}, {2000, 0, 0}});  // farther, then a tie
  captured([&] { EXPECT_EQ(r.find_plane(eye, centre, up), 1); });
  ASSERT_EQ(r.last_counts().size(), 3u);
  EXPECT_EQ(r.last_counts()[1], 30000);
  EXPECT_EQ(r.last_counts()[2], 30000);
  EXPECT_LT(r.last_counts()[0], 30000);
  set_eyes(r, {{2000, 0, 0}, {1500, 0, 0}, {1500, 0, 0}});
  captured([&] { EXPECT_EQ(r.find_plane(eye, centre, up), 1); });
  EXPECT_GT(r.last_counts()[1], 30000);
}

TEST(QuellanEmulatBinocular, ScannedAndBackFacesHideButAreNotMarked) {
  TAVO_REQUIRE_GL_CONTEXT();
  QuellanEmulatBinocular r;
  ASSERT_TRUE(r.ready()) << r.error();
  const Vector3f eye(2000, 0, 0);
  BaseTriMesh m;
  add_pixel_rect(m, eye, kCentre, kUp, 2000.f, 500, 300, 700, 500);  // faces 0, 1: far, 200 x 200
  add_pixel_rect(m, eye, kCentre, kUp, 1500.f, 500, 300, 600, 500);  // faces 2, 3: nearer, left half
  // Faces 4, 5: a back-facing rectangle in front of the top right quarter.
  add_pixel_rect(m, eye, kCentre, kUp, 1000.f, 650, 400, 600, 450);
  ASSERT_TRUE(r.set_model(m));
  ASSERT_EQ(r.count_marked_pixels(eye, kCentre, kUp), 100 * 200 + 100 * 200 - 50 * 50);
  r.set_face_flags({false, false, true, true, true, true});  // far rectangle scanned
  EXPECT_EQ(r.count_marked_pixels(eye, kCentre, kUp), 100 * 200);
  r.set_face_flags({true, true, false, false, true, true});  // near one scanned: it still hides
  EXPECT_EQ(r.count_marked_pixels(eye, kCentre, kUp), 100 * 200 - 50 * 50);

  std::vector<int> faces = {42};
  const std::string out = captured([&] { ASSERT_TRUE(r.scan(eye, kCentre, kUp, faces)); });
  EXPECT_EQ(faces, (std::vector<int>{42, 0, 1})) << "appended in face order";
  EXPECT_NE(out.find("scan end\n"), std::string::npos);
  // The id image names face 0 or 1 in the far rectangle's right half only.
  const auto& ids = r.last_face_ids();
  std::size_t named = 0;
  for (std::size_t p = 0; p < ids.size() / 4; ++p) {
    const unsigned id = (unsigned(ids[4 * p + 3]) << 24) | (unsigned(ids[4 * p]) << 16) |
                        (unsigned(ids[4 * p + 1]) << 8) | ids[4 * p + 2];
    ASSERT_LE(id, 2u);
    named += id != 0;
  }
  EXPECT_EQ(named, 100u * 200 - 50 * 50);
}

TEST(QuellanEmulatBinocular, FindPathChoosesTheBestGridEntryAboveTheThreshold) {
  TAVO_REQUIRE_GL_CONTEXT();
  QuellanEmulatBinocular r;
  ASSERT_TRUE(r.ready()) << r.error();
  set_eyes(r, {{2000, 0, 0}});
  r.set_box_mesh(plane_scan::working_box_mesh(axis_box({600, 650, 700})));
  // A rectangle off to the side of the view: entries that move the camera
  // toward it see all of it, the start sees part.
  BaseTriMesh m;
  add_pixel_rect(m, {2000, 0, 0}, kCentre, kUp, 2000.f, 1200, 400, 1400, 600);
  ASSERT_TRUE(r.set_model(m));
  Vector3f eye(9, 9, 9), centre(9, 9, 9);
  std::string out;
  int best = -2;
  out = captured([&] { best = r.find_path(0, eye, centre); });
  ASSERT_GE(best, 0) << out;
  const std::vector<int> counts = r.last_counts();
  ASSERT_EQ(counts.size(), 577u);
  EXPECT_EQ(counts[best], *std::max_element(counts.begin(), counts.end()));
  for (int i = 0; i < best; ++i) EXPECT_LT(counts[i], counts[best]) << "an earlier entry with the same count wins";
  EXPECT_EQ(counts[best], 200 * 200);
  EXPECT_LT(counts[576], counts[best]);
  EXPECT_NE(out.find("scan maxNum:  40000\n"), std::string::npos) << out;
  EXPECT_NE(out.find("scan bestIdx: " + std::to_string(best) + "\n"), std::string::npos) << out;
  // The view keeps its direction: the eye moved in the plane x = 2000 and looks along -x.
  EXPECT_NEAR(eye.x(), 2000.f, 1e-2f);
  EXPECT_NEAR((centre - eye).normalized().x(), -1.f, 1e-5f);
  EXPECT_NEAR(centre.x(), 600.f, 1e-2f) << "look-at centre on the box";

  // Fewer than 1000 pixels anywhere: -1, outputs untouched; bad candidate index: -1.
  BaseTriMesh small;
  add_pixel_rect(small, {2000, 0, 0}, kCentre, kUp, 2000.f, 600, 400, 620, 420);
  ASSERT_TRUE(r.set_model(small));
  eye = centre = Vector3f(9, 9, 9);
  captured([&] { EXPECT_EQ(r.find_path(0, eye, centre), -1); });
  EXPECT_EQ(eye, Vector3f(9, 9, 9));
  EXPECT_EQ(r.find_path(1, eye, centre), -1);
  EXPECT_EQ(r.find_path(-1, eye, centre), -1);
}

TEST(QuellanEmulatBinocular, DebugDumpsOnlyUnderTheNamedFolder) {
  TAVO_REQUIRE_GL_CONTEXT();
  test::TempDir dir;
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::create_directories(dir.path / "cwd");
  std::filesystem::current_path(dir.path / "cwd");
  {
    QuellanEmulatBinocular r;
    ASSERT_TRUE(r.ready()) << r.error();
    set_eyes(r, {{2000, 0, 0}});
    const BaseTriMesh box = plane_scan::working_box_mesh(axis_box({300, 350, 400}));
    r.set_box_mesh(box);
    ASSERT_TRUE(r.set_model(rect_of(100, 100)));
    Vector3f eye, centre;
    captured([&] { r.find_path(0, eye, centre); });
    EXPECT_TRUE(std::filesystem::is_empty(dir.path / "cwd")) << "dumps are off by default";

    r.set_debug_folder((dir.path / "dumps" / "plane").string());
    r.set_box_mesh(box);
    captured([&] { r.find_path(0, eye, centre); });
    captured([&] { r.find_path(0, eye, centre); });
  }
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path / "cwd"));
  const auto folder = dir.path / "dumps" / "plane";
  EXPECT_TRUE(std::filesystem::exists(folder / "working_box.stl"));
  EXPECT_EQ(std::filesystem::file_size(folder / "working_box.stl"), 84u + 12u * 50u);
  EXPECT_TRUE(std::filesystem::exists(folder / "find_path_2.png"));
  EXPECT_TRUE(std::filesystem::exists(folder / "find_path_3.png"));
}

TEST(QuellanEmulatBinocular, RefusesModelsItCannotDraw) {
  TAVO_REQUIRE_GL_CONTEXT();
  QuellanEmulatBinocular r;
  ASSERT_TRUE(r.ready()) << r.error();
  ASSERT_TRUE(r.set_model(rect_of(10, 10)));
  BaseTriMesh broken = rect_of(10, 10);
  broken.add_face({0, 1, 4});
  const int uploads = r.mask_uploads();
  EXPECT_FALSE(r.set_model(broken));
  EXPECT_EQ(r.face_count(), 2);
  EXPECT_EQ(r.mask_uploads(), uploads);
  // Degenerate views show nothing and scan nothing.
  std::vector<int> faces;
  EXPECT_EQ(r.count_marked_pixels({0, 0, 0}, {0, 0, 0}, kUp), 0);
  EXPECT_FALSE(r.scan({2000, 0, 0}, kCentre, {1, 0, 0}, faces));
  EXPECT_TRUE(faces.empty());
}

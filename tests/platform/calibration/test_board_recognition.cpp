#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "StereoRigSimulator.h"
#include "calibration_platform/BoardGrid.h"
#include "calibration_platform/CalibrationBoard.h"
#include "calibration_platform/CalibrationTableRecognition.h"
#include "calibration_platform/ImageConversion.h"
#include "platform/geometry/png_decode.h"

using namespace TavoAlgorithm;
using namespace TavoAlgorithm::TavoCalibration;

using B = CalibrationBoard;

namespace {

std::vector<Eigen::Vector2d> recognise(const Image<1, unsigned char>& img, bool partial = false) {
  Image<1, float> f;
  image_conversion(img, f);
  std::vector<Eigen::Vector2d> marks;
  CalibrationTableRecognition().recognition_tavo_calibTable(f, marks, partial, false);
  return marks;
}

// Big-mark pattern after flipping columns (bit 0) and rows (bit 1).
std::vector<bool> big_marks(int flip) {
  std::vector<bool> big;
  for (int r = 0; r < B::kRows; ++r)
    for (int c = 0; c < B::kColumns; ++c)
      big.push_back(B::is_big(flip & 1 ? B::kColumns - 1 - c : c, flip & 2 ? B::kRows - 1 - r : r));
  return big;
}

}  // namespace

TEST(CalibrationBoard, LayoutIsUnambiguousUnderFlipsAndHalfTurn) {
  const std::vector<bool> big = big_marks(0);
  EXPECT_EQ(std::count(big.begin(), big.end(), true), 4);
  for (int t = 1; t < 4; ++t) EXPECT_NE(big_marks(t), big) << t;
  const auto pts = B::mark_positions();
  ASSERT_EQ(pts.size(), 63u);
  EXPECT_EQ(pts[10], Eigen::Vector3d(25, 25, 0));
  const Image<1, unsigned char> sheet = render_board(2.0);
  EXPECT_EQ(std::make_pair(sheet.width(), sheet.height()), std::make_pair(480, 380));
  EXPECT_EQ(sheet.at(40, 40), 0);  // centre of mark 0
  EXPECT_EQ(sheet.at(5, 5), 255);  // margin
  EXPECT_TRUE(render_board(0.0).empty());
  EXPECT_FALSE(write_board_png("/nonexistent/dir/board.png", 2.0));
}

TEST(CalibrationBoard, PrintedPictureDecodesToTheRenderedSheet) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("board_" + std::to_string(::getpid()) + ".png")).string();
  ASSERT_TRUE(write_board_png(path, 3.0));
  const std::vector<std::uint8_t> png = test::read_file(path);
  std::filesystem::remove(path);
  int w = 0, h = 0;
  std::vector<std::uint8_t> samples;
  ASSERT_TRUE(test::decode(png, w, h, samples));
  const Image<1, unsigned char> sheet = render_board(3.0);
  EXPECT_EQ(std::make_pair(w, h), std::make_pair(sheet.width(), sheet.height()));
  EXPECT_TRUE(samples == std::vector<std::uint8_t>(sheet.data().begin(), sheet.data().end()));
  EXPECT_FALSE(write_board_png(path, 0.5));
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(BoardRecognition, MarksWithinATenthOfAPixelInBoardOrder) {
  const sim::TurntableRig rig = sim::default_turntable_rig();
  sim::BoardRenderOptions opt;
  opt.blurSigma = 0.7;
  opt.noiseSigma = 1.0;
  for (double angle : {-35.0, 0.0, 35.0})
    for (const sim::StereoCamera* cam : {&rig.first, &rig.second}) {
      const auto found = recognise(sim::render_board_view(*cam, rig.board_pose(angle), opt));
      const auto truth = sim::project_board_marks(*cam, rig.board_pose(angle));
      ASSERT_EQ(found.size(), 63u) << angle;
      double err = 0.0;
      for (std::size_t k = 0; k < truth.size(); ++k) err = std::max(err, (found[k] - truth[k]).norm());
      std::printf("angle %+.0f, camera %d: worst mark error %.4f px\n", angle, cam == &rig.second, err);
      EXPECT_LT(err, 0.1);
    }
}

TEST(BoardRecognition, PartlySeenOrMissingBoards) {
  sim::TurntableRig rig = sim::default_turntable_rig();
  // Slide the board so that its right columns leave the image.
  const RigidMatrix shifted = RigidMatrix(Eigen::Matrix3d::Identity(), Eigen::Vector3d(120, 0, 0)) * rig.board_pose(0);
  const Image<1, unsigned char> img = sim::render_board_view(rig.first, shifted);
  EXPECT_TRUE(recognise(img).empty());
  const auto partial = recognise(img, true);
  const auto truth = sim::project_board_marks(rig.first, shifted);
  ASSERT_EQ(partial.size(), 63u);
  int seen = 0;
  for (std::size_t k = 0; k < truth.size(); ++k) {
    if (partial[k].x() < 0) continue;
    ++seen;
    EXPECT_LT((partial[k] - truth[k]).norm(), 0.1) << k;
  }
  EXPECT_GT(seen, 30);
  EXPECT_LT(seen, 63);

  EXPECT_TRUE(recognise(Image<1, unsigned char>(640, 480, 200)).empty());
  EXPECT_TRUE(recognise(Image<1, unsigned char>()).empty());
  std::vector<Eigen::Vector2d> marks{{1, 1}};
  CalibrationTableParam bad;
  bad.blurKernelX = 4;
  EXPECT_FALSE(CalibrationTableRecognition(bad).recognition_tavo_calibTable(Image<1, float>(64, 64, 200.f), marks,
                                                                            false, false));
  EXPECT_TRUE(marks.empty());
}

TEST(BoardGrid, ExactGridPlacementFromBlobs) {
  // A sheared, turned grid, bottom row first, whose walk must come back in board order.
  std::vector<GridBlob> blobs;
  for (int r = B::kRows - 1; r >= 0; --r)
    for (int c = 0; c < B::kColumns; ++c)
      blobs.push_back({{300 + 40 * c - 30 * r + 2 * r * r, 200 + 10 * c + 35 * r}, B::is_big(c, r) ? 200.0 : 50.0});
  const std::vector<int> a = assign_board_marks(blobs, {});
  ASSERT_EQ(a.size(), 63u);
  for (int b = 0; b < 63; ++b) EXPECT_EQ(a[(B::kRows - 1 - b / B::kColumns) * B::kColumns + b % B::kColumns], b);
  // Mirrored grid (not a view of the front face), no big marks (no orientation), too few blobs.
  std::vector<GridBlob> mirrored = blobs, flat = blobs;
  for (auto& b : mirrored) b.centre.x() = -b.centre.x();
  for (auto& b : flat) b.area = 50.0;
  for (const auto& bad : {mirrored, flat, std::vector<GridBlob>(blobs.begin(), blobs.begin() + 3)})
    EXPECT_TRUE(assign_board_marks(bad, {}).empty());
}

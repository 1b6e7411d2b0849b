#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>

#include "geometry/RangeScanIO.h"
#include "meshproc/RangeProcess.h"

using namespace TavoAlgorithm;

namespace {

// The two records the bad-vertex removal passes.
RangeProcessParam long_edge_setting() { return {0.f, 9.f, 9.f, 3, 4, 0.f, 0.f, 0.3f, 0.05f, 0, 0, 10, 1, 0, true}; }
RangeProcessParam strict_setting() { return {80.f, 3.5f, 3.5f, 3, 4, 90.f, 45.f, 0.3f, 0.05f, 0, 0, 10, 1, 0, true}; }

// A full rows x cols grid of points with spacing h on the plane through the
// origin whose normal is tilted by `tiltDeg` from +z about the y axis.
RangeData plane_frame(int rows, int cols, float h, float tiltDeg = 0.f) {
  RangeData rge;
  rge.set_grid_size(rows, cols);
  const float t = tiltDeg * float(M_PI) / 180.f;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c)
      rge.set_cellVertex(r, c, rge.add_vCoord(Eigen::Vector3f(std::cos(t) * c * h, r * h, std::sin(t) * c * h)));
  return rge;
}

}  // namespace

TEST(ProcessModel, ViewAngleComponentAndBorderFields) {
  RangeData clean = plane_frame(30, 40, 0.5f);  // a plain plane loses nothing
  ASSERT_EQ(process_model(clean, long_edge_setting()), RETVAL_SUCCESS);
  EXPECT_EQ(clean.get_vn(), 1200);
  // 85 degrees from the sensor is past the strict setting's 80, 60 is not.
  RangeData grazing = plane_frame(30, 30, 0.5f, 85.f), facing = plane_frame(30, 30, 0.5f, 60.f);
  ASSERT_EQ(process_model(grazing, strict_setting()), RETVAL_SUCCESS);
  ASSERT_EQ(process_model(facing, strict_setting()), RETVAL_SUCCESS);
  EXPECT_EQ(grazing.get_vn(), 0);
  EXPECT_EQ(facing.get_vn(), 900);

  // A 3 x 3 island far from a big patch: fewer than 10 points, removed.
  RangeData frame = plane_frame(40, 40, 1.f);
  for (int r = 0; r < 40; ++r)
    for (int c = 20; c < 40; ++c) frame.set_cellVertex(r, c, r >= 10 && r < 13 && c >= 30 && c < 33 ? r * 40 + c : -1);
  RangeProcessParam p = long_edge_setting();
  p.compact = false;
  p.minNeighbours = 0;
  RangeData island = frame;
  ASSERT_EQ(process_model(island, p), RETVAL_SUCCESS);
  EXPECT_TRUE(island.get_vDeleted(11 * 40 + 31) && !island.get_vDeleted(11 * 40 + 5));
  p.minComponentSize = 0;
  island = frame;
  ASSERT_EQ(process_model(island, p), RETVAL_SUCCESS);
  EXPECT_FALSE(island.get_vDeleted(11 * 40 + 31));

  // Border band of 2 and compaction: exactly the inner block remains, and the
  // cells follow the renumbered points; remove_boundary strips the same band.
  RangeData full = plane_frame(20, 30, 1.f);
  p = long_edge_setting();
  p.boundaryBand = 2;
  ASSERT_EQ(process_model(full, p), RETVAL_SUCCESS);
  EXPECT_EQ(full.get_vn(), 16 * 26);
  for (int r = 0; r < 20; ++r)
    for (int c = 0; c < 30; ++c) {
      const int v = full.get_cellVertex(r, c);
      const bool inner = r >= 2 && r < 18 && c >= 2 && c < 28;
      ASSERT_EQ(v >= 0, inner) << r << " " << c;
      if (inner) EXPECT_EQ(full.get_vCoord(v), Eigen::Vector3f(float(c), float(r), 0.f));
    }
  RangeData rge = plane_frame(10, 12, 1.f);
  EXPECT_TRUE(remove_boundary(rge, 1) == RETVAL_SUCCESS && rge.get_vn() == 8 * 10);
  EXPECT_TRUE(remove_boundary(rge, 0) == RETVAL_SUCCESS && rge.get_vn() == 80);
}

TEST(ProcessModel, BadInputIsRefusedOrCleaned) {
  RangeData empty, noGrid;
  noGrid.add_vCoord({0.f, 0.f, 0.f});
  EXPECT_EQ(process_model(empty, long_edge_setting()), RETVAL_FAILED);
  EXPECT_EQ(process_model(noGrid, long_edge_setting()), RETVAL_FAILED);
  EXPECT_EQ(remove_boundary(empty, 1), RETVAL_FAILED);
  RangeData rge = plane_frame(10, 10, 1.f);
  const std::function<void(RangeProcessParam&)> spoilers[] = {
      [](RangeProcessParam& q) { q.spikeFactor = -1.f; },
      [](RangeProcessParam& q) { q.longEdgeFactor = std::numeric_limits<float>::quiet_NaN(); },
      [](RangeProcessParam& q) { q.windowRadius = kMaxRangeWindowRadius + 1; }};
  for (const auto& spoil : spoilers) {
    RangeProcessParam q = long_edge_setting();
    spoil(q);
    EXPECT_EQ(process_model(rge, q), RETVAL_FAILED);
  }
  EXPECT_EQ(rge.get_vn(), 100) << "refused calls leave the frame alone";
  // A NaN point and a cell pointing past the points: the NaN point goes, the
  // stale cell is ignored.
  rge.set_vCoord(55, {std::numeric_limits<float>::quiet_NaN(), 0.f, 0.f});
  rge.set_cellVertex(0, 0, 1000);
  RangeProcessParam p = long_edge_setting();
  p.compact = false;
  ASSERT_EQ(process_model(rge, p), RETVAL_SUCCESS);
  EXPECT_TRUE(rge.get_vDeleted(55));
}

// Spikes: real points pushed 60 spacings along the sensor direction. Strays:
// new points in empty cells, 80 spacings in front of a random real point.
TEST(ProcessModel, BunnyScanWithInjectedOutliers) {
  const std::string scan = std::string(TAVO_TEST_DATA_DIR) + "/bunny-scans/bun000.ply";
  if (!std::filesystem::exists(scan)) GTEST_SKIP() << "no scan data at " << scan;
  RangeData rge;
  ASSERT_EQ(read_range_scan(scan, rge), RETVAL_SUCCESS);
  const int spikes = 200, strays = 200, real = rge.get_vn() - spikes;
  const float s = range_frame_spacing(rge);
  std::vector<int> onGrid, injected;
  std::vector<std::pair<int, int>> emptyCells;
  for (int r = 0; r < rge.get_rows(); ++r)
    for (int c = 0; c < rge.get_cols(); ++c)
      if (rge.get_cellVertex(r, c) >= 0) onGrid.push_back(rge.get_cellVertex(r, c));
      else emptyCells.emplace_back(r, c);
  std::mt19937 rng(11);
  std::shuffle(onGrid.begin(), onGrid.end(), rng);
  std::shuffle(emptyCells.begin(), emptyCells.end(), rng);
  for (int i = 0; i < spikes; ++i) {
    rge.set_vCoord(onGrid[i], rge.get_vCoord(onGrid[i]) + 60.f * s * rge.get_sensorDir());
    injected.push_back(onGrid[i]);
  }
  for (int i = 0; i < strays; ++i) {
    injected.push_back(rge.add_vCoord(rge.get_vCoord(onGrid[spikes + i]) + 80.f * s * rge.get_sensorDir()));
    rge.set_cellVertex(emptyCells[i].first, emptyCells[i].second, injected.back());
  }
  RangeProcessParam p = long_edge_setting();
  p.compact = false;
  ASSERT_EQ(process_model(rge, p), RETVAL_SUCCESS);
  int removed = 0, alive = 0;
  for (int v : injected) removed += rge.get_vDeleted(v) ? 1 : 0;
  for (int v = 0; v < rge.get_vn(); ++v) alive += rge.get_vDeleted(v) ? 0 : 1;
  const int kept = alive - (spikes + strays - removed);  // surviving injected points are not real ones
  std::cout << "bunny bun000: injected " << injected.size() << ", removed " << removed << "; real " << real
            << ", kept " << kept << std::endl;
  EXPECT_EQ(removed, spikes + strays);
  EXPECT_GE(kept, real * 99 / 100);
}

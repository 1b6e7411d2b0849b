#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "fusion/RangeFrameLists.h"

using namespace TavoAlgorithm;

using Frames = std::vector<const RangeData*>;
using Poses = std::vector<RigidMatrix>;
using Flags = std::vector<bool>;
using Weights = std::vector<std::vector<float>>;

namespace {
// rows x cols grid, every cell a point at depth -2 - row (camera looks down -z).
RangeData grid_frame(int rows, int cols, bool flags = true) {
  RangeData f;
  f.set_grid_size(rows, cols);
  f.enable_vNormal();
  if (flags) f.enable_vFlag();
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const int v = f.add_vCoord(Eigen::Vector3f(0.01f * c, 0.01f * r, -2.f - r));
      f.set_vNrv(v, Eigen::Vector3f::UnitZ());
      f.set_cellVertex(r, c, v);
    }
  return f;
}
}  // namespace

TEST(RangeFrameLists, MismatchedOrNullInputChangesNothing) {
  RangeData f = grid_frame(4, 4);
  RangeFrameLists lists;
  EXPECT_FALSE(lists.send_rangeData(Frames{&f, &f, &f}, Poses(2), Flags{false, false, false}, false));
  EXPECT_FALSE(lists.send_rangeData(Frames{&f, nullptr}, Poses(2), Flags{false, false}, false));
  EXPECT_FALSE(lists.send_rangeData(Frames{&f}, Poses(1), Flags{false}, Weights{std::vector<float>(3, 1.f)}, false));
  lists.send_rangeData(nullptr, RigidMatrix(), false, false);
  lists.send_rangeData(&f, RigidMatrix(), false, std::vector<float>(2, 1.f), false);
  EXPECT_EQ(lists.frame_count(), 0);
  EXPECT_TRUE(lists.send_rangeData(Frames{}, Poses{}, Flags{}, false));
  EXPECT_TRUE(lists.send_rangeData(Frames{&f, &f}, Poses(2), Flags{false, true}, false));
  EXPECT_EQ(lists.frame_count(), 2);
}

TEST(RangeFrameLists, EmptyFramesAndFramesWithoutFlagsAreTaken) {
  const RangeData f = grid_frame(12, 12, false), empty;
  RangeFrameLists lists;
  ASSERT_TRUE(lists.send_rangeData(Frames{&f, &empty}, Poses(2), Flags{false, false}, false));
  lists.send_rangeData(&empty, RigidMatrix(), false, true);
  EXPECT_EQ(lists.weights()[0], std::vector<float>(144, 1.f));  // no rings without flags
  TsdfVolume vol(kTsdfDefaultDepth, 0.01f);
  lists.add_to_tsdf(vol);
  ASSERT_TRUE(vol.has_voxels());
  lists.add_to_tsdf(vol);  // looks for pending removals: there are none
  EXPECT_EQ(lists.integrated_count(), 3);
  for (int i = 0; i < 3; ++i) lists.pop_rangeData(&vol);
  EXPECT_EQ(lists.frame_count(), 0);
}

TEST(RangeFrameLists, SamplingKeepsTheStepGridAndSteepPoints) {
  Eigen::MatrixXi map(4, 4);
  for (int i = 0; i < 16; ++i) map(i / 4, i % 4) = i;
  map(1, 1) = -1;
  std::vector<Eigen::Vector3f> n(16, Eigen::Vector3f::UnitZ());
  n[7] = Eigen::Vector3f(1, 0, 0.2f).normalized();  // steep point at (1, 3)
  std::vector<bool> marks(16, true);
  RangeFrameLists::sample_rge(map, n, 2, true, marks);
  EXPECT_EQ(marks, (std::vector<bool>{1, 0, 1, 0, 0, 0, 0, 1, 1, 0, 1, 0, 0, 0, 0, 0}));
  RangeFrameLists::sample_rge(map, n, 2, false, marks);
  EXPECT_FALSE(marks[7]);
  // Step 0 keeps every point, and so does step 1 in AutoScanHelper's
  // single-frame overloads.
  RangeData f = grid_frame(4, 4);
  RangeFrameLists lists;
  lists.set_sample_step(0);
  lists.send_rangeData(&f, RigidMatrix(), false, true);
  FrameListRules autoScan;
  autoScan.keepSteepPoints = autoScan.clipZ = false;
  autoScan.singleFrameMinStep = 2;
  RangeFrameLists a(autoScan);
  a.set_sample_step(1);
  a.send_rangeData(&f, RigidMatrix(), false, true);
  EXPECT_EQ(lists.sample_marks()[0], std::vector<bool>(16, true));
  EXPECT_EQ(a.sample_marks()[0], std::vector<bool>(16, true));
  // Any step other than 0 samples; a negative one like its magnitude, in
  // both kinds of overload.
  FrameListRules gridOnly;
  gridOnly.keepSteepPoints = false;  // the test grid is steep everywhere
  RangeFrameLists neg(gridOnly), pos(gridOnly);
  neg.set_sample_step(-2);
  pos.set_sample_step(2);
  for (RangeFrameLists* l : {&neg, &pos}) {
    l->send_rangeData(&f, RigidMatrix(), false, true);
    ASSERT_TRUE(l->send_rangeData(Frames{&f}, Poses(1), Flags{false}, true));
  }
  EXPECT_EQ(neg.sample_marks(), pos.sample_marks());
  EXPECT_EQ(std::count(neg.sample_marks()[0].begin(), neg.sample_marks()[0].end(), true), 4);
  RangeFrameLists::sample_rge(map, n, -2, false, marks);
  EXPECT_EQ(marks, (std::vector<bool>{1, 0, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0}));
}

TEST(RangeFrameLists, BoundaryRingsWeighOneAndTwoHundredths) {
  RangeData f = grid_frame(5, 5);
  std::vector<float> w(25, 1.f);
  w[0] = 0.f;  // an exact zero stays zero
  RangeFrameLists::weight_boundary_rings(f, w);
  for (int k = 0; k < 25; ++k) {
    const int r = k / 5, c = k % 5;
    const bool edge = r == 0 || c == 0 || r == 4 || c == 4;
    EXPECT_FLOAT_EQ(w[k], k == 0 ? 0.f : edge ? 0.01f : k == 12 ? 1.f : 0.02f) << r << " " << c;
  }
  // The vector overload applies them to flagged frames.
  RangeFrameLists lists;
  ASSERT_TRUE(lists.send_rangeData(Frames{&f}, Poses{RigidMatrix()}, Flags{false}, false));
  EXPECT_FLOAT_EQ(lists.weights()[0][12], 1.f);
  EXPECT_FLOAT_EQ(lists.weights()[0][0], 0.01f);
}

TEST(RangeFrameLists, BoundaryRingsMatchBruteForceOnRaggedFrames) {
  std::mt19937 rng(23);
  std::uniform_real_distribution<float> unit(0.f, 1.f);
  for (int trial = 0; trial < 5; ++trial) {
    const int rows = 7 + 4 * trial, cols = 23 - 3 * trial;
    RangeData f = grid_frame(rows, cols);
    // Holes, deleted points and a cell whose point is not flagged present.
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) {
        const float u = unit(rng);
        if (u < 0.06f) f.set_cellVertex(r, c, -1);
        else if (u < 0.09f) f.set_vDeleted(f.get_cellVertex(r, c), true);
        else if (u < 0.1f) f.set_cellFlag(r, c, 0);
      }
    auto valid = [&](int r, int c) {
      if (r < 0 || c < 0 || r >= rows || c >= cols || !(f.get_cellFlag(r, c) & CELL_HAS_POINT)) return false;
      const int k = f.get_cellVertex(r, c);
      return k >= 0 && !f.get_vDeleted(k);
    };
    auto ring0 = [&](int r, int c) {
      if (!valid(r, c)) return false;
      for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc)
          if (!valid(r + dr, c + dc)) return true;
      return false;
    };
    std::vector<float> w(static_cast<std::size_t>(f.get_vn()), 1.f);
    w[3] = 0.f;  // an exact zero stays zero
    RangeFrameLists::weight_boundary_rings(f, w);
    std::vector<float> expected(w.size(), 1.f);
    expected[3] = 0.f;
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) {
        if (!valid(r, c)) continue;
        bool nearRing0 = false;
        for (int dr = -1; dr <= 1; ++dr)
          for (int dc = -1; dc <= 1; ++dc) nearRing0 = nearRing0 || ring0(r + dr, c + dc);
        float& e = expected[static_cast<std::size_t>(f.get_cellVertex(r, c))];
        if (e != 0.f && nearRing0) e = ring0(r, c) ? 0.01f : 0.02f;
      }
    for (std::size_t k = 0; k < w.size(); ++k) ASSERT_FLOAT_EQ(w[k], expected[k]) << trial << " point " << k;
  }
  // A frame without any valid cell keeps its weights.
  RangeData empty = grid_frame(3, 3);
  for (int k = 0; k < 9; ++k) empty.set_vDeleted(k, true);
  std::vector<float> w(9, 1.f);
  RangeFrameLists::weight_boundary_rings(empty, w);
  EXPECT_EQ(w, std::vector<float>(9, 1.f));
}

TEST(RangeFrameLists, ClippingKeepsPointsNormalsAndWeightsPaired) {
  RangeData f = grid_frame(6, 1);  // z = -2 ... -7
  f.set_vDeleted(1, true);         // deleted points never enter
  RangeFrameLists lists;
  lists.set_clip_height(-4.5f);  // drops z = -5, -6, -7
  lists.send_rangeData(&f, RigidMatrix(), false, std::vector<float>{10, 11, 12, 13, 14, 15}, false);
  const PreparedFrame p = lists.sample_cloud(0);
  ASSERT_EQ(p.cloud.get_vn(), 2);
  ASSERT_EQ(p.weights.size(), 2u);
  ASSERT_EQ(p.normals.size(), 2u);
  // The frame's own normals stay behind: the volume takes the fitted ones.
  EXPECT_FALSE(p.cloud.has_vNormal());
  for (int k = 0; k < p.cloud.get_vn(); ++k) {
    const float z = p.cloud.get_vCoord(k).z();
    EXPECT_GE(z, -4.5f);
    const int source = static_cast<int>(-2.f - z);
    EXPECT_FLOAT_EQ(p.weights[k], 10.f + source);  // weight and normal follow their point
    EXPECT_EQ(p.normals[k], lists.smoothed_normals()[0][static_cast<std::size_t>(source)]);
  }
}

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "grid/GridFrame.h"

using TavoAlgorithm::grid::GridFrame;
using V3 = Eigen::Vector3f;
using V3i = Eigen::Vector3i;

namespace {
// 1024 cells of 0.25 from (1, -2, 0.5): every boundary below is exact in float.
GridFrame frame() { return GridFrame{V3(1.f, -2.f, 0.5f), 0.25f, 10, 3}; }
}  // namespace

TEST(GridFrame, WorldPointsFallInTheCellAboveABoundaryAndNeverOutsideTheGrid) {
  const GridFrame f = frame();
  EXPECT_EQ(f.size(), 1024);
  V3i c(-7, -7, -7);
  ASSERT_TRUE(f.cell_of(V3(1.f + 0.25f * 5, -2.f + 0.25f * 6, 0.5f + 0.25f * 7), c));
  EXPECT_EQ(c, V3i(5, 6, 7));
  ASSERT_TRUE(f.cell_of(V3(1.f + 0.25f * 5 - 1e-4f, -2.f, 0.5f), c));
  EXPECT_EQ(c, V3i(4, 0, 0));
  ASSERT_TRUE(f.local_cell(V3::Constant(256.f - 1e-4f), c));  // just inside the far faces
  EXPECT_EQ(c, V3i::Constant(1023));

  const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
  V3i untouched = V3i::Constant(-7);
  for (const V3 local : {V3(-1e-4f, 1, 1), V3(-0.2f, 1, 1), V3(1, 256.f, 1), V3(1, 1, 1e30f), V3(-1e30f, 1, 1),
                         V3(nan, 1, 1), V3(1, inf, 1), V3(1, 1, -inf)}) {
    c = untouched;
    EXPECT_FALSE(f.local_cell(local, c)) << local.transpose();
    EXPECT_FALSE(f.cell_of(local + f.origin, c)) << local.transpose();
    EXPECT_EQ(c, untouched);
  }
}

TEST(GridFrame, UsableCellsKeepTheBorderBandFreeOnEveryAxis) {
  const GridFrame f = frame();
  const int top = f.size() - 1;
  for (const auto& [cell, usable] : {std::pair{V3i(2, 100, 100), false}, std::pair{V3i(3, 100, 100), true},
                                     std::pair{V3i(100, top - 3, 100), true}, std::pair{V3i(100, top - 2, 100), false},
                                     std::pair{V3i(100, 100, -1), false}, std::pair{V3i(100, 100, top + 1), false}}) {
    EXPECT_EQ(f.is_usable(cell), usable) << cell.transpose();
    EXPECT_EQ(f.usable_coordinate(cell.x()) && f.usable_coordinate(cell.y()) && f.usable_coordinate(cell.z()),
              usable);
    V3i c;
    if (f.in_grid(cell)) EXPECT_EQ(f.usable_local_cell(f.local_centre(cell), c), usable) << cell.transpose();
  }
  EXPECT_TRUE(f.within(V3i(1, 1, top - 1), 1) && !f.within(V3i(1, 1, top - 1), 2) && !f.within(V3i(0, 5, 5), 1));
  EXPECT_TRUE(f.in_grid(V3i(0, 0, top)) && !f.in_grid(V3i(0, -1, 0)));

  // The usable test on the point equals the same bounds tested on the
  // unconverted grid coordinate, the way a per-axis range check reads them.
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> nearLow(-1.f, 1.5f), nearHigh(254.f, 256.5f);
  for (int k = 0; k < 20000; ++k) {
    const V3 local(k % 2 ? nearLow(rng) : nearHigh(rng), 100.f, k % 3 ? nearHigh(rng) : nearLow(rng));
    const V3 g = local / f.cellSize;
    const bool want = (g.array() >= 3.f).all() && (g.array() < 1021.f).all();
    V3i c;
    ASSERT_EQ(f.usable_local_cell(local, c), want) << local.transpose();
  }
}

TEST(GridFrame, CentresRoundTripAndRecentringPutsThePointInTheMiddle) {
  GridFrame f = frame();
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> coord(0, f.size() - 1);
  for (int k = 0; k < 5000; ++k) {
    const V3i c(coord(rng), coord(rng), coord(rng));
    const V3 local = f.local_centre(c);
    const Eigen::Vector3d want = (c.cast<double>().array() + 0.5).matrix() * 0.25;
    ASSERT_TRUE(local.cast<double>().isApprox(want, 1e-12)) << c.transpose();
    EXPECT_EQ(f.centre(c), V3(f.origin + local));
    V3i back;
    ASSERT_TRUE(f.cell_of(f.centre(c), back));
    ASSERT_EQ(back, c);
  }
  const Eigen::Vector3d p(10.0, -20.0, 30.0);
  f.centre_on(p);
  EXPECT_EQ(f.origin, V3(10.f - 128.f, -20.f - 128.f, 30.f - 128.f));
  V3i middle;
  ASSERT_TRUE(f.cell_of(p.cast<float>(), middle));
  EXPECT_EQ(middle, V3i::Constant(512));
}

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <set>

#include "Parallel.h"
#include "laser_scan_util.h"

using namespace laser_test;

TEST(LaserFusionHelper, CellSizeAndThreadCountsNormalised) {
  LaserFusionHelper<Leaf> a(8, 0.f, 0.1f, 0.2f, 3, false);
  LaserFusionHelper<LeafTangent> b(13, -1.f, 0.1f, 0.2f, 3, true);
  EXPECT_EQ(a.get_grid_size(), 1024);
  EXPECT_TRUE(a.get_voxel_size() == 0.5f && b.get_voxel_size() == 0.5f);
  EXPECT_TRUE(b.get_tree_shift().isZero());
  for (int n : {0, -4}) b.set_tbb_num_threads(n);
  EXPECT_EQ(b.get_integrator_threads(), omp_get_max_threads());
  EXPECT_EQ(b.get_helper_threads(), omp_get_max_threads());
  b.set_tbb_num_threads(3);
  EXPECT_EQ(b.get_integrator_threads(), 3);
  EXPECT_EQ(b.get_helper_threads(), 3);
}

TEST(TwinPool, ConcurrentAcquireGrowsByStepUpToItsLimitWithDistinctZeroedRecords) {
  TavoOctree::TwinPool<int> pool(100, 5000);
  std::vector<int*> got(5100, nullptr);
  TavoAlgorithm::auxilary_tbb_for(8, 0, got.size(), [&](std::size_t i) { got[i] = pool.acquire(); });
  const std::set<int*> distinct(got.begin(), got.end());
  EXPECT_EQ(std::count(got.begin(), got.end(), nullptr), 100);
  EXPECT_EQ(distinct.size(), 5001u);  // and null
  EXPECT_TRUE(std::all_of(distinct.begin(), distinct.end(), [](int* r) { return r == nullptr || *r == 0; }));
  EXPECT_EQ(pool.capacity(), 5000u);
  EXPECT_EQ(pool.handed_out(), 5000u);
}

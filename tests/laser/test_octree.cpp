#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <numeric>
#include <random>
#include <set>
#include <tuple>

#include "Parallel.h"
#include "laser/NodeBaseCache.h"
#include "laser_scan_util.h"

using namespace laser_test;
using TavoOctree::Octree;

TEST(Octree, DepthIsClampedCellSizeAndThreadCountsNormalised) {
  // Depth asked, depth got, middle levels. int16 cells cannot address more
  // than 2^15 cells per axis, and cells are stored shifted by one: the far
  // corner must come back unchanged.
  for (const auto& [depth, want, middle] : {std::tuple{8, 10, 1}, std::tuple{13, 13, 4}, std::tuple{20, 15, 6}}) {
    Octree<int> tree(depth);
    EXPECT_EQ(tree.depth(), want);
    EXPECT_EQ(tree.grid_size(), 1 << want);
    EXPECT_EQ(tree.middle_level_count(), middle);
    const int far = (1 << want) - 1;
    for (const V3i c : {V3i(0, 0, 0), V3i(far, 0, far), V3i(far, far, far)}) {
      const int i = tree.find_or_create_leaf(c);
      ASSERT_GE(i, 0);
      EXPECT_EQ(tree.element_at(i).get_cell(), c);
      EXPECT_EQ(tree.find_leaf(c), i);
    }
  }
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

TEST(Octree, LookupsOutsideInsideAndBeyondTheLeafBlocks) {
  Octree<int> tree(13);
  bool created = true;
  for (const V3i c : {V3i(-1, 0, 0), V3i(8192, 0, 0), V3i(0, -5, 0), V3i(0, 0, 8192)}) {
    EXPECT_EQ(tree.find_or_create_leaf(c, created), -1);
    EXPECT_FALSE(created);
    EXPECT_EQ(tree.find_leaf(c), -1);
  }
  EXPECT_EQ(tree.leaf_slots_in_use(), 0);
  // The eight cells of one 2x2x2 block are consecutive leaves of one parent,
  // at child = x_bit + 2 (y_bit + 2 z_bit); no other path is built.
  const int base = static_cast<int>(tree.element(tree.find_or_create_leaf(V3i(100, 200, 300))).parentBase);
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(tree.find_or_create_leaf(V3i(100 + (k & 1), 200 + ((k >> 1) & 1), 300 + ((k >> 2) & 1))), base + k);
    EXPECT_EQ(tree.element(base + k).parentBase, static_cast<std::uint32_t>(base));
  }
  EXPECT_TRUE(tree.leaf_slots_in_use() == 8 && tree.find_leaf(V3i(102, 200, 300)) == -1);
  // Index 2^20 on a tree of one block adds the second; clear() keeps one.
  EXPECT_EQ(tree.leaf_capacity(), 1 << 20);
  EXPECT_EQ(tree.element(1 << 20).get_cell(), V3i(-1, -1, -1));
  EXPECT_EQ(tree.leaf_block_count(), 2u);
  tree.clear();
  EXPECT_EQ(tree.leaf_block_count(), 1u);
  EXPECT_TRUE(tree.leaf_count() == 0 && !tree.element_at(base).is_used());
}

TEST(NodeBaseCache, BoxVisitMatchesCellByCellLookupAtOddCornersAndGridEdges) {
  // A sparse cloud of leaves, some of their finest nodes only partly
  // claimed, near a grid corner and elsewhere; every box must visit exactly
  // the used leaves that cell-by-cell find_leaf sees, each once.
  Octree<int> tree(10);
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> near(0, 12), far(500, 520);
  for (int k = 0; k < 600; ++k) {
    tree.find_or_create_leaf(V3i(near(rng), near(rng), near(rng)));
    tree.find_or_create_leaf(V3i(far(rng), far(rng), far(rng)));
  }
  tree.find_or_create_leaf(V3i(1023, 1023, 1023));
  std::uniform_int_distribution<int> size(0, 5);
  LaserReconstrcution::NodeBaseCache<int, false> nodes(tree);
  int visited = 0;
  for (int k = 0; k < 400; ++k) {
    const bool corner = k % 3 == 0;
    const V3i lo =
        k % 3 == 2 ? V3i(1020, 1019, 1021)
                   : (corner ? V3i(near(rng) - 3, near(rng) - 3, near(rng) - 3) : V3i(far(rng), far(rng), far(rng)));
    const V3i hi = lo + V3i(size(rng), size(rng), size(rng)) - V3i::Constant(k % 7 == 0 ? 1 : 0);
    std::multiset<int> seen, want;
    // One cache for all boxes, as an extraction task keeps it.
    nodes.for_each_leaf_in_box(lo, hi, [&](int index) { seen.insert(index); });
    for (int z = lo.z(); z <= hi.z(); ++z)
      for (int y = lo.y(); y <= hi.y(); ++y)
        for (int x = lo.x(); x <= hi.x(); ++x) {
          const int i = tree.find_leaf(V3i(x, y, z));
          if (i >= 0) want.insert(i);
        }
    ASSERT_EQ(seen, want) << "box " << lo.transpose() << " .. " << hi.transpose();
    visited += static_cast<int>(seen.size());
  }
  EXPECT_GT(visited, 400);  // the boxes do meet leaves
}

namespace {
struct Counter {
  int hits = 0;
  TavoAlgorithm::SpinLock<int> lock;
};
}  // namespace

TEST(Octree, ConcurrentWorkersCreateEachLeafOnceAndCountExactly) {
  // 16 workers hammer the same 16^3 cells, spread over several top cells, in different orders.
  constexpr int kCells = 16 * 16 * 16, kWorkers = 16, kRounds = 3;
  Octree<Counter> tree(13);
  std::atomic<int> createdCount{0};
  TavoAlgorithm::auxilary_tbb_for(kWorkers, 0, kWorkers, [&](std::size_t w) {
    std::mt19937 rng(static_cast<unsigned>(w));
    std::vector<int> order(kCells);
    std::iota(order.begin(), order.end(), 0);
    for (int r = 0; r < kRounds; ++r) {
      std::shuffle(order.begin(), order.end(), rng);
      for (int k : order) {
        bool created = false;
        auto& rec = tree.element(tree.find_or_create_leaf(V3i(24 + k % 16 * 3, 24 + k / 16 % 16 * 5, 24 + k / 256 * 7),
                                                          created)).payload;
        createdCount += created;
        rec.lock.lock();
        ++rec.hits;
        rec.lock.unlock();
      }
    }
  });
  EXPECT_EQ(createdCount.load(), kCells);
  EXPECT_EQ(tree.leaf_count(), kCells);
  for (int i = 0; i < tree.leaf_slots_in_use(); ++i)
    if (tree.element_at(i).is_used()) EXPECT_EQ(tree.element_at(i).payload.hits, kWorkers * kRounds);
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

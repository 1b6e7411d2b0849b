#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "laser/NodeBaseCache.h"
#include "laser/Octree.h"
#include "laser/TwinPool.h"
#include "Parallel.h"

using TavoOctree::Octree;

namespace {
struct Counter {
  int hits = 0;
  TavoAlgorithm::SpinLock<int> lock;
};
}  // namespace

TEST(Octree, DepthIsClampedAndLevelsFollowDepth) {
  Octree<int> shallow(8);
  EXPECT_EQ(shallow.depth(), 10);
  EXPECT_EQ(shallow.grid_size(), 1024);
  EXPECT_EQ(shallow.middle_level_count(), 1);
  Octree<int> usual(13);
  EXPECT_EQ(usual.grid_size(), 8192);
  EXPECT_EQ(usual.middle_level_count(), 4);
  // int16 cells cannot address more than 2^15 cells per axis.
  Octree<int> deep(20);
  EXPECT_EQ(deep.depth(), 15);
}

TEST(Octree, OutsideCellsYieldNothing) {
  Octree<int> tree(13);
  bool created = true;
  for (const Eigen::Vector3i c : {Eigen::Vector3i(-1, 0, 0), Eigen::Vector3i(8192, 0, 0),
                                  Eigen::Vector3i(0, -5, 0), Eigen::Vector3i(0, 0, 8192)}) {
    EXPECT_EQ(tree.find_or_create_leaf(c, created), -1);
    EXPECT_FALSE(created);
    EXPECT_EQ(tree.find_leaf(c), -1);
  }
  EXPECT_EQ(tree.leaf_slots_in_use(), 0);
}

TEST(Octree, CreateOnceFindAgainAndSiblingsShareParent) {
  Octree<int> tree(13);
  const Eigen::Vector3i c(100, 200, 300);
  EXPECT_EQ(tree.find_leaf(c), -1);
  EXPECT_EQ(tree.find_payload(c), nullptr);
  bool created = false;
  const int i = tree.find_or_create_leaf(c, created);
  ASSERT_GE(i, 0);
  EXPECT_TRUE(created);
  EXPECT_EQ(tree.element(i).get_cell(), c);
  EXPECT_EQ(tree.find_leaf(c), i);
  EXPECT_EQ(tree.find_or_create_leaf(c, created), i);
  EXPECT_FALSE(created);
  // The eight cells of one 2x2x2 block are consecutive leaves of one parent,
  // at child = x_bit + 2 (y_bit + 2 z_bit).
  const int base = static_cast<int>(tree.element(i).parentBase);
  for (int k = 0; k < 8; ++k) {
    const Eigen::Vector3i s(100 + (k & 1), 200 + ((k >> 1) & 1), 300 + ((k >> 2) & 1));
    EXPECT_EQ(tree.find_or_create_leaf(s), base + k);
    EXPECT_EQ(tree.element(base + k).parentBase, static_cast<std::uint32_t>(base));
  }
  // One path was built: eight leaf slots in use, the neighbour's path absent.
  EXPECT_EQ(tree.leaf_slots_in_use(), 8);
  EXPECT_EQ(tree.find_leaf(Eigen::Vector3i(102, 200, 300)), -1);
}

TEST(Octree, RandomCellsMapOneToOneLikeASet) {
  Octree<int> tree(10);
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> coord(0, 1023);
  std::set<std::tuple<int, int, int>> truth;
  std::set<int> indices;
  for (int n = 0; n < 20000; ++n) {
    const Eigen::Vector3i c(coord(rng), coord(rng), coord(rng));
    bool created = false;
    const int i = tree.find_or_create_leaf(c, created);
    ASSERT_GE(i, 0);
    EXPECT_EQ(created, truth.insert({c.x(), c.y(), c.z()}).second);
    indices.insert(i);
    EXPECT_EQ(tree.element(i).get_cell(), c);
  }
  EXPECT_EQ(indices.size(), truth.size());
  int used = 0;
  for (int i = 0; i < tree.leaf_slots_in_use(); ++i) used += tree.element_at(i).is_used() ? 1 : 0;
  EXPECT_EQ(used, static_cast<int>(truth.size()));
  EXPECT_EQ(tree.leaf_count(), used);
  for (const auto& [x, y, z] : truth) EXPECT_GE(tree.find_leaf(Eigen::Vector3i(x, y, z)), 0);
  tree.clear();
  EXPECT_EQ(tree.leaf_count(), 0);
  EXPECT_FALSE(tree.element_at(0).is_used());
}

// Cells are stored shifted by one in 16 bits: the grid's far corner at the
// deepest level must come back unchanged.
TEST(Octree, ExtremeCellsOfTheDeepestGridRoundTrip) {
  Octree<int> tree(15);
  for (const Eigen::Vector3i c : {Eigen::Vector3i(0, 0, 0), Eigen::Vector3i(32767, 0, 32767),
                                  Eigen::Vector3i(32767, 32767, 32767)}) {
    const int i = tree.find_or_create_leaf(c);
    ASSERT_GE(i, 0);
    EXPECT_EQ(tree.element_at(i).get_cell(), c);
    EXPECT_EQ(tree.find_leaf(c), i);
  }
}

TEST(Octree, ElementBeyondCapacityAddsBlocks) {
  Octree<int> tree(13);
  EXPECT_EQ(tree.leaf_block_count(), 1u);
  EXPECT_EQ(tree.leaf_capacity(), 1 << 20);
  const auto& e = tree.element(1 << 20);
  EXPECT_EQ(tree.leaf_block_count(), 2u);
  EXPECT_FALSE(e.is_used());
  EXPECT_EQ(e.get_cell(), Eigen::Vector3i(-1, -1, -1));
  tree.clear();
  EXPECT_EQ(tree.leaf_block_count(), 1u);
}

TEST(Octree, ConcurrentWorkersCreateEachLeafOnceAndCountExactly) {
  Octree<Counter> tree(13);
  // 16 workers hammer the same 4096 cells (a 16^3 block spread over several
  // top cells) in different orders.
  constexpr int kSide = 16, kWorkers = 16, kRounds = 3;
  std::atomic<int> createdCount{0};
  TavoAlgorithm::auxilary_tbb_for(kWorkers, 0, kWorkers, [&](std::size_t w) {
    std::mt19937 rng(static_cast<unsigned>(w));
    std::vector<int> order(kSide * kSide * kSide);
    for (int i = 0; i < static_cast<int>(order.size()); ++i) order[i] = i;
    for (int r = 0; r < kRounds; ++r) {
      std::shuffle(order.begin(), order.end(), rng);
      for (int k : order) {
        const Eigen::Vector3i c(24 + (k % kSide) * 3, 24 + (k / kSide % kSide) * 5, 24 + k / (kSide * kSide) * 7);
        bool created = false;
        const int i = tree.find_or_create_leaf(c, created);
        if (created) createdCount.fetch_add(1);
        Counter& rec = tree.element(i).payload;
        rec.lock.lock();
        ++rec.hits;
        rec.lock.unlock();
      }
    }
  });
  EXPECT_EQ(createdCount.load(), kSide * kSide * kSide);
  int cells = 0;
  for (int i = 0; i < tree.leaf_slots_in_use(); ++i) {
    if (!tree.element_at(i).is_used()) continue;
    ++cells;
    EXPECT_EQ(tree.element_at(i).payload.hits, kWorkers * kRounds);
  }
  EXPECT_EQ(cells, kSide * kSide * kSide);
}

TEST(TwinPool, GrowsByStepAndRefusesBeyondItsLimit) {
  TavoOctree::TwinPool<int> pool(4, 12);
  EXPECT_EQ(pool.capacity(), 4u);
  std::set<int*> seen;
  for (int i = 0; i < 12; ++i) {
    int* r = pool.acquire();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(*r, 0);
    EXPECT_TRUE(seen.insert(r).second);
  }
  EXPECT_EQ(pool.capacity(), 12u);
  EXPECT_EQ(pool.acquire(), nullptr);
  EXPECT_EQ(pool.handed_out(), 12u);
}

TEST(TwinPool, ConcurrentAcquireHandsOutDistinctRecords) {
  TavoOctree::TwinPool<int> pool(100, 100000);
  std::vector<int*> got(5000, nullptr);
  TavoAlgorithm::auxilary_tbb_for(8, 0, got.size(), [&](std::size_t i) { got[i] = pool.acquire(); });
  std::set<int*> distinct(got.begin(), got.end());
  EXPECT_EQ(distinct.size(), got.size());
  EXPECT_EQ(distinct.count(nullptr), 0u);
  EXPECT_EQ(pool.capacity(), 5000u);
}

TEST(Octree, NodeBaseAndClaimAgreeWithTheOneCallLookups) {
  Octree<int> tree(12);
  const Eigen::Vector3i c(1001, 2002, 3003);
  EXPECT_EQ(tree.find_leaf_base(c), -1);
  const int base = tree.find_or_create_leaf_base(c);
  ASSERT_GE(base, 0);
  EXPECT_EQ(tree.find_leaf_base(c), base);
  EXPECT_EQ(tree.find_leaf_in(c, base), -1) << "the path exists, the leaf is still free";
  bool created = false;
  const int index = tree.claim_leaf(c, base, created);
  EXPECT_TRUE(created);
  EXPECT_EQ(tree.find_leaf(c), index);
  EXPECT_EQ(tree.find_leaf_in(c, base), index);
  EXPECT_EQ(tree.find_or_create_leaf(c, created), index);
  EXPECT_FALSE(created);
  // A sibling in the same finest node shares the base but not the leaf.
  const Eigen::Vector3i sibling = c + Eigen::Vector3i(c.x() % 2 ? -1 : 1, 0, 0);
  EXPECT_EQ(tree.find_or_create_leaf_base(sibling), base);
  const int other = tree.claim_leaf(sibling, base, created);
  EXPECT_TRUE(created);
  EXPECT_NE(other, index);
  EXPECT_EQ(tree.element_at(other).get_cell(), sibling);
  EXPECT_EQ(tree.find_leaf_in(c, -1), -1);
  EXPECT_EQ(tree.find_or_create_leaf_base(Eigen::Vector3i(-1, 0, 0)), -1);
}

// The cached lookups must give exactly what the tree's own lookups give, for
// cells that share nodes, cells whose cache slots collide and cells outside.
TEST(NodeBaseCache, AgreesWithTheTreeLookups) {
  Octree<int> tree(10);
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> near(-3, 40), far(-2, 1025);
  std::vector<Eigen::Vector3i> cells;
  for (int k = 0; k < 4000; ++k) {
    auto& d = k % 4 == 0 ? far : near;
    cells.emplace_back(d(rng), d(rng), d(rng));
  }
  LaserReconstrcution::NodeBaseCache<int, true> create(tree);
  for (std::size_t k = 0; k < cells.size(); k += 2) {
    const int want = tree.in_grid(cells[k]) ? tree.find_or_create_leaf(cells[k]) : -1;
    EXPECT_EQ(create.leaf(cells[k]), want) << cells[k].transpose();
  }
  // Find mode: absent cells stay absent, created ones are found.
  LaserReconstrcution::NodeBaseCache<int, false> find(tree);
  LaserReconstrcution::NodeBaseCache<int, false, 1> findSmall(tree);
  for (const Eigen::Vector3i& c : cells) {
    EXPECT_EQ(find.leaf(c), tree.find_leaf(c)) << c.transpose();
    EXPECT_EQ(findSmall.leaf(c), tree.find_leaf(c)) << c.transpose();
  }
}

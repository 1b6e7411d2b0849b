#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <random>
#include <set>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "Parallel.h"
#include "grid/MiddleTree.h"
#include "grid/NodeBaseCache.h"
#include "grid/TopTree.h"

using TavoAlgorithm::grid::MiddleTree;
using TavoAlgorithm::grid::NodeBaseCache;
using TavoAlgorithm::grid::TopTree;
using TavoOctree::Octree;
using V3i = Eigen::Vector3i;

TEST(TreeLevels, SlotsAreCreatedOnceInOrderAndReservedBeforePublication) {
  EXPECT_THROW(TopTree(0), std::invalid_argument);
  EXPECT_THROW(TopTree(11), std::invalid_argument);
  EXPECT_THROW(MiddleTree(2), std::invalid_argument);

  TopTree top(8);
  EXPECT_EQ(top.slot_count(), 1 << 24);
  EXPECT_EQ(top.index_of(3, 2, 1), (1 << 16) + (2 << 8) + 3);
  EXPECT_EQ(top.find(top.index_of(3, 2, 1)), -1);
  // The n-th node created takes n * 8 as its children's base, and its
  // children have room before anyone can read that base.
  MiddleTree middle;
  std::vector<int> reserved;
  auto reserve = [&](int base) {
    EXPECT_EQ(top.find(top.index_of(3, 2, 1)), -1);  // not published yet
    middle.reserve(base + 8);
    reserved.push_back(base);
  };
  EXPECT_EQ(top.find_or_create(top.index_of(0, 0, 0), reserve), 0);
  EXPECT_EQ(top.find_or_create(top.index_of(3, 2, 1), reserve), 8);
  EXPECT_EQ(top.find_or_create(top.index_of(3, 2, 1), reserve), 8);  // found: no second node
  EXPECT_EQ(reserved, (std::vector<int>{0, 8}));
  EXPECT_EQ(top.node_count(), 2);
  EXPECT_EQ(top.find(top.index_of(3, 2, 1)), 8);

  // Middle slots live in chunks of 2^20; a slot past the first chunk works
  // once reserved, and clear() drops chunks and counter alike.
  EXPECT_EQ(middle.capacity(), 1 << 20);
  middle.reserve((1 << 20) + 9);
  EXPECT_EQ(middle.capacity(), 2 << 20);
  EXPECT_EQ(middle.find((1 << 20) + 8), -1);
  EXPECT_EQ(middle.find_or_create((1 << 20) + 8, [](int) {}), 0);
  EXPECT_EQ(middle.find_or_create(5, [](int) {}), 8);
  EXPECT_EQ(middle.node_count(), 2);
  middle.clear();
  EXPECT_TRUE(middle.capacity() == 0 && middle.node_count() == 0);
  top.clear();
  EXPECT_TRUE(top.node_count() == 0 && top.find(top.index_of(3, 2, 1)) == -1);
}

TEST(TreeLevels, AFailedReservationLeavesTheSlotAbsentAndUnlocked) {
  // The creator throws while holding the slot's lock: the lock must be free
  // again and the slot still absent, or the next lookup would spin forever
  // or hand out a base without room behind it.
  TopTree top(2);
  const int slot = top.index_of(1, 1, 1);
  EXPECT_THROW(top.find_or_create(slot, [](int) { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_EQ(top.find(slot), -1);
  EXPECT_EQ(top.find_or_create(slot, [](int) {}), 8);  // the failed try still used node 0
}

TEST(Octree, DepthIsClampedAndFarCornersComeBack) {
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

TEST(Octree, NodeWalksAndClaimsAgreeWithWholeLookups) {
  // find_or_create_leaf is a walk to the finest node and a claim under it;
  // the pieces, used apart as the node caches do, give the same leaves, and
  // claiming a free element gives it a fresh payload whatever it held.
  Octree<int> split(11), whole(11);
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> coord(0, 40);
  std::set<std::tuple<int, int, int>> seen;
  for (int k = 0; k < 3000; ++k) {
    const V3i c(coord(rng), coord(rng), coord(rng));
    const bool fresh = seen.insert({c.x(), c.y(), c.z()}).second;
    bool created = !fresh;
    const int base = split.find_or_create_leaf_base(c);
    ASSERT_EQ(split.find_leaf_base(c), base);
    const int index = base + Octree<int>::child_of(c, 0);
    if (fresh) {
      EXPECT_EQ(split.find_leaf(c), -1);
      split.element_at(index).payload = 99;  // left over in a free element
    }
    const int a = split.claim_leaf(c, base, created);
    EXPECT_EQ(a, index);
    EXPECT_EQ(created, fresh);
    EXPECT_EQ(a, whole.find_or_create_leaf(c));
    EXPECT_EQ(split.find_leaf_in(c, base), a);
    EXPECT_EQ(split.find_leaf(c), a);
    if (fresh) EXPECT_EQ(split.element_at(a).payload, 0);
    split.element_at(a).payload = 7;
  }
  EXPECT_EQ(split.leaf_count(), static_cast<int>(seen.size()));
  EXPECT_EQ(split.find_leaf_in(V3i(1, 1, 1), -1), -1);
}

TEST(NodeBaseCache, CreateAndFindModesMatchPlainLookups) {
  // Create mode on one tree, find_or_create_leaf on a twin tree, in the same
  // order: the same leaves. Then find mode against find_leaf, absent and
  // outside cells included, with one cache for all probes as a task keeps it.
  Octree<int> cached(10), plain(10);
  NodeBaseCache<int, true> create(cached);
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> near(-2, 30), far(990, 1025);
  auto random_cell = [&](int k) {
    return k % 4 == 0 ? V3i(far(rng), near(rng), far(rng)) : V3i(near(rng), near(rng), near(rng));
  };
  for (int k = 0; k < 4000; ++k) {
    const V3i c = random_cell(k);
    ASSERT_EQ(create.leaf(c), plain.find_or_create_leaf(c)) << c.transpose();
  }
  NodeBaseCache<int, false> find(cached);
  for (int k = 0; k < 4000; ++k) {
    const V3i c = random_cell(k) + V3i(k % 3, 0, 0);
    ASSERT_EQ(find.leaf(c), cached.find_leaf(c)) << c.transpose();
    ASSERT_EQ(find.base(c), cached.find_leaf_base(c)) << c.transpose();
  }
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
  NodeBaseCache<int, false> nodes(tree);
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
  TavoAlgorithm::grid::SpinLock<int> lock;
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

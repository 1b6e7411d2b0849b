// Coverage volume lifecycle on the active back end.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

#include "common/voxelGpu/TavoVoxelGpu.h"
#include "gpu_test_buffers.h"

using namespace TavoAlgorithm;
using namespace TavoGPUAlgorithm;
using namespace tavo_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

void mark_blocks(TavoVoxelGpu& v, const std::vector<int>& blocks) {
  std::vector<int> mask = v.download_new_block_mask();
  for (int b : blocks) set_bit(mask, b);
  copy_to_device(v.new_block_mask(), mask.data(), mask.size() * sizeof(int));
}

void see_voxels(TavoVoxelGpu& v, const std::vector<int>& voxels) {
  std::vector<int> mask(v.download_visit_mask().size(), 0);
  for (int c : voxels) set_bit(mask, c);
  copy_to_device(v.visit_mask(), mask.data(), mask.size() * sizeof(int));
  v.save_visit_mask();
}

int count(const std::vector<int>& t, int value) { return static_cast<int>(std::count(t.begin(), t.end(), value)); }

bool all_zero(const std::vector<int>& mask) { return count(mask, 0) == static_cast<int>(mask.size()); }

}  // namespace

TEST(TavoVoxelGpu, FreshVolumeAndBadSizes) {
  TavoVoxelGpu v;
  CaptureStdout();
  v.accept_view();
  v.exclude_all_blocks();
  v.init_voxel(0, 5, 5);
  v.init_voxel(2000, 2000, 2000);
  const std::string out = GetCapturedStdout();
  const std::string notInit = R"(\S*common/voxelGpu/TavoVoxelGpu\.h \d+ Error: TavoVoxelGpu is not init !{16}\n)";
  const std::string badSize = R"(\S* \d+ Error: TavoVoxelGpu bad grid size )";
  EXPECT_TRUE(std::regex_match(out, std::regex("(" + notInit + "){2}" + badSize + "0 5 5\n" + badSize +
                                               "2000 2000 2000\n"))) << out;
  EXPECT_FALSE(v.initialised());
  EXPECT_TRUE(v.download_block_table().empty());

  v.init_voxel(10, 7, 3);
  ASSERT_TRUE(v.initialised());
  EXPECT_EQ(v.block_count(), 3 * 2 * 1);
  EXPECT_EQ(v.download_block_table(), std::vector<int>(6, -1));
  EXPECT_EQ(v.download_visit_mask().size(), 210u / 32 + 1);
  v.store_new_blocks();  // empty new-block mask
  EXPECT_EQ(v.slot_count(), 0);
  EXPECT_EQ(v.download_values(), std::vector<float>{0.f});
}

TEST(TavoVoxelGpu, BoxCornersTruncateToBlocks) {
  TavoVoxelGpu v;
  v.init_voxel(20, 9, 9);  // blocks 6 x 3 x 3
  v.exclude_all_blocks();
  EXPECT_EQ(count(v.download_block_table(), -2), 54);
  const int lo[3] = {7, 0, 4}, hi[3] = {8, 3, 4};
  v.open_block_box(lo, hi);  // voxel 7 is in block 1, voxel 8 in block 2
  const std::vector<int> t = v.download_block_table();
  for (int b = 0; b < 54; ++b) {
    const int bx = b % 6, by = b / 6 % 3, bz = b / 18;
    EXPECT_EQ(t[b], (bx == 1 || bx == 2) && by == 0 && bz == 1 ? -1 : -2) << bx << by << bz;
  }
  // Inverted or fully outside boxes open nothing; boxes past the grid clip.
  const int inv[3] = {9, 0, 0}, outLo[3] = {25, 0, 0}, outHi[3] = {30, 1, 1};
  v.open_block_box(inv, lo);
  v.open_block_box(outLo, outHi);
  EXPECT_EQ(v.download_block_table(), t);
  const int clipLo[3] = {-5, -5, -5}, clipHi[3] = {100, 0, 0};
  v.open_block_box(clipLo, clipHi);
  EXPECT_EQ(count(v.download_block_table(), -1), 6 + 1);
}

TEST(TavoVoxelGpu, StoreGrowsKeepingOldSlotsAndIsIdempotent) {
  TavoVoxelGpu v;
  v.init_voxel(16, 4, 4);  // blocks 5 x 2 x 2
  mark_blocks(v, {1, 3});
  v.store_new_blocks();
  ASSERT_EQ(v.slot_count(), 2);
  const std::vector<int> t = v.download_block_table();
  EXPECT_EQ(std::set<int>({t[1], t[3]}), std::set<int>({0, 1}));
  EXPECT_EQ(v.download_values(), std::vector<float>(128, 1.f));
  // Damp voxel (4,0,0) of block 1, then store again with the same mask.
  see_voxels(v, {4});
  v.damp_seen_voxels();
  const std::vector<float> damped = v.download_values();
  EXPECT_FLOAT_EQ(damped[t[1] * 64], 0.04f);
  v.store_new_blocks();
  EXPECT_EQ(v.slot_count(), 2);
  EXPECT_EQ(v.download_values(), damped);
  EXPECT_EQ(v.download_block_table(), t);

  mark_blocks(v, {0, 19});
  v.store_new_blocks();
  ASSERT_EQ(v.slot_count(), 4);
  const std::vector<int> t2 = v.download_block_table();
  EXPECT_EQ(std::make_pair(t2[1], t2[3]), std::make_pair(t[1], t[3]));
  EXPECT_EQ(std::set<int>({t2[0], t2[19]}), std::set<int>({2, 3}));
  const std::vector<float> grown = v.download_values();
  ASSERT_EQ(grown.size(), 256u);
  EXPECT_TRUE(std::equal(damped.begin(), damped.end(), grown.begin()));
  EXPECT_TRUE(std::all_of(grown.begin() + 128, grown.end(), [](float x) { return x == 1.f; }));
}

TEST(TavoVoxelGpu, AcceptViewStoresDampsAndClearsTheSavedMask) {
  TavoVoxelGpu v;
  v.init_voxel(8, 8, 4);                  // blocks 3 x 3 x 2
  const int seen = (1 * 8 + 2) * 8 + 5;   // voxel (5,2,1), block 1
  const int local = 1 + 4 * 2 + 16 * 1;
  mark_blocks(v, {1});
  see_voxels(v, {seen, 0});  // voxel 0: block 0, never stored
  v.clear_visit_mask();
  EXPECT_TRUE(all_zero(v.download_visit_mask()));
  v.accept_view();
  ASSERT_EQ(v.slot_count(), 1);
  const std::vector<float> values = v.download_values();
  EXPECT_FLOAT_EQ(values[local], 0.04f);
  EXPECT_EQ(std::count(values.begin(), values.end(), 1.f), 63);
  EXPECT_TRUE(all_zero(v.download_saved_visit_mask()));
  EXPECT_EQ(v.download_block_table()[0], -1);
  // Seen again in the next accepted view: 0.04 * 0.04.
  see_voxels(v, {seen});
  v.accept_view();
  EXPECT_FLOAT_EQ(v.download_values()[local], static_cast<float>(static_cast<double>(0.04f) * 0.04));

  v.exclude_all_blocks();
  v.reset_block_values();
  EXPECT_EQ(v.slot_count(), 0);
  EXPECT_EQ(v.download_values(), std::vector<float>{0.f});
  EXPECT_TRUE(all_zero(v.download_new_block_mask()));
  EXPECT_EQ(count(v.download_block_table(), -2), v.block_count());
}

TEST(TavoVoxelGpu, ReopenedStoredBlocksGetFreshSlotsInsideTheStore) {
  TavoVoxelGpu v;
  v.init_voxel(16, 4, 4);  // blocks 5 x 2 x 2
  mark_blocks(v, {1, 3});
  v.store_new_blocks();
  ASSERT_EQ(v.slot_count(), 2);
  const int kept = v.download_block_table()[3];
  // Opening a box over stored block 1 takes its slot away: it counts as unseen
  // again, with its mask bit still set. Then block 7 is seen for the first time.
  const int lo[3] = {4, 0, 0}, hi[3] = {7, 3, 3};
  v.open_block_box(lo, hi);
  ASSERT_EQ(v.download_block_table()[1], -1);
  mark_blocks(v, {7});
  v.store_new_blocks();
  // Both blocks without storage get a slot, and every slot lies in the store.
  const std::vector<int> t = v.download_block_table();
  ASSERT_EQ(v.slot_count(), 4);
  ASSERT_EQ(v.download_values().size(), 4u * 64);
  EXPECT_EQ(t[3], kept);
  EXPECT_EQ(std::set<int>({t[1], t[7]}), std::set<int>({2, 3}));
  for (int s : t) EXPECT_LT(s, v.slot_count());
  // A reopened block starts unseen in its new slot; the others keep theirs.
  const std::vector<float> values = v.download_values();
  EXPECT_TRUE(std::all_of(values.begin() + 64 * t[1], values.begin() + 64 * (t[1] + 1), [](float x) { return x == 1.f; }));
  // Nothing new: the next store changes nothing.
  v.store_new_blocks();
  EXPECT_EQ(v.slot_count(), 4);
  EXPECT_EQ(v.download_block_table(), t);
}

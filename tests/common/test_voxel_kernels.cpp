// Voxel block kernels on the active back end against brute-force counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>

#include "common/gpu/TavoGPUAlgorithm.h"
#include "gpu_test_buffers.h"

using namespace TavoGPUAlgorithm;
using namespace tavo_test;

namespace {

int cells(Dim3i d) { return d.x * d.y * d.z; }

std::vector<int> random_mask(Dim3i d, double density, unsigned seed) {
  std::mt19937 rng(seed);
  std::bernoulli_distribution on(density);
  std::vector<int> mask(mask_words(cells(d)), 0);
  for (int c = 0; c < cells(d); ++c)
    if (on(rng)) set_bit(mask, c);
  return mask;
}

}  // namespace

TEST(VoxelKernels, CountMatchesSetCellsAndIgnoresPaddingBits) {
  const Dim3i d{13, 7, 5};
  std::vector<int> mask = random_mask(d, 0.3, 1);
  int expected = 0;
  for (int c = 0; c < cells(d); ++c) expected += get_bit(mask, c);
  // Bits past the last cell of the final word belong to no cell.
  for (int c = cells(d); c < 32 * static_cast<int>(mask.size()); ++c) set_bit(mask, c);
  auto m = to_device(mask);
  auto counter = to_device(std::vector<int>{0});
  get_float_voxel_size_cuda(m.data(), counter.data(), d);
  ASSERT_TRUE(TAVO_CHECK_GPU());
  EXPECT_EQ(to_host(counter)[0], expected);

  auto zero = to_device(std::vector<int>(mask.size(), 0));
  auto preset = to_device(std::vector<int>{5});
  get_float_voxel_size_cuda(zero.data(), preset.data(), d);
  EXPECT_EQ(to_host(preset)[0], 5);
}

TEST(VoxelKernels, IndexContinuesAfterExistingSlotsWithoutGaps) {
  const Dim3i d{9, 4, 3};
  std::vector<int> table(cells(d), -1);
  table[0] = 0;
  table[5] = 1;
  table[7] = 2;
  table[20] = -2;  // excluded, but negative: a masked one gets a slot too
  std::vector<int> mask(mask_words(cells(d)), 0);
  const std::vector<int> marked = {0, 5, 3, 11, 20, 30, 107};
  for (int c : marked) set_bit(mask, c);
  auto t = to_device(table);
  auto m = to_device(mask);
  auto counter = to_device(std::vector<int>{2});
  set_voxel_index_cuda(t.data(), m.data(), d, counter.data());
  ASSERT_TRUE(TAVO_CHECK_GPU());
  const std::vector<int> out = to_host(t);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[5], 1);
  EXPECT_EQ(out[7], 2);
  std::set<int> fresh;
  for (int c : {3, 11, 20, 30, 107}) fresh.insert(out[c]);
  EXPECT_EQ(fresh, (std::set<int>{3, 4, 5, 6, 7}));
  EXPECT_EQ(to_host(counter)[0], 7);
  for (int c = 0; c < cells(d); ++c)
    if (!get_bit(mask, c)) EXPECT_EQ(out[c], table[c]) << c;
}

TEST(VoxelKernels, IndexUnderContentionIsAPermutation) {
  const Dim3i d{64, 64, 16};
  std::vector<int> mask(mask_words(cells(d)), -1);
  auto t = to_device(std::vector<int>(cells(d), -1));
  auto m = to_device(mask);
  auto counter = to_device(std::vector<int>{-1});
  set_voxel_index_cuda(t.data(), m.data(), d, counter.data());
  std::vector<int> out = to_host(t);
  std::sort(out.begin(), out.end());
  std::vector<int> expected(cells(d));
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(to_host(counter)[0], cells(d) - 1);
}

TEST(VoxelKernels, DampScalesMaskedStoredVoxelsOnly) {
  const Dim3i vd{10, 6, 5};
  const Dim3i bd = block_dims_of(vd);
  ASSERT_EQ(bd.x, 3);
  ASSERT_EQ(bd.y, 2);
  ASSERT_EQ(bd.z, 2);
  std::vector<int> table(cells(bd), -1);
  table[0] = 1;  // block (0,0,0) in slot 1
  table[2] = 0;  // block (2,0,0) in slot 0
  table[3] = -2;
  std::vector<float> values(2 * kVoxelsPerBlock);
  for (size_t i = 0; i < values.size(); ++i) values[i] = 0.5f + 0.01f * static_cast<float>(i);
  std::vector<int> mask = random_mask(vd, 0.5, 7);
  auto t = to_device(table);
  auto m = to_device(mask);
  auto v = to_device(values);
  update_voxel_value_by_bool_cuda(t.data(), m.data(), v.data(), bd, vd);
  update_voxel_value_by_bool_cuda(t.data(), m.data(), v.data(), bd, vd);
  ASSERT_TRUE(TAVO_CHECK_GPU());
  std::vector<float> expected = values;
  for (int z = 0; z < vd.z; ++z)
    for (int y = 0; y < vd.y; ++y)
      for (int x = 0; x < vd.x; ++x) {
        if (!get_bit(mask, (z * vd.y + y) * vd.x + x)) continue;
        const int s = table[((z / 4) * bd.y + y / 4) * bd.x + x / 4];
        if (s < 0) continue;
        float& e = expected[s * 64 + (x % 4) + 4 * (y % 4) + 16 * (z % 4)];
        for (int k = 0; k < 2; ++k) e = static_cast<float>(static_cast<double>(e) * 0.04);
      }
  EXPECT_EQ(to_host(v), expected);
}

TEST(VoxelKernels, BoxClearsExactlyItsEntries) {
  const Dim3i td{5, 4, 3};
  std::vector<int> table(cells(td), -2);
  table[0] = 9;
  auto t = to_device(table);
  const Dim3i origin{1, 1, 0}, box{3, 2, 2};
  set_fourLeaf_by_box_cuda(t.data(), origin, box, td);
  const std::vector<int> out = to_host(t);
  for (int z = 0; z < td.z; ++z)
    for (int y = 0; y < td.y; ++y)
      for (int x = 0; x < td.x; ++x) {
        const bool in = x >= 1 && x < 4 && y >= 1 && y < 3 && z < 2;
        const int L = (z * td.y + y) * td.x + x;
        EXPECT_EQ(out[L], in ? -1 : table[L]) << x << " " << y << " " << z;
      }
  // A box that sticks out of the table writes nothing outside it.
  auto t2 = to_device(std::vector<int>(cells(td), -2));
  set_fourLeaf_by_box_cuda(t2.data(), {4, 3, 2}, {3, 3, 3}, td);
  const std::vector<int> out2 = to_host(t2);
  EXPECT_EQ(std::count(out2.begin(), out2.end(), -1), 1);
  EXPECT_EQ(out2.back(), -1);
}

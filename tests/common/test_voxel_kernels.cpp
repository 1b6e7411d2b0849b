// Voxel block kernels on the active back end against brute-force counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

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
  auto counter = to_device(std::vector<int>{5});  // counts add to what is there
  get_float_voxel_size_cuda(m.data(), counter.data(), d);
  ASSERT_TRUE(TAVO_CHECK_GPU());
  EXPECT_EQ(to_host(counter)[0], 5 + expected);
}

TEST(VoxelKernels, IndexUnderContentionGivesFreshSlotsWithoutGaps) {
  const Dim3i d{64, 64, 16};
  const std::vector<int> mask = random_mask(d, 0.5, 2);
  std::vector<int> table(cells(d), -1);
  std::mt19937 rng(3);
  int stored = 0;
  for (int c = 0; c < cells(d); ++c) {
    const unsigned r = rng() % 64;
    if (r == 0) table[c] = stored++;  // kept, masked or not
    else if (r < 8) table[c] = -2;    // excluded, but negative: a masked one gets a slot too
  }
  auto t = to_device(table);
  auto m = to_device(mask);
  auto counter = to_device(std::vector<int>{stored - 1});
  set_voxel_index_cuda(t.data(), m.data(), d, counter.data());
  ASSERT_TRUE(TAVO_CHECK_GPU());
  const std::vector<int> out = to_host(t);
  std::vector<int> fresh;
  for (int c = 0; c < cells(d); ++c) {
    if (!get_bit(mask, c) || table[c] >= 0) ASSERT_EQ(out[c], table[c]) << c;
    else fresh.push_back(out[c]);
  }
  ASSERT_GT(fresh.size(), 20000u);
  std::sort(fresh.begin(), fresh.end());
  std::vector<int> expected(fresh.size());
  std::iota(expected.begin(), expected.end(), stored);
  EXPECT_EQ(fresh, expected);
  EXPECT_EQ(to_host(counter)[0], stored + static_cast<int>(fresh.size()) - 1);
}

TEST(VoxelKernels, DampScalesMaskedStoredVoxelsOnly) {
  const Dim3i vd{10, 6, 5}, bd = block_dims_of(vd);
  ASSERT_EQ(cells(bd), 3 * 2 * 2);
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
        const int s = table[((z / 4) * bd.y + y / 4) * bd.x + x / 4];
        if (!get_bit(mask, (z * vd.y + y) * vd.x + x) || s < 0) continue;
        float& e = expected[s * 64 + (x % 4) + 4 * (y % 4) + 16 * (z % 4)];
        for (int k = 0; k < 2; ++k) e = static_cast<float>(static_cast<double>(e) * 0.04);
      }
  EXPECT_EQ(to_host(v), expected);
}

TEST(VoxelKernels, BoxClearsExactlyItsEntriesInsideTheTable) {
  const Dim3i td{5, 4, 3};
  // The second box sticks out of the table and writes only its one inside cell.
  for (auto [origin, box] : {std::pair<Dim3i, Dim3i>{{1, 1, 0}, {3, 2, 2}}, {{4, 3, 2}, {3, 3, 3}}}) {
    std::vector<int> table(cells(td), -2);
    table[0] = 9;
    auto t = to_device(table);
    set_fourLeaf_by_box_cuda(t.data(), origin, box, td);
    const std::vector<int> out = to_host(t);
    for (int z = 0; z < td.z; ++z)
      for (int y = 0; y < td.y; ++y)
        for (int x = 0; x < td.x; ++x) {
          const bool in = x >= origin.x && x < origin.x + box.x && y >= origin.y && y < origin.y + box.y &&
                          z >= origin.z && z < origin.z + box.z;
          const int L = (z * td.y + y) * td.x + x;
          EXPECT_EQ(out[L], in ? -1 : table[L]) << x << " " << y << " " << z;
        }
  }
}

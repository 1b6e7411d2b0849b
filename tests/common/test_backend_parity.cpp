// CPU and CUDA back ends on the same inputs, compared cell for cell. Built
// with the CUDA back end; skips where no CUDA device answers, so the
// back-end buffers are device memory.
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <random>

#include "common/gpu/cell_launch.h"
#include "gpu_test_buffers.h"

using namespace TavoGPUAlgorithm;
using namespace tavo_test;

namespace {

class BackendParity : public testing::Test {
 protected:
  void SetUp() override {
    if (!cuda_backend::device_usable()) GTEST_SKIP() << "no CUDA device";
  }
  std::mt19937 rng{11};
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
  template <class T>
  std::vector<T> random(std::size_t n, int lo, int hi) {
    std::vector<T> v(n);
    for (T& x : v) x = static_cast<T>(pick(lo, hi));
    return v;
  }
  std::vector<float> uniform(std::size_t n, float lo, float hi) {
    std::vector<float> v(n);
    for (float& x : v) x = std::uniform_real_distribution<float>(lo, hi)(rng);
    return v;
  }
};

}  // namespace

TEST_F(BackendParity, VoxelKernels) {
  const Dim3i d{37, 21, 9}, bd = block_dims_of(d);
  const int cells = d.x * d.y * d.z;
  std::vector<int> mask = random<int>(mask_words(cells), INT32_MIN, INT32_MAX), counter = {0};
  auto dMask = to_device(mask), dCounter = to_device(counter);
  cpu_backend::run(VoxelCountCell{mask.data(), counter.data(), d});
  cuda_backend::run(VoxelCountCell{dMask.data(), dCounter.data(), d});
  EXPECT_EQ(to_host(dCounter), counter);

  std::vector<int> mixed = random<int>(cells, -2, 3), unslotted = {0};
  auto dMixed = to_device(mixed), dUnslotted = to_device(unslotted);
  cpu_backend::run(UnslottedCountCell{mixed.data(), mask.data(), d, unslotted.data()});
  cuda_backend::run(UnslottedCountCell{dMixed.data(), dMask.data(), d, dUnslotted.data()});
  EXPECT_EQ(to_host(dUnslotted), unslotted);

  std::vector<int> table = random<int>(cells, -2, -1), slots = {-1};
  auto dTable = to_device(table), dSlots = to_device(slots);
  cpu_backend::run(VoxelIndexCell{table.data(), mask.data(), d, slots.data()});
  cuda_backend::run(VoxelIndexCell{dTable.data(), dMask.data(), d, dSlots.data()});
  const std::vector<int> gpuTable = to_host(dTable);
  EXPECT_EQ(to_host(dSlots), slots);
  for (int c = 0; c < cells; ++c) EXPECT_EQ(gpuTable[c] >= 0, table[c] >= 0) << c;  // slot order may differ

  std::vector<int> blocks = random<int>(bd.x * bd.y * bd.z, -2, 40);
  std::vector<float> values = uniform(41 * 64, 0.f, 1.f);
  auto dBlocks = to_device(blocks);
  auto dValues = to_device(values);
  cpu_backend::run(VoxelDampCell{blocks.data(), mask.data(), values.data(), bd, d});
  cuda_backend::run(VoxelDampCell{dBlocks.data(), dMask.data(), dValues.data(), bd, d});
  EXPECT_EQ(to_host(dValues), values);
  cpu_backend::run(BlockBoxOpenCell{blocks.data(), {1, 2, 0}, {5, 3, 2}, bd});
  cuda_backend::run(BlockBoxOpenCell{dBlocks.data(), {1, 2, 0}, {5, 3, 2}, bd});
  EXPECT_EQ(to_host(dBlocks), blocks);
}

TEST_F(BackendParity, PixelKernels) {
  const int w = 160, h = 120, faces = 300;
  std::vector<float> verts = uniform(3 * 3 * faces, -2.f, 18.f);
  std::vector<int> tris(3 * faces);
  for (int i = 0; i < 3 * faces; ++i) tris[i] = i;
  std::vector<std::uint8_t> ids(4 * w * h, 0), weights = random<std::uint8_t>(w * h, 0, 1);
  std::vector<std::uint8_t> gray = random<std::uint8_t>(w * h, 0, 3);
  for (int p = 0; p < w * h; ++p) {
    const int id = pick(0, faces);
    ids[4 * p + 1] = static_cast<std::uint8_t>(id >> 8);
    ids[4 * p + 2] = static_cast<std::uint8_t>(id & 0xff);
  }
  const Dim3i bd = block_dims_of({16, 16, 16});
  const int blockCount = bd.x * bd.y * bd.z;
  std::vector<int> table = random<int>(blockCount, -2, 9), dims = {16, 16, 16};
  std::vector<int> visit(mask_words(4096), 0), fresh(mask_words(blockCount), 0);
  std::vector<float> values = uniform(10 * 64, 0.f, 1.f), origin = {0.f, 0.f, 0.f}, score = {0.f};
  auto dIds = to_device(ids), dWeights = to_device(weights), dGray = to_device(gray);
  auto dVerts = to_device(verts), dOrigin = to_device(origin), dValues = to_device(values);
  auto dScore = to_device(score);
  auto dTris = to_device(tris), dDims = to_device(dims), dTable = to_device(table);
  auto dVisit = to_device(visit), dFresh = to_device(fresh);
  // Ids past the face count are ignored alike.
  cpu_backend::run(PixelScoreCell{ids.data(), weights.data(), w, h, verts.data(), tris.data(), faces - 10, origin.data(),
                                  dims.data(), values.data(), visit.data(), table.data(), fresh.data(), 1.f,
                                  blockCount, score.data()});
  cuda_backend::run(PixelScoreCell{dIds.data(), dWeights.data(), w, h, dVerts.data(), dTris.data(), faces - 10, dOrigin.data(),
                                   dDims.data(), dValues.data(), dVisit.data(), dTable.data(), dFresh.data(), 1.f,
                                   blockCount, dScore.data()});
  EXPECT_NEAR(to_host(dScore)[0], score[0], 1e-4f * score[0]);  // float sums in another order
  EXPECT_EQ(to_host(dVisit), visit);
  EXPECT_EQ(to_host(dFresh), fresh);

  std::vector<char> flags(faces + 1, 0);
  auto dFlags = to_device(flags);
  cpu_backend::run(ScanFidsCell{ids.data(), {w, h}, flags.data(), faces - 10});
  cuda_backend::run(ScanFidsCell{dIds.data(), {w, h}, dFlags.data(), faces - 10});
  EXPECT_EQ(to_host(dFlags), flags);

  std::vector<int> count = {0};
  auto dCount = to_device(count);
  cpu_backend::run(ColorPixelCountCell{gray.data(), {w, h}, count.data()});
  cuda_backend::run(ColorPixelCountCell{dGray.data(), {w, h}, dCount.data()});
  EXPECT_EQ(to_host(dCount), count);

  const int n = 5000, side = 18;
  const std::vector<float> pts = uniform(3 * n, -1.2f, 1.2f), m = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  std::vector<char> pf(n, 0);
  auto dPts = to_device(pts), dM = to_device(m);
  auto dPf = to_device(pf);
  cpu_backend::run(OverlapPointCell{pts.data(), m.data(), pf.data(), gray.data(), n, {w, h}, side});
  cuda_backend::run(OverlapPointCell{dPts.data(), dM.data(), dPf.data(), dGray.data(), n, {w, h}, side});
  EXPECT_EQ(to_host(dPf), pf);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

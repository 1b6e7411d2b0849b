// CPU and CUDA back ends on the same inputs, compared cell for cell. Built
// with the CUDA back end; skips where no CUDA device answers.
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <random>

#include "common/gpu/cell_launch.h"

using namespace TavoGPUAlgorithm;

namespace {

// A device copy of a host vector, freed with the object.
template <class T>
struct Dev {
  T* p = nullptr;
  std::size_t n = 0;
  explicit Dev(const std::vector<T>& h) : n(h.size()) {
    cudaMalloc(&p, n * sizeof(T));
    cudaMemcpy(p, h.data(), n * sizeof(T), cudaMemcpyHostToDevice);
  }
  ~Dev() { cudaFree(p); }
  std::vector<T> host() const {
    std::vector<T> h(n);
    cudaMemcpy(h.data(), p, n * sizeof(T), cudaMemcpyDeviceToHost);
    return h;
  }
};

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
  Dev<int> dMask(mask), dCounter(counter);
  cpu_backend::run(VoxelCountCell{mask.data(), counter.data(), d});
  cuda_backend::run(VoxelCountCell{dMask.p, dCounter.p, d});
  EXPECT_EQ(dCounter.host(), counter);

  std::vector<int> table = random<int>(cells, -2, -1), slots = {-1};
  Dev<int> dTable(table), dSlots(slots);
  cpu_backend::run(VoxelIndexCell{table.data(), mask.data(), d, slots.data()});
  cuda_backend::run(VoxelIndexCell{dTable.p, dMask.p, d, dSlots.p});
  const std::vector<int> gpuTable = dTable.host();
  EXPECT_EQ(dSlots.host(), slots);
  for (int c = 0; c < cells; ++c) EXPECT_EQ(gpuTable[c] >= 0, table[c] >= 0) << c;  // slot order may differ

  std::vector<int> blocks = random<int>(bd.x * bd.y * bd.z, -2, 40);
  std::vector<float> values = uniform(41 * 64, 0.f, 1.f);
  Dev<int> dBlocks(blocks);
  Dev<float> dValues(values);
  cpu_backend::run(VoxelDampCell{blocks.data(), mask.data(), values.data(), bd, d});
  cuda_backend::run(VoxelDampCell{dBlocks.p, dMask.p, dValues.p, bd, d});
  EXPECT_EQ(dValues.host(), values);
  cpu_backend::run(BlockBoxOpenCell{blocks.data(), {1, 2, 0}, {5, 3, 2}, bd});
  cuda_backend::run(BlockBoxOpenCell{dBlocks.p, {1, 2, 0}, {5, 3, 2}, bd});
  EXPECT_EQ(dBlocks.host(), blocks);
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
  Dev<std::uint8_t> dIds(ids), dWeights(weights), dGray(gray);
  Dev<float> dVerts(verts), dOrigin(origin), dValues(values), dScore(score);
  Dev<int> dTris(tris), dDims(dims), dTable(table), dVisit(visit), dFresh(fresh);
  cpu_backend::run(PixelScoreCell{ids.data(), weights.data(), w, h, verts.data(), tris.data(), origin.data(),
                                  dims.data(), values.data(), visit.data(), table.data(), fresh.data(), 1.f,
                                  blockCount, score.data()});
  cuda_backend::run(PixelScoreCell{dIds.p, dWeights.p, w, h, dVerts.p, dTris.p, dOrigin.p, dDims.p, dValues.p,
                                   dVisit.p, dTable.p, dFresh.p, 1.f, blockCount, dScore.p});
  EXPECT_NEAR(dScore.host()[0], score[0], 1e-4f * score[0]);  // float sums in another order
  EXPECT_EQ(dVisit.host(), visit);
  EXPECT_EQ(dFresh.host(), fresh);

  std::vector<char> flags(faces + 1, 0);
  Dev<char> dFlags(flags);
  cpu_backend::run(ScanFidsCell{ids.data(), {w, h}, flags.data(), faces - 10});
  cuda_backend::run(ScanFidsCell{dIds.p, {w, h}, dFlags.p, faces - 10});
  EXPECT_EQ(dFlags.host(), flags);

  std::vector<int> count = {0};
  Dev<int> dCount(count);
  cpu_backend::run(ColorPixelCountCell{gray.data(), {w, h}, count.data()});
  cuda_backend::run(ColorPixelCountCell{dGray.p, {w, h}, dCount.p});
  EXPECT_EQ(dCount.host(), count);

  const int n = 5000, side = 18;
  const std::vector<float> pts = uniform(3 * n, -1.2f, 1.2f), m = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  std::vector<char> pf(n, 0);
  Dev<float> dPts(pts), dM(m);
  Dev<char> dPf(pf);
  cpu_backend::run(OverlapPointCell{pts.data(), m.data(), pf.data(), gray.data(), n, {w, h}, side});
  cuda_backend::run(OverlapPointCell{dPts.p, dM.p, dPf.p, dGray.p, n, {w, h}, side});
  EXPECT_EQ(dPf.host(), pf);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

// Voxel block and image kernels on the active back end against brute-force
// counts and hand-computed scores.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <random>

#include "common/gpu/TavoGPUAlgorithm.h"
#include "gpu_test_buffers.h"

using namespace TavoGPUAlgorithm;
using namespace tavo_test;

namespace {

int cells(Dim3i d) { return d.x * d.y * d.z; }

bool all_zero(const std::vector<int>& v) { return std::all_of(v.begin(), v.end(), [](int x) { return x == 0; }); }

std::array<std::uint8_t, 4> id_pixel(unsigned face) {  // RGBA of face id + 1
  const unsigned id = face + 1;
  return {static_cast<std::uint8_t>((id >> 16) & 0xff), static_cast<std::uint8_t>((id >> 8) & 0xff),
          static_cast<std::uint8_t>(id & 0xff), static_cast<std::uint8_t>((id >> 24) & 0xff)};
}

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
  auto m = to_device(mask), counter = to_device(std::vector<int>{5});  // counts add to what is there
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
  auto t = to_device(table), m = to_device(mask), counter = to_device(std::vector<int>{stored - 1});
  auto unslotted = to_device(std::vector<int>{0});
  get_unslotted_count_cuda(t.data(), m.data(), d, unslotted.data());
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
  EXPECT_EQ(to_host(unslotted)[0], static_cast<int>(fresh.size()));  // counted ahead, exactly
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
  auto t = to_device(table), m = to_device(mask);
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

namespace {

// Grid 8^3 at the origin with unit voxels: block 0 stored in slot 0, block 1
// (x 4..7) counting without storage, block 3 (y 4..7) excluded.
struct ScoringScene {
  std::vector<float> vertices;
  std::vector<int> faces;
  std::vector<int> table = std::vector<int>(27, -1);
  std::vector<float> values = std::vector<float>(64, 1.f);
  int width = 6, height = 2;
  std::vector<std::uint8_t> ids = std::vector<std::uint8_t>(4 * 12, 0);
  std::vector<std::uint8_t> weights = std::vector<std::uint8_t>(12, 0);

  void paint(int pixel, unsigned face, std::uint8_t weight) {
    const auto px = id_pixel(face);
    std::copy(px.begin(), px.end(), ids.begin() + 4 * pixel);
    weights[pixel] = weight;
  }

  ScoringScene() {
    table[0] = 0;
    table[3] = -2;
    values[1 + 4 * 2 + 16 * 3] = 0.25f;  // voxel (1,2,3)
    values[0] = 0.75f;                   // voxel (0,0,0)
    // Degenerate faces along x, centred on: 0 stored voxel (1,2,3), 1 block 1
    // without storage, 2 the excluded block, 3 outside the grid, 4 truncating to voxel 0.
    for (auto [x, y, z] : {std::array<float, 3>{1.5f, 2.5f, 3.5f}, {5.5f, 0.5f, 0.5f}, {0.5f, 5.5f, 0.5f},
                           {9.0f, 0.5f, 0.5f}, {-0.5f, 0.5f, 0.5f}}) {
      const int base = static_cast<int>(vertices.size() / 3);
      for (float dx : {-1.f, 0.f, 1.f}) vertices.insert(vertices.end(), {x + dx, y, z});
      faces.insert(faces.end(), {base, base + 1, base + 2});
    }
    const std::pair<unsigned, std::uint8_t> pixels[] = {{0, 0}, {0, 255}, {1, 0}, {1, 1}, {2, 0}, {3, 0}, {4, 0}};
    for (int p = 0; p < 7; ++p) paint(p, pixels[p].first, pixels[p].second);
    ids[4 * 7 + 3] = 1;  // alpha only: no face for scoring
  }
};

struct ScoreResult {
  float score;
  std::vector<int> visit, newBlocks;
};

ScoreResult score(const ScoringScene& s, bool full, int faceCount = -1) {
  if (faceCount < 0) faceCount = static_cast<int>(s.faces.size() / 3);
  auto ids = to_device(s.ids), weights = to_device(s.weights);
  auto verts = to_device(s.vertices), origin = to_device(std::vector<float>(3, 0.f)), values = to_device(s.values);
  auto result = to_device(std::vector<float>{0.f});
  auto faces = to_device(s.faces), dims = to_device(std::vector<int>(3, 8)), table = to_device(s.table);
  auto visit = to_device(std::vector<int>(mask_words(512), 0));
  auto newBlocks = to_device(std::vector<int>(mask_words(27), 0));
  if (full)
    get_pixel_evaluates_cuda(ids.data(), weights.data(), s.width, s.height, verts.data(), faces.data(),
                             faceCount, nullptr, origin.data(), dims.data(), nullptr, values.data(), visit.data(),
                             table.data(), newBlocks.data(), 1.0f, 27, result.data());
  else
    get_pixel_evaluates_cuda_simple(ids.data(), weights.data(), s.width, s.height, verts.data(),
                                    faces.data(), faceCount, origin.data(), dims.data(), values.data(),
                                    table.data(), newBlocks.data(), 1.0f, 27, result.data());
  EXPECT_TRUE(TAVO_CHECK_GPU());
  return {to_host(result)[0], to_host(visit), to_host(newBlocks)};
}

}  // namespace

TEST(PixelKernels, ViewScoreWeighsVoxelValuesAndMarksWhatItSees) {
  const ScoringScene scene;
  // 0.1 * 0.25 + 1.0 * 0.25 + 0.1 + 1.0 (block without storage) + 0.1 * 0.75
  for (bool full : {true, false}) {
    const ScoreResult r = score(scene, full);
    EXPECT_NEAR(r.score, 1.45f, 1e-6f) << full;
    EXPECT_EQ(r.newBlocks[0], 1 << 1) << full;
    std::vector<int> visit(mask_words(512), 0);
    if (full)
      for (int cell : {(3 * 8 + 2) * 8 + 1, 5, 0}) set_bit(visit, cell);
    EXPECT_EQ(r.visit, visit) << full;
  }
  // A black image scores and marks nothing, whatever its weights.
  ScoringScene black;
  std::fill(black.ids.begin(), black.ids.end(), 0);
  std::fill(black.weights.begin(), black.weights.end(), 255);
  const ScoreResult r = score(black, true);
  EXPECT_TRUE(r.score == 0.f && all_zero(r.visit) && all_zero(r.newBlocks));
  // Many pixels on one voxel accumulate atomically; whole numbers stay exact.
  ScoringScene many;
  many.width = many.height = 256;
  many.ids.assign(4 * 256 * 256, 0);
  many.weights.assign(256 * 256, 1);
  for (int p = 0; p < 256 * 256; ++p) many.paint(p, 1, 1);
  EXPECT_EQ(score(many, true).score, 65536.f);
}

TEST(PixelKernels, FaceIdsBeyondTheFaceCountAreIgnored) {
  // A stale image may name faces that the uploaded mesh no longer has: a face
  // kept in the buffer past the count, and one far past the buffer's end.
  ScoringScene scene;
  const int faces = static_cast<int>(scene.faces.size() / 3);
  scene.faces.insert(scene.faces.end(), {0, 1, 2});  // on the stored voxel (1,2,3)
  scene.width = 8;
  scene.ids.resize(4 * 16, 0);
  scene.weights.resize(16, 0);
  scene.paint(8, static_cast<unsigned>(faces), 255);
  scene.paint(9, 0xfffffeu, 255);
  for (bool full : {true, false}) {
    const ScoreResult r = score(scene, full, faces);
    EXPECT_NEAR(r.score, 1.45f, 1e-6f) << full;
    EXPECT_EQ(r.newBlocks[0], 1 << 1) << full;
  }
  EXPECT_NEAR(score(scene, true).score, 1.45f + 1.0f * 0.25f, 1e-6f);  // counted once it is a face
}

TEST(PixelKernels, OverlapFlagsPointsInFrontOfTheDepthMap) {
  const Dim2i size{4, 4};
  std::vector<std::uint8_t> depth(16);
  for (int p = 0; p < 16; ++p) depth[p] = static_cast<std::uint8_t>(p * 16);
  const std::vector<float> identity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  // Pixel (1, 2) holds 144; window x 0.375 and y 0.625 land there.
  const float x = -0.25f, y = 0.25f;
  auto zFor = [](float byte) { return 2.f * (byte + 0.5f) / 255.f - 1.f; };
  const std::vector<float> points = {
      x, y, zFor(140),      // 0: in front: flagged
      x, y, zFor(150),      // 1: behind
      x, y, zFor(144),      // 2: on the surface: not strictly in front
      x, y, 1.0f,           // 3: far plane, depth 255
      1.5f, y, zFor(10),    // 4: outside the viewport
      x, y, -3.0f,          // 5: before the near plane: depth 0
      x, y, zFor(150),      // 6: already flagged
      -1.f, -1.f, zFor(1),  // 7: pixel (0, 0) holds 0: nothing is in front
  };
  std::vector<char> flags(8, 0);
  flags[6] = 1;
  const int n = 8, side = static_cast<int>(std::cbrt(static_cast<double>(n)) + 1);
  auto p = to_device(points), m = to_device(identity);
  auto f = to_device(flags);
  auto d = to_device(depth);
  remove_overlap_cuda(p.data(), m.data(), f.data(), d.data(), n, size, side);
  EXPECT_EQ(to_host(f), (std::vector<char>{1, 0, 0, 0, 0, 1, 1, 0}));
}

TEST(PixelKernels, PixelCountsSeenFacesAndEveryThread) {
  std::vector<std::uint8_t> gray(7 * 5, 0);
  for (int p : {0, 3, 17, 34}) gray[p] = static_cast<std::uint8_t>(p + 1);
  auto g = to_device(gray);
  auto counter = to_device(std::vector<int>{0});
  get_color_pixel_num_cuda(g.data(), {7, 5}, counter.data());
  EXPECT_EQ(to_host(counter)[0], 4);

  std::vector<std::uint8_t> ids(4 * 6, 0);
  // Faces 0 and 2; id 4 is past the face count; an alpha-only pixel is id 2^24.
  const std::array<std::uint8_t, 4> px[] = {id_pixel(0), id_pixel(2), id_pixel(3), {0, 0, 0, 1}};
  for (int p = 0; p < 4; ++p) std::copy(px[p].begin(), px[p].end(), ids.begin() + 4 * p);
  auto i = to_device(ids);
  auto flags = to_device(std::vector<char>(3, 0));
  get_scan_fids_cuda(i.data(), {3, 2}, flags.data(), 3);
  EXPECT_EQ(to_host(flags), (std::vector<char>{1, 0, 1}));

  // With enough faces the alpha-only pixel counts as one.
  const int manyFaces = (1 << 24) + 1;
  auto many = to_device(std::vector<char>(manyFaces, 0));
  get_scan_fids_cuda(i.data(), {3, 2}, many.data(), manyFaces);
  const std::vector<char> out = to_host(many);
  EXPECT_EQ(out[(1 << 24) - 1], 1);
  EXPECT_EQ(out[0] + out[2] + out[3], 3);
  EXPECT_EQ(std::count(out.begin(), out.end(), 1), 4);

  auto threads = to_device(std::vector<int>{0});
  sampleTest_Gpu(threads.data());
  ASSERT_TRUE(TAVO_CHECK_GPU());
  EXPECT_EQ(to_host(threads)[0], 4096);
}

// Every row of a large image shows the same face: the workers of the CPU
// path all set one flag byte (a data race under ThreadSanitizer unless
// the store is atomic).
TEST(PixelKernels, ManyWorkersFlagOneFaceTogether) {
  const int w = 64, h = 512;
  std::vector<std::uint8_t> ids(4 * w * h);
  for (int p = 0; p < w * h; ++p) {
    const auto px = id_pixel(p % 2);
    std::copy(px.begin(), px.end(), ids.begin() + 4 * p);
  }
  auto i = to_device(ids);
  auto flags = to_device(std::vector<char>(3, 0));
  get_scan_fids_cuda(i.data(), {w, h}, flags.data(), 3);
  EXPECT_EQ(to_host(flags), (std::vector<char>{1, 1, 0}));
}

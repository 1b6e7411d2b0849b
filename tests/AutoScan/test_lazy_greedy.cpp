// Lazy greedy selection against scoring every candidate exactly, over rounds.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "SceneMeshes.h"
#include "gl_test_context.h"
#include "render_scene.h"

using namespace TavoAlgorithm;
using namespace tavo_test;
using Eigen::Vector3f;

namespace {
constexpr float kSumTolerance = 3e-3f;
}

TEST(EmulateBinHelper, LazyGreedyPicksTheExactBestAndDampsWhatItSaw) {
  TAVO_REQUIRE_GL_CONTEXT();
  BaseTriMesh mesh;
  sim::add_uv_sphere(mesh, Vector3f::Zero(), 30.f, 24, 12);
  sim::add_box(mesh, {0, 0, -40}, {50, 50, 2});  // a base that is no hole
  const int sphereFaces = 2 * 24 * 11;
  std::vector<int> mask = hole_mask(sphereFaces);
  mask.resize(mesh.get_fn() / 32 + 1, 0);

  // 50 candidates on a sphere of radius 280; both cameras of a pair coincide,
  // so the cheap bound and the exact score render the same images.
  const int n = 50;
  std::vector<float> eyes, centers, ups, weights;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> w(0.5f, 1.f);
  for (int i = 0; i < n; ++i) {
    const double z = 1.0 - 1.9 * (i + 0.5) / n, phi = 2.39996 * i;
    const double s = std::sqrt(1.0 - z * z);
    const Vector3f eye = 280.f * Vector3f(float(s * std::cos(phi)), float(s * std::sin(phi)), float(z));
    const Vector3f up = std::abs(z) > 0.9 ? Vector3f(1, 0, 0) : Vector3f(0, 0, 1);
    for (int c = 0; c < 3; ++c) {
      eyes.insert(eyes.end(), {eye.x(), eye.y(), eye.z()});
      centers.insert(centers.end(), {0.f, 0.f, 0.f});
      ups.insert(ups.end(), {up.x(), up.y(), up.z()});
    }
    weights.push_back(w(rng));
  }
  EmulateBinHelper r(2.0);
  std::string err;
  ASSERT_TRUE(r.init_opengl(err)) << err;
  ASSERT_TRUE(r.set_scan_poses(eyes, centers, ups, {0.5f, 0.5f}, err)) << err;
  r.set_pose_weights(weights);
  ASSERT_EQ(r.set_scoring_mesh(mesh, mask), RETVAL_SUCCESS);
  r.set_mesh_box();

  auto camera = [&](int i) {
    const int o = 9 * i;
    return EmulateBinHelper::GLView{{eyes[o], eyes[o + 1], eyes[o + 2]},
                                    {centers[o], centers[o + 1], centers[o + 2]},
                                    {ups[o], ups[o + 1], ups[o + 2]}};
  };
  std::vector<int> chosenSoFar;
  for (int round = 0; round < 3; ++round) {
    std::vector<float> results;
    const int chosen = r.select_best_candidate(results);
    ASSERT_EQ(results.size(), static_cast<size_t>(n));
    EXPECT_TRUE(r.candidate_used(chosen));
    for (int c : chosenSoFar) EXPECT_NE(chosen, c);
    const std::vector<int> saved = r.voxels().download_saved_visit_mask();
    const std::vector<int> tableBefore = r.voxels().download_block_table();
    const std::vector<float> valuesBefore = r.voxels().download_values();

    // Scoring every unused candidate exactly (marks the same blocks as new).
    float best = -1.f, chosenExact = -1.f;
    for (int i = 0; i < n; ++i) {
      bool used = false;
      for (int c : chosenSoFar) used |= c == i;
      if (used) continue;
      const float s = weights[i] * r.score_view_pair(camera(i), camera(i), false, false);
      best = std::max(best, s);
      if (i == chosen) chosenExact = s;
    }
    ASSERT_GT(best, 0.f);
    // Scores are float sums in atomic (unordered) order; once damped values of
    // 0.04^k meet sums of thousands, repeated scores of one view differ by up
    // to about 0.1 per cent.
    EXPECT_GE(chosenExact, best * (1.f - kSumTolerance)) << "round " << round << " chose " << chosen;
    EXPECT_NEAR(results[chosen], chosenExact, kSumTolerance * chosenExact);

    r.accept_view();
    const TavoVoxelGpu& v = r.voxels();
    const std::vector<int> table = v.download_block_table();
    const std::vector<float> values = v.download_values();
    const auto d = v.voxel_dims();
    const auto bd = v.block_dims();
    int damped = 0;
    for (int z = 0; z < d.z; ++z)
      for (int y = 0; y < d.y; ++y)
        for (int x = 0; x < d.x; ++x) {
          const int cell = (z * d.y + y) * d.x + x;
          if (!((static_cast<unsigned>(saved[cell / 32]) >> (cell % 32)) & 1u)) continue;
          const int b = ((z / 4) * bd.y + y / 4) * bd.x + x / 4;
          ASSERT_GE(table[b], 0);
          const int local = (x % 4) + 4 * (y % 4) + 16 * (z % 4);
          const float before = tableBefore[b] >= 0 ? valuesBefore[tableBefore[b] * 64 + local] : 1.f;
          EXPECT_FLOAT_EQ(values[table[b] * 64 + local], static_cast<float>(before * 0.04));
          ++damped;
        }
    EXPECT_GT(damped, 0);
    chosenSoFar.push_back(chosen);
  }
}

// The frame corrupter: what it records is exactly what it changed.
#include <gtest/gtest.h>

#include "FrameCorrupter.h"
#include "RangeSimulator.h"

using namespace TavoAlgorithm;

TEST(FrameCorrupter, RecordsEveryInjectedPointAndNothingElse) {
  sim::Scene s;
  s.spheres.push_back({Eigen::Vector3f::Zero(), 1.f});
  sim::Camera cam;
  cam.pose = sim::look_at({0, 0, 3}, Eigen::Vector3f::Zero());
  const RangeData original = sim::render_range_frame(s, cam);
  RangeData f = original;
  sim::CorruptionOptions o;
  o.flyingMin = 0.1f;
  o.flyingMax = 0.3f;
  o.spikes = 40;
  o.spikeMin = 0.05f;
  o.spikeMax = 0.2f;
  o.patchRadius = 3;
  o.patchOffset = 0.1f;
  const auto injected = sim::corrupt_frame(f, o);
  ASSERT_EQ(f.get_rows(), original.get_rows());

  std::vector<char> rec(static_cast<std::size_t>(f.get_rows() * f.get_cols()), 0);
  int kinds[4] = {0, 0, 0, 0};
  for (const auto& p : injected) {
    EXPECT_EQ(rec[p.row * f.get_cols() + p.col], 0) << "cell recorded twice";
    rec[p.row * f.get_cols() + p.col] = 1;
    ++kinds[static_cast<int>(p.kind)];
  }
  EXPECT_GT(kinds[0], 10);
  EXPECT_EQ(kinds[1], 20);
  EXPECT_EQ(kinds[2], 20);
  EXPECT_GT(kinds[3], 20);

  int moved = 0;
  for (int r = 0; r < f.get_rows(); ++r)
    for (int c = 0; c < f.get_cols(); ++c) {
      const int a = original.get_cellVertex(r, c), b = f.get_cellVertex(r, c);
      const bool was = a >= 0, is = b >= 0;
      if (!was && !is) continue;
      const bool changed = was != is || (f.get_vCoord(b) - original.get_vCoord(a)).norm() > 1e-6f;
      EXPECT_EQ(changed, rec[r * f.get_cols() + c] != 0) << r << "," << c;
      moved += changed;
      if (!changed) continue;
      // Every injected point lies on the viewing ray of a point of the frame.
      const Eigen::Vector3f p = f.get_vCoord(b);
      EXPECT_TRUE(p.allFinite());
    }
  EXPECT_EQ(moved, static_cast<int>(injected.size()));
  EXPECT_EQ(f.get_vn(), original.get_vn() + kinds[0]);
  // Spikes in front are nearer the camera than the surface, those behind farther.
  for (const auto& p : injected) {
    if (p.kind != sim::Injected::SpikeFront && p.kind != sim::Injected::SpikeBehind) continue;
    const float before = original.get_vCoord(original.get_cellVertex(p.row, p.col)).norm();
    const float after = f.get_vCoord(f.get_cellVertex(p.row, p.col)).norm();
    EXPECT_EQ(after < before, p.kind == sim::Injected::SpikeFront);
  }
  // Reproducible per seed; a frame without a grid is left alone.
  RangeData again = original;
  EXPECT_EQ(sim::corrupt_frame(again, o).size(), injected.size());
  RangeData empty;
  EXPECT_TRUE(sim::corrupt_frame(empty, o).empty());
}

// RemoveBadVertHelper: messages and results on bad input, the flag contract
// of send_rangeData, and removal of injected spikes on simulated sphere
// frames scored against the analytic sphere; a late deletion leaving the
// fused model.
#include <gtest/gtest.h>

#include <iostream>

#include "FrameCorrupter.h"
#include "FusionMeshHelper.h"
#include "RangeSimulator.h"
#include "RemoveBadVertHelper.h"
#include "fusion/TsdfVolume.h"
#include "gl_test_context.h"

using namespace TavoAlgorithm;

namespace {

constexpr float kRadius = 50.f;

sim::Scene sphere() {
  sim::Scene s;
  s.spheres.push_back({Eigen::Vector3f::Zero(), kRadius});
  return s;
}

// A simulated frame (camera looking down -z) re-expressed for a camera
// looking down +z with image y down: rotated half a turn about x.
RangeData camera_frame(float angle) {
  sim::Camera cam;
  const Eigen::Vector3f eye(300.f * std::cos(angle), 0.f, 300.f * std::sin(angle));
  cam.pose = sim::look_at(eye, Eigen::Vector3f::Zero());
  RangeData f = sim::render_range_frame(sphere(), cam);
  const Eigen::Matrix3f flip = Eigen::Vector3f(1.f, -1.f, -1.f).asDiagonal();
  for (int i = 0; i < f.get_vn(); ++i) {
    f.set_vCoord(i, flip * f.get_vCoord(i));
    if (f.has_vNormal()) f.set_vNrv(i, flip * f.get_vNrv(i));
  }
  f.set_rigidMatrix(f.get_rigidMatrix() * RigidMatrix(flip.cast<double>(), Eigen::Vector3d::Zero()));
  f.set_sensorDir({0.f, 0.f, -1.f});
  return f;
}

std::string captured(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

// The point where the ray from eye through p meets the sphere, when p lies
// more than `margin` in front of it (at a view angle below 70 deg).
bool sphere_behind(const Eigen::Vector3f& eye, const Eigen::Vector3f& p, float margin, Eigen::Vector3f& hit) {
  const Eigen::Vector3f d = (p - eye).normalized();
  float t;
  Eigen::Vector3f n;
  if (!sphere().intersect(eye, d, t, n)) return false;
  hit = eye + t * d;
  return std::fabs(n.dot(d)) > std::cos(70.f * 3.14159265f / 180.f) && t > (p - eye).norm() + margin;
}

// Whether frame f shows the surface at world point s: the four corners of
// the grid cell that s falls in (the simulator's camera, flipped as above)
// all survived the strict cleaning (flag 4), so the cell is drawn. Where the
// frame's own outliers were cleaned away, with the band around their holes,
// it shows nothing.
bool shows(const RangeData& f, const Eigen::Vector3f& s) {
  const sim::Camera cam;
  const Eigen::Vector3f q = f.get_rigidMatrix().inverse() * s;
  if (!(q.z() > 0.f)) return false;
  const int c = static_cast<int>(std::floor(cam.cx + cam.fx * q.x() / q.z()));
  const int r = static_cast<int>(std::floor(cam.cy + cam.fy * q.y() / q.z()));
  if (r < 0 || c < 0 || r + 1 >= f.get_rows() || c + 1 >= f.get_cols()) return false;
  for (int rr = r; rr <= r + 1; ++rr)
    for (int cc = c; cc <= c + 1; ++cc) {
      const int w = f.get_cellVertex(rr, cc);
      if (w < 0 || (f.get_vFlag(w) & 4) == 0) return false;
    }
  return true;
}

// Spikes alone, 6 to 8.5 in front of or behind the surface: below the
// in-place cleaning's spike factor, so they stay to be tested.
sim::CorruptionOptions spikes_only(int spikes, unsigned seed) {
  sim::CorruptionOptions o;
  o.flyingShare = 0.f;
  o.patchRadius = 0;
  o.spikes = spikes;
  o.spikeMin = 6.f;
  o.spikeMax = 8.5f;
  o.seed = seed;
  return o;
}

struct Scored {
  // Injected points in front of the sphere as another camera sees it, and
  // those of them in front of what that camera's frame shows.
  int injectedFront = 0, injectedFrontRemoved = 0, shownFront = 0, shownFrontRemoved = 0;
  int real = 0, realRemoved = 0;
};

}  // namespace

TEST(RemoveBadVertHelper, BadInputGetsItsMessagesAndResults) {
  RemoveBadVertHelper h;
  RangeData f = camera_frame(0.f);
  const int before = f.get_vn();
  bool r = true;
  EXPECT_NE(captured([&] { r = h.send_rangeData(nullptr, RigidMatrix()); }).find(" Error: rge is empty !"),
            std::string::npos);
  EXPECT_FALSE(r);
  EXPECT_NE(captured([&] { r = h.send_rangeData(&f, RigidMatrix()); }).find(" Error: need init renderer !"),
            std::string::npos);
  EXPECT_FALSE(r);
  EXPECT_EQ(h.frame_count(), 0);
  EXPECT_LE(f.get_vn(), before);  // cleaned all the same

  RangeData a = camera_frame(0.f), b = camera_frame(1.f), c = camera_frame(2.f);
  const std::string out = captured([&] { r = h.send_rangeData({&a, &b, &c}, {RigidMatrix(), RigidMatrix()}); });
  EXPECT_NE(out.find(" Error: rangdata size != dRts size! "), std::string::npos);
  EXPECT_FALSE(r);
  EXPECT_EQ(h.frame_count(), 0);
  // A batch of failing frames is reported frame by frame and still succeeds.
  const std::string warn = captured([&] { r = h.send_rangeData({nullptr, &a}, {RigidMatrix(), RigidMatrix()}); });
  EXPECT_TRUE(r);
  EXPECT_NE(warn.find(" Warning: number:  0   rge, send failed!"), std::string::npos);
  EXPECT_NE(warn.find(" Warning: number:  1   rge, send failed!"), std::string::npos);
  EXPECT_TRUE(h.send_rangeData(std::vector<RangeData*>{}, std::vector<RigidMatrix>{}));
  h.run();  // nothing sent: nothing to do
  EXPECT_TRUE(h.clear_all());
  h.delete_long_edge(nullptr);
}

TEST(RemoveBadVertHelper, OneFrameIsFlaggedAndNeverDeleted) {
  TAVO_REQUIRE_GL_CONTEXT();
  RemoveBadVertHelper h;
  ASSERT_TRUE(h.init_render());
  ASSERT_TRUE(h.init_render());  // once is enough
  h.set_render_camera(200.0, 0.6, 400.0);

  // One frame: every vertex kept (4) or dropped (2), never both; run alone
  // deletes nothing.
  RangeData single = camera_frame(0.f);
  for (int i = 0; i < single.get_vn(); ++i) single.set_vFlag(i, 0);
  ASSERT_TRUE(h.send_rangeData(&single, RigidMatrix()));
  int kept = 0;
  for (int i = 0; i < single.get_vn(); ++i) {
    const int f = single.get_vFlag(i) & 6;
    EXPECT_TRUE(f == 4 || f == 2) << i;
    kept += f == 4;
  }
  EXPECT_GT(kept, single.get_vn() / 2);
  h.run();
  for (int i = 0; i < single.get_vn(); ++i) EXPECT_FALSE(single.get_vDeleted(i));
  EXPECT_TRUE(h.clear_all());
  EXPECT_EQ(h.processed_count(), 0);
  EXPECT_EQ(h.frame_count(), 0);
}

// Spikes count as in front of another frame where that frame shows the
// surface behind them: each frame's own cleaned spikes leave holes (with the
// boundary band around them) through which nothing can be contradicted.
TEST(RemoveBadVertHelper, RemovesSpikesInFrontOfOtherFramesOnly) {
  TAVO_REQUIRE_GL_CONTEXT();
  RemoveBadVertHelper h;
  ASSERT_TRUE(h.init_render());
  h.set_render_camera(200.0, 0.6, 400.0);

  // Frames 0 and 2 face each other's side of the sphere (0 and 180 deg);
  // frame 1 (35 deg) arrives later and sees what frame 0 sees.
  std::vector<RangeData> frames = {camera_frame(0.f), camera_frame(3.14159265f), camera_frame(0.6f)};
  std::vector<std::vector<sim::InjectedPoint>> injected;
  std::vector<std::vector<Eigen::Vector3f>> injectedAt;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    injected.push_back(sim::corrupt_frame(frames[i], spikes_only(300, 11 + static_cast<unsigned>(i))));
  }
  std::vector<Eigen::Vector3f> eyes;
  for (const RangeData& f : frames) eyes.push_back(f.get_rigidMatrix() * Eigen::Vector3f(0, 0, 0));
  // Injected cells and their world positions, read before the frames are cleaned.
  std::vector<std::vector<char>> isInjected(frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    isInjected[i].assign(static_cast<std::size_t>(frames[i].get_rows() * frames[i].get_cols()), 0);
    injectedAt.emplace_back();
    for (const auto& p : injected[i]) {
      isInjected[i][p.row * frames[i].get_cols() + p.col] = p.kind == sim::Injected::SpikeFront ? 1 : 2;
      injectedAt[i].push_back(frames[i].get_rigidMatrix() * frames[i].get_vCoord(frames[i].get_cellVertex(p.row, p.col)));
    }
  }
  auto score = [&](std::size_t i, const std::vector<std::size_t>& others) {
    Scored s;
    RangeData& f = frames[i];
    for (std::size_t k = 0; k < injected[i].size(); ++k) {
      const auto& p = injected[i][k];
      const int v = f.get_cellVertex(p.row, p.col);
      bool front = false, shown = false;
      for (std::size_t j : others) {
        Eigen::Vector3f hit;
        if (!sphere_behind(eyes[j], injectedAt[i][k], 2.f, hit)) continue;
        front = true;
        shown = shown || shows(frames[j], hit);
      }
      const bool removed = v < 0 || f.get_vDeleted(v);
      s.injectedFront += front;
      s.injectedFrontRemoved += front && removed;
      s.shownFront += shown;
      s.shownFrontRemoved += shown && removed;
    }
    for (int v = 0; v < f.get_vn(); ++v) {
      const Eigen::Vector3f w = f.get_rigidMatrix() * f.get_vCoord(v);
      if (std::fabs(w.norm() - kRadius) > 0.5f) continue;  // injected, or moved by nothing real
      ++s.real;
      s.realRemoved += f.get_vDeleted(v);
    }
    return s;
  };

  ASSERT_TRUE(h.send_rangeData({&frames[0], &frames[1]}, {RigidMatrix(), RigidMatrix()}));
  h.run();
  EXPECT_EQ(h.processed_count(), 2);
  // Opposite views: no injected point of one lies in front of the other's surface.
  EXPECT_EQ(score(0, {1}).injectedFront, 0);
  for (std::size_t i = 0; i < 2; ++i)
    for (int v = 0; v < frames[i].get_vn(); ++v) EXPECT_EQ(frames[i].get_vFlag(v) & 8, 0);

  ASSERT_TRUE(h.send_rangeData(&frames[2], RigidMatrix()));
  h.run();
  EXPECT_EQ(h.processed_count(), 3);
  const Scored s2 = score(2, {0, 1});
  const Scored s0 = score(0, {2});
  for (const Scored& s : {s2, s0}) {
    std::cout << "in front of the sphere " << s.injectedFrontRemoved << "/" << s.injectedFront
              << " removed, in front of what the other frame shows " << s.shownFrontRemoved << "/" << s.shownFront
              << ", real " << s.realRemoved << "/" << s.real << std::endl;
    ASSERT_GT(s.shownFront, 20);
    EXPECT_GE(s.shownFrontRemoved, 0.9 * s.shownFront);
  }
  EXPECT_LE(s2.realRemoved, 0.01 * s2.real);
  EXPECT_LE(s0.realRemoved, 0.01 * s0.real);
  // Frame 0's late removals carry 1 and 8.
  int late = 0;
  for (int v = 0; v < frames[0].get_vn(); ++v)
    if (frames[0].get_vDeleted(v)) {
      EXPECT_EQ(frames[0].get_vFlag(v) & 9, 9);
      ++late;
    }
  EXPECT_GT(late, 0);
  // A frame whose flags were switched off is reported and skipped.
  EXPECT_TRUE(h.clear_all());
}

// A point of an earlier frame deleted later (1 | 8) and already fused leaves
// the fused model at the next extraction: the fusion reads bits 0 and 3 as a
// pending removal and subtracts what the point added, so that its cells hold
// what a fusion that never had the point holds.
TEST(RemoveBadVertHelper, LateDeletionLeavesTheFusedModel) {
  TAVO_REQUIRE_GL_CONTEXT();
  RemoveBadVertHelper h;
  ASSERT_TRUE(h.init_render());
  h.set_render_camera(200.0, 0.6, 400.0);
  // The first run needs two frames; the opposite view contradicts nothing.
  RangeData first = camera_frame(0.f), opposite = camera_frame(3.14159265f), later = camera_frame(0.6f);
  sim::corrupt_frame(first, spikes_only(100, 5));
  ASSERT_TRUE(h.send_rangeData({&first, &opposite}, {RigidMatrix(), RigidMatrix()}));
  h.run();
  for (int v = 0; v < first.get_vn(); ++v) ASSERT_FALSE(first.get_vDeleted(v));

  // The opposite frame goes first into both fusions, so that both grids
  // take their origin from it.
  auto fuse = [](FusionMeshHelper& fusion, const RangeData& a, const RangeData& b) {
    DentalFusionMeshParam p;
    p.voxelSize = 1.f;
    p.clipZ = -1e30f;
    std::string err;
    ASSERT_EQ(fusion.set_param(p, err), RETVAL_SUCCESS);
    fusion.send_rangeData(&a, RigidMatrix(), false, false);
    fusion.send_rangeData(&b, RigidMatrix(), false, false);
    BaseTriMesh mesh;
    ASSERT_EQ(fusion.get_triMesh(mesh), RETVAL_SUCCESS);
  };
  FusionMeshHelper fusion;
  fuse(fusion, opposite, first);

  ASSERT_TRUE(h.send_rangeData(&later, RigidMatrix()));
  h.run();
  // The fusion that never had the late-deleted points: bit 0 alone, skipped.
  RangeData pruned = first;
  for (int v = 0; v < pruned.get_vn(); ++v)
    pruned.set_vFlag(v, static_cast<VertexFlag>(pruned.get_vFlag(v) & ~FLAG_REMOVAL_PENDING));
  FusionMeshHelper without;
  fuse(without, opposite, pruned);

  const TsdfVolume& volume = *fusion.volume();
  std::vector<Eigen::Vector3i> cells;
  std::vector<float> before;
  for (int v = 0; v < first.get_vn(); ++v) {
    if ((first.get_vFlag(v) & 9) != 9) continue;
    Eigen::Vector3i c;
    const TsdfVoxel* voxel = nullptr;
    if (volume.grid_frame().cell_of(first.get_rigidMatrix() * first.get_vCoord(v), c)) voxel = volume.find_voxel(c);
    if (!voxel || voxel->weightSum <= 0.f) continue;
    cells.push_back(c);
    before.push_back(voxel->weightSum);
  }
  ASSERT_GT(cells.size(), 10u);
  ASSERT_EQ(without.volume()->grid_frame().origin, volume.grid_frame().origin);
  BaseTriMesh mesh;
  ASSERT_EQ(fusion.get_triMesh(mesh), RETVAL_SUCCESS);
  // Points beside a deleted one were fused with normals it helped smooth,
  // which a fusion without it estimates afresh: a few cells differ by that.
  std::size_t same = 0;
  double left = 0.0, had = 0.0, expected = 0.0;
  for (std::size_t k = 0; k < cells.size(); ++k) {
    const TsdfVoxel* voxel = volume.find_voxel(cells[k]);
    const TsdfVoxel* other = without.volume()->find_voxel(cells[k]);
    const float after = voxel ? voxel->weightSum : 0.f, want = other ? other->weightSum : 0.f;
    EXPECT_LT(after, before[k]) << k;
    same += std::fabs(after - want) <= 1e-3f * before[k];
    left += after;
    had += before[k];
    expected += want;
  }
  std::cout << "late-deleted cells " << cells.size() << ", as without the points " << same << ", weight " << had
            << " -> " << left << " (without them " << expected << ")" << std::endl;
  EXPECT_GE(same, 9 * cells.size() / 10);
  EXPECT_LT(left, 0.5 * had);
  EXPECT_NEAR(left, expected, 0.1 * expected);
  // The removal was acknowledged: the pending bit is gone, the point stays deleted.
  for (int v = 0; v < first.get_vn(); ++v)
    if (first.get_vDeleted(v)) EXPECT_EQ(first.get_vFlag(v) & 8, 0) << v;
}

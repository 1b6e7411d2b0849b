#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>

#include "RangeSimulator.h"
#include "fusion/RangeFrameLists.h"
#include "fusion/TsdfVolume.h"
#include "fusion_test_util.h"

using namespace TavoAlgorithm;

namespace {

constexpr float kVoxel = 0.05f;

std::vector<RangeData> sphere_frames(const sim::Scene& scene) {
  sim::Camera cam;
  std::vector<RangeData> frames = sim::orbit_frames(scene, cam, 6, Eigen::Vector3f::Zero(), 3.f, 0.f);
  cam.pose = sim::look_at({0, 3, 0}, Eigen::Vector3f::Zero(), Eigen::Vector3f::UnitZ());
  frames.push_back(sim::render_range_frame(scene, cam));
  cam.pose = sim::look_at({0, -3, 0}, Eigen::Vector3f::Zero(), Eigen::Vector3f::UnitZ());
  frames.push_back(sim::render_range_frame(scene, cam));
  return frames;
}

sim::Scene unit_sphere() {
  sim::Scene s;
  s.spheres.push_back({Eigen::Vector3f::Zero(), 1.f});
  return s;
}

void send_all(RangeFrameLists& lists, const std::vector<RangeData>& frames, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) lists.send_rangeData(&frames[i], RigidMatrix(), false, false);
}

BaseTriMesh raw(const TsdfVolume& v) {
  BaseTriMesh m;
  std::vector<int> axes;
  v.copy_mesh(m, axes);
  return m;
}

struct VoxelSums {
  Eigen::Vector3i cell;
  float weight, dist;
  std::uint32_t count;
};

std::vector<VoxelSums> snapshot(const TsdfVolume& v) {
  std::vector<VoxelSums> out;
  for (int i = 0; i < v.octree().leaf_slots_in_use(); ++i) {
    const auto& e = v.octree().element_at(i);
    if (e.is_used()) out.push_back({e.get_cell(), e.payload.weightSum, e.payload.distSum, e.payload.count});
  }
  return out;
}

std::vector<Eigen::Vector3f> sorted_live(const BaseTriMesh& m) {
  auto v = fusion_test::live_vertices(m);
  std::sort(v.begin(), v.end(), [](const Eigen::Vector3f& a, const Eigen::Vector3f& b) {
    return std::lexicographical_compare(a.data(), a.data() + 3, b.data(), b.data() + 3);
  });
  return v;
}

}  // namespace

TEST(RangeFusion, SphereFromEightPosesIsAccurateAndClosed) {
  const sim::Scene scene = unit_sphere();
  const auto frames = sphere_frames(scene);
  TsdfVolume vol(kTsdfDefaultDepth, kVoxel);
  RangeFrameLists lists;
  send_all(lists, frames, 0, frames.size());
  BaseTriMesh refined;
  ASSERT_TRUE(lists.rebuild_mesh(vol, refined));
  const BaseTriMesh rawMesh = raw(vol);
  auto rms = [&](const BaseTriMesh& m, float& worst) {
    double sum = 0;
    worst = 0;
    const auto live = fusion_test::live_vertices(m);
    for (const auto& p : live) {
      const float e = std::abs(scene.signed_distance(p)) / kVoxel;
      sum += e * e;
      worst = std::max(worst, e);
    }
    return live.empty() ? 1e9 : std::sqrt(sum / live.size());
  };
  float worstRaw, worstRefined;
  const double rmsRaw = rms(rawMesh, worstRaw), rmsRefined = rms(refined, worstRefined);
  const auto [openRaw, flippedRaw] = fusion_test::open_and_flipped_edges(rawMesh);
  const auto [openRef, flippedRef] = fusion_test::open_and_flipped_edges(refined);
  std::printf("sphere: %zu live vertices, RMS %.4f voxel (max %.3f) raw, %zu / RMS %.4f (max %.3f) refined; "
              "open edges raw %d refined %d\n",
              fusion_test::live_vertices(rawMesh).size(), rmsRaw, worstRaw,
              fusion_test::live_vertices(refined).size(), rmsRefined, worstRefined, openRaw, openRef);
  RecordProperty("rms_voxel_raw", std::to_string(rmsRaw));
  RecordProperty("rms_voxel_refined", std::to_string(rmsRefined));
  EXPECT_GT(fusion_test::live_vertices(rawMesh).size(), 1000u);
  EXPECT_LT(rmsRaw, 0.1);
  // The refinement keeps every vertex on a field crossing: no worse than raw.
  EXPECT_LE(rmsRefined, rmsRaw + 1e-6);
  EXPECT_LE(worstRefined, worstRaw + 1e-5f);
  EXPECT_LT(fusion_test::live_face_count(refined), fusion_test::live_face_count(rawMesh));
  EXPECT_EQ(openRaw, 0);
  EXPECT_EQ(flippedRaw, 0);
  EXPECT_EQ(flippedRef, 0);
  EXPECT_EQ(refined.get_vn(), rawMesh.get_vn());  // marks, not removal
}

TEST(RangeFusion, BoxFromSixSidesIsClosed) {
  sim::Scene scene;
  sim::Box box;
  box.pose = RigidMatrix(Eigen::AngleAxisd(0.3, Eigen::Vector3d(1, 2, 3).normalized()).toRotationMatrix(), Eigen::Vector3d::Zero());
  box.halfExtent = Eigen::Vector3f(0.8f, 0.6f, 0.5f);
  scene.boxes.push_back(box);
  sim::Camera cam;
  std::vector<RangeData> frames;
  const Eigen::Vector3f eyes[] = {{3, 0.4f, 0.2f}, {-3, 0.3f, -0.2f}, {0.2f, 3, 0.4f}, {-0.3f, -3, 0.2f},
                                  {0.4f, 0.2f, 3}, {-0.2f, 0.3f, -3}, {2, 2, 2}, {-2, -2, -2}};
  for (const auto& e : eyes) {
    cam.pose = sim::look_at(e, Eigen::Vector3f::Zero(), std::abs(e.normalized().y()) > 0.9f ? Eigen::Vector3f::UnitZ() : Eigen::Vector3f::UnitY());
    frames.push_back(sim::render_range_frame(scene, cam));
  }
  TsdfVolume vol(kTsdfDefaultDepth, kVoxel);
  RangeFrameLists lists;
  send_all(lists, frames, 0, frames.size());
  BaseTriMesh refined;
  lists.rebuild_mesh(vol, refined);
  const BaseTriMesh rawMesh = raw(vol);
  double sum = 0;
  const auto live = fusion_test::live_vertices(rawMesh);
  for (const auto& p : live) sum += std::pow(scene.signed_distance(p) / kVoxel, 2);
  const auto [open, flipped] = fusion_test::open_and_flipped_edges(rawMesh);
  std::printf("box: %zu live vertices, RMS %.4f voxel, open edges %d, flipped %d\n", live.size(),
              std::sqrt(sum / std::max<std::size_t>(live.size(), 1)), open, flipped);
  EXPECT_GT(live.size(), 1000u);
  EXPECT_EQ(open, 0);
  EXPECT_EQ(flipped, 0);
}

TEST(RangeFusion, RemovingIntegratedPointsRestoresSumsAndDeletesTheirSurface) {
  const sim::Scene scene = unit_sphere();
  auto frames = sphere_frames(scene);
  TsdfVolume vol(kTsdfDefaultDepth, kVoxel);
  RangeFrameLists lists;
  send_all(lists, frames, 0, 4);
  BaseTriMesh mesh;
  lists.rebuild_mesh(vol, mesh);
  const auto before = snapshot(vol);
  const int vertsBefore = vol.get_vertex_counter();
  const BaseTriMesh rawBefore = raw(vol);
  send_all(lists, frames, 6, 7);  // the view from the top adds new surface
  lists.rebuild_mesh(vol, mesh);
  ASSERT_GT(vol.get_vertex_counter(), vertsBefore);
  const auto peak = snapshot(vol);
  // The application marks every point of that frame removed.
  RangeData& top = frames[6];
  for (int k = 0; k < top.get_vn(); ++k) top.set_vFlag(k, FLAG_DELETED | FLAG_REMOVAL_PENDING);
  lists.rebuild_mesh(vol, mesh);
  for (int k = 0; k < top.get_vn(); ++k) ASSERT_EQ(top.get_vFlag(k), FLAG_DELETED);  // pending bit acknowledged
  std::size_t matched = 0;
  for (const auto& s : snapshot(vol)) {
    const auto it = std::find_if(before.begin(), before.end(), [&](const VoxelSums& b) { return b.cell == s.cell; });
    if (it == before.end()) {
      EXPECT_EQ(s.weight, 0.f);
      EXPECT_EQ(s.count, 0u);
      continue;
    }
    ++matched;
    // Float rounding of adding and subtracting the frame's terms: a few ulps
    // of the largest sum per term.
    const auto p = std::find_if(peak.begin(), peak.end(), [&](const VoxelSums& b) { return b.cell == s.cell; });
    const float tol = 4.f * FLT_EPSILON * static_cast<float>(p->count - it->count + 1) *
                      std::max(1.f, p->weight);
    EXPECT_NEAR(s.weight, it->weight, tol);
    EXPECT_NEAR(s.dist, it->dist, tol);
    EXPECT_EQ(s.count, it->count);
  }
  EXPECT_EQ(matched, before.size());
  const BaseTriMesh after = raw(vol);
  for (int v = vertsBefore; v < after.get_vn(); ++v) EXPECT_TRUE(after.get_vDeleted(v)) << v;
  int mismatched = 0;
  for (int v = 0; v < vertsBefore; ++v) {
    if (after.get_vDeleted(v) != rawBefore.get_vDeleted(v)) ++mismatched;
    else if (!after.get_vDeleted(v) && (after.get_vCoord(v) - rawBefore.get_vCoord(v)).norm() > 1e-3f * kVoxel) ++mismatched;
  }
  EXPECT_EQ(mismatched, 0);
  // A second extraction without new frames changes nothing.
  vol.extract();
  EXPECT_EQ(raw(vol).get_vCoords(), after.get_vCoords());
}

TEST(RangeFusion, PopOfAnIntegratedFrameSubtractsItAndOfAPendingOneOnlyShortens) {
  const sim::Scene scene = unit_sphere();
  const auto frames = sphere_frames(scene);
  TsdfVolume vol(kTsdfDefaultDepth, kVoxel);
  RangeFrameLists lists;
  send_all(lists, frames, 0, 2);
  lists.add_to_tsdf(vol);
  const auto before = snapshot(vol);
  send_all(lists, frames, 2, 3);
  lists.add_to_tsdf(vol);
  const auto peak = snapshot(vol);
  lists.pop_rangeData(&vol);
  EXPECT_EQ(lists.frame_count(), 2);
  EXPECT_EQ(lists.integrated_count(), 2);
  for (const auto& s : snapshot(vol)) {
    const auto it = std::find_if(before.begin(), before.end(), [&](const VoxelSums& b) { return b.cell == s.cell; });
    if (it == before.end()) {
      EXPECT_EQ(s.count, 0u);
    } else {
      EXPECT_EQ(s.count, it->count);
      const auto p = std::find_if(peak.begin(), peak.end(), [&](const VoxelSums& b) { return b.cell == s.cell; });
      EXPECT_NEAR(s.weight, it->weight,
                  4.f * FLT_EPSILON * static_cast<float>(p->count - it->count + 1) * std::max(1.f, p->weight));
    }
  }
  send_all(lists, frames, 3, 4);
  const auto mid = snapshot(vol);
  lists.pop_rangeData(&vol);  // never integrated
  EXPECT_EQ(lists.frame_count(), 2);
  EXPECT_EQ(lists.integrated_count(), 2);
  EXPECT_EQ(snapshot(vol).size(), mid.size());
  RangeFrameLists empty;
  empty.pop_rangeData(&vol);
  EXPECT_EQ(empty.frame_count(), 0);
}

TEST(RangeFusion, IncrementalRoundsEqualOneFreshBuild) {
  const sim::Scene scene = unit_sphere();
  const auto frames = sphere_frames(scene);
  // One worker: every voxel then sums its contributions in frame order in
  // both builds, so the fields are bit-identical.
  TsdfVolume inc(kTsdfDefaultDepth, kVoxel), fresh(kTsdfDefaultDepth, kVoxel);
  inc.set_thread_num(1);
  fresh.set_thread_num(1);
  RangeFrameLists a, b;
  BaseTriMesh m;
  const std::size_t rounds[] = {0, 3, 6, frames.size()};
  for (int r = 0; r < 3; ++r) {
    send_all(a, frames, rounds[r], rounds[r + 1]);
    a.rebuild_mesh(inc, m);
  }
  send_all(b, frames, 0, frames.size());
  b.rebuild_mesh(fresh, m);
  const auto vi = sorted_live(raw(inc)), vf = sorted_live(raw(fresh));
  ASSERT_EQ(vi.size(), vf.size());
  float worst = 0;
  for (std::size_t i = 0; i < vi.size(); ++i) worst = std::max(worst, (vi[i] - vf[i]).cwiseAbs().maxCoeff());
  EXPECT_LE(worst, 1e-5f * kVoxel);
  EXPECT_EQ(fusion_test::live_face_count(raw(inc)), fusion_test::live_face_count(raw(fresh)));
  EXPECT_EQ(fusion_test::open_and_flipped_edges(raw(inc)).first, 0);
  const int vc = inc.get_vertex_counter(), fc = inc.get_face_counter();
  const BaseTriMesh first = raw(inc);
  inc.extract();
  EXPECT_EQ(inc.get_vertex_counter(), vc);
  EXPECT_EQ(inc.get_face_counter(), fc);
  EXPECT_EQ(raw(inc).get_vCoords(), first.get_vCoords());
  EXPECT_EQ(raw(inc).get_faces(), first.get_faces());
}

TEST(RangeFusion, ManyWorkersOnOverlappingVoxelsCountExactly) {
  const sim::Scene scene = unit_sphere();
  sim::Camera cam;
  cam.pose = sim::look_at({0, 0, 3}, Eigen::Vector3f::Zero());
  const RangeData frame = sim::render_range_frame(scene, cam);
  TsdfVolume par(kTsdfDefaultDepth, kVoxel), seq(kTsdfDefaultDepth, kVoxel);
  par.set_thread_num(8);
  seq.set_thread_num(1);
  RangeFrameLists lp, ls;
  for (int i = 0; i < 8; ++i) {
    lp.send_rangeData(&frame, RigidMatrix(), i % 2 == 0, false);
    ls.send_rangeData(&frame, RigidMatrix(), i % 2 == 0, false);
  }
  lp.add_to_tsdf(par);
  ls.add_to_tsdf(seq);
  const auto a = snapshot(par), b = snapshot(seq);
  ASSERT_EQ(a.size(), b.size());
  for (const auto& s : a) {
    const TsdfVoxel* v = seq.find_voxel(s.cell);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(s.count, v->count);
    EXPECT_NEAR(s.weight, v->weightSum, 1e-5f * std::max(1.f, v->weightSum));
  }
}

// Pending frames go to the volume a few at a time; on one worker the result
// must be that of integrating every prepared frame in one call, bit for bit.
TEST(RangeFusion, BatchedPendingFramesEqualOneIntegrationOfAll) {
  const sim::Scene scene = unit_sphere();
  const std::vector<RangeData> frames = sphere_frames(scene);
  FrameListRules rules;
  rules.prepareWorkers = 1;
  RangeFrameLists lists(rules);
  send_all(lists, frames, 0, frames.size());
  TsdfVolume batched(kTsdfDefaultDepth, kVoxel), whole(kTsdfDefaultDepth, kVoxel);
  batched.set_thread_num(1);
  whole.set_thread_num(1);
  lists.add_to_tsdf(batched);
  std::vector<PreparedFrame> all;
  for (int i = 0; i < lists.frame_count(); ++i) all.push_back(lists.sample_cloud(i));
  ASSERT_TRUE(whole.integrate(all));
  const std::vector<VoxelSums> a = snapshot(batched), b = snapshot(whole);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_GT(a.size(), 1000u);
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].cell, b[i].cell);
    EXPECT_EQ(a[i].weight, b[i].weight);
    EXPECT_EQ(a[i].dist, b[i].dist);
    EXPECT_EQ(a[i].count, b[i].count);
  }
}

#include <gtest/gtest.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <map>

#include "fusion/RangeFrameLists.h"
#include "fusion_test_util.h"
#include "mesh_shapes.h"

using namespace fusion_test;

namespace {

void send_all(RangeFrameLists& lists, const std::vector<RangeData>& frames, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) lists.send_rangeData(&frames[i], RigidMatrix(), false, false);
}

struct VoxelSums {
  float weight, dist;
  std::uint32_t count;
};
using Sums = std::map<std::array<int, 3>, VoxelSums>;

Sums snapshot(const TsdfVolume& v) {
  Sums out;
  for (int i = 0; i < v.octree().leaf_slots_in_use(); ++i) {
    const auto& e = v.octree().element_at(i);
    const Eigen::Vector3i c = e.get_cell();
    if (e.is_used()) out[{c.x(), c.y(), c.z()}] = {e.payload.weightSum, e.payload.distSum, e.payload.count};
  }
  return out;
}

// After subtracting what was added between `before` and `peak`, every voxel
// is back to its sums in `before` (voxels made meanwhile back to zero), up to
// float rounding: a few ulps of the largest sum per added term.
void expect_restored(const Sums& after, const Sums& before, const Sums& peak) {
  std::size_t matched = 0;
  for (const auto& [cell, s] : after) {
    const auto it = before.find(cell);
    if (it == before.end()) {
      EXPECT_EQ(s.weight, 0.f);
      EXPECT_EQ(s.count, 0u);
      continue;
    }
    ++matched;
    const VoxelSums& p = peak.at(cell);
    const float tol = 4.f * FLT_EPSILON * static_cast<float>(p.count - it->second.count + 1) * std::max(1.f, p.weight);
    EXPECT_NEAR(s.weight, it->second.weight, tol);
    EXPECT_NEAR(s.dist, it->second.dist, tol);
    EXPECT_EQ(s.count, it->second.count);
  }
  EXPECT_EQ(matched, before.size());
}

std::vector<Eigen::Vector3f> sorted_live(const BaseTriMesh& m) {
  auto v = live_vertices(m);
  std::sort(v.begin(), v.end(), [](const Eigen::Vector3f& a, const Eigen::Vector3f& b) {
    return std::lexicographical_compare(a.data(), a.data() + 3, b.data(), b.data() + 3);
  });
  return v;
}

sim::Scene tilted_box() {
  sim::Scene scene;
  sim::Box box;
  box.pose = RigidMatrix(Eigen::AngleAxisd(0.3, Eigen::Vector3d(1, 2, 3).normalized()).toRotationMatrix(),
                         Eigen::Vector3d::Zero());
  box.halfExtent = Eigen::Vector3f(0.8f, 0.6f, 0.5f);
  scene.boxes.push_back(box);
  return scene;
}

}  // namespace

TEST(RangeFusion, SphereAndBoxFromSeveralPosesAreAccurateAndClosed) {
  for (const bool sphere : {true, false}) {
    const sim::Scene scene = sphere ? unit_sphere() : tilted_box();
    std::vector<RangeData> frames = sphere_frames(scene);
    if (!sphere) {  // the box's faces need views along its axes and corners
      frames.clear();
      sim::Camera cam;
      for (const Eigen::Vector3f e : {Eigen::Vector3f(3, 0.4f, 0.2f), {-3, 0.3f, -0.2f}, {0.2f, 3, 0.4f},
                                      {-0.3f, -3, 0.2f}, {0.4f, 0.2f, 3}, {-0.2f, 0.3f, -3}, {2, 2, 2}, {-2, -2, -2}}) {
        const bool vertical = std::abs(e.normalized().y()) > 0.9f;
        cam.pose = sim::look_at(e, Eigen::Vector3f::Zero(), Eigen::Vector3f(0, !vertical, vertical));
        frames.push_back(sim::render_range_frame(scene, cam));
      }
    }
    TsdfVolume vol(kTsdfDefaultDepth, kVoxel);
    RangeFrameLists lists;
    send_all(lists, frames, 0, frames.size());
    BaseTriMesh refined;
    ASSERT_TRUE(lists.rebuild_mesh(vol, refined));
    const BaseTriMesh rawMesh = raw(vol);
    const auto [rmsRaw, worstRaw] = rms_and_worst(scene, rawMesh);
    const auto [rmsRefined, worstRefined] = rms_and_worst(scene, refined);
    const auto [openRaw, flippedRaw] = open_and_flipped_edges(rawMesh);
    const auto [openRef, flippedRef] = open_and_flipped_edges(refined);
    std::printf("%s: %zu live vertices, RMS %.4f voxel (max %.3f) raw, %zu / RMS %.4f (max %.3f) refined; "
                "open edges raw %d refined %d\n",
                sphere ? "sphere" : "box", live_vertices(rawMesh).size(), rmsRaw, worstRaw,
                live_vertices(refined).size(), rmsRefined, worstRefined, openRaw, openRef);
    EXPECT_GT(live_vertices(rawMesh).size(), 1000u);
    EXPECT_EQ(openRaw, 0);
    EXPECT_EQ(flippedRaw, 0);
    EXPECT_EQ(flippedRef, 0);
    EXPECT_EQ(refined.get_vn(), rawMesh.get_vn());  // marks, not removal
    if (!sphere) continue;
    RecordProperty("rms_voxel_raw", std::to_string(rmsRaw));
    EXPECT_LT(rmsRaw, 0.1);
    // The refinement keeps every vertex on a field crossing: no worse than raw.
    EXPECT_LE(rmsRefined, rmsRaw + 1e-6);
    EXPECT_LE(worstRefined, worstRaw + 1e-5f);
    EXPECT_LT(live_face_count(refined), live_face_count(rawMesh));
  }
}

TEST(RangeFusion, RemovedAndPoppedFramesLeaveTheSumsAsBefore) {
  auto frames = sphere_frames();
  TsdfVolume vol(kTsdfDefaultDepth, kVoxel);
  RangeFrameLists lists;
  send_all(lists, frames, 0, 4);
  BaseTriMesh mesh;
  lists.rebuild_mesh(vol, mesh);
  const Sums before = snapshot(vol);
  const int vertsBefore = vol.get_vertex_counter();
  const BaseTriMesh rawBefore = raw(vol);
  send_all(lists, frames, 6, 7);  // the view from the top adds new surface
  lists.rebuild_mesh(vol, mesh);
  ASSERT_GT(vol.get_vertex_counter(), vertsBefore);
  const Sums peak = snapshot(vol);
  // The application marks every point of that frame removed.
  RangeData& top = frames[6];
  for (int k = 0; k < top.get_vn(); ++k) top.set_vFlag(k, FLAG_DELETED | FLAG_REMOVAL_PENDING);
  lists.rebuild_mesh(vol, mesh);
  for (int k = 0; k < top.get_vn(); ++k) ASSERT_EQ(top.get_vFlag(k), FLAG_DELETED);  // pending bit acknowledged
  const Sums removed = snapshot(vol);
  expect_restored(removed, before, peak);
  const BaseTriMesh after = raw(vol);
  int mismatched = 0;
  for (int v = 0; v < after.get_vn(); ++v) {
    if (v >= vertsBefore) mismatched += !after.get_vDeleted(v);
    else if (after.get_vDeleted(v) != rawBefore.get_vDeleted(v)) ++mismatched;
    else if (!after.get_vDeleted(v))
      mismatched += (after.get_vCoord(v) - rawBefore.get_vCoord(v)).norm() > 1e-3f * kVoxel;
  }
  EXPECT_EQ(mismatched, 0);

  // Popping an integrated frame subtracts it; popping a pending one only shortens the lists.
  send_all(lists, frames, 2, 3);
  lists.add_to_tsdf(vol);
  const Sums pushed = snapshot(vol);
  lists.pop_rangeData(&vol);
  expect_restored(snapshot(vol), removed, pushed);
  send_all(lists, frames, 3, 4);
  lists.pop_rangeData(&vol);
  EXPECT_EQ(std::make_pair(lists.frame_count(), lists.integrated_count()), std::make_pair(5, 5));
  EXPECT_EQ(snapshot(vol).size(), pushed.size());
  RangeFrameLists empty;
  empty.pop_rangeData(&vol);
  EXPECT_EQ(empty.frame_count(), 0);
}

TEST(RangeFusion, IncrementalRoundsEqualOneFreshBuild) {
  const auto frames = sphere_frames();
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
  const BaseTriMesh first = raw(inc);
  const auto vi = sorted_live(first), vf = sorted_live(raw(fresh));
  ASSERT_EQ(vi.size(), vf.size());
  float worst = 0;
  for (std::size_t i = 0; i < vi.size(); ++i) worst = std::max(worst, (vi[i] - vf[i]).cwiseAbs().maxCoeff());
  EXPECT_LE(worst, 1e-5f * kVoxel);
  EXPECT_EQ(live_face_count(first), live_face_count(raw(fresh)));
  const int vc = inc.get_vertex_counter(), fc = inc.get_face_counter();
  inc.extract();
  EXPECT_EQ(std::make_pair(inc.get_vertex_counter(), inc.get_face_counter()), std::make_pair(vc, fc));
  EXPECT_EQ(raw(inc).get_vCoords(), first.get_vCoords());
  EXPECT_EQ(raw(inc).get_faces(), first.get_faces());
}

// Several workers number the extracted vertices as their tasks happen to
// run; the voxel sums, and so the refined surface, must still be those of
// one worker, triangle for triangle.
TEST(RangeFusion, RefinedMeshIsTheSameOnOneWorkerAndOnMany) {
  const auto frames = sphere_frames();
  std::vector<std::array<std::array<float, 3>, 3>> one;
  for (const int workers : {1, 4, 4, 4}) {
    TsdfVolume vol(kTsdfDefaultDepth, kVoxel);
    vol.set_thread_num(workers);
    RangeFrameLists lists;
    send_all(lists, frames, 0, frames.size());
    BaseTriMesh m;
    ASSERT_TRUE(lists.rebuild_mesh(vol, m));
    const auto t = TavoAlgorithm::test::live_triangles(m);
    if (workers == 1) {
      one = t;
      ASSERT_GT(one.size(), 1000u);
      continue;
    }
    EXPECT_EQ(t, one) << workers << " workers";
  }
}

// Eight workers integrate the lists' pending frames a few at a time, all of
// them onto the same voxels, half with the 125-cell neighbourhood; every
// voxel must hold exactly the sums of one sequential integration of every
// prepared frame in one call: the workers own disjoint slabs of the volume
// and add in frame and point order.
TEST(RangeFusion, ManyWorkersOnOverlappingVoxelsEqualOneSequentialIntegrationExactly) {
  sim::Camera cam;
  cam.pose = sim::look_at({0, 0, 3}, Eigen::Vector3f::Zero());
  const RangeData frame = sim::render_range_frame(unit_sphere(), cam);
  TsdfVolume par(kTsdfDefaultDepth, kVoxel), seq(kTsdfDefaultDepth, kVoxel);
  par.set_thread_num(8);
  seq.set_thread_num(1);
  RangeFrameLists lists;
  for (int i = 0; i < 8; ++i) lists.send_rangeData(&frame, RigidMatrix(), i % 2 == 0, false);
  lists.add_to_tsdf(par);
  std::vector<PreparedFrame> all;
  for (int i = 0; i < lists.frame_count(); ++i) all.push_back(lists.sample_cloud(i));
  ASSERT_TRUE(seq.integrate(all));
  const Sums a = snapshot(par), b = snapshot(seq);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_GT(a.size(), 1000u);
  int differ = 0;
  for (const auto& [cell, s] : a) {
    const VoxelSums& t = b.at(cell);
    differ += s.count != t.count || s.weight != t.weight || s.dist != t.dist ? 1 : 0;
  }
  EXPECT_EQ(differ, 0);
}

// One frame's points spread over the workers: the same sums as one worker,
// bit for bit, for either neighbourhood.
TEST(RangeFusion, OneFrameOverManyWorkersEqualsOneWorkerExactly) {
  sim::Camera cam;
  cam.pose = sim::look_at({0.3f, 0.2f, 3}, Eigen::Vector3f::Zero());
  const RangeData frame = sim::render_range_frame(unit_sphere(), cam);
  for (const bool wide : {false, true}) {
    RangeFrameLists lists;
    lists.send_rangeData(&frame, RigidMatrix(), wide, false);
    std::vector<PreparedFrame> one{lists.sample_cloud(0)}, other{lists.sample_cloud(0)};
    TsdfVolume par(kTsdfDefaultDepth, kVoxel), seq(kTsdfDefaultDepth, kVoxel);
    par.set_thread_num(4);
    seq.set_thread_num(1);
    ASSERT_TRUE(par.integrate(one));
    ASSERT_TRUE(seq.integrate(other));
    const Sums a = snapshot(par), b = snapshot(seq);
    ASSERT_EQ(a.size(), b.size());
    int differ = 0;
    for (const auto& [cell, s] : a) {
      const auto it = b.find(cell);
      differ += it == b.end() || s.count != it->second.count || s.weight != it->second.weight ||
                        s.dist != it->second.dist
                    ? 1
                    : 0;
    }
    EXPECT_EQ(differ, 0) << (wide ? "125 cells" : "27 cells");
    EXPECT_EQ(par.dirty_count(), seq.dirty_count());
    EXPECT_EQ(par.integrated_point_count(), seq.integrated_point_count());
    EXPECT_GT(seq.integrated_point_count(), frame.get_vn() / 2);
    EXPECT_LE(seq.integrated_point_count(), frame.get_vn());
  }
}

namespace {

// Marks the points of one half of a frame deleted with their removal pending.
void mark_half_removed(RangeData& f) {
  for (int k = 0; k < f.get_vn(); ++k)
    if (f.get_vCoord(k).x() > 0.f) f.set_vFlag(k, FLAG_DELETED | FLAG_REMOVAL_PENDING);
}

// Every voxel of either volume agrees in count and, to rounding, in sums; a
// voxel present in one only has nothing left in it.
void expect_same_field(const Sums& got, const Sums& want) {
  int bad = 0;
  auto check = [&](const Sums& a, const Sums& b) {
    for (const auto& [cell, s] : a) {
      const auto it = b.find(cell);
      const VoxelSums t = it == b.end() ? VoxelSums{0.f, 0.f, 0u} : it->second;
      // Residue of adding and subtracting another frame's terms.
      const float tol = 2e-3f * std::max(1.f, std::max(std::fabs(s.weight), std::fabs(t.weight)));
      if (s.count != t.count || std::fabs(s.weight - t.weight) > tol || std::fabs(s.dist - t.dist) > tol) ++bad;
    }
  };
  check(got, want);
  check(want, got);
  EXPECT_EQ(bad, 0);
}

}  // namespace

// Frames A and B, B's right half marked removed at each point of the road
// (before B is integrated, after), and B withdrawn or kept, in every order;
// the volume must hold exactly a fresh fusion of what is left.
TEST(RangeFusion, MarkPopAndRefuseInEveryOrderEqualAFreshFusionOfWhatRemains) {
  const auto views = sphere_frames();
  enum class Mark { BeforeIntegration, AfterIntegration };
  enum class End { Keep, PopAfterSubtraction, PopWithRemovalPending, PopPending };
  for (const Mark mark : {Mark::BeforeIntegration, Mark::AfterIntegration}) {
    for (const End end : {End::Keep, End::PopAfterSubtraction, End::PopWithRemovalPending, End::PopPending}) {
      if (end == End::PopPending && mark == Mark::AfterIntegration) continue;
      SCOPED_TRACE(testing::Message() << "mark " << static_cast<int>(mark) << " end " << static_cast<int>(end));
      RangeData a = views[0], b = views[1];
      TsdfVolume vol(kTsdfDefaultDepth, kVoxel);
      RangeFrameLists lists;
      BaseTriMesh m;
      lists.send_rangeData(&a, RigidMatrix(), false, false);
      lists.rebuild_mesh(vol, m);
      lists.send_rangeData(&b, RigidMatrix(), false, false);
      if (mark == Mark::BeforeIntegration) mark_half_removed(b);
      if (end != End::PopPending) lists.rebuild_mesh(vol, m);
      if (mark == Mark::AfterIntegration) mark_half_removed(b);
      if (end == End::Keep || end == End::PopAfterSubtraction) lists.rebuild_mesh(vol, m);
      if (end != End::Keep) lists.pop_rangeData(&vol);
      lists.rebuild_mesh(vol, m);  // a later round must not take anything out again
      if (end != End::PopPending)  // a frame never integrated is left as it was
        for (int k = 0; k < b.get_vn(); ++k) ASSERT_EQ(b.get_vFlag(k) & FLAG_REMOVAL_PENDING, 0) << k;

      // B's smoothed normals come from the whole frame, as when it was sent.
      RangeData a2 = views[0], b2 = views[1];
      TsdfVolume fresh(kTsdfDefaultDepth, kVoxel);
      RangeFrameLists freshLists;
      freshLists.send_rangeData(&a2, RigidMatrix(), false, false);
      if (end == End::Keep) freshLists.send_rangeData(&b2, RigidMatrix(), false, false);
      for (int k = 0; k < b2.get_vn(); ++k) b2.set_vFlag(k, b.get_vFlag(k));
      freshLists.rebuild_mesh(fresh, m);
      ASSERT_EQ(vol.get_origin(), fresh.get_origin());
      expect_same_field(snapshot(vol), snapshot(fresh));
    }
  }
}

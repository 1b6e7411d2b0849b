#include <gtest/gtest.h>

#include <map>
#include <type_traits>

#include "RealTimeFusionCloudHelper.h"
#include "laser_scan_util.h"

using namespace laser_test;
using TavoAlgorithm::OrvaneMarkPoints;
using TavoAlgorithm::RealTimeFusionCloudHelper;
using IdPoints = std::map<int, V3>;

static_assert(!std::is_copy_constructible_v<RealTimeFusionCloudHelper> &&
              !std::is_copy_assignable_v<RealTimeFusionCloudHelper>);
static_assert(std::is_nothrow_move_constructible_v<RealTimeFusionCloudHelper>);

namespace {
std::vector<Cloud> points_frame(int n, const V3& at) {
  Cloud c;
  for (int i = 0; i < n; ++i) c.add_vCoord(at + V3(0.04f * i, 0, 0));
  return {c};
}

// Live points of a helper with nothing pending (a viewer would miss them).
IdPoints live_of(RealTimeFusionCloudHelper& h) {
  std::vector<int> none;
  const Cloud& c = h.get_cloud(none);
  EXPECT_TRUE(none.empty());
  IdPoints out;
  for (int id : h.get_valid_ids(true)) out[id] = c.get_vCoord(id);
  return out;
}

// Share of the points of `a` that have a point of `b` within `tol`.
double covered(const IdPoints& a, const IdPoints& b, float tol) {
  int hit = 0;
  for (const auto& p : a)
    hit += std::any_of(b.begin(), b.end(), [&](const auto& q) { return (q.second - p.second).norm() <= tol; });
  return a.empty() ? 1.0 : static_cast<double>(hit) / static_cast<double>(a.size());
}
}  // namespace

TEST(RealTimeHelper, SettersAndTheTenPointFrameRule) {
  for (const auto& [given, want] : {std::pair{3.9f, 3u}, std::pair{-1.f, 0u}, std::pair{std::nanf(""), 0u}})
    EXPECT_EQ(RealTimeFusionCloudHelper(kCell, 0.04f, given, false).octree()->get_extend_radius(), want) << given;
  RealTimeFusionCloudHelper h(kCell, 0.04f, 3.f, false);
  const auto* tree = h.octree();
  EXPECT_EQ(tree->get_depth(), 13);
  EXPECT_TRUE(tree->get_point_dis() == 0.04f && tree->get_min_fusion_radius() == 0.04f);
  const int before = tree->get_helper_threads();
  for (int n : {0, -2}) h.set_tbb_num_threads(n);
  EXPECT_EQ(tree->get_helper_threads(), before);
  h.set_tbb_num_threads(3);
  EXPECT_TRUE(tree->get_helper_threads() == 3 && tree->get_integrator_threads() == 3);
  // Nine points, or ten of which one is NaN, are not a frame.
  const RigidMatrix pose(Eigen::Matrix3d::Identity(), Eigen::Vector3d(1, 2, 3));
  auto nanFrame = points_frame(10, V3(0, 0, 5));
  nanFrame[0].set_vCoord(4, V3::Constant(kNaN));
  for (const auto& frame : {points_frame(9, V3(0, 0, 5)), nanFrame}) {
    EXPECT_EQ(h.fusion_one_laser(frame, pose), 0);
    EXPECT_TRUE(h.get_frame_count() == 0 && h.get_tree_shift().isZero());
  }
  // The first frame of ten points (and a NaN, left out of the mean) centres
  // the grid on their mean; later frames never move it.
  nanFrame[0].add_vCoord(V3(0.16f, 0, 5));
  const V3 shift = V3(1 + 0.18f, 2, 8) - V3::Constant(4096 * kCell);
  for (int k = 1; k <= 2; ++k) {
    EXPECT_EQ(h.fusion_one_laser(k == 1 ? nanFrame : points_frame(10, V3(3, 0, 5)), pose), 0);
    EXPECT_TRUE(h.get_frame_count() == k && h.get_tree_shift().isApprox(shift, 1e-5f)) << k;
  }
}

TEST(RealTimeHelper, BadInputIsRefusedOrIgnored) {
  RealTimeFusionCloudHelper h(kCell, 0.04f, 3.f, true);
  // Edits and reads before any frame.
  EXPECT_TRUE(h.get_valid_ids(false).empty());
  std::vector<int> ids = {1, 2}, more = {3}, kept;
  h.delete_grid_point_by_save_cloud({}, ids);
  h.delete_grid_point_by_select_points(OrvaneMarkPoints{{1}, {V3::Zero()}, 1.f}, {V3::Zero()}, more);
  EXPECT_TRUE(ids.empty() && more.empty());
  std::vector<std::vector<Cloud>> frames = {points_frame(12, V3::Zero())};
  std::vector<RigidMatrix> rts = {RigidMatrix()};
  h.map_on_frame_delete_point(frames, rts, kept);
  EXPECT_EQ(frames.size(), 1u);
  EXPECT_EQ(h.get_cloud(ids).get_vn(), 0);
  EXPECT_TRUE(ids.empty());
  // Empty frames, mismatched lists, a NaN pose.
  EXPECT_EQ(h.fusion_one_laser({}, RigidMatrix()), 0);
  EXPECT_EQ(h.fusion_one_laser({Cloud(), Cloud()}, RigidMatrix()), 0);
  EXPECT_EQ(h.fusion_all_laser({}, {}), 0);
  EXPECT_EQ(h.fusion_all_laser(frames, {}), 2);
  RigidMatrix nanPose;
  nanPose.set_translation(Eigen::Vector3d(std::nan(""), 0, 0));
  EXPECT_EQ(h.fusion_one_laser(frames[0], nanPose), 2);
  EXPECT_TRUE(h.get_frame_count() == 0 && h.get_tree_shift().isZero());
  // A moved-from helper has no state.
  RealTimeFusionCloudHelper moved(std::move(h));
  EXPECT_EQ(h.fusion_one_laser(frames[0], RigidMatrix()), 2);
  EXPECT_EQ(h.get_current_vids(), 0);
  EXPECT_EQ(moved.fusion_all_laser(frames, rts), 0);
  EXPECT_EQ(moved.get_frame_count(), 1);
}

// A sphere edited while scanning: erase by keep cloud, scan over the erased region, erase
// by selection. After every step a viewer fed only the changed and deleted ids holds the
// helper's live points, the deleted ids are those that died, and the model matches a
// fresh helper fed the frames as map_on_frame_delete_point left them.
TEST(RealTimeHelper, EditingSessionKeepsReportsFramesAndModelConsistent) {
  const V3 c(1, 2, 3);
  sim::Scene scene;
  scene.spheres.push_back({c, 2.f});
  RealTimeFusionCloudHelper h(kCell, kCell, 3.f, true);
  IdPoints mirror;
  std::vector<std::vector<Cloud>> stored;
  std::vector<RigidMatrix> storedRts;
  auto fuse = [&](const std::vector<V3>& directions) {
    for (const auto& f : sweeps(scene, c, directions, 6.f, 2.5f, 90, 0.002f)) {
      stored.emplace_back();
      for (const auto& l : f.lines) stored.back().emplace_back().set_vCoords(std::vector<V3>(l.points));
      storedRts.push_back(f.pose);
      ASSERT_EQ(h.fusion_one_laser(stored.back(), f.pose), 0);
      std::vector<int> changed;
      const Cloud& cloud = h.get_cloud(changed);
      for (int id : changed) {
        if (cloud.get_vDeleted(id)) mirror.erase(id);
        else mirror[id] = cloud.get_vCoord(id);
      }
    }
  };
  auto check = [&](const char* step, bool refuse = true) {
    const IdPoints live = live_of(h);
    EXPECT_EQ(static_cast<int>(live.size()), h.get_valid_vids()) << step;
    EXPECT_TRUE(mirror == live) << step << ": mirror " << mirror.size() << ", live " << live.size();
    if (!refuse) return live;
    RealTimeFusionCloudHelper fresh(kCell, kCell, 3.f, true);
    std::vector<int> changed;
    for (std::size_t i = 0; i < stored.size(); ++i) {
      fresh.fusion_one_laser(stored[i], storedRts[i]);
      fresh.get_cloud(changed);
    }
    // The fresh grid is centred on another first frame: points lie up to a cell apart.
    const IdPoints theirs = live_of(fresh);
    const double a = covered(live, theirs, kCell), b = covered(theirs, live, kCell);
    std::printf("%s: %zu live points, re-fused %zu; covered %.3f / %.3f\n", step, live.size(), theirs.size(), a, b);
    EXPECT_TRUE(a > 0.95 && b > 0.95) << step;
    return live;
  };
  auto edit = [&](auto&& call, const char* step) {
    const IdPoints before = live_of(h);
    const int current = h.get_current_vids();
    std::vector<int> deleted;
    call(deleted);
    for (int id : deleted) mirror.erase(id);
    const IdPoints after = live_of(h);
    std::vector<int> died;
    for (const auto& kv : before)
      if (!after.count(kv.first)) died.push_back(kv.first);
    std::sort(deleted.begin(), deleted.end());
    EXPECT_EQ(deleted, died) << step;
    EXPECT_EQ(h.get_current_vids(), current) << step;
    EXPECT_EQ(h.get_valid_vids(), static_cast<int>(before.size() - deleted.size())) << step;
    std::vector<int> kept;
    h.map_on_frame_delete_point(stored, storedRts, kept);
    EXPECT_EQ(stored.size(), storedRts.size());
    return check(step);
  };

  fuse({V3(0, 0, 1), V3(1, 0, 0)});
  EXPECT_TRUE(h.get_valid_ids(false).empty()) << "no refresh yet";
  const IdPoints first = check("fused", false);
  ASSERT_GT(first.size(), 1500u);
  // Keep the half x < c.x: the rest goes, up to the keep box's reach.
  std::vector<V3> keep;
  for (const auto& kv : first)
    if (kv.second.x() < c.x()) keep.push_back(kv.second);
  for (const auto& kv : edit([&](std::vector<int>& d) { h.delete_grid_point_by_save_cloud(keep, d); }, "keep cloud"))
    EXPECT_LT(kv.second.x(), c.x() + 6 * kCell + 1e-4f);

  const V3 diagonal = V3(0.7f, 0, 0.7f).normalized();
  fuse({diagonal});
  int back = 0;
  std::vector<V3> selected;  // every live point within 0.6 of a surface point
  const V3 target = c + 2.f * diagonal;
  for (const auto& kv : check("fused over the erased half")) {
    back += kv.second.x() > c.x() + 1.f;
    if ((kv.second - target).norm() < 0.6f) selected.push_back(kv.second);
  }
  EXPECT_GT(back, 200);
  ASSERT_GT(selected.size(), 50u);
  for (const auto& kv : edit([&](std::vector<int>& d) { h.delete_grid_point_by_select_points({}, selected, d); },
                             "selection"))
    EXPECT_GT((kv.second - target).norm(), 0.5f);

  // The marching-cubes mesh faces outward (toward the scanner), erased cells
  // carry no surface, and make_union keeps the vertices near live points.
  TavoAlgorithm::BaseTriMesh mesh;
  h.get_marching_cube_mesh(mesh);
  ASSERT_GT(mesh.get_fn(), 1000);
  int outward = 0;
  for (int f = 0; f < mesh.get_fn(); ++f)
    outward += mesh.get_fNrv(f).dot((mesh.get_vCoord(mesh.get_face(f)[0]) - c).normalized()) > 0.f;
  EXPECT_GT(outward, 0.95 * mesh.get_fn());
  h.make_union(mesh);
  IdPoints kept;
  for (int v = 0; v < mesh.get_vn(); ++v) {
    EXPECT_GT((mesh.get_vCoord(v) - target).norm(), 0.5f);
    if (!mesh.get_vDeleted(v)) kept[v] = mesh.get_vCoord(v);
  }
  EXPECT_GT(kept.size(), 0.9 * mesh.get_vn());
  EXPECT_EQ(covered(kept, live_of(h), 6 * kCell), 1.0);
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "LaserFusionHelper.h"

using TavoAlgorithm::Cloud;
using TavoAlgorithm::LaserFusionHelper;
using TavoAlgorithm::OrvaneMarkPoints;
using TavoAlgorithm::RigidMatrix;
using LaserReconstrcution::Leaf;
using LaserReconstrcution::LeafTangent;
using V3 = Eigen::Vector3f;
using V3i = Eigen::Vector3i;

namespace {
// Larger than twice the 0.05 face reach of a selection, so that only one
// face of a cell can be near a point.
constexpr float kCell = 0.2f;
const V3i kOrigin(50, 50, 50);

V3 centre(const V3i& c) { return (c.cast<float>().array() + 0.5f).matrix() * kCell; }

// Hand-made model: a live record with a point at its cell centre.
struct Model {
  LaserFusionHelper<LeafTangent> h{10, kCell, 0.1f, 0.1f, 3, true};
  Cloud cloud;

  Model() { cloud.enable_vFlag(); }
  LeafTangent& add(const V3i& c, bool withTwin = false) {
    LeafTangent& r = h.octree().element(h.octree().find_or_create_leaf(c)).payload;
    r.weight = r.weight2 = 1.f;
    r.count = 3;
    r.flags = LaserReconstrcution::LEAF_UPDATED;
    r.vertexId = cloud.add_vCoord(centre(c));
    if (withTwin) {
      r.twin = h.twin_pool().acquire();
      r.twin->weight = 1.f;
      r.twin->vertexId = cloud.add_vCoord(centre(c));
    }
    return r;
  }
  const LeafTangent* at(const V3i& c) const { return h.octree().find_payload(c); }
  bool live(const V3i& c) const {
    const LeafTangent* r = at(c);
    return r != nullptr && r->vertexId >= 0 && !cloud.get_vDeleted(r->vertexId);
  }
  std::vector<int> live_ids() const {
    std::vector<int> ids;
    for (int i = 0; i < cloud.get_vn(); ++i)
      if (!cloud.get_vDeleted(i)) ids.push_back(i);
    return ids;
  }
};

std::vector<int> sorted(std::vector<int> v) {
  std::sort(v.begin(), v.end());
  return v;
}
}  // namespace

TEST(GridEditing, KeepPointKeepsOneCellBelowToFiveAbove) {
  for (bool spread : {false, true}) {
    // One row of cells per axis, far enough apart not to keep each other;
    // a far keep point spreads the keep points too wide for the dense box.
    Model m;
    std::vector<V3> keep = {centre(kOrigin), centre(kOrigin + V3i(60, 0, 0)), centre(kOrigin + V3i(120, 0, 0))};
    if (spread) keep.push_back(centre(V3i(1000, 1000, 1000)));
    auto origin = [](int axis) -> V3i { return kOrigin + V3i(60 * axis, 0, 0); };
    std::vector<int> expectedGone;
    for (int axis = 0; axis < 3; ++axis)
      for (int d = -3; d <= 7; ++d) {
        const LeafTangent& r = m.add(origin(axis) + d * V3i::Unit(axis));
        if (d < -1 || d > 5) expectedGone.push_back(r.vertexId);
      }
    std::vector<int> deleted;
    m.h.delete_grid_point_by_save_cloud(keep, m.cloud, deleted);
    EXPECT_EQ(sorted(deleted), sorted(expectedGone)) << "spread " << spread;
    for (int axis = 0; axis < 3; ++axis)
      for (int d = -3; d <= 7; ++d) {
        const V3i c = origin(axis) + d * V3i::Unit(axis);
        EXPECT_EQ(m.live(c), d >= -1 && d <= 5) << "axis " << axis << " offset " << d << " spread " << spread;
        if (d == -2) {
          // Emptied in place: the leaf stays in the tree, ready to be fused again.
          ASSERT_NE(m.at(c), nullptr);
          EXPECT_EQ(m.at(c)->count, 0);
          EXPECT_EQ(m.at(c)->vertexId, -1);
        }
      }
    EXPECT_TRUE(m.cloud.get_vCoord(expectedGone[1]).isZero());
    // The same keep list again finds nothing left to erase.
    m.h.delete_grid_point_by_save_cloud(keep, m.cloud, deleted);
    EXPECT_TRUE(deleted.empty());
  }
}

TEST(GridEditing, EmptyKeepListErasesEverythingAndReportsEachLiveIdOnce) {
  Model m;
  for (int x = 0; x < 40; ++x) m.add(kOrigin + V3i(x, x % 3, 0), x % 4 == 0);
  m.cloud.set_vDeleted(5, true);  // already gone: not reported again
  const std::vector<int> live = m.live_ids();
  std::vector<int> deleted;
  m.h.delete_grid_point_by_save_cloud({}, m.cloud, deleted);
  EXPECT_EQ(sorted(deleted), live);
  EXPECT_TRUE(m.live_ids().empty());
  const LeafTangent* r = m.at(kOrigin);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->twin, nullptr);
  EXPECT_EQ(r->flags, 0);
  EXPECT_EQ(r->weight, 0.f);

  m.h.delete_grid_point_by_save_cloud({}, m.cloud, deleted);
  EXPECT_TRUE(deleted.empty());
}

TEST(GridEditing, NormalVariantRecordsKeepTheirFlags) {
  LaserFusionHelper<Leaf> h(10, kCell, 0.1f, 0.1f, 3, false);
  Leaf& r = h.octree().element(h.octree().find_or_create_leaf(kOrigin)).payload;
  r.weight = 2.f;
  r.count = 4;
  r.flags = LaserReconstrcution::LEAF_NORMAL_STALE;
  Cloud cloud;
  std::vector<int> deleted = {7};
  h.delete_grid_point_by_save_cloud({}, cloud, deleted);
  EXPECT_TRUE(deleted.empty());
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(r.flags, LaserReconstrcution::LEAF_NORMAL_STALE);
}

TEST(GridEditing, SelectedPointTakesTheCellAcrossANearFace) {
  struct Case {
    float fromFace;  // distance of the point from the chosen face
    int side;        // +1: the +face of the axis, -1: the -face
    bool across;     // the cell across that face is erased too
  };
  const Case cases[] = {{0.03f, +1, true}, {0.07f, +1, false}, {0.03f, -1, true}, {0.049f, -1, true}};
  // Every (axis, case) on its own row of 21 cells, rows 40 cells apart.
  Model m;
  auto origin = [](int row) { return V3i(50 + 40 * row, 200, 200); };
  std::vector<V3> points;
  std::size_t expectedCount = 0;
  for (int axis = 0, row = 0; axis < 3; ++axis)
    for (const Case& k : cases) {
      for (int d = -10; d <= 10; ++d) m.add(origin(row) + d * V3i::Unit(axis));
      V3 p = centre(origin(row++));
      p[axis] += k.side * (0.5f * kCell - k.fromFace);
      points.push_back(p);
      expectedCount += k.across ? 2 : 1;
    }
  std::vector<int> deleted;
  m.h.delete_grid_point_by_select_points({}, points, m.cloud.get_vn(), m.cloud, deleted);
  EXPECT_EQ(deleted.size(), expectedCount);
  for (int axis = 0, row = 0; axis < 3; ++axis)
    for (const Case& k : cases) {
      const V3i o = origin(row++);
      for (int d = -10; d <= 10; ++d) {
        const bool gone = d == 0 || (k.across && d == k.side);
        EXPECT_EQ(m.live(o + d * V3i::Unit(axis)), !gone)
            << "axis " << axis << " side " << k.side << " distance " << k.fromFace << " offset " << d;
      }
    }
}

TEST(GridEditing, SelectionErasesCellsWithoutLiveVertex) {
  Model m;
  for (int x = 0; x < 20; ++x) m.add(kOrigin + V3i(x, 0, 0));
  // A leaf whose point the extraction withdrew, far from every live point.
  m.add(kOrigin + V3i(0, 20, 0));
  m.cloud.set_vDeleted(20, true);
  std::vector<int> deleted;
  m.h.delete_grid_point_by_select_points({}, {}, m.cloud.get_vn(), m.cloud, deleted);
  EXPECT_TRUE(deleted.empty());
  EXPECT_EQ(m.at(kOrigin + V3i(0, 20, 0))->count, 0);
  EXPECT_EQ(m.live_ids().size(), 20u);
}

TEST(GridEditing, MarkedRegionsNeedAMarkAndEraseEachIdOnce) {
  for (bool marked : {false, true}) {
    Model m;
    for (int y = -5; y <= 5; ++y)
      for (int x = -5; x <= 5; ++x) m.add(kOrigin + V3i(x, y, 0));
    OrvaneMarkPoints marks;
    if (marked) marks.markIds = {1, 2};
    // Two overlapping regions on the same centre: each id still once.
    marks.points = {centre(kOrigin), centre(kOrigin)};
    marks.radius = 2.25f * kCell;
    std::vector<int> deleted;
    m.h.delete_grid_point_by_select_points(marks, {}, m.cloud.get_vn(), m.cloud, deleted);
    std::set<int> unique(deleted.begin(), deleted.end());
    EXPECT_EQ(unique.size(), deleted.size());
    // Cells whose centre lies within 2.25 cells: x^2 + y^2 <= 5, 21 of them.
    EXPECT_EQ(deleted.size(), marked ? 21u : 0u);
    for (int y = -5; y <= 5; ++y)
      for (int x = -5; x <= 5; ++x)
        EXPECT_EQ(m.live(kOrigin + V3i(x, y, 0)), !marked || x * x + y * y > 5) << x << " " << y;
  }
}

TEST(GridEditing, EditsIgnorePointsOutsideTheGridAndNaN) {
  Model m;
  m.add(kOrigin);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<int> deleted;
  m.h.delete_grid_point_by_select_points({}, {V3(nan, 0, 0), V3(-1e30f, 0, 0), V3(1e30f, 1e30f, 1e30f)}, 1, m.cloud,
                                         deleted);
  EXPECT_TRUE(deleted.empty());
  // A keep list of only unusable points keeps nothing.
  m.h.delete_grid_point_by_save_cloud({V3(nan, nan, nan)}, m.cloud, deleted);
  EXPECT_EQ(deleted, std::vector<int>{0});
}

namespace {
// A line along x through the cell centres x0 ... x1 of row (y, z) = (50, 50),
// in the camera frame of a camera at `t` (pose: translation by t).
Cloud line_of(int x0, int x1, const V3& t) {
  Cloud c;
  for (int x = x0; x <= x1; ++x) c.add_vCoord(centre(V3i(x, 50, 50)) - t);
  return c;
}
RigidMatrix at_position(const V3& t) { return RigidMatrix(Eigen::Matrix3d::Identity(), t.cast<double>()); }
}  // namespace

TEST(GridEditing, FramesLoseErasedPointsButKeepOneAtEachEnd) {
  Model m;
  for (int x = 40; x <= 60; ++x) m.add(V3i(x, 50, 50));
  std::vector<int> deleted;
  // Erase 48 ... 52 by selecting them.
  std::vector<V3> sel;
  for (int x = 48; x <= 52; ++x) sel.push_back(centre(V3i(x, 50, 50)));
  m.h.delete_grid_point_by_select_points({}, sel, m.cloud.get_vn(), m.cloud, deleted);
  ASSERT_EQ(deleted.size(), 5u);

  const V3 t0(1, 2, 3), t1(-4, 0, 2), t2(0, 0, -7);
  std::vector<std::vector<Cloud>> frames = {{line_of(40, 60, t0), line_of(49, 51, t0)},
                                            {line_of(49, 51, t1)},
                                            {line_of(40, 45, t2), line_of(70, 75, t2)}};
  frames[0][0].set_vCoord(3, V3::Constant(std::numeric_limits<float>::quiet_NaN()));
  std::vector<RigidMatrix> rts = {at_position(t0), at_position(t1), at_position(t2)};
  std::vector<int> kept = {99};
  m.h.map_on_frame_delete_point(frames, rts, kept);
  EXPECT_EQ(kept, (std::vector<int>{99, 0, 2}));
  ASSERT_EQ(frames.size(), 2u);
  ASSERT_EQ(rts.size(), 2u);
  EXPECT_TRUE(rts[1].get_translation().isApprox(t2.cast<double>()));
  // 21 points less 49 ... 51 (48 and 52 end the erased stretch) and less
  // the NaN point, which is never given back as a stretch end.
  ASSERT_EQ(frames[0].size(), 1u);
  EXPECT_EQ(frames[0][0].get_vn(), 21 - 3 - 1);
  ASSERT_EQ(frames[1].size(), 1u);  // the line through cells without leaves is gone
  EXPECT_EQ(frames[1][0].get_vn(), 6);
  std::vector<float> xs;
  for (int i = 0; i < frames[0][0].get_vn(); ++i) xs.push_back((frames[0][0].get_vCoord(i) + t0).x());
  std::sort(xs.begin(), xs.end());
  EXPECT_NEAR(xs[7], centre(V3i(48, 50, 50)).x(), 1e-4f);
  EXPECT_NEAR(xs[8], centre(V3i(52, 50, 50)).x(), 1e-4f);
}

TEST(GridEditing, FrameMappingRefusesBadListsAndEmptiesWithTheModel) {
  Model m;
  std::vector<std::vector<Cloud>> frames = {{line_of(40, 45, V3::Zero())}};
  std::vector<RigidMatrix> rts = {RigidMatrix()};
  std::vector<int> kept;
  // Nothing fused yet: nothing erased, nothing to map.
  m.h.map_on_frame_delete_point(frames, rts, kept);
  EXPECT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0][0].get_vn(), 6);

  m.add(V3i(40, 50, 50));
  std::vector<RigidMatrix> twoRts = {RigidMatrix(), RigidMatrix()};
  m.h.map_on_frame_delete_point(frames, twoRts, kept);
  EXPECT_EQ(frames.size(), 1u);
  EXPECT_EQ(twoRts.size(), 2u);
  EXPECT_TRUE(kept.empty());

  std::vector<int> deleted;
  m.h.delete_grid_point_by_save_cloud({}, m.cloud, deleted);
  m.h.map_on_frame_delete_point(frames, rts, kept);
  EXPECT_TRUE(frames.empty());
  EXPECT_TRUE(rts.empty());
  EXPECT_TRUE(kept.empty());
}

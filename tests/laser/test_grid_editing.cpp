#include <gtest/gtest.h>

#include <set>

#include "laser_scan_util.h"

using namespace laser_test;
using TavoAlgorithm::OrvaneMarkPoints;

namespace {
// More than twice the 0.05 face reach of a selection: one face near a point at most.
constexpr float kBigCell = 0.2f;
const V3i kOrigin(50, 50, 50);

V3 centre(const V3i& c) { return (c.cast<float>().array() + 0.5f).matrix() * kBigCell; }

std::vector<int> sorted(std::vector<int> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Hand-made model: live records with a point at their cell centre.
struct Model {
  LaserFusionHelper<LeafTangent> h{10, kBigCell, 0.1f, 0.1f, 3, true};
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
  bool live(const V3i& c) const { return at(c) && at(c)->vertexId >= 0 && !cloud.get_vDeleted(at(c)->vertexId); }
  std::vector<int> live_ids() const {
    std::vector<int> ids;
    for (int i = 0; i < cloud.get_vn(); ++i)
      if (!cloud.get_vDeleted(i)) ids.push_back(i);
    return ids;
  }
  std::vector<int> select(const OrvaneMarkPoints& marks, const std::vector<V3>& points) {
    std::vector<int> deleted;
    h.delete_grid_point_by_select_points(marks, points, cloud.get_vn(), cloud, deleted);
    return sorted(deleted);
  }
  std::vector<int> keep(const std::vector<V3>& points) {
    std::vector<int> deleted;
    h.delete_grid_point_by_save_cloud(points, cloud, deleted);
    return sorted(deleted);
  }
};
}  // namespace

TEST(GridEditing, KeepPointKeepsOneCellBelowToFiveAbove) {
  for (bool spread : {false, true}) {
    // One row of cells per axis, far enough apart not to keep each other;
    // a far keep point spreads the keep points too wide for the dense box.
    Model m;
    auto origin = [](int axis) -> V3i { return kOrigin + V3i(60 * axis, 0, 0); };
    std::vector<V3> keep = {centre(origin(0)), centre(origin(1)), centre(origin(2))};
    if (spread) keep.push_back(centre(V3i(1000, 1000, 1000)));
    std::vector<int> expectedGone;
    for (int axis = 0; axis < 3; ++axis)
      for (int d = -3; d <= 7; ++d)
        if (const int id = m.add(origin(axis) + d * V3i::Unit(axis)).vertexId; d < -1 || d > 5)
          expectedGone.push_back(id);
    EXPECT_EQ(m.keep(keep), sorted(expectedGone)) << "spread " << spread;
    for (int axis = 0; axis < 3; ++axis)
      for (int d = -3; d <= 7; ++d)
        EXPECT_EQ(m.live(origin(axis) + d * V3i::Unit(axis)), d >= -1 && d <= 5) << axis << " " << d << " " << spread;
    // Emptied in place: the leaf stays in the tree, ready to be fused again.
    const LeafTangent* gone = m.at(kOrigin - 2 * V3i::UnitX());
    EXPECT_TRUE(gone && gone->count == 0 && gone->vertexId == -1);
    EXPECT_TRUE(m.cloud.get_vCoord(expectedGone[1]).isZero());
    EXPECT_TRUE(m.keep(keep).empty()) << "the same keep list again finds nothing left to erase";
  }
}

TEST(GridEditing, EmptyKeepListErasesEverythingAndReportsEachLiveIdOnce) {
  Model m;
  for (int x = 0; x < 40; ++x) m.add(kOrigin + V3i(x, x % 3, 0), x % 4 == 0);
  m.cloud.set_vDeleted(5, true);  // already gone: not reported again
  const std::vector<int> live = m.live_ids();
  EXPECT_EQ(m.keep({}), live);
  EXPECT_TRUE(m.live_ids().empty());
  const LeafTangent* r = m.at(kOrigin);  // had a twin
  EXPECT_TRUE(r && !r->twin && r->flags == 0 && r->weight == 0.f);
  // A second call reports nothing; old ids are overwritten, not appended to.
  std::vector<int> deleted = {7};
  m.h.delete_grid_point_by_save_cloud({}, m.cloud, deleted);
  EXPECT_TRUE(deleted.empty());
}

TEST(GridEditing, SelectionTakesTheCellAcrossANearFaceAndIgnoresBadPoints) {
  struct Case {
    float fromFace;  // distance of the point from the chosen face
    int side;        // +1: the +face of the axis, -1: the -face
    bool across;     // the cell across that face is erased too
  };
  const Case cases[] = {{0.03f, +1, true}, {0.07f, +1, false}, {0.03f, -1, true}, {0.049f, -1, true}};
  // Every (axis, case) on its own row of 21 cells, rows 40 cells apart. NaN and far points
  // select nothing; a leaf whose point was withdrawn goes (no live vertex), one whose live
  // point sits at the origin stays (erased points are told by their flag, not by zero).
  Model m;
  m.add(kOrigin + V3i(0, 20, 0));
  m.cloud.set_vDeleted(0, true);
  m.cloud.set_vCoord(m.add(V3i(0, 0, 0)).vertexId, V3::Zero());
  std::vector<V3> points = {V3(kNaN, 0, 0), V3(-1e30f, 0, 0), V3(1e30f, 1e30f, 1e30f)};
  auto origin = [](int row) { return V3i(50 + 40 * row, 200, 200); };
  std::size_t expectedCount = 0;
  for (int axis = 0, row = 0; axis < 3; ++axis)
    for (const Case& k : cases) {
      for (int d = -10; d <= 10; ++d) m.add(origin(row) + d * V3i::Unit(axis));
      V3 p = centre(origin(row++));
      p[axis] += k.side * (0.5f * kBigCell - k.fromFace);
      points.push_back(p);
      expectedCount += k.across ? 2 : 1;
    }
  EXPECT_EQ(m.select({}, points).size(), expectedCount);
  for (int axis = 0, row = 0; axis < 3; ++axis)
    for (const Case& k : cases) {
      const V3i o = origin(row++);
      for (int d = -10; d <= 10; ++d)
        EXPECT_EQ(m.live(o + d * V3i::Unit(axis)), !(d == 0 || (k.across && d == k.side)))
            << "axis " << axis << " side " << k.side << " distance " << k.fromFace << " offset " << d;
    }
  EXPECT_TRUE(m.at(kOrigin + V3i(0, 20, 0))->count == 0 && m.live(V3i(0, 0, 0)));
  // A keep list of only unusable points keeps nothing.
  const std::vector<int> live = m.live_ids();
  EXPECT_EQ(m.keep({V3(kNaN, kNaN, kNaN)}), live);
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
    marks.radius = 2.25f * kBigCell;
    const std::vector<int> deleted = m.select(marks, {});
    EXPECT_EQ(std::set<int>(deleted.begin(), deleted.end()).size(), deleted.size());
    // Cells whose centre lies within 2.25 cells: x^2 + y^2 <= 5, 21 of them.
    EXPECT_EQ(deleted.size(), marked ? 21u : 0u);
    for (int y = -5; y <= 5; ++y)
      for (int x = -5; x <= 5; ++x)
        EXPECT_EQ(m.live(kOrigin + V3i(x, y, 0)), !marked || x * x + y * y > 5) << x << " " << y;
  }
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
  std::vector<std::vector<Cloud>> frames = {{line_of(40, 45, V3::Zero())}};
  std::vector<RigidMatrix> rts = {RigidMatrix()}, twoRts = {RigidMatrix(), RigidMatrix()};
  std::vector<int> kept = {99};
  // Frame and pose counts that differ: unchanged.
  for (int x = 40; x <= 60; ++x) m.add(V3i(x, 50, 50));
  m.h.map_on_frame_delete_point(frames, twoRts, kept);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0][0].get_vn(), 6);
  EXPECT_EQ(kept, std::vector<int>{99});

  std::vector<V3> sel;  // erase 48 ... 52
  for (int x = 48; x <= 52; ++x) sel.push_back(centre(V3i(x, 50, 50)));
  ASSERT_EQ(m.select({}, sel).size(), 5u);
  const V3 t0(1, 2, 3), t1(-4, 0, 2), t2(0, 0, -7);
  frames = {{line_of(40, 60, t0), line_of(49, 51, t0)}, {line_of(49, 51, t1)},
            {line_of(40, 45, t2), line_of(70, 75, t2)}};
  frames[0][0].set_vCoord(3, V3::Constant(kNaN));
  rts = {at_position(t0), at_position(t1), at_position(t2)};
  m.h.map_on_frame_delete_point(frames, rts, kept);
  EXPECT_EQ(kept, (std::vector<int>{99, 0, 2}));
  ASSERT_TRUE(frames.size() == 2u && rts.size() == 2u);
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
  // An erased model leaves no frame.
  m.keep({});
  kept.clear();
  m.h.map_on_frame_delete_point(frames, rts, kept);
  EXPECT_TRUE(frames.empty() && rts.empty() && kept.empty());
}

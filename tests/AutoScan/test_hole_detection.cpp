// Holes to scan from marked points and point flags, against holes built
// square by square on a dome whose border is its lowest edge.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "HoleDetection.h"
#include "hole_meshes.h"
#include "platform/meshproc/hole_fixture.h"

using namespace TavoAlgorithm;
using namespace tavo_test;
using Eigen::Vector3f;

namespace {

constexpr int kN = 40;
constexpr float kHeight = 12.f;

// The box of a removed square's four corners on the dome.
BoundingBox square_box(const BaseTriMesh& m, int r, int c) {
  BoundingBox b;
  for (int dr = 0; dr < 2; ++dr)
    for (int dc = 0; dc < 2; ++dc) b.extend(m.get_vCoord((r + dr) * (kN + 1) + c + dc));
  return b;
}

bool same_box(const BoundingBox& a, const BoundingBox& b) {
  return a.min_corner() == b.min_corner() && a.max_corner() == b.max_corner();
}

Vector3f box_centre(const BoundingBox& b) { return 0.5f * (b.min_corner() + b.max_corner()); }

// A ring between circles of `count` points each, radius 100 and 110, wavy
// in z, so that its two borders hold `count` vertices and lie well above
// their lowest point.
TriMesh wavy_ring(int count) {
  BaseTriMesh m;
  for (int i = 0; i < count; ++i) {
    const float a = 2.f * float(M_PI) * i / count;
    const float z = 10.f + 30.f * std::sin(a);
    m.add_vCoord({100.f * std::cos(a), 100.f * std::sin(a), z});
    m.add_vCoord({110.f * std::cos(a), 110.f * std::sin(a), z});
  }
  std::vector<BaseTriFace> faces;
  for (int i = 0; i < count; ++i) {
    const int j = (i + 1) % count;
    faces.push_back({2 * i, 2 * i + 1, 2 * j + 1});
    faces.push_back({2 * i, 2 * j + 1, 2 * j});
  }
  m.set_faces(std::move(faces));
  return test::half_edge(m);
}

}  // namespace

TEST(FindMeshHoleByPts, SelectsHolesHoldingAPointBoundsIncluded) {
  const BaseTriMesh base = dome(kN, kHeight, {{10, 10}, {10, 25}, {25, 18}});
  const TriMesh mesh = test::half_edge(base);
  const BoundingBox h0 = square_box(base, 10, 10), h1 = square_box(base, 10, 25), h2 = square_box(base, 25, 18);
  const BoundingBox kept = BoundingBox(Vector3f::Constant(-1.f), Vector3f::Constant(1.f));
  std::vector<BoundingBox> boxes{kept};
  float cut = 100.f;
  // On h0's max corner exactly; inside h2; NaN ignored; the dome's border box
  // holds every point but is its cut edge.
  const std::vector<Vector3f> pts = {h0.max_corner(), box_centre(h2), Vector3f::Constant(std::nanf("")),
                                     {0.5f, 0.5f, 0.f}};
  EXPECT_TRUE(find_mesh_hole_by_pts(mesh, pts, boxes, cut));
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_TRUE(same_box(boxes[0], kept) && same_box(boxes[1], h0) && same_box(boxes[2], h2));
  EXPECT_FLOAT_EQ(cut, std::min(h0.minZ, h2.minZ) - 2.f);

  // The cut height is only lowered; nothing for empty or far points.
  float low = -50.f;
  boxes.clear();
  EXPECT_TRUE(find_mesh_hole_by_pts(mesh, {box_centre(h1)}, boxes, low));
  EXPECT_TRUE(boxes.size() == 1u && same_box(boxes[0], h1) && low == -50.f);
  EXPECT_TRUE(find_mesh_hole_by_pts(mesh, {}, boxes, low));
  EXPECT_TRUE(find_mesh_hole_by_pts(mesh, {{1e6f, 0.f, 0.f}, h1.max_corner() + Vector3f(0, 0, 1e-3f)}, boxes, low));
  EXPECT_TRUE(boxes.size() == 1u && low == -50.f);
  TriMesh closed = test::half_edge(dome(kN, kHeight));
  closed.clean();
  EXPECT_TRUE(find_mesh_hole_by_pts(closed, {box_centre(h1)}, boxes, low));
  EXPECT_EQ(boxes.size(), 1u);
}

TEST(FindMeshHoleByPts, HolesOf2000VerticesAreKept2001Dropped) {
  for (int count : {2000, 2001}) {
    const TriMesh ring = wavy_ring(count);
    std::vector<BoundingBox> boxes;
    float cut = std::numeric_limits<float>::max();
    // A point inside the inner hole lies inside the outer border's box too.
    EXPECT_TRUE(find_mesh_hole_by_pts(ring, {{0.f, 0.f, 10.f}}, boxes, cut));
    EXPECT_EQ(boxes.size(), count == 2000 ? 2u : 0u) << count;
    if (count == 2000) EXPECT_NEAR(cut, -22.f, 1e-3f);
    else EXPECT_EQ(cut, std::numeric_limits<float>::max());
  }
}

TEST(FindMeshHoleByPts, SecondPointsAddTheHolesNearTheFirst) {
  // Squares 4 apart have centres 4 apart (in x); 12 apart, too far.
  const BaseTriMesh base = dome(kN, kHeight, {{20, 10}, {20, 14}, {20, 22}, {8, 30}});
  const TriMesh mesh = test::half_edge(base);
  const BoundingBox a = square_box(base, 20, 10), nearA = square_box(base, 20, 14), far = square_box(base, 20, 22),
                    other = square_box(base, 8, 30);
  ASSERT_LE((box_centre(a) - box_centre(nearA)).norm(), 6.f);
  ASSERT_GT((box_centre(a) - box_centre(far)).norm(), 6.f);
  std::vector<BoundingBox> boxes(4);  // replaced
  float cut = 1000.f;
  EXPECT_TRUE(find_mesh_hole_by_pts(mesh, {box_centre(a), box_centre(other)},
                                    {box_centre(far), box_centre(nearA), box_centre(a)}, boxes, cut));
  // The first list's holes in hole order (row 8 before row 20), then the
  // near ones of the second list's, in its hole order (a, then nearA).
  ASSERT_EQ(boxes.size(), 4u);
  EXPECT_TRUE(same_box(boxes[0], other) && same_box(boxes[1], a));
  EXPECT_TRUE(same_box(boxes[2], a) && same_box(boxes[3], nearA));
  EXPECT_FLOAT_EQ(cut, std::min({a.minZ, nearA.minZ, far.minZ, other.minZ}) - 2.f) << "both searches lower it";

  EXPECT_TRUE(find_mesh_hole_by_pts(mesh, {}, {box_centre(a)}, boxes, cut));
  EXPECT_TRUE(boxes.empty()) << "no first holes: nothing to pair with";
}

TEST(FindMeshHoleByPts, ParallelPassesMatchABruteForceOracle) {
  // 54 holes; the points hit every other one, some of them twice.
  std::vector<std::pair<int, int>> squares;
  for (int r = 3; r < kN - 3; r += 6)
    for (int c = 3; c < kN - 3; c += 4) squares.emplace_back(r, c);
  const BaseTriMesh base = dome(kN, kHeight, squares);
  const TriMesh mesh = test::half_edge(base);
  std::vector<Vector3f> pts;
  std::vector<BoundingBox> expected;
  float expectedCut = 5.f;
  // The oracle's hole order is the square order: the first border edge of a
  // square hole belongs to the square below it, whose faces come first. The
  // dome's border at z = 0 is the lowest hole bottom: squares with three or
  // four corners below z = 1 lie on the cut edge.
  for (std::size_t i = 0; i < squares.size(); ++i) {
    const BoundingBox b = square_box(base, squares[i].first, squares[i].second);
    if (i % 2) continue;
    pts.push_back(box_centre(b));
    if (i % 3 == 0) pts.push_back(b.min_corner());
    int low = 0;
    for (int dr = 0; dr < 2; ++dr)
      for (int dc = 0; dc < 2; ++dc)
        low += base.get_vCoord((squares[i].first + dr) * (kN + 1) + squares[i].second + dc).z() < 1.f;
    if (low > 2) continue;
    expected.push_back(b);
    expectedCut = std::min(expectedCut, b.minZ - 2.f);
  }
  ASSERT_LT(expected.size(), (squares.size() + 1) / 2) << "some squares lie on the cut edge";
  for (int round = 0; round < 20; ++round) {
    std::vector<BoundingBox> boxes;
    float cut = 5.f;
    find_mesh_hole_by_pts(mesh, pts, boxes, cut);
    ASSERT_EQ(boxes.size(), expected.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) ASSERT_TRUE(same_box(boxes[i], expected[i])) << i;
    ASSERT_EQ(cut, expectedCut);
  }
  // Concurrent calls on their own outputs.
  std::vector<std::thread> callers;
  std::vector<std::size_t> sizes(4);
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([&, t] {
      std::vector<BoundingBox> boxes;
      float cut = 5.f;
      find_mesh_hole_by_pts(mesh, pts, boxes, cut);
      sizes[t] = boxes.size();
    });
  for (auto& c : callers) c.join();
  for (std::size_t s : sizes) EXPECT_EQ(s, expected.size());
}

TEST(AutoClassifyHolesByPtFlags, MarksNearAHoleSelectItAndBadFlagsAreRefused) {
  const BaseTriMesh base = dome(kN, kHeight, {{10, 10}, {10, 25}, {28, 18}});
  const TriMesh mesh = test::half_edge(base);
  const int vn = base.get_vn();
  auto at = [](int r, int c) { return r * (kN + 1) + c; };
  std::vector<std::int32_t> flags(static_cast<std::size_t>(vn), 0);
  flags[at(10, 13)] = 2;  // two squares right of hole (10, 10): its corner (10, 11) is 2 away
  flags[at(30, 30)] = 2;  // no hole within 3
  flags[at(28, 23)] = 1;  // weak marks alone select nothing
  std::vector<BoundingBox> boxes;
  float cut = 100.f;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(auto_classfiy_holes_by_pt_flags(mesh, flags, boxes, cut));
  const std::string out = testing::internal::GetCapturedStdout();
  for (const char* line : {"fix holes cost:   ", "extend holes cost:   ", "auto find holes cost:   "})
    EXPECT_NE(out.find(line), std::string::npos) << line;
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(same_box(boxes[0], square_box(base, 10, 10)));
  EXPECT_FLOAT_EQ(cut, boxes[0].minZ - 2.f);

  // A chain of weak marks carries a strong mark 6 away to hole (28, 18).
  std::vector<std::int32_t> chain(static_cast<std::size_t>(vn), 0);
  chain[at(28, 25)] = 2;
  for (int c = 20; c < 25; ++c) chain[at(28, c)] = 1;
  boxes.clear();
  testing::internal::CaptureStdout();
  EXPECT_TRUE(auto_classfiy_holes_by_pt_flags(mesh, chain, boxes, cut));
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(same_box(boxes[0], square_box(base, 28, 18)));

  std::vector<std::int32_t> weakOnly(static_cast<std::size_t>(vn), 0);
  weakOnly[at(10, 11)] = 1;
  boxes.clear();
  EXPECT_TRUE(auto_classfiy_holes_by_pt_flags(mesh, weakOnly, boxes, cut));
  EXPECT_TRUE(boxes.empty());
  flags.pop_back();
  cut = 100.f;
  EXPECT_FALSE(auto_classfiy_holes_by_pt_flags(mesh, flags, boxes, cut));
  EXPECT_TRUE(boxes.empty() && cut == 100.f);
  EXPECT_TRUE(auto_classfiy_holes_by_pt_flags(mesh, {}, boxes, cut)) << "no strong mark: nothing to do";
  EXPECT_TRUE(auto_classfiy_holes_by_pt_flags_die(mesh, chain, boxes, cut));
  EXPECT_TRUE(boxes.empty() && cut == 100.f);
}

TEST(ExtendColorPick, GrowsWithinThreeOfEachMarkAgainstBruteForce) {
  const BaseTriMesh base = dome(kN, kHeight);
  const TriMesh mesh = test::half_edge(base);
  const int seedA = 15 * (kN + 1) + 15, seedB = 30 * (kN + 1) + 8;
  std::vector<std::int32_t> first{seedB, seedA, seedA, -3, 1 << 20}, second{};
  EXPECT_TRUE(extend_color_pick(mesh, first, second));
  std::vector<std::int32_t> expected;
  for (int v = 0; v < base.get_vn(); ++v)
    if ((base.get_vCoord(v) - base.get_vCoord(seedA)).squaredNorm() <= 9.f ||
        (base.get_vCoord(v) - base.get_vCoord(seedB)).squaredNorm() <= 9.f)
      expected.push_back(v);
  EXPECT_EQ(first, expected) << "sorted, unique, in range, within 3 of a seed";
  EXPECT_GT(expected.size(), 40u);
}

TEST(FindHoleVertexsByValueBoxs, RingsAroundHoleVerticesInBoxes) {
  const BaseTriMesh base = dome(kN, kHeight, {{10, 10}, {30, 30}});
  const TriMesh mesh = test::half_edge(base);
  auto at = [](int r, int c) { return r * (kN + 1) + c; };
  const Vector3f corner = base.get_vCoord(at(10, 10));
  const BoundingBox onCorner(corner, corner);
  std::vector<bool> marks;
  find_hole_vertexs_by_value_boxs(mesh, {BoundingBox(), onCorner}, 0, marks);
  ASSERT_EQ(marks.size(), static_cast<std::size_t>(base.get_vn()));
  EXPECT_EQ(std::count(marks.begin(), marks.end(), true), 1);
  EXPECT_TRUE(marks[at(10, 10)]);

  find_hole_vertexs_by_value_boxs(mesh, {onCorner}, 1, marks);
  std::set<int> ring{at(10, 10)};
  for (int f = 0; f < base.get_fn(); ++f) {
    const auto& t = base.get_face(f);
    if (!base.get_fDeleted(f) && std::count(t.v.begin(), t.v.end(), at(10, 10))) ring.insert(t.v.begin(), t.v.end());
  }
  EXPECT_EQ(std::count(marks.begin(), marks.end(), true), static_cast<long>(ring.size()));
  for (int v : ring) EXPECT_TRUE(marks[v]);

  // The dome's whole border is a hole too: a box over the lowest row marks it.
  find_hole_vertexs_by_value_boxs(mesh, {BoundingBox(Vector3f(-1, -1, -1), Vector3f(kN + 1, 0.5f, 0.5f))}, 0, marks);
  EXPECT_EQ(std::count(marks.begin(), marks.end(), true), kN + 1);
  find_hole_vertexs_by_value_boxs(mesh, {}, 3, marks);
  EXPECT_EQ(std::count(marks.begin(), marks.end(), true), 0);
}

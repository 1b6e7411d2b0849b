// The scoring mesh on the CPU: which holes are closed, which become hole
// faces, and the base disc, against holes of known border lengths.
#include <gtest/gtest.h>

#include <cmath>

#include "AutoScan/emulateBinocular/ScoringMesh.h"
#include "hole_meshes.h"

using namespace TavoAlgorithm;
using namespace tavo_test;
using Eigen::Vector3f;

namespace {

constexpr float kRadius = 40.f;

HoleMeshSettings open_settings() {
  HoleMeshSettings s;
  s.minShellSize = 10;
  s.maxHoleSize = 1000;
  s.addBase = false;
  s.baseHeight = -1000.f;
  return s;
}

BoundingBox box_of(const BaseTriMesh& m, const OracleHole& h) {
  BoundingBox b;
  for (int v : h.verts) b.extend(m.get_vCoord(v));
  return b;
}

bool boxes_meet(const BoundingBox& a, const BoundingBox& b) {
  return a.minX <= b.maxX && b.minX <= a.maxX && a.minY <= b.maxY && b.minY <= a.maxY && a.minZ <= b.maxZ &&
         b.minZ <= a.maxZ;
}

// Builds the scoring mesh and checks its faces; hole faces per oracle hole.
std::vector<int> build_checked(const BaseTriMesh& model, const HoleMeshSettings& s, const std::vector<bool>& scored,
                               ScoringMesh& out, bool keepPatches = false) {
  build_scoring_mesh(model, s, keepPatches, out);
  return check_hole_faces(model, oracle_holes(model), scored, out.mesh, out.firstHoleFace, out.mesh.get_fn());
}

}  // namespace

TEST(ScoringMesh, SixEdgesAreClosedUnscoredSevenAndTwentyOneScored) {
  // 5 edges around an icosahedron vertex (valence 5), 6 around another.
  bool cut = false;
  const BaseTriMesh model = holed_sphere(kRadius, {5, 6, 7, 21}, {{0, 1, 1.618f}, kDirs[0], kDirs[1], kDirs[2]}, &cut);
  ASSERT_TRUE(cut);
  const auto holes = oracle_holes(model);
  ASSERT_EQ(holes.size(), 4u);
  int seven = 0, twentyOne = 0, five = 0;
  for (int h = 0; h < 4; ++h) {
    seven = holes[h].edges == 7 ? h : seven;
    twentyOne = holes[h].edges == 21 ? h : twentyOne;
    five = holes[h].edges == 5 ? h : five;
  }
  ScoringMesh s;
  const auto perHole = build_checked(model, open_settings(), long_holes(holes), s);
  EXPECT_EQ(border_edge_count(s.mesh), 0);
  EXPECT_EQ(s.firstHoleFace, model.get_fn() + 3 + 4) << "ear clipping closes n edges with n - 2 faces";
  EXPECT_EQ(perHole[seven], 5);
  EXPECT_GE(perHole[twentyOne], 19) << "patch faces";

  // With value boxes over the 7- and the 5-edge hole only the 7-edge one is
  // scored, now by the patch filler; the ear clipper closes the others up to
  // 20 edges.
  HoleMeshSettings boxed = open_settings();
  boxed.valueBoxes = {box_of(model, holes[seven]), box_of(model, holes[five])};
  std::vector<bool> scored(4, false);
  scored[seven] = true;
  const auto boxedPerHole = build_checked(model, boxed, scored, s, true);
  EXPECT_GE(boxedPerHole[seven], 5);
  EXPECT_EQ(border_edge_count(s.mesh), 21) << "the 21-edge hole outside the boxes stays open";
  ASSERT_EQ(s.patches.size(), 1u) << "the kept patch of the one large hole";
  int patchBorder = 0;
  for (auto e : s.patches[0].edges()) patchBorder += s.patches[0].is_boundary(e) ? 1 : 0;
  EXPECT_EQ(patchBorder, 7);
}

TEST(ScoringMesh, LargeHoleOnTheReferenceHeightStaysOpen) {
  // The bottom below z = -25 is cut off and its border flattened onto
  // z = -24; a 30-edge hole on the side.
  BaseTriMesh m = sphere(kRadius, 4);
  m.enable_fFlag();
  std::set<int> reserved;
  ASSERT_TRUE(open_hole(m, vertex_towards(m, kDirs[0]), 30, reserved));
  for (int f = 0; f < m.get_fn(); ++f)
    for (int k = 0; k < 3; ++k)
      if (m.get_vCoord(m.get_face(f)[k]).z() < -25.f) m.set_fDeleted(f, true);
  BaseTriMesh model = compacted(m);
  int bottomEdges = 0;
  std::vector<bool> sideOnly;
  for (const auto& h : oracle_holes(model)) {
    sideOnly.push_back(h.edges == 30);
    if (h.edges == 30) continue;
    bottomEdges = h.edges;
    for (int v : h.verts) model.set_vCoord(v, {model.get_vCoord(v).x(), model.get_vCoord(v).y(), -24.f});
  }
  ASSERT_GT(bottomEdges, 30);
  model.enable_vFlag();

  HoleMeshSettings s = open_settings();
  s.addBase = true;
  s.baseHeight = -26.f;  // reference height -24
  ScoringMesh out;
  EXPECT_EQ(build_checked(model, s, sideOnly, out).size(), 2u);
  EXPECT_EQ(border_edge_count(out.mesh), bottomEdges) << "the bottom stays open";
  EXPECT_GT(out.mesh.get_fn(), out.firstHoleFace) << "the side hole is scored";

  // Without the base both are filled; with value boxes over both the lowest
  // hole bottom is the reference, and the bottom stays open again.
  s.addBase = false;
  build_scoring_mesh(model, s, false, out);
  EXPECT_EQ(border_edge_count(out.mesh), 0);
  s.addBase = true;
  s.baseHeight = -500.f;
  s.valueBoxes = {BoundingBox(Vector3f::Constant(-50.f), Vector3f::Constant(50.f))};
  build_scoring_mesh(model, s, false, out);
  EXPECT_EQ(border_edge_count(out.mesh), bottomEdges);
  // With the base, a hole longer than the maximum hole size stays open.
  s.valueBoxes.clear();
  s.maxHoleSize = 29;
  build_scoring_mesh(model, s, false, out);
  EXPECT_EQ(border_edge_count(out.mesh), bottomEdges + 30);
  EXPECT_EQ(out.mesh.get_fn(), out.firstHoleFace);
}

TEST(ScoringMesh, FlaggedFacesBadPointsBaseCutAndSmallShells) {
  BaseTriMesh model = sphere(kRadius, 3);
  model.enable_fFlag();
  const int top = vertex_towards(model, {0, 0, 1});
  for (int f = 0; f < model.get_fn(); ++f)
    if (std::count(model.get_face(f).v.begin(), model.get_face(f).v.end(), top)) model.set_fFlag(f, kFaceNotScored);
  const Vector3f topPoint = model.get_vCoord(top);
  model.set_vCoord(vertex_towards(model, {1, 0, 0}), Vector3f::Constant(std::nanf("")));
  const int sphereFaces = model.get_fn();
  test::add_grid(model, 2, {200.f, 0.f, 0.f});  // a detached shell of 8 faces
  model.add_face({0, 1, model.get_vn() + 5});  // index out of range

  HoleMeshSettings s = open_settings();
  ScoringMesh out;
  build_scoring_mesh(model, s, false, out);
  // Both fans go (the flagged one, and the one of the point that is not
  // finite) and are closed by n - 2 faces each, before the hole faces; the
  // 8-face shell and the bad face are dropped.
  EXPECT_EQ(out.mesh.get_fn(), sphereFaces - 4);
  EXPECT_EQ(out.firstHoleFace, out.mesh.get_fn());
  EXPECT_EQ(border_edge_count(out.mesh), 0);
  for (const auto& p : out.mesh.get_vCoords())
    EXPECT_TRUE(p.allFinite() && p.x() < 100.f && (p - topPoint).norm() > 1e-3f);

  // The base cut needs the add-base flag and vertex flags.
  BaseTriMesh ball = sphere(kRadius, 4);
  s.baseHeight = -30.f;
  s.addBase = true;
  s.maxHoleSize = 1;  // the cut edge is not filled
  build_scoring_mesh(ball, s, false, out);
  EXPECT_TRUE(out.mesh.get_boundBox().minZ < -39.f && border_edge_count(out.mesh) == 0) << "nothing cut";
  ball.enable_vFlag();
  build_scoring_mesh(ball, s, false, out);
  EXPECT_TRUE(out.mesh.get_boundBox().minZ >= -30.f && border_edge_count(out.mesh) > 20);
  s.addBase = false;
  build_scoring_mesh(ball, s, false, out);
  EXPECT_LT(out.mesh.get_boundBox().minZ, -39.f);
  build_scoring_mesh(BaseTriMesh(), s, false, out);
  EXPECT_TRUE(out.mesh.get_vn() == 0 && out.firstHoleFace == 0);
}

TEST(ScoringMesh, BaseDiscAndMaskLayout) {
  const BaseTriMesh disc = make_base_disc();
  ASSERT_TRUE(disc.get_vn() == 37 && disc.get_fn() == 36);
  EXPECT_EQ(disc.get_vCoord(0), Vector3f::Zero());
  for (int k = 1; k <= 36; ++k) {
    const double a = (k - 1) * M_PI / 18.0;
    const Vector3f p = disc.get_vCoord(k);
    EXPECT_TRUE(std::abs(p.x() - 50.0 * std::sin(a)) < 1e-4 && std::abs(p.y() - 50.0 * std::cos(a)) < 1e-4 &&
                p.z() == 0.f) << k;
    const BaseTriFace& f = disc.get_face(k - 1);
    EXPECT_EQ(f, BaseTriFace(0, k, k == 36 ? 1 : k + 1));
    const Vector3f n = (disc.get_vCoord(f[1]) - disc.get_vCoord(f[0])).cross(disc.get_vCoord(f[2]) - disc.get_vCoord(f[0]));
    EXPECT_LT(n.z(), 0.f) << "faces down";
  }
  const std::vector<int> mask = make_hole_face_mask(100, 31, 64);
  ASSERT_EQ(mask.size(), 100u / 32 + 1);
  for (int f = 0; f < 128; ++f) EXPECT_EQ(mask_bit(mask, f), f >= 31 && f < 64) << f;
  EXPECT_EQ(mask[1], -1) << "faces 32..63: every bit of word 1";
  EXPECT_EQ(make_hole_face_mask(0, 0, 0), std::vector<int>{0});
  EXPECT_EQ(make_hole_face_mask(32, 0, 40), (std::vector<int>{-1, 0})) << "bits stop at the face count";
}

TEST(ScoringMesh, FusedBunnyWithTwoCutHoles) {
  CutBunny b;
  if (!cut_bunny(b)) GTEST_SKIP() << "no bunny scans";
  const BaseTriMesh& model = b.model;
  const auto holes = oracle_holes(model);
  ASSERT_EQ(b.cutHoles.size(), 2u);
  const HoleMeshSettings settings = open_settings();

  // Every hole the patch filler may take is closed; hole faces from 7 edges.
  ScoringMesh out;
  const auto perHole = build_checked(model, settings, long_holes(holes), out);
  int tooLong = 0;
  for (const auto& h : holes) tooLong += h.edges > settings.maxHoleSize ? h.edges : 0;
  EXPECT_EQ(border_edge_count(out.mesh), tooLong);
  for (int h : b.cutHoles) EXPECT_GE(perHole[h], holes[h].edges - 2);

  // With value boxes over the two cut holes: only holes of 7 edges or more
  // meeting a box are scored; the others are closed up to 20 edges.
  HoleMeshSettings boxed = settings;
  for (int h : b.cutHoles) boxed.valueBoxes.push_back(box_of(model, holes[h]));
  std::vector<bool> scored;
  int open = 0;
  for (const auto& h : holes) {
    const BoundingBox hb = box_of(model, h);
    scored.push_back(h.edges >= 7 && (boxes_meet(hb, boxed.valueBoxes[0]) || boxes_meet(hb, boxed.valueBoxes[1])));
    open += h.edges > (scored.back() ? settings.maxHoleSize : 20) ? h.edges : 0;
  }
  const auto boxedPerHole = build_checked(model, boxed, scored, out);
  EXPECT_EQ(border_edge_count(out.mesh), open);
  for (int h : b.cutHoles) EXPECT_GE(boxedPerHole[h], holes[h].edges - 2);
}

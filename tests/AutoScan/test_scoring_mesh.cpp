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

// Checks a scoring mesh against the model's oracle holes: model faces first,
// the faces closing holes shorter than `scoredFrom` before firstHoleFace, and
// after it only new faces of holes that are scored. Returns, per oracle hole,
// the number of hole faces closing it.
std::vector<int> check_layout(const BaseTriMesh& model, const ScoringMesh& s, int scoredFrom,
                              const std::vector<bool>& scored) {
  const auto holes = oracle_holes(model);
  const FaceOrigins o = face_origins(model, holes, s.mesh, s.mesh.get_fn());
  std::vector<int> perHole(holes.size(), 0);
  int modelFaces = 0;
  for (int f = 0; f < s.mesh.get_fn(); ++f) {
    if (o.fromModel[f]) {
      EXPECT_EQ(f, modelFaces++) << "model faces come first, in order";
      continue;
    }
    const int h = o.hole[f];
    const bool isScored = h < 0 || (holes[h].edges >= scoredFrom && scored[h]);
    EXPECT_EQ(f >= s.firstHoleFace, isScored) << "face " << f << " of hole " << h;
    if (h >= 0 && f >= s.firstHoleFace) ++perHole[h];
  }
  return perHole;
}

}  // namespace

TEST(ScoringMesh, SphereWithZeroToFourHolesClosesEachAsHoleFaces) {
  const std::vector<int> sizes = {24, 30, 41, 56};
  for (int k = 0; k <= 4; ++k) {
    bool cut = false;
    const BaseTriMesh model = holed_sphere(kRadius, {sizes.begin(), sizes.begin() + k}, kDirs, &cut);
    ASSERT_TRUE(cut);
    const auto holes = oracle_holes(model);
    ASSERT_EQ(static_cast<int>(holes.size()), k);
    ScoringMesh s;
    build_scoring_mesh(model, open_settings(), false, s);
    EXPECT_EQ(border_edge_count(s.mesh), 0) << k << " holes, all closed";
    EXPECT_EQ(s.firstHoleFace, model.get_fn()) << "no small hole";
    const auto perHole = check_layout(model, s, 7, std::vector<bool>(holes.size(), true));
    for (int h = 0; h < k; ++h) EXPECT_GE(perHole[h], holes[h].edges - 2) << "hole " << h << " is filled";
    EXPECT_TRUE(s.patches.empty());
    if (k == 0) EXPECT_EQ(s.mesh.get_fn(), s.firstHoleFace) << "nothing to scan";
  }
}

TEST(ScoringMesh, SixEdgesAreClosedUnscoredSevenAndTwentyOneScored) {
  // 5 edges around an icosahedron vertex (valence 5), 6 around another.
  bool cut = false;
  const BaseTriMesh model = holed_sphere(kRadius, {5, 6, 7, 21}, {{0, 1, 1.618f}, kDirs[0], kDirs[1], kDirs[2]}, &cut);
  ASSERT_TRUE(cut);
  const auto holes = oracle_holes(model);
  ASSERT_EQ(holes.size(), 4u);
  ScoringMesh s;
  build_scoring_mesh(model, open_settings(), false, s);
  EXPECT_EQ(border_edge_count(s.mesh), 0);
  // Ear clipping closes n edges with n - 2 faces.
  EXPECT_EQ(s.firstHoleFace, model.get_fn() + 3 + 4);
  const auto perHole = check_layout(model, s, 7, std::vector<bool>(4, true));
  for (std::size_t h = 0; h < holes.size(); ++h) {
    if (holes[h].edges == 7) EXPECT_EQ(perHole[h], 5);
    if (holes[h].edges == 21) EXPECT_GE(perHole[h], 19) << "patch faces";
    if (holes[h].edges < 7) EXPECT_EQ(perHole[h], 0);
  }

  // With value boxes only holes of 7 or more edges inside them are scored;
  // the others are closed when the ear clipper takes them (up to 20 edges).
  int seven = -1, twentyOne = -1, five = -1;
  for (std::size_t h = 0; h < holes.size(); ++h) {
    if (holes[h].edges == 7) seven = static_cast<int>(h);
    if (holes[h].edges == 21) twentyOne = static_cast<int>(h);
    if (holes[h].edges == 5) five = static_cast<int>(h);
  }
  HoleMeshSettings boxed = open_settings();
  for (int h : {seven, five}) {
    BoundingBox b;
    for (int v : holes[h].verts) b.extend(model.get_vCoord(v));
    boxed.valueBoxes.push_back(b);
  }
  build_scoring_mesh(model, boxed, true, s);
  std::vector<bool> scored(4, false);
  scored[seven] = true;
  const auto boxedPerHole = check_layout(model, s, 7, scored);
  EXPECT_GE(boxedPerHole[seven], 5) << "filled by a patch now";
  EXPECT_EQ(border_edge_count(s.mesh), 21) << "the 21-edge hole outside the boxes stays open";
  ASSERT_EQ(s.patches.size(), 1u) << "kept patch of the one large hole";
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
  for (const auto& h : oracle_holes(model)) {
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
  build_scoring_mesh(model, s, false, out);
  EXPECT_EQ(border_edge_count(out.mesh), bottomEdges) << "the bottom stays open";
  const auto holes = oracle_holes(model);
  std::vector<bool> scored;
  for (const auto& h : holes) scored.push_back(h.edges == 30);
  check_layout(model, out, 7, scored);
  EXPECT_GT(out.mesh.get_fn(), out.firstHoleFace) << "the side hole is scored";

  // Without the base both are filled; with value boxes over both the lowest
  // hole bottom is the reference and the bottom stays open again.
  s.addBase = false;
  build_scoring_mesh(model, s, false, out);
  EXPECT_EQ(border_edge_count(out.mesh), 0);
  s.addBase = true;
  s.baseHeight = -500.f;
  s.valueBoxes = {BoundingBox(Vector3f::Constant(-50.f), Vector3f::Constant(50.f))};
  build_scoring_mesh(model, s, false, out);
  EXPECT_EQ(border_edge_count(out.mesh), bottomEdges);
  // A hole longer than the maximum hole size stays open with the base.
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
  const int side = vertex_towards(model, {1, 0, 0});
  auto fan = [&](int v) {
    return static_cast<int>(std::count_if(model.get_faces().begin(), model.get_faces().end(),
                                          [v](const BaseTriFace& f) { return std::count(f.v.begin(), f.v.end(), v) > 0; }));
  };
  const int topFan = fan(top), sideFan = fan(side);
  for (int f = 0; f < model.get_fn(); ++f)
    if (std::count(model.get_face(f).v.begin(), model.get_face(f).v.end(), top)) model.set_fFlag(f, kFaceNotScored);
  const Vector3f topPoint = model.get_vCoord(top);
  model.set_vCoord(side, Vector3f::Constant(std::nanf("")));
  const int sphereFaces = model.get_fn();
  test::add_grid(model, 2, {200.f, 0.f, 0.f});  // a detached shell of 8 faces
  model.add_face({0, 1, model.get_vn() + 5});  // index out of range

  HoleMeshSettings s = open_settings();
  ScoringMesh out;
  build_scoring_mesh(model, s, false, out);
  // Both fans go (the flagged one, and the one of the point that is not
  // finite) and are closed by n - 2 faces each, before the hole faces; the
  // shell of 8 faces is dropped, and so is the bad face.
  EXPECT_EQ(out.mesh.get_fn(), sphereFaces - 4);
  EXPECT_EQ(out.firstHoleFace, out.mesh.get_fn());
  EXPECT_EQ(border_edge_count(out.mesh), 0);
  EXPECT_TRUE(topFan >= 5 && sideFan >= 5);
  for (const auto& p : out.mesh.get_vCoords()) {
    EXPECT_TRUE(p.allFinite());
    EXPECT_LT(p.x(), 100.f);
    EXPECT_GT((p - topPoint).norm(), 1e-3f);
  }

  // The base cut needs the add-base flag and vertex flags.
  BaseTriMesh ball = sphere(kRadius, 4);
  s.baseHeight = -30.f;
  s.addBase = true;
  s.maxHoleSize = 1;  // the cut edge is not filled
  build_scoring_mesh(ball, s, false, out);
  EXPECT_LT(out.mesh.get_boundBox().minZ, -39.f) << "no vertex flags: nothing cut";
  EXPECT_EQ(border_edge_count(out.mesh), 0);
  ball.enable_vFlag();
  build_scoring_mesh(ball, s, false, out);
  EXPECT_GE(out.mesh.get_boundBox().minZ, -30.f);
  EXPECT_GT(border_edge_count(out.mesh), 20);
  s.addBase = false;
  build_scoring_mesh(ball, s, false, out);
  EXPECT_LT(out.mesh.get_boundBox().minZ, -39.f);

  build_scoring_mesh(BaseTriMesh(), s, false, out);
  EXPECT_TRUE(out.mesh.get_vn() == 0 && out.firstHoleFace == 0);
}

TEST(ScoringMesh, BaseDiscAndMaskLayout) {
  const BaseTriMesh disc = make_base_disc();
  ASSERT_EQ(disc.get_vn(), 37);
  ASSERT_EQ(disc.get_fn(), 36);
  EXPECT_EQ(disc.get_vCoord(0), Vector3f::Zero());
  for (int k = 1; k <= 36; ++k) {
    const double a = (k - 1) * M_PI / 18.0;
    EXPECT_NEAR(disc.get_vCoord(k).x(), 50.0 * std::sin(a), 1e-4);
    EXPECT_NEAR(disc.get_vCoord(k).y(), 50.0 * std::cos(a), 1e-4);
    EXPECT_EQ(disc.get_vCoord(k).z(), 0.f);
    EXPECT_EQ(disc.get_face(k - 1), BaseTriFace(0, k, k == 36 ? 1 : k + 1));
    const auto& f = disc.get_face(k - 1);
    const Vector3f n = (disc.get_vCoord(f[1]) - disc.get_vCoord(f[0])).cross(disc.get_vCoord(f[2]) - disc.get_vCoord(f[0]));
    EXPECT_LT(n.z(), 0.f) << "faces down";
  }

  const std::vector<int> mask = make_hole_face_mask(100, 31, 64);
  ASSERT_EQ(mask.size(), 100u / 32 + 1);
  for (int f = 0; f < 128; ++f) EXPECT_EQ(mask_bit(mask, f), f >= 31 && f < 64) << f;
  EXPECT_EQ(mask[1], -1) << "faces 32..63: every bit of word 1";
  EXPECT_EQ(make_hole_face_mask(0, 0, 0), std::vector<int>{0});
  EXPECT_EQ(make_hole_face_mask(32, 0, 40).size(), 2u);
  EXPECT_EQ(make_hole_face_mask(32, 0, 40)[1], 0) << "bits stop at the face count";
}

TEST(ScoringMesh, FusedBunnyWithTwoCutHoles) {
  CutBunny b;
  if (!cut_bunny(b)) GTEST_SKIP() << "no bunny scans";
  const BaseTriMesh& model = b.model;
  const auto holes = oracle_holes(model);
  const std::vector<int>& cutHoles = b.cutHoles;
  ASSERT_EQ(cutHoles.size(), 2u);
  const HoleMeshSettings settings = open_settings();

  // Every hole the patch filler may take is closed; hole faces for 7 edges on.
  ScoringMesh out;
  build_scoring_mesh(model, settings, false, out);
  int tooLong = 0;
  for (const auto& h : holes) tooLong += h.edges > settings.maxHoleSize ? h.edges : 0;
  EXPECT_EQ(border_edge_count(out.mesh), tooLong);
  const auto perHole = check_layout(model, out, 7, std::vector<bool>(holes.size(), true));
  for (int h : cutHoles) EXPECT_GE(perHole[h], holes[h].edges - 2);

  // With value boxes over the two cut holes: only holes of 7 edges or more
  // meeting a box are scored; the others are closed up to 20 edges.
  HoleMeshSettings boxed = settings;
  std::vector<BoundingBox> holeBoxes;
  for (const auto& h : holes) {
    BoundingBox b;
    for (int v : h.verts) b.extend(model.get_vCoord(v));
    holeBoxes.push_back(b);
  }
  for (int h : cutHoles) boxed.valueBoxes.push_back(holeBoxes[h]);
  auto meets = [](const BoundingBox& a, const BoundingBox& b) {
    return a.minX <= b.maxX && b.minX <= a.maxX && a.minY <= b.maxY && b.minY <= a.maxY && a.minZ <= b.maxZ &&
           b.minZ <= a.maxZ;
  };
  std::vector<bool> scored;
  int open = 0;
  for (std::size_t h = 0; h < holes.size(); ++h) {
    scored.push_back(holes[h].edges >= 7 && (meets(holeBoxes[h], boxed.valueBoxes[0]) || meets(holeBoxes[h], boxed.valueBoxes[1])));
    open += scored.back() ? (holes[h].edges > settings.maxHoleSize ? holes[h].edges : 0) : (holes[h].edges > 20 ? holes[h].edges : 0);
  }
  build_scoring_mesh(model, boxed, false, out);
  EXPECT_EQ(border_edge_count(out.mesh), open);
  const auto boxedPerHole = check_layout(model, out, 7, scored);
  for (int h : cutHoles) EXPECT_GE(boxedPerHole[h], holes[h].edges - 2);
}

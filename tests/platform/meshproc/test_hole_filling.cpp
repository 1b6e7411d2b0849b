#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>
#include <cmath>
#include <limits>

#include "hole_fixture.h"
#include "meshproc/EarClipping.h"
#include "meshproc/LoopTriangulation.h"
#include "meshproc/QuickFill.h"

using namespace TavoAlgorithm;
using namespace TavoAlgorithm::test;

namespace {

const std::vector<Eigen::Vector3f> kDirs = {{1, 0, 0}, {0, 1, 0}, {0, 0, -1}, {-1, -1, 1}};
constexpr float kSmallCap = 0.3f, kLargeCap = 0.6f;
constexpr float kMinFillQuality = 0.1f;  // a sliver would show up near 0

Eigen::Vector3f pt(const TriMesh& m, TriMesh::VertexHandle v) { return Eigen::Vector3f(m.point(v).data()); }

void expect_repaired_sphere(const TriMesh& mesh, int firstNewFace) {
  EXPECT_TRUE(holes_of(mesh).empty());
  EXPECT_TRUE(closed_and_oriented(mesh));
  for (auto v : mesh.vertices())
    if (!mesh.status(v).deleted() && !mesh.is_isolated(v)) EXPECT_TRUE(mesh.is_manifold(v));
  for (int f = firstNewFace; f < static_cast<int>(mesh.n_faces()); ++f) {
    if (mesh.status(mesh.face_handle(f)).deleted()) continue;
    std::vector<Eigen::Vector3f> p;
    for (auto v : mesh.fv_range(mesh.face_handle(f))) p.push_back(pt(mesh, v));
    EXPECT_GT(triangle_quality(p[0], p[1], p[2]), kMinFillQuality) << "face " << f;
    // Filled faces face outward like the sphere around them.
    EXPECT_GT((p[1] - p[0]).cross(p[2] - p[0]).dot(p[0] + p[1] + p[2]), 0.f) << "face " << f;
  }
}

// Largest distance of `pts` from the plane fitted to `border`, beyond the
// border's own spread about that plane.
float out_of_plane(const std::vector<Eigen::Vector3f>& border, const std::vector<Eigen::Vector3f>& pts) {
  Eigen::Vector3f c = Eigen::Vector3f::Zero();
  for (const auto& p : border) c += p / float(border.size());
  Eigen::Matrix3f cov = Eigen::Matrix3f::Zero();
  for (const auto& p : border) cov += (p - c) * (p - c).transpose();
  const Eigen::Vector3f n = Eigen::SelfAdjointEigenSolver<Eigen::Matrix3f>(cov).eigenvectors().col(0);
  float spread = 0.f, worst = 0.f;
  for (const auto& p : border) spread = std::max(spread, std::abs((p - c).dot(n)));
  for (const auto& p : pts) worst = std::max(worst, std::abs((p - c).dot(n)));
  return worst - spread;
}

struct Patches {
  std::vector<TriMesh> patches;
  std::vector<int> statuses;
  std::vector<HoleVertexMaps> maps;
  RetVal fill(const TriMesh& mesh, const std::vector<HalfedgeLoop>& loops, const QuickFillParam& param = {}) {
    QuickFill filler;
    filler.set_all_parameter(param);
    return filler.fill_holes_quick(mesh, loops, patches, statuses, maps);
  }
};

}  // namespace

TEST(EarClipping, ClosesEveryCapOfASphere) {
  CutSphere s = cut_sphere(3, kDirs, kSmallCap);
  const std::vector<HalfedgeLoop> loops = holes_of(s.mesh);
  ASSERT_EQ(loops.size(), kDirs.size());
  const int before = static_cast<int>(s.mesh.n_faces());
  const auto vertsBefore = s.mesh.n_vertices();
  ASSERT_EQ(ear_clipping(s.mesh, loops, true, true, false, 20, 0.6f, 150.f), RETVAL_SUCCESS);
  int added = 0;
  for (const auto& l : loops) added += static_cast<int>(l.size()) - 2;
  EXPECT_TRUE(static_cast<int>(s.mesh.n_faces()) - before == added && s.mesh.n_vertices() == vertsBefore)
      << "n - 2 faces per loop, no new vertex";
  for (int f = 0; f < static_cast<int>(s.mesh.n_faces()); ++f)
    EXPECT_EQ(s.mesh.status(s.mesh.face_handle(f)).selected(), f >= before);
  expect_repaired_sphere(s.mesh, before);
}

TEST(EarClipping, SizeLimitLeavesLargeLoopsOpenAndStaleLoopsFail) {
  CutSphere s = cut_sphere(3, {kDirs[0]}, kSmallCap);
  const std::vector<HalfedgeLoop> loops = holes_of(s.mesh);
  ASSERT_EQ(loops.size(), 1u);
  const int size = static_cast<int>(loops[0].size());
  const auto faces = s.mesh.n_faces();
  for (int limit : {size - 1, size}) {
    EXPECT_EQ(ear_clipping(s.mesh, loops, false, false, false, limit, 0.6f, 150.f), RETVAL_SUCCESS);
    EXPECT_EQ(s.mesh.n_faces(), limit < size ? faces : faces + size - 2) << limit;
  }
  // The loop is closed now: filling it again is refused, with a warning.
  testing::internal::CaptureStdout();
  EXPECT_EQ(ear_clipping(s.mesh, loops, false, false, true, size, 0.6f, 150.f), RETVAL_FAILED);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(" Warning: ear clipping left hole 0"), std::string::npos);
  EXPECT_EQ(s.mesh.n_faces(), faces + size - 2);
}

TEST(QuickFill, PatchesStayInTheHolePlaneAndMergeToAClosedMesh) {
  CutSphere s = cut_sphere(3, kDirs, kLargeCap);
  const std::vector<HalfedgeLoop> loops = holes_of(s.mesh);
  ASSERT_EQ(loops.size(), kDirs.size());
  Patches q;
  const int firstNew = static_cast<int>(s.mesh.n_faces());
  ASSERT_EQ(q.fill(s.mesh, loops, {0, 1000, 200, 0, 0, 4, 0, 1, 0}), RETVAL_SUCCESS);
  auto& [patches, statuses, maps] = q;
  EXPECT_EQ(static_cast<int>(s.mesh.n_faces()), firstNew) << "patches are not merged yet";
  ASSERT_EQ(patches.size(), loops.size());
  for (std::size_t i = 0; i < loops.size(); ++i) {
    ASSERT_EQ(statuses[i], QUICKFILL_FILLED);
    ASSERT_EQ(maps[i].patchToMesh.size(), patches[i].n_vertices());
    EXPECT_GT(patches[i].n_vertices(), loops[i].size()) << "large holes get interior vertices";
    std::vector<Eigen::Vector3f> border, inner;
    for (std::size_t j = 0; j < loops[i].size(); ++j) {
      const auto v = s.mesh.from_vertex_handle(loops[i][j]);
      EXPECT_EQ(maps[i].patchToMesh[j], v.idx());
      EXPECT_EQ(maps[i].meshToPatch.at(v.idx()), static_cast<int>(j));
      border.push_back(pt(s.mesh, v));
    }
    for (auto v : patches[i].vertices())
      if (maps[i].patchToMesh[v.idx()] < 0) inner.push_back(pt(patches[i], v));
    EXPECT_LE(out_of_plane(border, inner), 1e-4f) << "hole " << i;
    ASSERT_EQ(merge_back_hole_region(s.mesh, patches[i], maps[i].patchToMesh, maps[i].meshToPatch), RETVAL_SUCCESS);
  }
  expect_repaired_sphere(s.mesh, firstNew);
}

TEST(QuickFill, SizeLimitsSkipAndQuickFillHolesMerges) {
  CutSphere s = cut_sphere(3, {kDirs[0], kDirs[1]}, kSmallCap);
  const std::vector<HalfedgeLoop> loops = holes_of(s.mesh);
  ASSERT_EQ(loops.size(), 2u);
  Patches q;
  EXPECT_EQ(q.fill(s.mesh, loops, {static_cast<int>(loops[0].size()) + 1, 0, 200, 0, 0, 4, 0, 1, 0}), RETVAL_SUCCESS);
  EXPECT_TRUE(q.statuses[0] == QUICKFILL_SKIPPED && q.patches[0].n_vertices() == 0u);
  const int firstNew = static_cast<int>(s.mesh.n_faces());
  ASSERT_EQ(quick_fill_holes(s.mesh, loops, {0, 200, 200, 0, 0, 4, 1, 1, 0}), RETVAL_SUCCESS);
  expect_repaired_sphere(s.mesh, firstNew);
  EXPECT_TRUE(s.mesh.status(s.mesh.face_handle(firstNew)).selected());
}

TEST(HoleFilling, BadInputIsRefusedWithoutChange) {
  CutSphere s = cut_sphere(3, {kDirs[0]}, kLargeCap);
  const std::vector<HalfedgeLoop> loops = holes_of(s.mesh);
  Patches q;
  ASSERT_EQ(q.fill(s.mesh, loops), RETVAL_SUCCESS);
  auto& [patches, statuses, maps] = q;
  const auto faces = s.mesh.n_faces(), verts = s.mesh.n_vertices();
  std::vector<HoleVertexMaps> bad(3, maps[0]);
  bad[0].patchToMesh.pop_back();
  bad[1].patchToMesh[0] = static_cast<int>(verts) + 5;
  bad[2].meshToPatch.begin()->second = 1 - bad[2].meshToPatch.begin()->second;
  TriMesh& patch = patches[0];
  auto merge = [&](const HoleVertexMaps& m) {
    return merge_back_hole_region(s.mesh, patch, m.patchToMesh, m.meshToPatch);
  };
  for (const auto& b : bad) EXPECT_EQ(merge(b), RETVAL_FAILED);
  EXPECT_TRUE(s.mesh.n_faces() == faces && s.mesh.n_vertices() == verts);
  // Merging one patch twice: the second time its faces no longer fit.
  ASSERT_EQ(merge(maps[0]), RETVAL_SUCCESS);
  const int liveAfter = live_faces(s.mesh);
  EXPECT_TRUE(merge(maps[0]) == RETVAL_FAILED && live_faces(s.mesh) == liveAfter);
  // Empty mesh, and a non-finite point.
  TriMesh empty;
  EXPECT_EQ(ear_clipping(empty, {}, false, false, false, 20, 0.6f, 150.f), RETVAL_FAILED);
  EXPECT_TRUE(q.fill(empty, loops) == RETVAL_FAILED && patches.empty());
  CutSphere n = cut_sphere(2, {kDirs[0]}, kSmallCap);
  const std::vector<HalfedgeLoop> nloops = holes_of(n.mesh);
  n.mesh.set_point(n.mesh.vertex_handle(3), {std::numeric_limits<float>::quiet_NaN(), 0.f, 0.f});
  const auto nfaces = n.mesh.n_faces();
  EXPECT_EQ(ear_clipping(n.mesh, nloops, false, true, false, 20, 0.6f, 150.f), RETVAL_FAILED);
  EXPECT_EQ(quick_fill_holes(n.mesh, nloops, QuickFillParam{}), RETVAL_FAILED);
  EXPECT_EQ(n.mesh.n_faces(), nfaces);
}

TEST(QuickFill, LoopWhoseProjectionCrossesItselfGetsAFanPatch) {
  // A ribbon along a figure eight with lobes of unequal size, rising by 3
  // heights between its two passes through the crossing: both borders
  // project onto their own plane as a figure eight, which no ear clipping
  // can triangulate.
  constexpr int kSteps = 48;
  constexpr float kRibbon = 0.2f;
  BaseTriMesh ribbon;
  for (int i = 0; i < kSteps; ++i) {
    const float a = 2.f * float(M_PI) * i / kSteps;
    const float lobe = std::sin(a) > 0.f ? 1.5f : 0.7f;
    const Eigen::Vector3f p(10.f * std::sin(a), 10.f * lobe * std::sin(a) * std::cos(a),
                            1.5f * kRibbon * 3.f * (1.f - std::cos(a)));
    ribbon.add_vCoord(p);
    ribbon.add_vCoord(p + Eigen::Vector3f(0.f, 0.f, kRibbon));
  }
  std::vector<BaseTriFace> faces;
  for (int i = 0; i < kSteps; ++i) {
    const int j = (i + 1) % kSteps;
    faces.push_back({2 * i, 2 * j, 2 * j + 1});
    faces.push_back({2 * i, 2 * j + 1, 2 * i + 1});
  }
  ribbon.set_faces(std::move(faces));
  TriMesh mesh = half_edge(ribbon);
  const std::vector<HalfedgeLoop> loops = holes_of(mesh);
  ASSERT_EQ(loops.size(), 2u);
  TriMesh clipped = mesh;
  EXPECT_EQ(ear_clipping(clipped, loops, false, true, false, 20, 0.6f, 150.f), RETVAL_FAILED);
  EXPECT_EQ(clipped.n_faces(), mesh.n_faces()) << "no ear clipping closes them";

  Patches q;
  ASSERT_EQ(q.fill(mesh, loops, {0, 1000, 200, 0, 0, 0, 0, 1, 0}), RETVAL_SUCCESS);
  for (std::size_t i = 0; i < loops.size(); ++i) {
    ASSERT_EQ(q.statuses[i], QUICKFILL_FILLED);
    // Without refinement the patch is the fan: one centre vertex, a face per edge.
    EXPECT_EQ(q.patches[i].n_vertices(), loops[i].size() + 1);
    EXPECT_EQ(q.patches[i].n_faces(), loops[i].size());
  }
  const int firstNew = static_cast<int>(mesh.n_faces());
  ASSERT_EQ(quick_fill_holes(mesh, loops, {0, 1000, 200, 0, 0, 4, 0, 1, 0}), RETVAL_SUCCESS);
  EXPECT_TRUE(holes_of(mesh).empty());
  EXPECT_TRUE(closed_and_oriented(mesh));
  EXPECT_GT(static_cast<int>(mesh.n_faces()), firstNew + 2 * kSteps);
}

#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>
#include <limits>

#include "hole_fixture.h"
#include "meshproc/EarClipping.h"
#include "meshproc/LoopTriangulation.h"
#include "meshproc/QuickFill.h"

using namespace TavoAlgorithm;
using namespace TavoAlgorithm::test;

namespace {

const std::vector<Eigen::Vector3f> kDirs = {{1, 0, 0}, {0, 1, 0}, {0, 0, -1}, {-1, -1, 1}};
constexpr float kSmallCap = 0.3f;
constexpr float kLargeCap = 0.6f;
// No filled face may be flatter than this (a sliver would show up near 0).
constexpr float kMinFillQuality = 0.1f;

Eigen::Vector3f pt(const TriMesh& m, TriMesh::VertexHandle v) {
  const auto& p = m.point(v);
  return {p[0], p[1], p[2]};
}

void expect_repaired_sphere(const TriMesh& mesh, int firstNewFace) {
  std::vector<HalfedgeLoop> loops;
  ASSERT_EQ(find_holes(mesh, loops), RETVAL_SUCCESS);
  EXPECT_TRUE(loops.empty());
  EXPECT_TRUE(closed_and_oriented(mesh));
  for (auto v : mesh.vertices())
    if (!mesh.status(v).deleted() && !mesh.is_isolated(v)) EXPECT_TRUE(mesh.is_manifold(v));
  for (int f = firstNewFace; f < static_cast<int>(mesh.n_faces()); ++f) {
    const auto fh = mesh.face_handle(f);
    if (mesh.status(fh).deleted()) continue;
    std::vector<Eigen::Vector3f> p;
    for (auto v : mesh.fv_range(fh)) p.push_back(pt(mesh, v));
    EXPECT_GT(triangle_quality(p[0], p[1], p[2]), kMinFillQuality) << "face " << f;
    // Faces of the fill face outward like the sphere around them.
    const Eigen::Vector3f n = (p[1] - p[0]).cross(p[2] - p[0]);
    EXPECT_GT(n.dot(p[0] + p[1] + p[2]), 0.f) << "face " << f;
  }
}

struct Plane {
  Eigen::Vector3f centre, normal;
  float spread = 0.f;  // largest distance of a border vertex from the plane
};

Plane fit(const std::vector<Eigen::Vector3f>& pts) {
  Plane pl;
  pl.centre = Eigen::Vector3f::Zero();
  for (const auto& p : pts) pl.centre += p;
  pl.centre /= float(pts.size());
  Eigen::Matrix3f cov = Eigen::Matrix3f::Zero();
  for (const auto& p : pts) cov += (p - pl.centre) * (p - pl.centre).transpose();
  pl.normal = Eigen::SelfAdjointEigenSolver<Eigen::Matrix3f>(cov).eigenvectors().col(0);
  for (const auto& p : pts) pl.spread = std::max(pl.spread, std::abs((p - pl.centre).dot(pl.normal)));
  return pl;
}

}  // namespace

TEST(EarClipping, ClosesEveryCapOfASphere) {
  CutSphere s = cut_sphere(3, kDirs, kSmallCap);
  std::vector<HalfedgeLoop> loops;
  ASSERT_EQ(find_holes(s.mesh, loops), RETVAL_SUCCESS);
  ASSERT_EQ(loops.size(), kDirs.size());
  const int before = static_cast<int>(s.mesh.n_faces());
  const int vertsBefore = static_cast<int>(s.mesh.n_vertices());
  ASSERT_EQ(ear_clipping(s.mesh, loops, true, true, false, 20, 0.6f, 150.f), RETVAL_SUCCESS);
  int added = 0;
  for (const auto& l : loops) added += static_cast<int>(l.size()) - 2;
  EXPECT_EQ(static_cast<int>(s.mesh.n_faces()) - before, added) << "n - 2 faces per loop";
  EXPECT_EQ(static_cast<int>(s.mesh.n_vertices()), vertsBefore);
  for (int f = before; f < static_cast<int>(s.mesh.n_faces()); ++f)
    EXPECT_TRUE(s.mesh.status(s.mesh.face_handle(f)).selected());
  EXPECT_FALSE(s.mesh.status(s.mesh.face_handle(0)).selected());
  expect_repaired_sphere(s.mesh, before);
}

TEST(EarClipping, SizeLimitLeavesLargeLoopsOpenAndStaleLoopsFail) {
  CutSphere s = cut_sphere(3, {kDirs[0]}, kSmallCap);
  std::vector<HalfedgeLoop> loops;
  ASSERT_EQ(find_holes(s.mesh, loops), RETVAL_SUCCESS);
  ASSERT_EQ(loops.size(), 1u);
  const int size = static_cast<int>(loops[0].size());
  const auto faces = s.mesh.n_faces();
  EXPECT_EQ(ear_clipping(s.mesh, loops, false, false, false, size - 1, 0.6f, 150.f), RETVAL_SUCCESS);
  EXPECT_EQ(s.mesh.n_faces(), faces);
  EXPECT_EQ(ear_clipping(s.mesh, loops, false, false, false, size, 0.6f, 150.f), RETVAL_SUCCESS);
  EXPECT_EQ(s.mesh.n_faces(), faces + size - 2);
  // The loop is closed now: filling it again must be refused, with a warning.
  testing::internal::CaptureStdout();
  EXPECT_EQ(ear_clipping(s.mesh, loops, false, false, true, size, 0.6f, 150.f), RETVAL_FAILED);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(" Warning: ear clipping left hole 0"),
            std::string::npos);
  EXPECT_EQ(s.mesh.n_faces(), faces + size - 2);
}

TEST(EarClipping, EmptyOrNonFiniteMeshIsRefusedUntouched) {
  TriMesh empty;
  EXPECT_EQ(ear_clipping(empty, {}, false, false, false, 20, 0.6f, 150.f), RETVAL_FAILED);
  CutSphere s = cut_sphere(2, {kDirs[0]}, kSmallCap);
  std::vector<HalfedgeLoop> loops;
  ASSERT_EQ(find_holes(s.mesh, loops), RETVAL_SUCCESS);
  s.mesh.set_point(s.mesh.vertex_handle(3), {std::numeric_limits<float>::quiet_NaN(), 0.f, 0.f});
  const auto faces = s.mesh.n_faces();
  EXPECT_EQ(ear_clipping(s.mesh, loops, false, true, false, 20, 0.6f, 150.f), RETVAL_FAILED);
  EXPECT_EQ(s.mesh.n_faces(), faces);
  QuickFillParam param;
  EXPECT_EQ(quick_fill_holes(s.mesh, loops, param), RETVAL_FAILED);
  EXPECT_EQ(s.mesh.n_faces(), faces);
}

TEST(QuickFill, PatchesStayInTheHolePlaneAndMergeToAClosedMesh) {
  CutSphere s = cut_sphere(3, kDirs, kLargeCap);
  std::vector<HalfedgeLoop> loops;
  ASSERT_EQ(find_holes(s.mesh, loops), RETVAL_SUCCESS);
  ASSERT_EQ(loops.size(), kDirs.size());
  QuickFill filler;
  QuickFillParam param{0, 1000, 200, 0, 0, 4, 0, 1, 0};
  filler.set_all_parameter(param);
  std::vector<TriMesh> patches;
  std::vector<int> statuses;
  std::vector<HoleVertexMaps> maps;
  const auto faces = s.mesh.n_faces();
  ASSERT_EQ(filler.fill_holes_quick(s.mesh, loops, patches, statuses, maps), RETVAL_SUCCESS);
  EXPECT_EQ(s.mesh.n_faces(), faces) << "patches are not merged yet";
  ASSERT_EQ(patches.size(), loops.size());
  const int firstNew = static_cast<int>(s.mesh.n_faces());
  for (std::size_t i = 0; i < loops.size(); ++i) {
    ASSERT_EQ(statuses[i], QUICKFILL_FILLED);
    const TriMesh& patch = patches[i];
    ASSERT_EQ(maps[i].patchToMesh.size(), patch.n_vertices());
    std::vector<Eigen::Vector3f> border;
    for (std::size_t j = 0; j < loops[i].size(); ++j) {
      const auto v = s.mesh.from_vertex_handle(loops[i][j]);
      EXPECT_EQ(maps[i].patchToMesh[j], v.idx());
      EXPECT_EQ(maps[i].meshToPatch.at(v.idx()), static_cast<int>(j));
      border.push_back(pt(s.mesh, v));
    }
    EXPECT_GT(patch.n_vertices(), loops[i].size()) << "large holes get interior vertices";
    const Plane pl = fit(border);
    const float tol = pl.spread + 1e-4f;
    for (auto v : patch.vertices())
      if (maps[i].patchToMesh[v.idx()] < 0)
        EXPECT_LE(std::abs((pt(patch, v) - pl.centre).dot(pl.normal)), tol);
    ASSERT_EQ(merge_back_hole_region(s.mesh, patch, maps[i].patchToMesh, maps[i].meshToPatch),
              RETVAL_SUCCESS);
  }
  expect_repaired_sphere(s.mesh, firstNew);
}

TEST(QuickFill, SizeLimitsSkipAndQuickFillHolesMerges) {
  CutSphere s = cut_sphere(3, {kDirs[0], kDirs[1]}, kSmallCap);
  std::vector<HalfedgeLoop> loops;
  ASSERT_EQ(find_holes(s.mesh, loops), RETVAL_SUCCESS);
  ASSERT_EQ(loops.size(), 2u);
  const int size0 = static_cast<int>(loops[0].size());
  QuickFill filler;
  filler.set_all_parameter({size0 + 1, 0, 200, 0, 0, 4, 0, 1, 0});
  std::vector<TriMesh> patches;
  std::vector<int> statuses;
  std::vector<HoleVertexMaps> maps;
  EXPECT_EQ(filler.fill_holes_quick(s.mesh, loops, patches, statuses, maps), RETVAL_SUCCESS);
  EXPECT_EQ(statuses[0], QUICKFILL_SKIPPED);
  EXPECT_EQ(patches[0].n_vertices(), 0u);
  const int firstNew = static_cast<int>(s.mesh.n_faces());
  QuickFillParam param{0, 200, 200, 0, 0, 4, 1, 1, 0};
  ASSERT_EQ(quick_fill_holes(s.mesh, loops, param), RETVAL_SUCCESS);
  expect_repaired_sphere(s.mesh, firstNew);
  EXPECT_TRUE(s.mesh.status(s.mesh.face_handle(firstNew)).selected());
}

TEST(QuickFill, MismatchedMapsAreRefusedWithoutChange) {
  CutSphere s = cut_sphere(3, {kDirs[0]}, kLargeCap);
  std::vector<HalfedgeLoop> loops;
  ASSERT_EQ(find_holes(s.mesh, loops), RETVAL_SUCCESS);
  QuickFill filler;
  std::vector<TriMesh> patches;
  std::vector<int> statuses;
  std::vector<HoleVertexMaps> maps;
  ASSERT_EQ(filler.fill_holes_quick(s.mesh, loops, patches, statuses, maps), RETVAL_SUCCESS);
  const auto faces = s.mesh.n_faces();
  const auto verts = s.mesh.n_vertices();
  HoleVertexMaps bad = maps[0];
  bad.patchToMesh.pop_back();
  EXPECT_EQ(merge_back_hole_region(s.mesh, patches[0], bad.patchToMesh, bad.meshToPatch), RETVAL_FAILED);
  bad = maps[0];
  bad.patchToMesh[0] = static_cast<int>(verts) + 5;
  EXPECT_EQ(merge_back_hole_region(s.mesh, patches[0], bad.patchToMesh, bad.meshToPatch), RETVAL_FAILED);
  bad = maps[0];
  bad.meshToPatch.begin()->second = 1 - bad.meshToPatch.begin()->second;
  EXPECT_EQ(merge_back_hole_region(s.mesh, patches[0], bad.patchToMesh, bad.meshToPatch), RETVAL_FAILED);
  EXPECT_EQ(s.mesh.n_faces(), faces);
  EXPECT_EQ(s.mesh.n_vertices(), verts);
  // Merging one patch twice: the second time its faces no longer fit.
  ASSERT_EQ(merge_back_hole_region(s.mesh, patches[0], maps[0].patchToMesh, maps[0].meshToPatch),
            RETVAL_SUCCESS);
  const int liveAfter = live_faces(s.mesh);
  EXPECT_EQ(merge_back_hole_region(s.mesh, patches[0], maps[0].patchToMesh, maps[0].meshToPatch),
            RETVAL_FAILED);
  EXPECT_EQ(live_faces(s.mesh), liveAfter);
  TriMesh empty;
  EXPECT_EQ(filler.fill_holes_quick(empty, loops, patches, statuses, maps), RETVAL_FAILED);
  EXPECT_TRUE(patches.empty());
}

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "hole_fixture.h"
#include "meshproc/HoleFinding.h"
#include "meshproc/LoopTriangulation.h"
#include "meshproc/MeshCleanup.h"

using namespace TavoAlgorithm;
using namespace TavoAlgorithm::test;

namespace {
const std::vector<Eigen::Vector3f> kSixAxes = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0},
                                               {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
constexpr float kCapAngle = 0.35f;  // radians; caps on the six axes stay apart
}  // namespace

TEST(FindHoles, CutSphereGivesOneOrderedLoopPerCutBoundary) {
  for (int k = 1; k <= 6; ++k) {
    const std::vector<Eigen::Vector3f> dirs(kSixAxes.begin(), kSixAxes.begin() + k);
    CutSphere s = cut_sphere(3, dirs, kCapAngle);
    std::vector<VertexLoop> vloops;
    ASSERT_EQ(find_holes(s.mesh, vloops), RETVAL_SUCCESS);
    const std::vector<HalfedgeLoop> hloops = holes_of(s.mesh);
    ASSERT_TRUE(vloops.size() == static_cast<std::size_t>(k) && hloops.size() == vloops.size());
    std::vector<bool> matched(dirs.size(), false);  // each loop is exactly one cap's border
    for (std::size_t i = 0; i < vloops.size(); ++i) {
      const auto& loop = vloops[i];
      EXPECT_TRUE(is_boundary_loop(s.mesh, hloops[i]));
      std::set<int> ids;
      for (std::size_t j = 0; j < loop.size(); ++j) {
        ids.insert(loop[j].idx());
        EXPECT_EQ(s.mesh.from_vertex_handle(hloops[i][j]), loop[j]);
        // Consecutive loop vertices are joined by a boundary half-edge.
        const auto h = s.mesh.find_halfedge(loop[j], loop[(j + 1) % loop.size()]);
        EXPECT_TRUE(h.is_valid() && s.mesh.is_boundary(h));
      }
      EXPECT_EQ(ids.size(), loop.size()) << "a cap border passes each vertex once";
      for (std::size_t d = 0; d < dirs.size(); ++d) matched[d] = matched[d] || ids == s.expectedBorders[d];
    }
    for (std::size_t d = 0; d < dirs.size(); ++d) EXPECT_TRUE(matched[d]) << "cap " << d << " of " << k;
  }
}

TEST(FindHoles, ClosedMeshHasNoLoopsAndEmptyMeshesFail) {
  TriMesh closed = half_edge(make_icosphere(2)), empty;
  std::vector<HalfedgeLoop> loops(3);
  EXPECT_TRUE(find_holes(closed, loops) == RETVAL_SUCCESS && loops.empty());
  EXPECT_FALSE(is_boundary_loop(closed, {}));
  loops.resize(2);
  EXPECT_TRUE(find_holes(empty, loops) == RETVAL_FAILED && loops.empty());
  std::vector<VertexLoop> vloops;
  EXPECT_EQ(find_holes(empty, vloops), RETVAL_FAILED);
  EXPECT_EQ(remove_non_manifold_verts(empty), RETVAL_FAILED);
  EXPECT_EQ(remove_small_components_by_face(empty, 5), RETVAL_FAILED);
}

TEST(MeshCleanup, TouchingFansAreRepairedToAManifoldMesh) {
  BaseTriMesh base;
  add_grid(base, 3, {0.f, 0.f, 0.f});
  add_grid(base, 2, {-2.f, -2.f, 0.f});
  // The small grid's top-right corner becomes the big grid's first vertex.
  const int corner = 16 + 2 * 3 + 2;
  std::vector<BaseTriFace> faces = base.get_faces();
  for (auto& f : faces)
    for (int k = 0; k < 3; ++k)
      if (f[k] == corner) f[k] = 0;
  base.set_faces(std::move(faces));
  TriMesh mesh = half_edge(base);
  ASSERT_EQ(live_faces(mesh), 18 + 8);
  ASSERT_FALSE(mesh.is_manifold(mesh.vertex_handle(0)));
  ASSERT_EQ(remove_non_manifold_verts(mesh), RETVAL_SUCCESS);
  for (auto v : mesh.vertices()) EXPECT_TRUE(mesh.is_manifold(v));
  // Both faces of each grid's corner square touch the shared vertex and go.
  EXPECT_EQ(live_faces(mesh), 26 - 4);
}

TEST(MeshCleanup, SmallComponentsGoByFaceCount) {
  BaseTriMesh base;
  add_grid(base, 5, {0.f, 0.f, 0.f});    // 50 faces
  add_grid(base, 1, {10.f, 0.f, 0.f});   // 2 faces
  add_grid(base, 2, {20.f, 0.f, 0.f});   // 8 faces
  TriMesh mesh = half_edge(base);
  std::vector<int> label, sizes;
  label_face_components(mesh, label, sizes);
  EXPECT_EQ(sizes, (std::vector<int>{50, 2, 8}));
  ASSERT_EQ(remove_small_components_by_face(mesh, 8), RETVAL_SUCCESS);
  EXPECT_TRUE(live_faces(mesh) == 58 && mesh.n_vertices() == 36u + 9u) << "the removed piece's vertices go too";
  for (int limit : {9, 1})
    EXPECT_TRUE(remove_small_components_by_face(mesh, limit) == RETVAL_SUCCESS && live_faces(mesh) == 50) << limit;
}

namespace {
// Shoelace area in the plane z = 0.
double signed_area(const std::vector<Eigen::Vector3f>& poly) {
  double a = 0.0;
  for (std::size_t i = 0; i < poly.size(); ++i) {
    const auto &p = poly[i], &q = poly[(i + 1) % poly.size()];
    a += 0.5 * (double(p.x()) * q.y() - double(q.x()) * p.y());
  }
  return a;
}
}  // namespace

// n - 2 triangles, all turning the polygon's way, summing to its area; the
// comb's deep notches only a containment test gets right.
TEST(LoopTriangulation, ConvexAndConcavePolygonsAreTiledExactly) {
  std::vector<Eigen::Vector3f> ngon, star;
  for (int i = 0; i < 12; ++i) ngon.emplace_back(std::cos(M_PI * i / 6), std::sin(M_PI * i / 6), 0.f);
  for (int i = 0; i < 10; ++i)
    star.emplace_back((i % 2 ? 0.4f : 1.f) * Eigen::Vector3f(std::cos(M_PI * i / 5), std::sin(M_PI * i / 5), 0.f));
  const std::vector<Eigen::Vector3f> comb = {{0, 0, 0}, {7, 0, 0}, {7, 3, 0}, {6, 3, 0}, {6, 1, 0}, {5, 1, 0},
                                             {5, 3, 0}, {2, 3, 0}, {2, 1, 0}, {1, 1, 0}, {1, 3, 0}, {0, 3, 0}};
  const std::pair<std::vector<Eigen::Vector3f>, EarLimits> cases[] = {
      {ngon, {0.6f, 150.f}}, {comb, {0.6f, 150.f}}, {star, {}}};
  for (const auto& [poly, limits] : cases) {
    std::vector<std::array<int, 3>> tris;
    ASSERT_TRUE(triangulate_loop(poly, limits, nullptr, tris));
    ASSERT_EQ(tris.size(), poly.size() - 2);
    double sum = 0.0;
    for (const auto& t : tris) {
      const double a = signed_area({poly[t[0]], poly[t[1]], poly[t[2]]});
      EXPECT_GT(a, 0.0);
      sum += a;
    }
    EXPECT_NEAR(sum, signed_area(poly), 1e-5 * std::abs(signed_area(poly)));
  }
}

TEST(LoopTriangulation, RefusedDiagonalsAndBadPolygonsFail) {
  std::vector<std::array<int, 3>> tris;
  const std::vector<Eigen::Vector3f> square = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  EXPECT_TRUE(triangulate_loop(square, {}, [](int i, int j) { return i + j != 2; }, tris));
  ASSERT_EQ(tris.size(), 2u);
  for (const auto& t : tris) {
    const std::set<int> corners(t.begin(), t.end());
    EXPECT_FALSE(corners.count(0) && corners.count(2)) << "diagonal 0-2 was refused";
  }
  EXPECT_FALSE(triangulate_loop(square, {}, [](int, int) { return false; }, tris) || !tris.empty());
  EXPECT_FALSE(triangulate_loop({{0, 0, 0}, {1, 0, 0}}, {}, nullptr, tris));
  const std::vector<Eigen::Vector3f> line = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}};
  EXPECT_FALSE(triangulate_loop(line, {}, nullptr, tris));
  std::vector<Eigen::Vector3f> nan = square;
  nan[2].x() = std::numeric_limits<float>::quiet_NaN();
  EXPECT_FALSE(triangulate_loop(nan, {}, nullptr, tris));
  EXPECT_NEAR(triangle_quality({0, 0, 0}, {1, 0, 0}, {0.5f, std::sqrt(3.f) / 2, 0}), 1.f, 1e-6f);
  EXPECT_EQ(triangle_quality({0, 0, 0}, {1, 0, 0}, {2, 0, 0}), 0.f);
}

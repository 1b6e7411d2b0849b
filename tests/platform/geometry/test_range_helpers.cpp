#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>
#include <random>

#include "geometry/RangeDataHelpers.h"

using namespace TavoAlgorithm;

namespace {
// rows x cols grid; cells inside [r0, r1] x [c0, c1] (minus `holes`) hold a
// point of the plane z = a x + b y + d, with x = col, y = row.
RangeData plane_patch(int rows, int cols, int r0, int r1, int c0, int c1, float a, float b,
                      std::vector<std::pair<int, int>> holes = {}) {
  RangeData r;
  r.set_grid_size(rows, cols);
  for (int y = r0; y <= r1; ++y)
    for (int x = c0; x <= c1; ++x) {
      if (std::find(holes.begin(), holes.end(), std::pair{y, x}) != holes.end()) continue;
      const int v = r.add_vCoord(Eigen::Vector3f(static_cast<float>(x), static_cast<float>(y), a * x + b * y - 5.f));
      r.set_cellVertex(y, x, v);
    }
  return r;
}

int chebyshev_to_gap(const Eigen::MatrixXi& map, int r, int c) {
  int best = 1 << 20;
  for (int rr = -1; rr <= map.rows(); ++rr)
    for (int cc = -1; cc <= map.cols(); ++cc) {
      const bool outside = rr < 0 || cc < 0 || rr >= map.rows() || cc >= map.cols();
      if (outside || map(rr, cc) < 0) best = std::min(best, std::max(std::abs(rr - r), std::abs(cc - c)));
    }
  return best;
}
}  // namespace

TEST(RangeHelpers, IndexMapAndBoundaryBandMatchBruteForceDistance) {
  RangeData r = plane_patch(20, 30, 3, 16, 0, 25, 0.1f, 0.2f, {{9, 12}, {9, 13}});
  r.set_vDeleted(r.get_cellVertex(5, 5), true);
  Eigen::MatrixXi map;
  create_vertices_index_map(r, map);
  ASSERT_EQ(map.rows(), 20);
  ASSERT_EQ(map.cols(), 30);
  EXPECT_EQ(map(0, 0), -1);
  EXPECT_EQ(map(5, 5), -1) << "deleted points are hidden";
  EXPECT_EQ(map(3, 0), r.get_cellVertex(3, 0));
  EXPECT_EQ((map.array() >= 0).count(), r.get_vn() - 1);
  for (int band : {0, 1, 2, 3}) {
    std::vector<char> bd;
    RangeData_get_point_bd(r, map, band, bd);
    ASSERT_EQ(static_cast<int>(bd.size()), r.get_vn());
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 30; ++x)
        if (map(y, x) >= 0)
          EXPECT_EQ(bd[map(y, x)] != 0, chebyshev_to_gap(map, y, x) <= band) << band << " @" << y << "," << x;
  }
}

TEST(RangeHelpers, SmoothedNormalsOfATiltedPlaneAreExact) {
  const float a = 0.1f, b = -0.3f;
  const RangeData r = plane_patch(16, 18, 2, 13, 1, 16, a, b, {{7, 7}});
  Eigen::MatrixXi map;
  create_vertices_index_map(r, map);
  std::vector<char> bd;
  RangeData_get_point_bd(r, map, 2, bd);
  std::vector<Eigen::Vector3f> normals;
  RangeData_get_smooth_bd_point_normal(r, map, bd, 2, 4, normals);
  ASSERT_EQ(static_cast<int>(normals.size()), r.get_vn());
  const Eigen::Vector3f truth = Eigen::Vector3f(-a, -b, 1.f).normalized();  // toward +z
  for (const auto& n : normals) EXPECT_GT(n.dot(truth), 1.f - 1e-5f);

  std::vector<char> wrongSize(3, 0);
  RangeData_get_smooth_bd_point_normal(r, map, wrongSize, 2, 4, normals);
  EXPECT_TRUE(normals.empty());
}

TEST(RangeHelpers, GridTriangulationCountsAndOrientation) {
  const RangeData full = plane_patch(8, 9, 0, 7, 0, 8, 0.f, 0.f);
  BaseTriMesh m;
  RangeData_convert_to_BaseTriMesh(full, m);
  EXPECT_EQ(m.get_vn(), 72);
  EXPECT_EQ(m.get_fn(), 2 * 7 * 8);
  EXPECT_TRUE(m.faces_valid());
  m.update_fNrv();
  for (int f = 0; f < m.get_fn(); ++f) EXPECT_GT(m.get_fNrv(f).z(), 0.99f);

  // One missing interior cell turns its four blocks into one face each.
  const RangeData holed = plane_patch(8, 9, 0, 7, 0, 8, 0.f, 0.f, {{4, 4}});
  RangeData_convert_to_BaseTriMesh(holed, m);
  EXPECT_EQ(m.get_fn(), 2 * 7 * 8 - 4);

  RangeData_convert_to_BaseTriMesh(full, m, 0.5f);  // grid spacing is 1
  EXPECT_EQ(m.get_fn(), 0);
}

// The window moments against a fit of each window's own points, on a noisy
// curved patch with random holes and one point far outside the others' scale.
TEST(RangeHelpers, WindowNormalsMatchAPerPointFit) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(0.f, 1.f);
  RangeData r;
  const int rows = 23, cols = 31;
  r.set_grid_size(rows, cols);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x) {
      if (unit(rng) < 0.25f) continue;
      const float px = 0.5f * x + 40.f, py = 0.5f * y - 60.f;
      const float pz = -300.f + 0.01f * px * px - 0.02f * px * py + 0.05f * (unit(rng) - 0.5f);
      r.set_cellVertex(y, x, r.add_vCoord(Eigen::Vector3f(px, py, pz)));
    }
  Eigen::MatrixXi map;
  create_vertices_index_map(r, map);
  const std::vector<char> noBoundary(static_cast<std::size_t>(r.get_vn()), 0);
  for (int radius : {1, 2, 3}) {
    std::vector<Eigen::Vector3f> normals;
    RangeData_get_smooth_bd_point_normal(r, map, noBoundary, radius, 0, normals);
    ASSERT_EQ(static_cast<int>(normals.size()), r.get_vn());
    int fitted = 0;
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < cols; ++x) {
        const int v = map(y, x);
        if (v < 0) continue;
        Eigen::Matrix3Xd pts(3, 0);
        for (int yy = std::max(y - radius, 0); yy <= std::min(y + radius, rows - 1); ++yy)
          for (int xx = std::max(x - radius, 0); xx <= std::min(x + radius, cols - 1); ++xx)
            if (map(yy, xx) >= 0) {
              pts.conservativeResize(3, pts.cols() + 1);
              pts.col(pts.cols() - 1) = r.get_vCoord(map(yy, xx)).cast<double>();
            }
        Eigen::Vector3d truth = r.get_sensorDir().cast<double>();
        if (pts.cols() >= 3) {
          const Eigen::Matrix3Xd centred = pts.colwise() - pts.rowwise().mean();
          Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eig(centred * centred.transpose());
          if (eig.eigenvalues()(1) > 1e-9 * eig.eigenvalues()(2)) {
            truth = eig.eigenvectors().col(0);
            if (truth.dot(r.get_sensorDir().cast<double>()) < 0) truth = -truth;
            ++fitted;
          }
        }
        // A normal across the view direction has no defined orientation.
        const bool across = std::abs(truth.dot(r.get_sensorDir().cast<double>())) < 1e-6;
        const double dot = normals[v].cast<double>().dot(truth);
        EXPECT_GT(across ? std::abs(dot) : dot, 1.0 - 1e-6) << radius << " @" << y << "," << x;
      }
    EXPECT_GT(fitted, r.get_vn() * 9 / 10);
  }
}

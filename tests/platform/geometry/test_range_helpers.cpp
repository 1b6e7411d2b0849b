#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>
#include <random>

#include "geometry/RangeDataHelpers.h"

using namespace TavoAlgorithm;

namespace {
// rows x cols grid; cells inside [r0, r1] x [c0, c1] (minus `holes`) hold the
// point (col, row, -5).
RangeData plane_patch(int rows, int cols, int r0, int r1, int c0, int c1, std::vector<std::pair<int, int>> holes = {}) {
  RangeData r;
  r.set_grid_size(rows, cols);
  for (int y = r0; y <= r1; ++y)
    for (int x = c0; x <= c1; ++x)
      if (std::find(holes.begin(), holes.end(), std::pair{y, x}) == holes.end())
        r.set_cellVertex(y, x, r.add_vCoord(Eigen::Vector3f(float(x), float(y), -5.f)));
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
  RangeData r = plane_patch(20, 30, 3, 16, 0, 25, {{9, 12}, {9, 13}});
  r.set_vDeleted(r.get_cellVertex(5, 5), true);
  Eigen::MatrixXi map;
  create_vertices_index_map(r, map);
  ASSERT_TRUE(map.rows() == 20 && map.cols() == 30);
  EXPECT_TRUE(map(0, 0) == -1 && map(3, 0) == r.get_cellVertex(3, 0));
  EXPECT_EQ(map(5, 5), -1) << "deleted points are hidden";
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

TEST(RangeHelpers, BoundaryBandMatchesBruteForceOnRaggedGrids) {
  // Random holes and ragged edges, bands up to past the grid's half width.
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> unit(0.f, 1.f);
  for (int trial = 0; trial < 6; ++trial) {
    const int rows = 9 + 5 * trial, cols = 31 - 3 * trial;
    RangeData r;
    r.set_grid_size(rows, cols);
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < cols; ++x)
        if (unit(rng) > 0.04f + 0.03f * trial) r.set_cellVertex(y, x, r.add_vCoord(Eigen::Vector3f(float(x), float(y), 1.f)));
    Eigen::MatrixXi map;
    create_vertices_index_map(r, map);
    for (int band : {1, 2, 4, 7}) {
      std::vector<char> bd;
      RangeData_get_point_bd(r, map, band, bd);
      ASSERT_EQ(static_cast<int>(bd.size()), r.get_vn());
      int interior = 0;
      for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) {
          if (map(y, x) < 0) continue;
          ASSERT_EQ(bd[map(y, x)] != 0, chebyshev_to_gap(map, y, x) <= band) << trial << " " << band << " @" << y << "," << x;
          interior += bd[map(y, x)] ? 0 : 1;
        }
      if (band == 1 && trial < 2) EXPECT_GT(interior, 0);
    }
  }
}

TEST(RangeHelpers, GridTriangulationCountsAndOrientation) {
  const RangeData full = plane_patch(8, 9, 0, 7, 0, 8);
  BaseTriMesh m;
  RangeData_convert_to_BaseTriMesh(full, m);
  EXPECT_TRUE(m.get_vn() == 72 && m.get_fn() == 2 * 7 * 8 && m.faces_valid());
  m.update_fNrv();
  for (int f = 0; f < m.get_fn(); ++f) EXPECT_GT(m.get_fNrv(f).z(), 0.99f);

  // One missing interior cell turns its four blocks into one face each.
  const RangeData holed = plane_patch(8, 9, 0, 7, 0, 8, {{4, 4}});
  RangeData_convert_to_BaseTriMesh(holed, m);
  EXPECT_EQ(m.get_fn(), 2 * 7 * 8 - 4);

  RangeData_convert_to_BaseTriMesh(full, m, 0.5f);  // grid spacing is 1
  EXPECT_EQ(m.get_fn(), 0);
}

// Fitted normals against a fit of each window's own points, on a noisy curved
// patch far from the origin with random holes; then the border band (the two
// outer rows and columns) against the mean of the interior normals near it.
TEST(RangeHelpers, WindowAndSmoothedBorderNormalsMatchBruteForce) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(0.f, 1.f);
  const int rows = 23, cols = 31;
  RangeData r;
  r.set_grid_size(rows, cols);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x)
      if (unit(rng) >= 0.25f) {
        const float px = 0.5f * x + 40.f, py = 0.5f * y - 60.f;
        const float pz = -300.f + 0.01f * px * px - 0.02f * px * py + 0.05f * (unit(rng) - 0.5f);
        r.set_cellVertex(y, x, r.add_vCoord(Eigen::Vector3f(px, py, pz)));
      }
  Eigen::MatrixXi map;
  create_vertices_index_map(r, map);
  const Eigen::Vector3d sensor = r.get_sensorDir().cast<double>();
  auto window = [&](int y, int x, int radius, auto&& visit) {
    for (int yy = std::max(y - radius, 0); yy <= std::min(y + radius, rows - 1); ++yy)
      for (int xx = std::max(x - radius, 0); xx <= std::min(x + radius, cols - 1); ++xx)
        if (map(yy, xx) >= 0) visit(map(yy, xx));
  };
  std::vector<Eigen::Vector3f> fitted, smoothed;
  std::vector<char> border(static_cast<std::size_t>(r.get_vn()), 0);
  for (int radius : {1, 2, 3}) {
    RangeData_get_smooth_bd_point_normal(r, map, border, radius, 0, fitted);
    ASSERT_EQ(static_cast<int>(fitted.size()), r.get_vn());
    int fits = 0;
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < cols; ++x) {
        if (map(y, x) < 0) continue;
        std::vector<Eigen::Vector3d> pts;
        Eigen::Vector3d mean = Eigen::Vector3d::Zero(), truth = sensor;
        window(y, x, radius, [&](int u) { pts.push_back(r.get_vCoord(u).cast<double>()); mean += pts.back(); });
        mean /= double(pts.size());
        Eigen::Matrix3d cov = Eigen::Matrix3d::Zero();
        for (const auto& p : pts) cov += (p - mean) * (p - mean).transpose();
        Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eig(cov);
        if (pts.size() >= 3 && eig.eigenvalues()(1) > 1e-9 * eig.eigenvalues()(2) && ++fits)
          truth = eig.eigenvectors().col(0) * (eig.eigenvectors().col(0).dot(sensor) < 0 ? -1.0 : 1.0);
        EXPECT_GT(fitted[map(y, x)].cast<double>().dot(truth), 1.0 - 1e-6) << radius << " @" << y << "," << x;
      }
    EXPECT_GT(fits, r.get_vn() * 9 / 10);
  }
  // Border: the two outer rows and columns and a few scattered points, so
  // runs of border points down a column start, stop and skip rows.
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x)
      if (map(y, x) >= 0)
        border[map(y, x)] = y < 2 || x < 2 || y >= rows - 2 || x >= cols - 2 || unit(rng) < 0.1f;
  for (int smooth : {1, 3}) {
    RangeData_get_smooth_bd_point_normal(r, map, border, 3, smooth, smoothed);
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < cols; ++x) {
        if (map(y, x) < 0) continue;
        // Summed in the window's row order, as the smoothing does: equal bit for bit.
        Eigen::Vector3f expect = Eigen::Vector3f::Zero();
        window(y, x, smooth, [&](int u) {
          if (!border[u]) expect += fitted[u];
        });
        if (!border[map(y, x)] || expect.squaredNorm() == 0.f)
          EXPECT_TRUE(smoothed[map(y, x)] == fitted[map(y, x)] || border[map(y, x)]) << y << "," << x;
        else
          EXPECT_EQ(smoothed[map(y, x)], expect.normalized()) << smooth << " @" << y << "," << x;
      }
  }
  RangeData_get_smooth_bd_point_normal(r, map, std::vector<char>(3, 0), 2, 4, smoothed);
  EXPECT_TRUE(smoothed.empty()) << "mismatched boundary list";
}

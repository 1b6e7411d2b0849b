// clean_range_data against brute-force masks on a small hand-made frame;
// check_bad_vert on simulated sphere frames with injected flying pixels and
// on two offset planes.
#include <gtest/gtest.h>

#include <iostream>

#include <set>

#include "FrameCorrupter.h"
#include "RangeDataCleaning.h"
#include "fusion_test_util.h"
#include "geometry/RangeDataHelpers.h"

using namespace TavoAlgorithm;

namespace {

// rows x cols frame of a plane z = 100 seen by a camera at the origin
// looking along +z with f = 100 and the principal point at the grid centre:
// cell (r, c) holds the point whose image position is the cell centre.
struct PlaneFrame {
  RangeData frame;
  CameraInParam camera;
  Eigen::Vector2i image;
};

PlaneFrame plane_frame(int rows, int cols) {
  PlaneFrame p;
  p.camera.values = {100.0, 100.0, cols / 2.0, rows / 2.0};
  p.image = {cols, rows};
  p.frame.set_grid_size(rows, cols);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const float x = (c + 0.5f - cols / 2.f), y = (r + 0.5f - rows / 2.f);
      const int v = p.frame.add_vCoord({x, y, 100.f});
      p.frame.set_cellVertex(r, c, v);
      p.frame.set_vUV(v, {static_cast<float>(r), static_cast<float>(c)});
    }
  return p;
}

// World point over the centre of cell (r, c) of the frame.
Eigen::Vector3f over_cell(const PlaneFrame& p, int r, int c) {
  return p.frame.get_rigidMatrix() * Eigen::Vector3f(c + 0.5f - p.image.x() / 2.f, r + 0.5f - p.image.y() / 2.f, 100.f);
}

std::set<std::pair<int, int>> marked_cells(const PlaneFrame& p, const std::vector<char>& marks) {
  std::set<std::pair<int, int>> s;
  for (int r = 0; r < p.frame.get_rows(); ++r)
    for (int c = 0; c < p.frame.get_cols(); ++c)
      if (marks[p.frame.get_cellVertex(r, c)]) s.insert({r, c});
  return s;
}

}  // namespace

TEST(CleanRangeData, RefusesACameraWithAZeroValue) {
  PlaneFrame p = plane_frame(8, 8);
  std::vector<char> marks{5, 5};
  for (int k = 0; k < 4; ++k) {
    CameraInParam cam = p.camera;
    cam.values[k] = 0.0;
    EXPECT_EQ(clean_range_data({}, {over_cell(p, 1, 1)}, p.frame, cam, 1, p.image, marks), RETVAL_FAILED);
    EXPECT_EQ(marks, (std::vector<char>{5, 5}));
  }
  EXPECT_EQ(clean_range_data({}, {}, p.frame, p.camera, 1, {0, 8}, marks), RETVAL_FAILED);
}

TEST(CleanRangeData, BoxesMarkTheVerticesInsideBoundsIncluded) {
  PlaneFrame p = plane_frame(10, 12);
  RigidMatrix pose(Eigen::AngleAxisd(0.3, Eigen::Vector3d::UnitY()).toRotationMatrix(), Eigen::Vector3d(5, -2, 7));
  p.frame.set_rigidMatrix(pose);
  std::vector<char> marks;
  ASSERT_EQ(clean_range_data({}, {}, p.frame, p.camera, 2, p.image, marks), RETVAL_SUCCESS);
  EXPECT_EQ(marks, std::vector<char>(static_cast<std::size_t>(p.frame.get_vn()), 0));

  const Eigen::Vector3f corner = pose * p.frame.get_vCoord(p.frame.get_cellVertex(3, 4));
  BoundingBox box;
  box.minX = corner.x();  // a vertex exactly on the bound counts
  box.minY = -1e9f;
  box.minZ = -1e9f;
  box.maxX = box.maxY = box.maxZ = 1e9f;
  ASSERT_EQ(clean_range_data({box}, {}, p.frame, p.camera, 0, p.image, marks), RETVAL_SUCCESS);
  for (int i = 0; i < p.frame.get_vn(); ++i)
    EXPECT_EQ(marks[i], (pose * p.frame.get_vCoord(i)).x() >= corner.x() ? 1 : 0) << i;
  EXPECT_EQ(marks[p.frame.get_cellVertex(3, 4)], 1);
}

TEST(CleanRangeData, PointsCoverTheirCellsAndTheRadiusWidensRunEnds) {
  PlaneFrame p = plane_frame(12, 16);
  std::vector<char> marks;
  // A run of three cells on row 5 and a point on the camera plane (z = 0).
  const std::vector<Eigen::Vector3f> pts = {over_cell(p, 5, 6), over_cell(p, 5, 7), over_cell(p, 5, 8),
                                            Eigen::Vector3f(3.f, 3.f, 0.f)};
  ASSERT_EQ(clean_range_data({}, pts, p.frame, p.camera, 0, p.image, marks), RETVAL_SUCCESS);
  EXPECT_EQ(marked_cells(p, marks), (std::set<std::pair<int, int>>{{5, 6}, {5, 7}, {5, 8}}));

  // Radius 1: the run ends (5, 6) and (5, 8) are widened by one cell all round.
  ASSERT_EQ(clean_range_data({}, pts, p.frame, p.camera, 1, p.image, marks), RETVAL_SUCCESS);
  std::set<std::pair<int, int>> expected;
  for (int r = 4; r <= 6; ++r)
    for (int c = 5; c <= 9; ++c) expected.insert({r, c});
  EXPECT_EQ(marked_cells(p, marks), expected);

  // A camera image twice as wide as the grid halves the image positions.
  const Eigen::Vector2i wide(2 * p.image.x(), 2 * p.image.y());
  CameraInParam cam2 = p.camera;
  cam2.values = {200.0, 200.0, p.image.x() * 1.0, p.image.y() * 1.0};
  ASSERT_EQ(clean_range_data({}, {over_cell(p, 5, 6)}, p.frame, cam2, 0, wide, marks), RETVAL_SUCCESS);
  EXPECT_EQ(marked_cells(p, marks), (std::set<std::pair<int, int>>{{5, 6}}));

  // Points outside the image or not finite mark nothing.
  ASSERT_EQ(clean_range_data({}, {Eigen::Vector3f(1e4f, 0, 100), Eigen::Vector3f::Constant(NAN)}, p.frame, p.camera,
                             3, p.image, marks),
            RETVAL_SUCCESS);
  EXPECT_TRUE(marked_cells(p, marks).empty());
}

namespace {

// Sphere frames in millimetres (radius 50), the way check_bad_vert's 0.5 mm
// voxels expect them.
std::vector<RangeData> mm_sphere_frames() {
  sim::Scene s;
  s.spheres.push_back({Eigen::Vector3f::Zero(), 50.f});
  sim::Camera cam;
  std::vector<RangeData> frames = sim::orbit_frames(s, cam, 6, Eigen::Vector3f::Zero(), 300.f, 0.f);
  for (float y : {300.f, -300.f}) {
    cam.pose = sim::look_at({0, y, 0}, Eigen::Vector3f::Zero(), Eigen::Vector3f::UnitZ());
    frames.push_back(sim::render_range_frame(s, cam));
  }
  return frames;
}

std::vector<int> complete_cell_counts(const RangeData& f) {
  Eigen::MatrixXi map;
  create_vertices_index_map(f, map);
  std::vector<int> n(static_cast<std::size_t>(f.get_vn()), 0);
  for (int r = 0; r + 1 < map.rows(); ++r)
    for (int c = 0; c + 1 < map.cols(); ++c)
      if (map(r, c) >= 0 && map(r, c + 1) >= 0 && map(r + 1, c) >= 0 && map(r + 1, c + 1) >= 0)
        for (int v : {map(r, c), map(r, c + 1), map(r + 1, c), map(r + 1, c + 1)}) ++n[v];
  return n;
}

}  // namespace

TEST(CheckBadVert, FlagsFlyingBorderPixelsAndNeverInteriorOnes) {
  std::vector<RangeData> frames = mm_sphere_frames();
  std::vector<std::vector<sim::InjectedPoint>> injected;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    sim::CorruptionOptions o;
    o.spikes = 0;
    o.patchRadius = 0;
    o.flyingMin = 10.f;  // the sphere has no background: mixed returns reach far behind it
    o.flyingMax = 30.f;
    o.seed = static_cast<unsigned>(i + 1);
    injected.push_back(sim::corrupt_frame(frames[i], o));
  }
  std::vector<const RangeData*> ptrs;
  for (const RangeData& f : frames) ptrs.push_back(&f);
  ptrs.push_back(nullptr);
  std::vector<std::vector<bool>> flags;
  testing::internal::CaptureStdout();
  check_bad_vert(ptrs, flags, 0.5f);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("fusion coat: "), std::string::npos);
  ASSERT_EQ(flags.size(), ptrs.size());
  EXPECT_TRUE(flags.back().empty());

  // A flying pixel beside the silhouette lies on a ray that grazes the
  // sphere; only those more than two voxels off it are outliers.
  int flyHit = 0, flyTotal = 0, nearHit = 0, nearTotal = 0, realHit = 0, realBorder = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(flags[i].size(), static_cast<std::size_t>(frames[i].get_vn()));
    const std::vector<int> complete = complete_cell_counts(frames[i]);
    std::vector<char> isInjected(flags[i].size(), 0);
    for (const sim::InjectedPoint& p : injected[i]) {
      const int v = frames[i].get_cellVertex(p.row, p.col);
      isInjected[v] = 1;
      const bool off = (frames[i].get_rigidMatrix() * frames[i].get_vCoord(v)).norm() - 50.f > 1.f;
      (off ? flyTotal : nearTotal) += 1;
      (off ? flyHit : nearHit) += flags[i][v] ? 1 : 0;
    }
    for (std::size_t v = 0; v < flags[i].size(); ++v) {
      if (complete[v] >= 4) EXPECT_FALSE(flags[i][v]) << "interior vertex flagged";
      if (complete[v] < 4 && !isInjected[v]) {
        ++realBorder;
        realHit += flags[i][v] ? 1 : 0;
      }
    }
  }
  ASSERT_GT(flyTotal, 100);
  const double recall = double(flyHit) / flyTotal, falseRate = double(realHit) / std::max(1, realBorder);
  std::cout << "flying pixels more than 1 mm off flagged " << flyHit << "/" << flyTotal << ", nearer " << nearHit
            << "/" << nearTotal << ", real border " << realHit << "/" << realBorder << std::endl;
  EXPECT_GE(recall, 0.8);
  EXPECT_LE(falseRate, 0.02) << realHit << " of " << realBorder;

  check_bad_vert({}, flags, 0.5f);
  EXPECT_TRUE(flags.empty());
}

// Two overlapping planes 1 unit apart (registration, noise), points 1 unit
// apart: the upper plane's border over the lower one continues its frame
// and is kept; a point hanging 3 units behind that border, cut off from its
// frame, is bad.
TEST(CheckBadVert, KeepsABorderThatContinuesItsFrameOffTheOthers) {
  PlaneFrame lower = plane_frame(40, 40), upper = plane_frame(40, 40);
  for (int v = 0; v < upper.frame.get_vn(); ++v)
    upper.frame.set_vCoord(v, upper.frame.get_vCoord(v) + Eigen::Vector3f(20.f, 0.f, 1.f));
  // The lone point, in an empty cell left of the upper plane's column 0.
  RangeData& f = upper.frame;
  RangeData grown;
  grown.set_grid_size(40, 41);
  for (int r = 0; r < 40; ++r)
    for (int c = 0; c < 40; ++c) {
      const int v = grown.add_vCoord(f.get_vCoord(f.get_cellVertex(r, c)));
      grown.set_cellVertex(r, c + 1, v);
      grown.set_vUV(v, {static_cast<float>(r), static_cast<float>(c + 1)});
    }
  const int lone = grown.add_vCoord(f.get_vCoord(f.get_cellVertex(20, 0)) + Eigen::Vector3f(-1.f, 0.f, 3.f));
  grown.set_cellVertex(20, 0, lone);
  grown.set_vUV(lone, {20.f, 0.f});
  std::vector<std::vector<bool>> flags;
  testing::internal::CaptureStdout();
  check_bad_vert({&lower.frame, &grown}, flags, 0.5f);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(flags.size(), 2u);
  EXPECT_TRUE(flags[1][static_cast<std::size_t>(lone)]);
  // The upper plane's left border column (grid column 1) lies over the
  // lower plane's interior, away from its corners.
  int flagged = 0;
  for (int r = 2; r < 38; ++r) flagged += flags[1][static_cast<std::size_t>(grown.get_cellVertex(r, 1))] ? 1 : 0;
  EXPECT_EQ(flagged, 0);
}

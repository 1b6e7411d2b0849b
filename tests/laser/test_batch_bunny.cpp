// The bunny swept from six sides: laser normals against the model's faces,
// the batch meshes against the model and the real-time helper's cloud.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "LaserBatchFusion.h"
#include "MeshDistance.h"
#include "RealTimeFusionCloudHelper.h"
#include "common/kd_points.h"
#include "geometry/TriMesh.h"
#include "laser_batch_util.h"

using namespace laser_test;
using TavoAlgorithm::BaseTriMesh;
using TavoAlgorithm::BoundingBox;

namespace {
// The decimated model, 30 times its size (about 4.6 units across, faces
// about 0.09 across).
bool load_bunny(BaseTriMesh& bunny, sim::Scene& scene, V3& centre) {
  const std::string path = std::string(TAVO_TEST_DATA_DIR) + "/bunny-scans/bun_zipper_res2.ply";
  if (!std::filesystem::exists(path) || !TavoAlgorithm::read_mesh(bunny, path)) return false;
  for (int v = 0; v < bunny.get_vn(); ++v) bunny.set_vCoord(v, 30.f * bunny.get_vCoord(v));
  const BoundingBox b = bunny.get_boundBox();
  centre = 0.5f * (b.min_corner() + b.max_corner());
  scene.meshes.emplace_back(bunny);
  return true;
}

double share_within(const std::vector<double>& d, float limit) {
  std::size_t n = 0;
  for (double x : d) n += x <= limit;
  return d.empty() ? 0.0 : static_cast<double>(n) / d.size();
}

// Share of `points` with one of `targets` within `limit`.
double share_near_points(const std::vector<V3>& points, const std::vector<V3>& targets, float limit) {
  TavoAlgorithm::KdPoints set{targets};
  TavoAlgorithm::KdPointTree tree(3, set, nanoflann::KDTreeSingleIndexAdaptorParams(10));
  tree.buildIndex();
  std::size_t n = 0;
  for (const V3& p : points) {
    std::uint32_t id;
    float d2;
    tree.knnSearch(p.data(), 1, &id, &d2);
    n += d2 <= limit * limit;
  }
  return points.empty() ? 0.0 : static_cast<double>(n) / points.size();
}

// get_laser_normal over the sweep (one camera), its frames scored; nearly
// every point must get a normal, facing its camera.
NormalScore laser_normals(const std::vector<sim::LaserFrame>& sweep, float cell, Frames& frames, BoundingBox& box) {
  const Frames before = to_frames(sweep, false);
  frames = before;
  const RigidMatrix id;
  EXPECT_EQ(TavoAlgorithm::get_laser_normal(frames, poses(sweep), cell, id, id, box, V3::Zero()),
            TavoAlgorithm::RETVAL_SUCCESS);
  const NormalScore s = score_normals(before, frames, sweep);
  EXPECT_GT(s.estimated, 0.95 * s.points);
  EXPECT_EQ(s.facing, s.estimated);
  return s;
}

std::vector<V3> live_points(TavoAlgorithm::RealTimeFusionCloudHelper& h) {
  std::vector<int> changed;
  const Cloud& c = h.get_cloud(changed);
  std::vector<V3> out;
  for (int id : h.get_valid_ids(true)) out.push_back(c.get_vCoord(id));
  return out;
}
}  // namespace

// Cells of a fifth of a face: a cell's normal can follow the face its points
// lie on (each cell's own true normals averaged would be within 10 degrees
// for 99.8% of the points), and must do so for 95%.
TEST(LaserNormalsBunny, CellsFinerThanTheFacesFollowThem) {
  BaseTriMesh bunny;
  sim::Scene scene;
  V3 centre;
  if (!load_bunny(bunny, scene, centre)) GTEST_SKIP() << "no bunny model";
  const float cell = 0.01f;
  const auto sweep = sweeps(scene, centre, kSixSides, 6.f, 3.f, 1200, 0.0004f, 0.0012f);
  Frames frames;
  BoundingBox box;
  const NormalScore s = laser_normals(sweep, cell, frames, box);
  EXPECT_GE(s.within10, 0.95 * s.estimated);
}

// At 90 cells across, faces are under two cells wide and a third of the
// neighbouring faces differ by more than 10 degrees: one normal per cell
// cannot follow them (the cells' own true normals averaged reach 90.8%), so
// the normals only need to stay near that; the meshes fused on them must
// lie on the model and cover the real-time cloud.
TEST(BatchFusionBunny, MeshesOnTheModelAndOnTheRealTimeCloud) {
  BaseTriMesh bunny;
  sim::Scene scene;
  V3 centre;
  if (!load_bunny(bunny, scene, centre)) GTEST_SKIP() << "no bunny model";
  const float cell = 0.05f;
  const unsigned extend = 3;  // the block centred on each cell
  const auto sweep = sweeps(scene, centre, kSixSides, 6.f, 3.f, 240, 0.002f);
  Frames frames;
  BoundingBox box;
  const NormalScore s = laser_normals(sweep, cell, frames, box);
  EXPECT_GE(s.within10, 0.8 * s.estimated);

  // The grid corner a few cells below the box, so that no point is lost to
  // the border.
  box.minX -= 1.f;
  box.minY -= 1.f;
  box.minZ -= 1.f;
  BaseTriMesh mesh, tangentMesh;
  std::vector<int> axes;
  TavoAlgorithm::fusion_all_frame_laser(frames, poses(sweep), box, cell, 1.5f * cell, false, false, mesh, axes,
                                        extend);
  ASSERT_GT(mesh.get_fn(), 10000);
  ASSERT_EQ(static_cast<int>(axes.size()), mesh.get_vn());
  Frames plain = to_frames(sweep, false);
  TavoAlgorithm::fusion_all_frame_laser(plain, poses(sweep), box, cell, 1.5f * cell, true, false, tangentMesh, axes,
                                        extend);
  ASSERT_GT(tangentMesh.get_fn(), 10000);

  TavoAlgorithm::RealTimeFusionCloudHelper realTime(cell, cell, static_cast<float>(extend), false);
  ASSERT_EQ(realTime.fusion_all_laser(plain, poses(sweep)), TavoAlgorithm::RETVAL_SUCCESS);
  const std::vector<V3> live = live_points(realTime);
  ASSERT_GT(live.size(), 10000u);

  const double onModel = share_within(sim::points_to_surface_distances(mesh.get_vCoords(), bunny), cell);
  const double tangentOnModel =
      share_within(sim::points_to_surface_distances(tangentMesh.get_vCoords(), bunny), cell);
  const double cloudOnMesh = share_within(sim::points_to_surface_distances(live, mesh), cell);
  const double meshOnCloud = share_near_points(mesh.get_vCoords(), live, cell);
  std::printf("bunny: %d normal-mesh vertices, %.2f%% within a cell of the model; tangent mesh %.2f%%; %zu "
              "real-time points, %.2f%% within a cell of the normal mesh; %.2f%% of its vertices within a cell of "
              "a real-time point\n",
              mesh.get_vn(), 100 * onModel, 100 * tangentOnModel, live.size(), 100 * cloudOnMesh, 100 * meshOnCloud);
  EXPECT_GE(onModel, 0.99);
  EXPECT_GE(tangentOnModel, 0.99);
  EXPECT_GE(cloudOnMesh, 0.99);
  EXPECT_GE(meshOnCloud, 0.95);
}

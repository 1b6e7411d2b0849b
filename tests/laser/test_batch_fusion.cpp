#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>

#include "LaserBatchFusion.h"
#include "MeshDistance.h"
#include "Parallel.h"
#include "RealTimeFusionCloudHelper.h"
#include "geometry/TriMesh.h"
#include "laser_scan_util.h"

using namespace laser_test;
using TavoAlgorithm::BaseTriMesh;
using TavoAlgorithm::BoundingBox;
using Frames = std::vector<std::vector<Cloud>>;

namespace {
// Lines along x on the world plane z = 10 seen from straight above the
// patch's middle, 10 units away (camera axes along the world's):
// `lines` lines of `points` points spaced `step` apart, the first at
// `corner`, each with the normal facing the camera when `normals` is set.
// The camera sits at camera_over(corner, step, lines, points).
V3 camera_over(const V3& corner, float step, int lines, int points) {
  return V3(corner.x() + 0.5f * step * points, corner.y() + 0.5f * step * lines, 0.f);
}

std::vector<Cloud> plane_frame(const V3& corner, float step, int lines, int points, bool normals) {
  const V3 eye = camera_over(corner, step, lines, points);
  std::vector<Cloud> frame;
  for (int j = 0; j < lines; ++j) {
    Cloud c;
    std::vector<V3> p;
    for (int k = 0; k < points; ++k) p.push_back(corner + V3(step * k, step * j, 0.f) - eye);
    c.set_vCoords(std::move(p));
    if (normals) {
      c.enable_vNormal();
      for (int k = 0; k < c.get_vn(); ++k) c.set_vNrv(k, V3(0, 0, -1));
    }
    frame.push_back(std::move(c));
  }
  return frame;
}

RigidMatrix pose_at(const V3& eye) { return RigidMatrix(Eigen::Matrix3d::Identity(), eye.cast<double>()); }

BaseTriMesh fuse_mesh(Frames frames, const RigidMatrix& pose, const BoundingBox& box, float cell, bool tangent) {
  BaseTriMesh mesh;
  std::vector<int> axes;
  TavoAlgorithm::fusion_all_frame_laser(frames, std::vector<RigidMatrix>(frames.size(), pose), box, cell,
                                        1.5f * cell, tangent, false, mesh, axes, 2);
  return mesh;
}

Frames to_frames(const std::vector<sim::LaserFrame>& sweep, bool normals) {
  Frames frames;
  for (const auto& f : sweep) {
    std::vector<Cloud> lines;
    for (const auto& l : f.lines) {
      Cloud c;
      c.set_vCoords(std::vector<V3>(l.points));
      if (normals) {
        c.enable_vNormal();
        for (int k = 0; k < c.get_vn(); ++k) c.set_vNrv(k, l.normals[static_cast<std::size_t>(k)]);
      }
      lines.push_back(std::move(c));
    }
    frames.push_back(std::move(lines));
  }
  return frames;
}

std::vector<RigidMatrix> poses(const std::vector<sim::LaserFrame>& sweep) {
  std::vector<RigidMatrix> rts;
  for (const auto& f : sweep) rts.push_back(f.pose);
  return rts;
}
}  // namespace

// The mesh is cleared only once integration starts; a frame list without
// poses is refused the same way.
TEST(BatchFusion, EmptyOrPoselessScanLeavesTheOutputs) {
  BaseTriMesh mesh;
  mesh.add_vCoord(V3(1, 2, 3));
  std::vector<int> axes{7};
  Frames none, one{plane_frame(V3(1, 1, 10), 0.03f, 5, 20, true)};  // no pose given
  LaserFusionHelper<Leaf> normalHelper(10, kCell, kCell, 1.5f * kCell, 2, false);
  LaserFusionHelper<LeafTangent> tangentHelper(10, kCell, kCell, 1.5f * kCell, 2, false);
  EXPECT_EQ(normalHelper.fusion_all_frame(none, {}, false, mesh, axes), TavoAlgorithm::RETVAL_SUCCESS);
  EXPECT_EQ(tangentHelper.fusion_all_frame(none, {}, true, mesh, axes), TavoAlgorithm::RETVAL_SUCCESS);
  EXPECT_EQ(normalHelper.fusion_all_frame(one, {}, false, mesh, axes), TavoAlgorithm::RETVAL_FAILED);
  Cloud cloud;
  cloud.add_vCoord(V3(4, 5, 6));
  EXPECT_EQ(tangentHelper.fusion_all_frame(none, {}, cloud), TavoAlgorithm::RETVAL_SUCCESS);
  EXPECT_EQ(tangentHelper.fusion_all_frame(one, {}, cloud), TavoAlgorithm::RETVAL_FAILED);
  const BoundingBox box(V3::Zero(), V3::Constant(20));
  TavoAlgorithm::fusion_all_frame_laser(none, {}, box, kCell, kCell, false, false, mesh, axes, 2);
  TavoAlgorithm::fusion_all_frame_laser(one, {}, box, kCell, kCell, false, false, mesh, axes, 2);
  TavoAlgorithm::fusion_all_frame_laser(one, {RigidMatrix()}, box, 0.f, kCell, false, false, mesh, axes, 2);
  TavoAlgorithm::fusion_all_frame_laser(one, {RigidMatrix()}, BoundingBox(), kCell, kCell, false, false, mesh, axes, 2);
  TavoAlgorithm::fusion_all_frame_laser(one, {}, box, kCell, kCell, false, cloud, 2);
  TavoAlgorithm::fusion_all_frame_laser(one, {RigidMatrix()}, box, kNaN, kCell, false, cloud, 2);
  EXPECT_EQ(normalHelper.octree().leaf_count(), 0);
  EXPECT_EQ(tangentHelper.octree().leaf_count(), 0);
  ASSERT_EQ(mesh.get_vn(), 1);
  EXPECT_EQ(mesh.get_vCoord(0), V3(1, 2, 3));
  EXPECT_EQ(axes, std::vector<int>{7});
  ASSERT_EQ(cloud.get_vn(), 1);
  EXPECT_EQ(cloud.get_vCoord(0), V3(4, 5, 6));
}

// Normal fusion of cells finer than 0.1 runs on 2^14 cells, everything else
// on 2^13: a patch 12000 cells out is fused only on the deeper grid, one
// 6000 cells out on both.
TEST(BatchFusion, FineNormalCellsGetTheDeeperGrid) {
  const BoundingBox box(V3::Zero(), V3::Constant(1000));
  const auto faces = [&](float x, float cell, bool tangent) {
    const V3 corner(x, 5, 10);
    const float step = 0.3f * cell;
    return fuse_mesh(Frames{plane_frame(corner, step, 20, 40, true)}, pose_at(camera_over(corner, step, 20, 40)),
                     box, cell, tangent)
        .get_fn();
  };
  EXPECT_GT(faces(600.f, 0.05f, false), 0);   // cell 12000 of 16384
  EXPECT_EQ(faces(600.f, 0.05f, true), 0);    // tangents: of 8192
  EXPECT_GT(faces(600.f, 0.1f, false), 0);    // cell 6000 of 8192
  // 0.1f is just above 0.1 in double precision: the coarse grid.
  EXPECT_EQ(faces(900.f, 0.1f, false), 0);    // cell 9000 of 8192
}

// Only [min + 3 cells, min + 8189 cells) is written: a patch across both
// ends leaves vertices between the centres of cells 3 and 8188 only.
TEST(BatchFusion, GridReachFromTheBoxMinimum) {
  const float cell = 0.1f;
  const BoundingBox box(V3(-1, -1, 0), V3::Constant(1000));
  for (float x0 : {-1.f + 0.05f, 814.f}) {
    const V3 corner(x0, 5, 10);
    const BaseTriMesh mesh = fuse_mesh(Frames{plane_frame(corner, 0.03f, 30, 400, true)},
                                       pose_at(camera_over(corner, 0.03f, 30, 400)), box, cell, false);
    ASSERT_GT(mesh.get_vn(), 0);
    float lo = 1e9f, hi = -1e9f;
    for (int v = 0; v < mesh.get_vn(); ++v) {
      lo = std::min(lo, mesh.get_vCoord(v).x());
      hi = std::max(hi, mesh.get_vCoord(v).x());
    }
    if (x0 < 0.f) {
      EXPECT_GE(lo, -1.f + 3.5f * cell - 1e-3f);
      EXPECT_LT(lo, -1.f + 4.5f * cell);
    } else {
      EXPECT_LE(hi, -1.f + 8188.5f * cell + 1e-2f);
      EXPECT_GT(hi, -1.f + 8187.5f * cell);
    }
  }
}

// A normal-mode line without normals is skipped with its message; the frame's
// other lines give exactly the mesh they give alone.
TEST(BatchFusion, LineWithoutNormalsIsSkipped) {
  const BoundingBox box(V3::Zero(), V3::Constant(20));
  const V3 corner(4, 4, 10);
  const RigidMatrix pose = pose_at(camera_over(corner, 0.03f, 30, 60));
  std::vector<Cloud> frame = plane_frame(corner, 0.03f, 30, 60, true);
  std::vector<Cloud> without = frame;
  without.erase(without.begin() + 12);
  frame[12].disable_vNormal();
  testing::internal::CaptureStdout();
  const BaseTriMesh mixed = fuse_mesh(Frames{frame}, pose, box, kCell, false);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("frame not have vNormal\n"), std::string::npos);
  EXPECT_EQ(out.find("frame not have vNormal"), out.rfind("frame not have vNormal"));
  const BaseTriMesh alone = fuse_mesh(Frames{without}, pose, box, kCell, false);
  ASSERT_GT(alone.get_fn(), 100);
  ASSERT_EQ(mixed.get_vn(), alone.get_vn());
  ASSERT_EQ(mixed.get_fn(), alone.get_fn());
  for (int v = 0; v < alone.get_vn(); ++v) EXPECT_EQ(mixed.get_vCoord(v), alone.get_vCoord(v));
  // In tangent mode the same line is fused: no message.
  testing::internal::CaptureStdout();
  fuse_mesh(Frames{frame}, pose, box, kCell, true);
  EXPECT_EQ(testing::internal::GetCapturedStdout().find("vNormal"), std::string::npos);
}

namespace {
struct NormalScore {
  int points = 0, estimated = 0, within10 = 0, facing = 0;
};

// Against the simulator's true normals (which face the camera), in the
// camera frame; the points must come back exactly as they went in.
NormalScore score_normals(const Frames& before, const Frames& after, const std::vector<sim::LaserFrame>& truth) {
  NormalScore s;
  for (std::size_t i = 0; i < after.size(); ++i)
    for (std::size_t j = 0; j < after[i].size(); ++j) {
      const Cloud& c = after[i][j];
      EXPECT_TRUE(c.has_vNormal());
      EXPECT_EQ(std::memcmp(c.get_vCoords().data(), before[i][j].get_vCoords().data(),
                            c.get_vCoords().size() * sizeof(V3)),
                0);
      for (int k = 0; k < c.get_vn(); ++k) {
        ++s.points;
        const V3 n = c.get_vNrv(k);
        if (n == V3::Zero()) continue;
        ++s.estimated;
        const V3 t = truth[i].lines[j].normals[static_cast<std::size_t>(k)];
        s.within10 += n.dot(t) > std::cos(10.f * static_cast<float>(M_PI) / 180.f);
        s.facing += n.dot(-c.get_vCoord(k)) > 0.f;
      }
    }
  std::printf("%d points, %d with a normal, %.2f%% within 10 deg, %.2f%% facing the camera\n", s.points,
              s.estimated, 100.0 * s.within10 / std::max(s.estimated, 1), 100.0 * s.facing / std::max(s.estimated, 1));
  return s;
}

std::vector<sim::LaserFrame> sphere_sweep(const V3& centre) {
  sim::Scene scene;
  scene.spheres.push_back({centre, 2.f});
  return sweeps(scene, centre, kSixSides, 6.f, 2.5f, 90, 0.003f);
}
}  // namespace

TEST(LaserNormals, SphereSweepGetsTrueOutwardNormals) {
  const V3 centre(1, 2, 3);
  const auto sweep = sphere_sweep(centre);
  const Frames before = to_frames(sweep, false);
  Frames frames = before;
  BoundingBox box;
  const RigidMatrix left, right(Eigen::Matrix3d::Identity(), Eigen::Vector3d(-0.5, 0, 0));
  ASSERT_EQ(TavoAlgorithm::get_laser_normal(frames, poses(sweep), kCell, left, right, box, V3::Zero()),
            TavoAlgorithm::RETVAL_SUCCESS);
  const NormalScore s = score_normals(before, frames, sweep);
  EXPECT_GT(s.estimated, 0.9 * s.points);
  EXPECT_GE(s.within10, 0.95 * s.estimated);
  EXPECT_GE(s.facing, 0.999 * s.estimated);
  // The box is that of the world points, every one inside it.
  EXPECT_NEAR(box.minX, centre.x() - 2.f, 0.05f);
  EXPECT_NEAR(box.maxZ, centre.z() + 2.f, 0.05f);
  // An imposed shift moves the box minimum only.
  BoundingBox shifted;
  Frames again = before;
  ASSERT_EQ(TavoAlgorithm::get_laser_normal(again, poses(sweep), kCell, left, right, shifted, V3(-5, -6, -7)),
            TavoAlgorithm::RETVAL_SUCCESS);
  EXPECT_EQ(shifted.min_corner(), V3(-5, -6, -7));
  EXPECT_EQ(shifted.max_corner(), box.max_corner());
}

TEST(LaserNormals, BadInputLeavesTheFrames) {
  const auto sweep = sphere_sweep(V3::Zero());
  const Frames before = to_frames(std::vector<sim::LaserFrame>(sweep.begin(), sweep.begin() + 20), false);
  std::vector<RigidMatrix> rts = poses(sweep);
  rts.resize(20);
  BoundingBox box(V3::Zero(), V3::Ones());
  const auto unchanged = [&](Frames& f) {
    for (std::size_t i = 0; i < f.size(); ++i)
      for (std::size_t j = 0; j < f[i].size(); ++j) {
        EXPECT_FALSE(f[i][j].has_vNormal());
        EXPECT_EQ(f[i][j].get_vCoords(), before[i][j].get_vCoords());
      }
    EXPECT_EQ(box.min_corner(), V3::Zero());
    EXPECT_EQ(box.max_corner(), V3::Ones());
  };
  const RigidMatrix id;
  Frames f = before;
  EXPECT_EQ(TavoAlgorithm::get_laser_normal(f, rts, 0.f, id, id, box, V3::Zero()), TavoAlgorithm::RETVAL_FAILED);
  EXPECT_EQ(TavoAlgorithm::get_laser_normal(f, rts, kNaN, id, id, box, V3::Zero()), TavoAlgorithm::RETVAL_FAILED);
  EXPECT_EQ(TavoAlgorithm::get_laser_normal(f, std::vector<RigidMatrix>(rts.begin(), rts.begin() + 19), kCell, id, id,
                                            box, V3::Zero()),
            TavoAlgorithm::RETVAL_FAILED);
  std::vector<RigidMatrix> nanPose = rts;
  nanPose[3] = RigidMatrix(Eigen::Matrix3d::Identity(), Eigen::Vector3d(kNaN, 0, 0));
  EXPECT_EQ(TavoAlgorithm::get_laser_normal(f, nanPose, kCell, id, id, box, V3::Zero()), TavoAlgorithm::RETVAL_FAILED);
  unchanged(f);
  Frames nanPoints = before;
  for (auto& frame : nanPoints)
    for (auto& line : frame)
      for (int k = 0; k < line.get_vn(); ++k) line.set_vCoord(k, V3::Constant(kNaN));
  EXPECT_EQ(TavoAlgorithm::get_laser_normal(nanPoints, rts, kCell, id, id, box, V3::Zero()),
            TavoAlgorithm::RETVAL_FAILED);
  Frames empty;
  EXPECT_EQ(TavoAlgorithm::get_laser_normal(empty, {}, kCell, id, id, box, V3::Zero()), TavoAlgorithm::RETVAL_FAILED);
  unchanged(f);
  // A few points far apart: no cell has a block of six, every normal zero.
  Frames sparse{{Cloud()}};
  sparse[0][0].set_vCoords({V3(0, 0, 5), V3(1, 0, 5), V3(2, 0, 5)});
  EXPECT_EQ(TavoAlgorithm::get_laser_normal(sparse, {id}, kCell, id, id, box, V3::Zero()),
            TavoAlgorithm::RETVAL_SUCCESS);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(sparse[0][0].get_vNrv(k), V3::Zero());
}

// Tangent fusion of the whole sweep fills the cloud with points on the
// sphere (the cloud overload's output), facing out.
TEST(BatchFusion, CloudOverloadFillsTheCloud) {
  const V3 centre(1, 2, 3);
  const auto sweep = sphere_sweep(centre);
  Frames frames = to_frames(sweep, false);
  Cloud cloud;
  TavoAlgorithm::fusion_all_frame_laser(frames, poses(sweep), BoundingBox(centre - V3::Constant(5), centre), kCell,
                                        1.5f * kCell, false, cloud, 2);
  // Cautious normals: cells reached by enough lines in enough directions.
  ASSERT_GT(cloud.get_vn(), 300);
  int near = 0, out = 0;
  for (int i = 0; i < cloud.get_vn(); ++i) {
    const V3 p = cloud.get_vCoord(i);
    near += std::abs((p - centre).norm() - 2.f) < 0.5f * kCell;
    out += cloud.get_vNrv(i).dot(p - centre) > 0.f;
  }
  EXPECT_GE(near, 0.99 * cloud.get_vn());
  EXPECT_GE(out, 0.99 * cloud.get_vn());
}

namespace {
// Fraction of `points` within `limit` of the nearest of `targets` (brute force).
double fraction_near(const std::vector<V3>& points, const std::vector<V3>& targets, float limit) {
  if (points.empty()) return 0;
  std::atomic<int> near{0};
  TavoAlgorithm::auxilary_tbb_for(4, 0, points.size(), [&](std::size_t i) {
    float best = std::numeric_limits<float>::max();
    for (const V3& t : targets) best = std::min(best, (t - points[i]).squaredNorm());
    near += best <= limit * limit;
  });
  return static_cast<double>(near) / points.size();
}

double fraction_near_surface(const std::vector<V3>& points, const BaseTriMesh& mesh, float limit) {
  std::atomic<int> near{0};
  TavoAlgorithm::auxilary_tbb_for(4, 0, points.size(), [&](std::size_t i) {
    float best = std::numeric_limits<float>::max();
    for (int f = 0; f < mesh.get_fn(); ++f) {
      const auto& F = mesh.get_face(f);
      const V3 q = sim::closest_point_on_triangle(points[i], mesh.get_vCoord(F[0]), mesh.get_vCoord(F[1]),
                                                  mesh.get_vCoord(F[2]));
      best = std::min(best, (q - points[i]).squaredNorm());
    }
    near += best <= limit * limit;
  });
  return static_cast<double>(near) / std::max<std::size_t>(points.size(), 1);
}
}  // namespace

// The bunny, 4.5 units (90 cells) across, swept from six sides: normals of
// the laser points, the batch mesh on them against the model, and against
// the real-time helper's cloud of the same sweep.
TEST(BatchFusion, BunnySweepMeshMatchesModelAndRealTimeCloud) {
  const float kBunnyCell = 0.05f;
  const std::string path = std::string(TAVO_TEST_DATA_DIR) + "/bunny-scans/bun_zipper_res2.ply";
  BaseTriMesh bunny;
  if (!std::filesystem::exists(path) || !TavoAlgorithm::read_mesh(bunny, path)) GTEST_SKIP() << "no " << path;
  for (int v = 0; v < bunny.get_vn(); ++v) bunny.set_vCoord(v, 30.f * bunny.get_vCoord(v));
  const BoundingBox b = bunny.get_boundBox();
  const V3 centre = 0.5f * (b.min_corner() + b.max_corner());
  sim::Scene scene;
  scene.meshes.emplace_back(bunny);
  const auto sweep = sweeps(scene, centre, kSixSides, 6.f, 3.f, 240, 0.002f);
  const Frames before = to_frames(sweep, false);
  Frames frames = before;
  BoundingBox box;
  const RigidMatrix id;
  ASSERT_EQ(TavoAlgorithm::get_laser_normal(frames, poses(sweep), kBunnyCell, id, id, box, V3::Zero()),
            TavoAlgorithm::RETVAL_SUCCESS);
  const NormalScore s = score_normals(before, frames, sweep);
  // Below the sphere's figures: the truth is the decimated model's face
  // normal, and the ears and the thin rim are a few cells thick.
  EXPECT_GT(s.estimated, 0.95 * s.points);
  EXPECT_GE(s.within10, 0.8 * s.estimated);
  EXPECT_GE(s.facing, 0.99 * s.estimated);

  // The grid corner a few cells below the box, so that no point is lost to
  // the border.
  box.minX -= 1.f;
  box.minY -= 1.f;
  box.minZ -= 1.f;
  BaseTriMesh mesh;
  std::vector<int> axes;
  TavoAlgorithm::fusion_all_frame_laser(frames, poses(sweep), box, kBunnyCell, 1.5f * kBunnyCell, false, false, mesh, axes, 2);
  ASSERT_GT(mesh.get_fn(), 1000);
  ASSERT_EQ(static_cast<int>(axes.size()), mesh.get_vn());
  const std::vector<V3> vertices = mesh.get_vCoords();
  const double onModel = fraction_near_surface(vertices, bunny, kBunnyCell);

  TavoAlgorithm::RealTimeFusionCloudHelper realTime(kBunnyCell, kBunnyCell, 2.f, false);
  Frames plain = before;
  realTime.fusion_all_laser(plain, poses(sweep));
  std::vector<int> changed;
  const Cloud& live = realTime.get_cloud(changed);
  std::vector<V3> livePoints;
  for (int id : realTime.get_valid_ids(true)) livePoints.push_back(live.get_vCoord(id));
  ASSERT_GT(livePoints.size(), 1000u);
  // The two paths keep different cells (the real-time cloud only well
  // estimated ones), so agreement is judged where the cloud has points.
  const double cloudOnMesh = fraction_near_surface(livePoints, mesh, kBunnyCell);
  const double nearCloud = fraction_near(vertices, livePoints, kBunnyCell);
  std::printf("bunny: %d mesh vertices, %.2f%% within a cell of the model; %zu real-time points, %.2f%% within a "
              "cell of the batch mesh; %.2f%% of the vertices within a cell of a real-time point\n",
              mesh.get_vn(), 100 * onModel, livePoints.size(), 100 * cloudOnMesh, 100 * nearCloud);
  EXPECT_GE(onModel, 0.99);
  EXPECT_GE(cloudOnMesh, 0.85);
}

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "LaserBatchFusion.h"
#include "LaserFusionHelper.h"
#include "laser_batch_util.h"

using namespace laser_test;
using TavoAlgorithm::BaseTriMesh;
using TavoAlgorithm::BoundingBox;

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
  EXPECT_GT(faces(300.f, 0.05f, true), 0);    // cell 6000 of 8192
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
  // Turned to the scanner's middle, 0.25 beside the camera: a grazing point
  // may face the one and not the other.
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

// A sheet scanned from above and from below puts points seen from both
// sides into the same cells: each point's normal faces its own camera.
TEST(LaserNormals, SheetSeenFromBothSidesFacesEachCamera) {
  const V3 corner(4, 4, 10);
  const float step = 0.03f;
  const V3 eye = camera_over(corner, step, 30, 60);
  const RigidMatrix below = pose_at(eye);  // at z = 0, looking up
  // At z = 20, looking down.
  const RigidMatrix above(Eigen::Matrix3d(Eigen::Vector3d(-1, 1, -1).asDiagonal()),
                          Eigen::Vector3d(eye.x(), eye.y(), 20.0));
  Frames frames{plane_frame(corner, step, 30, 60, false), plane_frame(corner, step, 30, 60, false)};
  for (Cloud& line : frames[1]) {
    std::vector<V3> p = line.get_vCoords();
    for (V3& q : p) q = above.inverse() * (below * q);
    line.set_vCoords(std::move(p));
  }
  BoundingBox box;
  const RigidMatrix id;
  ASSERT_EQ(TavoAlgorithm::get_laser_normal(frames, {below, above}, kCell, id, id, box, V3::Zero()),
            TavoAlgorithm::RETVAL_SUCCESS);
  int estimated = 0;
  for (const auto& frame : frames)
    for (const Cloud& line : frame)
      for (int k = 0; k < line.get_vn(); ++k) {
        const V3 n = line.get_vNrv(k);
        if (n == V3::Zero()) continue;
        ++estimated;
        // In its camera frame the sheet lies 10 ahead along +z, facing back.
        EXPECT_LT(n.z(), -0.999f) << "normal " << n.transpose();
      }
  EXPECT_GT(estimated, 3000);
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
// A mesh's faces as their corner positions, each face turned to start at its
// smallest corner (orientation kept), sorted: the same for any vertex and
// face numbering.
std::vector<std::array<V3, 3>> face_corners(const BaseTriMesh& mesh) {
  const auto less = [](const V3& a, const V3& b) {
    return std::lexicographical_compare(a.data(), a.data() + 3, b.data(), b.data() + 3);
  };
  std::vector<std::array<V3, 3>> faces;
  for (int f = 0; f < mesh.get_fn(); ++f) {
    std::array<V3, 3> c;
    for (int k = 0; k < 3; ++k) c[k] = mesh.get_vCoord(mesh.get_face(f)[k]);
    const int first = static_cast<int>(std::min_element(c.begin(), c.end(), less) - c.begin());
    std::rotate(c.begin(), c.begin() + first, c.end());
    faces.push_back(c);
  }
  std::sort(faces.begin(), faces.end(), [&](const std::array<V3, 3>& a, const std::array<V3, 3>& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), less);
  });
  return faces;
}
}  // namespace

// The sums of every record, keyed by its cell, in cell order.
using RecordSums = std::vector<std::pair<std::array<int, 3>, std::vector<float>>>;

RecordSums record_sums(const TavoAlgorithm::LaserFusionHelper<LaserReconstrcution::LeafTangent>& h) {
  RecordSums sums;
  const auto& tree = h.octree();
  for (int i = 0; i < tree.leaf_slots_in_use(); ++i) {
    const auto& e = tree.element_at(i);
    if (!e.is_used()) continue;
    const auto& r = e.payload;
    const Eigen::Vector3i c = e.get_cell();
    std::vector<float> v(r.momentsA.begin(), r.momentsA.end());
    v.insert(v.end(), r.momentsB.begin(), r.momentsB.end());
    for (const V3* x : {&r.normal, &r.lastPoint, &r.offsetSum}) v.insert(v.end(), x->data(), x->data() + 3);
    v.insert(v.end(), {r.sdf, r.weight, r.weight2, static_cast<float>(r.count)});
    sums.push_back({{c.x(), c.y(), c.z()}, std::move(v)});
  }
  std::sort(sums.begin(), sums.end());
  return sums;
}

// The lines of a frame are shared by the workers, yet every record takes its
// contributions in line order (the moments between contributions depend on
// it): records and tangent mesh are the same, bit for bit, on one worker and
// on several.
TEST(BatchFusion, TangentMeshIsTheSameOnAnyNumberOfWorkers) {
  const V3 centre(1, 2, 3);
  const auto sweep = sphere_sweep(centre);
  RecordSums sums;
  const auto mesh_on = [&](int workers) {
    Frames frames = to_frames(sweep, false);
    TavoAlgorithm::LaserFusionHelper<LaserReconstrcution::LeafTangent> helper(13, kCell, kCell, 1.5f * kCell, 3,
                                                                             false);
    helper.set_tree_shift(centre - V3::Constant(5));
    helper.set_tbb_num_threads(workers);
    BaseTriMesh mesh;
    std::vector<int> axes;
    EXPECT_EQ(helper.fusion_all_frame(frames, poses(sweep), true, mesh, axes), TavoAlgorithm::RETVAL_SUCCESS);
    sums = record_sums(helper);
    return mesh;
  };
  const BaseTriMesh one = mesh_on(1);
  const RecordSums expectedSums = sums;
  ASSERT_GT(one.get_fn(), 1000);
  const auto expected = face_corners(one);
  for (int round = 0; round < 3; ++round) {
    const BaseTriMesh several = mesh_on(2);
    EXPECT_TRUE(sums == expectedSums) << "round " << round;
    EXPECT_EQ(several.get_vn(), one.get_vn()) << "round " << round;
    EXPECT_TRUE(face_corners(several) == expected) << "round " << round;
  }
}

// The planning base: parameters and engines, the planners' frame rules, the
// model, value boxes from boxes and from the holes still open, and clearing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <regex>
#include <type_traits>

#include "SceneMeshes.h"
#include "auto_scan_scene.h"
#include "fusion/TsdfVolume.h"
#include "geometry/TriMesh.h"
#include "gl_test_context.h"

using namespace TavoAlgorithm;
using namespace tavo_test;
using Eigen::Vector3f;

// The helper owns its engines and model: copies would release them twice.
static_assert(!std::is_copy_constructible_v<AutoScanHelper> && !std::is_copy_assignable_v<AutoScanHelper>);

namespace {

constexpr float kFloatMax = std::numeric_limits<float>::max();

OpenGLCameraParam three_views() { return ring_candidates({0.f, 90.f, 180.f}, 250.f, 60.f, 0.5f); }

bool same_box(const BoundingBox& a, const BoundingBox& b) {
  return a.min_corner() == b.min_corner() && a.max_corner() == b.max_corner();
}

// A planner with a model of the scanned sphere.
struct ModelledSphere {
  TestPlanner h;
  std::vector<RangeData> frames = sphere_scans(all_round());
  BaseTriMesh model;
  bool ready = false;
  explicit ModelledSphere(const AutoScanParam& p = sphere_param()) {
    std::string err;
    ready = h.set_base_param(p, three_views(), err) == RETVAL_SUCCESS && send_frames(h, frames) &&
            h.get_triMesh(model) == RETVAL_SUCCESS && h.has_model();
    EXPECT_TRUE(ready) << err;
  }
};

// A vertical strip in the xz plane, x in [0, 2001], z in [0, 40], of unit by
// 10 mm quads, with two rectangular holes between z 10 and 30: one of 998
// quads (2000 boundary vertices), one of 999 (2002).
TriMesh strip_with_two_long_holes() {
  const int nx = 2001, nz = 4;
  BaseTriMesh m;
  for (int j = 0; j <= nz; ++j)
    for (int i = 0; i <= nx; ++i) m.add_vCoord(Vector3f(static_cast<float>(i), 0.f, 10.f * j));
  auto v = [&](int i, int j) { return j * (nx + 1) + i; };
  auto inHole = [](int i, int j) { return j >= 1 && j <= 2 && ((i >= 1 && i <= 998) || (i >= 1001 && i <= 1999)); };
  for (int j = 0; j < nz; ++j)
    for (int i = 0; i < nx; ++i) {
      if (inHole(i, j)) continue;
      m.add_face({v(i, j), v(i + 1, j), v(i + 1, j + 1)});
      m.add_face({v(i, j), v(i + 1, j + 1), v(i, j + 1)});
    }
  TriMesh t;
  BaseTriMesh_convert_to_TriMesh(m, t);
  return t;
}

// The uv sphere of kSphereRadius (48 slices, 24 stacks) with three holes of
// whole grid quads: around +x and around -y (stacks 10 to 13, four slices
// each), and the bottom cap below the last ring (one height: the cut edge).
// boxes gets the boxes of the +x and -y holes, from the vertices that removed
// and kept faces share.
TriMesh sphere_with_holes(std::vector<BoundingBox>& boxes) {
  const int slices = 48, stacks = 24;
  BaseTriMesh s;
  sim::add_uv_sphere(s, Vector3f::Zero(), kSphereRadius, slices, stacks);
  auto hole_of = [&](int f) {
    if (f >= s.get_fn() - slices) return 2;
    if (f < slices) return -1;
    const int q = (f - slices) / 2, stack = q / slices + 1, slice = q % slices;
    if (stack < 10 || stack > 13) return -1;
    if (slice >= 46 || slice <= 1) return 0;
    if (slice >= 34 && slice <= 37) return 1;
    return -1;
  };
  std::vector<int> removedBy(s.get_vn(), -1);
  std::vector<char> kept(s.get_vn(), 0);
  BaseTriMesh out;
  for (int i = 0; i < s.get_vn(); ++i) out.add_vCoord(s.get_vCoord(i));
  for (int f = 0; f < s.get_fn(); ++f) {
    const int h = hole_of(f);
    for (int k = 0; k < 3; ++k) {
      const int v = s.get_face(f)[k];
      if (h < 0) kept[v] = 1;
      else removedBy[v] = h;
    }
    if (h < 0) out.add_face(s.get_face(f));
  }
  boxes.assign(2, BoundingBox());
  for (int i = 0; i < s.get_vn(); ++i)
    if (kept[i] && (removedBy[i] == 0 || removedBy[i] == 1)) boxes[removedBy[i]].extend(s.get_vCoord(i));
  TriMesh t;
  BaseTriMesh_convert_to_TriMesh(out, t);
  return t;
}

// Every value-box form answers 3 while there is no model.
void expect_no_model(TestPlanner& h) {
  const BoundingBox box({0, 0, 0}, {1, 1, 1});
  TriMesh t;
  EXPECT_EQ(h.set_voxel_bbox(box), RETVAL_NOT_READY);
  EXPECT_EQ(h.set_voxel_bbox(std::vector<BoundingBox>{box}), RETVAL_NOT_READY);
  EXPECT_EQ(h.set_iter_bbox(true), RETVAL_NOT_READY);
  EXPECT_EQ(h.set_iter_bbox(t, false), RETVAL_NOT_READY);
  EXPECT_EQ(h.set_voxel_bbox(std::vector<Vector3f>{Vector3f::Zero()}), RETVAL_NOT_READY);
}

}  // namespace

TEST(AutoScanHelper, WithoutParametersOrModelEveryCallRefuses) {
  TestPlanner h;
  BaseTriMesh m;
  EXPECT_EQ(h.get_triMesh(m), RETVAL_FAILED);
  expect_no_model(h);
  EXPECT_EQ(h.set_need_add_base(false), RETVAL_FAILED);
  EXPECT_EQ(h.set_opengl_camera(0.5, 0.0, 10.0, 500.0), RETVAL_FAILED);

  std::string err = "untouched";
  AutoScanParam negative = sphere_param();
  negative.stopThreshold = -1;
  EXPECT_EQ(h.set_base_param(negative, three_views(), err), RETVAL_FAILED);
  EXPECT_EQ(h.set_base_param(sphere_param(), OpenGLCameraParam{}, err), RETVAL_FAILED);
  EXPECT_EQ(h.renderer(), nullptr);
  EXPECT_EQ(h.tsdf_volume(), nullptr);
  EXPECT_EQ(err, "untouched");

  // Frames are held and withdrawn without engines; clearing needs none.
  const std::vector<RangeData> frames = sphere_scans({Vector3f::UnitX(), Vector3f::UnitY()});
  EXPECT_TRUE(send_frames(h, frames));
  h.send_rangeData(nullptr, RigidMatrix(), false, false);
  using Frames = std::vector<const RangeData*>;
  EXPECT_FALSE(h.send_rangeData(Frames{&frames[0]}, {}, {false}, false));  // no pose for the frame
  EXPECT_EQ(h.frame_count(), 2);
  h.pop_rangeData();
  EXPECT_EQ(h.frame_count(), 1);
  h.set_iter_num(4);
  h.set_clip_z(-5.f);
  EXPECT_EQ(h.clip_z(), -5.f);
  EXPECT_EQ(h.param().clipZ, -5.f);
  EXPECT_EQ(h.clear_base_all(err), RETVAL_SUCCESS);
  EXPECT_EQ(h.frame_count(), 0);
  EXPECT_EQ(h.iteration_count(), 0);
}

TEST(AutoScanHelper, ParametersBuildBothEnginesAndARefusalKeepsThem) {
  TAVO_REQUIRE_GL_CONTEXT();
  TestPlanner h;
  std::string err;
  AutoScanParam p = sphere_param();
  p.clipZ = -7.5f;
  ASSERT_EQ(h.set_base_param(p, three_views(), err), RETVAL_SUCCESS) << err;
  EmulateBinHelper* r = h.renderer();
  ASSERT_TRUE(r && h.tsdf_volume());
  EXPECT_EQ(r->candidate_count(), 3);
  EXPECT_TRUE(r->opengl_ready());
  EXPECT_EQ(h.tsdf_volume()->get_voxel_size(), 0.5f);
  EXPECT_EQ(h.tsdf_volume()->get_depth(), 13);
  EXPECT_EQ(r->base_height(), -7.5f);
  EXPECT_EQ(h.clip_z(), -7.5f);
  // A renderer alone is no model.
  expect_no_model(h);

  OpenGLCameraParam noFov = three_views();
  noFov.fovys.clear();
  EXPECT_EQ(h.set_base_param(p, noFov, err), RETVAL_FAILED);
  EXPECT_EQ(h.renderer(), r);
  OpenGLCameraParam ragged = three_views();
  ragged.eyes.pop_back();
  err.clear();
  EXPECT_EQ(h.set_base_param(p, ragged, err), RETVAL_NOT_READY);
  EXPECT_FALSE(err.empty());

  ASSERT_EQ(h.set_base_param(p, three_views(), err), RETVAL_SUCCESS);
  h.set_clip_z(-12.5f);
  EXPECT_EQ(h.renderer()->base_height(), -12.5f);
  EXPECT_EQ(h.set_need_add_base(false), RETVAL_SUCCESS);
  EXPECT_FALSE(h.renderer()->add_base());
  EXPECT_EQ(h.set_opengl_camera(0.4, 99.0, 20.0, 800.0), RETVAL_SUCCESS);
}

TEST(AutoScanHelper, FramesFollowThePlannerRules) {
  TAVO_REQUIRE_GL_CONTEXT();
  TestPlanner h;
  std::string err;
  AutoScanParam p = sphere_param();
  p.sampleStep = 2;
  p.clipZ = 10.f;  // the frames are not clipped: the model keeps its lower half
  ASSERT_EQ(h.set_base_param(p, three_views(), err), RETVAL_SUCCESS) << err;
  const std::vector<RangeData> frames = sphere_scans(all_round());
  h.send_rangeData(&frames[0], RigidMatrix(), false, true);  // sampled: step 2 > 1
  h.send_rangeData(&frames[1], RigidMatrix(), false, false);  // not asked to sample
  using Frames = std::vector<const RangeData*>;
  ASSERT_TRUE(h.send_rangeData(Frames{&frames[2], &frames[3]}, {RigidMatrix(), RigidMatrix()}, {false, false}, true));
  const auto& marks = h.frame_lists().sample_marks();
  const auto& weights = h.frame_lists().weights();
  for (int i : {0, 2}) {
    const RangeData& f = frames[i];
    int marked = 0;
    for (int row = 0; row < f.get_rows(); ++row)
      for (int col = 0; col < f.get_cols(); ++col) {
        const int k = f.get_cellVertex(row, col);
        if (k < 0) continue;
        // Only the grid of every second row and column, steep points or not.
        ASSERT_EQ(marks[i][k], row % 2 == 0 && col % 2 == 0) << i << " " << row << " " << col;
        marked += marks[i][k];
      }
    EXPECT_GT(marked, 100);
  }
  EXPECT_TRUE(std::all_of(marks[1].begin(), marks[1].end(), [](bool m) { return m; }));
  // Boundary rings are weighted by the several-frame call only.
  EXPECT_TRUE(std::all_of(weights[0].begin(), weights[0].end(), [](float w) { return w == 1.f; }));
  EXPECT_EQ(std::count(weights[2].begin(), weights[2].end(), 0.01f) > 0, true);
  EXPECT_EQ(std::count(weights[2].begin(), weights[2].end(), 0.02f) > 0, true);

  // Step 1 samples nothing away in either call.
  p.sampleStep = 1;
  ASSERT_EQ(h.set_base_param(p, three_views(), err), RETVAL_SUCCESS);
  h.send_rangeData(&frames[4], RigidMatrix(), false, true);
  ASSERT_TRUE(h.send_rangeData(Frames{&frames[5]}, {RigidMatrix()}, {false}, true));
  for (int i : {4, 5}) EXPECT_TRUE(std::all_of(marks[i].begin(), marks[i].end(), [](bool m) { return m; })) << i;

  h.send_rangeData(&frames[6], RigidMatrix(), false, false);
  h.send_rangeData(&frames[7], RigidMatrix(), false, false);
  BaseTriMesh model;
  testing::internal::CaptureStdout();
  ASSERT_EQ(h.get_triMesh(model), RETVAL_SUCCESS);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_search(out, std::regex("rebuild mesh cost:   \\d+\n"))) << out;
  // The new volume took every frame held, and nothing below the clip height was dropped.
  EXPECT_EQ(h.frame_lists().integrated_count(), 8);
  const BoundingBox box = model.get_boundBox();
  EXPECT_LT(box.minZ, -kSphereRadius + 1.f);
  EXPECT_GT(box.maxZ, kSphereRadius - 1.f);
}

TEST(AutoScanHelper, TheModelLiesOnTheSphereAndSizesTheGridOnce) {
  TAVO_REQUIRE_GL_CONTEXT();
  ModelledSphere s;
  ASSERT_TRUE(s.ready);
  const BaseTriMesh* model = s.h.model();
  ASSERT_TRUE(model && model->get_fn() > 1000);
  EXPECT_EQ(model->get_vn(), s.model.get_vn());
  EXPECT_EQ(model->get_fn(), s.model.get_fn());
  double worst = 0;
  for (int i = 0; i < model->get_vn(); ++i)
    if (!model->get_vDeleted(i)) worst = std::max(worst, std::abs(double(model->get_vCoord(i).norm()) - kSphereRadius));
  EXPECT_LT(worst, 0.5);  // one TSDF voxel
  EmulateBinHelper& r = *s.h.renderer();
  EXPECT_EQ(r.scoring_mesh(), model);
  EXPECT_EQ(r.mesh_box_min(), model->get_boundBox().min_corner() + Vector3f::Ones());
  const auto dims = r.voxels().voxel_dims();
  EXPECT_EQ(dims.x, static_cast<int>((model->get_boundBox().maxX - model->get_boundBox().minX) / 1.0 + 1.0));

  // A value box narrows the grid; a later model leaves the grid as it is.
  ASSERT_EQ(s.h.set_voxel_bbox(BoundingBox({20, -5, -5}, {31, 5, 5})), RETVAL_SUCCESS);
  const std::vector<int> table = r.voxels().download_block_table();
  ASSERT_GT(std::count(table.begin(), table.end(), -2), 0);
  std::vector<RangeData> more = sphere_scans({Vector3f(1, 1, 1)});
  s.h.send_rangeData(&more[0], RigidMatrix(), false, false);
  BaseTriMesh again;
  ASSERT_EQ(s.h.get_triMesh(again), RETVAL_SUCCESS);
  EXPECT_EQ(s.h.renderer()->voxels().download_block_table(), table);
  EXPECT_EQ(s.h.renderer()->scoring_mesh(), s.h.model());

  // A helper whose model is empty has no model.
  TestPlanner empty;
  std::string err;
  ASSERT_EQ(empty.set_base_param(sphere_param(), three_views(), err), RETVAL_SUCCESS);
  BaseTriMesh nothing;
  EXPECT_EQ(empty.get_triMesh(nothing), RETVAL_SUCCESS);
  EXPECT_EQ(nothing.get_fn(), 0);
  EXPECT_FALSE(empty.has_model());
  expect_no_model(empty);
}

TEST(AutoScanHelper, RemovedPointsAreReportedOnceWithTheirFramesPoseAndWeight) {
  TAVO_REQUIRE_GL_CONTEXT();
  TestPlanner h;
  std::string err;
  AutoScanParam p = sphere_param();
  p.sampleStep = 2;
  ASSERT_EQ(h.set_base_param(p, three_views(), err), RETVAL_SUCCESS) << err;
  std::vector<RangeData> frames = sphere_scans({Vector3f::UnitX(), Vector3f::UnitY(), Vector3f::UnitZ()});
  const RigidMatrix shift(Eigen::Matrix3d::Identity(), Eigen::Vector3d(0.0, 0.0, 0.25));
  h.send_rangeData(&frames[0], shift, true, std::vector<float>(frames[0].get_vn(), 0.5f), true);
  h.send_rangeData(&frames[1], RigidMatrix(), false, true);
  BaseTriMesh model;
  ASSERT_EQ(h.get_triMesh(model), RETVAL_SUCCESS);
  h.send_rangeData(&frames[2], RigidMatrix(), false, true);  // pending: not reported

  // Frame 0: five marked points on sampled cells, one with bit 3 only, one on
  // an odd row (never integrated); frame 2: a marked point, not integrated yet.
  RangeData& f = frames[0];
  std::vector<int> sampled;
  int odd = -1;
  for (int row = 0; row < f.get_rows(); ++row)
    for (int col = 0; col < f.get_cols(); ++col) {
      const int k = f.get_cellVertex(row, col);
      if (k < 0) continue;
      if (row % 2 == 1 && odd < 0) odd = k;
      if (row % 2 == 0 && col % 2 == 0) sampled.push_back(k);
    }
  ASSERT_TRUE(sampled.size() > 6 && odd >= 0);
  const std::vector<int> expected(sampled.begin(), sampled.begin() + 5);
  auto flag = [](RangeData& frame, int k, int bits) {
    frame.set_vFlag(k, static_cast<VertexFlag>(frame.get_vFlag(k) | bits));
  };
  for (int k : expected) flag(f, k, FLAG_DELETED | FLAG_REMOVAL_PENDING);
  flag(f, odd, FLAG_DELETED | FLAG_REMOVAL_PENDING);
  flag(f, sampled[5], FLAG_REMOVAL_PENDING);
  const int k2 = frames[2].get_cellVertex(frames[2].get_rows() / 2, frames[2].get_cols() / 2);
  ASSERT_GE(k2, 0);
  flag(frames[2], k2, FLAG_DELETED | FLAG_REMOVAL_PENDING);

  Cloud cloud;
  std::vector<RigidMatrix> poses;
  std::vector<float> values;
  std::vector<bool> wide;
  h.get_delete_verts_self(cloud, poses, values, wide);
  ASSERT_EQ(cloud.get_vn(), 5);
  ASSERT_TRUE(cloud.has_vNormal());
  const RigidMatrix world = shift * f.get_rigidMatrix();
  for (int i = 0; i < 5; ++i) {
    const int k = expected[i];
    EXPECT_EQ(cloud.get_vCoord(i), f.get_vCoord(k));
    EXPECT_EQ(cloud.get_vNrv(i), h.frame_lists().smoothed_normals()[0][k]);
    for (const Vector3f& q : {Vector3f(0, 0, 0), Vector3f(1, 2, 3)})
      EXPECT_TRUE((poses[i] * q).isApprox(world * q, 1e-5f));
    EXPECT_EQ(values[i], 0.5f);
    EXPECT_TRUE(wide[i]);
    EXPECT_EQ(f.get_vFlag(k) & FLAG_REMOVAL_PENDING, 0);
  }
  EXPECT_EQ(f.get_vFlag(odd) & FLAG_REMOVAL_PENDING, 0);  // acknowledged, not reported
  EXPECT_NE(f.get_vFlag(sampled[5]) & FLAG_REMOVAL_PENDING, 0);  // not deleted: not a removal
  EXPECT_NE(frames[2].get_vFlag(k2) & FLAG_REMOVAL_PENDING, 0);
  // Reported once.
  h.get_delete_verts_self(cloud, poses, values, wide);
  EXPECT_EQ(cloud.get_vn(), 0);
  EXPECT_EQ(poses.size(), 5u);
}

TEST(AutoScanHelper, ValueBoxesFromBoxesSkipEmptyOnesAndLowerTheClipHeight) {
  TAVO_REQUIRE_GL_CONTEXT();
  ModelledSphere s;
  ASSERT_TRUE(s.ready);
  TestPlanner& h = s.h;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const BoundingBox a({20, -5, -5}, {31, 5, 5}), b({-31, -5, -12}, {-20, 5, 0});
  const BoundingBox nanBox({nan, 0, 0}, {1, 1, 1}), inverted({1, 1, 1}, {0, 2, 2});

  h.set_clip_z(0.f);
  EXPECT_EQ(h.set_voxel_bbox(std::vector<BoundingBox>{}), RETVAL_SUCCESS);  // nothing changes
  EXPECT_TRUE(h.get_value_box().empty());
  EXPECT_EQ(h.clip_z(), 0.f);
  ASSERT_EQ(h.set_voxel_bbox(std::vector<BoundingBox>{nanBox, inverted, BoundingBox()}), RETVAL_SUCCESS);
  EXPECT_TRUE(h.get_value_box().empty());
  EXPECT_EQ(h.clip_z(), kFloatMax);

  ASSERT_EQ(h.set_voxel_bbox(std::vector<BoundingBox>{a, nanBox, b}), RETVAL_SUCCESS);
  ASSERT_EQ(h.get_value_box().size(), 2u);
  EXPECT_TRUE(same_box(h.get_value_box()[0], a) && same_box(h.get_value_box()[1], b));
  EXPECT_EQ(h.clip_z(), -14.f);
  ASSERT_EQ(h.renderer()->value_boxes().size(), 2u);
  EXPECT_EQ(h.renderer()->base_height(), -14.f);
  const std::vector<int> twoBoxes = h.renderer()->voxels().download_block_table();

  // One box: the grid is reset to it alone.
  EXPECT_EQ(h.set_voxel_bbox(BoundingBox()), RETVAL_SUCCESS);
  EXPECT_EQ(h.set_voxel_bbox(nanBox), RETVAL_SUCCESS);
  EXPECT_EQ(h.get_value_box().size(), 2u);
  ASSERT_EQ(h.set_voxel_bbox(a), RETVAL_SUCCESS);
  ASSERT_EQ(h.get_value_box().size(), 1u);
  EXPECT_EQ(h.clip_z(), -7.f);
  EXPECT_EQ(h.renderer()->base_height(), -14.f);  // lowered by the box, never raised
  const std::vector<int> oneBox = h.renderer()->voxels().download_block_table();
  EXPECT_LT(std::count(oneBox.begin(), oneBox.end(), -1), std::count(twoBoxes.begin(), twoBoxes.end(), -1));
  EXPECT_GT(std::count(oneBox.begin(), oneBox.end(), -1), 0);
}

TEST(AutoScanHelper, ValueBoxesFromPointsAreTheHolesThatHoldThem) {
  TAVO_REQUIRE_GL_CONTEXT();
  TestPlanner h;
  std::string err;
  ASSERT_EQ(h.set_base_param(sphere_param(), three_views(), err), RETVAL_SUCCESS) << err;
  std::vector<RangeData> frames = sphere_scans(all_round());
  cut_caps(frames, {{Vector3f::UnitX(), 0.5f}, {-Vector3f::UnitX(), 0.4f}});
  ASSERT_TRUE(send_frames(h, frames));
  BaseTriMesh model;
  ASSERT_EQ(h.get_triMesh(model), RETVAL_SUCCESS);
  ASSERT_TRUE(h.has_model());
  // The model's extreme vertices in x lie on the rims of the two holes.
  int right = -1, left = -1;
  for (int i = 0; i < model.get_vn(); ++i) {
    if (model.get_vDeleted(i)) continue;
    if (right < 0 || model.get_vCoord(i).x() > model.get_vCoord(right).x()) right = i;
    if (left < 0 || model.get_vCoord(i).x() < model.get_vCoord(left).x()) left = i;
  }
  const Vector3f onRight = model.get_vCoord(right), onLeft = model.get_vCoord(left);
  auto holds = [](const BoundingBox& b, const Vector3f& p) {
    return (p.array() >= b.min_corner().array()).all() && (p.array() <= b.max_corner().array()).all();
  };
  h.set_clip_z(0.f);
  ASSERT_EQ(h.set_voxel_bbox(std::vector<Vector3f>{onRight}), RETVAL_SUCCESS);
  ASSERT_EQ(h.get_value_box().size(), 1u);
  const BoundingBox rightHole = h.get_value_box()[0];
  EXPECT_TRUE(holds(rightHole, onRight));
  EXPECT_GT(rightHole.minX, 15.f);  // the rim of the +x cap, not the whole model
  EXPECT_FLOAT_EQ(h.clip_z(), std::min(0.f, rightHole.minZ - 2.f));
  EXPECT_EQ(h.renderer()->value_boxes().size(), 1u);

  // Points with a NaN coordinate are ignored; the others still count.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  ASSERT_EQ(h.set_voxel_bbox(std::vector<Vector3f>{Vector3f(nan, 0, 0), onLeft, onRight}), RETVAL_SUCCESS);
  ASSERT_EQ(h.get_value_box().size(), 2u);
  for (const BoundingBox& b : h.get_value_box()) EXPECT_TRUE(holds(b, onLeft) || holds(b, onRight));

  // No point at a hole, or none at all: no value box, so that nothing scores.
  for (const auto& points : {std::vector<Vector3f>{Vector3f(0, 0, 100)}, std::vector<Vector3f>{},
                             std::vector<Vector3f>{Vector3f(nan, nan, nan)}}) {
    ASSERT_EQ(h.set_voxel_bbox(points), RETVAL_SUCCESS);
    EXPECT_TRUE(h.get_value_box().empty());
    const std::vector<int> table = h.renderer()->voxels().download_block_table();
    EXPECT_EQ(std::count(table.begin(), table.end(), -2), static_cast<long>(table.size()));
  }
}

TEST(AutoScanHelper, IterationBoxesKeepTheHolesStillOpenInsideTheBoxes) {
  TAVO_REQUIRE_GL_CONTEXT();
  ModelledSphere s;
  ASSERT_TRUE(s.ready);
  TestPlanner& h = s.h;
  std::vector<BoundingBox> holeBox;
  const TriMesh holed = sphere_with_holes(holeBox);
  const BoundingBox& px = holeBox[0];
  const BoundingBox& my = holeBox[1];
  auto iterate = [&](const std::vector<BoundingBox>& boxes, bool reset) {
    EXPECT_EQ(h.set_voxel_bbox(boxes), RETVAL_SUCCESS);
    TriMesh m = holed;
    return h.set_iter_bbox(m, reset);
  };
  // Everything in one box: the +x and -y holes stay, the bottom ring is the cut edge.
  ASSERT_EQ(iterate({BoundingBox({-40, -40, -40}, {40, 40, 40})}, true), RETVAL_SUCCESS);
  ASSERT_EQ(h.get_value_box().size(), 2u);
  const bool order = same_box(h.get_value_box()[0], px);
  EXPECT_TRUE(same_box(h.get_value_box()[order ? 0 : 1], px) && same_box(h.get_value_box()[order ? 1 : 0], my));
  EXPECT_FLOAT_EQ(h.clip_z(), std::min(px.minZ, my.minZ) - 2.f);
  EXPECT_EQ(h.renderer()->value_boxes().size(), 2u);

  // Boxes grow by 1 mm before they meet a hole: 0.9 mm beyond the +x hole meets it, 1.1 mm does not.
  auto beyond = [&](float gap) {
    return BoundingBox({px.maxX + gap, px.minY, px.minZ}, {px.maxX + gap + 5.f, px.maxY, px.maxZ});
  };
  ASSERT_EQ(iterate({beyond(0.9f)}, true), RETVAL_SUCCESS);
  ASSERT_EQ(h.get_value_box().size(), 1u);
  EXPECT_TRUE(same_box(h.get_value_box()[0], px));
  ASSERT_EQ(iterate({beyond(1.1f)}, true), RETVAL_SUCCESS);
  EXPECT_TRUE(h.get_value_box().empty());
  EXPECT_EQ(h.clip_z(), kFloatMax);

  // Without a grid reset only the list changes, and unused bounds are re-evaluated.
  ASSERT_EQ(h.set_voxel_bbox(std::vector<BoundingBox>{BoundingBox({-40, -40, -40}, {40, 40, 40})}),
            RETVAL_SUCCESS);
  const std::vector<int> table = h.renderer()->voxels().download_block_table();
  TriMesh m = holed;
  ASSERT_EQ(h.set_iter_bbox(m, false), RETVAL_SUCCESS);
  EXPECT_EQ(h.get_value_box().size(), 2u);
  EXPECT_EQ(h.renderer()->value_boxes().size(), 2u);
  EXPECT_EQ(h.renderer()->voxels().download_block_table(), table);
  for (const auto& [i, bound] : h.renderer()->ranking()) EXPECT_EQ(bound, EmulateBinHelper::kUnevaluated) << i;

  // Long holes: 2000 boundary vertices stay, 2002 are too many.
  TriMesh strip = strip_with_two_long_holes();
  ASSERT_EQ(h.set_voxel_bbox(std::vector<BoundingBox>{BoundingBox({-1, -1, -1}, {2002, 1, 41})}), RETVAL_SUCCESS);
  ASSERT_EQ(h.set_iter_bbox(strip, true), RETVAL_SUCCESS);
  ASSERT_EQ(h.get_value_box().size(), 1u);
  EXPECT_TRUE(same_box(h.get_value_box()[0], BoundingBox({1, 0, 10}, {999, 0, 30})));
  EXPECT_EQ(h.clip_z(), 8.f);

  // The model's own holes: the scanned sphere is closed, so nothing is left.
  ASSERT_EQ(h.set_voxel_bbox(std::vector<BoundingBox>{BoundingBox({-40, -40, -40}, {40, 40, 40})}),
            RETVAL_SUCCESS);
  ASSERT_EQ(h.set_iter_bbox(true), RETVAL_SUCCESS);
  EXPECT_TRUE(h.get_value_box().empty());
}

TEST(AutoScanHelper, ClearingStartsOverWithTheSameParameters) {
  TAVO_REQUIRE_GL_CONTEXT();
  ModelledSphere s;
  ASSERT_TRUE(s.ready);
  TestPlanner& h = s.h;
  ASSERT_EQ(h.set_voxel_bbox(BoundingBox({20, -5, -5}, {31, 5, 5})), RETVAL_SUCCESS);
  h.set_iter_num(3);
  std::string err;
  ASSERT_EQ(h.clear_base_all(err), RETVAL_SUCCESS) << err;
  EXPECT_EQ(h.frame_count(), 0);
  EXPECT_EQ(h.iteration_count(), 0);
  EXPECT_FALSE(h.has_model());
  EXPECT_EQ(h.model(), nullptr);
  EXPECT_TRUE(h.get_value_box().empty());
  ASSERT_TRUE(h.renderer() && h.tsdf_volume());
  EXPECT_EQ(h.renderer()->candidate_count(), 3);
  EXPECT_FALSE(h.renderer()->mesh_box_set());
  EXPECT_EQ(h.renderer()->scoring_mesh(), nullptr);
  EXPECT_FALSE(h.tsdf_volume()->has_voxels());
  expect_no_model(h);
  // The same frames give the same model again.
  ASSERT_TRUE(send_frames(h, s.frames));
  BaseTriMesh again;
  ASSERT_EQ(h.get_triMesh(again), RETVAL_SUCCESS);
  EXPECT_EQ(again.get_fn(), s.model.get_fn());
  EXPECT_TRUE(h.has_model());
}

// The dental planners on the OpenGL renderer: a ball on the table scanned
// from two sides by the simulated rig, planned by the helper that fuses it
// and by the one that takes the host's mesh.
#include <gtest/gtest.h>

#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "DentalAutoScanHelper.h"
#include "DentalGetScanPathHelper.h"
#include "DentalRig.h"
#include "MeshShells.h"
#include "SceneMeshes.h"
#include "gl_test_context.h"

using namespace TavoAlgorithm;

namespace {

DentalAutoScanParam small_grid_param() {
  DentalAutoScanParam p;
  p.firstAngle = 0;
  p.lastAngle = 60;
  p.angleStep = 30;  // 3 x 12 candidates keep llvmpipe quick
  p.clipZ = 1.f;
  p.tsdfVoxelSize = 0.5f;
  p.planVoxelSize = 1.f;
  p.minShellSize = 10;
  return p;
}

const Eigen::Vector3f kBallCentre(0, 0, 16);
constexpr float kBallRadius = 15.f;

// A ball with its top cut away along the slanted plane z = 26 - 0.3 x: one
// open hole, not level (a level one would count as the cut base edge).
BaseTriMesh capped_ball() {
  BaseTriMesh full;
  sim::add_uv_sphere(full, kBallCentre, kBallRadius, 48, 24);
  BaseTriMesh out;
  out.set_vCoords(std::vector<Eigen::Vector3f>(full.get_vCoords()));
  std::vector<BaseTriFace> faces;
  for (const BaseTriFace& f : full.get_faces()) {
    const float z = (full.get_vCoord(f[0]).z() + full.get_vCoord(f[1]).z() + full.get_vCoord(f[2]).z()) / 3;
    const float x = (full.get_vCoord(f[0]).x() + full.get_vCoord(f[1]).x() + full.get_vCoord(f[2]).x()) / 3;
    if (z < 26.f - 0.3f * x) faces.push_back(f);
  }
  out.set_faces(std::move(faces));
  squeeze_baseTriMesh(out);
  return out;
}

bool in_grid_range(std::int32_t r, std::int32_t t, const DentalAutoScanParam& p) {
  return r >= 0 && r < 360 && t >= p.firstAngle - 2 && t <= p.lastAngle + 2;
}

}  // namespace

TEST(DentalAutoScanPlanning, FusedBallIsPlannedAndRepeatsMoveOn) {
  TAVO_REQUIRE_GL_CONTEXT();
  const sim::DentalRig rig = sim::default_dental_rig();
  const DentalAutoScanParam p = small_grid_param();
  DentalAutoScanHelper helper;
  std::string err;
  ASSERT_EQ(helper.set_param(p, rig.camera, rig.axis, err), RETVAL_SUCCESS) << err;
  EXPECT_EQ(helper.candidate_angles().size(), 36u);
  // Value boxes before the first model.
  EXPECT_EQ(helper.set_voxel_bbox(std::vector<BoundingBox>{BoundingBox(Eigen::Vector3f::Zero(), Eigen::Vector3f::Ones())}),
            RETVAL_NOT_READY);
  EXPECT_EQ(helper.set_iter_bbox(true), RETVAL_NOT_READY);
  std::int32_t r = -1, t = -1;
  float value = 1.f;
  EXPECT_EQ(helper.get_scanPath(r, t, value, false), RETVAL_FAILED);  // no model yet

  BaseTriMesh ball;
  sim::add_uv_sphere(ball, kBallCentre, kBallRadius, 48, 24);
  const sim::MeshShape shape(ball);
  std::vector<RangeData> frames;
  for (int rot : {0, 180}) frames.push_back(sim::dental_frame(shape, rig, rot, 0, 0.f, 1, 4));
  for (const RangeData& f : frames) helper.send_rangeData(&f, RigidMatrix(), false, false);
  BaseTriMesh model;
  ASSERT_EQ(helper.get_triMesh(model), RETVAL_SUCCESS);
  ASSERT_GT(model.get_fn(), 100);

  ASSERT_EQ(helper.get_scanPath(r, t, value, false), RETVAL_SUCCESS);
  EXPECT_GT(value, 0.f);
  EXPECT_TRUE(in_grid_range(r, t, p)) << r << " " << t;
  std::int32_t r2 = -1, t2 = -1;
  float value2 = 0.f;
  const RetVal second = helper.get_scanPath(r2, t2, value2, false);
  if (second == RETVAL_SUCCESS) {
    EXPECT_NE(std::make_pair(r2, t2), std::make_pair(r, t));
  }
  EXPECT_EQ(helper.last_angles(), second == RETVAL_SUCCESS ? std::make_pair(r2, t2) : std::make_pair(r, t));

  // The window changes no planning state.
  std::int32_t nr = -7, nt = -7;
  EXPECT_EQ(helper.get_navigation_scanPath(r, t, 0, 2, nr, nt), RETVAL_SUCCESS);
  if (nr != -7) {
    EXPECT_LE(std::abs(((nr - r + 540) % 360) - 180), 2);
    EXPECT_LE(std::abs(nt - t), 2);
  }
  EXPECT_EQ(helper.last_angles().first, second == RETVAL_SUCCESS ? r2 : r);

  EXPECT_EQ(helper.get_final_trimesh(model), RETVAL_SUCCESS);
  EXPECT_GT(model.get_fn(), 100);
  EXPECT_EQ(helper.clear_all(err), RETVAL_SUCCESS);
  EXPECT_EQ(helper.get_scanPath(r, t, value, false), RETVAL_FAILED);
  EXPECT_EQ(helper.set_voxel_bbox(BoundingBox(Eigen::Vector3f::Zero(), Eigen::Vector3f::Ones())), RETVAL_NOT_READY);
}

TEST(DentalGetScanPath, PlansOnTheSentMeshUntilCleared) {
  TAVO_REQUIRE_GL_CONTEXT();
  const sim::DentalRig rig = sim::default_dental_rig();
  const DentalAutoScanParam p = small_grid_param();
  DentalGetScanPathHelper helper;
  std::string err;
  ASSERT_EQ(helper.set_param(p, rig.camera, rig.axis, err), RETVAL_SUCCESS) << err;
  std::int32_t r = -1, t = -1;
  float value = 1.f;
  EXPECT_EQ(helper.get_scanPath(r, t, value, false), RETVAL_FAILED);
  const BoundingBox box(Eigen::Vector3f(-5, -5, 20), Eigen::Vector3f(5, 5, 32));
  EXPECT_EQ(helper.set_voxel_bbox(box), RETVAL_NOT_READY);
  EXPECT_EQ(helper.set_voxel_bbox(std::vector<BoundingBox>{box}), RETVAL_NOT_READY);
  EXPECT_EQ(helper.set_voxel_bbox(std::vector<Eigen::Vector3f>{Eigen::Vector3f(0, 0, 30)}), RETVAL_NOT_READY);
  EXPECT_EQ(helper.set_iter_bbox(false), RETVAL_NOT_READY);

  const BaseTriMesh mesh = capped_ball();
  helper.send_scan_mesh(&mesh);
  ASSERT_TRUE(helper.renderer()->mesh_box_set());
  ASSERT_EQ(helper.get_scanPath(r, t, value, false), RETVAL_SUCCESS);
  EXPECT_GT(value, 0.f);
  EXPECT_TRUE(in_grid_range(r, t, p));
  std::int32_t r2 = -1, t2 = -1;
  float value2 = 0.f;
  EXPECT_EQ(helper.get_scanPath(r2, t2, value2, false), RETVAL_SUCCESS);  // still the sent mesh
  EXPECT_NE(std::make_pair(r2, t2), std::make_pair(r, t));

  // Value boxes on the sent mesh: the hole holding the point.
  EXPECT_EQ(helper.set_voxel_bbox(std::vector<Eigen::Vector3f>{Eigen::Vector3f(0, 0, 26)}), RETVAL_SUCCESS);
  ASSERT_EQ(helper.get_value_box().size(), 1u);
  EXPECT_LT(helper.get_value_box()[0].minZ, 26.f);
  EXPECT_GT(helper.get_value_box()[0].maxZ, 26.f);
  EXPECT_LE(helper.clip_z(), helper.get_value_box()[0].minZ - 2.f + 1e-4f);  // only ever lowered

  EXPECT_EQ(helper.clear_all(err), RETVAL_SUCCESS);
  EXPECT_EQ(helper.get_scanPath(r, t, value, false), RETVAL_FAILED);
  EXPECT_EQ(helper.set_iter_bbox(true), RETVAL_NOT_READY);
}

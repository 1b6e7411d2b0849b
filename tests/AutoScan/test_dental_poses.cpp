// Pose geometry of the dental planners: the candidate grid, the axis chain
// against an independent Eigen computation, the camera fix, the clip height,
// the reset search, the search's pure rules and the parameter trace.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <set>

#include "AutoScan/DentalPathSearch.h"
#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "ComputeRT.h"
#include "DentalAutoScanHelper.h"
#include "DentalGetScanPathHelper.h"
#include "DentalRig.h"
#include "StereoRigSimulator.h"
#include "trace_folder_test.h"

using namespace TavoAlgorithm;

namespace {

using Iso = Eigen::Isometry3d;

Iso turn(const Eigen::Vector3d& p, const Eigen::Vector3d& d, double deg) {
  if (d.norm() == 0.0) return Iso::Identity();
  return Eigen::Translation3d(p) * Eigen::AngleAxisd(deg * M_PI / 180.0, d.normalized()) * Eigen::Translation3d(-p);
}

Iso iso(const RigidMatrix& m) {
  Iso r = Iso::Identity();
  r.linear() = m.get_rotation();
  r.translation() = m.get_translation();
  return r;
}

// The chain written out: Rz(s) R(A4,-d) R(A0,r)^-1 R(A1,t-o)^-1 R(A2,k(s2-o2))^-1,
// then R(A3,s3)^-1 in front.
Iso reference_chain(const AxisInfo& a, int r, int t, int s2, int s3) {
  const double sDeg = static_cast<double>(a.angleS) * 180.0 / M_PI;
  const Iso chain = turn(Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitZ(), sDeg) *
                    turn(a.point[4], a.direction[4], -a.d) * turn(a.point[0], a.direction[0], r).inverse() *
                    turn(a.point[1], a.direction[1], t - a.tiltOffset).inverse() *
                    turn(a.point[2], a.direction[2], double(s2 - a.setting2Offset) * a.k).inverse();
  return turn(a.point[3], a.direction[3], s3).inverse() * chain;
}

// A rig with every axis off its home line, so that each term of the chain shows.
sim::DentalRig skewed_rig() {
  sim::DentalRig rig = sim::default_dental_rig();
  AxisInfo& a = rig.axis;
  a.point[0] = {1.5, -2.0, 0.5};
  a.direction[0] = Eigen::Vector3d(0.05, -0.02, 1.0);
  a.point[1] = {0.0, 3.0, 12.0};
  a.direction[1] = Eigen::Vector3d(1.0, 0.1, -0.03);
  a.point[2] = {4.0, 0.0, -1.0};
  a.direction[2] = Eigen::Vector3d(0.2, 1.0, 0.1);
  a.point[3] = {-2.0, 1.0, 0.0};
  a.direction[3] = Eigen::Vector3d(0.0, 0.3, 1.0);
  a.point[4] = {0.5, 0.5, 2.0};
  a.direction[4] = Eigen::Vector3d(0.1, 0.0, 1.0);
  a.d = 3.5;
  a.tiltOffset = 4;
  a.setting2Offset = -7;
  a.k = 0.8f;
  a.angleS = 0.12f;
  return rig;
}

void expect_near_rel(const Eigen::Vector3f& got, const Eigen::Vector3d& want, double tol) {
  EXPECT_LE((got.cast<double>() - want).norm(), tol * std::max(1.0, want.norm())) << got.transpose() << " vs "
                                                                                   << want.transpose();
}

}  // namespace

TEST(DentalPoses, StepTenOverTiltsZeroToHundredTwentyGives468TiltMajorCandidates) {
  const sim::DentalRig rig = sim::default_dental_rig();
  std::vector<std::pair<int, int>> angles, presets;
  std::vector<float> weights;
  OpenGLCameraParam set;
  ASSERT_EQ(get_spheres_twoAxis(0, 120, 10, 0, 0, rig.axis, rig.camera, angles, weights, set, presets),
            RETVAL_SUCCESS);
  ASSERT_EQ(angles.size(), 468u);
  EXPECT_EQ(angles[0], std::make_pair(0, 0));
  EXPECT_EQ(angles[35], std::make_pair(350, 0));
  EXPECT_EQ(angles[36], std::make_pair(0, 10));
  EXPECT_EQ(angles[467], std::make_pair(350, 120));
  EXPECT_EQ(weights, std::vector<float>(468, 1.f));
  EXPECT_EQ(set.eyes.size(), 468u * 9);
  EXPECT_EQ(set.centers.size(), 468u * 9);
  EXPECT_EQ(set.ups.size(), 468u * 9);
  ASSERT_EQ(set.fovys.size(), 4u);
  EXPECT_FLOAT_EQ(set.fovys[0], float(2 * std::atan(240.0 / 1700.0)));
  EXPECT_FLOAT_EQ(set.fovys[2], float(2 * std::atan(480.0 / 3400.0)));
  EXPECT_EQ(set.fovys[3], 0.f);
  const std::vector<std::pair<int, int>> wantPresets = {{0, 10}, {0, 60}, {90, 60}, {180, 60}, {270, 60}};
  EXPECT_EQ(presets, wantPresets);

  // Each candidate's nine floats are dental_look_at of its angles.
  for (std::size_t i : {std::size_t(0), std::size_t(37), std::size_t(250), std::size_t(467)}) {
    const std::int32_t s[4] = {angles[i].first, angles[i].second, 0, 0};
    std::vector<Eigen::Vector3f> e, c, u;
    std::vector<float> f;
    dental_look_at(rig.axis, rig.camera, s, e, c, u, f);
    for (int k = 0; k < 3; ++k)
      for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(set.eyes[9 * i + 3 * k + j], e[k][j]);
        EXPECT_EQ(set.centers[9 * i + 3 * k + j], c[k][j]);
        EXPECT_EQ(set.ups[9 * i + 3 * k + j], u[k][j]);
      }
  }
}

TEST(DentalPoses, TiltLimitsRefuseMinus31And141AndAcceptMinus30And140) {
  const sim::DentalRig rig = sim::default_dental_rig();
  std::vector<std::pair<int, int>> angles = {{1, 2}}, presets;
  std::vector<float> weights = {7.f};
  OpenGLCameraParam set;
  EXPECT_EQ(get_spheres_twoAxis(-31, 120, 10, 0, 0, rig.axis, rig.camera, angles, weights, set, presets),
            RETVAL_FAILED);
  EXPECT_EQ(get_spheres_twoAxis(0, 141, 10, 0, 0, rig.axis, rig.camera, angles, weights, set, presets),
            RETVAL_FAILED);
  EXPECT_EQ(get_spheres_twoAxis(0, 120, 0, 0, 0, rig.axis, rig.camera, angles, weights, set, presets),
            RETVAL_FAILED);
  EXPECT_EQ(angles.size(), 1u);  // refusals leave the outputs alone
  EXPECT_EQ(weights, std::vector<float>{7.f});
  EXPECT_TRUE(set.fovys.empty());
  ASSERT_EQ(get_spheres_twoAxis(-30, 140, 10, 0, 0, rig.axis, rig.camera, angles, weights, set, presets),
            RETVAL_SUCCESS);
  EXPECT_EQ(angles.size(), 18u * 36);
  EXPECT_EQ(angles.front(), std::make_pair(0, -30));
  EXPECT_EQ(angles.back(), std::make_pair(350, 140));
}

TEST(DentalPoses, LookAtMatchesTheAxisChainBuiltFromEigenRotations) {
  const sim::DentalRig rig = skewed_rig();
  for (const auto& s4 : std::vector<std::array<int, 4>>{{0, 0, 0, 0}, {37, 55, 12, -8}, {350, 120, -3, 25},
                                                         {180, -30, 40, 90}}) {
    const std::int32_t s[4] = {s4[0], s4[1], s4[2], s4[3]};
    std::vector<Eigen::Vector3f> e, c, u;
    std::vector<float> f;
    dental_look_at(rig.axis, rig.camera, s, e, c, u, f);
    ASSERT_EQ(e.size(), 3u);
    const Iso t = reference_chain(rig.axis, s[0], s[1], s[2], s[3]);
    for (int k = 0; k < 3; ++k) {
      const Iso m = t * iso(rig.camera.pose[k]).inverse();
      const Eigen::Vector3d eye = m * Eigen::Vector3d(0, 0, 0);
      expect_near_rel(e[k], eye, 1e-5);
      expect_near_rel(c[k], m * Eigen::Vector3d(0, 0, 100), 1e-5);
      expect_near_rel(u[k], (eye - m * Eigen::Vector3d(0, 100, 0)).normalized(), 1e-5);
    }
    ASSERT_EQ(f.size(), 3u);
    EXPECT_FLOAT_EQ(f[1], float(2 * std::atan(240.0 / 1700.0)));
  }
}

TEST(DentalPoses, ComputRtWithoutFifthAxisIsTheExplicitChain) {
  const AxisInfo a = skewed_rig().axis;
  RigidMatrix got, want;
  dental_comput_rt(a.point[0], a.direction[0], 10, a.point[1], a.direction[1], 20, a.point[2], a.direction[2], 5,
                   a.point[4], a.direction[4], -2, Eigen::Vector3d::Zero(), Eigen::Vector3d::Zero(), 33, 4, 2.0, got);
  ComputeRT::compute_rt(a.point[0], a.direction[0], 10, a.point[1], a.direction[1], 20, a.point[2], a.direction[2],
                        10, a.point[4], a.direction[4], -2, 4, want);
  EXPECT_TRUE(got.to_matrix4().isApprox(want.to_matrix4(), 1e-12));
}

TEST(DentalPoses, FixedCamerasKeepTheCentreRayAndCentreTheirPrincipalPoints) {
  CameraInfo cam = sim::default_dental_rig().camera;
  cam.principal[0] = 300;  // off-centre c0 and c2
  cam.principal[1] = 255;
  cam.principal[4] = 650;
  const CameraInfo before = cam;
  EXPECT_EQ(fix_cameraInfo(cam), RETVAL_SUCCESS);
  const int sizes[3][2] = {{640, 480}, {640, 480}, {1280, 960}};
  for (int k = 0; k < 3; ++k) {
    const double w = sizes[k][0], h = sizes[k][1];
    EXPECT_FLOAT_EQ(cam.principal[2 * k], w / 2);
    EXPECT_FLOAT_EQ(cam.principal[2 * k + 1], h / 2);
    // The old ray of the centre pixel, in the rig frame, is the new optical axis.
    const Eigen::Vector3d old((w / 2 - before.principal[2 * k]) / before.focal[2 * k],
                              (h / 2 - before.principal[2 * k + 1]) / before.focal[2 * k + 1], 1);
    const Eigen::Vector3d oldRig = before.pose[k].get_rotation().transpose() * old.normalized();
    const Eigen::Vector3d newRig = cam.pose[k].get_rotation().transpose() * Eigen::Vector3d::UnitZ();
    EXPECT_LT((oldRig - newRig).norm(), 1e-9) << "camera " << k;
    // The optical centre stays where it was.
    EXPECT_LT(((cam.pose[k].inverse() * Eigen::Vector3d(0, 0, 0)) - (before.pose[k].inverse() * Eigen::Vector3d(0, 0, 0)))
                  .norm(),
              1e-9);
  }
}

TEST(DentalPoses, ClipHeightIsThePixelRayPointAtTheCameraDistance) {
  const sim::DentalRig rig = skewed_rig();
  const std::int32_t s[4] = {30, 40, 5, 12};
  const float z = get_clip_z(rig.camera, rig.axis, s, 200);
  const double l = (iso(rig.camera.pose[0]).inverse() * Eigen::Vector3d(0, 0, 0)).norm();
  const Eigen::Vector3d ray((10 - 320.0) / 1700.0, (200 - 240.0) / 1700.0, 1.0);
  // Here the A3 turn enters uninverted.
  const double sDeg = double(rig.axis.angleS) * 180.0 / M_PI;
  const AxisInfo& a = rig.axis;
  const Iso chain = turn(a.point[3], a.direction[3], 12) *
                    turn(Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitZ(), sDeg) * turn(a.point[4], a.direction[4], -a.d) *
                    turn(a.point[0], a.direction[0], 30).inverse() *
                    turn(a.point[1], a.direction[1], 40 - a.tiltOffset).inverse() *
                    turn(a.point[2], a.direction[2], double(5 - a.setting2Offset) * a.k).inverse();
  const Eigen::Vector3d want = chain * (iso(rig.camera.pose[0]).inverse() * (ray.normalized() * l));
  EXPECT_NEAR(z, want.z(), 1e-4);
  CameraInfo blind = rig.camera;
  blind.focal[0] = 0;
  EXPECT_TRUE(std::isnan(get_clip_z(blind, rig.axis, s, 200)));
}

TEST(DentalPoses, ResetAngleFindsTheTiltThatPointsThePairStraightDown) {
  sim::DentalRig rig = sim::default_dental_rig();
  // Both cameras look 7 degrees past straight down about x.
  const Eigen::Vector3d down = Eigen::AngleAxisd(7 * M_PI / 180, Eigen::Vector3d::UnitX()) * -Eigen::Vector3d::UnitZ();
  for (int k = 0; k < 2; ++k) {
    const Eigen::Vector3d eye = Eigen::Vector3d(k ? 20 : -20, 0, 0) - 150 * down;
    rig.camera.pose[k] = sim::camera_look_at(eye, eye + down, Eigen::Vector3d::UnitY());
  }
  rig.axis.angleS = float(3 * M_PI / 180);
  std::int32_t first = 99, second = 99;
  EXPECT_EQ(get_fix_reset_angle(rig.axis, rig.camera, 0, 0, first, second), RETVAL_SUCCESS);
  EXPECT_EQ(second, 7);
  EXPECT_EQ(first, 0);  // the final turn that puts the baseline back along x
}

TEST(DentalSearch, RepeatedChoiceMovesByTwoDegrees) {
  EXPECT_EQ(dental::moved_repeat({10, 20}), std::make_pair(12, 22));
  EXPECT_EQ(dental::moved_repeat({358, 118}), std::make_pair(0, 120));
  EXPECT_EQ(dental::moved_repeat({359, 119}), std::make_pair(1, 117));
  EXPECT_EQ(dental::moved_repeat({0, 140}), std::make_pair(2, 138));
}

TEST(DentalSearch, NavigationWindowSkipsRowsPastTheTiltLimitsAndWrapsRotation) {
  const auto top = dental::navigation_window(357, 118, 3);
  EXPECT_EQ(top.size(), 7u * 6);  // tilts 115 ... 120; 121 skipped
  std::set<int> rotations;
  for (const auto& [r, t] : top) {
    rotations.insert(r);
    EXPECT_GE(t, 115);
    EXPECT_LE(t, 120);
  }
  EXPECT_EQ(rotations, (std::set<int>{354, 355, 356, 357, 358, 359, 0}));
  const auto bottom = dental::navigation_window(1, -29, 2);
  EXPECT_EQ(bottom.size(), 5u * 4);  // -31 skipped
  std::set<int> low;
  for (const auto& p : bottom) low.insert(p.first);
  EXPECT_EQ(low, (std::set<int>{359, 0, 1, 2, 3}));
  EXPECT_EQ(dental::navigation_window(0, 0, 0).size(), 1u);
}

TEST(DentalSearch, BetterPathKeepsTheCandidateForStepOneZeroValueOrNoScores) {
  const sim::DentalRig rig = sim::default_dental_rig();
  EmulateBinHelper renderer(1.0);  // never set up: every pose scores nothing
  DentalPlanSetup setup;
  setup.angles = {{0, 0}, {40, 30}};
  setup.camera = rig.camera;
  setup.axis = rig.axis;
  const std::vector<dental::Angles>& candidates = setup.angles;
  DentalAutoScanParam& p = setup.param;
  p.angleStep = 1;
  const dental::PlanContext ctx{renderer, setup};
  dental::Angles out{-5, -5};
  float value = 12.f;
  dental::get_better_path(ctx, 1, value, out);
  EXPECT_EQ(out, candidates[1]);
  EXPECT_EQ(value, 12.f);
  p.angleStep = 10;
  value = 0.f;
  out = {-5, -5};
  dental::get_better_path(ctx, 1, value, out);
  EXPECT_EQ(out, candidates[1]);
  value = 5.f;  // neighbours all score 0 on a renderer without context
  dental::get_better_path(ctx, 1, value, out);
  EXPECT_EQ(out, candidates[1]);
  EXPECT_EQ(value, 5.f);
  out = {-5, -5};
  dental::get_better_path(ctx, 7, value, out);  // no such candidate
  EXPECT_EQ(out, std::make_pair(-5, -5));
}

TEST(DentalRigSim, C0FrameLiesOnTheMeshAndItsPoseMatchesLookAt) {
  const sim::DentalRig rig = sim::default_dental_rig();
  BaseTriMesh ball = sim::make_lumpy_sphere(Eigen::Vector3f(0, 0, 15), 15.f, 0.f, 3);
  const sim::MeshShape shape(ball);
  const RangeData frame = sim::dental_frame(shape, rig, 40, 30, 0.f, 1, 4);
  ASSERT_GT(frame.get_vn(), 100);
  for (int i = 0; i < frame.get_vn(); i += 17) {
    const Eigen::Vector3f w = frame.get_rigidMatrix() * frame.get_vCoord(i);
    EXPECT_NEAR((w - Eigen::Vector3f(0, 0, 15)).norm(), 15.f, 0.3f);  // icosphere facets
  }
  const std::int32_t s[4] = {40, 30, 0, 0};
  std::vector<Eigen::Vector3f> e, c, u;
  std::vector<float> f;
  dental_look_at(rig.axis, rig.camera, s, e, c, u, f);
  const RigidMatrix pose = frame.get_rigidMatrix();
  EXPECT_LT((pose * Eigen::Vector3f(0, 0, 0) - e[0]).norm(), 1e-3f);
  // The simulator looks down its -z: 100 mm ahead is c0's look-at centre.
  EXPECT_LT((pose * Eigen::Vector3f(0, 0, -100) - c[0]).norm(), 1e-3f);
  EXPECT_LT((pose.transform_normal(Eigen::Vector3f(0, 1, 0)) - u[0]).norm(), 1e-4f);
}

class DentalTrace : public TraceFolderTest {};

TEST_F(DentalTrace, SetParamRecordsItsThreeInputsAndReplaysThem) {
  gDAConfig.enable = true;
  gDAConfig.record = true;
  const sim::DentalRig rig = skewed_rig();
  DentalAutoScanParam p;
  p.lastAngle = 60;
  p.angleStep = 30;
  p.setting2 = 4;
  p.setting3 = -9;
  std::string err;
  DentalAutoScanHelper recorder;
  recorder.set_param(p, rig.camera, rig.axis, err);  // the result depends on OpenGL; the record does not
  const std::filesystem::path file = m_dir / "das_set_param.tb";
  ASSERT_TRUE(std::filesystem::exists(file));
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Header 3 and 4: three parameters, then their names with every byte inverted.
  const std::string names = "paraminputCameraInfoinputAxisInfo";
  std::string inverted = names;
  for (char& ch : inverted) ch = static_cast<char>(~ch);
  const std::size_t at = bytes.find(inverted);
  ASSERT_NE(at, std::string::npos);
  ASSERT_GE(at, 8u);
  std::uint64_t count = 0;
  std::memcpy(&count, bytes.data() + at - 8, 8);
  EXPECT_EQ(count, 3u);
  // Data: the twelve parameter fields, three camera poses (96 bytes each),
  // 12 floats, 4 ints, then the 30 axis doubles, d, two ints, two floats.
  const std::size_t data = at + names.size();
  std::int32_t f[12];
  std::memcpy(f, bytes.data() + data, sizeof f);
  EXPECT_EQ(f[1], 60);
  EXPECT_EQ(f[2], 30);
  EXPECT_EQ(f[10], 4);
  EXPECT_EQ(f[11], -9);
  float angleS = 0;
  const std::size_t axisAt = data + 48 + 3 * 96 + 12 * 4 + 16;
  std::memcpy(&angleS, bytes.data() + axisAt + 30 * 8 + 8 + 4 + 4 + 4, 4);
  EXPECT_EQ(angleS, rig.axis.angleS);

  // Replay: the recorded values replace the caller's.
  gDAConfig.record = false;
  DentalAutoScanParam other;
  other.lastAngle = 120;
  other.angleStep = 10;
  DentalAutoScanHelper replayer;
  const RetVal r = replayer.set_param(other, sim::default_dental_rig().camera, sim::default_dental_rig().axis, err);
  if (r == RETVAL_SUCCESS) {
    EXPECT_EQ(replayer.candidate_angles().size(), 3u * 12);  // tilts 0, 30, 60 at step 30
  } else {
    EXPECT_EQ(r, RETVAL_NOT_READY);  // without OpenGL only the renderer set-up fails
  }
}

TEST(DentalHelpers, BadInputBeforeParametersAndMeshes) {
  DentalAutoScanHelper helper;
  std::int32_t r = -1, t = -1;
  float v = 3.f;
  EXPECT_EQ(helper.get_scanPath(r, t, v, false), RETVAL_FAILED);
  EXPECT_EQ(v, 0.f);
  EXPECT_EQ(helper.get_navigation_scanPath(0, 0, 0, 2, r, t), RETVAL_FAILED);
  EXPECT_EQ(helper.set_opengl_param(0, 0, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitZ()), RETVAL_FAILED);
  BaseTriMesh m;
  EXPECT_EQ(helper.get_final_trimesh(m), RETVAL_FAILED);
  std::vector<TriMesh> patches;
  EXPECT_EQ(helper.get_hole_vec_trimesh(patches), RETVAL_FAILED);
  OrvaneSimpleTopos topo;
  EXPECT_EQ(helper.remove_small_shells(m, topo), RETVAL_FAILED);
  EXPECT_EQ(helper.set_voxel_bbox(BoundingBox(Eigen::Vector3f::Zero(), Eigen::Vector3f::Ones())), RETVAL_NOT_READY);
  EXPECT_EQ(r, -1);

  const sim::DentalRig rig = sim::default_dental_rig();
  DentalAutoScanParam bad;
  bad.firstAngle = -31;
  std::string err;
  EXPECT_EQ(helper.set_param(bad, rig.camera, rig.axis, err), RETVAL_FAILED);
  bad.firstAngle = 0;
  bad.lastAngle = 141;
  EXPECT_EQ(helper.set_param(bad, rig.camera, rig.axis, err), RETVAL_FAILED);
  bad.lastAngle = 120;
  bad.stopThreshold = -1;
  EXPECT_EQ(helper.set_param(bad, rig.camera, rig.axis, err), RETVAL_NOT_READY);
  EXPECT_TRUE(helper.candidate_angles().empty());

  DentalGetScanPathHelper path;
  EXPECT_EQ(path.get_scanPath(r, t, v, false), RETVAL_FAILED);
  path.send_scan_mesh(&m);  // "must set param first! ", nothing kept
  EXPECT_EQ(path.set_voxel_bbox(std::vector<BoundingBox>{}), RETVAL_NOT_READY);
  bad.firstAngle = -31;
  bad.stopThreshold = 10;
  EXPECT_EQ(path.set_param(bad, rig.camera, rig.axis, err), RETVAL_FAILED);
  bad.firstAngle = 0;
  bad.stopThreshold = -1;
  EXPECT_EQ(path.set_param(bad, rig.camera, rig.axis, err), RETVAL_FAILED);
  EXPECT_EQ(path.renderer(), nullptr);
  EXPECT_EQ(path.clear_all(err), RETVAL_SUCCESS);
}

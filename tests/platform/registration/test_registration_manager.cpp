#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <thread>

#include "MeshShape.h"
#include "PoseError.h"
#include "RangeSimulator.h"
#include "ScanSetMm.h"
#include "registration_platform/tavoRegistrationManager.h"

using namespace TavoAlgorithm;
using TavoRegistration::tavoRegistrationManager;

namespace {

// The planners' fixed settings.
struct Settings {
  int sampleStep = 8;
  float maxDistance = 2.f;
  int maxIterations = 50;
  double convergence = 1e-5;
  double maxNormalAngle = 90.0;
  bool pointToPlane = true, coarseToFine = true, trimmed = false;
  double trimRatio = 0.5;
};

RetVal global(tavoRegistrationManager& m, const std::vector<int>& ids, std::vector<RigidMatrix>& poses,
              const Settings& s = {}) {
  double err = -1.0;
  return m.global_registertion(ids, s.sampleStep, s.maxDistance, s.maxIterations, s.convergence, s.maxNormalAngle,
                               s.pointToPlane, s.coarseToFine, err, poses, s.trimmed, s.trimRatio);
}

RetVal pair(tavoRegistrationManager& m, const std::vector<int>& source, const std::vector<int>& target,
            RigidMatrix& pose, const Settings& s = {}) {
  double err = -1.0;
  return m.pair_registertion(source, target, s.sampleStep, s.maxDistance, s.maxIterations, s.convergence,
                             s.maxNormalAngle, s.pointToPlane, s.coarseToFine, err, pose, s.trimmed, s.trimRatio);
}

// Instance 0 for one test, released (with its frames) afterwards.
class Registration : public testing::Test {
 protected:
  void SetUp() override {
    m_engine = tavoRegistrationManager::new_instance(0);
    ASSERT_NE(m_engine, nullptr);
    m_engine->clear_frame_data();
  }
  void TearDown() override {
    m_engine->clear_frame_data();
    tavoRegistrationManager::delete_instance(0);
  }
  tavoRegistrationManager* m_engine = nullptr;
};

struct PlacedFrame {
  std::vector<Eigen::Vector3f> truth, normals;  // at the true pose
  RigidMatrix error;                            // what the sent copy is off by
};

std::vector<Eigen::Vector3f> moved(const std::vector<Eigen::Vector3f>& v, const RigidMatrix& m, bool directions) {
  std::vector<Eigen::Vector3f> out;
  for (const auto& x : v) out.push_back(directions ? m.transform_normal(x) : m * x);
  return out;
}

void send(tavoRegistrationManager& m, int id, const PlacedFrame& f) {
  ASSERT_TRUE(m.set_frame_data(id, moved(f.truth, f.error, false), moved(f.normals, f.error, true)));
}

// Frames of a bumpy ball seen from `count` directions around it (mm).
std::vector<PlacedFrame> ball_frames(int count) {
  sim::Scene scene;
  scene.meshes.emplace_back(sim::make_lumpy_sphere(Eigen::Vector3f::Zero(), 60.f, 0.25f, 4));
  sim::Camera cam;
  cam.fx = cam.fy = 250.f;
  std::vector<PlacedFrame> out;
  for (const RangeData& f : sim::orbit_frames(scene, cam, count, Eigen::Vector3f::Zero(), 300.f, 80.f)) {
    const sim::PlacedPoints placed = sim::placed_points(f);
    out.push_back({placed.points, placed.normals, RigidMatrix()});
  }
  return out;
}

}  // namespace

TEST(RegistrationInstances, LiveUntilTheLastUserReleasesThem) {
  EXPECT_EQ(tavoRegistrationManager::new_instance(-1), nullptr);
  tavoRegistrationManager::delete_instance(7);  // never created: nothing happens
  tavoRegistrationManager* a = tavoRegistrationManager::new_instance(3);
  tavoRegistrationManager* b = tavoRegistrationManager::new_instance(3);
  ASSERT_EQ(a, b);
  EXPECT_NE(tavoRegistrationManager::new_instance(4), a);
  tavoRegistrationManager::delete_instance(4);
  ASSERT_TRUE(a->set_frame_data(5, {{0, 0, 0}}, {{0, 0, 1}}));
  tavoRegistrationManager::delete_instance(3);
  EXPECT_TRUE(b->has_frame_data(5));  // one user left
  tavoRegistrationManager::delete_instance(3);
  tavoRegistrationManager* fresh = tavoRegistrationManager::new_instance(3);
  EXPECT_EQ(fresh->frame_count(), 0);
  tavoRegistrationManager::delete_instance(3);
}

TEST(RegistrationInstances, ThreadsShareAnInstanceSafely) {
  constexpr int kThreads = 4, kFrames = 50;
  // Held throughout, so that no thread's release ends the instance early.
  tavoRegistrationManager* keep = tavoRegistrationManager::new_instance(9);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      tavoRegistrationManager* m = tavoRegistrationManager::new_instance(9);
      for (int k = 0; k < kFrames; ++k) {
        const int id = t * kFrames + k;
        m->set_frame_data(id, {{float(id), 0, 0}, {0, float(id), 0}}, {{0, 0, 1}, {0, 0, 1}});
        if (k % 2) m->remove_frame_data(id);
      }
      tavoRegistrationManager::delete_instance(9);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(keep->frame_count(), kThreads * kFrames / 2);
  tavoRegistrationManager::delete_instance(9);
}

TEST_F(Registration, FrameDataKeepsUsablePairsAndRefusesTheRest) {
  const float nan = std::nanf("");
  using Points = std::vector<Eigen::Vector3f>;
  EXPECT_FALSE(m_engine->set_frame_data(1, Points{}, Points{}));
  EXPECT_FALSE(m_engine->set_frame_data(1, Points{{0, 0, 0}}, Points{}));
  EXPECT_FALSE(m_engine->set_frame_data(1, {{nan, 0, 0}, {0, 0, 0}}, {{0, 0, 1}, {0, 0, 0}}));
  EXPECT_FALSE(m_engine->has_frame_data(1));
  Cloud noNormals;
  noNormals.add_vCoord({1, 2, 3});
  EXPECT_FALSE(m_engine->set_frame_data(1, noNormals, RigidMatrix()));
  RigidMatrix out(Eigen::Matrix3d::Identity(), Eigen::Vector3d(1, 1, 1));
  EXPECT_FALSE(m_engine->get_correction(1, out));
  EXPECT_EQ(out.get_translation(), Eigen::Vector3d(1, 1, 1));

  Cloud c = noNormals;
  c.enable_vNormal();
  c.set_vNrv(0, {0, 0, 2});
  c.add_vCoord({4, 5, 6});
  c.set_vNrv(1, {0, 1, 0});
  c.set_vDeleted(1, true);
  ASSERT_TRUE(m_engine->set_frame_data(1, c, RigidMatrix(Eigen::Matrix3d::Identity(), Eigen::Vector3d(0, 0, 10))));
  ASSERT_TRUE(m_engine->get_correction(1, out));
  EXPECT_TRUE(out.to_matrix4().isIdentity());
  EXPECT_EQ(m_engine->frame_count(), 1);
  EXPECT_TRUE(m_engine->remove_frame_data(1));
  EXPECT_FALSE(m_engine->remove_frame_data(1));
}

TEST_F(Registration, BadCallsFailAndLeaveOutputsAlone) {
  ASSERT_TRUE(m_engine->set_frame_data(1, {{0, 0, 0}, {1, 0, 0}}, {{0, 0, 1}, {0, 0, 1}}));
  ASSERT_TRUE(m_engine->set_frame_data(2, {{0, 0, 0}, {1, 0, 0}}, {{0, 0, 1}, {0, 0, 1}}));
  const RigidMatrix marker(Eigen::Matrix3d::Identity(), Eigen::Vector3d(7, 7, 7));
  RigidMatrix pose = marker;
  std::vector<RigidMatrix> poses(3, marker);
  Settings zeroStep, nanDistance, noAngle, badTrim;
  zeroStep.sampleStep = 0;
  nanDistance.maxDistance = std::nanf("");
  noAngle.maxNormalAngle = 0.0;
  badTrim.trimmed = true;
  badTrim.trimRatio = 1.5;
  // Ids never sent, empty lists, an id on both sides or twice, bad settings.
  EXPECT_EQ(pair(*m_engine, {1}, {99}, pose), RETVAL_FAILED);
  EXPECT_EQ(pair(*m_engine, {}, {1}, pose), RETVAL_FAILED);
  EXPECT_EQ(pair(*m_engine, {1}, {}, pose), RETVAL_FAILED);
  EXPECT_EQ(pair(*m_engine, {1}, {2, 1}, pose), RETVAL_FAILED);
  EXPECT_EQ(global(*m_engine, {1, 42}, poses), RETVAL_FAILED);
  EXPECT_EQ(global(*m_engine, {}, poses), RETVAL_FAILED);
  EXPECT_EQ(global(*m_engine, {1, 2, 1}, poses), RETVAL_FAILED);
  for (const Settings& s : {zeroStep, nanDistance, noAngle, badTrim}) {
    EXPECT_EQ(pair(*m_engine, {1}, {2}, pose, s), RETVAL_FAILED);
    EXPECT_EQ(global(*m_engine, {1, 2}, poses, s), RETVAL_FAILED);
  }
  EXPECT_EQ(pose.get_translation(), marker.get_translation());
  ASSERT_EQ(poses.size(), 3u);
  EXPECT_EQ(poses[0].get_translation(), marker.get_translation());
  // One frame: its own correction, no engine needed.
  ASSERT_EQ(global(*m_engine, {2}, poses), RETVAL_SUCCESS);
  ASSERT_EQ(poses.size(), 1u);
  EXPECT_TRUE(poses[0].to_matrix4().isIdentity());
}

TEST_F(Registration, FramesThatDoNotOverlapAreRefusedPairwise) {
  const auto frames = ball_frames(4);
  PlacedFrame far = frames[0];
  far.error = RigidMatrix(Eigen::Matrix3d::Identity(), Eigen::Vector3d(500, 0, 0));
  send(*m_engine, 0, frames[0]);
  send(*m_engine, 1, far);
  RigidMatrix pose;
  EXPECT_EQ(pair(*m_engine, {1}, {0}, pose), RETVAL_FAILED);
  ASSERT_TRUE(m_engine->get_correction(1, pose));
  EXPECT_TRUE(pose.to_matrix4().isIdentity());
}

TEST_F(Registration, GlobalThenPairRecoverSyntheticPoseErrors) {
  auto frames = ball_frames(7);
  std::mt19937 rng(3);
  for (std::size_t i = 1; i < frames.size(); ++i) frames[i].error = sim::random_pose_error(rng, 4.0, 4.0, Eigen::Vector3d::Zero());
  std::vector<int> ids;
  for (int i = 0; i < 6; ++i) {
    send(*m_engine, 10 + i, frames[i]);
    ids.push_back(10 + i);
  }
  std::vector<RigidMatrix> poses;
  ASSERT_EQ(global(*m_engine, ids, poses), RETVAL_SUCCESS);
  ASSERT_EQ(poses.size(), ids.size());
  EXPECT_TRUE(poses[0].to_matrix4().isIdentity());  // the anchor keeps its correction
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const auto [rms, deg] = sim::pose_deviation(poses[i] * frames[i].error, frames[i].truth);
    EXPECT_LT(rms, 0.1) << i;
    EXPECT_LT(deg, 0.05) << i;
    RigidMatrix stored;
    ASSERT_TRUE(m_engine->get_correction(ids[i], stored));
    EXPECT_TRUE(stored.to_matrix4().isApprox(poses[i].to_matrix4()));
  }
  send(*m_engine, 16, frames[6]);
  RigidMatrix pose;
  ASSERT_EQ(pair(*m_engine, {16}, ids, pose), RETVAL_SUCCESS);
  const auto [rms, deg] = sim::pose_deviation(pose * frames[6].error, frames[6].truth);
  EXPECT_LT(rms, 0.1);
  EXPECT_LT(deg, 0.05);
}

// The eight real scans, each placed 5 degrees and 5 mm off its listed pose,
// registered together; then scan 7 shot again from another wrong pose and
// added pairwise against the others. Registration fixes poses only up to one
// rigid motion of the whole set (the anchor keeps its error), so the results
// are compared with the listed poses after the one best-fitting rigid motion
// of the eight has been taken out.
TEST_F(Registration, BunnyScansReturnToTheirListedPoses) {
  const std::filesystem::path conf = std::filesystem::path(TAVO_TEST_DATA_DIR) / "bunny-scans" / "bun.conf";
  if (!std::filesystem::exists(conf)) GTEST_SKIP() << "no bunny scans";
  std::vector<RangeData> scans;
  ASSERT_EQ(sim::read_range_scans_mm(conf.string(), scans), RETVAL_SUCCESS);
  ASSERT_EQ(scans.size(), 8u);
  std::mt19937 rng(11);
  std::vector<PlacedFrame> frames;
  for (const RangeData& scan : scans) {
    const sim::PlacedPoints placed = sim::placed_points(scan);
    frames.push_back({placed.points, placed.normals, sim::random_pose_error(rng, 5.0, 5.0, placed.centroid)});
  }
  std::vector<int> ids;
  for (int i = 0; i < 8; ++i) {
    send(*m_engine, i, frames[i]);
    ids.push_back(i);
  }
  std::vector<RigidMatrix> poses;
  ASSERT_EQ(global(*m_engine, ids, poses), RETVAL_SUCCESS);
  ASSERT_EQ(poses.size(), 8u);
  std::vector<RigidMatrix> moved;
  std::vector<std::vector<Eigen::Vector3f>> sets;
  for (int i = 0; i < 8; ++i) {
    moved.push_back(poses[i] * frames[i].error);
    sets.push_back(frames[i].truth);
  }
  const RigidMatrix gauge = sim::gauge_fit(moved, sets);
  for (int i = 0; i < 8; ++i) {
    const auto [rms, deg] = sim::pose_deviation(gauge * poses[i] * frames[i].error, frames[i].truth);
    EXPECT_LT(rms, 0.5) << "scan " << i;
    EXPECT_LT(deg, 0.3) << "scan " << i;
  }
  PlacedFrame again = frames[7];
  again.error = sim::random_pose_error(rng, 5.0, 5.0, sim::placed_points(scans[7]).centroid);
  send(*m_engine, 8, again);
  RigidMatrix pose;
  ASSERT_EQ(pair(*m_engine, {8}, {0, 1, 2, 3, 4, 5, 6}, pose), RETVAL_SUCCESS);
  const auto [rms, deg] = sim::pose_deviation(gauge * pose * again.error, again.truth);
  EXPECT_LT(rms, 0.5);
  EXPECT_LT(deg, 0.3);
}

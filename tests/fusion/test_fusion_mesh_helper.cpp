#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <omp.h>

#include "FusionMeshHelper.h"
#include "RangeSimulator.h"
#include "common/trace/Trace.h"
#include "fusion/TsdfRegionMarks.h"
#include "fusion/TsdfVolume.h"
#include "fusion_test_util.h"
#include "geometry/RangeScanIO.h"
#include "trace_folder_test.h"

using namespace TavoAlgorithm;
namespace fs = std::filesystem;

namespace {

constexpr float kRadius = 0.05f;
constexpr float kVoxel = 0.0025f;

std::vector<RangeData> sphere_frames(int count = 8) {
  sim::Scene scene;
  scene.spheres.push_back({Eigen::Vector3f::Zero(), kRadius});
  sim::Camera cam;
  cam.rows = 120;
  cam.cols = 160;
  cam.fx = cam.fy = 150.f;
  cam.cx = 80.f;
  cam.cy = 60.f;
  std::vector<RangeData> frames = sim::orbit_frames(scene, cam, count, Eigen::Vector3f::Zero(), 0.3f, 0.08f);
  // Two more from above and below so that the sphere is closed.
  for (float y : {0.3f, -0.3f}) {
    cam.pose = sim::look_at(Eigen::Vector3f(0.01f, y, 0.f), Eigen::Vector3f::Zero(), Eigen::Vector3f::UnitZ());
    frames.push_back(sim::render_range_frame(scene, cam));
  }
  return frames;
}

std::vector<const RangeData*> pointers(const std::vector<RangeData>& frames) {
  std::vector<const RangeData*> p;
  for (const auto& f : frames) p.push_back(&f);
  return p;
}

DentalFusionMeshParam param(float voxel = kVoxel) {
  DentalFusionMeshParam p;
  p.voxelSize = voxel;
  p.clipZ = -1e6f;
  p.sampleStep = 0;
  return p;
}

void send_all(FusionMeshHelper& h, const std::vector<RangeData>& frames) {
  const auto ptrs = pointers(frames);
  ASSERT_TRUE(h.send_rangeData(ptrs, std::vector<RigidMatrix>(ptrs.size()), std::vector<bool>(ptrs.size(), false),
                               false));
}

double rms_distance_to_sphere(const BaseTriMesh& m) {
  double sum = 0;
  int n = 0;
  for (const auto& p : fusion_test::live_vertices(m)) {
    const double d = p.norm() - kRadius;
    sum += d * d;
    ++n;
  }
  return n ? std::sqrt(sum / n) : 1e9;
}

}  // namespace

TEST(FusionMeshHelper, WithoutParametersOnlyTheListsWork) {
  FusionMeshHelper h;
  const auto frames = sphere_frames(2);
  send_all(h, frames);
  EXPECT_EQ(h.frame_count(), 4);
  BaseTriMesh m;
  EXPECT_EQ(h.get_triMesh(m), RETVAL_FAILED);
  std::vector<char> marks{7};
  h.delete_mesh_by_points({Eigen::Vector3f::Zero()}, 1);
  h.clean_rangedata(frames[0], marks);
  EXPECT_EQ(marks, std::vector<char>{7});  // untouched without a volume
  h.pop_rangeData();
  EXPECT_EQ(h.frame_count(), 3);
  EXPECT_EQ(h.clear_all(), RETVAL_SUCCESS);
  EXPECT_EQ(h.frame_count(), 0);
  EXPECT_EQ(h.volume(), nullptr);

  // Mismatched lists change nothing.
  const auto ptrs = pointers(frames);
  EXPECT_FALSE(h.send_rangeData(ptrs, std::vector<RigidMatrix>(1), std::vector<bool>(ptrs.size()), false));
  EXPECT_EQ(h.frame_count(), 0);
}

TEST(FusionMeshHelper, FusesAClosedSphereAndSecondSetParamStartsEmpty) {
  FusionMeshHelper h;
  std::string err = "untouched";
  ASSERT_EQ(h.set_param(param(), err), RETVAL_SUCCESS);
  EXPECT_EQ(err, "untouched");
  const auto frames = sphere_frames();
  send_all(h, frames);
  BaseTriMesh m;
  ASSERT_EQ(h.get_triMesh(m), RETVAL_SUCCESS);
  const double rms = rms_distance_to_sphere(m);
  const auto [open, flipped] = fusion_test::open_and_flipped_edges(m);
  std::cout << "sphere: " << fusion_test::live_face_count(m) << " faces, rms " << rms / kVoxel << " voxel, "
            << open << " open edges" << std::endl;
  EXPECT_LT(rms, 0.15 * kVoxel);
  EXPECT_EQ(flipped, 0);
  EXPECT_EQ(h.integrated_count(), static_cast<int>(frames.size()));

  // A new volume: the old frames stay listed but are not integrated again.
  ASSERT_EQ(h.set_param(param(), err), RETVAL_SUCCESS);
  EXPECT_EQ(h.frame_count(), static_cast<int>(frames.size()));
  ASSERT_EQ(h.get_triMesh(m), RETVAL_SUCCESS);
  EXPECT_EQ(fusion_test::live_face_count(m), 0);
  EXPECT_EQ(h.integrated_count(), static_cast<int>(frames.size()));
  // A frame sent now is the only one in the new volume.
  h.send_rangeData(&frames[0], RigidMatrix(), false, false);
  ASSERT_EQ(h.get_triMesh(m), RETVAL_SUCCESS);
  EXPECT_EQ(h.integrated_count(), static_cast<int>(frames.size()) + 1);
  const int oneFrameFaces = fusion_test::live_face_count(m);
  EXPECT_GT(oneFrameFaces, 0);
  {
    FusionMeshHelper single;
    single.set_param(param(), err);
    single.send_rangeData(&frames[0], RigidMatrix(), false, false);
    BaseTriMesh alone;
    ASSERT_EQ(single.get_triMesh(alone), RETVAL_SUCCESS);
    EXPECT_EQ(fusion_test::live_face_count(alone), oneFrameFaces);
  }

  EXPECT_EQ(h.clear_all(), RETVAL_SUCCESS);
  EXPECT_EQ(h.frame_count(), 0);
  ASSERT_NE(h.volume(), nullptr);
  EXPECT_FALSE(h.volume()->has_voxels());
}

namespace {

// Fuses the frames, cuts away the live surface with x > cut and checks that
// exactly that part goes: nothing is left beyond the cut, and away from it the
// surface keeps its vertex ids and positions.
void check_region_cut(std::vector<RangeData>& frames, float voxel, float cutQuantile) {
  FusionMeshHelper h;
  std::string err;
  ASSERT_EQ(h.set_param(param(voxel), err), RETVAL_SUCCESS);
  send_all(h, frames);
  BaseTriMesh before;
  ASSERT_EQ(h.get_triMesh(before), RETVAL_SUCCESS);

  // Nothing marked yet: all zeros, one entry per point.
  std::vector<char> marks;
  h.clean_rangedata(frames[0], marks);
  EXPECT_EQ(static_cast<int>(marks.size()), frames[0].get_vn());
  EXPECT_EQ(std::count(marks.begin(), marks.end(), 1), 0);

  std::vector<Eigen::Vector3f> live = fusion_test::live_vertices(before);
  ASSERT_FALSE(live.empty());
  std::vector<float> xs;
  for (const auto& p : live) xs.push_back(p.x());
  std::nth_element(xs.begin(), xs.begin() + static_cast<long>(cutQuantile * (xs.size() - 1)), xs.end());
  const float cut = xs[static_cast<std::size_t>(cutQuantile * (xs.size() - 1))];
  std::vector<Eigen::Vector3f> cap;
  for (const auto& p : live)
    if (p.x() > cut) cap.push_back(p);
  ASSERT_FALSE(cap.empty());
  h.delete_mesh_by_points(cap, 1);
  int marked = 0;
  for (auto& f : frames) {
    h.clean_rangedata(f, marks);
    for (int v = 0; v < f.get_vn(); ++v)
      if (marks[v]) {
        f.set_vFlag(v, f.get_vFlag(v) | FLAG_DELETED | FLAG_REMOVAL_PENDING);
        ++marked;
      }
  }
  ASSERT_GT(marked, 0);
  h.clear_delete_flag();
  for (const auto& f : frames) {
    h.clean_rangedata(f, marks);
    EXPECT_EQ(std::count(marks.begin(), marks.end(), 1), 0);
  }

  BaseTriMesh after;
  ASSERT_EQ(h.get_triMesh(after), RETVAL_SUCCESS);
  int capLeft = 0, farMoved = 0, farLost = 0, farFaces = 0, farFacesLost = 0;
  for (int v = 0; v < after.get_vn(); ++v)
    if (!after.get_vDeleted(v) && after.get_vCoord(v).x() > cut + 2 * voxel) ++capLeft;
  const float farSide = cut - 4 * voxel;
  for (int v = 0; v < before.get_vn(); ++v) {
    if (before.get_vDeleted(v) || before.get_vCoord(v).x() > farSide) continue;
    if (v >= after.get_vn() || after.get_vDeleted(v)) ++farLost;
    else if ((after.get_vCoord(v) - before.get_vCoord(v)).norm() > 1e-6f) ++farMoved;
  }
  for (int f = 0; f < before.get_fn(); ++f) {
    if (!fusion_test::face_live(before, f)) continue;
    const auto& t = before.get_face(f);
    if (before.get_vCoord(t[0]).x() > farSide || before.get_vCoord(t[1]).x() > farSide ||
        before.get_vCoord(t[2]).x() > farSide)
      continue;
    ++farFaces;
    if (f >= after.get_fn() || !fusion_test::face_live(after, f) || !(after.get_face(f) == t)) ++farFacesLost;
  }
  std::cout << "cut at x = " << cut << ": " << marked << " points removed, " << fusion_test::live_face_count(before)
            << " -> " << fusion_test::live_face_count(after) << " faces" << std::endl;
  EXPECT_EQ(capLeft, 0);
  EXPECT_EQ(farMoved, 0);
  EXPECT_EQ(farLost, 0);
  EXPECT_GT(farFaces, 0);
  EXPECT_EQ(farFacesLost, 0);
  EXPECT_LT(fusion_test::live_face_count(after), fusion_test::live_face_count(before));
}

bool read_bunny(std::vector<RangeData>& frames) {
  const fs::path conf = fs::path(TAVO_TEST_DATA_DIR) / "bunny-scans" / "bun.conf";
  return fs::exists(conf) && read_range_scans(conf.string(), frames) == RETVAL_SUCCESS;
}

}  // namespace

TEST(FusionMeshHelper, RegionCutRemovesOnlyTheRegion) {
  auto sphere = sphere_frames();
  check_region_cut(sphere, kVoxel, 0.8f);
}

TEST(FusionMeshHelper, RegionCutOfTheFusedBunny) {
  std::vector<RangeData> bunny;
  if (!read_bunny(bunny)) GTEST_SKIP() << "no bunny scans";
  check_region_cut(bunny, 0.002f, 0.75f);
}

TEST(FusionMeshHelper, MarkingStaysInsideTheRadiusAndTheGrid) {
  FusionMeshHelper h;
  std::string err;
  ASSERT_EQ(h.set_param(param(), err), RETVAL_SUCCESS);
  const auto frames = sphere_frames(4);
  send_all(h, frames);
  BaseTriMesh m;
  ASSERT_EQ(h.get_triMesh(m), RETVAL_SUCCESS);
  const TsdfVolume& vol = *h.volume();
  const Eigen::Vector3f p = fusion_test::live_vertices(m).front();
  h.delete_mesh_by_points({p, Eigen::Vector3f::Constant(std::nanf(""))}, 0);
  const Eigen::Vector3i c = ((p - vol.get_origin()) / vol.get_voxel_size()).unaryExpr([](float x) {
    return std::trunc(x);
  }).cast<int>();
  int markedVoxels = 0;
  const auto& tree = vol.octree();
  for (int i = 0; i < tree.leaf_slots_in_use(); ++i) {
    const auto& e = tree.element_at(i);
    if (!e.is_used() || !(e.payload.deleteMarks & TSDF_MARK_REGION)) continue;
    ++markedVoxels;
    EXPECT_EQ(e.get_cell(), c);
  }
  EXPECT_LE(markedVoxels, 1);
  // Points far outside the grid mark nothing and do not crash.
  h.delete_mesh_by_points({Eigen::Vector3f::Constant(1e9f), vol.get_origin()}, 2);
}

TEST(FusionMeshHelper, BorderCellsAreNeverMarked) {
  // Unit cells from the origin, so a cell's centre names it. Voxels are made
  // by hand: integration never creates them in the border band.
  TsdfVolume vol(kTsdfDefaultDepth, 1.f);
  const int top = vol.get_grid_size() - 1;
  const struct {
    Eigen::Vector3i cell;
    bool markable;
  } cases[] = {{{2, 100, 100}, false},       {{3, 100, 100}, true},        {{top - 3, 100, 100}, true},
               {{top - 2, 100, 100}, false}, {{100, 100, top - 2}, false}, {{100, 2, 100}, false},
               {{100, 100, 100}, true}};
  std::vector<Eigen::Vector3f> centres;
  for (const auto& c : cases) {
    vol.octree().find_or_create_leaf(c.cell);
    centres.push_back(c.cell.cast<float>() + Eigen::Vector3f::Constant(0.5f));
  }
  mark_region_voxels(vol, centres, 0);
  for (const auto& c : cases)
    EXPECT_EQ((vol.find_voxel(c.cell)->deleteMarks & TSDF_MARK_REGION) != 0, c.markable) << c.cell.transpose();
  clear_voxel_delete_marks(vol, 1);
  // A radius reaching into the band from inside marks the inside neighbour only.
  mark_region_voxels(vol, {Eigen::Vector3f(4.5f, 100.5f, 100.5f)}, 2);
  EXPECT_TRUE(vol.find_voxel({3, 100, 100})->deleteMarks & TSDF_MARK_REGION);
  EXPECT_FALSE(vol.find_voxel({2, 100, 100})->deleteMarks & TSDF_MARK_REGION);
}

class FusionTraceTest : public TraceFolderTest {
 protected:
  // One worker makes integration and extraction sequential, so the replay
  // must give the recorded mesh bit for bit, ids included.
  void replay_identical(const std::vector<RangeData>& frames, float voxel) {
    const int workers = omp_get_max_threads();
    omp_set_num_threads(1);
    replay_identical_on_one_worker(frames, voxel);
    omp_set_num_threads(workers);
  }
  void replay_identical_on_one_worker(const std::vector<RangeData>& frames, float voxel) {
    gDAConfig.enable = true;
    gDAConfig.record = true;
    BaseTriMesh recorded;
    {
      FusionMeshHelper h;
      std::string err;
      h.set_param(param(voxel), err);
      send_all(h, frames);
      ASSERT_EQ(h.get_triMesh(recorded), RETVAL_SUCCESS);
      ASSERT_EQ(h.volume()->get_thread_num(), 1);
    }
    ASSERT_TRUE(fs::exists(m_dir / "send_rangeData.tb"));
    ASSERT_TRUE(fs::exists(m_dir / "get_triMesh.tb"));
    gDAConfig.record = false;
    FusionMeshHelper fresh;
    std::string err;
    fresh.set_param(param(voxel), err);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(fresh.send_rangeData(std::vector<const RangeData*>(), std::vector<RigidMatrix>(), std::vector<bool>(),
                                     std::vector<std::vector<float>>(), false));  // inputs come from the file
    EXPECT_EQ(fresh.frame_count(), static_cast<int>(frames.size()));
    BaseTriMesh replayed;
    ASSERT_EQ(fresh.get_triMesh(replayed), RETVAL_SUCCESS);
    testing::internal::GetCapturedStdout();
    ASSERT_GT(fusion_test::live_face_count(recorded), 0);
    ASSERT_EQ(replayed.get_vn(), recorded.get_vn());
    ASSERT_EQ(replayed.get_fn(), recorded.get_fn());
    int moved = 0, changed = 0;
    for (int v = 0; v < recorded.get_vn(); ++v)
      moved += replayed.get_vCoord(v) != recorded.get_vCoord(v) ||
               replayed.get_vDeleted(v) != recorded.get_vDeleted(v);
    for (int f = 0; f < recorded.get_fn(); ++f)
      changed += !(replayed.get_face(f) == recorded.get_face(f)) ||
                 fusion_test::face_live(replayed, f) != fusion_test::face_live(recorded, f);
    EXPECT_EQ(moved, 0);
    EXPECT_EQ(changed, 0);
  }
};

TEST_F(FusionTraceTest, ReplayOfARecordingGivesTheSameMesh) { replay_identical(sphere_frames(4), kVoxel); }

TEST_F(FusionTraceTest, ReplayOfRealScansGivesTheSameMesh) {
  const fs::path bunny = fs::path(TAVO_TEST_DATA_DIR) / "bunny-scans";
  if (!fs::exists(bunny / "bun000.ply")) GTEST_SKIP() << "no bunny scans";
  std::vector<RangeData> frames(2);
  ASSERT_EQ(read_range_scan_with_pose((bunny / "bun000.ply").string(), (bunny / "bun.conf").string(), frames[0]),
            RETVAL_SUCCESS);
  ASSERT_EQ(read_range_scan_with_pose((bunny / "bun045.ply").string(), (bunny / "bun.conf").string(), frames[1]),
            RETVAL_SUCCESS);
  replay_identical(frames, 0.002f);
}

TEST_F(FusionTraceTest, CorruptRecordingFailsTheReplay) {
  gDAConfig.enable = true;
  std::ofstream(m_dir / "get_triMesh.tb", std::ios::binary) << "garbage that is no trace";
  FusionMeshHelper h;
  std::string err;
  h.set_param(param(), err);
  BaseTriMesh m;
  testing::internal::CaptureStdout();
  EXPECT_EQ(h.get_triMesh(m), RETVAL_FAILED);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Error! Parameter Unmatch!"), std::string::npos);
  EXPECT_EQ(h.frame_count(), 0);
}

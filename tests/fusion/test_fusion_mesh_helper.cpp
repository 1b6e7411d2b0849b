#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <tuple>

#include <omp.h>

#include "FusionMeshHelper.h"
#include "fusion/TsdfRegionMarks.h"
#include "fusion_test_util.h"
#include "geometry/RangeScanIO.h"
#include "trace_folder_test.h"

using namespace fusion_test;
namespace fs = std::filesystem;

namespace {

DentalFusionMeshParam param(float voxel = kVoxel) {
  DentalFusionMeshParam p;
  p.voxelSize = voxel;
  p.clipZ = -1e6f;
  p.sampleStep = 0;
  return p;
}

bool send_all(FusionMeshHelper& h, const std::vector<RangeData>& frames) {
  std::vector<const RangeData*> ptrs;
  for (const auto& f : frames) ptrs.push_back(&f);
  return h.send_rangeData(ptrs, std::vector<RigidMatrix>(ptrs.size()), std::vector<bool>(ptrs.size(), false), false);
}

}  // namespace

TEST(FusionMeshHelper, WithoutParametersOnlyTheListsWork) {
  FusionMeshHelper h;
  const auto frames = sphere_frames();
  ASSERT_TRUE(send_all(h, frames));
  EXPECT_EQ(h.frame_count(), 8);
  BaseTriMesh m;
  EXPECT_EQ(h.get_triMesh(m), RETVAL_FAILED);
  std::vector<char> marks{7};
  h.delete_mesh_by_points({Eigen::Vector3f::Zero()}, 1);
  h.clean_rangedata(frames[0], marks);
  EXPECT_EQ(marks, std::vector<char>{7});  // untouched without a volume
  h.pop_rangeData();
  EXPECT_EQ(h.frame_count(), 7);
  EXPECT_EQ(h.clear_all(), RETVAL_SUCCESS);
  EXPECT_EQ(h.frame_count(), 0);
  EXPECT_EQ(h.volume(), nullptr);
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
  EXPECT_LT(rms_and_worst(unit_sphere(), m).first, 0.1);
  EXPECT_EQ(h.integrated_count(), 8);

  // A new volume: the old frames stay listed but are not integrated again,
  // and a frame sent now is the only one in it.
  ASSERT_EQ(h.set_param(param(), err), RETVAL_SUCCESS);
  EXPECT_EQ(h.frame_count(), 8);
  ASSERT_EQ(h.get_triMesh(m), RETVAL_SUCCESS);
  EXPECT_EQ(live_face_count(m), 0);
  EXPECT_EQ(h.integrated_count(), 8);
  h.send_rangeData(&frames[0], RigidMatrix(), false, false);
  ASSERT_EQ(h.get_triMesh(m), RETVAL_SUCCESS);
  EXPECT_EQ(h.integrated_count(), 9);
  FusionMeshHelper single;
  single.set_param(param(), err);
  single.send_rangeData(&frames[0], RigidMatrix(), false, false);
  BaseTriMesh alone;
  ASSERT_EQ(single.get_triMesh(alone), RETVAL_SUCCESS);
  EXPECT_GT(live_face_count(m), 0);
  EXPECT_EQ(live_face_count(m), live_face_count(alone));

  EXPECT_EQ(h.clear_all(), RETVAL_SUCCESS);
  EXPECT_EQ(h.frame_count(), 0);
  ASSERT_NE(h.volume(), nullptr);
  EXPECT_FALSE(h.volume()->has_voxels());
}

namespace {

// Fuses the frames, cuts away the live surface with x above the quantile and
// checks that exactly that part goes: nothing is left beyond the cut, and
// away from it the surface keeps its ids and positions.
void check_region_cut(std::vector<RangeData>& frames, float voxel, float cutQuantile) {
  FusionMeshHelper h;
  std::string err;
  ASSERT_EQ(h.set_param(param(voxel), err), RETVAL_SUCCESS);
  send_all(h, frames);
  BaseTriMesh before, after;
  ASSERT_EQ(h.get_triMesh(before), RETVAL_SUCCESS);
  std::vector<Eigen::Vector3f> live = live_vertices(before), cap;
  ASSERT_FALSE(live.empty());
  std::vector<float> xs;
  for (const auto& p : live) xs.push_back(p.x());
  const auto q = xs.begin() + static_cast<long>(cutQuantile * (xs.size() - 1));
  std::nth_element(xs.begin(), q, xs.end());
  const float cut = *q, farSide = cut - 4 * voxel;
  std::copy_if(live.begin(), live.end(), std::back_inserter(cap), [&](const auto& p) { return p.x() > cut; });
  h.delete_mesh_by_points(cap, 1);
  int marked = 0;
  std::vector<char> marks;
  for (auto& f : frames) {
    h.clean_rangedata(f, marks);
    for (int v = 0; v < f.get_vn(); ++v)
      if (marks[v]) f.set_vFlag(v, f.get_vFlag(v) | FLAG_DELETED | FLAG_REMOVAL_PENDING), ++marked;
  }
  ASSERT_GT(marked, 0);
  // Clearing the marks: all zeros, one entry per point, deleted ones too.
  h.clear_delete_flag();
  for (const auto& f : frames) {
    h.clean_rangedata(f, marks);
    EXPECT_EQ(marks, std::vector<char>(static_cast<std::size_t>(f.get_vn()), 0));
  }
  ASSERT_EQ(h.get_triMesh(after), RETVAL_SUCCESS);
  int capLeft = 0, farMoved = 0, farFaces = 0, farFacesLost = 0;
  for (int v = 0; v < after.get_vn(); ++v)
    capLeft += !after.get_vDeleted(v) && after.get_vCoord(v).x() > cut + 2 * voxel;
  for (int v = 0; v < before.get_vn(); ++v)
    if (!before.get_vDeleted(v) && before.get_vCoord(v).x() <= farSide)
      farMoved += v >= after.get_vn() || after.get_vDeleted(v) ||
                  (after.get_vCoord(v) - before.get_vCoord(v)).norm() > 1e-6f;
  for (int f = 0; f < before.get_fn(); ++f) {
    const auto& t = before.get_face(f);
    if (!face_live(before, f) || std::max({before.get_vCoord(t[0]).x(), before.get_vCoord(t[1]).x(),
                                           before.get_vCoord(t[2]).x()}) > farSide)
      continue;
    ++farFaces;
    farFacesLost += f >= after.get_fn() || !face_live(after, f) || !(after.get_face(f) == t);
  }
  std::cout << "cut at x = " << cut << ": " << marked << " points removed, " << live_face_count(before) << " -> "
            << live_face_count(after) << " faces" << std::endl;
  EXPECT_EQ(std::make_tuple(capLeft, farMoved, farFacesLost), std::make_tuple(0, 0, 0));
  EXPECT_GT(farFaces, 0);
  EXPECT_LT(live_face_count(after), live_face_count(before));
}

}  // namespace

TEST(FusionMeshHelper, RegionCutRemovesOnlyTheRegion) {
  auto sphere = sphere_frames();
  check_region_cut(sphere, kVoxel, 0.8f);
  std::vector<RangeData> bunny;
  const fs::path conf = fs::path(TAVO_TEST_DATA_DIR) / "bunny-scans" / "bun.conf";
  if (!fs::exists(conf)) GTEST_SKIP() << "no bunny scans";
  ASSERT_EQ(read_range_scans(conf.string(), bunny), RETVAL_SUCCESS);
  check_region_cut(bunny, 0.002f, 0.75f);
}

TEST(FusionMeshHelper, RadiusZeroMarksOnlyTheContainingVoxelAndNeverTheBorder) {
  FusionMeshHelper h;
  std::string err;
  ASSERT_EQ(h.set_param(param(), err), RETVAL_SUCCESS);
  auto frames = sphere_frames();
  frames.resize(2);  // the helper borrows them: they outlive its calls
  send_all(h, frames);
  BaseTriMesh m;
  ASSERT_EQ(h.get_triMesh(m), RETVAL_SUCCESS);
  const TsdfVolume& vol = *h.volume();
  const Eigen::Vector3f p = live_vertices(m).front();
  h.delete_mesh_by_points({p, Eigen::Vector3f::Constant(std::nanf(""))}, 0);
  const Eigen::Vector3i c = ((p - vol.get_origin()) / vol.get_voxel_size()).array().floor().cast<int>();
  int markedVoxels = 0;
  for (int i = 0; i < vol.octree().leaf_slots_in_use(); ++i) {
    const auto& e = vol.octree().element_at(i);
    if (!e.is_used() || !(e.payload.deleteMarks & TSDF_MARK_REGION)) continue;
    ++markedVoxels;
    EXPECT_EQ(e.get_cell(), c);
  }
  EXPECT_LE(markedVoxels, 1);
  h.delete_mesh_by_points({Eigen::Vector3f::Constant(1e9f), vol.get_origin()}, 2);  // far outside: nothing

  // Unit cells from the origin, so a cell's centre names it. Voxels are made
  // by hand: integration never creates them in the border band.
  TsdfVolume unit(kTsdfDefaultDepth, 1.f);
  const int top = unit.get_grid_size() - 1;
  const std::pair<Eigen::Vector3i, bool> cases[] = {
      {{2, 100, 100}, false},       {{3, 100, 100}, true},        {{top - 3, 100, 100}, true},
      {{top - 2, 100, 100}, false}, {{100, 100, top - 2}, false}, {{100, 2, 100}, false}, {{100, 100, 100}, true}};
  std::vector<Eigen::Vector3f> centres;
  for (const auto& [cell, markable] : cases) {
    unit.octree().find_or_create_leaf(cell);
    centres.push_back(cell.cast<float>() + Eigen::Vector3f::Constant(0.5f));
  }
  mark_region_voxels(unit, centres, 0);
  for (const auto& [cell, markable] : cases)
    EXPECT_EQ((unit.find_voxel(cell)->deleteMarks & TSDF_MARK_REGION) != 0, markable) << cell.transpose();
  clear_voxel_delete_marks(unit, 1);
  // A radius reaching into the band from inside marks the inside neighbour only.
  mark_region_voxels(unit, {Eigen::Vector3f(4.5f, 100.5f, 100.5f)}, 2);
  EXPECT_TRUE(unit.find_voxel({3, 100, 100})->deleteMarks & TSDF_MARK_REGION);
  EXPECT_FALSE(unit.find_voxel({2, 100, 100})->deleteMarks & TSDF_MARK_REGION);
  clear_voxel_delete_marks(unit, 1);
  // Radii far beyond the grid (whose offset tables would never fit, or
  // overflow) mark every markable voxel, and one of 4 cells only its block.
  for (const int huge : {100000, std::numeric_limits<int>::max()}) {
    mark_region_voxels(unit, {Eigen::Vector3f(100.5f, 100.5f, 100.5f)}, huge);
    for (const auto& [cell, markable] : cases)
      EXPECT_EQ((unit.find_voxel(cell)->deleteMarks & TSDF_MARK_REGION) != 0, markable) << huge;
    clear_voxel_delete_marks(unit, 1);
  }
  unit.octree().find_or_create_leaf({104, 100, 100});
  unit.octree().find_or_create_leaf({105, 100, 100});
  mark_region_voxels(unit, {Eigen::Vector3f(100.5f, 100.5f, 100.5f)}, 4);
  EXPECT_TRUE(unit.find_voxel({104, 100, 100})->deleteMarks & TSDF_MARK_REGION);
  EXPECT_FALSE(unit.find_voxel({105, 100, 100})->deleteMarks & TSDF_MARK_REGION);
}

class FusionTraceTest : public TraceFolderTest {
 protected:
  // One worker makes integration and extraction sequential, so the replay
  // must give the recorded mesh bit for bit, ids included.
  void replay_identical(const std::vector<RangeData>& frames, float voxel) {
    const int workers = omp_get_max_threads();
    omp_set_num_threads(1);
    gDAConfig.enable = gDAConfig.record = true;
    BaseTriMesh recorded, replayed;
    std::string err;
    {
      FusionMeshHelper h;
      h.set_param(param(voxel), err);
      send_all(h, frames);
      EXPECT_EQ(h.get_triMesh(recorded), RETVAL_SUCCESS);
    }
    EXPECT_TRUE(fs::exists(m_dir / "send_rangeData.tb") && fs::exists(m_dir / "get_triMesh.tb"));
    gDAConfig.record = false;
    FusionMeshHelper fresh;
    fresh.set_param(param(voxel), err);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(send_all(fresh, {}));  // inputs come from the file
    EXPECT_EQ(fresh.frame_count(), static_cast<int>(frames.size()));
    EXPECT_EQ(fresh.get_triMesh(replayed), RETVAL_SUCCESS);
    testing::internal::GetCapturedStdout();
    omp_set_num_threads(workers);
    ASSERT_GT(live_face_count(recorded), 0);
    EXPECT_TRUE(replayed.get_vCoords() == recorded.get_vCoords());
    ASSERT_TRUE(replayed.get_faces() == recorded.get_faces());
    int changed = 0;
    for (int v = 0; v < recorded.get_vn(); ++v) changed += replayed.get_vDeleted(v) != recorded.get_vDeleted(v);
    for (int f = 0; f < recorded.get_fn(); ++f) changed += face_live(replayed, f) != face_live(recorded, f);
    EXPECT_EQ(changed, 0);
  }
};

TEST_F(FusionTraceTest, ReplayOfARecordingGivesTheSameMesh) {
  const auto sphere = sphere_frames();
  replay_identical({sphere[0], sphere[3], sphere[6]}, kVoxel);
  const fs::path bunny = fs::path(TAVO_TEST_DATA_DIR) / "bunny-scans";
  if (!fs::exists(bunny / "bun000.ply")) GTEST_SKIP() << "no bunny scans";
  std::vector<RangeData> frames(2);
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(read_range_scan_with_pose((bunny / (i ? "bun045.ply" : "bun000.ply")).string(),
                                        (bunny / "bun.conf").string(), frames[i]),
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

// A wide-spread list of the wrong length is refused whether or not the call
// is being recorded.
TEST_F(FusionTraceTest, WrongLengthWideSpreadListIsRefusedWhileRecording) {
  const auto frames = sphere_frames();
  std::string err;
  for (const bool record : {false, true}) {
    gDAConfig.enable = gDAConfig.record = record;
    FusionMeshHelper h;
    h.set_param(param(), err);
    const std::vector<const RangeData*> two = {&frames[0], &frames[1]};
    const std::vector<std::vector<float>> weights = {std::vector<float>(frames[0].get_vn(), 1.f),
                                                     std::vector<float>(frames[1].get_vn(), 1.f)};
    EXPECT_FALSE(h.send_rangeData(two, std::vector<RigidMatrix>(2), {false}, weights, false)) << record;
    EXPECT_EQ(h.frame_count(), 0) << record;
    EXPECT_TRUE(h.send_rangeData(two, std::vector<RigidMatrix>(2), {false, true}, weights, false)) << record;
  }
}

// Normal-field fusion: weights of its passes, the fused sphere against the
// analytic one in both payload variants and both extractions, the progress
// contract and bad input.
#include <gtest/gtest.h>

#include <mutex>

#include "NormalFieldFusion.h"
#include "fusion/NormalFieldVolume.h"
#include "fusion_test_util.h"

using namespace TavoAlgorithm;
using namespace fusion_test;

namespace {

struct Clouds {
  std::vector<Cloud> clouds;
  std::vector<RigidMatrix> poses;
};

Clouds sphere_clouds() {
  Clouds c;
  for (RangeData& f : sphere_frames()) {
    c.poses.push_back(f.get_rigidMatrix());
    c.clouds.push_back(f);
  }
  return c;
}

// Mean and largest |distance to the unit sphere| over the live faces' corners.
std::pair<double, double> sphere_error(const BaseTriMesh& m) {
  double sum = 0, worst = 0;
  int n = 0;
  for (int f = 0; f < m.get_fn(); ++f) {
    if (!face_live(m, f)) continue;
    for (int k = 0; k < 3; ++k) {
      const double e = std::fabs(m.get_vCoord(m.get_face(f)[k]).norm() - 1.0);
      sum += e;
      worst = std::max(worst, e);
      ++n;
    }
  }
  return {n ? sum / n : 1e9, worst};
}

struct Recorder {
  std::mutex lock;
  std::vector<int> values;
  std::function<int(int)> callback() {
    return [this](int v) {
      std::lock_guard<std::mutex> g(lock);
      values.push_back(v);
      return 0;
    };
  }
};

void expect_rising_to_100(const std::vector<int>& v) {
  ASSERT_FALSE(v.empty());
  for (std::size_t i = 1; i < v.size(); ++i) EXPECT_LT(v[i - 1], v[i]);
  EXPECT_EQ(v.back(), 100);
  EXPECT_EQ(std::count(v.begin(), v.end(), 100), 1);
}

}  // namespace

TEST(NormalFieldWeights, NormalLineAndDeviationRules) {
  const float R = 0.3f * 0.5f;
  EXPECT_FLOAT_EQ(normal_line_weight(0.f, R), 1.f);
  EXPECT_FLOAT_EQ(normal_line_weight(R * R, R), 1.f);
  EXPECT_NEAR(normal_line_weight(4.f * R * R, R), 0.5f, 1e-6f);
  EXPECT_NEAR(std::exp(-8.f * 1.f), 3.3546e-4f, 1e-7f);  // perpendicular normals
  EXPECT_TRUE(deviation_unreliable(2.f, 10));
  EXPECT_FALSE(deviation_unreliable(0.5f, 10));
  EXPECT_FALSE(deviation_unreliable(3.5f, 10));
  EXPECT_FALSE(deviation_unreliable(1.f, 0));
}

TEST(NormalFieldFusion, DefaultVariantFusesTheSphereWithRisingProgress) {
  Clouds c = sphere_clouds();
  BaseTriMesh mesh;
  std::vector<int> axes;
  Recorder rec;
  testing::internal::CaptureStdout();
  fusion_all_frame_normal_field(c.clouds, c.poses, kVoxel, mesh, axes, false, false, rec.callback());
  const std::string out = testing::internal::GetCapturedStdout();
  for (const char* line : {"fusion normal...\n", "fusion normal cost: ", "fusion normal normalize ...\n",
                           "get veriance ...\n", "get veriance cost: ", "fusion tsdf ...\n", "fusion tsdf cost: "})
    EXPECT_NE(out.find(line), std::string::npos) << line;
  expect_rising_to_100(rec.values);
  ASSERT_GT(live_face_count(mesh), 1000);
  EXPECT_EQ(axes.size(), static_cast<std::size_t>(mesh.get_vn()));
  for (int a : axes) EXPECT_TRUE(a >= 0 && a <= 2);
  const auto [mean, worst] = sphere_error(mesh);
  EXPECT_LT(mean, 0.1 * kVoxel);
  EXPECT_LT(worst, 0.6 * kVoxel);
}

TEST(NormalFieldFusion, OffsetVariantAndExtendedExtraction) {
  Clouds c = sphere_clouds();
  BaseTriMesh plain, offsets, extended;
  std::vector<int> a1, a2, a3;
  Recorder rec;
  testing::internal::CaptureStdout();
  fusion_all_frame_normal_field(c.clouds, c.poses, kVoxel, offsets, a2, true, false, rec.callback());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // this variant prints no phase lines
  expect_rising_to_100(rec.values);
  const auto [mo, wo] = sphere_error(offsets);
  EXPECT_LT(mo, 0.15 * kVoxel);
  EXPECT_LT(wo, kVoxel);

  testing::internal::CaptureStdout();
  fusion_all_frame_normal_field(c.clouds, c.poses, kVoxel, plain, a1, false, false, {});
  fusion_all_frame_normal_field(c.clouds, c.poses, kVoxel, extended, a3, false, true, {});
  testing::internal::GetCapturedStdout();
  // The extended mesh is compacted, keeps one axis per vertex and is no
  // farther from the sphere than the plain one (each run sums in its own
  // thread order, so the two fields differ in the last bits).
  EXPECT_EQ(a3.size(), static_cast<std::size_t>(extended.get_vn()));
  for (int v = 0; v < extended.get_vn(); ++v) EXPECT_FALSE(extended.get_vDeleted(v));
  EXPECT_LE(extended.get_vn(), plain.get_vn());
  EXPECT_LE(sphere_error(extended).first, sphere_error(plain).first * 1.01);
  EXPECT_LE(sphere_error(extended).second, sphere_error(plain).second * 1.01);
}

TEST(NormalFieldFusion, BadInputFusesNothing) {
  Clouds c = sphere_clouds();
  BaseTriMesh mesh;
  mesh.add_vCoord({1, 2, 3});
  std::vector<int> axes{7};
  std::vector<RigidMatrix> fewer(c.poses.begin(), c.poses.end() - 1);
  Recorder rec;
  fusion_all_frame_normal_field(c.clouds, fewer, kVoxel, mesh, axes, false, false, rec.callback());
  EXPECT_EQ(mesh.get_vn(), 0);
  EXPECT_TRUE(axes.empty());

  // No frames: only the extraction of the empty volume, no phase lines.
  std::vector<Cloud> none;
  testing::internal::CaptureStdout();
  fusion_all_frame_normal_field(none, {}, kVoxel, mesh, axes, false, false, rec.callback());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(mesh.get_fn(), 0);
  EXPECT_EQ(rec.values.back(), 100);

  // Frames without normals, NaN points and a NaN voxel size add nothing and do not crash.
  std::vector<Cloud> bare(c.clouds.size());
  for (std::size_t i = 0; i < bare.size(); ++i) {
    bare[i].set_vCoords(std::vector<Eigen::Vector3f>(c.clouds[i].get_vCoords()));
    bare[i].add_vCoord(Eigen::Vector3f::Constant(NAN));
  }
  testing::internal::CaptureStdout();
  fusion_all_frame_normal_field(bare, c.poses, NAN, mesh, axes, false, true, {});
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(mesh.get_fn(), 0);
}

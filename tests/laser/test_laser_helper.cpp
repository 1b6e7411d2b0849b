#include <gtest/gtest.h>
#include <omp.h>

#include <cstddef>
#include <limits>

#include "LaserFusionHelper.h"

using TavoAlgorithm::LaserFusionHelper;
using LaserReconstrcution::Leaf;
using LaserReconstrcution::LeafTangent;

TEST(LaserFusionHelper, ConstructorNormalisesDepthAndCellSize) {
  LaserFusionHelper<Leaf> a(8, 0.f, 0.1f, 0.2f, 3, false);
  EXPECT_EQ(a.get_grid_size(), 1024);
  EXPECT_FLOAT_EQ(a.get_voxel_size(), 0.5f);
  LaserFusionHelper<LeafTangent> b(13, -1.f, 0.1f, 0.2f, 3, true);
  EXPECT_EQ(b.get_grid_size(), 8192);
  EXPECT_FLOAT_EQ(b.get_voxel_size(), 0.5f);
  EXPECT_TRUE(b.get_use_double_voxel());
  EXPECT_EQ(b.get_tree_shift(), Eigen::Vector3f::Zero());
  EXPECT_EQ(b.get_integrator_threads(), omp_get_max_threads());
  EXPECT_EQ(b.get_helper_threads(), omp_get_max_threads());
  EXPECT_EQ(b.twin_pool().capacity(), TavoOctree::kTwinPoolStep);
  b.set_use_double_voxel(false);
  EXPECT_FALSE(b.get_use_double_voxel());
}

TEST(LaserFusionHelper, FreshRecordsAreZeroWithoutTwin) {
  LaserFusionHelper<LeafTangent> h(10, 0.1f, 0.1f, 0.1f, 3, false);
  const int i = h.octree().find_or_create_leaf(Eigen::Vector3i(10, 10, 10));
  const LeafTangent& r = h.octree().element(i).payload;
  EXPECT_EQ(r.vertexId, -1);
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(r.twin, nullptr);
  EXPECT_EQ(r.normal, Eigen::Vector3f::Zero());
  EXPECT_EQ(r.momentsA[5], 0.f);
}

TEST(LaserFusionHelper, OffsetTablesFollowTheRadius) {
  LaserFusionHelper<Leaf> h(10, 0.25f, 0.1f, 0.1f, 3, false);
  const auto& t = h.integrator();
  ASSERT_EQ(t.intOffsets.size(), 27u);
  EXPECT_EQ(t.intOffsets[0], Eigen::Vector3i(-1, -1, -1));
  EXPECT_EQ(t.intOffsets[1], Eigen::Vector3i(0, -1, -1));
  EXPECT_EQ(t.intOffsets[3], Eigen::Vector3i(-1, 0, -1));
  EXPECT_EQ(t.intOffsets[13], Eigen::Vector3i(0, 0, 0));
  EXPECT_EQ(t.intOffsets[26], Eigen::Vector3i(1, 1, 1));
  EXPECT_TRUE(t.worldOffsets[26].isApprox(Eigen::Vector3f(0.25f, 0.25f, 0.25f)));
  h.set_extend_radius(4);
  ASSERT_EQ(h.integrator().intOffsets.size(), 64u);
  EXPECT_EQ(h.integrator().intOffsets[63], Eigen::Vector3i(2, 2, 2));
  EXPECT_EQ(h.get_extend_radius(), 4u);
  h.set_extend_radius(0);
  EXPECT_TRUE(h.integrator().intOffsets.empty());
  EXPECT_TRUE(h.integrator().worldOffsets.empty());
}

TEST(LaserFusionHelper, ThreadCountsChangeOnlyForPositiveValues) {
  LaserFusionHelper<Leaf> h(10, 1.f, 0.1f, 0.1f, 3, false);
  const int before = h.get_helper_threads();
  h.set_tbb_num_threads(0);
  h.set_tbb_num_threads(-4);
  EXPECT_EQ(h.get_helper_threads(), before);
  EXPECT_EQ(h.get_integrator_threads(), before);
  h.set_tbb_num_threads(3);
  EXPECT_EQ(h.get_helper_threads(), 3);
  EXPECT_EQ(h.get_integrator_threads(), 3);
}

TEST(LaserFusionHelper, TreeShiftCentresTheGridOnAFrame) {
  LaserFusionHelper<Leaf> h(10, 0.5f, 0.1f, 0.1f, 3, false);
  std::vector<TavoAlgorithm::Cloud> lines(2);
  lines[0].add_vCoord(Eigen::Vector3f(1, 2, 3));
  lines[0].add_vCoord(Eigen::Vector3f(3, 2, 3));
  lines[1].add_vCoord(Eigen::Vector3f(2, 5, 0));
  const TavoAlgorithm::RigidMatrix rt(Eigen::Matrix3d::Identity(), Eigen::Vector3d(10, 0, 0));
  ASSERT_TRUE(h.set_tree_shift(lines, rt));
  // mean (2, 3, 2) + (10, 0, 0), minus 1024 * 0.5 / 2 = 256
  EXPECT_TRUE(h.get_tree_shift().isApprox(Eigen::Vector3f(12 - 256, 3 - 256, 2 - 256)));
  // No points or a NaN pose leave the shift alone instead of making it NaN;
  // a NaN point is left out of the mean.
  const Eigen::Vector3f kept = h.get_tree_shift();
  EXPECT_FALSE(h.set_tree_shift(std::vector<TavoAlgorithm::Cloud>(3), rt));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_FALSE(h.set_tree_shift(lines, TavoAlgorithm::RigidMatrix(Eigen::Matrix3d::Identity(),
                                                                  Eigen::Vector3d(nan, 0, 0))));
  EXPECT_EQ(h.get_tree_shift(), kept);
  lines[1].set_vCoord(0, Eigen::Vector3f(nan, 0, 0));
  ASSERT_TRUE(h.set_tree_shift(lines, rt));
  EXPECT_TRUE(h.get_tree_shift().isApprox(Eigen::Vector3f(12 - 256, 2 - 256, 3 - 256)));
  h.set_tree_shift(Eigen::Vector3f(1, 2, 3));
  EXPECT_EQ(h.get_tree_shift(), Eigen::Vector3f(1, 2, 3));
}

TEST(LaserFusionHelper, BorderCellsAreNeverWritable) {
  LaserFusionHelper<Leaf> h(13, 1.f, 0.1f, 0.1f, 3, false);
  const int n = h.get_grid_size();
  EXPECT_FALSE(h.is_writable_cell(Eigen::Vector3i(2, 100, 100)));
  EXPECT_TRUE(h.is_writable_cell(Eigen::Vector3i(3, 100, 100)));
  EXPECT_FALSE(h.is_writable_cell(Eigen::Vector3i(n - 3, 100, 100)));
  EXPECT_TRUE(h.is_writable_cell(Eigen::Vector3i(n - 4, 100, 100)));
  EXPECT_FALSE(h.is_writable_cell(Eigen::Vector3i(100, 100, n)));
  // Truncation: a point just below a cell boundary stays in the lower cell.
  EXPECT_EQ(h.cell_of(Eigen::Vector3f(2.999f, 3.f, 0.5f)), Eigen::Vector3i(2, 3, 0));
}

TEST(LaserRecords, FieldsKeepTheirDocumentedOrder) {
  EXPECT_LT(offsetof(Leaf, sdf), offsetof(Leaf, normalSum));
  EXPECT_LT(offsetof(Leaf, normalSum), offsetof(Leaf, weight));
  EXPECT_LT(offsetof(Leaf, weight), offsetof(Leaf, offsetSum));
  EXPECT_LT(offsetof(Leaf, count), offsetof(Leaf, flags));
  EXPECT_LT(offsetof(Leaf, weight2), offsetof(Leaf, twin));
  EXPECT_LT(offsetof(Leaf, twin), offsetof(Leaf, lock));
  EXPECT_LT(offsetof(LeafTangent, lastPoint), offsetof(LeafTangent, momentsA));
  EXPECT_LT(offsetof(LeafTangent, momentsB), offsetof(LeafTangent, offsetSum));
  EXPECT_LT(offsetof(LeafTangent, vertexId), offsetof(LeafTangent, flags));
  EXPECT_EQ(sizeof(Leaf().lock), sizeof(int));
}

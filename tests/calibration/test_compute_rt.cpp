#include <gtest/gtest.h>

#include <cmath>

#include "ComputeRT.h"

using namespace TavoAlgorithm;

namespace {

constexpr double kPi = 3.14159265358979323846;

bool near(const RigidMatrix& a, const RigidMatrix& b, double tol = 1e-12) {
  return (a.to_matrix4() - b.to_matrix4()).cwiseAbs().maxCoeff() <= tol;
}

RigidMatrix turn(const Eigen::Vector3d& p, const Eigen::Vector3d& d, double deg) {
  RigidMatrix m;
  ComputeRT::get_rotate_matrix(p, d, deg, m);
  return m;
}

}  // namespace

TEST(ComputeRT, RotateMatrixTurnsAboutTheLineByTheRightHandRule) {
  const Eigen::Vector3d p(1, 2, 3);
  const RigidMatrix m = turn(p, Eigen::Vector3d(0, 0, 5), 90.0);  // direction normalised
  EXPECT_TRUE((m * Eigen::Vector3d(2, 2, 3)).isApprox(Eigen::Vector3d(1, 3, 3), 1e-12));
  EXPECT_TRUE((m * Eigen::Vector3d(1, 2, 7)).isApprox(Eigen::Vector3d(1, 2, 7), 1e-12));  // on the axis
  EXPECT_TRUE(near(turn(p, Eigen::Vector3d::Zero(), 30.0), RigidMatrix::identity()));
  EXPECT_TRUE(ComputeRT::dir_mul_rt(Eigen::Vector3d(3, 0, 0), m).isApprox(Eigen::Vector3d(0, 1, 0), 1e-12));
  Eigen::Vector3d po, dout;
  ComputeRT::pt_dir_mul_rt(Eigen::Vector3d(2, 2, 3), Eigen::Vector3d(0, 2, 0), po, dout, m);
  EXPECT_TRUE(po.isApprox(Eigen::Vector3d(1, 3, 3), 1e-12));
  EXPECT_TRUE(dout.isApprox(Eigen::Vector3d(-1, 0, 0), 1e-12));
}

TEST(ComputeRT, ChainedAxesMoveWithTheTurnsBeforeThem) {
  RigidMatrix m = turn(Eigen::Vector3d(9, 9, 9), Eigen::Vector3d::UnitX(), 10);
  EXPECT_EQ(ComputeRT::compute_rt({}, m), RETVAL_FAILED);
  EXPECT_EQ(ComputeRT::compute_rt_with_camera_axis({}, m), RETVAL_FAILED);
  EXPECT_EQ(ComputeRT::compute_rt({{Eigen::Vector3d(1, 2, 3), Eigen::Vector3d::UnitY(), 0.0}}, m), RETVAL_SUCCESS);
  EXPECT_TRUE(near(m, RigidMatrix::identity()));

  // Axis 1: z through the origin by 90; axis 2 (home: x through (0, 0, 1))
  // is carried to the y axis through (0, 0, 1) before it turns.
  const Eigen::Vector3d p1(0, 0, 0), d1(0, 0, 1), p2(0, 0, 1), d2(1, 0, 0);
  ASSERT_EQ(ComputeRT::compute_rt({{p1, d1, 90.0}, {p2, d2, 45.0}}, m), RETVAL_SUCCESS);
  const RigidMatrix expected = turn(Eigen::Vector3d(0, 0, 1), Eigen::Vector3d(0, 1, 0), 45.0) * turn(p1, d1, 90.0);
  EXPECT_TRUE(near(m, expected, 1e-12));
  EXPECT_FALSE(near(m, turn(p2, d2, 45.0) * turn(p1, d1, 90.0), 1e-3));

  // Camera axis first, not moved; the rest chain as above.
  const Eigen::Vector3d pc(5, 0, 0), dc(0, 1, 0);
  ASSERT_EQ(ComputeRT::compute_rt_with_camera_axis({{pc, dc, 30.0}, {p1, d1, 90.0}, {p2, d2, 45.0}}, m),
            RETVAL_SUCCESS);
  EXPECT_TRUE(near(m, turn(pc, dc, 30.0) * expected, 1e-12));
}

TEST(ComputeRT, ExplicitAxesComposeInverseTurnsAndFinalZTurn) {
  const Eigen::Vector3d p1(1, 0, 0), d1(0, 0, 1), p2(0, 1, 0), d2(1, 0, 0), p3(0, 0, 2), d3(0, 1, 0), p4(3, 0, 0),
      d4(0, 1, 1);
  RigidMatrix m;
  ASSERT_EQ(ComputeRT::compute_rt(p1, d1, 20, p2, d2, -35, p3, d3, 50, p4, d4, 15, 70, m), RETVAL_SUCCESS);
  const RigidMatrix re = turn(Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitZ(), 70);
  const RigidMatrix want = re * turn(p4, d4, 15) * turn(p1, d1, 20).inverse() * turn(p2, d2, -35).inverse() *
                           turn(p3, d3, 50).inverse();
  EXPECT_TRUE(near(m, want, 1e-12));
  // A zero third direction means no third turn.
  ASSERT_EQ(ComputeRT::compute_rt(p1, d1, 20, p2, d2, -35, p3, Eigen::Vector3d::Zero(), 50, p4, d4, 15, 70, m),
            RETVAL_SUCCESS);
  EXPECT_TRUE(near(m, re * turn(p4, d4, 15) * turn(p1, d1, 20).inverse() * turn(p2, d2, -35).inverse(), 1e-12));
}

TEST(CameraAngles, FovyAndFixAngleUseTheTruncatedHalfHeight) {
  const Eigen::Vector2f f(1000.f, 1100.f), c(640.f, 470.f);
  EXPECT_DOUBLE_EQ(compute_fovy(f, c, {1280, 961}), double(2.0f * std::atan(480.0f / 1100.0f)));
  EXPECT_DOUBLE_EQ(compute_fovy(f, c, {1280, 961}), compute_fovy(f, {0.f, 0.f}, {1280, 960}));
  EXPECT_NE(compute_fovy(f, c, {1280, 961}), compute_fovy(f, c, {1280, 962}));
  EXPECT_NEAR(compute_fovy({1.f, 1.f}, c, {2, 2}), kPi / 2.0, 1e-6);
  EXPECT_DOUBLE_EQ(compute_project_fix_angle(f, c, {1280, 961}), double(4.0f * std::atan(10.0f / 1100.0f)));
  EXPECT_DOUBLE_EQ(compute_project_fix_angle(f, {0.f, 490.f}, {1280, 961}),
                   compute_project_fix_angle(f, {0.f, 470.f}, {1280, 961}));
}

TEST(AffineFit, RecoversAnExactMapAndRejectsBadInput) {
  Eigen::Matrix<float, 2, 3> truth;
  truth << 1.1f, -0.2f, 5.f, 0.3f, 0.9f, -7.f;
  std::vector<Eigen::Vector2f> src, dst;
  for (int i = 0; i < 40; ++i) src.emplace_back(float(i * 37 % 200 - 100), float(i * 61 % 200 - 100) + 0.5f * i);
  for (const auto& p : src) dst.push_back(truth.leftCols<2>() * p + truth.col(2));
  Eigen::Matrix<float, 2, 3> a;
  ASSERT_EQ(compute_affine_mat2d(src, dst, a), RETVAL_SUCCESS);
  EXPECT_LT((a - truth).cwiseAbs().maxCoeff(), 1e-4f);
  double err = -1.0;
  ASSERT_EQ(compute_two_pic_error(src, dst, err), RETVAL_SUCCESS);
  EXPECT_LT(err, 1e-3);

  // Known residual: a least-squares affine fit leaves a pure +-1 split in x
  // between two copies of a symmetric set untouched, mean distance 1.
  std::vector<Eigen::Vector2f> s2, t2;
  for (int k = 0; k < 8; ++k) {
    s2.emplace_back(k & 1 ? 10.f : 0.f, k & 2 ? 10.f : 0.f);
    t2.push_back(s2.back() + Eigen::Vector2f(k & 4 ? -1.f : 1.f, 0.f));
  }
  ASSERT_EQ(compute_two_pic_error(s2, t2, err), RETVAL_SUCCESS);
  EXPECT_NEAR(err, 1.0, 1e-5);

  const Eigen::Matrix<float, 2, 3> before = a;
  EXPECT_EQ(compute_affine_mat2d({src[0], src[1]}, {dst[0], dst[1]}, a), RETVAL_FAILED);  // two pairs
  EXPECT_EQ(compute_affine_mat2d(src, {dst.begin(), dst.end() - 1}, a), RETVAL_FAILED);
  EXPECT_EQ(compute_affine_mat2d({{0, 0}, {1, 1}, {2, 2}}, {{0, 0}, {1, 1}, {2, 2}}, a), RETVAL_FAILED);  // collinear
  EXPECT_EQ(compute_affine_mat2d({{0, 0}, {1, NAN}, {2, 0}}, {{0, 0}, {1, 1}, {2, 2}}, a), RETVAL_FAILED);
  EXPECT_EQ(a, before);
  err = -1.0;
  EXPECT_EQ(compute_two_pic_error({src[0], src[1]}, {dst[0], dst[1]}, err), RETVAL_FAILED);
  EXPECT_EQ(err, -1.0);
}

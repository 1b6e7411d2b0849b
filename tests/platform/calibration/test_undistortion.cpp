#include <gtest/gtest.h>

#include <cmath>

#include "calibration_platform/ImageConversion.h"
#include "calibration_platform/RadialDistortion.h"

using namespace TavoAlgorithm;
using TavoCalibration::RadialDistortion;

TEST(RadialDistortion, UndistortionInvertsTheModelOverTheImage) {
  // Normalised extent of a 1280 x 960 image at f = 1000, corners included.
  const std::vector<std::vector<double>> models = {
      {-0.25, 0.12, 0.001, -0.0015, -0.02}, {0.1, -0.05, -0.002, 0.001, 0.01}, {-0.08, 0.05, 0.0005, -0.0003, 0.0}};
  for (const auto& kc : models) {
    double worst = 0.0;
    for (double x = -0.64; x <= 0.64 + 1e-12; x += 0.04)
      for (double y = -0.48; y <= 0.48 + 1e-12; y += 0.04) {
        Eigen::Vector2d d, u;
        ASSERT_TRUE(RadialDistortion::distortion(kc, {x, y}, d));
        ASSERT_TRUE(RadialDistortion::unDistortion(kc, d, u));
        worst = std::max(worst, (u - Eigen::Vector2d(x, y)).norm());
      }
    EXPECT_LT(worst, 1e-9);
  }
  // Hand-computed forward value: r2 = 0.25, g = 1 - 0.025 = 0.975.
  Eigen::Vector2d d;
  ASSERT_TRUE(RadialDistortion::distortion({-0.1, 0, 0.01, 0.02, 0}, {0.3, 0.4}, d));
  EXPECT_NEAR(d.x(), 0.975 * 0.3 + 2 * 0.01 * 0.12 + 0.02 * (0.25 + 0.18), 1e-15);
  EXPECT_NEAR(d.y(), 0.975 * 0.4 + 0.01 * (0.25 + 0.32) + 2 * 0.02 * 0.12, 1e-15);
}

TEST(RadialDistortion, BadCoefficientsOrInputLeaveTheOutput) {
  const Eigen::Vector2d keep(7, 7);
  Eigen::Vector2d out = keep;
  EXPECT_FALSE(RadialDistortion::unDistortion({0.1, 0.2}, {0.1, 0.1}, out));
  EXPECT_FALSE(RadialDistortion::unDistortion({0.1, NAN, 0, 0, 0}, {0.1, 0.1}, out));
  EXPECT_FALSE(RadialDistortion::unDistortion({0.1, 0, 0, 0, 0}, {NAN, 0.1}, out));
  EXPECT_FALSE(RadialDistortion::distortion({}, {0.1, 0.1}, out));
  // Far outside the invertible region of a strong barrel model.
  EXPECT_FALSE(RadialDistortion::unDistortion({-0.5, 0, 0, 0, 0}, {50.0, 50.0}, out));
  EXPECT_EQ(out, keep);
  ASSERT_TRUE(RadialDistortion::unDistortion({0, 0, 0, 0, 0}, {0.25, -0.5}, out));
  EXPECT_EQ(out, Eigen::Vector2d(0.25, -0.5));
}

TEST(ImageConversion, CopiesGreyValuesAndRejectsBrokenImages) {
  Image<1, unsigned char> in(3, 2);
  for (int i = 0; i < 6; ++i) in.data()[i] = static_cast<unsigned char>(i * 51);
  Image<1, float> out;
  ASSERT_TRUE(TavoCalibration::image_conversion(in, out));
  ASSERT_EQ(std::make_pair(out.width(), out.height()), std::make_pair(3, 2));
  EXPECT_EQ(out.data(), std::vector<float>({0, 51, 102, 153, 204, 255}));
  in.data().pop_back();
  EXPECT_FALSE(TavoCalibration::image_conversion(in, out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(TavoCalibration::image_conversion(Image<1, unsigned char>(-4, 5), out));
}

// The calibration file: both intrinsic forms with their known answers, the
// optional transform, unusable files refused with the outputs untouched, and
// the intrinsics check every reader shares (random damage:
// fuzz/FuzzMapFiles.cpp, fuzz/FuzzProjectFiles.cpp).
#include "mapping/Calibration.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <tuple>

#include "common/TempFolder.h"

namespace {

struct Outputs {
  Intrinsic k{};
  double extrinsic[7] = {7, 7, 7, 7, 7, 7, 7};
  double rotation[9] = {7, 7, 7, 7, 7, 7, 7, 7, 7};
};

class Calibration : public ::testing::Test {
 protected:
  // Loads the text; what it prints goes to printed_.
  bool Load(const std::string& text, Outputs& out) {
    const std::string name = folder_.Write("K.txt", text);
    testing::internal::CaptureStdout();
    const bool ok = LoadCalibration(name, 640, 480, out.k, out.extrinsic, out.rotation);
    printed_ = testing::internal::GetCapturedStdout();
    return ok;
  }
  // Default mounting quaternion with the given translation.
  static void ExpectExtrinsic(const Outputs& out, double tx, double ty, double tz) {
    const double expected[7] = {-0.70710678, 0.70710678, 0, 0, tx, ty, tz};
    for (int i = 0; i < 7; ++i) EXPECT_DOUBLE_EQ(out.extrinsic[i], expected[i]) << i;
  }
  TempFolder folder_;
  std::string printed_;
};

TEST_F(Calibration, BothIntrinsicFormsAndTheOptionalTransform) {
  Outputs out;
  ASSERT_TRUE(Load("60\n", out));
  EXPECT_NEAR(out.k.fx[0], 640.0 / (2.0 * std::tan(M_PI / 6.0)), 1e-3);
  EXPECT_EQ(out.k.fy[0], out.k.fx[0]);
  EXPECT_EQ(out.k.cxcy[0] * 1000 + out.k.cxcy[1], 319500.0f + 239.5f);
  EXPECT_FLOAT_EQ(out.k.misc[1], 1.0f / (out.k.fx[0] * out.k.fy[0]));
  ExpectExtrinsic(out, 0, 0, 0);
  EXPECT_EQ(out.rotation[0], DBL_MAX);

  // The matrix form, alone and with a translation.
  const std::string K = "500 0 320\r\n0 510 240\r\n0 0 1\r\n";
  for (const auto& [extra, tx, ty] :
       {std::tuple{"", 0.0, 0.0}, std::tuple{"0.05 -0.02\n", 0.05, -0.02},
        std::tuple{"0.03\n", 0.03, 0.0}}) {
    ASSERT_TRUE(Load(K + extra, out));
    EXPECT_EQ(out.k.fxfy[0] * 1000 + out.k.fxfy[1], 500510.0f);
    EXPECT_EQ(out.k.cxcy[0] * 1000 + out.k.cxcy[1], 320240.0f);
    ExpectExtrinsic(out, tx, ty, 0);
    EXPECT_EQ(out.rotation[0], DBL_MAX);
  }

  // R = I gives M^T, M the default quaternion's transposed rotation, which
  // for (-s, s, 0, 0) is [[0 -1 0] [-1 0 0] [0 0 -1]].
  ASSERT_TRUE(Load(K + "1 0 0 0.1\n0 1 0 0.2\n0 0 1 0.3\n", out));
  ExpectExtrinsic(out, 0.1, 0.2, 0.3);
  const double expected[9] = {0, -1, 0, -1, 0, 0, 0, 0, -1};
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(out.rotation[i], expected[i], 1e-7) << i;
}

TEST_F(Calibration, UnusableFilesAreRefusedWithoutOutput) {
  Outputs out;
  EXPECT_FALSE(
      LoadCalibration(folder_.File("missing.txt"), 640, 480, out.k, out.extrinsic, out.rotation));
  for (const char* text : {"", "\n\n", "0\n", "180\n", "-30\n", "nan\n", "fov\n",
                           "0 0 320\n0 500 240\n0 0 1\n", "-500 0 320\n0 500 240\n0 0 1\n",
                           "500 0 320\n0 inf 240\n0 0 1\n", "500 0 320\n", "60\n1 0 0 0\n0 1 0 0\n",
                           // Positive and finite, yet 1/fx (a denormal fx) or cx/fx overflows.
                           "1e-40 0 320\n0 500 240\n0 0 1\n", "500 0 320\n0 1e-40 240\n0 0 1\n",
                           "1e-30 0 1e10\n0 1e30 240\n0 0 1\n"}) {
    EXPECT_FALSE(Load(text, out)) << text;
    EXPECT_NE(printed_.find("Invalid calibration file"), std::string::npos) << text;
  }
  EXPECT_EQ(out.k.fx[0] + out.extrinsic[0] + out.rotation[0], 14.0);
}

// The one check every intrinsics reader shares: the whole stored record finite.
TEST_F(Calibration, UsableIntrinsicsHaveEveryDerivedValueFinite) {
  Intrinsic k{};
  k.fx[0] = 7.0f;
  for (const auto& [fx, fy, cx, cy] :
       {std::tuple{1e-40f, 500.0f, 320.0f, 240.0f}, std::tuple{0.0f, 500.0f, 320.0f, 240.0f},
        std::tuple{1e-30f, 1e30f, 1e10f, 240.0f}, std::tuple{500.0f, 500.0f, INFINITY, 240.0f},
        std::tuple{3e38f, 2.0f, 320.0f, 240.0f}, std::tuple{NAN, 500.0f, 320.0f, 240.0f}}) {
    EXPECT_FALSE(SetUsableIntrinsic(k, fx, fy, cx, cy)) << fx << " " << fy << " " << cx;
  }
  EXPECT_EQ(k.fx[0], 7.0f);
  // Small but normal: every reciprocal and ratio stays finite.
  ASSERT_TRUE(SetUsableIntrinsic(k, 1e-7f, 2e-7f, 0.5f, 0.25f));
  EXPECT_FLOAT_EQ(k.misc[1], 1.0f / (1e-7f * 2e-7f));
  EXPECT_FLOAT_EQ(k.misc[2] * 1e-7f, 0.5f);
}

}  // namespace

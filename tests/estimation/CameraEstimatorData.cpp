// Camera data: normalisation round trips and its median rule, the summed
// error, the normal equations against finite differences of the projection
// under UpdateModel's step, the scaled step, and degenerate depths and columns.
#include "estimation/CameraEstimatorData.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/FiniteDifference.h"
#include "common/ProjectiveScene.h"
#include "la/SmallSolvers.h"

using namespace scene;

namespace {

LA::AlignedVector6f Ones() {
  LA::AlignedVector6f s;
  for (float& v : s.v) v = 1.0f;
  return s;
}

class CameraEstimatorDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Random::Seed(9);
    truth = RandomPose();
    Fill(MakeMatches(truth, 41, 2.0f), data);
    // A camera a little off the truth, so residuals are not zero.
    Pose off = truth;
    off.R = Eigen::AngleAxisf(0.02f, Eigen::Vector3f(1, 2, 3).normalized()) * off.R;
    off.t += Eigen::Vector3f(0.05f, -0.03f, 0.1f);
    camera = ToCamera(off);
  }
  Pose truth;
  CameraEstimatorData data;
  Camera camera;
};

}  // namespace

TEST_F(CameraEstimatorDataTest, ScaledSystemHasUnitDiagonalAndItsStepLowersTheError) {
  LA::AlignedCompactMatrix6f A;
  LA::AlignedVector6f b;
  data.ConstructNormalEquation(camera, Ones(), A, b);
  EXPECT_EQ(b.v[6], b.v[4]);
  EXPECT_EQ(b.v[7], b.v[5]);
  // The scaled form: s_k = 1 / sqrt(A_kk), unit diagonal, and a solved step
  // lowers the error.
  LA::AlignedCompactMatrix6f As;
  LA::AlignedVector6f bs, s;
  data.ConstructNormalEquationAndScale(camera, As, bs, s);
  for (int k = 0; k < 6; ++k) {
    EXPECT_NEAR(s.v[k], 1.0 / std::sqrt(A(k, k)), 1e-5 * s.v[k]);
    EXPECT_NEAR(As(k, k), 1.0f, 1e-4f);
  }
  EXPECT_EQ(s.v[6], s.v[4]);
  ASSERT_TRUE(LA::SolveLDL(As, bs));
  Camera stepped;
  data.UpdateModel(s, bs, camera, stepped);
  EXPECT_LT(data.ComputeSSE(stepped), 0.5 * data.ComputeSSE(camera));
}

TEST_F(CameraEstimatorDataTest, HarnessAgreesWithTheSSE) {
  fd::ExpectNormalEquationMatchesSSE(data, camera);
  // Exact matches: A is half the Hessian of the SSE at the true pose.
  CameraEstimatorData exact;
  Fill(MakeMatches(truth, 30, 0.0f), exact);
  fd::ExpectGaussNewtonHessianAtZeroResidual(exact, ToCamera(truth));
}

TEST_F(CameraEstimatorDataTest, SumOfErrorsIncludesTheOddLastMatch) {
  data.Resize(7);
  double sum = 0.0;
  for (u32 i = 0; i < 7; ++i) {
    float z;
    sum += ComputeMatchSquaredError(camera, data.worldPoints[i], data.imagePoints[i], z);
  }
  EXPECT_NEAR(data.ComputeSSE(camera), sum, 1e-5 * sum);
}

TEST_F(CameraEstimatorDataTest, NormaliseThenDenormaliseRestoresThePose) {
  const Camera before = camera;
  const double sse = data.ComputeSSE(camera);
  data.NormalizeData(0.5f, camera);
  // Projections are unchanged and the median depth is 2.
  EXPECT_NEAR(data.ComputeSSE(camera), sse, 1e-3 * sse);
  std::vector<float> depths;
  for (u32 i = 0; i < data.Size(); ++i) {
    float z;
    ComputeMatchSquaredError(camera, data.worldPoints[i], data.imagePoints[i], z);
    depths.push_back(z);
  }
  std::nth_element(depths.begin(), depths.begin() + 20, depths.end());
  EXPECT_NEAR(depths[20], 2.0f, 1e-4f);
  EXPECT_EQ(data.worldPoints[3].v[3], 1.0f);
  data.DenormalizeModel(camera);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(camera.m[r][c], before.m[r][c], 1e-5f);
}

TEST_F(CameraEstimatorDataTest, MedianBehindTheCameraKeepsScaleOneButCentres) {
  // Put the camera behind the scene: every depth is negative.
  Camera behind = camera;
  for (int r = 0; r < 3; ++r) behind.m[r][3] = 0.0f;
  behind.m[2][3] = -10.0f;
  const Camera before = behind;
  data.NormalizeData(0.5f, behind);
  EXPECT_EQ(data.scale.v[0], 1.0f);
  EXPECT_NE(data.mean.v[0], 0.0f);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_TRUE(std::isfinite(behind.m[r][c]));
  data.DenormalizeModel(behind);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(behind.m[r][c], before.m[r][c], 1e-5f);
}

TEST(CameraEstimatorDataMedian, EvenCountTakesTheUpperMiddleDepth) {
  // Six points on the optical axis at depths 1..6 under the identity pose.
  CameraEstimatorData data;
  data.Resize(6);
  const float depths[6] = {5, 1, 3, 6, 2, 4};
  for (u32 i = 0; i < 6; ++i) {
    data.worldPoints[i] = {{0.0f, 0.0f, depths[i], 1.0f}};
    data.imagePoints[i] = {0.0f, 0.0f};
  }
  Camera c{};
  c.m[0][0] = c.m[1][1] = c.m[2][2] = 1.0f;
  data.NormalizeData(1.0f, c);
  // Mean depth 3.5 removed, then moved into t; the median (4th smallest) is 4.
  EXPECT_NEAR(data.scale.v[0], 0.25f, 1e-6f);
}

TEST(CameraEstimatorDataScale, ZeroColumnGetsZeroScale) {
  // Every match on the optical axis: rotation about the axis moves nothing.
  CameraEstimatorData data;
  data.Resize(4);
  for (u32 i = 0; i < 4; ++i) {
    data.worldPoints[i] = {{0.0f, 0.0f, 2.0f + i, 1.0f}};
    data.imagePoints[i] = {0.01f, 0.0f};
  }
  Camera c{};
  c.m[0][0] = c.m[1][1] = c.m[2][2] = 1.0f;
  LA::AlignedCompactMatrix6f A;
  LA::AlignedVector6f b, s;
  data.ConstructNormalEquationAndScale(c, A, b, s);
  EXPECT_EQ(s.v[2], 0.0f);
  LA::AlignedVector6f dx{};
  dx.v[2] = 1.0f;
  Camera out;
  data.UpdateModel(s, dx, c, out);
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 4; ++k) EXPECT_EQ(out.m[r][k], c.m[r][k]);
}

// Fundamental-matrix solver, data class and estimator on pixel matches.
#include "estimation/FundamentalMatrixEstimator.h"

#include <gtest/gtest.h>

#include "common/FiniteDifference.h"
#include "common/ProjectiveScene.h"

using namespace scene;

// Eight-point and least-squares fits of exact matches are the true F, of rank
// two, and verification finds the one match moved off; degenerate input fails
// cleanly or gives a finite F.
TEST(FundamentalMatrixEstimator, ExactFitsAreRankTwoAndDegenerateInputFailsCleanly) {
  Random::Seed(41);
  FundamentalMatrixEstimator estimator(4.0f);
  AlignedArray<FundamentalMatrix> models;
  EightMatches2D sample;
  for (const int n : {8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 9, 13, 100}) {
    const TwoViewScene s = MakeScene(n);
    FillArrays(ToPixels(s.matches), 8, sample.px1, sample.py1, sample.px2, sample.py2);
    FundamentalMatrixEstimatorData data;
    FillSet(ToPixels(s.matches), data);
    for (const bool minimal : {true, false}) {
      ASSERT_TRUE(minimal ? estimator.SolveMinimal(sample, models)
                          : estimator.SolveNonMinimal(data, models));
      ASSERT_EQ(models.Size(), 1u);
      EXPECT_LT(MatrixDistance(ToEigen(models[0]), PixelFundamental(s)), 1e-3) << n;
      const Eigen::Vector3d sv =
          Eigen::JacobiSVD<Eigen::Matrix3d>(ToEigen(models[0])).singularValues();
      EXPECT_LT(sv(2) / sv(0), 1e-6) << n;
    }
    // Verification over the packed blocks and the tail: every exact match
    // but the one moved far off its epipolar line.
    std::vector<Match> moved = ToPixels(s.matches);
    moved[n / 2].x2 += 40.0;
    moved[n / 2].y2 -= 40.0;
    FillSet(moved, data);
    std::vector<u16> in;
    f64 error = -1.0;
    estimator.VerifyModel(data, FromEigen<FundamentalMatrix>(PixelFundamental(s)), in, error);
    EXPECT_EQ(in.size(), n - 1u) << n;
    EXPECT_LT(error, 1e-3) << n;
  }
  FillArrays(std::vector<Match>(8, Match{100, 120, 130, 90}), 8, sample.px1, sample.py1, sample.px2,
             sample.py2);
  EXPECT_FALSE(estimator.SolveMinimal(sample, models)) << "coincident matches";
  EXPECT_EQ(models.Size(), 0u);
  FundamentalMatrixEstimatorData seven;
  FillSet(ToPixels(MakeScene(7).matches), seven);
  EXPECT_FALSE(estimator.SolveNonMinimal(seven, models)) << "too few for least squares";
  EXPECT_EQ(models.Size(), 0u);
  // Pure sideways motion makes the normalised F33 vanish, which the F33 = 1
  // parameterisation cannot express: no model or a finite one.
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<Match> m;
    for (int i = 0; i < 8; ++i) {
      const double z = UniformD(2, 8), x = UniformD(-1, 1), y = UniformD(-1, 1);
      m.push_back({x, y, x + 1.0 / z, y});
    }
    FillArrays(ToPixels(m), 8, sample.px1, sample.py1, sample.px2, sample.py2);
    const bool solved = estimator.SolveMinimal(sample, models);
    EXPECT_EQ(models.Size(), solved ? 1u : 0u);
    EXPECT_TRUE(!solved || ToEigen(models[0]).allFinite());
  }
  // The mean error in squared pixels: the SSE over the two scales and the
  // match count.
  seven.scale1 = 2.0f;
  seven.scale2 = 4.0f;
  EXPECT_EQ(seven.GetFactorSSEToMSE(), double(1.0f / 56.0f));
}

// In normalised coordinates, as the optimiser runs it: A is half the Hessian
// at zero residual and the normal equations match finite differences away
// from it; denormalising gives the pixel F back.
TEST(FundamentalMatrixEstimatorData, NormalEquationsMatchFiniteDifferences) {
  Random::Seed(44);
  const TwoViewScene s = MakeScene(50);
  FundamentalMatrixEstimatorData data;
  FillSet(ToPixels(s.matches), data);
  FundamentalMatrix F = FromEigen<FundamentalMatrix>(PixelFundamental(s));
  data.NormalizeData(0.5f, F);
  ASSERT_EQ(data.normalized, 1);
  fd::ExpectGaussNewtonHessianAtZeroResidual(data, F, {1e-3, 1e-2, 1e-6});
  FundamentalMatrix moved = F;
  moved.m[0][1] += 0.01f;
  moved.m[2][0] -= 0.02f;
  fd::ExpectNormalEquationMatchesSSE(data, moved);
  data.DenormalizeModel(F);
  EXPECT_LT(MatrixDistance(ToEigen(F), PixelFundamental(s)), 1e-4);
}

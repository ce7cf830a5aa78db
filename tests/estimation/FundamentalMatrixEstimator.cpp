// Fundamental-matrix solver, data class and estimator on pixel matches.
#include "estimation/FundamentalMatrixEstimator.h"

#include <gtest/gtest.h>

#include "FiniteDifference.h"
#include "estimation/TestMatchSets.h"
#include "estimation/TwoViewScene.h"

namespace {

using twoview::Match;

Eigen::Matrix3d ToEigen(const LA::AlignedMatrix3f& F) {
  Eigen::Matrix3d M;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) M(r, c) = F.m[r][c];
  return M;
}

FundamentalMatrix FromEigen(const Eigen::Matrix3d& M) {
  FundamentalMatrix F;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) F.m[r][c] = static_cast<float>(M(r, c) / M(2, 2));
    F.m[r][3] = 0.0f;
  }
  return F;
}

void FillEight(const std::vector<Match>& m, EightMatches2D& s) {
  for (int i = 0; i < 8; ++i) {
    s.px1[i] = static_cast<float>(m[i].x1);
    s.py1[i] = static_cast<float>(m[i].y1);
    s.px2[i] = static_cast<float>(m[i].x2);
    s.py2[i] = static_cast<float>(m[i].y2);
  }
}

double SmallestToLargestSingularValue(const Eigen::Matrix3d& M) {
  const Eigen::Vector3d sv = Eigen::JacobiSVD<Eigen::Matrix3d>(M).singularValues();
  return sv(2) / sv(0);
}

// Pixel scene with noise (pixels) and the first `outliers` matches replaced.
std::vector<Match> NoisyPixels(const twoview::TwoViewScene& s, double noise, int outliers) {
  std::vector<Match> m = twoview::ToPixels(s.matches);
  for (Match& p : m) {
    p.x1 += noise * twoview::Gaussian();
    p.y1 += noise * twoview::Gaussian();
    p.x2 += noise * twoview::Gaussian();
    p.y2 += noise * twoview::Gaussian();
  }
  for (int i = 0; i < outliers; ++i)
    m[i] = {twoview::Uniform(0, 640), twoview::Uniform(0, 480), twoview::Uniform(0, 640),
            twoview::Uniform(0, 480)};
  return m;
}

TEST(FundamentalMatrixEstimator, EightPointIsExactAndRankTwo) {
  Random::Seed(41);
  FundamentalMatrixEstimator estimator(4.0f);
  AlignedArray<FundamentalMatrix> models;
  for (int trial = 0; trial < 20; ++trial) {
    const twoview::TwoViewScene s = twoview::MakeScene(8);
    EightMatches2D sample;
    FillEight(twoview::ToPixels(s.matches), sample);
    ASSERT_TRUE(estimator.SolveMinimal(sample, models));
    ASSERT_EQ(models.Size(), 1u);
    const Eigen::Matrix3d F = ToEigen(models[0]);
    EXPECT_LT(twoview::MatrixDistance(F, twoview::PixelFundamental(s)), 1e-3);
    EXPECT_LT(SmallestToLargestSingularValue(F), 1e-6);
  }
}

TEST(FundamentalMatrixEstimator, NonMinimalIsExactAndLeavesDataNormalised) {
  Random::Seed(42);
  FundamentalMatrixEstimator estimator(4.0f);
  AlignedArray<FundamentalMatrix> models;
  for (int n : {8, 9, 100}) {
    const twoview::TwoViewScene s = twoview::MakeScene(n);
    FundamentalMatrixEstimatorData data;
    testsets::FillSet(twoview::ToPixels(s.matches), data);
    ASSERT_TRUE(estimator.SolveNonMinimal(data, models)) << n;
    EXPECT_LT(twoview::MatrixDistance(ToEigen(models[0]), twoview::PixelFundamental(s)), 1e-3);
    EXPECT_LT(SmallestToLargestSingularValue(ToEigen(models[0])), 1e-6);
    // The data were normalised in place: the tail copy and the complete
    // blocks now have mean distance sqrt(2) from the origin.
    double sum = 0.0;
    float m[4];
    for (u32 i = 0; i < data.packedCount; ++i) {
      data.GetMatch(i, m);
      sum += std::hypot(m[0], m[1]);
    }
    for (u32 t = 0; t < data.tailCount; ++t) sum += std::hypot(data.tail1[t].x, data.tail1[t].y);
    EXPECT_NEAR(sum / n, std::sqrt(2.0), 1e-4);
  }
  // Eight coincident matches leave the system singular: no model.
  EightMatches2D same;
  FillEight(std::vector<Match>(8, Match{100, 120, 130, 90}), same);
  EXPECT_FALSE(estimator.SolveMinimal(same, models));
  EXPECT_EQ(models.Size(), 0u);
  // Seven matches are too few for the least-squares fit.
  FundamentalMatrixEstimatorData seven;
  testsets::FillSet(twoview::ToPixels(twoview::MakeScene(7).matches), seven);
  EXPECT_FALSE(estimator.SolveNonMinimal(seven, models));
  EXPECT_EQ(models.Size(), 0u);
}

TEST(FundamentalMatrixEstimator, SidewaysMotionFailsCleanlyOrGivesFiniteF) {
  // Pure sideways motion makes the normalised F33 vanish, the case the F33 = 1
  // parameterisation cannot express.
  Random::Seed(43);
  FundamentalMatrixEstimator estimator(4.0f);
  AlignedArray<FundamentalMatrix> models;
  for (int trial = 0; trial < 20; ++trial) {
    twoview::TwoViewScene s = twoview::MakeScene(8, 0.0);
    s.R.setIdentity();
    s.t = Eigen::Vector3d(1, 0, 0);
    s.matches.clear();
    for (int i = 0; i < 8; ++i) {
      const double z = twoview::Uniform(2, 8);
      const Eigen::Vector3d X(twoview::Uniform(-1, 1) * z, twoview::Uniform(-1, 1) * z, z);
      const Eigen::Vector3d X2 = X + s.t;
      s.matches.push_back({X.x() / z, X.y() / z, X2.x() / X2.z(), X2.y() / X2.z()});
    }
    EightMatches2D sample;
    FillEight(twoview::ToPixels(s.matches), sample);
    if (estimator.SolveMinimal(sample, models)) {
      ASSERT_EQ(models.Size(), 1u);
      EXPECT_TRUE(ToEigen(models[0]).allFinite());
    } else {
      EXPECT_EQ(models.Size(), 0u);
    }
  }
}

TEST(FundamentalMatrixEstimatorData, NormalEquationsMatchFiniteDifferences) {
  Random::Seed(44);
  const twoview::TwoViewScene s = twoview::MakeScene(50);
  FundamentalMatrixEstimatorData data;
  testsets::FillSet(NoisyPixels(s, 1.0, 0), data);
  FundamentalMatrix F = FromEigen(twoview::PixelFundamental(s));
  // In normalised coordinates, as the optimiser runs it.
  data.NormalizeData(0.5f, F);
  ASSERT_EQ(data.normalized, 1);
  F.m[0][1] += 0.01f;
  F.m[2][0] -= 0.02f;
  fd::ExpectNormalEquationMatchesSSE(data, F);
  // The Gauss-Newton matrix at an exact model.
  FundamentalMatrixEstimatorData exact;
  testsets::FillSet(twoview::ToPixels(s.matches), exact);
  FundamentalMatrix Fe = FromEigen(twoview::PixelFundamental(s));
  exact.NormalizeData(0.5f, Fe);
  fd::Options o;
  o.tolerance = 1e-2;
  fd::ExpectGaussNewtonHessianAtZeroResidual(exact, Fe, o);
  // Denormalising returns the pixel matrix.
  exact.DenormalizeModel(Fe);
  EXPECT_LT(twoview::MatrixDistance(ToEigen(Fe), twoview::PixelFundamental(s)), 1e-4);
}

class FundamentalLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Random::Seed(45);
    scene_ = twoview::MakeScene(1000, 0.3);
    testsets::FillSet(NoisyPixels(scene_, 0.5, 300), data_);
  }
  twoview::TwoViewScene scene_;
  FundamentalMatrixEstimatorData data_;
};

TEST_F(FundamentalLoopTest, TrackerSettingsFindTheInliers) {
  // The tracker's settings: 16 times a pixel variance of 0.25, at most 300
  // and at least 20 iterations.
  FundamentalMatrixEstimator estimator(16.0f * 0.25f);
  estimator.maxIterations = 300;
  estimator.minIterations = 20;
  FundamentalMatrix F{};
  std::vector<u16> inliers;
  Random::Seed(5);
  estimator.RunLoRansac(data_, F, inliers);
  int found = 0, outliersTaken = 0;
  for (u16 i : inliers) (i < 300 ? outliersTaken : found) += 1;
  // Against what the true F accepts among the true inliers.
  std::vector<u16> truth;
  f64 error = 0.0;
  estimator.VerifyModel(data_, FromEigen(twoview::PixelFundamental(scene_)), truth, error);
  const auto trueInliers =
      std::count_if(truth.begin(), truth.end(), [](u16 i) { return i >= 300; });
  EXPECT_GE(found, 0.98 * trueInliers);
  EXPECT_LE(outliersTaken, 15);
  EXPECT_LT(twoview::MatrixDistance(ToEigen(F), twoview::PixelFundamental(scene_)), 5e-2);
  EXPECT_TRUE(std::is_sorted(inliers.begin(), inliers.end()));
}

TEST_F(FundamentalLoopTest, RequiredMatchRejectsModelAndThresholdIsStrict) {
  FundamentalMatrixEstimator estimator(4.0f);
  const FundamentalMatrix F = FromEigen(twoview::PixelFundamental(scene_));
  std::vector<u16> inliers;
  f64 error = 0.0;
  estimator.VerifyModel(data_, F, inliers, error);
  ASSERT_GE(inliers.size(), 650u);
  u16 failing = 0;
  while (std::find(inliers.begin(), inliers.end(), failing) != inliers.end()) ++failing;
  BitMask required(data_.Size());
  required.Set(inliers[0]);
  std::vector<u16> constrained;
  f64 constrainedError = 0.0;
  estimator.VerifyModelConstrained(data_, F, required, constrained, constrainedError);
  EXPECT_EQ(constrained, inliers);
  required.Set(failing);
  estimator.VerifyModelConstrained(data_, F, required, constrained, constrainedError);
  EXPECT_TRUE(constrained.empty());
  EXPECT_EQ(constrainedError, 0.0);
  // The inlier SSE over the inlier mask is the verification's error sum.
  BitMask mask(data_.Size());
  for (u16 i : inliers) mask.Set(i);
  f64 sse = 0.0;
  estimator.ComputeInlierSSE(data_, F, mask, sse);
  EXPECT_NEAR(sse, error, 1e-4 * error);
  // An error exactly at the threshold is not an inlier.
  float work[6];
  float m[4];
  data_.GetMatch(inliers[0], m);
  const f32 e = ComputeSymmetricEpipolarError(F, {m[0], m[1]}, {m[2], m[3]}, work);
  FundamentalMatrixEstimator atThreshold(e);
  atThreshold.VerifyModel(data_, F, constrained, constrainedError);
  EXPECT_EQ(std::count(constrained.begin(), constrained.end(), inliers[0]), 0);
}

TEST(FundamentalMatrixEstimator, SamplersDrawDistinctMatches) {
  Random::Seed(46);
  FundamentalMatrixEstimatorData data;
  std::vector<Match> m(20);
  for (int i = 0; i < 20; ++i) m[i] = {double(i), double(i), double(i), double(i)};
  testsets::FillSet(m, data);
  FundamentalMatrixEstimator estimator(1.0f);
  EightMatches2D sample;
  for (int trial = 0; trial < 50; ++trial) {
    estimator.GenerateMinimalSample(data, sample);
    std::vector<float> v(sample.px1, sample.px1 + 8);
    std::sort(v.begin(), v.end());
    EXPECT_TRUE(std::adjacent_find(v.begin(), v.end()) == v.end());
    for (int k = 0; k < 8; ++k) EXPECT_EQ(sample.px1[k], sample.py2[k]);
  }
  std::vector<u16> order{19, 18, 17, 16, 15, 14, 13, 12, 11, 10};
  ASSERT_TRUE(estimator.GenerateMinimalSampleProsac(data, order, 9, true, sample));
  EXPECT_EQ(std::count(sample.px1, sample.px1 + 8, 11.0f), 1);
  EXPECT_EQ(std::count(sample.px1, sample.px1 + 8, 10.0f), 0);
  EXPECT_FALSE(estimator.GenerateMinimalSampleProsac(data, order, 7, true, sample));
  // Bins: eight single-match bins must be taken one each.
  std::vector<std::vector<u16>> bins;
  for (u16 i = 0; i < 8; ++i) bins.push_back({static_cast<u16>(2 * i)});
  ASSERT_TRUE(estimator.GenerateMinimalSampleArsac(data, bins, sample));
  std::vector<float> v(sample.px1, sample.px1 + 8);
  std::sort(v.begin(), v.end());
  EXPECT_EQ(v, (std::vector<float>{0, 2, 4, 6, 8, 10, 12, 14}));
  bins.pop_back();
  EXPECT_FALSE(estimator.GenerateMinimalSampleArsac(data, bins, sample));
  bins.push_back({14});
  std::vector<f32> cumulative{0, .1f, .2f, .3f, .4f, .5f, .6f, .7f, 1.0f};
  ASSERT_TRUE(estimator.GenerateMinimalSampleParsac(data, cumulative, bins, sample));
  cumulative[8] = cumulative[7];  // the last bin has no weight
  EXPECT_FALSE(estimator.GenerateMinimalSampleParsac(data, cumulative, bins, sample));
}

}  // namespace

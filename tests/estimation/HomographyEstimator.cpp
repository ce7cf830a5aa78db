// Homography solver, data class and estimator on pixel matches of planar
// scenes (sequential extraction: the robust loop tests).
#include "estimation/HomographyEstimator.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/FiniteDifference.h"
#include "common/ProjectiveScene.h"

using namespace scene;

namespace {

// The pixel homography K (R + t n^T / d) K^-1, h33 = 1, of a random plane
// n^T X = d seen by a camera at identity and one at [R | t].
Eigen::Matrix3d RandomHomography() {
  const Eigen::Matrix3d R = RandomRotationD(0.2), K = PixelIntrinsics();
  const Eigen::Vector3d t(UniformD(-0.5, 0.5), UniformD(-0.5, 0.5), UniformD(-0.2, 0.2));
  const Eigen::Vector3d n =
      Eigen::Vector3d(UniformD(-0.3, 0.3), UniformD(-0.3, 0.3), 1).normalized();
  const Eigen::Matrix3d H = K * (R + t * n.transpose() / UniformD(3, 6)) * K.inverse();
  return H / H(2, 2);
}

Match Transfer(const Eigen::Matrix3d& H, double x, double y, double noise = 0.0) {
  const Eigen::Vector3d q = H * Eigen::Vector3d(x, y, 1.0);
  return {x, y, q.x() / q.z() + noise * GaussianD(), q.y() / q.z() + noise * GaussianD()};
}

// count matches of pixels spread over the image, noise on the second.
std::vector<Match> Matches(const Eigen::Matrix3d& H, int count, double noise) {
  std::vector<Match> m;
  for (int i = 0; i < count; ++i)
    m.push_back(Transfer(H, UniformD(0, 640), UniformD(0, 480), noise));
  return m;
}

// Four well-spread matches: three nearly collinear points would make any
// four-point fit unstable.
std::vector<Match> Corners(const Eigen::Matrix3d& H) {
  return {Transfer(H, 40, 40), Transfer(H, 600, 40), Transfer(H, 40, 440), Transfer(H, 600, 440)};
}

TEST(HomographyEstimator, FourPointIsExactAndLeastSquaresAgrees) {
  Random::Seed(51);
  HomographyEstimator estimator(4.0f);
  AlignedArray<Homography> minimal, nonMinimal;
  for (int trial = 0; trial < 10; ++trial) {
    const Eigen::Matrix3d H = RandomHomography();
    FourMatches2D sample;
    FillArrays(Corners(H), 4, sample.x1, sample.y1, sample.x2, sample.y2);
    ASSERT_TRUE(estimator.SolveMinimal(sample, minimal));
    ASSERT_EQ(minimal.Size(), 1u);
    EXPECT_LT(MatrixDistance(ToEigen(minimal[0]), H), 1e-4);
    HomographyEstimatorData data;
    FillSet(Corners(H), data);
    ASSERT_TRUE(estimator.SolveNonMinimal(data, nonMinimal));
    EXPECT_LT(MatrixDistance(ToEigen(nonMinimal[0]), H), 1e-4);
  }
  // Least squares on noisy matches.
  const Eigen::Matrix3d H = RandomHomography();
  HomographyEstimatorData data;
  FillSet(Matches(H, 103, 0.3), data);
  ASSERT_TRUE(estimator.SolveNonMinimal(data, nonMinimal));
  EXPECT_LT(MatrixDistance(ToEigen(nonMinimal[0]), H), 5e-3);
}

TEST(HomographyEstimatorData, NormalEquationsMatchFiniteDifferences) {
  Random::Seed(53);
  const Eigen::Matrix3d truth = RandomHomography();
  HomographyEstimatorData data;
  FillSet(Matches(truth, 41, 1.0), data);
  Homography H = FromEigen<Homography>(truth);
  data.NormalizeData(0.5f, H);
  H.m[0][2] += 0.01f;
  H.m[2][1] += 0.005f;
  fd::ExpectNormalEquationMatchesSSE(data, H);
  const Eigen::Matrix3d exact = RandomHomography();
  FillSet(Matches(exact, 40, 0.0), data);
  Homography He = FromEigen<Homography>(exact);
  data.NormalizeData(0.5f, He);
  fd::ExpectGaussNewtonHessianAtZeroResidual(data, He, {1e-3, 1e-2, 1e-6});
  data.DenormalizeModel(He);
  EXPECT_LT(MatrixDistance(ToEigen(He), exact), 1e-4);
}

TEST(HomographyEstimator, RobustRunFindsThePlaneAmongOutliers) {
  Random::Seed(54);
  const Eigen::Matrix3d H = RandomHomography();
  std::vector<Match> all = Matches(H, 201, 0.3);
  for (int i = 0; i < 80; ++i)
    all[i] = {UniformD(0, 640), UniformD(0, 480), UniformD(0, 640), UniformD(0, 480)};
  HomographyEstimatorData data;
  FillSet(all, data);
  HomographyEstimator estimator(4.0f);
  Homography model{};
  std::vector<u16> inliers;
  Random::Seed(5);
  estimator.RunLoRansac(data, model, inliers);
  EXPECT_LT(MatrixDistance(ToEigen(model), H), 1e-3);
  const auto found = std::count_if(inliers.begin(), inliers.end(), [](u16 i) { return i >= 80; });
  EXPECT_GE(found, 0.98 * 121);
  EXPECT_LE(inliers.size() - found, 2u);
  // A required outlier rejects the model.
  BitMask required(data.Size());
  required.Set(0);
  f64 error = 0.0;
  estimator.VerifyModelConstrained(data, model, required, inliers, error);
  EXPECT_TRUE(inliers.empty());
  EXPECT_EQ(error, 0.0);
}

TEST(HomographyEstimator, DegenerateInputsGiveNoModel) {
  const std::vector<Match> cases[] = {
      std::vector<Match>(4, Match{100, 100, 200, 200}),                       // coincident
      {{0, 0, 5, 5}, {10, 10, 20, 20}, {20, 20, 30, 35}, {30, 30, 50, 40}}};  // collinear
  HomographyEstimator estimator(4.0f);
  AlignedArray<Homography> models;
  for (const std::vector<Match>& c : cases) {
    FourMatches2D sample;
    FillArrays(c, 4, sample.x1, sample.y1, sample.x2, sample.y2);
    EXPECT_FALSE(estimator.SolveMinimal(sample, models));
    EXPECT_EQ(models.Size(), 0u);
    HomographyEstimatorData data, subset;
    FillSet(c, data);
    EXPECT_FALSE(estimator.SolveNonMinimal(data, models));
    EXPECT_EQ(models.Size(), 0u);
    // Subsets carry the tags along, and untagged sources give untagged ones.
    HomographyEstimatorData::GetSubset(data, {3, 1}, subset);
    EXPECT_TRUE(subset.tags1.empty());
    data.tags1 = {10, 11, 12, 13};
    data.tags2 = {20, 21, 22, 23};
    HomographyEstimatorData::GetSubset(data, {3, 1}, subset);
    EXPECT_EQ(subset.tags1, (std::vector<u32>{13, 11}));
    EXPECT_EQ(subset.tags2, (std::vector<u32>{23, 21}));
  }
}

}  // namespace

// Homography solver, data class, estimator and sequential extraction on
// pixel matches of planar scenes.
#include "estimation/HomographyEstimator.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/FiniteDifference.h"
#include "common/ProjectiveScene.h"

using namespace scene;

namespace {

// The pixel homography K (R + t n^T / d) K^-1, h33 = 1, of the plane
// n^T X = d seen by a camera at identity and one at [R | t].
Eigen::Matrix3d PlaneHomography(const Eigen::Matrix3d& R, const Eigen::Vector3d& t,
                                const Eigen::Vector3d& n, double d) {
  const Eigen::Matrix3d K = PixelIntrinsics(), H = K * (R + t * n.transpose() / d) * K.inverse();
  return H / H(2, 2);
}

Eigen::Matrix3d RandomHomography() {
  const Eigen::Matrix3d R = RandomRotationD(0.2);
  const Eigen::Vector3d t(UniformD(-0.5, 0.5), UniformD(-0.5, 0.5), UniformD(-0.2, 0.2));
  const Eigen::Vector3d n(UniformD(-0.3, 0.3), UniformD(-0.3, 0.3), 1);
  return PlaneHomography(R, t, n.normalized(), UniformD(3, 6));
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
    FillFour(Corners(H), sample);
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

// Plane A (matches 0..149), plane B (150..239) and random pairs, every match
// tagged 1000 + i and 2000 + i. Sequential extraction finds A, then B among
// the matches A left, found through their tags.
TEST(HomographyEstimator, SequentialExtractionFindsBothPlanesOneAfterTheOther) {
  Random::Seed(54);
  const Eigen::Matrix3d R = RandomRotationD(0.1);
  const Eigen::Vector3d t(0.4, 0.1, 0.05);
  const Eigen::Matrix3d Ha = PlaneHomography(R, t, Eigen::Vector3d(0, 0, 1), 4.0);
  const Eigen::Matrix3d Hb = PlaneHomography(R, t, Eigen::Vector3d(0.6, 0, 0.8), 3.0);
  std::vector<Match> all = Matches(Ha, 150, 0.3), b = Matches(Hb, 90, 0.3);
  all.insert(all.end(), b.begin(), b.end());
  for (int i = 0; i < 60; ++i)
    all.push_back({UniformD(0, 640), UniformD(0, 480), UniformD(0, 640), UniformD(0, 480)});
  HomographyEstimatorData data;
  FillSet(all, data);
  for (u32 i = 0; i < all.size(); ++i) {
    data.tags1.push_back(1000 + i);
    data.tags2.push_back(2000 + i);
  }
  HomographyEstimator estimator(4.0f);
  estimator.maxIterations = 300;
  estimator.minIterations = 20;
  AlignedArray<Homography> models;
  std::vector<std::vector<u16>> lists;
  Random::Seed(5);
  estimator.RunSequentialRansac(data, models, lists);
  // One model per extraction: the dominant plane. Plane-B points near the
  // line where the planes meet fit A as well.
  ASSERT_EQ(models.Size(), 1u);
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_LT(MatrixDistance(ToEigen(models[0]), Ha), 1e-2);
  const auto onA = std::count_if(lists[0].begin(), lists[0].end(), [](u16 i) { return i < 150; });
  EXPECT_GE(onA, 140);
  EXPECT_LE(static_cast<int>(lists[0].size()) - onA, 15);
  // A required match on plane B rejects A.
  std::vector<u16> inliers, rest;
  f64 error = 0.0;
  BitMask required(data.Size());
  required.Set(200);
  estimator.VerifyModelConstrained(data, models[0], required, inliers, error);
  EXPECT_TRUE(inliers.empty());
  EXPECT_EQ(error, 0.0);
  for (u16 i = 0; i < data.Size(); ++i)
    if (!std::binary_search(lists[0].begin(), lists[0].end(), i)) rest.push_back(i);
  HomographyEstimatorData remaining;
  HomographyEstimatorData::GetSubset(data, rest, remaining);
  ASSERT_EQ(remaining.tags2.size(), rest.size());
  estimator.RunSequentialRansac(remaining, models, lists);
  ASSERT_EQ(models.Size(), 1u);
  EXPECT_LT(MatrixDistance(ToEigen(models[0]), Hb), 1e-2);
  int onB = 0;
  for (u16 k = 0; k < rest.size(); ++k) {
    EXPECT_EQ(remaining.tags1[k] + 1000, remaining.tags2[k]);
    EXPECT_EQ(remaining.tags1[k], 1000u + rest[k]);
    onB +=
        std::binary_search(lists[0].begin(), lists[0].end(), k) && rest[k] >= 150 && rest[k] < 240;
  }
  EXPECT_GE(onB, 80);
  EXPECT_LE(static_cast<int>(lists[0].size()) - onB, 10);
}

TEST(HomographyEstimator, DegenerateInputsGiveNoModel) {
  const std::vector<Match> cases[] = {
      std::vector<Match>(4, Match{100, 100, 200, 200}),                       // coincident
      {{0, 0, 5, 5}, {10, 10, 20, 20}, {20, 20, 30, 35}, {30, 30, 50, 40}}};  // collinear
  HomographyEstimator estimator(4.0f);
  AlignedArray<Homography> models;
  for (const std::vector<Match>& c : cases) {
    FourMatches2D sample;
    FillFour(c, sample);
    EXPECT_FALSE(estimator.SolveMinimal(sample, models));
    EXPECT_EQ(models.Size(), 0u);
    HomographyEstimatorData data, subset;
    FillSet(c, data);
    EXPECT_FALSE(estimator.SolveNonMinimal(data, models));
    EXPECT_EQ(models.Size(), 0u);
    // Untagged sources give untagged subsets.
    HomographyEstimatorData::GetSubset(data, {0, 1}, subset);
    EXPECT_TRUE(subset.tags1.empty());
    EXPECT_EQ(subset.Size(), 2u);
  }
}

}  // namespace

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

// Exact and degenerate matches through the four-point and the least-squares
// path; coincident or collinear ones give no model.
TEST(HomographyEstimator, SolversDegenerateInputNormalEquationsAndRobustRun) {
  Random::Seed(51);
  HomographyEstimator estimator(4.0f);
  AlignedArray<Homography> models;
  HomographyEstimatorData data;
  FourMatches2D sample;
  for (int trial = 0; trial < 10; ++trial) {
    const Eigen::Matrix3d H = RandomHomography();
    // Well spread: three nearly collinear points would make any fit
    // unstable. The first four make the sample; all seven a full block and a
    // tail of three.
    const std::vector<Match> spread = {
        Transfer(H, 40, 40),   Transfer(H, 600, 40), Transfer(H, 40, 440), Transfer(H, 600, 440),
        Transfer(H, 320, 240), Transfer(H, 320, 40), Transfer(H, 40, 240)};
    FillArrays(spread, 4, sample.x1, sample.y1, sample.x2, sample.y2);
    ASSERT_TRUE(estimator.SolveMinimal(sample, models));
    ASSERT_EQ(models.Size(), 1u);
    EXPECT_LT(MatrixDistance(ToEigen(models[0]), H), 1e-4);
    FillSet(spread, data);
    ASSERT_TRUE(estimator.SolveNonMinimal(data, models));
    EXPECT_LT(MatrixDistance(ToEigen(models[0]), H), 1e-4);
  }
  const std::vector<Match> cases[] = {
      std::vector<Match>(4, Match{100, 100, 200, 200}),                       // coincident
      {{0, 0, 5, 5}, {10, 10, 20, 20}, {20, 20, 30, 35}, {30, 30, 50, 40}}};  // collinear
  for (const std::vector<Match>& c : cases) {
    FillArrays(c, 4, sample.x1, sample.y1, sample.x2, sample.y2);
    EXPECT_FALSE(estimator.SolveMinimal(sample, models));
    EXPECT_EQ(models.Size(), 0u);
    FillSet(c, data);
    EXPECT_FALSE(estimator.SolveNonMinimal(data, models));
    EXPECT_EQ(models.Size(), 0u);
  }
  // The data's normal equations against finite differences, normalised as
  // the optimiser runs them.
  Random::Seed(53);
  const Eigen::Matrix3d truth = RandomHomography();
  FillSet(Matches(truth, 41, 0.0), data);
  Homography H = FromEigen<Homography>(truth), off;
  data.NormalizeData(0.5f, H);
  fd::ExpectGaussNewtonHessianAtZeroResidual(data, H, {1e-3, 1e-2, 1e-6});
  off = H;
  off.m[0][2] += 0.01f;
  off.m[2][1] += 0.005f;
  fd::ExpectNormalEquationMatchesSSE(data, off);
  data.DenormalizeModel(H);
  EXPECT_LT(MatrixDistance(ToEigen(H), truth), 1e-4);

  // A robust run finds the plane among 80 outliers.
  Random::Seed(54);
  const Eigen::Matrix3d plane = RandomHomography();
  std::vector<Match> all = Matches(plane, 201, 0.3);
  for (int i = 0; i < 80; ++i)
    all[i] = {UniformD(0, 640), UniformD(0, 480), UniformD(0, 640), UniformD(0, 480)};
  HomographyEstimatorData subset;
  FillSet(all, data);
  Homography model{};
  std::vector<u16> inliers;
  estimator.RunLoRansac(data, model, inliers);
  EXPECT_LT(MatrixDistance(ToEigen(model), plane), 1e-3);
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
  // Subsets carry the tags along, and untagged sources give untagged ones.
  HomographyEstimatorData::GetSubset(data, {3, 1}, subset);
  EXPECT_TRUE(subset.tags1.empty());
  data.tags1 = data.tags2 = std::vector<u32>(data.Size(), 7);
  data.tags1[3] = 13;
  data.tags2[1] = 21;
  HomographyEstimatorData::GetSubset(data, {3, 1}, subset);
  EXPECT_EQ(subset.tags1, (std::vector<u32>{13, 7}));
  EXPECT_EQ(subset.tags2, (std::vector<u32>{7, 21}));
  // Tags shorter than the matches: a match past them gets none (0), not the
  // stale value left beyond the tags' end.
  data.tags1.resize(3);
  data.tags2.resize(3);
  HomographyEstimatorData::GetSubset(data, {3, 1}, subset);
  EXPECT_EQ(subset.tags1, (std::vector<u32>{0, 7}));
  EXPECT_EQ(subset.tags2, (std::vector<u32>{0, 21}));
}

}  // namespace

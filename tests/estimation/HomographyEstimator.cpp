// Homography solver, data class, estimator and sequential extraction on
// pixel matches of planar scenes.
#include "estimation/HomographyEstimator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "common/FiniteDifference.h"
#include "common/ProjectiveScene.h"

using namespace scene;

namespace {

struct PlaneView {
  Eigen::Matrix3d H;  // pixel homography of the plane, h33 = 1
  std::vector<Match> matches;
};

// Points of the plane n^T X = d seen by the first camera at identity and the
// second at [R | t]; H = K (R + t n^T / d) K^-1.
PlaneView MakePlane(const Eigen::Matrix3d& R, const Eigen::Vector3d& t, const Eigen::Vector3d& n,
                    double d, int count, double noise = 0.0) {
  PlaneView p;
  const Eigen::Matrix3d K = PixelIntrinsics();
  p.H = K * (R + t * n.transpose() / d) * K.inverse();
  p.H /= p.H(2, 2);
  while (static_cast<int>(p.matches.size()) < count) {
    const Eigen::Vector3d ray(UniformD(-0.5, 0.5), UniformD(-0.4, 0.4), 1.0);
    const double depth = d / n.dot(ray);
    if (depth < 1.0 || depth > 20.0) continue;
    const Eigen::Vector3d X = depth * ray, X2 = R * X + t;
    if (X2.z() < 0.5) continue;
    p.matches.push_back({500 * ray.x() + 320 + noise * GaussianD(),
                         500 * ray.y() + 240 + noise * GaussianD(),
                         500 * X2.x() / X2.z() + 320 + noise * GaussianD(),
                         500 * X2.y() / X2.z() + 240 + noise * GaussianD()});
  }
  return p;
}

PlaneView RandomPlane(int count, double noise = 0.0) {
  const Eigen::Matrix3d R = RandomRotationD(0.2);
  const Eigen::Vector3d t(UniformD(-0.5, 0.5), UniformD(-0.5, 0.5), UniformD(-0.2, 0.2));
  const Eigen::Vector3d n =
      Eigen::Vector3d(UniformD(-0.3, 0.3), UniformD(-0.3, 0.3), 1).normalized();
  return MakePlane(R, t, n, UniformD(3, 6), count, noise);
}

// The four matches nearest the image corners: a well-conditioned sample
// (three nearly collinear points would make any four-point fit unstable).
std::vector<Match> SpreadFour(const std::vector<Match>& m) {
  std::vector<Match> four;
  for (const std::array<double, 2>& c :
       {std::array<double, 2>{0, 0}, {640, 0}, {0, 480}, {640, 480}}) {
    const auto distance = [&](const Match& a) { return std::hypot(a.x1 - c[0], a.y1 - c[1]); };
    four.push_back(*std::min_element(m.begin(), m.end(), [&](const Match& a, const Match& b) {
      return distance(a) < distance(b);
    }));
  }
  return four;
}

TEST(HomographyEstimator, FourPointIsExactLeastSquaresAgreesAndNormalisesTheData) {
  Random::Seed(51);
  HomographyEstimator estimator(4.0f);
  AlignedArray<Homography> minimal, nonMinimal;
  for (int trial = 0; trial < 20; ++trial) {
    const PlaneView p = RandomPlane(200);
    const std::vector<Match> four = SpreadFour(p.matches);
    FourMatches2D sample;
    FillFour(four, sample);
    ASSERT_TRUE(estimator.SolveMinimal(sample, minimal));
    ASSERT_EQ(minimal.Size(), 1u);
    EXPECT_LT(MatrixDistance(ToEigen(minimal[0]), p.H), 1e-4);
    HomographyEstimatorData data;
    FillSet(four, data);
    ASSERT_TRUE(estimator.SolveNonMinimal(data, nonMinimal));
    EXPECT_LT((ToEigen(minimal[0]) - ToEigen(nonMinimal[0])).norm(),
              1e-4 * ToEigen(minimal[0]).norm());
  }
  // Least squares on noisy matches, normalised in place (the tail copy too).
  const PlaneView p = RandomPlane(103, 0.3);
  HomographyEstimatorData data;
  FillSet(p.matches, data);
  ASSERT_TRUE(estimator.SolveNonMinimal(data, nonMinimal));
  EXPECT_LT(MatrixDistance(ToEigen(nonMinimal[0]), p.H), 5e-3);
  EXPECT_LT((MeanDistances(data) - Eigen::Vector2d::Constant(std::sqrt(2.0))).norm(), 1e-4);
  // Four coincident points leave the system singular: no model.
  FourMatches2D same;
  FillFour(std::vector<Match>(4, Match{100, 100, 200, 200}), same);
  EXPECT_FALSE(estimator.SolveMinimal(same, minimal));
  EXPECT_EQ(minimal.Size(), 0u);
}

TEST(HomographyEstimatorData, NormalEquationsMatchFiniteDifferences) {
  Random::Seed(53);
  const PlaneView noisy = RandomPlane(40, 1.0);
  HomographyEstimatorData data;
  FillSet(noisy.matches, data);
  Homography H = FromEigen<Homography>(noisy.H);
  data.NormalizeData(0.5f, H);
  H.m[0][2] += 0.01f;
  H.m[2][1] += 0.005f;
  fd::ExpectNormalEquationMatchesSSE(data, H);
  const PlaneView exact = RandomPlane(40);
  FillSet(exact.matches, data);
  Homography He = FromEigen<Homography>(exact.H);
  data.NormalizeData(0.5f, He);
  fd::ExpectGaussNewtonHessianAtZeroResidual(data, He, {1e-3, 1e-2, 1e-6});
  data.DenormalizeModel(He);
  EXPECT_LT(MatrixDistance(ToEigen(He), exact.H), 1e-4);
}

// Plane A at even positions, plane B at odd ones below 180, random pairs at
// the odd ones after; every match tagged 1000 + i and 2000 + i.
class TwoPlaneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Random::Seed(54);
    const Eigen::Matrix3d R = RandomRotationD(0.1);
    const Eigen::Vector3d t(0.4, 0.1, 0.05);
    const PlaneView a = MakePlane(R, t, Eigen::Vector3d(0, 0, 1), 4.0, 150, 0.3);
    const PlaneView b = MakePlane(R, t, Eigen::Vector3d(0.6, 0, 0.8), 3.0, 90, 0.3);
    Ha_ = a.H;
    Hb_ = b.H;
    std::vector<Match> all;
    for (int i = 0; i < 150; ++i) {
      all.push_back(a.matches[i]);
      all.push_back(
          i < 90 ? b.matches[i]
                 : Match{UniformD(0, 640), UniformD(0, 480), UniformD(0, 640), UniformD(0, 480)});
    }
    FillSet(all, data_);
    for (u32 i = 0; i < all.size(); ++i) {
      data_.tags1.push_back(1000 + i);
      data_.tags2.push_back(2000 + i);
    }
  }
  Eigen::Matrix3d Ha_, Hb_;
  HomographyEstimatorData data_;
};

TEST_F(TwoPlaneTest, SequentialExtractionFindsBothPlanesOneAfterTheOther) {
  HomographyEstimator estimator(4.0f * 0.25f * 4.0f);
  estimator.maxIterations = 300;
  estimator.minIterations = 20;
  AlignedArray<Homography> models;
  std::vector<std::vector<u16>> lists;
  Random::Seed(5);
  estimator.RunSequentialRansac(data_, models, lists);
  // One model per extraction: the dominant plane.
  ASSERT_EQ(models.Size(), 1u);
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_LT(MatrixDistance(ToEigen(models[0]), Ha_), 1e-2);
  const auto onA =
      std::count_if(lists[0].begin(), lists[0].end(), [](u16 i) { return i % 2 == 0; });
  EXPECT_GE(onA, 140);
  // Plane-B points near the line where the planes meet fit A as well.
  EXPECT_LE(static_cast<int>(lists[0].size()) - onA, 15);
  // The matches it did not explain, gathered with their tags, hold plane B.
  std::vector<u16> rest;
  for (u16 i = 0; i < data_.Size(); ++i)
    if (!std::binary_search(lists[0].begin(), lists[0].end(), i)) rest.push_back(i);
  HomographyEstimatorData remaining;
  HomographyEstimatorData::GetSubset(data_, rest, remaining);
  ASSERT_EQ(remaining.tags1.size(), rest.size());
  for (size_t k = 0; k < rest.size(); ++k) {
    EXPECT_EQ(remaining.tags1[k], 1000u + rest[k]);
    EXPECT_EQ(remaining.tags2[k], 2000u + rest[k]);
  }
  estimator.RunSequentialRansac(remaining, models, lists);
  ASSERT_EQ(models.Size(), 1u);
  EXPECT_LT(MatrixDistance(ToEigen(models[0]), Hb_), 1e-2);
  int onB = 0;
  for (u16 k : lists[0]) {
    const u32 i = remaining.tags1[k] - 1000;
    onB += i % 2 == 1 && i / 2 < 90;
  }
  EXPECT_GE(onB, 80);
  EXPECT_LE(static_cast<int>(lists[0].size()) - onB, 10);
}

TEST_F(TwoPlaneTest, RequiredMatchRejectsModelAndUntaggedSubsetsStayUntagged) {
  HomographyEstimator estimator(4.0f);
  HomographyEstimatorData small;
  // Untagged sources give untagged subsets.
  HomographyEstimatorData untagged;
  FillSet(std::vector<Match>(5, Match{1, 2, 3, 4}), untagged);
  HomographyEstimatorData::GetSubset(untagged, {0, 1}, small);
  EXPECT_TRUE(small.tags1.empty());
  EXPECT_EQ(small.Size(), 2u);

  const Homography H = FromEigen<Homography>(Ha_);
  std::vector<u16> inliers;
  f64 error = 0.0;
  BitMask required(data_.Size());
  required.Set(0);
  estimator.VerifyModelConstrained(data_, H, required, inliers, error);
  EXPECT_GE(inliers.size(), 140u);
  required.Set(1);  // on plane B
  estimator.VerifyModelConstrained(data_, H, required, inliers, error);
  EXPECT_TRUE(inliers.empty());
  EXPECT_EQ(error, 0.0);
}

}  // namespace

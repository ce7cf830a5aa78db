// Homography solver, data class, estimator and sequential extraction on
// pixel matches of planar scenes.
#include "estimation/HomographyEstimator.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "FiniteDifference.h"
#include "estimation/TestMatchSets.h"
#include "estimation/TwoViewScene.h"

namespace {

using twoview::Match;

struct PlaneScene {
  Eigen::Matrix3d H;  // pixel homography of the plane
  std::vector<Match> matches;
};

// Points of the plane n^T X = d seen by the first camera at identity and the
// second at [R | t]; H = K (R + t n^T / d) K^-1.
PlaneScene MakePlane(const Eigen::Matrix3d& R, const Eigen::Vector3d& t, const Eigen::Vector3d& n,
                     double d, int count, double noise = 0.0) {
  PlaneScene p;
  const Eigen::Matrix3d K = twoview::PixelIntrinsics();
  p.H = K * (R + t * n.transpose() / d) * K.inverse();
  while (static_cast<int>(p.matches.size()) < count) {
    const Eigen::Vector3d ray(twoview::Uniform(-0.5, 0.5), twoview::Uniform(-0.4, 0.4), 1.0);
    const double depth = d / n.dot(ray);
    if (depth < 1.0 || depth > 20.0) continue;
    const Eigen::Vector3d X = depth * ray, X2 = R * X + t;
    if (X2.z() < 0.5) continue;
    p.matches.push_back({500 * ray.x() + 320 + noise * twoview::Gaussian(),
                         500 * ray.y() + 240 + noise * twoview::Gaussian(),
                         500 * X2.x() / X2.z() + 320 + noise * twoview::Gaussian(),
                         500 * X2.y() / X2.z() + 240 + noise * twoview::Gaussian()});
  }
  return p;
}

PlaneScene RandomPlane(int count, double noise = 0.0) {
  const Eigen::Matrix3d R = twoview::RandomRotation(0.2);
  const Eigen::Vector3d t(twoview::Uniform(-0.5, 0.5), twoview::Uniform(-0.5, 0.5),
                          twoview::Uniform(-0.2, 0.2));
  const Eigen::Vector3d n =
      Eigen::Vector3d(twoview::Uniform(-0.3, 0.3), twoview::Uniform(-0.3, 0.3), 1).normalized();
  return MakePlane(R, t, n, twoview::Uniform(3, 6), count, noise);
}

// The four matches nearest the image corners: a well-conditioned sample
// (three nearly collinear points would make any four-point fit unstable).
PlaneScene SpreadFour(const PlaneScene& p) {
  PlaneScene q{p.H, {}};
  const double corners[4][2] = {{0, 0}, {640, 0}, {0, 480}, {640, 480}};
  for (const auto& c : corners) {
    const Match* best = &p.matches[0];
    for (const Match& m : p.matches) {
      if (std::hypot(m.x1 - c[0], m.y1 - c[1]) < std::hypot(best->x1 - c[0], best->y1 - c[1]))
        best = &m;
    }
    q.matches.push_back(*best);
  }
  return q;
}

Eigen::Matrix3d ToEigen(const LA::AlignedMatrix3f& H) {
  Eigen::Matrix3d M;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) M(r, c) = H.m[r][c];
  return M;
}

Homography FromEigen(const Eigen::Matrix3d& M) {
  Homography H;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) H.m[r][c] = static_cast<float>(M(r, c) / M(2, 2));
    H.m[r][3] = 0.0f;
  }
  return H;
}

void FillFour(const std::vector<Match>& m, FourMatches2D& s) {
  for (int i = 0; i < 4; ++i) {
    s.x1[i] = static_cast<float>(m[i].x1);
    s.y1[i] = static_cast<float>(m[i].y1);
    s.x2[i] = static_cast<float>(m[i].x2);
    s.y2[i] = static_cast<float>(m[i].y2);
  }
}

TEST(HomographyEstimator, FourPointIsExactAndMatchesTheNPointPath) {
  Random::Seed(51);
  HomographyEstimator estimator(4.0f);
  AlignedArray<Homography> minimal, nonMinimal;
  for (int trial = 0; trial < 20; ++trial) {
    const PlaneScene p = SpreadFour(RandomPlane(200));
    FourMatches2D sample;
    FillFour(p.matches, sample);
    ASSERT_TRUE(estimator.SolveMinimal(sample, minimal));
    ASSERT_EQ(minimal.Size(), 1u);
    EXPECT_LT(twoview::MatrixDistance(ToEigen(minimal[0]), p.H), 1e-4);
    HomographyEstimatorData data;
    testsets::FillSet(p.matches, data);
    ASSERT_TRUE(estimator.SolveNonMinimal(data, nonMinimal));
    EXPECT_LT((ToEigen(minimal[0]) - ToEigen(nonMinimal[0])).norm(),
              1e-4 * ToEigen(minimal[0]).norm());
  }
}

TEST(HomographyEstimator, NonMinimalLeavesDataNormalisedAndRejectsDegenerateInput) {
  Random::Seed(52);
  HomographyEstimator estimator(4.0f);
  AlignedArray<Homography> models;
  const PlaneScene p = RandomPlane(103, 0.3);
  HomographyEstimatorData data;
  testsets::FillSet(p.matches, data);
  ASSERT_TRUE(estimator.SolveNonMinimal(data, models));
  EXPECT_LT(twoview::MatrixDistance(ToEigen(models[0]), p.H), 5e-3);
  double sum1 = 0.0, sum2 = 0.0;
  float m[4];
  for (u32 i = 0; i < data.packedCount; ++i) {
    data.GetMatch(i, m);
    sum1 += std::hypot(m[0], m[1]);
    sum2 += std::hypot(m[2], m[3]);
  }
  for (u32 t = 0; t < data.tailCount; ++t) {
    sum1 += std::hypot(data.tail1[t].x, data.tail1[t].y);
    sum2 += std::hypot(data.tail2[t].x, data.tail2[t].y);
  }
  EXPECT_NEAR(sum1 / 103, std::sqrt(2.0), 1e-4);
  EXPECT_NEAR(sum2 / 103, std::sqrt(2.0), 1e-4);
  // Four coincident points leave the system singular: no model.
  std::vector<Match> same(4, Match{100, 100, 200, 200});
  FourMatches2D sample;
  FillFour(same, sample);
  EXPECT_FALSE(estimator.SolveMinimal(sample, models));
  EXPECT_EQ(models.Size(), 0u);
}

TEST(HomographyEstimatorData, NormalEquationsMatchFiniteDifferences) {
  Random::Seed(53);
  const PlaneScene noisy = RandomPlane(40, 1.0);
  HomographyEstimatorData data;
  testsets::FillSet(noisy.matches, data);
  Homography H = FromEigen(noisy.H);
  data.NormalizeData(0.5f, H);
  H.m[0][2] += 0.01f;
  H.m[2][1] += 0.005f;
  fd::ExpectNormalEquationMatchesSSE(data, H);
  const PlaneScene exact = RandomPlane(40);
  HomographyEstimatorData exactData;
  testsets::FillSet(exact.matches, exactData);
  Homography He = FromEigen(exact.H);
  exactData.NormalizeData(0.5f, He);
  fd::Options o;
  o.tolerance = 1e-2;
  fd::ExpectGaussNewtonHessianAtZeroResidual(exactData, He, o);
  exactData.DenormalizeModel(He);
  EXPECT_LT(twoview::MatrixDistance(ToEigen(He), exact.H), 1e-4);
}

class TwoPlaneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Random::Seed(54);
    const Eigen::Matrix3d R = twoview::RandomRotation(0.1);
    const Eigen::Vector3d t(0.4, 0.1, 0.05);
    const PlaneScene a = MakePlane(R, t, Eigen::Vector3d(0, 0, 1), 4.0, 150, 0.3);
    const PlaneScene b = MakePlane(R, t, Eigen::Vector3d(0.6, 0, 0.8), 3.0, 90, 0.3);
    Ha_ = a.H;
    Hb_ = b.H;
    // Interleaved: plane A at even positions below 300, plane B at odd ones,
    // random pairs after.
    std::vector<Match> all;
    for (int i = 0; i < 150; ++i) {
      all.push_back(a.matches[i]);
      all.push_back(i < 90 ? b.matches[i]
                           : Match{twoview::Uniform(0, 640), twoview::Uniform(0, 480),
                                   twoview::Uniform(0, 640), twoview::Uniform(0, 480)});
    }
    testsets::FillSet(all, data_);
    data_.tags1.resize(all.size());
    data_.tags2.resize(all.size());
    for (u32 i = 0; i < all.size(); ++i) {
      data_.tags1[i] = 1000 + i;
      data_.tags2[i] = 2000 + i;
    }
  }
  bool OnPlaneA(u32 i) const { return i % 2 == 0; }
  bool OnPlaneB(u32 i) const { return i % 2 == 1 && i / 2 < 90; }

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
  EXPECT_LT(twoview::MatrixDistance(ToEigen(models[0]), Ha_), 1e-2);
  int onA = 0;
  for (u16 i : lists[0]) onA += OnPlaneA(i) ? 1 : 0;
  EXPECT_GE(onA, 140);
  // Plane-B points near the line where the planes meet fit A as well.
  EXPECT_LE(static_cast<int>(lists[0].size()) - onA, 15);
  // The matches it did not explain, gathered with their tags, hold plane B.
  std::vector<u16> rest;
  for (u16 i = 0; i < data_.Size(); ++i) {
    if (!std::binary_search(lists[0].begin(), lists[0].end(), i)) rest.push_back(i);
  }
  HomographyEstimatorData remaining;
  HomographyEstimatorData::GetSubset(data_, rest, remaining);
  ASSERT_EQ(remaining.tags1.size(), rest.size());
  for (size_t k = 0; k < rest.size(); ++k) {
    EXPECT_EQ(remaining.tags1[k], 1000u + rest[k]);
    EXPECT_EQ(remaining.tags2[k], 2000u + rest[k]);
  }
  estimator.RunSequentialRansac(remaining, models, lists);
  ASSERT_EQ(models.Size(), 1u);
  EXPECT_LT(twoview::MatrixDistance(ToEigen(models[0]), Hb_), 1e-2);
  int onB = 0;
  for (u16 k : lists[0]) onB += OnPlaneB(remaining.tags1[k] - 1000) ? 1 : 0;
  EXPECT_GE(onB, 80);
  EXPECT_LE(static_cast<int>(lists[0].size()) - onB, 10);
}

TEST_F(TwoPlaneTest, TooFewInliersGiveNoModel) {
  // 19 matches of one plane and nothing else.
  std::vector<u16> few;
  for (u16 i = 0; i < 38; i += 2) few.push_back(i);
  HomographyEstimatorData small;
  HomographyEstimatorData::GetSubset(data_, few, small);
  HomographyEstimator estimator(4.0f);
  AlignedArray<Homography> models;
  std::vector<std::vector<u16>> lists;
  estimator.RunSequentialRansac(small, models, lists);
  EXPECT_EQ(models.Size(), 0u);
  EXPECT_TRUE(lists.empty());
  few.push_back(38);
  HomographyEstimatorData::GetSubset(data_, few, small);
  estimator.RunSequentialRansac(small, models, lists);
  EXPECT_EQ(models.Size(), 1u);
  // Untagged sources give untagged subsets.
  HomographyEstimatorData untagged, copy;
  testsets::FillSet(std::vector<Match>(5, Match{1, 2, 3, 4}), untagged);
  HomographyEstimatorData::GetSubset(untagged, {0, 1}, copy);
  EXPECT_TRUE(copy.tags1.empty());
  EXPECT_EQ(copy.Size(), 2u);
}

TEST_F(TwoPlaneTest, RequiredMatchRejectsModel) {
  HomographyEstimator estimator(4.0f);
  const Homography H = FromEigen(Ha_);
  std::vector<u16> inliers;
  f64 error = 0.0;
  estimator.VerifyModel(data_, H, inliers, error);
  ASSERT_GE(inliers.size(), 140u);
  BitMask required(data_.Size());
  required.Set(0);
  estimator.VerifyModelConstrained(data_, H, required, inliers, error);
  EXPECT_GE(inliers.size(), 140u);
  required.Set(1);  // on plane B
  estimator.VerifyModelConstrained(data_, H, required, inliers, error);
  EXPECT_TRUE(inliers.empty());
  EXPECT_EQ(error, 0.0);
  EXPECT_FLOAT_EQ(estimator.ComputeAllInlierProbability(0.5f), 0.0625f);
}

}  // namespace

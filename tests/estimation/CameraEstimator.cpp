// Camera estimator: the robust loop on a noisy scene with half outliers, too
// few matches, the verification rules (depth, strict
// threshold, odd last match, required matches), the four-wide verification
// against one match at a time, and the samplers.
#include "estimation/CameraEstimator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "common/ProjectiveScene.h"

using namespace scene;

namespace {

// 9 sigma^2 for 1 px noise: about 99 % of the inliers pass.
constexpr float kThreshold = 9.0f / (kFocal * kFocal);

Camera Identity() {
  Camera c{};
  c.m[0][0] = c.m[1][1] = c.m[2][2] = 1.0f;
  return c;
}

}  // namespace

TEST(CameraEstimator, HalfOutliersNoisyMatchesGiveThePose) {
  Random::Seed(21);
  CameraEstimator estimator(0.0f);
  for (int scene = 0; scene < 5; ++scene) {
    const Pose truth = RandomPose();
    const int n = 500, outliers = 250;
    CameraEstimatorData data;
    Fill(MakeMatches(truth, n, 1.0f, outliers), data);
    estimator.threshold = kThreshold;
    Camera model = Identity();
    std::vector<u16> inliers;
    Random::Seed(5);
    estimator.RunLoRansac(data, model, inliers);
    u32 found = 0;
    for (const u16 i : inliers) found += i >= outliers;
    EXPECT_GE(found, 0.95 * (n - outliers)) << scene;
    const Pose e = FromCamera(model);
    EXPECT_LT(RotationError(e.R, truth.R), 0.5f * 3.14159265f / 180.0f) << scene;
    EXPECT_LT(CentreError(e, truth), 0.01f) << scene;
    EXPECT_TRUE(std::is_sorted(inliers.begin(), inliers.end()));
  }
}

TEST(CameraEstimator, TooFewMatchesLeaveTheModel) {
  CameraEstimator estimator(0.0f);
  estimator.threshold = kThreshold;
  CameraEstimatorData data;
  Random::Seed(23);
  Fill(MakeMatches(RandomPose(), 5, 0.0f), data);
  Camera model = Identity();
  std::vector<u16> inliers = {1, 2};
  EXPECT_EQ(estimator.RunLoRansac(data, model, inliers), 0u);
  EXPECT_TRUE(inliers.empty());
  EXPECT_EQ(model.m[0][0], 1.0f);
  EXPECT_FALSE(estimator.OptimizeOnAllData(data, model));
}

TEST(CameraEstimator, VerificationRules) {
  CameraEstimator estimator(0.0f);
  // Identity camera; matches 0..6 exact at depth 2, except: 2 lies on the
  // camera plane, 3 behind the camera (with a tiny error), 6 is far off.
  CameraEstimatorData data;
  data.Resize(7);
  for (u32 i = 0; i < 7; ++i) {
    const float x = 0.1f * i, y = -0.05f * i;
    data.worldPoints[i] = {{2.0f * x, 2.0f * y, 2.0f, 1.0f}};
    data.imagePoints[i] = {x, y};
  }
  data.worldPoints[2] = {{0.3f, 0.1f, 0.0f, 1.0f}};
  data.worldPoints[3] = {{-0.6f, 0.3f, -2.0f, 1.0f}};  // projects onto (0.3, -0.15)
  data.imagePoints[3] = {0.3f, -0.15f};
  data.imagePoints[6] = {0.9f, 0.9f};
  const Camera c = Identity();
  std::vector<u16> inliers;
  f64 error = -1.0;
  estimator.threshold = 1e-4f;
  estimator.VerifyModel(data, c, inliers, error);
  EXPECT_EQ(inliers, (std::vector<u16>{0, 1, 4, 5}));
  EXPECT_NEAR(error, 0.0, 1e-9);
  // Odd N: the last match alone passes as it would in a pair.
  data.imagePoints[6] = {0.6f, -0.3f};
  estimator.VerifyModel(data, c, inliers, error);
  EXPECT_EQ(inliers, (std::vector<u16>{0, 1, 4, 5, 6}));
  // Threshold 0: nothing, the comparison being strict.
  estimator.threshold = 0.0f;
  estimator.VerifyModel(data, c, inliers, error);
  EXPECT_TRUE(inliers.empty());
  // A required match behind the camera rejects the model.
  estimator.threshold = 1e-4f;
  BitMask required(7);
  required.Set(3);
  estimator.VerifyModelConstrained(data, c, required, inliers, error);
  EXPECT_TRUE(inliers.empty());
  EXPECT_EQ(error, 0.0);
  // Inlier SSE adds the flagged errors without a depth test.
  BitMask mask(7);
  mask.Set(3);
  f64 sse = -1.0;
  estimator.ComputeInlierSSE(data, c, mask, sse);
  EXPECT_NEAR(sse, 0.0, 1e-9);
}

TEST(CameraEstimator, FourWideVerificationEqualsOneMatchAtATime) {
  Random::Seed(21);
  CameraEstimator estimator(0.0f);
  estimator.threshold = kThreshold;
  const Pose truth = RandomPose();
  // Every length of the last group of four, and a large set.
  for (const int n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 1001}) {
    CameraEstimatorData data;
    Fill(MakeMatches(truth, n, 2.0f, n / 3), data);
    // Some points mirrored through the camera centre C: camera coordinates
    // -2 p, behind the camera with the same image point.
    const Eigen::Vector3f C = -truth.R.transpose() * truth.t;
    for (int i = 2; i < n; i += 7) {
      float* X = data.worldPoints[i].v;
      for (int k = 0; k < 3; ++k) X[k] = C(k) - 2.0f * (X[k] - C(k));
      float z;
      ComputeMatchSquaredError(ToCamera(truth), data.worldPoints[i], data.imagePoints[i], z);
      ASSERT_LT(z, 0.0f);
    }
    std::vector<u16> expected, inliers;
    f64 expectedError = 0.0, error = -1.0;
    for (int i = 0; i < n; ++i) {
      float z;
      const float e =
          ComputeMatchSquaredError(ToCamera(truth), data.worldPoints[i], data.imagePoints[i], z);
      if (z > 0.0f && kThreshold > e) {
        expected.push_back(static_cast<u16>(i));
        expectedError += e;
      }
    }
    estimator.VerifyModel(data, ToCamera(truth), inliers, error);
    EXPECT_EQ(inliers, expected) << n;
    // The one-match form groups its sums differently: float rounding apart.
    EXPECT_NEAR(error, expectedError, 1e-4 * expectedError) << n;
    // Required inliers keep the result; one required outlier rejects it.
    BitMask required(static_cast<u32>(n));
    for (const u16 i : expected) required.Set(i);
    estimator.VerifyModelConstrained(data, ToCamera(truth), required, inliers, error);
    EXPECT_EQ(inliers, expected) << n;
    if (expected.size() < static_cast<size_t>(n)) {
      for (int i = 0; i < n; ++i)
        if (!std::binary_search(expected.begin(), expected.end(), static_cast<u16>(i))) {
          required.Set(static_cast<u32>(i));
          break;
        }
      estimator.VerifyModelConstrained(data, ToCamera(truth), required, inliers, error);
      EXPECT_TRUE(inliers.empty()) << n;
      EXPECT_EQ(error, 0.0) << n;
    }
  }
}

TEST(CameraEstimator, SamplersDrawDistinctMatches) {
  CameraEstimator estimator(0.0f);
  CameraEstimatorData data;
  data.Resize(12);
  for (u32 i = 0; i < 12; ++i) {
    data.worldPoints[i] = {{float(i), 0.0f, 0.0f, 1.0f}};
    data.imagePoints[i] = {float(i), 0.0f};
  }
  const auto ids = [](const MatchSet3DTo2DN<6>& s) {
    std::set<int> out;
    for (const auto& p : s.imagePoints) out.insert(int(p.x));
    return out;
  };
  Random::Seed(24);
  MatchSet3DTo2DN<6> sample;
  data.Resize(6);
  estimator.GenerateMinimalSample(data, sample);
  EXPECT_EQ(ids(sample), (std::set<int>{0, 1, 2, 3, 4, 5}));
  data.Resize(12);
  const std::vector<u16> order = {11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
  for (int trial = 0; trial < 50; ++trial) {
    ASSERT_TRUE(estimator.GenerateMinimalSampleProsac(data, order, 8, true, sample));
    const std::set<int> s = ids(sample);
    EXPECT_EQ(s.size(), 6u);
    EXPECT_TRUE(s.count(4));  // order[n - 1]
    EXPECT_EQ(*s.begin() >= 4, true);
  }
  EXPECT_FALSE(estimator.GenerateMinimalSampleProsac(data, order, 5, false, sample));

  std::vector<std::vector<u16>> bins(8);
  for (u16 i = 0; i < 12; ++i) bins[i % 8].push_back(i);
  ASSERT_TRUE(estimator.GenerateMinimalSampleArsac(data, bins, sample));
  EXPECT_EQ(ids(sample).size(), 6u);
  const std::vector<float> table = {0, 0.25f, 0.25f, 0.5f, 0.5f, 0.75f, 0.75f, 0.875f, 1.0f};
  EXPECT_FALSE(estimator.GenerateMinimalSampleParsac(data, table, bins, sample));  // 5 bins weigh
  for (int k = 3; k < 8; ++k) bins[k].clear();
  EXPECT_FALSE(estimator.GenerateMinimalSampleArsac(data, bins, sample));
}

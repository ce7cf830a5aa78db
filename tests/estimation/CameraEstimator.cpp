// Camera pose from 3-D/2-D matches: the verification rules and the data's
// depth normalisation against hand-computed answers, the data's normal
// equations against finite differences, a robust run on half outliers, and
// degenerate inputs that must leave the model alone.
#include "estimation/CameraEstimator.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/FiniteDifference.h"
#include "common/ProjectiveScene.h"

using namespace scene;

namespace {

const Camera kIdentity = ToCamera({Eigen::Matrix3f::Identity(), Eigen::Vector3f::Zero()});

void ExpectSameCamera(const Camera& a, const Camera& b, float tolerance) {
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(a.m[r][k], b.m[r][k], tolerance) << r << "," << k;
}

}  // namespace

TEST(CameraEstimator, VerificationAndNormalisationKnownAnswers) {
  CameraEstimator estimator(0.0f);
  // Identity camera; match i at depth 2, its image point 0.001 i off along x
  // (error 1e-6 i^2; along y for the pair 4, 5 that the tail checks
  // together), except: 2 lies on the camera plane and 3 behind the camera
  // with an exact image point.
  CameraEstimatorData data;
  data.Resize(7);
  for (u32 i = 0; i < 7; ++i) {
    const float x = 0.1f * i, y = -0.05f * i;
    data.worldPoints[i] = {{2.0f * x, 2.0f * y, 2.0f, 1.0f}};
    const bool alongY = i == 4 || i == 5;
    data.imagePoints[i] = {x + (alongY ? 0.0f : 0.001f * i), y + (alongY ? 0.001f * i : 0.0f)};
  }
  data.worldPoints[2] = {{0.3f, 0.1f, 0.0f, 1.0f}};
  data.worldPoints[3] = {{-0.6f, 0.3f, -2.0f, 1.0f}};  // projects onto (0.3, -0.15)
  data.imagePoints[3] = {0.3f, -0.15f};
  const Camera c = kIdentity;
  std::vector<u16> inliers;
  f64 error = -1.0;
  const struct {
    float threshold;
    std::vector<u16> inliers;
    f64 error;
  } rows[] = {{3e-5f, {0, 1, 4, 5}, 42e-6},     // match 6 (3.6e-5) fails
              {4e-5f, {0, 1, 4, 5, 6}, 78e-6},  // the odd last one passes as in a pair
              {0.0f, {}, 0.0}};                 // strict: not even match 0 passes
  for (const auto& row : rows) {
    estimator.threshold = row.threshold;
    estimator.VerifyModel(data, c, inliers, error);
    EXPECT_EQ(inliers, row.inliers);
    EXPECT_NEAR(error, row.error, 1e-8);
  }
  // A required match behind the camera rejects the model.
  estimator.threshold = 4e-5f;
  BitMask required(7);
  required.Set(3);
  estimator.VerifyModelConstrained(data, c, required, inliers, error);
  EXPECT_TRUE(inliers.empty());
  EXPECT_EQ(error, 0.0);
  // The inlier SSE adds the flagged errors without a depth test.
  required.Set(6);
  estimator.ComputeInlierSSE(data, c, required, error);
  EXPECT_NEAR(error, 36e-6, 1e-8);

  // Six points on the optical axis at depths 1..6, seen from the origin and
  // from behind them all: the mean moves into t and the median depth, the
  // upper middle (4), becomes 1 / factor unless it is negative (scale 1,
  // centring only). Rotation about the axis moves no point: its column gets
  // scale 0 instead of a division by zero.
  const float depths[6] = {5, 1, 3, 6, 2, 4};
  for (const float tz : {0.0f, -10.0f}) {
    data.Resize(6);
    for (u32 i = 0; i < 6; ++i) {
      data.worldPoints[i] = {{0.0f, 0.0f, depths[i], 1.0f}};
      data.imagePoints[i] = {0.0f, 0.0f};
    }
    Camera camera = c, normalised;
    camera.m[2][3] = tz;
    normalised = camera;
    data.NormalizeData(1.0f, normalised);
    const float scale = tz < 0.0f ? 1.0f : 0.25f;
    EXPECT_NEAR(data.scale.v[0], scale, 1e-6f);
    EXPECT_NEAR(normalised.m[2][3], (tz + 3.5f) * scale, 1e-6f);
    LA::AlignedCompactMatrix6f A;
    LA::AlignedVector6f b, s;
    data.ConstructNormalEquationAndScale(normalised, A, b, s);
    EXPECT_EQ(s.v[2], 0.0f);
    data.DenormalizeModel(normalised);
    ExpectSameCamera(normalised, camera, 1e-6f);
  }
}

TEST(CameraEstimatorData, NormalEquationsMatchFiniteDifferences) {
  Random::Seed(9);
  const Pose truth = RandomPose();
  CameraEstimatorData data;
  Fill(MakeMatches(truth, 41, 2.0f), data);
  // A camera a little off the truth, so residuals are not zero.
  Pose off = truth;
  off.R = Eigen::AngleAxisf(0.02f, Eigen::Vector3f(1, 2, 3).normalized()) * off.R;
  off.t += Eigen::Vector3f(0.05f, -0.03f, 0.1f);
  const Camera before = ToCamera(off);
  Camera camera = before;
  double sum = 0.0;  // one match at a time, the odd last one included
  for (u32 i = 0; i < data.Size(); ++i) {
    float z;
    sum += ComputeMatchSquaredError(camera, data.worldPoints[i], data.imagePoints[i], z);
  }
  EXPECT_NEAR(data.ComputeSSE(camera), sum, 1e-5 * sum);
  // Normalised as the optimiser runs it: projections unchanged.
  data.NormalizeData(0.5f, camera);
  EXPECT_NEAR(data.ComputeSSE(camera), sum, 1e-3 * sum);
  fd::ExpectNormalEquationMatchesSSE(data, camera);
  // The scaled system has a unit diagonal.
  LA::AlignedCompactMatrix6f A;
  LA::AlignedVector6f b, s;
  data.ConstructNormalEquationAndScale(camera, A, b, s);
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(A(k, k), 1.0f, 1e-4f) << k;
  data.DenormalizeModel(camera);
  ExpectSameCamera(camera, before, 1e-5f);
  // Exact matches: A is half the Hessian of the SSE at the true pose.
  CameraEstimatorData exact;
  Fill(MakeMatches(truth, 30, 0.0f), exact);
  fd::ExpectGaussNewtonHessianAtZeroResidual(exact, ToCamera(truth));
}

TEST(CameraEstimator, RobustRunGivesThePoseOrLeavesTheModelOnDegenerateInput) {
  Random::Seed(21);
  CameraEstimator estimator(0.0f);
  estimator.threshold = 9.0f / (kFocal * kFocal);  // 1 px noise: about 99 % of inliers pass
  for (int scene = 0; scene < 3; ++scene) {
    const Pose truth = RandomPose();
    CameraEstimatorData data;
    Fill(MakeMatches(truth, 501, 1.0f, 250), data);
    Camera model = kIdentity;
    std::vector<u16> inliers;
    Random::Seed(5);
    estimator.RunLoRansac(data, model, inliers);
    const auto found =
        std::count_if(inliers.begin(), inliers.end(), [](u16 i) { return i >= 250; });
    EXPECT_GE(found, 0.95 * 251) << scene;
    EXPECT_LE(inliers.size() - found, 2u) << scene;
    EXPECT_TRUE(std::is_sorted(inliers.begin(), inliers.end()));
    const Pose e = FromCamera(model);
    EXPECT_LT(RotationError(e.R, truth.R), 0.5f * 3.14159265f / 180.0f) << scene;
    EXPECT_LT(CentreError(e, truth), 0.01f) << scene;
  }
  // Too few matches, all world points at one place or on a line, a NaN: no
  // model, and the one given is left alone.
  const char* names[] = {"five matches", "one world point", "collinear", "NaN"};
  for (int kind = 0; kind < 4; ++kind) {
    SCOPED_TRACE(names[kind]);
    Random::Seed(23);
    Matches m = MakeMatches(RandomPose(), kind == 0 ? 5 : 40, 0.0f);
    for (Eigen::Vector3f& X : m.world)
      X = kind == 1   ? Eigen::Vector3f(0.1f, 0.2f, 0.3f)
          : kind == 2 ? Eigen::Vector3f(X.x(), 0.5f * X.x(), -X.x())
                      : X;
    m.image[3].x() = kind == 3 ? NAN : m.image[3].x();
    CameraEstimatorData data;
    Fill(m, data);
    Camera model = kIdentity;
    std::vector<u16> inliers = {1, 2};
    if (kind != 3) {  // the robust loop simply leaves a NaN match out
      estimator.RunLoRansac(data, model, inliers);
      EXPECT_TRUE(inliers.empty());
      EXPECT_EQ(model.m[0][0], 1.0f);
    }
    AlignedArray<Camera> models;
    EXPECT_FALSE(estimator.SolveNonMinimal(data, models));
    EXPECT_EQ(models.Size(), 0u);
  }
}

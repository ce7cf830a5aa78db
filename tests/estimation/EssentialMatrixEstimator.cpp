// Essential-matrix estimator: the relative-pose data class against finite
// differences, and the robust loop on noisy matches with outliers.
#include "estimation/EssentialMatrixEstimator.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "FiniteDifference.h"
#include "estimation/TestMatchSets.h"
#include "estimation/TwoViewScene.h"

namespace {

constexpr double kFocal = 500.0;  // pixels per normalised unit

RigidTransformation3D PoseOf(const Eigen::Matrix3d& R, const Eigen::Vector3d& t) {
  RigidTransformation3D T;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) T.m[r][c] = static_cast<float>(R(r, c));
    T.m[r][3] = static_cast<float>(t(r));
  }
  return T;
}

Eigen::Matrix3d RotationOf(const LA::AlignedMatrix3f& T) {
  Eigen::Matrix3d R;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) R(r, c) = T.m[r][c];
  return R;
}

Eigen::Vector3d TranslationOf(const LA::AlignedMatrix3f& T) {
  return Eigen::Vector3d(T.m[0][3], T.m[1][3], T.m[2][3]);
}

// Adds Gaussian noise of `pixels` to every coordinate and replaces the first
// `outliers` matches by random pairs.
void Corrupt(twoview::TwoViewScene& s, double pixels, int outliers) {
  const double sigma = pixels / kFocal;
  for (twoview::Match& m : s.matches) {
    m.x1 += sigma * twoview::Gaussian();
    m.y1 += sigma * twoview::Gaussian();
    m.x2 += sigma * twoview::Gaussian();
    m.y2 += sigma * twoview::Gaussian();
  }
  for (int i = 0; i < outliers; ++i) {
    s.matches[i] = {twoview::Uniform(-0.6, 0.6), twoview::Uniform(-0.6, 0.6),
                    twoview::Uniform(-0.6, 0.6), twoview::Uniform(-0.6, 0.6)};
  }
}

TEST(EssentialMatrixEstimatorData, NormalEquationsMatchFiniteDifferences) {
  Random::Seed(31);
  twoview::TwoViewScene s = twoview::MakeScene(60);
  Corrupt(s, 1.0, 0);
  EssentialMatrixEstimatorData data;
  testsets::FillSet(s.matches, data);
  // Away from the optimum, with a rotation far from the identity so that a
  // step taken on the wrong side of R would show.
  const Eigen::Matrix3d R = s.R * Eigen::AngleAxisd(0.05, Eigen::Vector3d::UnitY());
  const Eigen::Vector3d t = (s.t + Eigen::Vector3d(0.05, -0.03, 0.02)).normalized();
  fd::ExpectNormalEquationMatchesSSE(data, PoseOf(R, t));
}

TEST(EssentialMatrixEstimatorData, GaussNewtonHessianAtExactPose) {
  Random::Seed(32);
  const twoview::TwoViewScene s = twoview::MakeScene(41, 1.0);
  EssentialMatrixEstimatorData data;
  testsets::FillSet(s.matches, data);
  fd::Options o;
  o.tolerance = 5e-3;
  fd::ExpectGaussNewtonHessianAtZeroResidual(data, PoseOf(s.R, s.t), o);
}

TEST(EssentialMatrixEstimatorData, UpdateKeepsUnitTranslationAndRotatesOnTheLeft) {
  EssentialMatrixEstimatorData data;
  const Eigen::Matrix3d R = twoview::RandomRotation(1.0);
  const RigidTransformation3D old = PoseOf(R, Eigen::Vector3d(0, 0, 1));
  LA::AlignedVector6f s{}, dx{};
  for (float& v : s.v) v = 1.0f;
  dx.v[2] = 0.1f;  // rotation about z
  dx.v[3] = 1.0f;  // translation along x
  RigidTransformation3D moved = old;
  data.UpdateModel(s, dx, old, moved);
  EXPECT_NEAR(TranslationOf(moved).norm(), 1.0, 1e-6);
  EXPECT_NEAR(moved.m[0][3], std::sqrt(0.5), 1e-6);
  const Eigen::Matrix3d expected = Eigen::AngleAxisd(0.1, Eigen::Vector3d::UnitZ()) * R;
  EXPECT_LT((RotationOf(moved) - expected).norm(), 1e-5);
}

class EssentialMatrixEstimatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Random::Seed(33);
    scene_ = twoview::MakeScene(500, 0.3);
    Corrupt(scene_, 0.5, 100);
    testsets::FillSet(scene_.matches, data_);
  }
  f32 threshold_ = static_cast<f32>(16.0 * 0.25 / (kFocal * kFocal));
  twoview::TwoViewScene scene_;
  EssentialMatrixEstimatorData data_;
};

TEST_F(EssentialMatrixEstimatorTest, RecoversPoseFromNoisyMatchesWithOutliers) {
  EssentialMatrixEstimator estimator(threshold_);
  estimator.minInFrontRatio = 0.5f;
  EssentialMatrix E{};
  std::vector<u16> inliers;
  Random::Seed(5);
  estimator.RunLoRansac(data_, E, inliers);
  ASSERT_GE(inliers.size(), 360u);
  int outliersTaken = 0;
  for (u16 i : inliers) outliersTaken += i < 100 ? 1 : 0;
  EXPECT_LE(outliersTaken, 5);
  alignas(16) float scratch[4 * 38];
  RigidTransformation3D pose;
  const float ratio = 0.5f;
  ASSERT_TRUE(EssentialMatrix::ToRelativePose(E, data_, pose, ratio, scratch));
  EXPECT_LT(twoview::RotationAngleDeg(RotationOf(pose), scene_.R), 0.5);
  EXPECT_LT(twoview::DirectionAngleDeg(TranslationOf(pose), scene_.t), 2.0);
  // The refined model is [t]x R with |t| = 1: singular values (1, 1, 0).
  Eigen::Matrix3d M;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) M(r, c) = E.m[r][c];
  const Eigen::Vector3d sv = Eigen::JacobiSVD<Eigen::Matrix3d>(M).singularValues();
  EXPECT_NEAR(sv(0), 1.0, 1e-4);
  EXPECT_NEAR(sv(1), 1.0, 1e-4);
}

TEST_F(EssentialMatrixEstimatorTest, ModelWithoutEnoughPointsInFrontHasNoInliers) {
  EssentialMatrixEstimator estimator(threshold_);
  // E of the true pose but with the inliers of the scene all behind under
  // both signs is impossible; a ratio above 1 can never be met instead.
  estimator.minInFrontRatio = 1.5f;
  EssentialMatrix E;
  const Eigen::Matrix3d Et = scene_.E();
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) E.m[r][c] = static_cast<float>(Et(r, c));
  std::vector<u16> inliers{1, 2, 3};
  f64 error = 5.0;
  estimator.VerifyModel(data_, E, inliers, error);
  EXPECT_TRUE(inliers.empty());
  EXPECT_EQ(error, 0.0);
  estimator.minInFrontRatio = 0.5f;
  estimator.VerifyModel(data_, E, inliers, error);
  EXPECT_GE(inliers.size(), 380u);
  // A required match that fails rejects the same model.
  u16 failing = 0;
  while (std::find(inliers.begin(), inliers.end(), failing) != inliers.end()) ++failing;
  BitMask required(data_.Size());
  required.Set(failing);
  estimator.VerifyModelConstrained(data_, E, required, inliers, error);
  EXPECT_TRUE(inliers.empty());
  EXPECT_EQ(error, 0.0);
}

TEST(EssentialMatrixEstimator, SampleProbabilityAndTooFewMatches) {
  EssentialMatrixEstimator estimator(1e-4f);
  EXPECT_FLOAT_EQ(estimator.ComputeAllInlierProbability(0.5f), 0.03125f);
  EXPECT_EQ(estimator.GetMinimalSampleSize(), 5u);
  EssentialMatrixEstimatorData data;
  Random::Seed(34);
  testsets::FillSet(twoview::MakeScene(4).matches, data);
  EssentialMatrix E{};
  E.m[0][0] = 7.0f;
  std::vector<u16> inliers{9};
  EXPECT_EQ(estimator.RunLoRansac(data, E, inliers), 0u);
  EXPECT_TRUE(inliers.empty());
  EXPECT_EQ(E.m[0][0], 7.0f);
}

}  // namespace

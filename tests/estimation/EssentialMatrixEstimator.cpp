// Essential-matrix data class against finite differences, and the estimator
// on noisy matches with outliers.
#include "estimation/EssentialMatrixEstimator.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "FiniteDifference.h"
#include "TwoViewScene.h"

using namespace twoview;

namespace {

constexpr double kFocal = 500.0;  // pixels per normalised unit

TEST(EssentialMatrixEstimatorData, NormalEquationsMatchFiniteDifferences) {
  Random::Seed(31);
  TwoViewScene s = MakeScene(60);
  Corrupt(s.matches, 1.0 / kFocal, 0, 0, 0, 0);
  EssentialMatrixEstimatorData data;
  FillSet(s.matches, data);
  // Away from the optimum, with a rotation far from the identity so that a
  // step taken on the wrong side of R would show.
  const Eigen::Matrix3d R = s.R * Eigen::AngleAxisd(0.05, Eigen::Vector3d::UnitY());
  const Eigen::Vector3d t = (s.t + Eigen::Vector3d(0.05, -0.03, 0.02)).normalized();
  fd::ExpectNormalEquationMatchesSSE(data, FromEigen<RigidTransformation3D>(R, t));

  const TwoViewScene exact = MakeScene(41, 1.0);
  FillSet(exact.matches, data);
  fd::ExpectGaussNewtonHessianAtZeroResidual(
      data, FromEigen<RigidTransformation3D>(exact.R, exact.t), {1e-3, 5e-3, 1e-6});
}

class EssentialMatrixEstimatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Random::Seed(33);
    scene_ = MakeScene(500, 0.3);
    Corrupt(scene_.matches, 0.5 / kFocal, 100, -0.6, 0.6, 0.6);
    FillSet(scene_.matches, data_);
  }
  EssentialMatrixEstimator estimator_{static_cast<f32>(16.0 * 0.25 / (kFocal * kFocal))};
  TwoViewScene scene_;
  EssentialMatrixEstimatorData data_;
};

TEST_F(EssentialMatrixEstimatorTest, RecoversPoseFromNoisyMatchesWithOutliers) {
  estimator_.minInFrontRatio = 0.5f;
  EssentialMatrix E{};
  std::vector<u16> inliers;
  Random::Seed(5);
  estimator_.RunLoRansac(data_, E, inliers);
  ASSERT_GE(inliers.size(), 360u);
  EXPECT_LE(std::count_if(inliers.begin(), inliers.end(), [](u16 i) { return i < 100; }), 5);
  alignas(16) float scratch[4 * 38];
  RigidTransformation3D pose;
  ASSERT_TRUE(EssentialMatrix::ToRelativePose(E, data_, pose, 0.5f, scratch));
  EXPECT_LT(RotationAngleDeg(ToEigen(pose), scene_.R), 0.5);
  EXPECT_LT(DirectionAngleDeg(TranslationOf(pose), scene_.t), 2.0);
  // The refined model is [t]x R with |t| = 1: singular values (1, 1, 0).
  const Eigen::Vector3d sv = Eigen::JacobiSVD<Eigen::Matrix3d>(ToEigen(E)).singularValues();
  EXPECT_NEAR(sv(0), 1.0, 1e-4);
  EXPECT_NEAR(sv(1), 1.0, 1e-4);
}

}  // namespace

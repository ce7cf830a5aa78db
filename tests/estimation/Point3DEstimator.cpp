// Triangulation: two-view and N-view known answers, depth judged per camera
// and per observation, the refinement lowering the reprojection error under
// noise, the prior-depth start, empty data, and the normal equations against
// finite differences.
#include "estimation/Point3DEstimator.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <deque>

#include "common/FiniteDifference.h"
#include "common/ProjectiveScene.h"
#include "estimation/Point3DSolver.h"

using namespace scene;

namespace {

// Observations of X from n random cameras, pixel noise sigma.
class Views {
 public:
  Views(const Eigen::Vector3f& X, int n, float noisePixels) {
    for (int i = 0; i < n; ++i) Add(RandomPose(), X, noisePixels);
  }
  void Add(const Pose& pose, const Eigen::Vector3f& X, float noisePixels) {
    poses_.push_back(ToCamera(pose));
    const Eigen::Vector3f c = pose.Apply(X);
    const float s = noisePixels / kFocal;
    data.cameras.push_back(&poses_.back());
    data.measurements.PushBack({c.x() / c.z() + s * Gaussian(), c.y() / c.z() + s * Gaussian()},
                               64);
  }
  Pose PoseOf(int i) const { return FromCamera(poses_[i]); }
  Point3DEstimatorMinimalSample Pair(int a, int b) const {
    return {{data.cameras[a], data.cameras[b]}, {&data.measurements[a], &data.measurements[b]}};
  }
  Point3DEstimatorData data;

 private:
  std::deque<Camera> poses_;  // stable addresses
};

Eigen::Vector3f Vec(const Point3D& p) {
  return {p.v[0], p.v[1], p.v[2]};
}

}  // namespace

TEST(Point3DSolver, TwoAndManyViewsGiveThePoint) {
  Point3DSolver solver;
  Random::Seed(1);
  Point3D p{};
  for (int trial = 0; trial < 200; ++trial) {
    const Eigen::Vector3f X(Uniform(), Uniform(), Uniform());
    const Views views(X, 2, 0.0f);
    ASSERT_TRUE(solver.RunMinimalSample(views.Pair(0, 1), p)) << trial;
    EXPECT_LT((Vec(p) - X).norm(), 1e-3f) << trial;
    EXPECT_EQ(p.v[3], 1.0f);
  }
  const Eigen::Vector3f X(0.3f, -0.2f, 0.4f);
  const Views noisy(X, 10, 1.0f);
  ASSERT_TRUE(
      solver.RunNonMinimalData(noisy.data.cameras.data(), &noisy.data.measurements[0], 10, p));
  EXPECT_LT((Vec(p) - X).norm(), 0.02f);
  EXPECT_FALSE(
      solver.RunNonMinimalData(noisy.data.cameras.data(), &noisy.data.measurements[0], 0, p));
}

// Views 1 and 3 are [-R | -t] of view 0: the same image point at negative
// depth. The solvers want the point in front of every camera, and
// verification takes each observation by its own depth.
TEST(Point3DEstimator, APointBehindACameraIsNoSolutionAndNoInlier) {
  Random::Seed(35);
  const Eigen::Vector3f X(0.1f, 0.2f, 0.3f);
  Views views(X, 1, 0.0f);
  Pose behind = views.PoseOf(0);
  behind.R = -behind.R, behind.t = -behind.t;
  views.Add(behind, X, 0.0f);
  views.Add(RandomPose(), X, 0.0f);
  views.Add(behind, X, 0.0f);
  Point3DSolver solver;
  Point3D p{};
  ASSERT_TRUE(solver.RunMinimalSample(views.Pair(0, 2), p));
  EXPECT_LT((Vec(p) - X).norm(), 1e-4f);
  p.v[0] = 123.0f;
  EXPECT_FALSE(solver.RunMinimalSample(views.Pair(1, 2), p));
  EXPECT_FALSE(solver.RunMinimalSample(views.Pair(2, 1), p));
  EXPECT_FALSE(
      solver.RunNonMinimalData(views.data.cameras.data(), &views.data.measurements[0], 4, p));
  EXPECT_EQ(p.v[0], 123.0f);

  Point3DEstimator estimator(0.0f);
  estimator.threshold = 1e-6f;
  std::vector<u16> inliers;
  f64 error = -1.0;
  estimator.VerifyModel(views.data, {{X.x(), X.y(), X.z(), 1.0f}}, inliers, error);
  EXPECT_EQ(inliers, (std::vector<u16>{0, 2}));
  // Two views are enough for a sample.
  Views two(X, 2, 0.0f);
  Point3DEstimatorMinimalSample sample{};
  estimator.GenerateMinimalSample(two.data, sample);
  EXPECT_TRUE(sample.cameras[0] != nullptr && sample.cameras[1] != nullptr);
}

TEST(Point3DEstimator, RefinementLowersTheReprojectionErrorUnderNoise) {
  Random::Seed(32);
  Point3DEstimator estimator(0.0f);
  int lowered = 0;
  for (int trial = 0; trial < 50; ++trial) {
    const Eigen::Vector3f X(Uniform(), Uniform(), Uniform());
    Views views(X, 6, 2.0f);
    Point3D linear{};
    ASSERT_TRUE(estimator.TriangulatePoint(views.data, linear));
    Point3D refined = linear;
    ASSERT_TRUE(estimator.RefinePoint(views.data, refined));  // threshold 0: no verification
    const double before = views.data.ComputeSSE(linear), after = views.data.ComputeSSE(refined);
    EXPECT_LE(after, before * (1.0 + 1e-5)) << trial;
    lowered += after < before;
    EXPECT_LT((Vec(refined) - X).norm(), 0.05f) << trial;
  }
  EXPECT_GT(lowered, 40);
}

TEST(Point3DEstimator, PriorDepthStartConvergesAndNoObservationsFail) {
  Random::Seed(33);
  Point3DEstimator estimator(0.0f);
  estimator.threshold = 9.0f / (kFocal * kFocal);
  const Eigen::Vector3f X(0.2f, -0.1f, 0.3f);
  Views views(X, 4, 0.5f);
  Point3D p{};
  ASSERT_TRUE(estimator.Triangulate(views.data, p, 1.2f * views.PoseOf(0).Apply(X).z()));
  EXPECT_LT((Vec(p) - X).norm(), 0.02f);
  EXPECT_EQ(estimator.inliers.size(), 4u);
  // One exact view: the prior depth alone puts the point on its ray.
  Views one(X, 1, 0.0f);
  estimator.Triangulate(one.data, p, one.PoseOf(0).Apply(X).z());
  EXPECT_LT((Vec(p) - X).norm(), 1e-4f);
  // Without observations nothing is read and the point stays.
  Point3DEstimatorData empty;
  p = {{1, 2, 3, 1}};
  EXPECT_FALSE(estimator.Triangulate(empty, p, FLT_MAX));
  EXPECT_FALSE(estimator.Triangulate(empty, p, 2.0f));
  EXPECT_FALSE(estimator.RefinePoint(empty, p));
  EXPECT_EQ(p.v[0], 1.0f);
}

TEST(Point3DEstimator, NormalEquationsMatchFiniteDifferences) {
  Random::Seed(34);
  const Eigen::Vector3f X(0.1f, 0.2f, 0.3f);
  Views views(X, 5, 3.0f);
  views.data.weights.Resize(5);
  views.data.squaredWeights.Resize(5);
  for (int i = 0; i < 5; ++i) {
    views.data.weights[i] = 0.5f + i;
    views.data.squaredWeights[i] = views.data.weights[i] * views.data.weights[i];
  }
  fd::ExpectNormalEquationMatchesSSE(views.data, Point3D{{0.12f, 0.18f, 0.33f, 1.0f}});
  Views exact(X, 5, 0.0f);
  fd::ExpectGaussNewtonHessianAtZeroResidual(exact.data, Point3D{{X.x(), X.y(), X.z(), 1.0f}});
}

// Similarity transformations y = s (R x + t): four-pair solves in general
// position and on a plane (the reflection branch), mirrored and coincident
// samples; the 2-D data's subsets and malformed observation tables.
#include "estimation/SimilarityTransformationEstimator.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/FiniteDifference.h"
#include "common/ProjectiveScene.h"
#include "estimation/SimilarityTransformationSolver.h"

using namespace scene;

namespace {

using Data3D = SimilarityTransformationEstimatorData3D;
using Model = SimilarityTransformation3D;
using Matrix4 = Eigen::Matrix<float, 4, 4, Eigen::RowMajor>;

// The model's rows: [R t] and (s, s, s, 1).
Model Make(const Eigen::Matrix3f& R, const Eigen::Vector3f& t, float s) {
  Model m;
  Eigen::Map<Matrix4>(&m.m[0][0]) << R, t, Eigen::RowVector3f::Constant(s), 1.0f;
  return m;
}

Eigen::Matrix3f RotationOf(const Model& m) {
  return Eigen::Map<const Matrix4>(&m.m[0][0]).topLeftCorner<3, 3>();
}

Eigen::Vector3f Apply(const Model& m, const Eigen::Vector3f& x) {
  return m.m[3][0] * (RotationOf(m) * x + Eigen::Vector3f(m.m[0][3], m.m[1][3], m.m[2][3]));
}

// Wide: any rotation, large translations and scales.
Model RandomModel(bool wide = false) {
  const float t = wide ? 3.0f : 0.3f;
  return Make(RandomRotation(wide ? 3.1f : 0.8f),
              Eigen::Vector3f(Uniform(-t, t), Uniform(-t, t), wide ? Uniform(-t, t) : 0.1f),
              wide ? Uniform(0.2f, 5.0f) : Uniform(0.5f, 2.0f));
}

LA::AlignedVector4f Point(const Eigen::Vector3f& x) {
  return {{x.x(), x.y(), x.z(), 1.0f}};
}

// n pairs of sources in a rotated cube (a plane when flat), targets with
// noise sigma; the first `outliers` get random targets.
void MakePairs(const Model& T, u32 n, u32 outliers, float noise, Data3D& data, bool flat = false) {
  data.sources.Resize(n);
  data.targets.Resize(n);
  const Eigen::Matrix3f frame = RandomRotation();
  for (u32 i = 0; i < n; ++i) {
    const Eigen::Vector3f x = frame * Eigen::Vector3f(Uniform(), Uniform(), flat ? 0 : Uniform());
    Eigen::Vector3f y = Apply(T, x) + noise * Eigen::Vector3f(Gaussian(), Gaussian(), Gaussian());
    if (i < outliers) y = Eigen::Vector3f(Uniform(-3, 3), Uniform(-3, 3), Uniform(-3, 3));
    data.sources[i] = Point(x);
    data.targets[i] = Point(y);
  }
}

}  // namespace

TEST(SimilarityTransformationEstimator3D, SolverVerificationAndRobustRun) {
  SimilarityTransformationSolver solver;
  SimilarityTransformationEstimator3D estimator(0.005f);
  MatchSet3DN<4> sample;  // all four pairs, in random order
  Random::Seed(4);
  for (int trial = 0; trial < 400; ++trial) {
    const Model T = RandomModel(true);
    Data3D data;
    MakePairs(T, 4, 0, 0.0f, data, trial % 2 == 1);
    Model E{};
    estimator.GenerateMinimalSample(data, sample);
    ASSERT_TRUE(solver.RunMinimalSample(sample, E));
    EXPECT_NEAR(RotationOf(E).determinant(), 1.0f, 1e-4f) << trial;
    EXPECT_LT(RotationError(RotationOf(E), RotationOf(T)), 1e-3f) << trial;
    EXPECT_NEAR(E.m[3][0] / T.m[3][0], 1.0f, 1e-4f) << trial;
  }
  // Noisy pairs: the closed form in double (scale from the two spreads,
  // rotation as Eigen's fit), every pair counted.
  Data3D noisy;
  MakePairs(RandomModel(true), 9, 0, 0.05f, noisy);
  Eigen::Matrix<double, 3, 9> X, Y;
  for (int i = 0; i < 9; ++i)
    for (int c = 0; c < 3; ++c) X(c, i) = noisy.sources[i].v[c], Y(c, i) = noisy.targets[i].v[c];
  const Eigen::Matrix3d R = Eigen::umeyama(X, Y, false).topLeftCorner<3, 3>();
  const Eigen::Vector3d cx = X.rowwise().mean(), cy = Y.rowwise().mean();
  const double s = std::sqrt((Y.colwise() - cy).squaredNorm() / (X.colwise() - cx).squaredNorm());
  const Eigen::Vector3f t = (cy / s - R * cx).cast<float>();
  Model fit{};
  ASSERT_TRUE(solver.RunNonMinimalData(noisy.sources, noisy.targets, fit));
  EXPECT_NEAR(fit.m[3][0], s, 1e-5 * s);
  EXPECT_LT(RotationError(RotationOf(fit), R.cast<float>()), 1e-5f);
  EXPECT_LT((Eigen::Vector3f(fit.m[0][3], fit.m[1][3], fit.m[2][3]) - t).norm(),
            1e-5f * (1 + t.norm()));
  // Mirrored targets (kind 0) still give a proper rotation; coincident
  // sources (1) or targets (2) give no model and leave it.
  for (int kind = 0; kind < 3; ++kind) {
    Data3D data;
    MakePairs(RandomModel(true), 4, 0, 0.0f, data);
    for (int i = 0; i < 4; ++i) {
      LA::AlignedVector4f& p = kind == 1 ? data.sources[i] : data.targets[i];
      p = kind == 0 ? Point(Eigen::Vector3f(-p.v[0], p.v[1], p.v[2])) : Point({1, 2, 3});
    }
    Model E{};
    E.m[0][0] = 42.0f;
    estimator.GenerateMinimalSample(data, sample);
    const bool solved = solver.RunMinimalSample(sample, E);
    EXPECT_EQ(solved, kind == 0) << kind;
    EXPECT_TRUE(solved ? std::abs(RotationOf(E).determinant() - 1.0f) < 1e-4f : E.m[0][0] == 42.0f)
        << kind;
  }
  // Pair i is moved by shift[i] along x: error shift^2, outliers at 3 and 6.
  Data3D data;
  const Model T = RandomModel();
  MakePairs(T, 10, 0, 0.0f, data);
  const float shift[10] = {0.0f, 0.01f, 0.02f, 0.1f, 0.03f, 0.04f, 0.1f, 0.0f, 0.01f, 0.02f};
  for (int i = 0; i < 10; ++i) data.targets[i].v[0] += shift[i];
  std::vector<u32> all, inliers = {99};
  f64 allError = -1.0, error = -1.0;
  estimator.VerifyModel(data, T, all, allError);
  EXPECT_EQ(all, (std::vector<u32>{0, 1, 2, 4, 5, 7, 8, 9}));
  EXPECT_NEAR(allError, 0.0035, 1e-5);
  // Required items that pass change nothing; a failing one rejects the model
  // with the error summed up to that item, no more.
  BitMask required(10);
  required.Set(8);
  estimator.VerifyModelConstrained(data, T, required, inliers, error);
  EXPECT_EQ(inliers, all);
  EXPECT_EQ(error, allError);
  required.Set(6);
  estimator.VerifyModelConstrained(data, T, required, inliers, error);
  EXPECT_TRUE(inliers.empty());
  EXPECT_NEAR(error, 0.003, 1e-5);
  // A PROSAC draw needs four of the first n, and n within the order.
  const std::vector<u32> order = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_FALSE(estimator.GenerateMinimalSampleProsac(data, order, 3, false, sample));
  EXPECT_FALSE(estimator.GenerateMinimalSampleProsac(data, order, 11, false, sample));
  EXPECT_TRUE(estimator.GenerateMinimalSampleProsac(data, order, 10, true, sample));

  // A robust run with 80 outliers among 200 noisy pairs keeps 95 % of the
  // 120 inliers.
  estimator.threshold = 9.0f * 0.01f * 0.01f;
  const Model U = RandomModel();
  MakePairs(U, 200, 80, 0.01f, data);
  Model E = Make(Eigen::Matrix3f::Identity(), Eigen::Vector3f::Zero(), 1.0f);
  estimator.RunLoRansac(data, E, inliers);
  EXPECT_GE(std::count_if(inliers.begin(), inliers.end(), [](u32 i) { return i >= 80; }), 114);
  EXPECT_LT(RotationError(RotationOf(E), RotationOf(U)), 0.01f);
  EXPECT_NEAR(E.m[3][0] / U.m[3][0], 1.0f, 0.01f);
}

TEST(SimilarityTransformationData, NormalEquationsSubsetsAndMalformedTables) {
  Random::Seed(41);
  const Model T = RandomModel();
  const Eigen::Vector3f dt(0.02f, -0.04f, 0.03f);  // away from the optimum
  const Model P =
      Make(Eigen::AngleAxisf(0.03f, Eigen::Vector3f(0.3f, -1, 0.5f).normalized()) * RotationOf(T),
           Eigen::Vector3f(T.m[0][3], T.m[1][3], T.m[2][3]) + dt, 1.05f * T.m[3][0]);
  Data3D pairs;
  MakePairs(T, 20, 0, 0.0f, pairs);
  fd::ExpectNormalEquationMatchesSSE(pairs, P);
  fd::ExpectGaussNewtonHessianAtZeroResidual(pairs, T);
  // Exact observations of the targets of four pairs by two to four of six
  // cameras.
  std::vector<Camera> views;
  for (int c = 0; c < 6; ++c) views.push_back(ToCamera(RandomPose()));
  SimilarityTransformationEstimatorData2D data;
  data.offsets.assign(1, 0);
  for (u32 k = 0; k < 4; ++k) {
    const Eigen::Vector3f x(Uniform(), Uniform(), Uniform()), y = Apply(T, x);
    data.sources.PushBack(Point(x), 64);
    data.targets.PushBack(Point(y), 64);
    for (u32 v = 0, n = 2 + Random::Index(3); v < n; ++v) {
      const Eigen::Vector3f p = FromCamera(views[(k + v) % 6]).Apply(y);
      data.measurements.PushBack({p.x() / p.z(), p.y() / p.z()}, 64);
      data.cameras.push_back(&views[(k + v) % 6]);
    }
    data.offsets.push_back(static_cast<u32>(data.cameras.size()));
  }
  fd::ExpectNormalEquationMatchesSSE(data, P);
  fd::ExpectGaussNewtonHessianAtZeroResidual(data, T);
  // A point's error is the mean squared reprojection error of its views.
  for (u32 k = 0; k < 4; ++k) {
    SimilarityTransformationEstimatorData2D one;
    ASSERT_TRUE(CopyGroupedSubset(data, {k}, one));
    float e = -1.0f;
    ASSERT_TRUE(data.ComputePointError(P, k, e));
    const f64 mean = one.ComputeSSE(P) / (data.offsets[k + 1] - data.offsets[k]);
    EXPECT_GT(mean, 1e-6);
    EXPECT_NEAR(e, mean, 1e-4 * mean) << k;
  }
  // A subset holds each point's observations behind offsets counted from 0.
  SimilarityTransformationEstimatorData2D subset;
  ASSERT_TRUE(CopyGroupedSubset(data, {3, 1}, subset));
  decltype(data.cameras) expected(data.cameras.begin() + data.offsets[3], data.cameras.end());
  expected.insert(expected.end(), data.cameras.begin() + data.offsets[1],
                  data.cameras.begin() + data.offsets[2]);
  EXPECT_EQ(subset.cameras, expected);
  EXPECT_EQ(subset.offsets, (std::vector<u32>{0, data.offsets[4] - data.offsets[3],
                                              static_cast<u32>(expected.size())}));
  // A fifth, exact pair without observations is never an inlier, and a
  // malformed observation table is measured as empty, not read past.
  SimilarityTransformationEstimator2D estimator(1e-6f);
  std::vector<u32> inliers;
  f64 error = 0.0;
  data.sources.PushBack(Point(Eigen::Vector3f::Zero()), 64);
  data.targets.PushBack(Point(Apply(T, Eigen::Vector3f::Zero())), 64);
  data.offsets.push_back(data.offsets.back());
  estimator.VerifyModel(data, T, inliers, error);
  EXPECT_EQ(inliers, (std::vector<u32>{0, 1, 2, 3}));
  data.offsets.pop_back();
  estimator.VerifyModel(data, T, inliers, error);
  EXPECT_TRUE(inliers.empty());
  EXPECT_EQ(data.ComputeSSE(T), 0.0);
}

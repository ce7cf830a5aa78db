// Similarity transformations: exact solves from four pairs in general position
// and on a plane (the reflection branch), mirrored and degenerate samples; the
// data classes against finite differences, a robust run in 3-D, the 2-D
// verification of points without views or with a malformed observation table,
// and the rejection of a model by a failing required item.
#include "estimation/SimilarityTransformationEstimator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "common/FiniteDifference.h"
#include "common/ProjectiveScene.h"
#include "estimation/SimilarityTransformationSolver.h"

using namespace scene;

namespace {

struct Truth {
  Eigen::Matrix3f R;
  Eigen::Vector3f t;
  float s;
  Eigen::Vector3f Apply(const Eigen::Vector3f& x) const { return s * (R * x + t); }
};

SimilarityTransformation3D ToModel(const Truth& T) {
  SimilarityTransformation3D m;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) m.m[r][c] = T.R(r, c);
    m.m[r][3] = T.t(r);
  }
  m.m[3][0] = m.m[3][1] = m.m[3][2] = T.s;
  m.m[3][3] = 1.0f;
  return m;
}

Truth FromModel(const SimilarityTransformation3D& m) {
  Truth T;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) T.R(r, c) = m.m[r][c];
    T.t(r) = m.m[r][3];
  }
  T.s = m.m[3][0];
  return T;
}

LA::AlignedVector4f Point(const Eigen::Vector3f& x) {
  return {{x.x(), x.y(), x.z(), 1.0f}};
}

Truth RandomTruth() {
  return {RandomRotation(0.8f), Eigen::Vector3f(Uniform(-0.3f, 0.3f), Uniform(-0.3f, 0.3f), 0.1f),
          Uniform(0.5f, 2.0f)};
}

// n pairs (the first `outliers` with random targets), target noise sigma.
void MakePairs(const Truth& T, u32 n, u32 outliers, float noise,
               SimilarityTransformationEstimatorData3D& data) {
  data.sources.Resize(n);
  data.targets.Resize(n);
  for (u32 i = 0; i < n; ++i) {
    const Eigen::Vector3f x(Uniform(), Uniform(), Uniform());
    Eigen::Vector3f y = T.Apply(x) + noise * Eigen::Vector3f(Gaussian(), Gaussian(), Gaussian());
    if (i < outliers) y = Eigen::Vector3f(Uniform(-3, 3), Uniform(-3, 3), Uniform(-3, 3));
    data.sources[i] = Point(x);
    data.targets[i] = Point(y);
  }
}

// Exact observations of the targets of n pairs by two to four of six cameras.
class Observed {
 public:
  Observed(const Truth& T, u32 n) {
    for (int c = 0; c < 6; ++c) cameras_.push_back(ToCamera(RandomPose()));
    data.offsets.assign(1, 0);
    for (u32 k = 0; k < n; ++k) {
      const Eigen::Vector3f x(Uniform(), Uniform(), Uniform()), y = T.Apply(x);
      data.sources.PushBack(Point(x), 64);
      data.targets.PushBack(Point(y), 64);
      for (u32 v = 0, views = 2 + Random::Index(3); v < views; ++v) {
        const Camera& C = cameras_[(k + v) % cameras_.size()];
        const Eigen::Vector3f p = FromCamera(C).Apply(y);
        data.measurements.PushBack({p.x() / p.z(), p.y() / p.z()}, 64);
        data.cameras.push_back(&C);
      }
      data.offsets.push_back(static_cast<u32>(data.cameras.size()));
    }
  }
  SimilarityTransformationEstimatorData2D data;

 private:
  std::deque<Camera> cameras_;
};

Truth RandomTruthWide() {
  return {RandomRotation(), Eigen::Vector3f(Uniform(-3, 3), Uniform(-3, 3), Uniform(-3, 3)),
          Uniform(0.2f, 5.0f)};
}

// Four sources (coplanar on a random plane when flat) and their images.
void MakeSample(const Truth& T, bool flat, LA::AlignedVector4f* src, LA::AlignedVector4f* dst,
                MatchSet3DN<4>& sample) {
  const Eigen::Matrix3f frame = RandomRotation();
  for (int i = 0; i < 4; ++i) {
    Eigen::Vector3f x(Uniform(-2, 2), Uniform(-2, 2), flat ? 0.0f : Uniform(-2, 2));
    x = frame * x + Eigen::Vector3f(1, -1, 0.5f);
    src[i] = Point(x);
    dst[i] = Point(T.Apply(x));
    sample.sources[i] = &src[i];
    sample.targets[i] = &dst[i];
  }
}

SimilarityTransformation3D Perturbed(const Truth& T) {
  Truth P = T;
  P.R = Eigen::AngleAxisf(0.03f, Eigen::Vector3f(0.3f, -1, 0.5f).normalized()) * P.R;
  P.t += Eigen::Vector3f(0.02f, -0.04f, 0.03f);
  P.s *= 1.05f;
  return ToModel(P);
}

}  // namespace

TEST(SimilarityTransformationData, NormalEquationsAgreeWithTheSSE) {
  Random::Seed(41);
  const Truth T = RandomTruth();
  SimilarityTransformationEstimatorData3D pairs;
  MakePairs(T, 20, 0, 0.0f, pairs);
  fd::ExpectNormalEquationMatchesSSE(pairs, Perturbed(T));
  fd::ExpectGaussNewtonHessianAtZeroResidual(pairs, ToModel(T));
  Observed observed(T, 20);
  fd::ExpectNormalEquationMatchesSSE(observed.data, Perturbed(T));
  fd::ExpectGaussNewtonHessianAtZeroResidual(observed.data, ToModel(T));
}

TEST(SimilarityTransformationEstimator3D, RobustRunRecoversTheTransformation) {
  Random::Seed(42);
  SimilarityTransformationEstimator3D estimator(0.0f);
  estimator.threshold = 9.0f * 0.01f * 0.01f;
  for (int trial = 0; trial < 5; ++trial) {
    const Truth T = RandomTruth();
    SimilarityTransformationEstimatorData3D data;
    MakePairs(T, 200, 80, 0.01f, data);
    SimilarityTransformation3D model = ToModel({Eigen::Matrix3f::Identity(), {0, 0, 0}, 1.0f});
    std::vector<u32> inliers;
    estimator.RunLoRansac(data, model, inliers);
    EXPECT_GE(std::count_if(inliers.begin(), inliers.end(), [](u32 i) { return i >= 80; }), 114)
        << trial;  // 95 % of 120
    const Truth E = FromModel(model);
    EXPECT_LT(RotationError(E.R, T.R), 0.01f);
    EXPECT_NEAR(E.s / T.s, 1.0f, 0.01f);
  }
}

TEST(SimilarityTransformationEstimator2D, PointsWithoutViewsAndMalformedTablesGiveNoInliers) {
  Random::Seed(45);
  const Truth T = RandomTruth();
  Observed observed(T, 4);
  SimilarityTransformationEstimatorData2D& data = observed.data;
  SimilarityTransformationEstimator2D estimator(0.0f);
  estimator.threshold = 1e-6f;
  const SimilarityTransformation3D model = ToModel(T);
  std::vector<u32> inliers;
  f64 error = 0.0;
  // A fifth, exact pair without observations is never an inlier.
  data.sources.PushBack(Point(Eigen::Vector3f::Zero()), 64);
  data.targets.PushBack(Point(T.Apply(Eigen::Vector3f::Zero())), 64);
  data.offsets.push_back(data.offsets.back());
  estimator.VerifyModel(data, model, inliers, error);
  EXPECT_EQ(inliers, (std::vector<u32>{0, 1, 2, 3}));
  // A malformed observation table is measured as empty instead of read past.
  data.offsets.pop_back();
  estimator.VerifyModel(data, model, inliers, error);
  EXPECT_TRUE(inliers.empty());
  EXPECT_EQ(data.ComputeSSE(model), 0.0);
}

// A failing required item rejects the model: the list comes back empty and
// the error holds the inlier errors summed up to that item, no more.
TEST(SimilarityTransformationEstimator3D, FailingRequiredPairRejectsWithTheSumReachedSoFar) {
  Random::Seed(46);
  const Truth T = RandomTruth();
  SimilarityTransformationEstimatorData3D data;
  MakePairs(T, 10, 0, 0.0f, data);
  // Pair i is moved by shift[i] along x: error shift^2, outliers at 3 and 6.
  const float shift[10] = {0.0f, 0.01f, 0.02f, 0.1f, 0.03f, 0.04f, 0.1f, 0.0f, 0.01f, 0.02f};
  for (int i = 0; i < 10; ++i) data.targets[i].v[0] += shift[i];
  SimilarityTransformationEstimator3D estimator(0.005f);
  const SimilarityTransformation3D model = ToModel(T);
  std::vector<u32> all, inliers = {99};
  f64 allError = -1.0, error = -1.0;
  estimator.VerifyModel(data, model, all, allError);
  EXPECT_EQ(all, (std::vector<u32>{0, 1, 2, 4, 5, 7, 8, 9}));
  EXPECT_NEAR(allError, 0.0035, 1e-5);
  BitMask required(10);
  estimator.VerifyModelConstrained(data, model, required, inliers, error);
  EXPECT_EQ(inliers, all) << "no required item: plain verification";
  EXPECT_EQ(error, allError);
  required.Set(8);
  estimator.VerifyModelConstrained(data, model, required, inliers, error);
  EXPECT_EQ(inliers, all) << "required items that pass change nothing";
  required.Set(6);
  estimator.VerifyModelConstrained(data, model, required, inliers, error);
  EXPECT_TRUE(inliers.empty());
  BitMask before(10);
  for (const u32 i : {0, 1, 2, 4, 5}) before.Set(i);
  f64 partial = -1.0;
  estimator.ComputeInlierSSE(data, model, before, partial);
  EXPECT_EQ(error, partial);
  EXPECT_NEAR(error, 0.003, 1e-5);
}

TEST(SimilarityTransformationSolver, FourPairsRecoverEverySampleInVolumeAndOnAPlane) {
  SimilarityTransformationSolver solver;
  Random::Seed(1);
  for (int flat = 0; flat < 2; ++flat) {
    int recovered = 0;
    for (int trial = 0; trial < 1000; ++trial) {
      const Truth T = RandomTruthWide();
      LA::AlignedVector4f src[4], dst[4];
      MatchSet3DN<4> sample;
      MakeSample(T, flat, src, dst, sample);
      SimilarityTransformation3D model{};
      ASSERT_TRUE(solver.RunMinimalSample(sample, model));
      const Truth E = FromModel(model);
      bool ok = std::abs(E.R.determinant() - 1.0f) < 1e-4f;
      ok = ok && RotationError(E.R, T.R) < 1e-3f && std::abs(E.s / T.s - 1.0f) < 1e-4f;
      for (int i = 0; i < 4; ++i) {
        const Eigen::Vector3f x(src[i].v[0], src[i].v[1], src[i].v[2]);
        const Eigen::Vector3f y(dst[i].v[0], dst[i].v[1], dst[i].v[2]);
        ok = ok && (E.Apply(x) - y).norm() < 1e-3f * (1.0f + y.norm());
      }
      recovered += ok;
    }
    EXPECT_EQ(recovered, 1000) << (flat ? "coplanar" : "general");
  }
}

TEST(SimilarityTransformationSolver, MirroredTargetsGiveAProperRotationAndCoincidentOnesFail) {
  SimilarityTransformationSolver solver;
  LA::AlignedVector4f src[4], dst[4];
  MatchSet3DN<4> sample;
  SimilarityTransformation3D model{};
  Random::Seed(3);
  for (int trial = 0; trial < 100; ++trial) {
    MakeSample(RandomTruthWide(), false, src, dst, sample);
    for (auto& y : dst) y.v[0] = -y.v[0];  // a reflection of the targets
    ASSERT_TRUE(solver.RunMinimalSample(sample, model));
    EXPECT_NEAR(FromModel(model).R.determinant(), 1.0f, 1e-4f);
  }
  model.m[0][0] = 42.0f;
  for (const bool sources : {true, false}) {
    MakeSample(RandomTruthWide(), false, src, dst, sample);
    for (auto& x : sources ? src : dst) x = Point(Eigen::Vector3f(1, 2, 3));
    EXPECT_FALSE(solver.RunMinimalSample(sample, model));
  }
  EXPECT_EQ(model.m[0][0], 42.0f);
}

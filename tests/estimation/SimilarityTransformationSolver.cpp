// Closed-form similarity: exact recovery from four pairs in general position
// and on a plane (the reflection branch), mirrored targets, and degenerate
// samples that must fail.
#include "estimation/SimilarityTransformationSolver.h"

#include <gtest/gtest.h>

#include "SyntheticScene.h"

using namespace synthetic;

namespace {

struct Similarity {
  Eigen::Matrix3f R;
  Eigen::Vector3f t;
  float s;
  Eigen::Vector3f Apply(const Eigen::Vector3f& x) const { return s * (R * x + t); }
};

Similarity RandomSimilarity() {
  return {RandomRotation(), Eigen::Vector3f(Uniform(-3, 3), Uniform(-3, 3), Uniform(-3, 3)),
          Uniform(0.2f, 5.0f)};
}

LA::AlignedVector4f Point(const Eigen::Vector3f& x) {
  return {{x.x(), x.y(), x.z(), 1.0f}};
}

Similarity FromModel(const SimilarityTransformation3D& m) {
  Similarity out;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) out.R(r, c) = m.m[r][c];
    out.t(r) = m.m[r][3];
  }
  out.s = m.m[3][0];
  return out;
}

// Four sources (coplanar on a random plane when flat) and their images.
void MakeSample(const Similarity& T, bool flat, LA::AlignedVector4f* src, LA::AlignedVector4f* dst,
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

}  // namespace

TEST(SimilarityTransformationSolver, FourPairsRecoverEverySampleInVolumeAndOnAPlane) {
  SimilarityTransformationSolver solver;
  Random::Seed(1);
  for (int flat = 0; flat < 2; ++flat) {
    int recovered = 0;
    for (int trial = 0; trial < 1000; ++trial) {
      const Similarity T = RandomSimilarity();
      LA::AlignedVector4f src[4], dst[4];
      MatchSet3DN<4> sample;
      MakeSample(T, flat, src, dst, sample);
      SimilarityTransformation3D model;
      ASSERT_TRUE(solver.RunMinimalSample(sample, model));
      const Similarity E = FromModel(model);
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

TEST(SimilarityTransformationSolver, ManyNoisyPairsMapCentroidOntoCentroid) {
  SimilarityTransformationSolver solver;
  Random::Seed(2);
  const Similarity T = RandomSimilarity();
  AlignedArray<LA::AlignedVector4f> src, dst;
  src.Resize(100);
  dst.Resize(100);
  Eigen::Vector3f mx = Eigen::Vector3f::Zero(), my = Eigen::Vector3f::Zero();
  for (u32 i = 0; i < 100; ++i) {
    const Eigen::Vector3f x(Uniform(-2, 2), Uniform(-2, 2), Uniform(-2, 2));
    const Eigen::Vector3f y =
        T.Apply(x) + 0.01f * Eigen::Vector3f(Gaussian(), Gaussian(), Gaussian());
    src[i] = Point(x);
    dst[i] = Point(y);
    mx += x / 100.0f;
    my += y / 100.0f;
  }
  SimilarityTransformation3D model;
  ASSERT_TRUE(solver.RunNonMinimalData(src, dst, model));
  const Similarity E = FromModel(model);
  EXPECT_LT((E.Apply(mx) - my).norm(), 1e-4f * (1.0f + my.norm()));
  EXPECT_LT(RotationError(E.R, T.R), 0.01f);
  EXPECT_NEAR(E.s / T.s, 1.0f, 0.01f);
}

TEST(SimilarityTransformationSolver, MirroredTargetsGiveAProperRotationAndCoincidentOnesFail) {
  SimilarityTransformationSolver solver;
  LA::AlignedVector4f src[4], dst[4];
  MatchSet3DN<4> sample;
  SimilarityTransformation3D model;
  Random::Seed(3);
  for (int trial = 0; trial < 100; ++trial) {
    MakeSample(RandomSimilarity(), false, src, dst, sample);
    for (auto& y : dst) y.v[0] = -y.v[0];  // a reflection of the targets
    ASSERT_TRUE(solver.RunMinimalSample(sample, model));
    EXPECT_NEAR(FromModel(model).R.determinant(), 1.0f, 1e-4f);
  }
  model.m[0][0] = 42.0f;
  for (const bool sources : {true, false}) {
    MakeSample(RandomSimilarity(), false, src, dst, sample);
    for (auto& x : sources ? src : dst) x = Point(Eigen::Vector3f(1, 2, 3));
    EXPECT_FALSE(solver.RunMinimalSample(sample, model));
  }
  EXPECT_EQ(model.m[0][0], 42.0f);
}

// Fundamental-matrix solver, data class and estimator on pixel matches, and
// the symmetric epipolar error and packed match sets they build on.
#include "estimation/FundamentalMatrixEstimator.h"

#include <gtest/gtest.h>

#include "common/FiniteDifference.h"
#include "common/ProjectiveScene.h"
#include "estimation/MatchSet2D.h"
#include "estimation/TwoViewGeometry.h"

using namespace scene;

// Eight-point and least-squares fits of exact matches are the true F, of rank
// two, verification finds the one match moved off, and the normal equations
// match finite differences; degenerate input fails cleanly or gives a finite F.
TEST(FundamentalMatrixEstimator, ExactFitsNormalEquationsAndDegenerateInput) {
  Random::Seed(41);
  FundamentalMatrixEstimator estimator(4.0f);
  AlignedArray<FundamentalMatrix> models;
  EightMatches2D sample;
  for (const int n : {8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 9, 11, 100}) {
    const TwoViewScene s = MakeScene(n);
    FillArrays(ToPixels(s.matches), 8, sample.px1, sample.py1, sample.px2, sample.py2);
    FundamentalMatrixEstimatorData data;
    FillSet(ToPixels(s.matches), data);
    for (const bool minimal : {true, false}) {
      ASSERT_TRUE(minimal ? estimator.SolveMinimal(sample, models)
                          : estimator.SolveNonMinimal(data, models));
      ASSERT_EQ(models.Size(), 1u);
      EXPECT_LT(MatrixDistance(ToEigen(models[0]), PixelFundamental(s)), 1e-3) << n;
      const Eigen::Vector3d sv =
          Eigen::JacobiSVD<Eigen::Matrix3d>(ToEigen(models[0])).singularValues();
      EXPECT_LT(sv(2) / sv(0), 1e-6) << n;
    }
    if (n == 100) {
      // In normalised coordinates, as the optimiser runs it: A is half the
      // Hessian at zero residual and matches finite differences off it, and
      // denormalising gives the pixel F back.
      FundamentalMatrix F = FromEigen<FundamentalMatrix>(PixelFundamental(s));
      data = FundamentalMatrixEstimatorData();  // the least-squares fit normalised it
      FillSet(ToPixels(s.matches), data);
      data.NormalizeData(0.5f, F);
      ASSERT_EQ(data.normalized, 1);
      fd::ExpectGaussNewtonHessianAtZeroResidual(data, F, {1e-3, 1e-2, 1e-6});
      FundamentalMatrix off = F;
      off.m[0][1] += 0.01f;
      off.m[2][0] -= 0.02f;
      fd::ExpectNormalEquationMatchesSSE(data, off);
      data.DenormalizeModel(F);
      EXPECT_LT(MatrixDistance(ToEigen(F), PixelFundamental(s)), 1e-4);
      break;  // verification of normalised data is the optimiser's business
    }
    // Verification over the packed blocks and the tail: every exact match
    // but the one moved far off its epipolar line.
    std::vector<Match> moved = ToPixels(s.matches);
    moved[n / 2].x2 += 40.0;
    moved[n / 2].y2 -= 40.0;
    FillSet(moved, data);
    std::vector<u16> in;
    f64 error = -1.0;
    estimator.VerifyModel(data, FromEigen<FundamentalMatrix>(PixelFundamental(s)), in, error);
    EXPECT_TRUE(in.size() == n - 1u && error < 1e-3) << n;
  }
  FillArrays(std::vector<Match>(8, Match{100, 120, 130, 90}), 8, sample.px1, sample.py1, sample.px2,
             sample.py2);
  EXPECT_TRUE(!estimator.SolveMinimal(sample, models) && models.Size() == 0) << "coincident";
  FundamentalMatrixEstimatorData seven;
  FillSet(ToPixels(MakeScene(7).matches), seven);
  EXPECT_TRUE(!estimator.SolveNonMinimal(seven, models) && models.Size() == 0) << "too few";
  // Pure sideways motion makes the normalised F33 vanish, which the F33 = 1
  // parameterisation cannot express: no model or a finite one.
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<Match> m;
    for (int i = 0; i < 8; ++i) {
      const double z = UniformD(2, 8), x = UniformD(-1, 1), y = UniformD(-1, 1);
      m.push_back({x, y, x + 1.0 / z, y});
    }
    FillArrays(ToPixels(m), 8, sample.px1, sample.py1, sample.px2, sample.py2);
    const bool solved = estimator.SolveMinimal(sample, models);
    EXPECT_TRUE(solved ? models.Size() == 1 && ToEigen(models[0]).allFinite() : models.Size() == 0);
  }
  // The mean error in squared pixels: the SSE over the two scales and the
  // match count.
  seven.scale1 = 2.0f;
  seven.scale2 = 4.0f;
  EXPECT_EQ(seven.GetFactorSSEToMSE(), double(1.0f / 56.0f));
}

// Four-wide equals scalar, scratch values too, and both match the definition.
TEST(TwoViewGeometry, SymmetricEpipolarErrorFourWideEqualsScalarAndDefinition) {
  Random::Seed(5);
  const LA::AlignedMatrix3f F = FromEigen(scene::RandomMatrix());
  const Eigen::Matrix3d Fd = ToEigen(F);
  f32 scratch[6];
  LA::AlignedVector4f Fb[9], scratch4[6];
  BroadcastMatrix3(F, Fb);
  for (int block = 0; block < 50; ++block) {
    alignas(16) f32 x1[4], y1[4], x2[4], y2[4], out[4];
    for (int l = 0; l < 4; ++l) {
      x1[l] = f32(UniformD(-1, 1)), y1[l] = f32(UniformD(-1, 1));
      x2[l] = f32(UniformD(-1, 1)), y2[l] = f32(UniformD(-1, 1));
    }
    ComputeSymmetricEpipolarError4(Fb, x1, y1, x2, y2, out, scratch4);
    for (int l = 0; l < 4; ++l) {
      const f32 e = ComputeSymmetricEpipolarError(F, {x1[l], y1[l]}, {x2[l], y2[l]}, scratch);
      EXPECT_EQ(out[l], e);
      for (int k = 0; k < 6; ++k) EXPECT_EQ(scratch4[k].v[l], scratch[k]);
      // Against the definition in double.
      const Eigen::Vector3d p(x1[l], y1[l], 1.0), q(x2[l], y2[l], 1.0);
      const Eigen::Vector3d l2 = Fd * p, l1 = Fd.transpose() * q;
      const f64 r = q.dot(Fd * p);
      const f64 ref = r * r / l1.head<2>().squaredNorm() + r * r / l2.head<2>().squaredNorm();
      EXPECT_NEAR(e, ref, 1e-4 * (1.0 + ref));
    }
  }
}

// Normalisation moves each image's points to mean 0 and mean distance sqrt(2),
// read from the packed storage, the partly filled block too (samplers draw
// from there), and the tail copy agrees with it; the stored means and scales
// undo it. Coincident points and empty sets keep the scale 1. Copies of
// eight-match samples keep their own arrays.
TEST(MatchSet2D, NormalisationGivesMeanZeroAndMeanDistanceSqrt2AndCopiesKeepTheirArrays) {
  Random::Seed(10);
  LA::AlignedVector4f scratch[6];
  for (const u32 n : {3u, 5u, 8u, 13u}) {
    std::vector<scene::Match> m(n);
    for (scene::Match& x : m)
      x = {UniformD(0, 640), UniformD(0, 480), UniformD(0, 640), UniformD(0, 480)};
    MatchSet2D s;
    scene::FillSet(m, s);
    MatchSet2D::Normalize(s, scratch);
    Eigen::Matrix<double, Eigen::Dynamic, 4> r(n, 4), stored(n, 4);
    for (u32 i = 0; i < n; ++i) {
      f32 p[4], t[4];
      s.GetMatch(i, p);
      s.ReadMatch(i, t);
      for (int k = 0; k < 4; ++k) EXPECT_EQ(p[k], t[k]) << "tail copy and block disagree";
      r.row(i) << p[0], p[1], p[2], p[3];
      stored.row(i) << (m[i].x1 - s.means[0]) * s.scale1, (m[i].y1 - s.means[1]) * s.scale1,
          (m[i].x2 - s.means[2]) * s.scale2, (m[i].y2 - s.means[3]) * s.scale2;
    }
    EXPECT_LT(r.colwise().mean().cwiseAbs().maxCoeff(), 1e-5) << n;
    EXPECT_NEAR(r.leftCols<2>().rowwise().norm().mean(), std::sqrt(2.0), 1e-5) << n;
    EXPECT_NEAR(r.rightCols<2>().rowwise().norm().mean(), std::sqrt(2.0), 1e-5) << n;
    EXPECT_LT((stored - r).cwiseAbs().maxCoeff(), 1e-4) << n;
  }
  MatchSet2D s, empty;
  scene::FillSet({{5, 5, 1, 2}, {5, 5, 3, 4}, {5, 5, 5, 7}}, s);
  MatchSet2D::Normalize(s, scratch);
  EXPECT_TRUE(s.scale1 == 1.0f && std::isfinite(s.scale2) && s.tail1[2].x == 0.0f);
  MatchSet2D::Normalize(empty, scratch);
  EXPECT_TRUE(empty.scale1 == 1.0f && empty.means[0] == 0.0f);
  // The solver reads a sample's arrays through pointers: a copy must aim at
  // its own.
  EightMatches2D eight, assigned;
  for (int i = 0; i < 4; ++i) eight.means[i] = eight.x1[7 - i] = 5.0f + i;
  EightMatches2D copy = eight;
  assigned = eight;
  for (const EightMatches2D* e : {&copy, &assigned}) {
    EXPECT_EQ(e->px1, e->x1);
    EXPECT_EQ(e->py2, e->y2);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(e->means[i] == 5.0f + i && e->px1[7 - i] == 5.0f + i);
  }
}

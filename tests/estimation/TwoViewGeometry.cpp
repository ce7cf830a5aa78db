// Transfers of homographies and fundamental matrices between pixel and
// normalised coordinates against matrices built in double, and the symmetric
// epipolar error (scalar, four-wide, known answer).
#include "estimation/TwoViewGeometry.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>

#include "estimation/MatchSet2D.h"
#include "la/Random.h"

namespace {

Eigen::Matrix3d ToEigen(const LA::AlignedMatrix3f& M) {
  Eigen::Matrix3d E;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) E(i, j) = M.m[i][j];
  return E;
}

LA::AlignedMatrix3f FromEigen(const Eigen::Matrix3d& E) {
  LA::AlignedMatrix3f M{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) M.m[i][j] = static_cast<f32>(E(i, j));
  return M;
}

// A = [a 0 -a p; 0 a -a q; 0 0 1].
Eigen::Matrix3d Affine(f64 a, f64 p, f64 q) {
  Eigen::Matrix3d A;
  A << a, 0, -a * p, 0, a, -a * q, 0, 0, 1;
  return A;
}

Eigen::Matrix3d RandomMatrix(u32 seed) {
  Random::Seed(seed);
  Eigen::Matrix3d M;
  for (int i = 0; i < 9; ++i) M(i / 3, i % 3) = (Random::Next() % 20001) / 10000.0 - 1.0;
  return M;
}

}  // namespace

TEST(TwoViewGeometry, HomographyTransformIsBHA) {
  const Eigen::Matrix3d H = RandomMatrix(1);
  const f32 means[4] = {320.5f, 240.25f, 300.0f, 200.75f};
  const f32 a = 0.004f, b = 0.0035f;
  LA::AlignedMatrix3f M = FromEigen(H);
  LA::AlignedVector4f scratch[3];
  TransformHomography(M, means, a, b, scratch);
  Eigen::Matrix3d B;
  B << 1.0 / b, 0, means[2], 0, 1.0 / b, means[3], 0, 0, 1;
  const Eigen::Matrix3d expected = B * ToEigen(FromEigen(H)) * Affine(a, means[0], means[1]);
  EXPECT_LT((ToEigen(M) - expected).cwiseAbs().maxCoeff(), 1e-4 * expected.cwiseAbs().maxCoeff());
}

TEST(TwoViewGeometry, FundamentalTransformIsBTransposedFA) {
  const Eigen::Matrix3d F = RandomMatrix(2);
  const f32 means[4] = {320.5f, 240.25f, 300.0f, 200.75f};
  const f32 a = 0.004f, b = 0.0035f;
  LA::AlignedMatrix3f M = FromEigen(F);
  LA::AlignedVector4f scratch[6];
  TransformFundamentalMatrix(M, means, a, b, scratch);
  const Eigen::Matrix3d expected = Affine(b, means[2], means[3]).transpose() *
                                   ToEigen(FromEigen(F)) * Affine(a, means[0], means[1]);
  EXPECT_LT((ToEigen(M) - expected).cwiseAbs().maxCoeff(), 1e-5 * expected.cwiseAbs().maxCoeff());
}

TEST(TwoViewGeometry, TransformsMoveModelsBetweenPixelAndNormalisedCoordinates) {
  // Pixel homography and matches that it maps exactly.
  Eigen::Matrix3d Hp;
  Hp << 1.1, 0.05, 12.0, -0.03, 0.95, -7.0, 1e-4, -2e-4, 1.0;
  MatchSet2D set;
  set.Resize(13);
  Random::Seed(3);
  for (u32 i = 0; i < 13; ++i) {
    const Eigen::Vector3d x1((Random::Next() % 640), (Random::Next() % 480), 1.0);
    const Eigen::Vector3d x2 = Hp * x1;
    set.SetMatch(i, f32(x1(0)), f32(x1(1)), f32(x2(0) / x2(2)), f32(x2(1) / x2(2)));
  }
  LA::AlignedVector4f scratch[6];
  MatchSet2D::Normalize(set, scratch);
  const f32 inverseMeans[4] = {-set.scale1 * set.means[0], -set.scale1 * set.means[1],
                               -set.scale2 * set.means[2], -set.scale2 * set.means[3]};
  LA::AlignedMatrix3f H = FromEigen(Hp);
  TransformHomography(H, inverseMeans, 1.0f / set.scale1, 1.0f / set.scale2, scratch);
  // The normalised homography maps the normalised matches.
  f32 r[4];
  for (u32 i = 0; i < 13; ++i) {
    set.GetMatch(i, r);
    const Eigen::Vector3d y = ToEigen(H) * Eigen::Vector3d(r[0], r[1], 1.0);
    EXPECT_NEAR(y(0) / y(2), r[2], 2e-4);
    EXPECT_NEAR(y(1) / y(2), r[3], 2e-4);
  }
  // And back to pixels.
  TransformHomography(H, set.means, set.scale1, set.scale2, scratch);
  const Eigen::Matrix3d back = ToEigen(H) / ToEigen(H)(2, 2);
  EXPECT_LT((back - Hp).cwiseAbs().maxCoeff(), 1e-3);

  // A normalised fundamental matrix to pixels and back; in pixels the
  // epipolar constraint holds for the pixel matches exactly when it holds for
  // the normalised ones.
  const Eigen::Matrix3d Fn = RandomMatrix(4);
  LA::AlignedMatrix3f F = FromEigen(Fn);
  TransformFundamentalMatrix(F, set.means, set.scale1, set.scale2, scratch);
  const Eigen::Matrix3d T1 = Affine(set.scale1, set.means[0], set.means[1]);
  const Eigen::Matrix3d T2 = Affine(set.scale2, set.means[2], set.means[3]);
  const Eigen::Vector3d p(100.0, 50.0, 1.0), q(400.0, 300.0, 1.0);
  EXPECT_NEAR(q.dot(ToEigen(F) * p), (T2 * q).dot(ToEigen(FromEigen(Fn)) * (T1 * p)), 1e-4);
  TransformFundamentalMatrix(F, inverseMeans, 1.0f / set.scale1, 1.0f / set.scale2, scratch);
  EXPECT_LT((ToEigen(F) - ToEigen(FromEigen(Fn))).cwiseAbs().maxCoeff(), 1e-3);
}

TEST(TwoViewGeometry, SymmetricEpipolarErrorKnownAnswer) {
  // Sideways motion: epipolar lines are image rows, both distances |y1 - y2|.
  LA::AlignedMatrix3f F{};
  F.m[1][2] = -1.0f;
  F.m[2][1] = 1.0f;
  f32 scratch[6];
  EXPECT_FLOAT_EQ(ComputeSymmetricEpipolarError(F, {3.0f, 2.0f}, {-1.0f, 2.5f}, scratch), 0.5f);
  EXPECT_FLOAT_EQ(scratch[2], -0.5f);  // e
  EXPECT_FLOAT_EQ(scratch[3], 0.25f);  // e^2
}

TEST(TwoViewGeometry, FourWideAndScalarEpipolarErrorsAreEqual) {
  const LA::AlignedMatrix3f F = FromEigen(RandomMatrix(5));
  LA::AlignedVector4f Fb[9], scratch4[6];
  BroadcastMatrix3(F, Fb);
  Random::Seed(6);
  for (int block = 0; block < 50; ++block) {
    alignas(16) f32 x1[4], y1[4], x2[4], y2[4], out[4];
    for (int l = 0; l < 4; ++l) {
      x1[l] = (Random::Next() % 2001) / 1000.0f - 1.0f;
      y1[l] = (Random::Next() % 2001) / 1000.0f - 1.0f;
      x2[l] = (Random::Next() % 2001) / 1000.0f - 1.0f;
      y2[l] = (Random::Next() % 2001) / 1000.0f - 1.0f;
    }
    ComputeSymmetricEpipolarError4(Fb, x1, y1, x2, y2, out, scratch4);
    for (int l = 0; l < 4; ++l) {
      f32 scratch[6];
      const f32 e = ComputeSymmetricEpipolarError(F, {x1[l], y1[l]}, {x2[l], y2[l]}, scratch);
      EXPECT_EQ(out[l], e);
      for (int k = 0; k < 6; ++k) EXPECT_EQ(scratch4[k].v[l], scratch[k]);
      // Against the definition in double.
      const Eigen::Matrix3d Fd = ToEigen(F);
      const Eigen::Vector3d p(x1[l], y1[l], 1.0), q(x2[l], y2[l], 1.0);
      const Eigen::Vector3d l2 = Fd * p, l1 = Fd.transpose() * q;
      const f64 r = q.dot(Fd * p);
      const f64 ref = r * r / l1.head<2>().squaredNorm() + r * r / l2.head<2>().squaredNorm();
      EXPECT_NEAR(e, ref, 1e-4 * (1.0 + ref));
    }
  }
}

// 3x3 kernels and small helpers against Eigen in double precision, with the
// triangle and fourth-float promises the solvers rely on.
#include "la/LinearAlgebra.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <limits>

#include "la/Random.h"

namespace {

float Uniform(float lo, float hi) {
  return lo + (hi - lo) * static_cast<float>(Random::Next()) / static_cast<float>(Random::kMax);
}

LA::AlignedMatrix3f RandomMatrix(float fourth) {
  LA::AlignedMatrix3f M;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) M.m[i][j] = Uniform(-2, 2);
    M.m[i][3] = fourth;
  }
  return M;
}

Eigen::Matrix3d ToEigen(const LA::AlignedMatrix3f& M) {
  Eigen::Matrix3d E;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) E(i, j) = M.m[i][j];
  return E;
}

void ExpectNear(const LA::AlignedMatrix3f& M, const Eigen::Matrix3d& E, double tol) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(M.m[i][j], E(i, j), tol) << i << "," << j;
}

class LinearAlgebraTest : public ::testing::Test {
 protected:
  void SetUp() override { Random::Seed(5); }
};

TEST_F(LinearAlgebraTest, ProductsMatchDoublePrecisionAndKeepFourthFloats) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (int trial = 0; trial < 100; ++trial) {
    // NaN in the fourth floats of the inputs must never reach a result.
    const LA::AlignedMatrix3f A = RandomMatrix(nan), B = RandomMatrix(nan);
    const Eigen::Matrix3d a = ToEigen(A), b = ToEigen(B);
    alignas(16) float scratch[4];
    LA::AlignedMatrix3f P = RandomMatrix(42.0f), Q = RandomMatrix(42.0f);
    LA::MultiplyAB(A, B, P, scratch);
    ExpectNear(P, a * b, 1e-5);
    LA::MultiplyBA(A, B, Q, scratch);
    ExpectNear(Q, b * a, 1e-5);
    LA::AlignedMatrix3f R;
    LA::MultiplyAB(B, A, R, scratch);
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) EXPECT_EQ(Q.m[i][j], R.m[i][j]);
      EXPECT_EQ(P.m[i][3], 42.0f);
    }
    LA::MultiplyABT(A, B, P);
    ExpectNear(P, a * b.transpose(), 1e-5);
    EXPECT_EQ(P.m[1][3], 42.0f);

    LA::AlignedMatrix3f S = RandomMatrix(42.0f);
    const Eigen::Matrix3d s = ToEigen(S);
    LA::AddABTTo(A, B, S);
    ExpectNear(S, s + a * b.transpose(), 1e-5);
    LA::SubtractABTFrom(A, B, S);
    ExpectNear(S, s, 1e-5);

    // Upper-triangle variants leave arbitrary lower entries alone.
    LA::AlignedMatrix3f U = RandomMatrix(42.0f);
    const Eigen::Matrix3d u = ToEigen(U);
    LA::AddABTToUpper(A, B, U);
    const Eigen::Matrix3d added = u + a * b.transpose();
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        EXPECT_NEAR(U.m[i][j], j >= i ? added(i, j) : u(i, j), 1e-5) << i << "," << j;
    LA::SubtractABTFromUpper(A, B, U);
    ExpectNear(U, u, 1e-5);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(U.m[i][3], 42.0f);
  }
}

TEST_F(LinearAlgebraTest, InvertSymmetric) {
  for (int trial = 0; trial < 100; ++trial) {
    const LA::AlignedMatrix3f G = RandomMatrix(0.0f);
    const Eigen::Matrix3d g = ToEigen(G);
    const Eigen::Matrix3d spd = g * g.transpose() + 0.5 * Eigen::Matrix3d::Identity();
    LA::AlignedMatrix3f M, Minv;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) M.m[i][j] = static_cast<float>(spd(i, j));
      Minv.m[i][3] = 9.0f;
    }
    ASSERT_TRUE(LA::InvertSymmetric3x3(M, Minv));
    const Eigen::Matrix3d ref = ToEigen(M).inverse();
    ExpectNear(Minv, ref, 1e-4 * ref.cwiseAbs().maxCoeff());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Minv.m[i][3], 9.0f);
  }

  LA::AlignedMatrix3f I{}, Iinv;
  for (int i = 0; i < 3; ++i) I.m[i][i] = 1.0f;
  ASSERT_TRUE(LA::InvertSymmetric3x3(I, Iinv));
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(Iinv.m[i][j], i == j ? 1.0f : 0.0f);

  // Singular: the diagonal fallback, everything else zero.
  LA::AlignedMatrix3f D{}, Dinv;
  D.m[0][0] = 2.0f;
  D.m[2][2] = 4.0f;
  D.m[0][2] = D.m[2][0] = 1e-30f;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) Dinv.m[i][j] = 7.0f;
  EXPECT_FALSE(LA::InvertSymmetric3x3(D, Dinv));
  const float expected[3][4] = {{0.5f, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0.25f, 0}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(Dinv.m[i][j], expected[i][j]);
}

TEST(LinearAlgebraHelpers, MaxAbsAndCopyUpperToLower) {
  const float v6[6] = {-3, 1, 2, 3, 0, -1};
  EXPECT_EQ(LA::MaxAbs6(v6), 3.0f);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float n6[6] = {-2, nan, 1, nan, 0, -1};
  EXPECT_EQ(LA::MaxAbs6(n6), 2.0f);
  const float v8[8] = {0.5f, -1, 2, -7.25f, 3, nan, 7, 1e-30f};
  EXPECT_EQ(LA::MaxAbs8(v8), 7.25f);
  const float d8[8] = {-1e-45f, 0, 0, 0, 0, 0, 0, 0};  // a denormal survives the double route
  EXPECT_EQ(LA::MaxAbs8(d8), 1e-45f);

  LA::AlignedMatrix8f M;
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 8; ++j) M.m[i][j] = j >= i ? float(10 * i + j) : -1.0f;
  M.CopyUpperToLower();
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 8; ++j) EXPECT_EQ(M.m[i][j], float(10 * std::min(i, j) + std::max(i, j)));
}

}  // namespace

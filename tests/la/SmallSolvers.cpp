// LDL^T solves for N = 3..9 against a double-precision reference on random
// definite and indefinite systems whose lower triangle is NaN, the compact
// 6x6 layout, small pivots and the 3x3 eigen decomposition.
// (The row-pointer views of the other fixed sizes serve the estimators, whose
// tests solve through them.)
#include "la/SmallSolvers.h"

#include <gtest/gtest.h>

#include <limits>

#include "common/Draws.h"

namespace {

using MatrixXd = Eigen::MatrixXd;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

bool (*const kSolve[])(float* const*, float*) = {LA::SolveLDL3, LA::SolveLDL4, LA::SolveLDL5,
                                                 LA::SolveLDL6, LA::SolveLDL7, LA::SolveLDL8,
                                                 LA::SolveLDL9};
bool (*const kDecompose[])(float* const*) = {
    LA::DecomposeLDL3, LA::DecomposeLDL4, LA::DecomposeLDL5, LA::DecomposeLDL6,
    LA::DecomposeLDL7, LA::DecomposeLDL8, LA::DecomposeLDL9};

// The upper triangle of A and `lower` below the diagonal, in rows of nine
// floats and in the row pointers the solvers take.
struct Rows {
  float m[9][9];
  float* p[9];
  Rows(const MatrixXd& A, float lower) {
    for (int i = 0; i < A.rows(); ++i) {
      p[i] = m[i];
      for (int j = 0; j < A.cols(); ++j) m[i][j] = j >= i ? float(A(i, j)) : lower;
    }
  }
};

// A = L D L^T with a unit lower L and pivots of magnitude 0.5..2: LDL without
// pivoting succeeds on it whatever the pivots' signs. Then degenerate systems:
// a too small first pivot, a zero second one (through A01 = 1) and a too small
// last one, which the decomposition does not test but the solve does; a solve
// whose decomposition failed leaves b unchanged.
TEST(SmallSolvers, RandomAndDegenerateSystems) {
  Random::Seed(99);
  for (int n = 3; n <= 9; ++n) {
    for (int trial = 0; trial < 100; ++trial) {
      MatrixXd L = MatrixXd::Identity(n, n), D = MatrixXd::Zero(n, n);
      for (int i = 0; i < n; ++i) {
        for (int j = 0; j < i; ++j) L(i, j) = Uniform(-0.5f, 0.5f);
        D(i, i) = Uniform(0.5f, 2.0f) * (trial % 2 && i % 2 ? -1 : 1);
      }
      const MatrixXd A = L * D * L.transpose();
      Rows rows(A, kNaN);
      Eigen::VectorXd b(n);
      float x[9], b0[9];
      for (int i = 0; i < n; ++i) x[i] = b0[i] = float(b[i] = Uniform(-1, 1));
      const Eigen::VectorXd ref = A.cast<float>().cast<double>().fullPivLu().solve(b);
      ASSERT_TRUE(kSolve[n - 3](rows.p, x)) << n;
      for (int i = 0; i < n; ++i)
        EXPECT_NEAR(x[i], ref[i], 2e-4 * (1 + ref.cwiseAbs().maxCoeff())) << n << " " << trial;
      if (n != 6) continue;
      // The compact 6x6 layout (NaN below the diagonal) gives the same
      // solution bit for bit: same operations in the same order.
      LA::AlignedCompactMatrix6f m;
      LA::AlignedVector6f v;
      for (int i = 0; i < 6; ++i) {
        v[i] = b0[i];
        for (int j = 0; j < 6; ++j) m(i, j) = j >= i ? float(A(i, j)) : kNaN;
      }
      ASSERT_TRUE(LA::SolveLDL(m, v));
      for (int i = 0; i < 6; ++i) EXPECT_EQ(v[i], x[i]) << i;
    }
    for (int at : {0, 1, n - 1}) {
      MatrixXd A = MatrixXd::Identity(n, n);
      if (at == 1) A(0, 1) = 1;  // second pivot 1 - 1 * 1 = 0
      if (at != 1) A(at, at) = 1e-8;
      Rows factors(A, 0.0f), rows(A, 0.0f);
      EXPECT_EQ(kDecompose[n - 3](factors.p), at == n - 1) << n << " " << at;
      float b[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
      EXPECT_FALSE(kSolve[n - 3](rows.p, b)) << n << " " << at;
      for (int i = 0; i < n && at < n - 1; ++i) EXPECT_EQ(b[i], float(i + 1));
    }
  }
}

// Ascending eigenvalues and orthonormal eigenvector rows of random symmetric
// matrices; non-finite input refused with S untouched.
TEST(SmallSolvers, SymmetricEigen3) {
  LA::AlignedMatrix3f S;
  Random::Seed(8);
  float lambda[3];
  for (int trial = 0; trial < 200; ++trial) {
    Eigen::Matrix3d M;
    for (int r = 0; r < 3; ++r)
      for (int c = r; c < 3; ++c) M(r, c) = M(c, r) = Uniform(-2.0f, 2.0f);
    S = FromEigen(M);
    ASSERT_TRUE(LA::ComputeSymmetricEigen3(S, lambda));
    const Eigen::Vector3d e = Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>(M).eigenvalues();
    const Eigen::Matrix3d V = ToEigen(S);  // orthonormal with V M V^T = diag(e)
    EXPECT_LT((Eigen::Vector3f(lambda).cast<double>() - e).cwiseAbs().maxCoeff(), 1e-5) << trial;
    EXPECT_LT((V * V.transpose() - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff(), 1e-5);
    EXPECT_LT((V * M * V.transpose() - Eigen::Matrix3d(e.asDiagonal())).norm(), 1e-4) << trial;
  }
  S = FromEigen(Eigen::Matrix3d::Identity() * 5);
  S.m[1][2] = kNaN;
  EXPECT_FALSE(LA::ComputeSymmetricEigen3(S, lambda));
  EXPECT_EQ(S.m[0][0], 5.0f);
}

}  // namespace

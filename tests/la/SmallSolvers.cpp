// LDL^T solves for N = 3..9 against a double-precision reference on random
// definite and indefinite systems whose lower triangle is NaN, the fixed-size
// views, small pivots, the Gram matrix and the 3x3 eigen decomposition.
#include "la/SmallSolvers.h"

#include <gtest/gtest.h>

#include <limits>
#include <type_traits>

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

// The fixed-size view of the system (NaN below the diagonal) gives the
// row-pointer solution x bit for bit: same operations in the same order.
template <class M, class V>
void ExpectViewGives(const MatrixXd& A, const float* b, const float* x) {
  M m;
  V v;
  for (int i = 0; i < A.rows(); ++i) {
    v[i] = b[i];
    for (int j = 0; j < A.cols(); ++j) {
      const float a = j >= i ? float(A(i, j)) : kNaN;
      if constexpr (std::is_same_v<M, LA::AlignedCompactMatrix6f>) m(i, j) = a;
      if constexpr (!std::is_same_v<M, LA::AlignedCompactMatrix6f>) m.m[i][j] = a;
    }
  }
  ASSERT_TRUE(LA::SolveLDL(m, v));
  for (int i = 0; i < A.rows(); ++i) EXPECT_EQ(v[i], x[i]) << i;
}

// A = L D L^T with a unit lower L and pivots of magnitude 0.5..2: LDL without
// pivoting succeeds on it whatever the pivots' signs.
TEST(SmallSolvers, RandomSystemsMatchDoubleInEveryLayout) {
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
      if (n == 3) ExpectViewGives<LA::AlignedMatrix3f, LA::AlignedVector3f>(A, b0, x);
      if (n == 4) ExpectViewGives<LA::AlignedMatrix4f, LA::AlignedVector4f>(A, b0, x);
      if (n == 6) ExpectViewGives<LA::AlignedCompactMatrix6f, LA::AlignedVector6f>(A, b0, x);
      if (n == 7) ExpectViewGives<LA::AlignedMatrix7f, LA::AlignedVector7f>(A, b0, x);
      if (n == 8) ExpectViewGives<LA::AlignedMatrix8f, LA::AlignedVector8f>(A, b0, x);
    }
  }
}

// The decomposition does not test the last pivot; the solve does. A solve
// whose decomposition failed leaves b unchanged.
TEST(SmallSolvers, TooSmallPivotsFail) {
  const struct {
    int n, at;  // size, the pivot that is too small (the second through A01 = 1)
    bool decomposes;
  } cases[] = {{3, 0, false}, {3, 1, false}, {9, 1, false},
               {3, 2, true},  {8, 7, true},  {9, 8, true}};
  for (const auto& c : cases) {
    MatrixXd A = MatrixXd::Identity(c.n, c.n);
    if (c.at == 1) A(0, 1) = 1;  // second pivot 1 - 1 * 1 = 0
    if (c.at != 1) A(c.at, c.at) = 1e-8;
    Rows factors(A, 0.0f), rows(A, 0.0f);
    EXPECT_EQ(kDecompose[c.n - 3](factors.p), c.decomposes) << c.n << " " << c.at;
    float b[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_FALSE(kSolve[c.n - 3](rows.p, b)) << c.n << " " << c.at;
    for (int i = 0; i < c.n && !c.decomposes; ++i) EXPECT_EQ(b[i], float(i + 1));
  }
}

// Gram matrix: seven values (not a multiple of the four-wide loop), then
// values the sums must not reach; the lower triangle is left alone. Eigen
// decomposition: ascending eigenvalues, orthonormal eigenvector rows;
// non-finite input refused with S untouched.
TEST(SmallSolvers, GramMatrixAndSymmetricEigen3) {
  float c[3][12];
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 12; ++i) c[k][i] = i < 7 ? float(1 + i * (k + 1) % 5) : 1e3f;
  LA::AlignedMatrix3f G = FromEigen(Eigen::Matrix3d::Constant(-1));
  LA::ComputeGramMatrix3(7, c[0], c[1], c[2], G);
  const Eigen::Matrix<float, 7, 3> C = Eigen::Map<Eigen::Matrix<float, 12, 3>>(c[0]).topRows<7>();
  Eigen::Matrix3d expected = (C.transpose() * C).cast<double>();  // small integers: exact
  expected.triangularView<Eigen::StrictlyLower>().setConstant(-1);
  EXPECT_EQ(ToEigen(G), expected);

  Random::Seed(8);
  float lambda[3];
  for (int trial = 0; trial < 200; ++trial) {
    Eigen::Matrix3d M;
    for (int r = 0; r < 3; ++r)
      for (int c = r; c < 3; ++c) M(r, c) = M(c, r) = Uniform(-2.0f, 2.0f);
    G = FromEigen(M);
    ASSERT_TRUE(LA::ComputeSymmetricEigen3(G, lambda));
    const Eigen::Vector3d e = Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>(M).eigenvalues();
    const Eigen::Matrix3d V = ToEigen(G);  // orthonormal with V M V^T = diag(e)
    EXPECT_LT((Eigen::Vector3f(lambda).cast<double>() - e).cwiseAbs().maxCoeff(), 1e-5) << trial;
    EXPECT_LT((V * V.transpose() - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff(), 1e-5);
    EXPECT_LT((V * M * V.transpose() - Eigen::Matrix3d(e.asDiagonal())).norm(), 1e-4) << trial;
  }
  G = FromEigen(Eigen::Matrix3d::Identity() * 5);
  G.m[1][2] = kNaN;
  EXPECT_FALSE(LA::ComputeSymmetricEigen3(G, lambda));
  EXPECT_EQ(G.m[0][0], 5.0f);
}

}  // namespace

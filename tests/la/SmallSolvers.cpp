// LDL^T solves for N = 3..8 against a double-precision reference on random
// positive definite and indefinite systems whose lower triangle is garbage,
// the small-pivot failures, and the compact 6x6 form against the dense one.
#include "la/SmallSolvers.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <limits>
#include <vector>

#include "common/Draws.h"

namespace {

using MatrixXd = Eigen::MatrixXd;
using VectorXd = Eigen::VectorXd;

bool (*const kSolve[])(float* const*, float*) = {LA::SolveLDL3, LA::SolveLDL4, LA::SolveLDL5,
                                                 LA::SolveLDL6, LA::SolveLDL7, LA::SolveLDL8};
bool (*const kDecompose[])(float* const*) = {LA::DecomposeLDL3, LA::DecomposeLDL4,
                                             LA::DecomposeLDL5, LA::DecomposeLDL6,
                                             LA::DecomposeLDL7, LA::DecomposeLDL8};

// A = L D L^T with a unit lower L and pivots of magnitude 0.5..2: LDL without
// pivoting succeeds on it whatever the pivots' signs.
MatrixXd RandomSystem(int n, bool indefinite) {
  MatrixXd L = MatrixXd::Identity(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < i; ++j) L(i, j) = Uniform(-0.5f, 0.5f);
  VectorXd d(n);
  for (int i = 0; i < n; ++i) d[i] = Uniform(0.5f, 2.0f) * (indefinite && i % 2 ? -1 : 1);
  const MatrixXd A = L * d.asDiagonal() * L.transpose();
  return A.selfadjointView<Eigen::Upper>();
}

// Rows of 8 floats (enough for every N) with the upper triangle of A and
// `lower` below the diagonal, and row pointers over them.
struct Rows {
  alignas(16) float m[8][8];
  float* p[8];
  Rows(const MatrixXd& A, float lower) {
    for (int i = 0; i < A.rows(); ++i) {
      p[i] = m[i];
      for (int j = 0; j < A.cols(); ++j) m[i][j] = j >= i ? float(A(i, j)) : lower;
    }
  }
};

TEST(SmallSolvers, RandomDefiniteAndIndefiniteSystemsMatchDouble) {
  Random::Seed(99);
  for (int n = 3; n <= 8; ++n) {
    for (int trial = 0; trial < 100; ++trial) {
      const MatrixXd A = RandomSystem(n, trial % 2);
      // Only the diagonal and the upper triangle may be read.
      Rows rows(A, std::numeric_limits<float>::quiet_NaN());
      VectorXd b(n);
      float x[8];
      for (int i = 0; i < n; ++i) x[i] = float(b[i] = Uniform(-1, 1));
      const VectorXd ref = A.cast<float>().cast<double>().fullPivLu().solve(b);
      ASSERT_TRUE(kSolve[n - 3](rows.p, x)) << "n = " << n;
      const double tol = 2e-4 * (1.0 + ref.cwiseAbs().maxCoeff());
      for (int i = 0; i < n; ++i)
        EXPECT_NEAR(x[i], ref[i], tol) << "n = " << n << " trial " << trial;
    }
  }
}

MatrixXd Diagonal(std::vector<double> d) {
  return Eigen::Map<VectorXd>(d.data(), d.size()).asDiagonal();
}

// The decomposition does not test the last pivot; the solve does. A solve
// whose decomposition failed leaves b unchanged.
TEST(SmallSolvers, TooSmallPivotsFail) {
  MatrixXd secondPivotZero = Diagonal({1, 1, 1});
  secondPivotZero(0, 1) = secondPivotZero(1, 0) = 1;
  const struct {
    MatrixXd A;
    bool decomposes;
  } cases[] = {{Diagonal({1e-8, 1, 1}), false},
               {secondPivotZero, false},
               {Diagonal({1, 1, 0}), true},
               {Diagonal({2, 2, 2, 2, 2, 2, 2, 0}), true}};
  for (const auto& c : cases) {
    const int n = static_cast<int>(c.A.rows());
    Rows factors(c.A, 0.0f), rows(c.A, 0.0f);
    EXPECT_EQ(kDecompose[n - 3](factors.p), c.decomposes) << c.A;
    float b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_FALSE(kSolve[n - 3](rows.p, b)) << c.A;
    for (int i = 0; i < n && !c.decomposes; ++i) EXPECT_EQ(b[i], float(i + 1));
  }
}

TEST(SmallSolvers, CompactSixBySixEqualsDenseBitForBit) {
  Random::Seed(6);
  for (int trial = 0; trial < 100; ++trial) {
    const MatrixXd A = RandomSystem(6, trial % 2 == 1);
    LA::AlignedCompactMatrix6f C;
    LA::AlignedVector6f b;
    float x[6];
    for (int i = 0; i < 6; ++i) {
      for (int j = 0; j < 6; ++j) C(i, j) = float(A(i, j));
      b[i] = x[i] = Uniform(-1, 1);
    }
    Rows dense(A, 0.0f);
    ASSERT_TRUE(LA::SolveLDL6(dense.p, x));
    ASSERT_TRUE(LA::SolveLDL(C, b));
    for (int i = 0; i < 6; ++i) EXPECT_EQ(b[i], x[i]);  // same operations, same order
  }
}

// The 9x9 solve of the image alignment: random systems against double
// precision with NaN below the diagonal, a zero second pivot (b untouched)
// and a zero last pivot, which only the solve tests.
TEST(SmallSolvers, NineByNineMatchesDoubleAndRejectsSmallPivots) {
  struct Rows9 {
    float m[9][9];
    float* p[9];
    Rows9(const MatrixXd& A) {
      for (int i = 0; i < 9; ++i) {
        p[i] = m[i];
        for (int j = 0; j < 9; ++j)
          m[i][j] = j >= i ? float(A(i, j)) : std::numeric_limits<float>::quiet_NaN();
      }
    }
  };
  Random::Seed(9);
  for (int trial = 0; trial < 100; ++trial) {
    const MatrixXd A = RandomSystem(9, trial % 2);
    Rows9 rows(A);
    VectorXd b(9);
    float x[9];
    for (int i = 0; i < 9; ++i) x[i] = float(b[i] = Uniform(-1, 1));
    const VectorXd ref = A.cast<float>().cast<double>().fullPivLu().solve(b);
    ASSERT_TRUE(LA::SolveLDL9(rows.p, x));
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(x[i], ref[i], 2e-4 * (1.0 + ref.cwiseAbs().maxCoeff()));
  }
  MatrixXd second = Diagonal({1, 1, 1, 1, 1, 1, 1, 1, 1}), last = second;
  second(0, 1) = second(1, 0) = 1;
  last(8, 8) = 1e-8;
  Rows9 a(second), c(second), d(last);
  float b[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_FALSE(LA::DecomposeLDL9(a.p));
  EXPECT_FALSE(LA::SolveLDL9(c.p, b));
  for (int i = 0; i < 9; ++i) EXPECT_EQ(b[i], float(i + 1));
  EXPECT_TRUE(LA::DecomposeLDL9(d.p));
  EXPECT_FALSE(LA::SolveLDL9(d.p, b));
}

// The 3x3 eigen decomposition: ascending eigenvalues of random symmetric
// matrices, orthonormal eigenvector rows with S v = lambda v; non-finite
// input refused with S untouched.
TEST(SmallSolvers, SymmetricEigen3) {
  Random::Seed(8);
  for (int trial = 0; trial < 200; ++trial) {
    Eigen::Matrix3d M = Eigen::Matrix3d::Zero();
    for (int r = 0; r < 3; ++r)
      for (int c = r; c < 3; ++c) M(r, c) = M(c, r) = Uniform(-2.0f, 2.0f);
    LA::AlignedMatrix3f S;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) S.m[r][c] = static_cast<float>(M(r, c));
    float lambda[3];
    ASSERT_TRUE(LA::ComputeSymmetricEigen3(S, lambda));
    const Eigen::Vector3d expected =
        Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>(M).eigenvalues();
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(lambda[k], expected[k], 1e-5) << trial;
      const Eigen::Vector3d v(S.m[k][0], S.m[k][1], S.m[k][2]);
      EXPECT_NEAR(v.norm(), 1.0, 1e-5);
      EXPECT_LT((M * v - expected[k] * v).norm(), 1e-4) << trial << " " << k;
    }
  }
  LA::AlignedMatrix3f S{};
  S.m[0][0] = 5.0f;
  S.m[1][2] = NAN;
  float lambda[3];
  EXPECT_FALSE(LA::ComputeSymmetricEigen3(S, lambda));
  EXPECT_EQ(S.m[0][0], 5.0f);
}

}  // namespace

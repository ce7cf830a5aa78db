// 3x3 kernels against Eigen in double precision, with the promises the
// solvers rely on: NaN in the inputs' fourth floats never reaches a result,
// the outputs' fourth floats and the lower triangle of the upper-only
// variants are left alone. LDL^T solves for N = 3..9 against a double-precision
// reference on random definite and indefinite systems whose lower triangle is
// NaN, and on too small pivots. (The fixed-size views and the compact 6x6
// layout serve the estimators, whose tests solve through them.)
#include "la/LinearAlgebra.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "common/Draws.h"
#include "la/SmallSolvers.h"

namespace {

using M3 = LA::AlignedMatrix3f;
using E3 = Eigen::Matrix3d;
using MatrixXd = Eigen::MatrixXd;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

M3 RandomMatrix(float fourth) {
  M3 M;
  for (auto& row : M.m)
    for (int j = 0; j < 4; ++j) row[j] = j < 3 ? Uniform(-2, 2) : fourth;
  return M;
}

TEST(LinearAlgebra, ProductKernelsMatchDouble) {
  alignas(16) float scratchBuffer[5];
  float* scratch = scratchBuffer + 1;  // a misaligned scratch must not crash
  const struct {
    const char* name;
    std::function<void(const M3&, const M3&, M3&)> run;
    int product;        // 0: A B, 1: B A, 2: A B^T
    double keep, sign;  // P = keep P + sign product
    bool upperOnly;
  } kernels[] = {
      {"AB", [&](auto& A, auto& B, auto& P) { LA::MultiplyAB(A, B, P, scratch); }, 0, 0, 1, false},
      {"BA", [&](auto& A, auto& B, auto& P) { LA::MultiplyBA(A, B, P, scratch); }, 1, 0, 1, false},
      {"ABT", LA::MultiplyABT, 2, 0, 1, false},
      {"+ABT", LA::AddABTTo, 2, 1, 1, false},
      {"-ABT", LA::SubtractABTFrom, 2, 1, -1, false},
      {"+ABT upper", LA::AddABTToUpper, 2, 1, 1, true},
      {"-ABT upper", LA::SubtractABTFromUpper, 2, 1, -1, true}};
  Random::Seed(5);
  for (const auto& k : kernels)
    for (int trial = 0; trial < 50; ++trial) {
      const M3 A = RandomMatrix(kNaN), B = RandomMatrix(kNaN);
      M3 P = RandomMatrix(42.0f);
      const E3 a = ToEigen(A), b = ToEigen(B), p = ToEigen(P);
      const E3 product = k.product == 1 ? E3(b * a) : E3(a * (k.product ? E3(b.transpose()) : b));
      const E3 expected = k.keep * p + k.sign * product;
      k.run(A, B, P);
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
          EXPECT_NEAR(P.m[i][j], k.upperOnly && j < i ? p(i, j) : expected(i, j), 1e-5)
              << k.name << " at " << i << j;
        EXPECT_EQ(P.m[i][3], 42.0f) << k.name;
      }
    }
}

// A definite matrix with distinct entries against Eigen's inverse, the
// fourth floats left alone; singular and non-finite matrices; the largest
// magnitude.
TEST(LinearAlgebra, InverseEigenAndMaxAbsOnKnownAndDegenerateInput) {
  const E3 spd = (E3() << 4, 1, 2, 1, 3, -0.5, 2, -0.5, 5).finished();
  M3 Minv = RandomMatrix(9.0f);
  ASSERT_TRUE(LA::InvertSymmetric3x3(FromEigen(spd), Minv));
  EXPECT_LT((ToEigen(Minv) - spd.inverse()).cwiseAbs().maxCoeff(), 1e-6);
  EXPECT_EQ(TranslationOf(Minv), Eigen::Vector3d(9, 9, 9));
  // Entries of 1e13 and more, whose determinant no float holds: the inverse
  // of the scaled matrix, scaled back.
  for (const double scale : {1e13, 1e16}) {
    ASSERT_TRUE(LA::InvertSymmetric3x3(FromEigen(E3(scale * spd)), Minv)) << scale;
    EXPECT_LT((scale * ToEigen(Minv) - spd.inverse()).cwiseAbs().maxCoeff(), 1e-6) << scale;
  }
  // Singular: reciprocals of the non-zero diagonal entries, zero elsewhere.
  E3 d = Eigen::Vector3d(2, 0, 4).asDiagonal();
  d(0, 2) = d(2, 0) = 1e-30;
  M3 Dinv = RandomMatrix(7.0f);
  EXPECT_FALSE(LA::InvertSymmetric3x3(FromEigen(d), Dinv));
  EXPECT_EQ(ToEigen(Dinv), E3(Eigen::Vector3d(0.5, 0, 0.25).asDiagonal()));
  EXPECT_EQ(TranslationOf(Dinv), Eigen::Vector3d::Zero());
  // The eigen decomposition (it serves the EPnP estimator, whose tests
  // recover exact poses) with only the first two axes coupled, which its
  // convergence test must see: eigenvalues 1, 3 and 5, the first two vectors
  // at 45 degrees.
  float lambda[3];
  M3 S = FromEigen((E3() << 2, 1, 0, 1, 2, 0, 0, 0, 5).finished());
  ASSERT_TRUE(LA::ComputeSymmetricEigen3(S, lambda));
  EXPECT_NEAR(lambda[0], 1.0f, 1e-6f);
  EXPECT_NEAR(lambda[1], 3.0f, 1e-6f);
  EXPECT_NEAR(lambda[2], 5.0f, 1e-6f);
  EXPECT_NEAR(std::fabs(S.m[0][0]), std::sqrt(0.5f), 1e-6f);
  EXPECT_NEAR(std::fabs(S.m[2][2]), 1.0f, 1e-6f);
  // It refuses non-finite input with S untouched.
  d(1, 2) = kNaN;
  Dinv = FromEigen(d);
  EXPECT_FALSE(LA::ComputeSymmetricEigen3(Dinv, lambda));
  EXPECT_EQ(Dinv.m[0][0], 2.0f);

  // The largest magnitude wins wherever it stands.
  for (int at = 0; at < 8; ++at) {
    float v[8] = {0.5f, -1.0f, 2.0f, -0.25f, 1.5f, -2.5f, 0.75f, 1.0f};
    v[at] = -9.0f;
    EXPECT_EQ(LA::MaxAbs6(v), at < 6 ? 9.0f : 2.5f) << at;
    EXPECT_EQ(LA::MaxAbs8(v), 9.0f) << at;
  }
}

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
      float x[9];
      for (int i = 0; i < n; ++i) x[i] = float(b[i] = Uniform(-1, 1));
      const Eigen::VectorXd ref = A.cast<float>().cast<double>().fullPivLu().solve(b);
      ASSERT_TRUE(kSolve[n - 3](rows.p, x)) << n;
      for (int i = 0; i < n; ++i)
        EXPECT_NEAR(x[i], ref[i], 2e-4 * (1 + ref.cwiseAbs().maxCoeff())) << n << " " << trial;
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

// Any size; only the lower triangle is read (the upper holds NaN). A matrix
// that is not positive definite, or holds a NaN, is refused and b kept.
TEST(SmallSolvers, CholeskyOfAnySize) {
  Random::Seed(23);
  for (const u32 n : {1u, 6u, 61u}) {
    MatrixXd G(n, n);
    for (u32 i = 0; i < n; ++i)
      for (u32 j = 0; j < n; ++j) G(i, j) = UniformD(-1.0, 1.0);
    const MatrixXd A = G * G.transpose() + MatrixXd::Identity(n, n) * 0.1;
    Eigen::VectorXd x(n);
    for (u32 i = 0; i < n; ++i) x[i] = UniformD(-1.0, 1.0);
    std::vector<f64> a(n * n), b(n);
    for (u32 i = 0; i < n; ++i) {
      b[i] = (A * x)[i];
      for (u32 j = 0; j < n; ++j) a[i * n + j] = j <= i ? A(i, j) : std::nan("");
    }
    ASSERT_TRUE(LA::SolveCholesky(n, a.data(), b.data())) << n;
    for (u32 i = 0; i < n; ++i) EXPECT_NEAR(b[i], x[i], 1e-8) << n;
  }
  for (const f64 corner : {-1.0, 0.0, std::nan("")}) {
    std::vector<f64> a = {4, 0, 0, 2, 5, 0, 1, 1, corner}, b = {1, 2, 3};
    EXPECT_FALSE(LA::SolveCholesky(3, a.data(), b.data())) << corner;
    EXPECT_EQ(b, (std::vector<f64>{1, 2, 3}));
  }
}

// The fixed-size matrix forms solve what the row-pointer solvers do: each of
// their rows is handed on in order.
template <class Matrix, class Vector>
void ExpectMatrixFormSolves(int n) {
  for (int trial = 0; trial < 20; ++trial) {
    MatrixXd L = MatrixXd::Identity(n, n), D = MatrixXd::Zero(n, n);
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < i; ++j) L(i, j) = Uniform(-0.5f, 0.5f);
      D(i, i) = Uniform(0.5f, 2.0f);
    }
    const MatrixXd A = L * D * L.transpose();
    Matrix M{};
    Vector x{};
    Eigen::VectorXd b(n);
    for (int i = 0; i < n; ++i) {
      x[i] = float(b[i] = Uniform(-1, 1));
      for (int j = 0; j < n; ++j) M.m[i][j] = float(A(i, j));
    }
    const Eigen::VectorXd ref = A.cast<float>().cast<double>().fullPivLu().solve(b);
    ASSERT_TRUE(LA::SolveLDL(M, x)) << n;
    for (int i = 0; i < n; ++i)
      EXPECT_NEAR(x[i], ref[i], 2e-4 * (1 + ref.cwiseAbs().maxCoeff())) << n << " " << trial;
  }
}

TEST(SmallSolvers, FixedSizeMatrixForms) {
  Random::Seed(17);
  ExpectMatrixFormSolves<LA::AlignedMatrix3f, LA::AlignedVector3f>(3);
  ExpectMatrixFormSolves<LA::AlignedMatrix4f, LA::AlignedVector4f>(4);
  ExpectMatrixFormSolves<LA::AlignedMatrix7f, LA::AlignedVector7f>(7);
  ExpectMatrixFormSolves<LA::AlignedMatrix8f, LA::AlignedVector8f>(8);
}

// Seven values (not a multiple of the four-wide loop), then values the sums
// must not reach; the lower triangle is left alone.
TEST(SmallSolvers, GramMatrixOfColumns) {
  float c[3][12];
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 12; ++i) c[k][i] = i < 7 ? float(1 + i * (k + 1) % 5) : 1e3f;
  const M3 before = RandomMatrix(kNaN);
  M3 G = before;
  LA::ComputeGramMatrix3(7, c[0], c[1], c[2], G);
  for (int r = 0; r < 3; ++r)
    for (int s = 0; s < 3; ++s) {
      float expected = s < r ? before.m[r][s] : 0.0f;  // small integers: exact
      for (int i = 0; i < 7 && s >= r; ++i) expected += c[r][i] * c[s][i];
      EXPECT_EQ(G.m[r][s], expected) << r << " " << s;
    }
}

}  // namespace

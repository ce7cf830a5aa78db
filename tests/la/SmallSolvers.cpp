// LDL^T solves for N = 3..8 against a double-precision reference on random
// positive definite and indefinite systems, the pivot failures, the promise
// that only the upper triangle is read, and the compact 6x6 form.
#include "la/SmallSolvers.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <limits>

#include "la/Random.h"

namespace {

using MatrixXd = Eigen::MatrixXd;
using VectorXd = Eigen::VectorXd;

float Uniform(float lo, float hi) {
  return lo + (hi - lo) * static_cast<float>(Random::Next()) / static_cast<float>(Random::kMax);
}

// A = L D L^T with a unit lower L and pivots of magnitude 0.5..2, signs
// chosen by the caller: LDL without pivoting succeeds on it whatever the
// signs, so indefinite systems are covered as well.
MatrixXd RandomSystem(int n, bool indefinite) {
  MatrixXd L = MatrixXd::Identity(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < i; ++j) L(i, j) = Uniform(-0.5f, 0.5f);
  VectorXd d(n);
  for (int i = 0; i < n; ++i) {
    d[i] = Uniform(0.5f, 2.0f);
    if (indefinite && (Random::Next() & 1)) d[i] = -d[i];
  }
  if (indefinite) d[n / 2] = -std::abs(d[n / 2]);
  return L * d.asDiagonal() * L.transpose();
}

// Rows of 8 floats (enough for every N), row pointers over them.
struct Rows {
  alignas(16) float m[8][8];
  float* p[8];
  Rows() {
    for (int i = 0; i < 8; ++i) p[i] = m[i];
  }
};

bool Solve(int n, float* const* a, float* b) {
  switch (n) {
    case 3:
      return LA::SolveLDL3(a, b);
    case 4:
      return LA::SolveLDL4(a, b);
    case 5:
      return LA::SolveLDL5(a, b);
    case 6:
      return LA::SolveLDL6(a, b);
    case 7:
      return LA::SolveLDL7(a, b);
    default:
      return LA::SolveLDL8(a, b);
  }
}

bool Decompose(int n, float* const* a) {
  switch (n) {
    case 3:
      return LA::DecomposeLDL3(a);
    case 4:
      return LA::DecomposeLDL4(a);
    case 5:
      return LA::DecomposeLDL5(a);
    case 6:
      return LA::DecomposeLDL6(a);
    case 7:
      return LA::DecomposeLDL7(a);
    default:
      return LA::DecomposeLDL8(a);
  }
}

class SmallSolversTest : public ::testing::Test {
 protected:
  void SetUp() override { Random::Seed(99); }
};

TEST_F(SmallSolversTest, RandomDefiniteAndIndefiniteSystemsMatchDouble) {
  const float garbage = std::numeric_limits<float>::quiet_NaN();
  for (int n = 3; n <= 8; ++n) {
    for (bool indefinite : {false, true}) {
      for (int trial = 0; trial < 50; ++trial) {
        const MatrixXd A = RandomSystem(n, indefinite);
        VectorXd b(n);
        for (int i = 0; i < n; ++i) b[i] = Uniform(-1, 1);
        Rows rows;
        float x[8];
        for (int i = 0; i < n; ++i) {
          // Only the diagonal and the upper triangle may be read.
          for (int j = 0; j < n; ++j) rows.m[i][j] = j >= i ? float(A(i, j)) : garbage;
          x[i] = float(b[i]);
        }
        MatrixXd Af(n, n);
        for (int i = 0; i < n; ++i)
          for (int j = 0; j < n; ++j) Af(i, j) = float(A(std::min(i, j), std::max(i, j)));
        const VectorXd ref = Af.fullPivLu().solve(b);
        ASSERT_TRUE(Solve(n, rows.p, x)) << "n = " << n;
        const double scale = 1.0 + ref.cwiseAbs().maxCoeff();
        for (int i = 0; i < n; ++i)
          EXPECT_NEAR(x[i], ref[i], 2e-4 * scale) << "n = " << n << " indefinite " << indefinite;
      }
    }
  }
}

TEST_F(SmallSolversTest, FactorsAreStoredInBothTriangles) {
  for (int n = 3; n <= 8; ++n) {
    const MatrixXd A = RandomSystem(n, true);
    Rows rows;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) rows.m[i][j] = j >= i ? float(A(i, j)) : 1e6f;
    ASSERT_TRUE(Decompose(n, rows.p));
    MatrixXd L = MatrixXd::Identity(n, n);
    VectorXd d(n);
    for (int i = 0; i < n; ++i) {
      d[i] = rows.m[i][i];
      for (int j = 0; j < i; ++j) {
        EXPECT_EQ(rows.m[i][j], rows.m[j][i]);
        L(i, j) = rows.m[i][j];
      }
    }
    const MatrixXd back = L * d.asDiagonal() * L.transpose();
    EXPECT_LT((back - A).cwiseAbs().maxCoeff(), 1e-4) << "n = " << n;
  }
}

TEST(SmallSolvers, KnownAnswersAndPivotFailures) {
  // diag(4, 9, 16) x = (4, 9, 16).
  LA::AlignedMatrix3f A{};
  A.m[0][0] = 4;
  A.m[1][1] = 9;
  A.m[2][2] = 16;
  LA::AlignedVector3f b{{4, 9, 16, 0}};
  ASSERT_TRUE(LA::SolveLDL(A, b));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(b[i], 1.0f);

  // Indefinite, pivots 1, -3, 1/3.
  LA::AlignedMatrix3f B{{{1, 2, 1, 0}, {2, 1, 1, 0}, {1, 1, 1, 0}}};
  LA::AlignedVector3f c{{4, 4, 3, 0}};
  ASSERT_TRUE(LA::SolveLDL(B, c));
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(c[i], 1.0f, 1e-6f);

  // A tiny first pivot fails at once and leaves b alone.
  LA::AlignedMatrix3f C{{{1e-8f, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}};
  LA::AlignedVector3f d{{1, 2, 3, 0}};
  EXPECT_FALSE(LA::SolveLDL(C, d));
  EXPECT_EQ(d[0], 1.0f);
  EXPECT_EQ(d[1], 2.0f);
  EXPECT_EQ(d[2], 3.0f);

  // A vanishing second pivot fails in the decomposition.
  LA::AlignedMatrix3f D{{{1, 1, 0, 0}, {1, 1, 0, 0}, {0, 0, 1, 0}}};
  float* rowsD[3] = {D.m[0], D.m[1], D.m[2]};
  EXPECT_FALSE(LA::DecomposeLDL3(rowsD));

  // A vanishing last pivot passes the decomposition and fails the solve.
  LA::AlignedMatrix3f E{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 0, 0}}};
  LA::AlignedMatrix3f E2 = E;
  float* rowsE[3] = {E.m[0], E.m[1], E.m[2]};
  EXPECT_TRUE(LA::DecomposeLDL3(rowsE));
  LA::AlignedVector3f e{{1, 1, 1, 0}};
  EXPECT_FALSE(LA::SolveLDL(E2, e));

  // The same for N = 8: singular in its last row only.
  LA::AlignedMatrix8f F{};
  for (int i = 0; i < 7; ++i) F.m[i][i] = 2.0f;
  LA::AlignedVector8f f{};
  EXPECT_FALSE(LA::SolveLDL(F, f));
}

TEST_F(SmallSolversTest, CompactSixBySixEqualsDenseSolve) {
  for (int trial = 0; trial < 100; ++trial) {
    const MatrixXd A = RandomSystem(6, trial % 2 == 1);
    LA::AlignedCompactMatrix6f C;
    Rows dense;
    LA::AlignedVector6f b;
    float x[6];
    for (int i = 0; i < 6; ++i) {
      for (int j = 0; j < 6; ++j) {
        C(i, j) = float(A(i, j));
        dense.m[i][j] = float(A(i, j));
      }
      b[i] = x[i] = Uniform(-1, 1);
    }
    ASSERT_TRUE(LA::SolveLDL6(dense.p, x));
    ASSERT_TRUE(LA::SolveLDL(C, b));
    // Same operations in the same order: equal bit for bit.
    for (int i = 0; i < 6; ++i) EXPECT_EQ(b[i], x[i]);
  }

  // The storage order of the compact form, and the identity.
  LA::AlignedCompactMatrix6f I{};
  EXPECT_EQ(LA::AlignedCompactMatrix6f::Index(1, 4), 6);
  EXPECT_EQ(LA::AlignedCompactMatrix6f::Index(1, 0), 8);
  EXPECT_EQ(LA::AlignedCompactMatrix6f::Index(5, 5), 31);
  for (int i = 0; i < 6; ++i) I(i, i) = 1.0f;
  LA::AlignedVector6f v{{1, 2, 3, 4, 5, 6, 0, 0}};
  alignas(8) float scratch[2];
  ASSERT_TRUE(I.SolveLDL(v, scratch));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(v[i], float(i + 1));
}

TEST_F(SmallSolversTest, GramMatrixWithAndWithoutTail) {
  float x[8], y[8], z[8];
  for (int i = 0; i < 7; ++i) {
    x[i] = Uniform(-1, 1);
    y[i] = Uniform(-1, 1);
    z[i] = Uniform(-1, 1);
  }
  x[7] = y[7] = z[7] = 0.0f;
  LA::AlignedMatrix3f G7, G8;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) G7.m[i][j] = G8.m[i][j] = -5.0f;
  LA::ComputeGramMatrix3(7, x, y, z, G7);
  LA::ComputeGramMatrix3(8, x, y, z, G8);
  const float* c[3] = {x, y, z};
  for (int r = 0; r < 3; ++r) {
    for (int s = 0; s < 3; ++s) {
      if (s < r) {
        EXPECT_EQ(G7.m[r][s], -5.0f) << "lower triangle must not be written";
        continue;
      }
      double ref = 0;
      for (int i = 0; i < 7; ++i) ref += double(c[r][i]) * c[s][i];
      EXPECT_NEAR(G7.m[r][s], ref, 1e-5);
      EXPECT_NEAR(G8.m[r][s], ref, 1e-5);
    }
  }
  LA::AlignedMatrix3f G0;
  LA::ComputeGramMatrix3(0, x, y, z, G0);
  EXPECT_EQ(G0.m[0][0], 0.0f);
}

}  // namespace

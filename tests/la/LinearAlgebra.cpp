// 3x3 kernels against Eigen in double precision, with the promises the
// solvers rely on: NaN in the inputs' fourth floats never reaches a result,
// the outputs' fourth floats and the lower triangle of the upper-only
// variants are left alone.
#include "la/LinearAlgebra.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <functional>
#include <limits>

#include "Uniform.h"

namespace {

using M3 = LA::AlignedMatrix3f;
using E3 = Eigen::Matrix3d;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

M3 RandomMatrix(float fourth) {
  M3 M;
  for (auto& row : M.m) {
    for (int j = 0; j < 3; ++j) row[j] = Uniform(-2, 2);
    row[3] = fourth;
  }
  return M;
}

E3 ToEigen(const M3& M) {
  E3 E;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) E(i, j) = M.m[i][j];
  return E;
}

TEST(LinearAlgebra, ProductKernelsMatchDouble) {
  // A misaligned scratch must not crash the products that take one.
  alignas(16) float scratchBuffer[5];
  float* scratch = scratchBuffer + 1;
  const struct {
    const char* name;
    std::function<void(const M3&, const M3&, M3&)> run;
    std::function<E3(const E3&, const E3&, const E3&)> expected;
    bool upperOnly;
  } kernels[] = {{"AB", [&](auto& A, auto& B, auto& P) { LA::MultiplyAB(A, B, P, scratch); },
                  [](auto& a, auto& b, auto&) { return E3(a * b); }, false},
                 {"BA", [&](auto& A, auto& B, auto& P) { LA::MultiplyBA(A, B, P, scratch); },
                  [](auto& a, auto& b, auto&) { return E3(b * a); }, false},
                 {"ABT", LA::MultiplyABT,
                  [](auto& a, auto& b, auto&) { return E3(a * b.transpose()); }, false},
                 {"+ABT", LA::AddABTTo,
                  [](auto& a, auto& b, auto& p) { return E3(p + a * b.transpose()); }, false},
                 {"-ABT", LA::SubtractABTFrom,
                  [](auto& a, auto& b, auto& p) { return E3(p - a * b.transpose()); }, false},
                 {"+ABT upper", LA::AddABTToUpper,
                  [](auto& a, auto& b, auto& p) { return E3(p + a * b.transpose()); }, true},
                 {"-ABT upper", LA::SubtractABTFromUpper,
                  [](auto& a, auto& b, auto& p) { return E3(p - a * b.transpose()); }, true}};
  Random::Seed(5);
  for (const auto& k : kernels) {
    for (int trial = 0; trial < 50; ++trial) {
      const M3 A = RandomMatrix(kNaN), B = RandomMatrix(kNaN);
      M3 P = RandomMatrix(42.0f);
      const E3 p = ToEigen(P), expected = k.expected(ToEigen(A), ToEigen(B), p);
      k.run(A, B, P);
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
          EXPECT_NEAR(P.m[i][j], k.upperOnly && j < i ? p(i, j) : expected(i, j), 1e-5)
              << k.name << " at " << i << j;
        EXPECT_EQ(P.m[i][3], 42.0f) << k.name;
      }
    }
  }
}

TEST(LinearAlgebra, InvertSymmetricAndItsSingularFallback) {
  Random::Seed(6);
  for (int trial = 0; trial < 100; ++trial) {
    const E3 g = ToEigen(RandomMatrix(0.0f));
    const E3 spd = g * g.transpose() + 0.5 * E3::Identity();
    M3 M, Minv;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) M.m[i][j] = static_cast<float>(spd(i, j));
      Minv.m[i][3] = 9.0f;
    }
    ASSERT_TRUE(LA::InvertSymmetric3x3(M, Minv));
    const E3 ref = ToEigen(M).inverse();
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) EXPECT_NEAR(Minv.m[i][j], ref(i, j), 1e-4 * ref.norm());
      EXPECT_EQ(Minv.m[i][3], 9.0f);
    }
  }
  // Singular: reciprocals of the non-zero diagonal entries, zero elsewhere.
  M3 D{}, Dinv;
  D.m[0][0] = 2.0f;
  D.m[2][2] = 4.0f;
  D.m[0][2] = D.m[2][0] = 1e-30f;
  for (auto& row : Dinv.m)
    for (float& v : row) v = 7.0f;
  EXPECT_FALSE(LA::InvertSymmetric3x3(D, Dinv));
  const float expected[3][4] = {{0.5f, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0.25f, 0}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(Dinv.m[i][j], expected[i][j]);
}

TEST(LinearAlgebra, MaxAbsSkipsNaNAndKeepsDenormals) {
  const float v6[6] = {-2, kNaN, 1, kNaN, 0, -1};
  EXPECT_EQ(LA::MaxAbs6(v6), 2.0f);
  const float v8[8] = {0.5f, -1, 2, -7.25f, 3, kNaN, 7, 1e-30f};
  EXPECT_EQ(LA::MaxAbs8(v8), 7.25f);
  const float d8[8] = {-1e-45f, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(LA::MaxAbs8(d8), 1e-45f);
}

}  // namespace

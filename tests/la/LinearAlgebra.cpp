// 3x3 kernels against Eigen in double precision, with the promises the
// solvers rely on: NaN in the inputs' fourth floats never reaches a result,
// the outputs' fourth floats and the lower triangle of the upper-only
// variants are left alone.
#include "la/LinearAlgebra.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "common/Draws.h"

namespace {

using M3 = LA::AlignedMatrix3f;
using E3 = Eigen::Matrix3d;
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
  for (const auto& k : kernels) {
    for (int trial = 0; trial < 50; ++trial) {
      const M3 A = RandomMatrix(kNaN), B = RandomMatrix(kNaN);
      M3 P = RandomMatrix(42.0f);
      const E3 a = ToEigen(A), b = ToEigen(B), p = ToEigen(P);
      const E3 product = k.product == 0   ? E3(a * b)
                         : k.product == 1 ? E3(b * a)
                                          : E3(a * b.transpose());
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
}

TEST(LinearAlgebra, InvertSymmetricItsSingularFallbackAndMaxAbs) {
  Random::Seed(6);
  for (int trial = 0; trial < 100; ++trial) {
    const E3 g = ToEigen(RandomMatrix(0.0f));
    const E3 spd = g * g.transpose() + 0.5 * E3::Identity();
    M3 M = FromEigen(spd), Minv = RandomMatrix(9.0f);
    ASSERT_TRUE(LA::InvertSymmetric3x3(M, Minv));
    const E3 ref = ToEigen(M).inverse();
    EXPECT_LT((ToEigen(Minv) - ref).cwiseAbs().maxCoeff(), 1e-4 * ref.norm());
    for (auto& row : Minv.m) EXPECT_EQ(row[3], 9.0f);
  }
  // Singular: reciprocals of the non-zero diagonal entries, zero elsewhere.
  E3 d = Eigen::Vector3d(2, 0, 4).asDiagonal();
  d(0, 2) = d(2, 0) = 1e-30;
  M3 Dinv = RandomMatrix(7.0f);
  EXPECT_FALSE(LA::InvertSymmetric3x3(FromEigen(d), Dinv));
  EXPECT_EQ(ToEigen(Dinv), E3(Eigen::Vector3d(0.5, 0, 0.25).asDiagonal()));
  EXPECT_EQ(TranslationOf(Dinv), Eigen::Vector3d::Zero());

  // The largest magnitude wins wherever it stands.
  for (int at = 0; at < 8; ++at) {
    float v[8] = {0.5f, -1.0f, 2.0f, -0.25f, 1.5f, -2.5f, 0.75f, 1.0f};
    v[at] = -9.0f;
    EXPECT_EQ(LA::MaxAbs6(v), at < 6 ? 9.0f : 2.5f) << at;
    EXPECT_EQ(LA::MaxAbs8(v), 9.0f) << at;
  }
}

}  // namespace

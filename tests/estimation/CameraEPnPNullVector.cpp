// The smallest eigenvector of a symmetric 12x12: known spectra, a matrix
// that is already tridiagonal, and inputs that must be rejected.
#include "estimation/CameraEPnPNullVector.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cfloat>
#include <cmath>

#include "common/Draws.h"

namespace {

using Matrix12 = Eigen::Matrix<double, 12, 12>;
using Vector12 = Eigen::Matrix<double, 12, 1>;

struct alignas(16) Buffer {
  float a[144];
  void From(const Matrix12& A) {
    for (int r = 0; r < 12; ++r)
      for (int c = 0; c < 12; ++c) a[r * 12 + c] = float(A(r, c));
  }
};

// Sine of the angle between two directions, whatever their signs.
double Misalignment(const float* v, const Vector12& expected) {
  Vector12 u;
  for (int i = 0; i < 12; ++i) u(i) = v[i];
  const double c = std::abs(u.normalized().dot(expected.normalized()));
  return std::sqrt(std::max(0.0, 1.0 - c * c));
}

Matrix12 RandomOrthogonal() {
  Matrix12 M;
  for (int r = 0; r < 12; ++r)
    for (int c = 0; c < 12; ++c) M(r, c) = UniformD(-1.0, 1.0);
  return Eigen::HouseholderQR<Matrix12>(M).householderQ();
}

}  // namespace

TEST(CameraEPnPNullVector, KnownSpectraGiveTheirSmallestVector) {
  Random::Seed(11);
  for (int trial = 0; trial < 500; ++trial) {
    const Matrix12 Q = RandomOrthogonal();
    // Smallest eigenvalue 0 or small (the exact and the noisy EPnP case), the
    // others spread over three decades above 1.
    Vector12 lambda;
    lambda(0) = trial % 2 == 0 ? 0.0 : UniformD(0.0, 1e-2);
    for (int i = 1; i < 12; ++i) lambda(i) = std::pow(10.0, UniformD(0.0, 3.0));
    const Matrix12 A = Q * lambda.asDiagonal() * Q.transpose();
    Buffer b;
    b.From(A);
    float v[12], smallest;
    ASSERT_TRUE(ComputeSmallestEigenvector12(b.a, v, smallest));
    // Float rounding of A moves the vector by about eps ||A|| / gap.
    const double gap = lambda.tail<11>().minCoeff() - lambda(0);
    const double bound = 8.0 * FLT_EPSILON * lambda.maxCoeff() / gap;
    EXPECT_LT(Misalignment(v, Q.col(0)), bound) << trial;
    EXPECT_NEAR(smallest, lambda(0), 16.0 * FLT_EPSILON * lambda.maxCoeff()) << trial;
    double norm = 0.0;
    for (const float x : v) norm += double(x) * x;
    EXPECT_NEAR(norm, 1.0, 1e-6);
  }
}

TEST(CameraEPnPNullVector, TridiagonalMatrixSkipsTheReflections) {
  // The second-difference matrix 2, -1 has eigenvalues 2 - 2 cos(k pi / 13)
  // and eigenvectors sin(i k pi / 13).
  Matrix12 T = Matrix12::Zero();
  for (int i = 0; i < 12; ++i) {
    T(i, i) = 2.0;
    if (i > 0) T(i, i - 1) = T(i - 1, i) = -1.0;
  }
  Buffer b;
  b.From(T);
  float v[12], smallest;
  ASSERT_TRUE(ComputeSmallestEigenvector12(b.a, v, smallest));
  Vector12 expected;
  for (int i = 0; i < 12; ++i) expected(i) = std::sin((i + 1) * M_PI / 13.0);
  EXPECT_LT(Misalignment(v, expected), 1e-4);
  EXPECT_NEAR(smallest, 2.0 - 2.0 * std::cos(M_PI / 13.0), 1e-5);
}

TEST(CameraEPnPNullVector, ZeroMatrixGivesAUnitVector) {
  Buffer b;
  b.From(Matrix12::Zero());
  float v[12], smallest = 1.0f;
  ASSERT_TRUE(ComputeSmallestEigenvector12(b.a, v, smallest));
  double norm = 0.0;
  for (const float x : v) {
    ASSERT_TRUE(std::isfinite(x));
    norm += double(x) * x;
  }
  EXPECT_NEAR(norm, 1.0, 1e-6);
  EXPECT_NEAR(smallest, 0.0f, 1e-30f);
}

TEST(CameraEPnPNullVector, ValuesThatAreNotFiniteAreRejected) {
  for (const float bad : {NAN, INFINITY, -INFINITY}) {
    for (const int at : {0, 13, 77, 143}) {
      Matrix12 A = Matrix12::Identity();
      Buffer b;
      b.From(A);
      b.a[at] = bad;
      float v[12] = {}, smallest = 7.0f;
      EXPECT_FALSE(ComputeSmallestEigenvector12(b.a, v, smallest)) << at;
      EXPECT_EQ(smallest, 7.0f);
      for (const float x : v) EXPECT_EQ(x, 0.0f);
    }
  }
}

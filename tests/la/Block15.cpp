// Camera vector and block kernels against a scalar reference: each block is
// expanded into its dense 15x15 matrix and multiplied in double precision.
// The fourth floats of blocks and vectors hold garbage throughout, since the
// kernels promise never to let them into a parameter.
#include "la/Block15.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>

#include "la/Random.h"

namespace {

using Dense15 = Eigen::Matrix<double, 15, 15>;
using Vector15 = Eigen::Matrix<double, 15, 1>;

float Uniform(float lo, float hi) {
  return lo + (hi - lo) * static_cast<float>(Random::Next()) / static_cast<float>(Random::kMax);
}

template <class Block>
void FillRandom(Block& b) {
  for (auto& row : b.m) {
    for (int k = 0; k < 3; ++k) row[k] = Uniform(-1, 1);
    row[3] = Uniform(50, 100);  // garbage
  }
}

LA::CameraVector15 RandomVector() {
  LA::CameraVector15 v;
  for (int g = 0; g < 5; ++g) {
    for (int k = 0; k < 3; ++k) v.v[4 * g + k] = Uniform(-1, 1);
    v.v[4 * g + 3] = Uniform(-100, 100);
  }
  return v;
}

Vector15 Params(const LA::CameraVector15& v) {
  Vector15 p;
  for (int g = 0; g < 5; ++g)
    for (int k = 0; k < 3; ++k) p[3 * g + k] = v.v[4 * g + k];
  return p;
}

void PutBlock(Dense15& D, int gi, int gj, const float (*rows)[4]) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) D(3 * gi + r, 3 * gj + c) = rows[r][c];
}
void PutDiagonal(Dense15& D, int gi, int gj, const float* d) {
  for (int k = 0; k < 3; ++k) D(3 * gi + k, 3 * gj + k) = d[k];
}

Dense15 Expand(const LA::CameraBlock15& A) {
  using R = LA::CameraBlock15;
  Dense15 D = Dense15::Zero();
  const struct {
    int i, j, row;
  } full[] = {{0, 0, R::kA00}, {0, 2, R::kA02}, {0, 3, R::kA03}, {0, 4, R::kA04}, {1, 2, R::kA12},
              {1, 3, R::kA13}, {1, 4, R::kA14}, {2, 2, R::kA22}, {2, 3, R::kA23}, {2, 4, R::kA24},
              {3, 3, R::kA33}, {3, 4, R::kA34}, {4, 4, R::kA44}};
  for (const auto& b : full) PutBlock(D, b.i, b.j, A.m + b.row);
  PutDiagonal(D, 0, 1, A.m[R::kD01]);
  PutDiagonal(D, 1, 1, A.m[R::kD11]);
  // The diagonal blocks are read from their rows as stored; the product only
  // sees the symmetric matrix when they are symmetric, which FillSymmetric
  // guarantees.
  for (int r = 0; r < 15; ++r)
    for (int c = 0; c < r; ++c)
      if (r / 3 != c / 3) D(r, c) = D(c, r);
  return D;
}

void FillSymmetric(LA::CameraBlock15& A) {
  FillRandom(A);
  using R = LA::CameraBlock15;
  for (int row : {R::kA00, R::kA22, R::kA33, R::kA44})
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < r; ++c) A.m[row + r][c] = A.m[row + c][r];
}

Dense15 Expand(const LA::MotionPairBlock& B) {
  using R = LA::MotionPairBlock;
  Dense15 D = Dense15::Zero();
  const struct {
    int i, j, row;
  } full[] = {{0, 0, R::kB00}, {0, 2, R::kB02}, {2, 0, R::kB20}, {2, 1, R::kB21}, {2, 2, R::kB22},
              {3, 0, R::kB30}, {3, 1, R::kB31}, {4, 0, R::kB40}, {4, 1, R::kB41}, {4, 2, R::kB42}};
  for (const auto& b : full) PutBlock(D, b.i, b.j, B.m + b.row);
  PutDiagonal(D, 1, 0, B.m[R::kD10]);
  PutDiagonal(D, 1, 1, B.m[R::kD11]);
  PutDiagonal(D, 3, 3, B.m[R::kD33]);
  PutDiagonal(D, 4, 4, B.m[R::kD44]);
  return D;
}

void ExpectParamsNear(const LA::CameraVector15& v, const Vector15& ref, double tol) {
  const Vector15 p = Params(v);
  for (int k = 0; k < 15; ++k) EXPECT_NEAR(p[k], ref[k], tol) << "parameter " << k;
}

class Block15Test : public ::testing::Test {
 protected:
  void SetUp() override { Random::Seed(2024); }
};

TEST_F(Block15Test, SymmetricBlockProductMatchesDense) {
  for (int trial = 0; trial < 200; ++trial) {
    LA::CameraBlock15 A;
    FillSymmetric(A);
    const LA::CameraVector15 x = RandomVector();
    LA::CameraVector15 y = RandomVector();
    const Vector15 expected = Params(y) + Expand(A) * Params(x);
    LA::MultiplySymmetricBlock15(A, x, y);
    ExpectParamsNear(y, expected, 1e-5);
  }
}

TEST_F(Block15Test, IdentityBlockAddsTheParameters) {
  LA::CameraBlock15 A{};
  using R = LA::CameraBlock15;
  for (int row : {R::kA00, R::kA22, R::kA33, R::kA44})
    for (int k = 0; k < 3; ++k) A.m[row + k][k] = 1.0f;
  for (int k = 0; k < 4; ++k) A.m[R::kD11][k] = 1.0f;
  const LA::CameraVector15 x = RandomVector();
  LA::CameraVector15 y = RandomVector();
  const LA::CameraVector15 before = y;
  LA::MultiplySymmetricBlock15(A, x, y);
  for (int g = 0; g < 5; ++g)
    for (int k = 0; k < 3; ++k) EXPECT_EQ(y.v[4 * g + k], before.v[4 * g + k] + x.v[4 * g + k]);
}

TEST_F(Block15Test, PairBlockProductsMatchDenseAndAreAdjoint) {
  for (int trial = 0; trial < 200; ++trial) {
    LA::MotionPairBlock B;
    FillRandom(B);
    const Dense15 D = Expand(B);
    const LA::CameraVector15 x = RandomVector();
    LA::CameraVector15 y = RandomVector();
    Vector15 expected = Params(y) + D * Params(x);
    LA::MultiplyBlock15(B, x, y);
    ExpectParamsNear(y, expected, 1e-5);

    LA::CameraVector15 z = RandomVector();
    expected = Params(z) + D.transpose() * Params(x);
    LA::MultiplyBlock15Transposed(B, x, z);
    ExpectParamsNear(z, expected, 1e-5);
  }

  // z . (B^T x) = x . (B z) through the array reductions, with fourth floats 0.
  LA::MotionPairBlock B;
  FillRandom(B);
  for (auto& row : B.m) row[3] = 0.0f;
  LA::CameraVector15Array xs, zs, bz, btx;
  xs.Resize(1);
  zs.Resize(1);
  bz.Resize(1);
  btx.Resize(1);
  xs[0] = RandomVector();
  zs[0] = RandomVector();
  bz[0] = LA::CameraVector15{};
  btx[0] = LA::CameraVector15{};
  LA::MultiplyBlock15(B, zs[0], bz[0]);
  LA::MultiplyBlock15Transposed(B, xs[0], btx[0]);
  EXPECT_NEAR(LA::Dot15(zs, btx), LA::Dot15(xs, bz), 1e-5f);
}

// The promised summation order, written out in scalar code.
float ReferenceReduction(const LA::CameraVector15Array& x, const LA::CameraVector15Array* w,
                         const LA::CameraVector15Array* y) {
  float sum = 0.0f;
  for (u32 i = 0; i < x.Size(); ++i) {
    float g[5];
    for (int k = 0; k < 5; ++k) {
      float e[3];
      for (int c = 0; c < 3; ++c) {
        const float a = x[i].v[4 * k + c];
        e[c] = y ? a * (*y)[i].v[4 * k + c] : (w ? (*w)[i].v[4 * k + c] * (a * a) : a * a);
      }
      g[k] = (e[1] + e[0]) + e[2];
    }
    sum += (((g[1] + g[0]) + g[2]) + g[3]) + g[4];
  }
  return sum;
}

TEST_F(Block15Test, ReductionsFollowTheirOrderAndIgnoreFourthFloats) {
  LA::CameraVector15Array x, w, y;
  EXPECT_EQ(LA::SquaredNorm15(x), 0.0f);
  for (int i = 0; i < 37; ++i) {
    x.PushBack(RandomVector(), 8);
    w.PushBack(RandomVector(), 8);
    y.PushBack(RandomVector(), 8);
  }
  const float norm = LA::SquaredNorm15(x);
  EXPECT_EQ(norm, ReferenceReduction(x, nullptr, nullptr));
  EXPECT_EQ(LA::WeightedSquaredNorm15(x, w), ReferenceReduction(x, &w, nullptr));
  EXPECT_EQ(LA::Dot15(x, y), ReferenceReduction(x, nullptr, &y));
  double exact = 0;
  for (u32 i = 0; i < x.Size(); ++i) exact += Params(x[i]).squaredNorm();
  EXPECT_NEAR(norm, exact, 1e-4);

  for (u32 i = 0; i < x.Size(); ++i)
    for (int g = 0; g < 5; ++g) x[i].v[4 * g + 3] = 100.0f;
  EXPECT_EQ(LA::SquaredNorm15(x), norm);
}

TEST_F(Block15Test, InfinityNorms) {
  LA::CameraVector15Array x;
  for (int i = 0; i < 5; ++i) x.PushBack(RandomVector(), 8);  // |params| < 1, fourth ~100
  float max = 5.0f, scratch = 0.0f;
  LA::MaxAbs15(x, max, scratch);
  EXPECT_EQ(max, 5.0f);
  x[3].v[9] = -3.5f;
  max = 0.0f;
  LA::MaxAbs15(x, max, scratch);
  EXPECT_EQ(max, 3.5f);

  // Seven points: one round of four, then three alone; w never counts.
  AlignedArray<LA::AlignedVector4f> points;
  for (int i = 0; i < 7; ++i) points.PushBack({{0.1f, -0.2f, 0.3f, 1000.0f}}, 4);
  points[6][1] = -9.0f;
  max = 0.0f;
  LA::MaxAbs3(points, max, scratch);
  EXPECT_EQ(max, 9.0f);
  points[6][1] = 0.0f;
  points[2][2] = 4.0f;
  max = 0.0f;
  LA::MaxAbs3(points, max, scratch);
  EXPECT_EQ(max, 4.0f);
}

TEST_F(Block15Test, ElementwiseOperations) {
  LA::CameraVector15Array x, y, c;
  for (int i = 0; i < 3; ++i) {
    x.PushBack(RandomVector(), 8);
    y.PushBack(RandomVector(), 8);
  }
  const LA::CameraVector15Array x0 = x;

  LA::Scale15XYZ(x, 2.0f);
  for (int g = 0; g < 5; ++g) {
    EXPECT_EQ(x[1].v[4 * g], 2.0f * x0[1].v[4 * g]);
    EXPECT_EQ(x[1].v[4 * g + 3], x0[1].v[4 * g + 3]);
  }
  LA::Scale15(x, 0.5f);
  for (int g = 0; g < 5; ++g) {
    EXPECT_EQ(x[2].v[4 * g + 1], x0[2].v[4 * g + 1]);
    EXPECT_EQ(x[2].v[4 * g + 3], 0.5f * x0[2].v[4 * g + 3]);
  }

  LA::Copy15(c, x0);
  LA::Add15(c, y);
  for (int k = 0; k < 20; ++k) EXPECT_EQ(c[0].v[k], x0[0].v[k] + y[0].v[k]);
  LA::Subtract15(c, y);
  for (int k = 0; k < 20; ++k) EXPECT_EQ(c[2].v[k], (x0[2].v[k] + y[2].v[k]) - y[2].v[k]);

  // Copying a smaller array keeps the destination's buffer.
  const LA::CameraVector15* buffer = c.Data();
  LA::CameraVector15Array small;
  small.PushBack(RandomVector(), 8);
  LA::Copy15(c, small);
  EXPECT_EQ(c.Size(), 1u);
  EXPECT_EQ(c.Data(), buffer);
  for (int k = 0; k < 20; ++k) EXPECT_EQ(c[0].v[k], small[0].v[k]);
}

}  // namespace

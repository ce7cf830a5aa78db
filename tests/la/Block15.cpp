// Camera block and vector kernels against a double-precision reference: each
// block is expanded into its dense 15x15 matrix. The fourth floats of blocks
// and vectors hold garbage throughout, since no kernel may let them into a
// parameter.
#include "la/Block15.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>

#include "common/Draws.h"

namespace {

using Dense15 = Eigen::Matrix<double, 15, 15>;
using Vector15 = Eigen::Matrix<double, 15, 1>;

// Groups of three parameters and a garbage fourth float.
void FillRandom(float* groups, int count) {
  for (int k = 0; k < 4 * count; ++k) groups[k] = k % 4 == 3 ? Uniform(50, 100) : Uniform(-1, 1);
}
LA::CameraVector15 RandomVector() {
  LA::CameraVector15 v;
  FillRandom(v.v, 5);
  return v;
}
Vector15 Params(const LA::CameraVector15& v) {
  Vector15 p;
  for (int k = 0; k < 15; ++k) p[k] = v.v[k + k / 3];
  return p;
}

// Sub-block (i, j) of the dense matrix from the block's rows starting at
// `row`: three rows, or one row holding a diagonal.
struct Placement {
  int i, j, row;
  bool diagonal;
};
template <size_t N>
Dense15 Expand(const float (*m)[4], const Placement (&blocks)[N]) {
  Dense15 D = Dense15::Zero();
  for (const Placement& b : blocks)
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c)
        if (!b.diagonal || r == c)
          D(3 * b.i + r, 3 * b.j + c) = b.diagonal ? m[b.row][r] : m[b.row + r][c];
  return D;
}

// Only the upper sub-blocks are stored; the diagonal ones are read as stored,
// so they are made symmetric first.
Dense15 ExpandSymmetric(LA::CameraBlock15& A) {
  using R = LA::CameraBlock15;
  for (int row : {R::kPP, R::kRR, R::kBaBa, R::kBgBg})
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < r; ++c) A.m[row + r][c] = A.m[row + c][r];
  const Placement blocks[] = {
      {0, 0, R::kPP, false},   {0, 1, R::kPV, true},    {0, 2, R::kPR, false},
      {0, 3, R::kPBa, false},  {0, 4, R::kPBg, false},  {1, 1, R::kVV, true},
      {1, 2, R::kVR, false},   {1, 3, R::kVBa, false},  {1, 4, R::kVBg, false},
      {2, 2, R::kRR, false},   {2, 3, R::kRBa, false},  {2, 4, R::kRBg, false},
      {3, 3, R::kBaBa, false}, {3, 4, R::kBaBg, false}, {4, 4, R::kBgBg, false}};
  Dense15 D = Expand(A.m, blocks);
  for (int r = 0; r < 15; ++r)
    for (int c = 0; c < r; ++c)
      if (r / 3 != c / 3) D(r, c) = D(c, r);
  return D;
}

Dense15 Expand(const LA::MotionPairBlock& B) {
  using R = LA::MotionPairBlock;
  const Placement blocks[] = {
      {0, 0, R::kB00, false}, {0, 2, R::kB02, false}, {1, 0, R::kD10, true},
      {1, 1, R::kD11, true},  {2, 0, R::kB20, false}, {2, 1, R::kB21, false},
      {2, 2, R::kB22, false}, {3, 0, R::kB30, false}, {3, 1, R::kB31, false},
      {3, 3, R::kD33, true},  {4, 0, R::kB40, false}, {4, 1, R::kB41, false},
      {4, 2, R::kB42, false}, {4, 4, R::kD44, true}};
  return Expand(B.m, blocks);
}

TEST(Block15, BlockProductsMatchTheirDenseExpansion) {
  Random::Seed(2024);
  for (int trial = 0; trial < 200; ++trial) {
    LA::CameraBlock15 A;
    LA::MotionPairBlock B;
    FillRandom(A.m[0], 41);
    FillRandom(B.m[0], 34);
    const Dense15 D[3] = {ExpandSymmetric(A), Expand(B), Expand(B).transpose()};
    const LA::CameraVector15 x = RandomVector(), y0 = RandomVector();
    LA::CameraVector15 y[3] = {y0, y0, y0};
    LA::MultiplySymmetricBlock15(A, x, y[0]);
    LA::MultiplyBlock15(B, x, y[1]);
    LA::MultiplyBlock15Transposed(B, x, y[2]);
    for (int k = 0; k < 3; ++k)  // y += D x
      EXPECT_LT((Params(y[k]) - Params(y0) - D[k] * Params(x)).cwiseAbs().maxCoeff(), 1e-5)
          << (k == 0   ? "A x"
              : k == 1 ? "B x"
                       : "B^T x");
  }
}

TEST(Block15, ReductionsMatchDoubleAndIgnoreFourthFloats) {
  Random::Seed(15);
  LA::CameraVector15Array x, w, y;
  EXPECT_EQ(LA::SquaredNorm15(x), 0.0f);
  for (int i = 0; i < 37; ++i) {
    x.PushBack(RandomVector(), 8);
    w.PushBack(RandomVector(), 8);
    y.PushBack(RandomVector(), 8);
  }
  double norm = 0, weighted = 0, dot = 0, inf = 0;
  for (u32 i = 0; i < x.Size(); ++i) {
    const Vector15 xi = Params(x[i]);
    norm += xi.squaredNorm();
    weighted += Params(w[i]).dot(xi.cwiseProduct(xi));
    dot += xi.dot(Params(y[i]));
    inf = std::max(inf, xi.cwiseAbs().maxCoeff());
  }
  EXPECT_NEAR(LA::SquaredNorm15(x), norm, 1e-4);
  EXPECT_NEAR(LA::WeightedSquaredNorm15(x, w), weighted, 1e-4);
  EXPECT_NEAR(LA::Dot15(x, y), dot, 1e-4);
  float max = 0.0f, scratch;
  LA::MaxAbs15(x, max, scratch);
  EXPECT_EQ(max, float(inf));
}

}  // namespace

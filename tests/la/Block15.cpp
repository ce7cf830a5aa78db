// Camera block and vector kernels, and the conjugate gradients over a chain of
// camera blocks, against a double-precision reference: each block is expanded
// into its dense 15x15 matrix. The fourth floats of blocks and vectors hold
// garbage throughout, since no kernel may let them into a parameter. Also the
// solvers' shared damping schedule.
#include "la/Block15.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/Draws.h"
#include "la/ConjugateGradient.h"
#include "la/LMDamping.h"

namespace {

using Dense15 = Eigen::Matrix<double, 15, 15>;
using Arr = LA::CameraVector15Array;

// n random elements: groups of three parameters and a garbage fourth float.
template <class T>
AlignedArray<T> RandomArray(u32 n) {
  AlignedArray<T> a;
  a.Resize(n);
  float* f = reinterpret_cast<float*>(a.Data());
  for (u32 k = 0; k < n * sizeof(T) / 4; ++k) f[k] = k % 4 == 3 ? Uniform(50, 100) : Uniform(-1, 1);
  return a;
}

// The dense matrix of a symmetric block, which stores the upper sub-blocks
// row after row, (P, V) and (V, V) in one row holding a diagonal. The
// diagonal sub-blocks are read as stored, so they are made symmetric first.
Dense15 Expand(LA::CameraBlock15& A) {
  Dense15 D = Dense15::Zero();
  for (int i = 0, row = 0; i < 5; ++i)
    for (int j = i; j < 5; row += j == 1 ? 1 : 3, ++j)
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
          if (i == j && j != 1 && c < r) A.m[row + r][c] = A.m[row + c][r];
          if (j != 1 || r == c)
            D(3 * i + r, 3 * j + c) = D(3 * j + c, 3 * i + r) =
                j == 1 ? A.m[row][r] : A.m[row + r][c];
        }
  return D;
}

Dense15 Expand(const LA::MotionPairBlock& B) {
  using R = LA::MotionPairBlock;
  // Group i, group j, the first row, and whether it is one row holding a diagonal.
  const int blocks[14][4] = {{0, 0, R::kB00, 0}, {0, 2, R::kB02, 0}, {1, 0, R::kD10, 1},
                             {1, 1, R::kD11, 1}, {2, 0, R::kB20, 0}, {2, 1, R::kB21, 0},
                             {2, 2, R::kB22, 0}, {3, 0, R::kB30, 0}, {3, 1, R::kB31, 0},
                             {3, 3, R::kD33, 1}, {4, 0, R::kB40, 0}, {4, 1, R::kB41, 0},
                             {4, 2, R::kB42, 0}, {4, 4, R::kD44, 1}};
  Dense15 D = Dense15::Zero();
  for (const auto& b : blocks)
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c)
        if (!b[3] || r == c) D(3 * b[0] + r, 3 * b[1] + c) = b[3] ? B.m[b[2]][r] : B.m[b[2] + r][c];
  return D;
}

// A chain of cameras: random diagonal blocks and random couplings of
// consecutive cameras first give y += S x through the three block products,
// then, made dominant with very different scales per group (which the
// preconditioner undoes), the dense solution of S x = b.
TEST(Block15, ChainProductsReductionsAndPreconditionedSolve) {
  using R = LA::CameraBlock15;
  Random::Seed(5);
  const u32 n = 6;
  AlignedArray<R> blocks = RandomArray<R>(n);
  AlignedArray<LA::MotionPairBlock> pairs = RandomArray<LA::MotionPairBlock>(n - 1);
  Eigen::MatrixXd S = Eigen::MatrixXd::Zero(15 * n, 15 * n);
  for (u32 i = 0; i < n; ++i) {
    S.block<15, 15>(15 * i, 15 * i) = Expand(blocks[i]);
    if (i + 1 == n) break;
    S.block<15, 15>(15 * i, 15 * i + 15) = Expand(pairs[i]);
    S.block<15, 15>(15 * i + 15, 15 * i) = Expand(pairs[i]).transpose();
  }
  const auto add = [&](const Arr& x, Arr& y) {  // y += S x
    for (u32 i = 0; i < n; ++i) LA::MultiplySymmetricBlock15(blocks[i], x[i], y[i]);
    for (u32 i = 0; i + 1 < n; ++i) {
      LA::MultiplyBlock15(pairs[i], x[i + 1], y[i]);
      LA::MultiplyBlock15Transposed(pairs[i], x[i], y[i + 1]);
    }
  };
  const Arr b = RandomArray<LA::CameraVector15>(n), y0 = RandomArray<LA::CameraVector15>(n);
  Arr x, y = y0;
  add(b, y);
  EXPECT_LT((Flatten(y) - Flatten(y0) - S * Flatten(b)).cwiseAbs().maxCoeff(), 1e-5);

  // The reductions, over an array with an element past its end that none reads.
  Arr v = RandomArray<LA::CameraVector15>(n + 1);
  v[n].v[0] = 1e30f;
  v.Resize(n);
  const Eigen::VectorXd bd = Flatten(b), vd = Flatten(v);
  EXPECT_EQ(LA::SquaredNorm15(x), 0.0f);
  EXPECT_NEAR(LA::SquaredNorm15(v), vd.squaredNorm(), 1e-4);
  EXPECT_NEAR(LA::WeightedSquaredNorm15(v, b), bd.dot(vd.cwiseProduct(vd)), 1e-4);
  EXPECT_NEAR(LA::Dot15(v, b), bd.dot(vd), 1e-4);
  float max = 0.0f, scratch;
  LA::MaxAbs15(v, max, scratch);
  EXPECT_EQ(max, float(vd.cwiseAbs().maxCoeff()));
  LA::AddScaled15(b, -0.5f, v, y);
  EXPECT_LT((Flatten(y) - (bd - 0.5 * vd)).cwiseAbs().maxCoeff(), 1e-6);

  const int rows[5] = {R::kPP, R::kVV, R::kRR, R::kBaBa, R::kBgBg};
  const float scale[5] = {6e4f, 60, 6e3f, 600, 6e5f};
  for (u32 i = 0; i < n; ++i)
    for (int r = 0; r < 15; ++r)
      blocks[i].m[rows[r / 3] + (r / 3 == 1 ? 0 : r % 3)][r % 3] = S(15 * i + r, 15 * i + r) =
          scale[r / 3];
  const auto multiply = [&](const Arr& x, Arr& y) {  // y = S x
    std::fill_n(reinterpret_cast<float*>(y.Data()), 20 * n, 0.0f);
    add(x, y);
  };
  AlignedArray<LA::BlockJacobi15> M;
  LA::InvertDiagonalBlocks15(blocks, M);
  const auto jacobi = [&](const Arr& r, Arr& z) { LA::ApplyBlockJacobi15(M, r, z); };
  LA::PCGScratch w;  // parameters: minimum and maximum iterations, relative tolerance, divergence
  EXPECT_LT(LA::SolvePCG(multiply, jacobi, b, {10, 500, 1e-10f, 1e6f}, w, x), 40u);
  const Eigen::VectorXd exact = S.ldlt().solve(Flatten(b));
  EXPECT_LT((Flatten(x) - exact).norm(), 1e-4 * exact.norm());

  // The iteration bounds hold; a zero right-hand side gives a zero step in
  // one iteration, a non-finite first step no step at all.
  EXPECT_EQ(LA::SolvePCG(multiply, jacobi, b, {10, 3, 1e-10f, 1e6f}, w, x), 3u);
  EXPECT_EQ(LA::SolvePCG(multiply, jacobi, b, {7, 500, 0.5f, 1e6f}, w, x), 7u);
  LA::AddScaled15(b, -1.0f, b, y);
  EXPECT_EQ(LA::SolvePCG(multiply, jacobi, y, {}, w, x), 1u);
  EXPECT_EQ(Flatten(x).norm(), 0.0);
  y[0].v[0] = INFINITY;
  EXPECT_EQ(LA::SolvePCG(multiply, jacobi, y, {}, w, x), 0u);
}

// Rejections multiply the damping by 2, 4, 8 (the growth factor doubles each
// time); accepted gain ratios 1/2, 1, 3/4, 0 scale it by 1, 1/3 (the bound),
// 7/8, 2; the next rejection starts again at 2.
TEST(LMDamping, AcceptRejectAndExhaustion) {
  LMDamping<float> d;
  d.Reset(1e-3f);
  float lambda = 1e-3f;
  const float steps[8][2] = {{-1, 2},          {-1, 4},         {-1, 8}, {0.5f, 1},
                             {1, 1.0f / 3.0f}, {0.75f, 0.875f}, {0, 2},  {-1, 2}};
  for (const auto& s : steps) {
    EXPECT_TRUE(s[0] >= 0 || d.Reject());
    if (s[0] >= 0) d.Accept(s[0]);
    EXPECT_FLOAT_EQ(d.lambda, lambda *= s[1]) << s[0];
  }
  LMDamping<double> e;  // the growth factor overflows at the 127th rejection in a row
  int rejections = 1;
  while (e.Reject()) ++rejections;
  EXPECT_EQ(rejections, 127);
}

}  // namespace

// The solvers' shared conjugate gradients on a known block system, with and
// without the block-Jacobi preconditioner, and the shared damping schedule.
#include "la/ConjugateGradient.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>

#include "common/Draws.h"
#include "la/LMDamping.h"

namespace {

using Arr = LA::CameraVector15Array;

// A chain of cameras: random symmetric diagonal blocks made dominant with
// very different scales per group (which the preconditioner undoes) and
// random couplings of consecutive cameras.
struct Chain {
  AlignedArray<LA::CameraBlock15> blocks;
  AlignedArray<LA::MotionPairBlock> pairs;
  void Multiply(const Arr& x, Arr& y) const {
    for (u32 i = 0; i < x.Size(); ++i) {
      for (float& v : y[i].v) v = 0.0f;
      LA::MultiplySymmetricBlock15(blocks[i], x[i], y[i]);
    }
    for (u32 i = 0; i + 1 < x.Size(); ++i) {
      LA::MultiplyBlock15(pairs[i], x[i + 1], y[i]);
      LA::MultiplyBlock15Transposed(pairs[i], x[i], y[i + 1]);
    }
  }
};

Chain MakeChain(u32 n) {
  using R = LA::CameraBlock15;
  Chain c;
  c.blocks.Resize(n);
  c.pairs.Resize(n - 1);
  const float scale[5] = {1e3f, 1.0f, 1e2f, 10.0f, 1e4f};
  const int diagonalRows[5] = {R::kPP, R::kVV, R::kRR, R::kBaBa, R::kBgBg};
  for (u32 i = 0; i < n; ++i) {
    float(*m)[4] = c.blocks[i].m;
    for (int r = 0; r < R::kRows; ++r)
      for (int k = 0; k < 4; ++k) m[r][k] = k == 3 ? 0.0f : Uniform(-1.0f, 1.0f);
    for (int g = 0; g < 5; ++g) {
      const int row = diagonalRows[g];
      if (g == 1) {
        for (int k = 0; k < 3; ++k) m[row][k] = 60.0f * scale[g];
        continue;
      }
      for (int r = 0; r < 3; ++r) {
        m[row + r][r] = 60.0f * scale[g];
        for (int k = 0; k < r; ++k) m[row + r][k] = m[row + k][r];
      }
    }
  }
  for (u32 i = 0; i + 1 < n; ++i)
    for (auto& row : c.pairs[i].m)
      for (int k = 0; k < 4; ++k) row[k] = k == 3 ? 0.0f : Uniform(-1.0f, 1.0f);
  return c;
}

Eigen::VectorXd Flat(const Arr& x) {
  Eigen::VectorXd v(15 * x.Size());
  for (u32 i = 0; i < x.Size(); ++i)
    for (int k = 0; k < 15; ++k) v[15 * i + k] = x[i].v[k + k / 3];
  return v;
}

TEST(ConjugateGradient, KnownBlockSystemWithAndWithoutPreconditioner) {
  Random::Seed(5);
  const u32 n = 6;
  const Chain chain = MakeChain(n);
  // Dense S column by column from the product, and a random right-hand side.
  Eigen::MatrixXd S(15 * n, 15 * n);
  Arr e, y, b, x;
  e.Resize(n), y.Resize(n), b.Resize(n);
  for (u32 j = 0; j < 15 * n; ++j) {
    for (u32 i = 0; i < n; ++i)
      for (float& v : e[i].v) v = 0.0f;
    e[j / 15].v[j % 15 + j % 15 / 3] = 1.0f;
    chain.Multiply(e, y);
    S.col(j) = Flat(y);
  }
  ASSERT_LT((S - S.transpose()).norm(), 1e-6 * S.norm());
  for (u32 i = 0; i < n; ++i)
    for (int k = 0; k < 20; ++k) b[i].v[k] = k % 4 == 3 ? 0.0f : Uniform(-1.0f, 1.0f);
  const Eigen::VectorXd exact = S.ldlt().solve(Flat(b));

  AlignedArray<LA::BlockJacobi15> M;
  LA::InvertDiagonalBlocks15(chain.blocks, M);
  LA::PCGScratch w;
  LA::PCGParameters P;
  P.relativeTolerance = 1e-10f;
  P.divergenceFactor = 1e6f;
  const auto multiply = [&](const Arr& u, Arr& v) { chain.Multiply(u, v); };
  const auto jacobi = [&](const Arr& r, Arr& z) { LA::ApplyBlockJacobi15(M, r, z); };
  const auto identity = [](const Arr& r, Arr& z) { z.Assign(r); };
  const u32 preconditioned = LA::SolvePCG(multiply, jacobi, b, P, w, x);
  EXPECT_LT((Flat(x) - exact).norm(), 1e-4 * exact.norm());
  const u32 plain = LA::SolvePCG(multiply, identity, b, P, w, x);
  EXPECT_LT((Flat(x) - exact).norm(), 1e-2 * exact.norm());
  EXPECT_LT(preconditioned, 40u);
  EXPECT_GT(plain, 2 * preconditioned);

  // The iteration bounds hold; a zero right-hand side gives a zero step in
  // one iteration, a singular preconditioner no step at all.
  P.maxIterations = 3;
  EXPECT_EQ(LA::SolvePCG(multiply, jacobi, b, P, w, x), 3u);
  P.maxIterations = 500;
  P.relativeTolerance = 0.5f;
  P.minIterations = 7;
  EXPECT_EQ(LA::SolvePCG(multiply, jacobi, b, P, w, x), 7u);
  Arr zero;
  zero.Resize(n);
  for (u32 i = 0; i < n; ++i)
    for (float& v : zero[i].v) v = 0.0f;
  x.Assign(b);
  EXPECT_EQ(LA::SolvePCG(multiply, jacobi, zero, P, w, x), 1u);
  EXPECT_EQ(Flat(x).norm(), 0.0);
  const auto infinite = [](const Arr& r, Arr& z) {
    z.Assign(r);
    z[0].v[0] = INFINITY;
  };
  EXPECT_EQ(LA::SolvePCG(multiply, infinite, b, P, w, x), 0u);
}

TEST(LMDamping, AcceptRejectAndExhaustion) {
  LMDamping<float> d;
  d.Reset(1e-3f);
  // Rejections multiply by 2, 4, 8: the growth factor doubles each time.
  for (float expected : {2e-3f, 8e-3f, 64e-3f}) {
    EXPECT_TRUE(d.Reject());
    EXPECT_FLOAT_EQ(d.lambda, expected);
  }
  // Gain ratio 1/2 keeps the damping; 1 divides it by 3 (the bound); 0
  // keeps it; a later rejection starts again at 2.
  d.Accept(0.5f);
  EXPECT_FLOAT_EQ(d.lambda, 64e-3f);
  d.Accept(1.0f);
  EXPECT_FLOAT_EQ(d.lambda, 64e-3f / 3.0f);
  d.Accept(0.75f);
  EXPECT_FLOAT_EQ(d.lambda, 64e-3f / 3.0f * 0.875f);
  d.Accept(0.0f);
  EXPECT_FLOAT_EQ(d.lambda, 64e-3f / 3.0f * 0.875f * 2.0f);
  const float before = d.lambda;
  EXPECT_TRUE(d.Reject());
  EXPECT_FLOAT_EQ(d.lambda, 2.0f * before);
  // The growth factor overflows at the 127th rejection in a row.
  LMDamping<double> e;
  e.Reset(0.0f);
  int rejections = 1;
  while (e.Reject()) ++rejections;
  EXPECT_EQ(rejections, 127);
}

}  // namespace

// Five-point solver: exact configurations must yield the true essential
// matrix among the candidates, in the minimal and the least-squares path.
#include "estimation/EssentialMatrixFivePointAlgorithm.h"

#include <gtest/gtest.h>

#include "estimation/FivePointPolynomials.h"
#include "estimation/TestMatchSets.h"
#include "estimation/TwoViewScene.h"

namespace {

using twoview::MakeScene;
using twoview::MatrixDistance;

Eigen::Matrix3d ToEigen(const EssentialMatrix& E) {
  Eigen::Matrix3d M;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) M(r, c) = E.m[r][c];
  return M;
}

bool SolveMinimal(EssentialMatrixFivePointAlgorithm& solver, const FiveMatches2D& sample,
                  AlignedArray<EssentialMatrix>& models, AlignedArray<float>& scratch) {
  models.Clear();
  return solver.ComputeNullSpaceMinimal(sample, scratch) &&
         (solver.ConstructConstraintMatrix(scratch), solver.EliminateConstraintMatrix(scratch)) &&
         (solver.ConstructActionMatrix(), solver.ComputeSolutions(models, scratch));
}

double BestDistance(const AlignedArray<EssentialMatrix>& models, const Eigen::Matrix3d& E) {
  double best = 1e9;
  for (const EssentialMatrix& m : models) best = std::min(best, MatrixDistance(ToEigen(m), E));
  return best;
}

TEST(FivePointPolynomials, ProductsMatchPointEvaluation) {
  Random::Seed(3);
  float p[3][4], q[3][4];
  for (auto& v : p)
    for (float& f : v) f = static_cast<float>(twoview::Uniform(-1, 1));
  for (auto& v : q)
    for (float& f : v) f = static_cast<float>(twoview::Uniform(-1, 1));
  alignas(16) float quad[12], quad2[3][12], cubic[20], tmp[16];
  LinearMinorToQuadratic(p[0], q[0], p[1], q[1], quad, tmp);
  for (int i = 0; i < 3; ++i)
    LinearDotToQuadratic(p[i], q[i], p[(i + 1) % 3], q[(i + 1) % 3], p[(i + 2) % 3], q[(i + 2) % 3],
                         quad2[i], tmp);
  LinearQuadraticDotToCubic(p[0], quad2[0], p[1], quad2[1], p[2], quad2[2], cubic, tmp);
  auto lin = [](const float* c, double x, double y, double z) {
    return c[0] * x + c[1] * y + c[2] * z + c[3];
  };
  auto quadEval = [](const float* c, double x, double y, double z) {
    return c[0] * x * x + c[1] * x * y + c[2] * x * z + c[3] * x + c[4] * y * y + c[5] * y * z +
           c[6] * y + c[7] * z * z + c[10] * z + c[11];
  };
  auto cubicEval = [](const float* c, double x, double y, double z) {
    const double m[20] = {x * x * x, x * x * y, x * x * z, x * x,     x * y * y,
                          x * y * z, x * y,     x * z * z, x * z,     x,
                          y * y * y, y * y * z, y * y,     y * z * z, y * z,
                          y,         z * z * z, z * z,     z,         1};
    double s = 0;
    for (int i = 0; i < 20; ++i) s += c[i] * m[i];
    return s;
  };
  for (int k = 0; k < 5; ++k) {
    const double x = twoview::Uniform(-2, 2), y = twoview::Uniform(-2, 2),
                 z = twoview::Uniform(-2, 2);
    EXPECT_NEAR(quadEval(quad, x, y, z),
                lin(p[0], x, y, z) * lin(q[0], x, y, z) - lin(p[1], x, y, z) * lin(q[1], x, y, z),
                1e-4);
    double expected = 0;
    for (int i = 0; i < 3; ++i) expected += lin(p[i], x, y, z) * quadEval(quad2[i], x, y, z);
    EXPECT_NEAR(cubicEval(cubic, x, y, z), expected, 1e-3);
  }
}

TEST(FivePointPolynomials, GaussJordanSolvesKnownSystem) {
  // [L | L B] reduces to [I | B] for an invertible L.
  Random::Seed(4);
  Eigen::MatrixXd L = Eigen::MatrixXd::Random(10, 10) + 4.0 * Eigen::MatrixXd::Identity(10, 10);
  Eigen::MatrixXd B = Eigen::MatrixXd::Random(10, 10);
  Eigen::MatrixXd LB = L * B;
  alignas(16) float a[10][20], tmp[24];
  for (int i = 0; i < 10; ++i)
    for (int j = 0; j < 10; ++j) {
      a[i][j] = static_cast<float>(L(i, j));
      a[i][10 + j] = static_cast<float>(LB(i, j));
    }
  ASSERT_TRUE(LA::GaussJordanEliminate10x20(&a[0][0], tmp));
  for (int i = 0; i < 10; ++i)
    for (int j = 0; j < 10; ++j) EXPECT_NEAR(a[i][10 + j], B(i, j), 1e-4);
  // A zero leading row entry is pivoted away; a zero column is refused.
  for (int i = 0; i < 10; ++i)
    for (int j = 0; j < 10; ++j) {
      a[i][j] = static_cast<float>(L(i, j));
      a[i][10 + j] = static_cast<float>(LB(i, j));
    }
  a[0][0] = 0.0f;
  EXPECT_TRUE(LA::GaussJordanEliminate10x20(&a[0][0], tmp));
  for (int i = 0; i < 10; ++i) a[i][3] = 0.0f;
  EXPECT_FALSE(LA::GaussJordanEliminate10x20(&a[0][0], tmp));
}

TEST(EssentialMatrixFivePointAlgorithm, MinimalFindsTrueEssentialMatrix) {
  Random::Seed(11);
  EssentialMatrixFivePointAlgorithm solver;
  AlignedArray<EssentialMatrix> models;
  AlignedArray<float> scratch;
  int found = 0, maxCount = 0;
  constexpr int kTrials = 1000;
  for (int trial = 0; trial < kTrials; ++trial) {
    const twoview::TwoViewScene s = MakeScene(5);
    FiveMatches2D sample;
    testsets::FillFive(s.matches, sample);
    if (!SolveMinimal(solver, sample, models, scratch)) continue;
    maxCount = std::max(maxCount, static_cast<int>(models.Size()));
    EXPECT_EQ(models.Size() % 2, 0u);
    if (BestDistance(models, s.E()) < 1e-3) ++found;
  }
  EXPECT_GE(found, kTrials * 99 / 100);
  EXPECT_LE(maxCount, 10);
}

TEST(EssentialMatrixFivePointAlgorithm, NonMinimalOnExactMatches) {
  Random::Seed(12);
  EssentialMatrixFivePointAlgorithm solver;
  AlignedArray<EssentialMatrix> models;
  AlignedArray<float> scratch;
  for (int n : {50, 7, 5}) {
    const twoview::TwoViewScene s = MakeScene(n);
    MatchSet2D set;
    testsets::FillSet(s.matches, set);
    models.Clear();
    ASSERT_TRUE(solver.ComputeNullSpaceNonMinimal(set, scratch));
    solver.ConstructConstraintMatrix(scratch);
    ASSERT_TRUE(solver.EliminateConstraintMatrix(scratch));
    solver.ConstructActionMatrix();
    ASSERT_TRUE(solver.ComputeSolutions(models, scratch));
    EXPECT_LT(BestDistance(models, s.E()), 1e-3) << "n = " << n;
  }
}

TEST(EssentialMatrixFivePointAlgorithm, CoincidentMatchesGiveNoNonFiniteCandidate) {
  EssentialMatrixFivePointAlgorithm solver;
  AlignedArray<EssentialMatrix> models;
  AlignedArray<float> scratch;
  FiveMatches2D sample;
  testsets::FillFive(std::vector<twoview::Match>(5, twoview::Match{0.1, 0.2, 0.3, 0.1}), sample);
  SolveMinimal(solver, sample, models, scratch);
  for (const EssentialMatrix& E : models) EXPECT_TRUE(ToEigen(E).allFinite());
}

TEST(EssentialMatrixFivePointAlgorithm, CandidatesAreEssentialAndFinite) {
  Random::Seed(13);
  EssentialMatrixFivePointAlgorithm solver;
  AlignedArray<EssentialMatrix> models;
  AlignedArray<float> scratch;
  for (int trial = 0; trial < 100; ++trial) {
    const twoview::TwoViewScene s = MakeScene(5);
    FiveMatches2D sample;
    testsets::FillFive(s.matches, sample);
    if (!SolveMinimal(solver, sample, models, scratch)) continue;
    for (const EssentialMatrix& E : models) {
      const Eigen::Matrix3d M = ToEigen(E);
      ASSERT_TRUE(M.allFinite());
      Eigen::JacobiSVD<Eigen::Matrix3d> svd(M);
      EXPECT_NEAR(svd.singularValues()(0), 1.0, 1e-4);
      EXPECT_NEAR(svd.singularValues()(1), 1.0, 1e-4);
      EXPECT_NEAR(svd.singularValues()(2), 0.0, 1e-4);
    }
  }
}

}  // namespace

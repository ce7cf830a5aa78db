// Five-point solver: exact configurations must yield the true essential
// matrix among the candidates, in the minimal and the least-squares path, and
// degenerate input must never give a non-finite candidate.
#include "estimation/EssentialMatrixFivePointAlgorithm.h"

#include <gtest/gtest.h>

#include "TwoViewScene.h"

using namespace twoview;

namespace {

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

TEST(EssentialMatrixFivePointAlgorithm, MinimalFindsTrueEssentialMatrix) {
  Random::Seed(11);
  EssentialMatrixFivePointAlgorithm solver;
  AlignedArray<EssentialMatrix> models;
  AlignedArray<float> scratch;
  int found = 0;
  constexpr int kTrials = 1000;
  for (int trial = 0; trial < kTrials; ++trial) {
    const TwoViewScene s = MakeScene(5);
    FiveMatches2D sample;
    FillFive(s.matches, sample);
    if (!SolveMinimal(solver, sample, models, scratch)) continue;
    EXPECT_EQ(models.Size() % 2, 0u);
    EXPECT_LE(models.Size(), 10u);
    for (const EssentialMatrix& E : models) {
      const Eigen::Vector3d sv = Eigen::JacobiSVD<Eigen::Matrix3d>(ToEigen(E)).singularValues();
      ASSERT_TRUE(sv.allFinite());
      EXPECT_LT((sv - Eigen::Vector3d(1, 1, 0)).cwiseAbs().maxCoeff(), 1e-4);
    }
    if (BestDistance(models, s.E()) < 1e-3) ++found;
  }
  EXPECT_GE(found, kTrials * 99 / 100);
  // Coincident matches: whatever comes out is finite.
  FiveMatches2D same;
  FillFive(std::vector<Match>(5, Match{0.1, 0.2, 0.3, 0.1}), same);
  SolveMinimal(solver, same, models, scratch);
  for (const EssentialMatrix& E : models) EXPECT_TRUE(ToEigen(E).allFinite());
}

TEST(EssentialMatrixFivePointAlgorithm, NonMinimalOnExactMatches) {
  Random::Seed(12);
  EssentialMatrixFivePointAlgorithm solver;
  AlignedArray<EssentialMatrix> models;
  AlignedArray<float> scratch;
  for (int n : {50, 7, 5}) {
    const TwoViewScene s = MakeScene(n);
    MatchSet2D set;
    FillSet(s.matches, set);
    models.Clear();
    ASSERT_TRUE(solver.ComputeNullSpaceNonMinimal(set, scratch));
    solver.ConstructConstraintMatrix(scratch);
    ASSERT_TRUE(solver.EliminateConstraintMatrix(scratch));
    solver.ConstructActionMatrix();
    ASSERT_TRUE(solver.ComputeSolutions(models, scratch));
    EXPECT_LT(BestDistance(models, s.E()), 1e-3) << "n = " << n;
  }
}

}  // namespace

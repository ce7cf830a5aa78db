// Stop codes of the LM loop with what each leaves in the state, and the gain
// ratio, whose predicted reduction must use the unreduced right-hand side.
#include <gtest/gtest.h>

#include <cstdio>

#include "IBASolverScene.h"

using namespace ibatest;

namespace {

void Start(Scene& s, float scale = 1.0f) {
  SceneOptions o;
  o.fixedCameras = 1;
  o.noisePixels = 0.5f;
  BuildScene(o, s);
  Perturb(s.problem, s.state, 0.05f * scale, 0.03f * scale, 0.1f * scale, 0.1f * scale, 17);
}

}  // namespace

TEST(IBASolverStopCodes, EachBoundStopsWithItsCode) {
  Scene s;
  Start(s);
  IBAState start;
  IBAState::Copy(start, s.state);
  IBASolver solver;

  solver.minStep = 1e10f;  // every step is too small: state untouched
  EXPECT_EQ(solver.Run(s.problem, s.state, 0, nullptr), IBA_LM_SMALL_DELTA);
  EXPECT_TRUE(SameCameras(s.state, start));
  solver.minStep = 1e-6f;

  solver.minRelativeReduction = 2.0f;  // the first accepted step is kept
  EXPECT_EQ(solver.Run(s.problem, s.state, 0, nullptr), IBA_LM_SMALL_RELATIVE_REDUCTION);
  EXPECT_FALSE(SameCameras(s.state, start));
  EXPECT_LT(solver.ComputeCost(s.problem, s.state, 0, nullptr),
            solver.ComputeCost(s.problem, start, 0, nullptr));
  solver.minRelativeReduction = 1e-4f;

  IBAState::Copy(s.state, start);
  solver.minGradient = 1e30f;
  EXPECT_EQ(solver.Run(s.problem, s.state, 0, nullptr), IBA_LM_SMALL_JTE);
  EXPECT_FALSE(SameCameras(s.state, start));
  solver.minGradient = 1e-5f;

  IBAState::Copy(s.state, start);
  solver.maxIterations = 2;
  EXPECT_EQ(solver.Run(s.problem, s.state, 0, nullptr), IBA_LM_ENOUGH_ITERATIONS);
}

TEST(IBASolverStopCodes, EndlessRejectionsEndInLargeDamping) {
  // Cameras fixed, points free but unobserved: the cost is exactly 0 and
  // every step (of zero length) is a rejection. lambda grows by nu = 2, 4,
  // 8, ... and leaves the float range at the 17th rejection, long before nu
  // would; the run stops there instead of damping with an infinity.
  SceneOptions o;
  o.fixedCameras = o.cameras;
  o.planePoints = 0;
  Scene s;
  BuildScene(o, s);
  s.problem.features.measurements.Resize(0);
  std::fill(s.problem.features.index.begin(), s.problem.features.index.end(), 0u);
  IBASolver solver;
  solver.minStep = 0.0f;
  solver.maxIterations = 16;
  EXPECT_EQ(solver.Run(s.problem, s.state, 0, nullptr), IBA_LM_ENOUGH_ITERATIONS);
  solver.maxIterations = 200;
  FILE* log = std::tmpfile();
  EXPECT_EQ(solver.Run(s.problem, s.state, 1, log), IBA_LM_LARGE_DAMPING);
  const std::vector<std::string> lines = LogLines(log);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("--> ", 0) == 0; }),
            17);
  EXPECT_TRUE(SamePoints(s.state, s.truth));
  EXPECT_EQ(lines.back(), "Stop by IBA_LM_LARGE_DAMPING");
}

TEST(IBASolverStopCodes, PredictedReductionUsesTheUnreducedRightHandSide) {
  Scene s;
  Start(s, 4.0f);
  IBASolver solver;
  const float lambda = 0.01f;
  solver.BuildStructure(s.problem, s.state);
  solver.ConstructNormalEquation(s.problem, s.state);
  MatrixX H;
  VectorX b;
  AssembleDense(solver, H, b);
  solver.SaveDiagonals();
  solver.DampDiagonals(1.0f + lambda);
  solver.BackupSystem();
  solver.ComputeSchurComplement();
  MatrixX S;
  VectorX reduced;
  AssembleDense(solver, S, reduced, false);
  ASSERT_GT(solver.SolvePCG(), 0u);
  solver.BackSubstitutePoints();
  const int C = 15 * solver.cameraBlocks.Size(), P = b.size() - C;
  const VectorX dx = StepVector(solver);
  const double damped = lambda * (dx.array().square() * H.diagonal().array()).sum();
  const double unreduced = b.dot(dx) + damped;
  const double schur = reduced.dot(dx.head(C)) + b.tail(P).dot(dx.tail(P)) + damped;
  // The two candidates differ well beyond float rounding, and the solver
  // predicts the unreduced one.
  ASSERT_GT(std::fabs(unreduced - schur), 1e-3 * unreduced);
  EXPECT_NEAR(solver.ComputePredictedReduction(lambda), unreduced, 1e-4 * unreduced);
}

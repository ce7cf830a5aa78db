// The linear step on a scene whose points are seen by many cameras: the
// reduced camera system against the dense Schur complement of the damped
// full system (fill-in between cameras two or more apart included), PCG and
// back-substitution against a dense solve, and the gain ratio of Run, whose
// predicted reduction must use the unreduced right-hand side.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "common/IBAScene.h"

using namespace ibatest;

namespace {

struct Damped {
  Scene scene;
  IBASolver solver;
  IBASolverTestAccess stages{solver};  // the stages of Run, one at a time
  MatrixX H;                           // damped full system
  VectorX b;                           // and its right-hand side
};

void BuildDamped(Damped& d, u32 fixedCameras, float lambda, float scale = 1.0f) {
  SceneOptions o;
  o.cameras = 8;
  o.points = 160;
  o.fixedCameras = fixedCameras;
  o.fixedPoints = 6;
  BuildScene(o, d.scene);
  Perturb(d.scene.problem, d.scene.state, 0.02f * scale, 0.01f * scale, 0.05f * scale,
          0.02f * scale, 9);
  d.stages.BuildStructure(d.scene.problem, d.scene.state);
  d.stages.ConstructNormalEquation(d.scene.problem, d.scene.state);
  MatrixX undamped;
  AssembleDense(d.solver, undamped, d.b);
  d.stages.SaveDiagonals();
  d.stages.DampDiagonals(1.0f + lambda);
  d.stages.BackupSystem();
  AssembleDense(d.solver, d.H, d.b);
  // Damping scales every diagonal entry, cameras' and points', and nothing else.
  undamped.diagonal() *= double(1.0f + lambda);
  EXPECT_LT((d.H - undamped).lpNorm<Eigen::Infinity>(), 1e-6 * undamped.lpNorm<Eigen::Infinity>());
  // Points that no camera sees get no step; a unit diagonal keeps the dense
  // system regular without coupling them.
  for (int i = 15 * d.stages.cameraBlocks.Size(); i < d.H.rows(); ++i)
    if (d.H(i, i) == 0.0) d.H(i, i) = 1.0;
}

double RelativeError(const MatrixX& a, const MatrixX& b) {
  return (a - b).lpNorm<Eigen::Infinity>() / b.lpNorm<Eigen::Infinity>();
}

}  // namespace

TEST(IBASolverLinearStep, SchurComplementAndPCGMatchTheDenseSolve) {
  Damped d;
  BuildDamped(d, 2, 0.01f);
  const u32 C = 15 * d.stages.cameraBlocks.Size(), P = d.H.rows() - C;
  // Points seen by three or more cameras, so that pairs two apart fill in.
  ASSERT_GE(d.stages.pairs.size(), 3u);
  const MatrixX Vinv = d.H.bottomRightCorner(P, P).inverse();
  const MatrixX W = d.H.topRightCorner(C, P);
  const MatrixX S = d.H.topLeftCorner(C, C) - W * Vinv * W.transpose();
  const VectorX r = d.b.head(C) - W * Vinv * d.b.tail(P);
  d.stages.ComputeSchurComplement();
  MatrixX Sr;
  VectorX br;
  AssembleDense(d.solver, Sr, br, false);
  EXPECT_LT(RelativeError(Sr, S), 1e-4);
  EXPECT_LT(RelativeError(br, r), 1e-4);

  d.solver.pcgRelativeTolerance = 1e-12f;
  d.solver.pcgMinIterations = 1;
  d.solver.pcgMaxIterations = 2000;
  EXPECT_GT(d.stages.SolvePCG(), 1u);
  d.stages.BackSubstitutePoints();
  const VectorX x = d.H.ldlt().solve(d.b), y = StepVector(d.solver);
  // Points seen once are nearly singular in depth (only the damping holds
  // them): float and double differ there by conditioning alone.
  const IBAProblem& p = d.scene.problem;
  std::vector<u32> seen(d.scene.state.points.Size(), 0);
  for (u32 m = 0; m < p.features.measurements.Size(); ++m) ++seen[p.features.measurements[m].point];
  std::vector<int> compared;
  for (u32 i = 0; i < y.size(); ++i)
    if (i < C || seen[p.fixedPoints + (i - C) / 3] >= 2) compared.push_back(i);
  ASSERT_GT(compared.size(), C + 150);
  double scale = 0.0, error = 0.0;
  for (int i : compared) scale = std::max(scale, std::fabs(x(i)));
  for (int i : compared) error = std::max(error, std::fabs(x(i) - y(i)));
  EXPECT_LT(error, 1e-3 * scale);
}

// One step of Run against the stages: the predicted reduction is b.dx +
// lambda dx^T D dx with the unreduced b, and the accepted step scales the
// damping by max(1/3, 1 - (2 rho - 1)^3) with rho the gain ratio.
TEST(IBASolverLinearStep, GainRatioUsesTheUnreducedRightHandSide) {
  Damped d;
  const float lambda = IBASolver().initialDamping;
  BuildDamped(d, 1, lambda, 20.0f);
  MatrixX S;
  VectorX reduced;
  d.stages.ComputeSchurComplement();
  AssembleDense(d.solver, S, reduced, false);
  ASSERT_GT(d.stages.SolvePCG(), 0u);
  d.stages.BackSubstitutePoints();
  const int C = 15 * d.stages.cameraBlocks.Size(), P = d.b.size() - C;
  const VectorX dx = StepVector(d.solver);
  const double damped =
      lambda / (1.0 + lambda) * (dx.array().square() * d.H.diagonal().array()).sum();
  const double unreduced = d.b.dot(dx) + damped;
  const double schur = reduced.dot(dx.head(C)) + d.b.tail(P).dot(dx.tail(P)) + damped;
  ASSERT_GT(std::fabs(unreduced - schur), 1e-3 * unreduced);
  const double predicted = d.stages.ComputePredictedReduction(lambda);
  EXPECT_NEAR(predicted, unreduced, 1e-4 * unreduced);

  Scene& s = d.scene;
  IBASolver run;
  run.maxIterations = 1;
  const float before = run.ComputeCost(s.problem, s.state, 0, nullptr);
  FILE* log = std::tmpfile();
  ASSERT_EQ(run.Run(s.problem, s.state, 1, log), IBA_LM_ENOUGH_ITERATIONS);
  const std::vector<std::string> lines = LogLines(log);
  int it, n;
  float after, rel, g, step, damping;
  ASSERT_EQ(std::sscanf(lines[4].c_str(), "--> %d  %f  %f  %f  %f  %e  %d", &it, &after, &rel, &g,
                        &step, &damping, &n),
            7)
      << lines[4];
  const double t = 2.0 * (before - after) / predicted - 1.0;
  ASSERT_GT(1.0 - t * t * t, 0.4) << "a step this good shrinks the damping by less than 3";
  EXPECT_NEAR(damping, lambda * (1.0 - t * t * t), 1e-2 * lambda);
}

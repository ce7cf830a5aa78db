// The Levenberg-Marquardt loop end to end: convergence from a perturbed
// start to the noise level, monotone accepted costs, untouched fixed
// variables, the exact log lines, the degenerate runs (no variable camera,
// points only, bad input), the stop codes, and the gain ratio, whose
// predicted reduction must use the unreduced right-hand side.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/IBAScene.h"

using namespace ibatest;

namespace {

double PositionError(const IBAState& a, const IBAState& b) {
  double e = 0.0;
  for (u32 i = 0; i < a.cameras.Size(); ++i)
    for (int k = 0; k < 3; ++k)
      e = std::max(e, double(std::fabs(a.cameras[i].p[k] - b.cameras[i].p[k])));
  return e;
}

SceneOptions Realistic() {
  SceneOptions o;
  o.cameras = 14;
  o.points = 800;
  o.planePoints = 60;
  o.fixedCameras = 1;
  o.fixedPoints = 20;
  o.noisePixels = 0.5f;
  o.biases = false;  // true biases on the prior, so that the truth is the optimum
  return o;
}

void Start(Scene& s, float scale = 1.0f) {
  SceneOptions o;
  o.fixedCameras = 1;
  o.noisePixels = 0.5f;
  BuildScene(o, s);
  Perturb(s.problem, s.state, 0.05f * scale, 0.03f * scale, 0.1f * scale, 0.1f * scale, 17);
}

}  // namespace

TEST(IBASolverRun, ConvergesFromAPerturbedStartToTheNoiseLevel) {
  Scene s;
  const SceneOptions o = Realistic();
  BuildScene(o, s);
  const double truthRMS = RMSPixels(s.problem, s.truth);
  Perturb(s.problem, s.state, 0.05f, 0.035f, 0.1f, 0.1f, 21);
  const double startRMS = RMSPixels(s.problem, s.state);
  IBAState start;
  IBAState::Copy(start, s.state);

  FILE* log = std::tmpfile();
  ASSERT_NE(log, nullptr);
  IBASolver solver;
  const IBAStopReason reason = solver.Run(s.problem, s.state, 1, log);
  const std::vector<std::string> lines = LogLines(log);

  EXPECT_NE(reason, IBA_LM_NORMAL_EQUATION_FAIL);
  EXPECT_NE(reason, IBA_LM_INFINIT_SSE);
  const double endRMS = RMSPixels(s.problem, s.state);
  EXPECT_GT(startRMS, 20.0 * truthRMS);
  EXPECT_LT(endRMS, 1.05 * truthRMS) << "start " << startRMS << " truth " << truthRMS;
  EXPECT_LT(PositionError(s.state, s.truth), 0.01);

  // Fixed cameras and points are bit-unchanged.
  EXPECT_EQ(std::memcmp(&s.state.cameras[0], &start.cameras[0], sizeof(CameraIMUState)), 0);
  EXPECT_EQ(std::memcmp(s.state.points.Data(), start.points.Data(), 16 * o.fixedPoints), 0);

  // The table: header, start cost, one line per iteration, stop line; the
  // cost of accepted steps falls strictly.
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0], std::string(64, '-'));
  EXPECT_EQ(lines[1], "#Camera = 1 + 13, #Point = 20 + 780, #Plane = 0 + 1");
  EXPECT_EQ(lines[2], "   #LM   ||e||^2  ||e||^2_rel  ||JTe||_oo  ||dx||^2  damping   #PCG");
  float F = 0.0f;
  ASSERT_EQ(std::sscanf(lines[3].c_str(), "       %f", &F), 1);
  int accepted = 0;
  for (size_t l = 4; l + 1 < lines.size(); ++l) {
    int it, n;
    float Fnew, rel, g, dx, lambda;
    const int fields = std::sscanf(lines[l].c_str(), "--> %d  %f  %f  %f  %f  %e  %d", &it, &Fnew,
                                   &rel, &g, &dx, &lambda, &n);
    ASSERT_TRUE(fields == 7 || fields == 2) << lines[l];
    if (fields == 7) {
      EXPECT_LT(Fnew, F);
      F = Fnew;
      ++accepted;
    }
  }
  EXPECT_GT(accepted, 2);
  EXPECT_EQ(lines.back().rfind("Stop by IBA_LM_", 0), 0u) << lines.back();
}

TEST(IBASolverRun, VerboseTwoPrintsEveryTermPerEvaluation) {
  Scene s;
  Start(s, 0.2f);
  IBASolver solver;
  solver.maxIterations = 1;
  FILE* log = std::tmpfile();
  solver.Run(s.problem, s.state, 2, log);
  const std::vector<std::string> lines = LogLines(log);
  const char* heads[] = {"  Feature ", "  Delta   ", "        + ", "        + ",
                         "  Bias[S] ", "        + ", "  Bias[R] ", "        + ",
                         "  Gravity ", "  Plane   ", "  Total   "};
  ASSERT_GE(lines.size(), 3u + 11u);
  EXPECT_EQ(lines[2], std::string(64, '-'));
  EXPECT_EQ(lines[3], "Iteration 0");
  for (int k = 0; k < 11; ++k) EXPECT_EQ(lines[4 + k].rfind(heads[k], 0), 0u) << lines[4 + k];
  EXPECT_EQ(lines[15], std::string(64, '-'));
  EXPECT_EQ(lines[16], "Iteration 1");
  EXPECT_EQ(lines.back(), "Stop by IBA_LM_ENOUGH_ITERATIONS");
}

// Everything fixed: header, cost and stop line, state untouched. Points
// only: the loop runs on an empty camera system. One key frame: no delta,
// and the run still works.
TEST(IBASolverRun, NoVariableCamera) {
  Scene s;
  BuildScene(SceneOptions(), s);
  s.problem.fixedCameras = s.state.cameras.Size();
  s.problem.fixedPoints = s.state.points.Size();
  IBASolver solver;
  IBASolverTestAccess stages(solver);
  FILE* log = std::tmpfile();
  EXPECT_EQ(solver.Run(s.problem, s.state, 1, log), IBA_LM_ENOUGH_ITERATIONS);
  const std::vector<std::string> lines = LogLines(log);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "#Camera = 6 + 0, #Point = 120 + 0, #Plane = 0 + 1");
  EXPECT_EQ(lines[4], "Stop by IBA_LM_ENOUGH_ITERATIONS");
  EXPECT_TRUE(SameBytes(s.truth.cameras, s.state.cameras));

  s.problem.fixedPoints = 0;
  Perturb(s.problem, s.state, 0.0f, 0.0f, 0.0f, 0.05f, 8);
  EXPECT_NE(solver.Run(s.problem, s.state, 0, nullptr), IBA_LM_NORMAL_EQUATION_FAIL);
  EXPECT_LT(RMSPixels(s.problem, s.state), 0.05);
  EXPECT_TRUE(SameBytes(s.truth.cameras, s.state.cameras));

  SceneOptions o;
  o.cameras = 1;
  o.noisePixels = 0.3f;
  Scene one;
  BuildScene(o, one);
  EXPECT_EQ(one.problem.deltas.Size(), 0u);
  Perturb(one.problem, one.state, 0.02f, 0.01f, 0.0f, 0.02f, 5);
  EXPECT_EQ(stages.ComputeDeltaCost(one.problem, one.state, 2, nullptr), 0.0f);
  const IBAStopReason reason = solver.Run(one.problem, one.state, 0, nullptr);
  EXPECT_NE(reason, IBA_LM_NORMAL_EQUATION_FAIL);
  EXPECT_NE(reason, IBA_LM_INFINIT_SSE);
}

// A non-finite measurement (the PCG fails) or a measurement of a point that
// does not exist: the run fails with the state untouched.
TEST(IBASolverRun, BadInputFailsWithTheStateUntouched) {
  for (int which = 0; which < 2; ++which) {
    Scene s;
    Start(s, 0.2f);
    IBAState before;
    IBAState::Copy(before, s.state);
    if (which == 0)
      s.problem.features.measurements[s.problem.features.index[4]].x =
          std::numeric_limits<float>::infinity();
    else
      s.problem.features.measurements[3].point = 100000;
    IBASolver solver;
    testing::internal::CaptureStderr();
    EXPECT_EQ(solver.Run(s.problem, s.state, 0, nullptr), IBA_LM_NORMAL_EQUATION_FAIL) << which;
    const std::string err = testing::internal::GetCapturedStderr();
    // The malformed problem says why in one line.
    const char* expected =
        "IBASolver::Run: a measurement names a point that does not exist; state left unchanged\n";
    EXPECT_EQ(err, which == 1 ? expected : "");
    EXPECT_TRUE(SameBytes(before.cameras, s.state.cameras));
    EXPECT_TRUE(SameBytes(before.points, s.state.points));
  }
}

// Stop codes of the loop with what each leaves in the state.
TEST(IBASolverRun, EachBoundStopsWithItsCode) {
  Scene s;
  Start(s);
  IBAState start;
  IBAState::Copy(start, s.state);
  IBASolver solver;

  solver.minStep = 1e10f;  // every step is too small: state untouched
  EXPECT_EQ(solver.Run(s.problem, s.state, 0, nullptr), IBA_LM_SMALL_DELTA);
  EXPECT_TRUE(SameBytes(s.state.cameras, start.cameras));
  solver.minStep = 1e-6f;

  solver.minRelativeReduction = 2.0f;  // the first accepted step is kept
  EXPECT_EQ(solver.Run(s.problem, s.state, 0, nullptr), IBA_LM_SMALL_RELATIVE_REDUCTION);
  EXPECT_FALSE(SameBytes(s.state.cameras, start.cameras));
  EXPECT_LT(solver.ComputeCost(s.problem, s.state, 0, nullptr),
            solver.ComputeCost(s.problem, start, 0, nullptr));
  solver.minRelativeReduction = 1e-4f;

  IBAState::Copy(s.state, start);
  solver.minGradient = 1e30f;
  EXPECT_EQ(solver.Run(s.problem, s.state, 0, nullptr), IBA_LM_SMALL_JTE);
  EXPECT_FALSE(SameBytes(s.state.cameras, start.cameras));
  solver.minGradient = 1e-5f;

  IBAState::Copy(s.state, start);
  solver.maxIterations = 2;
  EXPECT_EQ(solver.Run(s.problem, s.state, 0, nullptr), IBA_LM_ENOUGH_ITERATIONS);
}

TEST(IBASolverRun, EndlessRejectionsEndInLargeDamping) {
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
  EXPECT_TRUE(SameBytes(s.state.points, s.truth.points));
  EXPECT_EQ(lines.back(), "Stop by IBA_LM_LARGE_DAMPING");
}

TEST(IBASolverRun, PredictedReductionUsesTheUnreducedRightHandSide) {
  Scene s;
  Start(s, 4.0f);
  IBASolver solver;
  IBASolverTestAccess stages(solver);
  const float lambda = 0.01f;
  stages.BuildStructure(s.problem, s.state);
  stages.ConstructNormalEquation(s.problem, s.state);
  MatrixX H;
  VectorX b;
  AssembleDense(solver, H, b);
  stages.SaveDiagonals();
  stages.DampDiagonals(1.0f + lambda);
  stages.BackupSystem();
  stages.ComputeSchurComplement();
  MatrixX S;
  VectorX reduced;
  AssembleDense(solver, S, reduced, false);
  ASSERT_GT(stages.SolvePCG(), 0u);
  stages.BackSubstitutePoints();
  const int C = 15 * stages.cameraBlocks.Size(), P = b.size() - C;
  const VectorX dx = StepVector(solver);
  const double damped = lambda * (dx.array().square() * H.diagonal().array()).sum();
  const double unreduced = b.dot(dx) + damped;
  const double schur = reduced.dot(dx.head(C)) + b.tail(P).dot(dx.tail(P)) + damped;
  // The two candidates differ well beyond float rounding, and the solver
  // predicts the unreduced one.
  ASSERT_GT(std::fabs(unreduced - schur), 1e-3 * unreduced);
  EXPECT_NEAR(stages.ComputePredictedReduction(lambda), unreduced, 1e-4 * unreduced);
}

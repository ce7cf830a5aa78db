// The normal equations and the linear step. Each term alone: the
// right-hand side is minus half the numerical gradient of ComputeCost, and at
// a zero-residual state b(x + dx) = -H dx with H assembled densely from the
// solver's blocks. On a scene whose points are seen by many cameras (fill-in
// between cameras two or more apart): the damped system, the Schur
// complement, PCG and back-substitution against a dense solve, and the gain
// ratio of Run, whose predicted reduction must use the unreduced right-hand
// side. Also a stepped camera converted to the map's record.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "common/IBAScene.h"
#include "common/SolverHarness.h"

using namespace ibatest;

TEST(IBASolverNormalEquation, EveryTermAloneMatchesItsCost) {
  // Term n alone: feature levels 0-3, delta weights, bias priors, gravity, plane.
  const char* kTerms[13] = {"level 0", "level 1", "level 2", "level 3", "wp",      "wv",   "wr",
                            "wsa",     "wsg",     "bias ba", "bias bg", "gravity", "plane"};
  for (int term = 0; term < 13; ++term) {
    // Five cameras (two fixed), four fixed points, the term at weight 1.
    SceneOptions o;
    o.cameras = 5;
    o.points = 60;
    o.planePoints = 12;
    o.fixedCameras = 2;
    o.fixedPoints = 4;
    float* w[10] = {&o.feature, &o.wp,        &o.wv,        &o.wr,      &o.wsa,
                    &o.wsg,     &o.biasPrior, &o.biasPrior, &o.gravity, &o.plane};
    for (float* x : w) *x = 0.0f;
    *w[std::max(term - 3, 0)] = 1.0f;
    Scene s;
    BuildScene(o, s);
    IBAProblem& P = s.problem;
    for (int l = 0; l < 4 && term < 4; ++l)  // one level, one bias prior
      if (l != term) std::fill_n(P.features.levelWeights[l].v, 4, 0.0f);
    if (term == 9 || term == 10) P.biasWeights[10 - term] = 0.0f;
    P.fixedPlanes = 1;  // a step re-fits a variable plane
    // b = -1/2 d cost / dx at a perturbed state.
    Perturb(P, s.state, 0.02f, 0.1f, 0.05f, 0.02f, 11);
    IBASolver solver;
    IBASolverTestAccess stages(solver);
    Eigen::MatrixXd H, H1;
    Eigen::VectorXd b, b1;
    stages.Assemble(P, s.state, H, b);
    const int nc = 15 * int(o.cameras - o.fixedCameras);
    ExpectMinusHalfCostSlope(
        b,
        [&](int n, float h) {
          IBAState moved;
          IBAState::Copy(moved, s.state);
          if (n < nc)
            NudgeCamera(moved.extrinsic, moved.cameras[o.fixedCameras + n / 15], n % 15, h);
          else
            moved.points[o.fixedPoints + (n - nc) / 3].v[(n - nc) % 3] += 2 * h;
          return double(solver.ComputeCost(P, moved, 0, nullptr)) * (n < nc ? 1.0 : 0.5);
        },
        [](int) { return false; }, kTerms[term], 1e-3);

    // At a zero-residual state b(x + dx) - b(x) = -H dx. Velocities against
    // the motion give the deltas' position-rotation coupling some weight.
    IBAState::Copy(s.state, s.truth);
    for (u32 i = 0; i < o.cameras; ++i) {
      for (int k = 0; k < 3; ++k) s.state.cameras[i].v[k] *= -2.0f;
      if (i > 0) TrueDelta(s.state.cameras[i - 1], s.state.cameras[i], 0.1f, o, P.deltas[i - 1]);
    }
    stages.Assemble(P, s.state, H, b);
    Random::Seed(5);
    Eigen::VectorXd dx(H.rows());
    for (int i = 0; i < dx.size(); ++i) dx(i) = static_cast<float>(1e-4 * Gaussian());
    stages.SetStep(dx);
    stages.UpdateState(P, s.state);
    stages.Assemble(P, s.state, H1, b1);
    const Eigen::VectorXd expected = -H * dx, got = b1 - b;
    const double scale = expected.lpNorm<Eigen::Infinity>();
    ASSERT_GT(scale, 0.0) << kTerms[term];
    for (int i = 0; i < b1.size(); ++i)
      EXPECT_NEAR(got(i), expected(i), 2e-3 * scale) << kTerms[term] << ", entry " << i;
  }
}

// A camera stepped from the origin reaches the map's record as known values,
// whatever the unused fourth floats hold; its pose cache goes over unchanged.
TEST(IBASolverNormalEquation, UpdatedCameraConvertsToTheMapRecord) {
  Scene s;
  BuildScene(SceneOptions(), s);
  IBASolver solver;
  IBASolverTestAccess stages(solver);
  Eigen::MatrixXd H;
  Eigen::VectorXd dx;
  stages.Assemble(s.problem, s.state, H, dx);
  dx.setZero();
  CameraIMUState& c = s.state.cameras[0];
  std::memset(&c, 0, sizeof(c));
  c.q[3] = 1.0f;
  // p, v, rotation 0.2 about z, ba, bg
  dx.head<15>() << 1, 2, 3, 0.5, -0.25, 0.125, 0, 0, 0.2, 0.01, 0.02, 0.03, -1e-3, 2e-3, -3e-3;
  stages.SetStep(dx);
  stages.UpdateState(s.problem, s.state);
  c.p[3] = c.v[3] = c.ba[3] = c.bg[3] = NAN;
  f64 out[16];
  CameraPose pose;
  ConvertCameraIMUState(c, out, pose);
  const double n = std::sqrt(1.01);  // q = (0, 0, 0.1, 1) / n
  const double want[16] = {1,       2,     3,    0.5,  -0.25, 0.125, 0,    0,
                           0.1 / n, 1 / n, 0.01, 0.02, 0.03,  -1e-3, 2e-3, -3e-3};
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(out[i], want[i], 1e-6) << i;
  EXPECT_EQ(std::memcmp(&pose, &c.pose, sizeof(pose)), 0);
}

// A perturbed scene of eight cameras, damped as Run damps it: the Schur
// complement, PCG and back-substitution against a dense solve; the predicted
// reduction is b.dx + lambda dx^T D dx with the unreduced b, and the accepted
// step of Run scales the damping by max(1/3, 1 - (2 rho - 1)^3) with rho the
// gain ratio.
TEST(IBASolverNormalEquation, DampedStepMatchesTheDenseSolveAndTheGainRatio) {
  SceneOptions o;
  o.cameras = 8;
  o.points = 160;
  o.fixedCameras = 2;
  o.fixedPoints = 6;
  Scene scene;
  BuildScene(o, scene);
  const float k = 30.0f;  // far enough for a step of gain ratio well below 1
  Perturb(scene.problem, scene.state, 0.02f * k, 0.01f * k, 0.05f * k, 0.02f * k, 9);
  IBASolver solver, run;  // run: one step of Run
  IBASolverTestAccess stages(solver);
  const float lambda = solver.initialDamping;
  Eigen::MatrixXd H, undamped;
  Eigen::VectorXd b;
  stages.Assemble(scene.problem, scene.state, undamped, b);
  ASSERT_GE(stages.Pairs(), 3u);  // cameras two or more apart share points
  stages.Damp(lambda);
  stages.AssembleDense(H, b);
  // Damping scales every diagonal entry, cameras' and points', and nothing else.
  undamped.diagonal() *= double(1.0f + lambda);
  EXPECT_LT((H - undamped).lpNorm<Eigen::Infinity>(), 1e-6 * H.lpNorm<Eigen::Infinity>());
  // Points no camera sees get no step; a unit diagonal keeps the dense
  // system regular without coupling them.
  for (int i = 15 * stages.Cameras(); i < H.rows(); ++i)
    if (H(i, i) == 0.0) H(i, i) = 1.0;
  ASSERT_GT(stages.Solve(), 0u);
  Eigen::VectorXd dx = stages.Step();
  const double damped = lambda / (1.0 + lambda) * dx.dot(H.diagonal().asDiagonal() * dx);
  const double unreduced = b.dot(dx) + damped;
  const double predicted = stages.ComputePredictedReduction(lambda);
  EXPECT_NEAR(predicted, unreduced, 1e-4 * unreduced);
  // Solved to the end (afresh: the solve reduced the blocks), the step
  // solves the damped system.
  solver.pcgRelativeTolerance = 1e-12f;
  solver.pcgMinIterations = 1;
  solver.pcgMaxIterations = 2000;
  stages.Assemble(scene.problem, scene.state, undamped, b);
  stages.Damp(lambda);
  EXPECT_GT(stages.Solve(), 1u);
  dx = stages.Step();
  EXPECT_LT((H * dx - b).lpNorm<Eigen::Infinity>(), 1e-4 * b.lpNorm<Eigen::Infinity>());

  const IBAProblem& p = scene.problem;
  run.maxIterations = 1;
  const float before = run.ComputeCost(p, scene.state, 0, nullptr);
  FILE* log = std::tmpfile();
  ASSERT_EQ(run.Run(p, scene.state, 1, log), IBA_LM_ENOUGH_ITERATIONS);
  const std::string line = LogLines(log)[4];
  int it, n;
  float after, rel, g, step, damping;
  ASSERT_EQ(std::sscanf(line.c_str(), "--> %d  %f  %f  %f  %f  %e  %d", &it, &after, &rel, &g,
                        &step, &damping, &n),
            7)
      << line;
  const double t = 2.0 * (before - after) / predicted - 1.0;
  ASSERT_GT(1.0 - t * t * t, 0.4) << "a step this good shrinks the damping by less than 3";
  EXPECT_NEAR(damping, lambda * (1.0 - t * t * t), 1e-2 * lambda);
}

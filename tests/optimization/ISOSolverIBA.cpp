// Cross-check of the two inertial solvers: the ISO window written as a
// bundle-adjustment problem with every point fixed, the same gauge (first
// camera's velocity held) and no velocity terms has the same cost and
// reaches the same state from the same start. The solvers share no block
// code, so a layout or sign error in either shows up here, and the deltas
// come from real preintegrated samples through IBADelta::Set.
#include <gtest/gtest.h>

#include <cmath>

#include "common/IBASolverTestAccess.h"
#include "common/ISOWindow.h"
#include "optimization/IBASolver.h"
#include "optimization/ISOSolver.h"

TEST(ISOSolverIBA, SameWindowReachesTheSameStateAsBundleAdjustment) {
  // The bundle adjustment has no velocity smoothness or regularisation term.
  const f64 smooth = IMU_VARIANCE_VELOCITY_SMOOTH, regular = IMU_VARIANCE_VELOCITY_REGULARIZATION;
  IMU_VARIANCE_VELOCITY_SMOOTH = 0.0;
  IMU_VARIANCE_VELOCITY_REGULARIZATION = 0.0;
  InertialSceneOptions o;
  o.seed = 13;
  o.duration = 4.5;
  o.keyFrameMin = 0.2;
  o.keyFrameMax = 0.3;
  o.pointsPerKeyFrame = 30;
  o.accelerometerBias[2] = 0.03;
  ISOWindow window(o, 10, 200);
  IMU_VARIANCE_VELOCITY_SMOOTH = smooth;
  IMU_VARIANCE_VELOCITY_REGULARIZATION = regular;
  IBAProblem iba;
  IBAState ibaState;
  // At the truth the gravity residuals and, up to the integration error of
  // the samples, the delta residuals vanish (far below what a 0.1 m/s error
  // of one velocity costs): the preintegration, the window's records and the
  // bundle adjustment's residuals share their conventions.
  window.ToIBA(iba, ibaState);
  IBASolver bundle;
  const IBASolverTestAccess terms(bundle);
  EXPECT_LT(terms.ComputeGravityCost(iba, ibaState), 1e-3f);
  const float deltaCost = terms.ComputeDeltaCost(iba, ibaState);
  ibaState.cameras[3].v[0] += 0.1f;
  EXPECT_GT(terms.ComputeDeltaCost(iba, ibaState), 500.0f * deltaCost);
  window.Perturb(17, 0.04f, 0.04f, 0.01f, 0.01f);
  window.ToIBA(iba, ibaState);

  // Both run to convergence rather than to their tracking-time budgets.
  ISOSolver iso;
  iso.parameters.maxIterations = bundle.maxIterations = 50;
  iso.parameters.minRelativeReduction = bundle.minRelativeReduction = 1e-6f;
  iso.parameters.minStep = bundle.minStep = 1e-12f;
  iso.parameters.pcgRelativeTolerance = bundle.pcgRelativeTolerance = 1e-6f;

  const float isoStart = iso.ComputeCost(window.problem, window.state, 0);
  const float ibaStart = bundle.ComputeCost(iba, ibaState, 0, nullptr);
  EXPECT_NEAR(isoStart, ibaStart, 1e-4 * ibaStart);
  iso.Run(window.problem, window.state, 0);
  bundle.Run(iba, ibaState, 0, nullptr);
  const float isoEnd = iso.ComputeCost(window.problem, window.state, 0);
  const float ibaEnd = bundle.ComputeCost(iba, ibaState, 0, nullptr);
  EXPECT_LT(isoEnd, 1e-2f * isoStart);
  EXPECT_NEAR(isoEnd, ibaEnd, 1e-3 * ibaEnd);

  for (u32 c = 0; c < window.cameras; ++c) {
    const CameraIMUState &a = window.state.windowCameras[c], &b = ibaState.cameras[c];
    const float* x[4] = {a.p, a.v, a.ba, a.bg};
    const float* y[4] = {b.p, b.v, b.ba, b.bg};
    for (int k = 0; k < 12; ++k)
      EXPECT_NEAR(x[k / 3][k % 3], y[k / 3][k % 3], 1e-4) << c << " " << k;
    for (int k = 0; k < 9; ++k) EXPECT_NEAR(a.R[k / 3][k % 3], b.R[k / 3][k % 3], 1e-4) << c;
  }
}

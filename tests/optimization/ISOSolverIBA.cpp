// Cross-check of the two inertial solvers: the ISO window written as a
// bundle-adjustment problem with every point fixed, the same gauge (first
// camera's velocity held) and no velocity terms reaches the same state from
// the same start. The solvers share no block code, so a layout or sign error
// in either shows up here. The true window also checks the bundle
// adjustment's inertial residuals against real preintegrated samples.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>

#include "common/IBASolverTestAccess.h"
#include "common/ISOWindow.h"
#include "optimization/IBADeltaResidual.h"
#include "optimization/IBASolver.h"
#include "optimization/ISOSolver.h"

namespace {

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
  IBASolver bundle;

  // At the truth the preintegrated motion agrees with the states up to the
  // integration error of the samples, far below what a 0.1 m/s velocity
  // error shows: the preintegration and the bundle adjustment's residual
  // share their conventions.
  window.ToIBA(iba, ibaState);
  IBADeltaResidual e;
  for (u32 j = 1; j < window.cameras; ++j) {
    ComputeDeltaResidual(ibaState.cameras[j - 1], ibaState.cameras[j], iba.deltas[j - 1], e);
    EXPECT_LT(std::sqrt(LA::Dot3(e.ep, e.ep)), 1e-3f) << j;
    EXPECT_LT(std::sqrt(LA::Dot3(e.ev, e.ev)), 1e-3f) << j;
    EXPECT_LT(std::sqrt(LA::Dot3(e.er, e.er)), 5e-4f) << j;
  }
  ibaState.cameras[3].v[0] += 0.1f;
  ComputeDeltaResidual(ibaState.cameras[3], ibaState.cameras[4], iba.deltas[3], e);
  EXPECT_GT(std::sqrt(LA::Dot3(e.ep, e.ep)), 0.01f);
  EXPECT_LT(IBASolverTestAccess(bundle).ComputeGravityCost(iba, ibaState, 0, nullptr), 1e-3f);

  window.Perturb(17, 0.04f, 0.04f, 0.01f, 0.01f);
  window.ToIBA(iba, ibaState);

  // Both run to convergence rather than to their tracking-time budgets.
  ISOSolver iso;
  iso.parameters.maxIterations = 50;
  iso.parameters.minRelativeReduction = 1e-6f;
  iso.parameters.minStep = 1e-12f;
  iso.parameters.pcgRelativeTolerance = 1e-6f;
  bundle.maxIterations = 50;
  bundle.minRelativeReduction = 1e-6f;
  bundle.minStep = 1e-12f;
  bundle.pcgRelativeTolerance = 1e-6f;

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
    const CameraIMUState& a = window.state.windowCameras[c];
    const CameraIMUState& b = ibaState.cameras[c];
    // Twice the vector part of conj(a) b: the rotation between the two.
    const Eigen::Quaterniond qa(a.q[3], a.q[0], a.q[1], a.q[2]), qb(b.q[3], b.q[0], b.q[1], b.q[2]);
    EXPECT_LT(2.0 * (qa.conjugate() * qb).vec().norm(), 1e-4) << "camera " << c;
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(a.p[k], b.p[k], 1e-4) << "camera " << c;
      EXPECT_NEAR(a.v[k], b.v[k], 1e-4) << "camera " << c;
      EXPECT_NEAR(a.ba[k], b.ba[k], 1e-4) << "camera " << c;
      EXPECT_NEAR(a.bg[k], b.bg[k], 1e-4) << "camera " << c;
    }
  }
}

}  // namespace

// The per-frame ISO solve on a synthetic window: convergence with the gauge
// held, and the input it must refuse or cannot improve.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "ISOWindow.h"
#include "optimization/ISOSolver.h"

namespace {

SyntheticSceneOptions WindowOptions(u32 seed) {
  SyntheticSceneOptions o;
  o.seed = seed;
  o.duration = 4.5;
  o.keyFrameMin = 0.2;
  o.keyFrameMax = 0.3;
  o.pointsPerKeyFrame = 40;
  o.featureNoise = 0.5 / 500.0;
  o.accelerometerBias[0] = 0.02;
  o.gyroscopeBias[2] = 0.002;
  return o;
}

double AngleDegrees(const float* a, const float* b) {
  const double d = std::fabs(double(a[0]) * b[0] + double(a[1]) * b[1] + double(a[2]) * b[2] +
                             double(a[3]) * b[3]);
  return 2.0 * std::acos(std::min(1.0, d)) * 57.29577951308232;
}

bool SameCameras(const ISOState& a, const ISOState& b) {
  return a.windowCameras.Size() == b.windowCameras.Size() &&
         std::memcmp(a.windowCameras.Data(), b.windowCameras.Data(),
                     sizeof(CameraIMUState) * a.windowCameras.Size()) == 0;
}

class ISOSolverRun : public testing::Test {
 protected:
  ISOSolverRun() : window(WindowOptions(7), 10) {}
  ISOWindow window;
  ISOSolver solver;
};

TEST_F(ISOSolverRun, PerturbedWindowConvergesWithFirstVelocityHeld) {
  ASSERT_GE(window.scene.keyFrames.size(), 10u);
  window.Perturb(3, 0.05f, 0.05f, 0.02f, 0.01f);
  const ISOState& truth = window.truth;
  float v0[4];
  std::memcpy(v0, window.state.windowCameras[0].v, sizeof(v0));
  const float before = solver.ComputeCost(window.problem, window.state, 0);
  const ISOStopReason stop = solver.Run(window.problem, window.state, 1);
  const float after = solver.ComputeCost(window.problem, window.state, 0);
  // Noisy features: the minimum lies a little below the truth's cost.
  const float truthCost = solver.ComputeCost(window.problem, truth, 0);
  EXPECT_TRUE(stop == ISO_LM_SMALL_RELATIVE_REDUCTION || stop == ISO_LM_SMALL_DELTA ||
              stop == ISO_LM_SMALL_JTE || stop == ISO_LM_ENOUGH_ITERATIONS)
      << ISOStopReasonName(stop);
  EXPECT_GT(before, 100.0f * truthCost);
  EXPECT_LE(after, truthCost);
  EXPECT_EQ(std::memcmp(v0, window.state.windowCameras[0].v, sizeof(v0)), 0);
  for (u32 c = 0; c < window.cameras; ++c) {
    const CameraIMUState& s = window.state.windowCameras[c];
    const CameraIMUState& t = truth.windowCameras[c];
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(s.p[k], t.p[k], 5e-3) << "camera " << c;
      EXPECT_NEAR(s.v[k], t.v[k], 5e-2) << "camera " << c;
    }
    EXPECT_LT(AngleDegrees(s.q, t.q), 0.1) << "camera " << c;
  }
}

}  // namespace

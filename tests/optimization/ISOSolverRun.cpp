// The per-frame ISO solve on a synthetic window: convergence with the gauge
// held, and the input it must refuse or cannot improve.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>

#include "common/ISOWindow.h"
#include "optimization/ISOSolver.h"

namespace {

InertialSceneOptions WindowOptions(u32 seed) {
  InertialSceneOptions o;
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
  const ISOStopReason stop = solver.Run(window.problem, window.state, 0);
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

TEST_F(ISOSolverRun, TwoDimensionalFeaturesAreRefusedWithTheStateUntouched) {
  window.Perturb(4, 0.05f, 0.05f, 0.02f, 0.01f);
  ISOState before;
  ISOState::Copy(before, window.state);
  LA::AlignedVector4f record = {{0.1f, 0.2f, 0.1f, 0.2f}};
  window.problem.features2D.PushBack(record, 4);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const ISOStopReason stop = solver.Run(window.problem, window.state, 1);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(stop, ISO_LM_NORMAL_EQUATION_FAIL);
  EXPECT_TRUE(SameBytes(before.windowCameras, window.state.windowCameras));
  EXPECT_NE(err.find("2-D feature"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
  EXPECT_TRUE(out.empty()) << out;
  // The same solver solves the problem once the list is empty again, its
  // first log line counting cameras, features (one camera flagged) and deltas.
  window.problem.features2D.Resize(0);
  window.problem.cameraFlags[2] = 1;
  testing::internal::CaptureStdout();
  EXPECT_NE(solver.Run(window.problem, window.state, 1), ISO_LM_NORMAL_EQUATION_FAIL);
  const std::string log = testing::internal::GetCapturedStdout();
  const std::string head =
      "#Camera = 10, #Feature = " + std::to_string(window.problem.features3D.Size()) +
      " + 0 (1 + 9), #Delta = 0 + 0 + 9\n";
  EXPECT_NE(log.find(head), std::string::npos) << log;
  EXPECT_FALSE(SameBytes(before.windowCameras, window.state.windowCameras));
}

// Malformed lists, groups and indices and an empty state are refused with
// the state untouched; a problem with nothing to fit (a zero gradient) stops
// on its zero step, the state untouched too.
TEST_F(ISOSolverRun, MalformedOrEmptyProblemsAreRefusedWithoutTouchingTheState) {
  ISOState before;
  ISOState::Copy(before, window.state);
  const ISOProblem good = window.problem;
  const std::function<void(ISOProblem&)> breakers[] = {
      [](ISOProblem& p) { p.deltas3.pairs[4].second = 10; },                     // past the window
      [](ISOProblem& p) { std::swap(p.deltas3.pairs[2], p.deltas3.pairs[3]); },  // unsorted
      [](ISOProblem& p) { p.deltas3.count = 12; },  // more pairs than records
      [](ISOProblem& p) {                           // no reference camera exists
        p.deltas1.count = 1;
        p.deltas1.records.Resize(1);
        p.deltas1.pairs.emplace_back(0, 0);
      },
      [](ISOProblem& p) { p.feature3DStarts.pop_back(); },  // groups of another window
      [](ISOProblem& p) { p.feature3DStarts[7] = p.features3D.Size() + 1; },
      [](ISOProblem& p) { p.gravityCameras[3] = 99; },
      [](ISOProblem& p) { p = ISOProblem(), p.feature3DStarts.assign(41, 0); }};  // nothing
  for (size_t k = 0; k < sizeof(breakers) / sizeof(breakers[0]); ++k) {
    window.problem = good;
    breakers[k](window.problem);
    testing::internal::CaptureStderr();
    const bool last = k + 1 == sizeof(breakers) / sizeof(breakers[0]);
    EXPECT_EQ(solver.Run(window.problem, window.state, 0),
              last ? ISO_LM_SMALL_DELTA : ISO_LM_NORMAL_EQUATION_FAIL)
        << k;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(last || !err.empty()) << k;
    EXPECT_TRUE(SameBytes(before.windowCameras, window.state.windowCameras)) << k;
  }
  ISOState empty;
  testing::internal::CaptureStderr();
  EXPECT_EQ(solver.Run(good, empty, 0), ISO_LM_NORMAL_EQUATION_FAIL);
  testing::internal::GetCapturedStderr();
}

}  // namespace

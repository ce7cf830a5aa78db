// The per-frame ISO solver: its normal equations against its own cost, term
// by term; fixed pairs against window pairs, deltas without duration, a run
// to the truth, its logs, the bundle adjustment's run on the same window,
// and input it must refuse.
#include "optimization/ISOSolver.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>

#include "common/Draws.h"
#include "common/IBASolverTestAccess.h"
#include "common/ISOWindow.h"
#include "common/SolverHarness.h"
#include "optimization/IBASolver.h"
#include "optimization/ISOTerms.h"

namespace {

// Appends one record tying cameras i and j to a delta list.
template <class T>
void Add(ISODeltaList<T>& L, const T& record, u32 i, u32 j) {
  L.records.Resize(L.count);
  L.records.PushBack(record, 4);
  L.pairs.emplace_back(i, j);
  ++L.count;
}

// A window of four key frames (1-4) between two reference key frames (0 and
// 5) at the truth; `state` is the window perturbed, so that every residual
// is well off zero.
class ISOSolverTest : public testing::Test {
 protected:
  // Seed 21, 6 s at 200 Hz, key frames 0.8-1 s apart (rotations between
  // them large enough that the rotation Jacobians' second-order parts
  // count), 20 points each, noise-free samples with constant biases.
  ISOSolverTest()
      : window({21, 6.0, 200.0, 0.8, 1.0, 20, 0.1, 0.6, 0.0, 0.0, 0.0, {0, 0.05, 0}, {0.003, 0, 0}},
               4, 1000, 1.0, 1) {
    ISOState& s = window.state;
    s.referenceCameras.Resize(2);
    for (u32 r = 0; r < 2; ++r)
      s.referenceCameras[r] = ToCamera(s.extrinsic, window.scene.keyFrames[5 * r].state);
    s.referenceIds = {0, 5};
    ISOState::Copy(truth, s);
    window.Perturb(9, 0.03f, 0.1f, 0.05f, 0.02f);
    ISOState::Copy(state, s);
    base = window.problem;
    base.deltas3 = ISODeltaList<ISODelta>();
    silent = base;
    for (u32 l = 0; l < 4; ++l) std::fill_n(silent.feature3DWeights[l].v, 4, 0.0f);
    silent.biasWeights[0] = silent.biasWeights[1] = 0.0f;
    for (u32 g = 0; g < silent.gravity.Size(); ++g) std::fill_n(silent.gravity[g].weight, 4, 0.0f);
  }

  // The delta from key frame k to k + 1 with one of its seven weights
  // (position, velocity, rotation, velocity smoothness and regularisation,
  // the two bias smoothness terms), or all for -1, from the process-wide
  // settings, over a time scale (2 s) long enough that the velocity terms
  // weigh.
  ISODelta Delta(u32 k, int only) const {
    f64* settings[8] = {&IMU_DELTA_WEIGHT_POSITION,
                        &IMU_DELTA_WEIGHT_VELOCITY,
                        &IMU_DELTA_WEIGHT_ROTATION,
                        &IMU_VARIANCE_VELOCITY_SMOOTH,
                        &IMU_VARIANCE_VELOCITY_REGULARIZATION,
                        &IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH,
                        &IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH,
                        &IMU_VARIANCE_VELOCITY_TIME_DEVIATION};
    f64 saved[8];
    for (int n = 0; n < 8; ++n) {
      saved[n] = *settings[n];
      *settings[n] = n == 7 ? 2.0 : only >= 0 && n != only ? 0.0 : saved[n];
    }
    ISODelta d;
    ISODelta::Set(d, window.scene.Preintegrate(k, k + 1), 0.5, 1.0);
    for (int n = 0; n < 8; ++n) *settings[n] = saved[n];
    return d;
  }
  // Records of all three lists, or of the window list alone.
  void AddDeltas(ISOProblem& P, int only, bool windowOnly) const {
    if (!windowOnly) {
      Add(P.deltas1, Delta(4, only), 3, 1);  // window camera 4 to reference camera 5
      ISOFixedDelta fixed;
      ISOFixedDelta::Set(fixed, Delta(0, only), state.referenceCameras[0]);
      Add(P.deltas2, fixed, 0, 0);
    }
    for (u32 k = 0; k < 3; ++k) Add(P.deltas3, Delta(k + 1, only), k, k + 1);
  }

  // b against the cost's slope at `state`, then b(x + dx) - b(x) against
  // -H dx at the truth (camera 0's velocity held when the gauge is fixed).
  void ExpectNormalEquation(const ISOProblem& P, const std::string& what) {
    ISOSolver solver;
    solver.BuildStructure(P, state);
    solver.ConstructNormalEquation(P, state);
    const bool gauge = P.holdFirstVelocity && !P.ReferencesWeighMotion();
    const auto held = [&](int n) { return gauge && n >= 3 && n < 6; };
    ExpectMinusHalfCostSlope(
        Flatten(solver.Gradient()),
        [&](int n, float h) {
          ISOState moved;
          ISOState::Copy(moved, state);
          NudgeCamera(moved.extrinsic, moved.windowCameras[n / 15], n % 15, h);
          return double(solver.ComputeCost(P, moved, 0));
        },
        held, what, 1e-3);

    solver.ConstructNormalEquation(P, truth);
    const Eigen::VectorXd b0 = Flatten(solver.Gradient());
    const u32 N = truth.windowCameras.Size();
    AlignedArray<LA::CameraVector15> dx, y;
    dx.Resize(N);
    y.Resize(N);
    ISOState moved;
    ISOState::Copy(moved, truth);
    Random::Seed(4);
    for (u32 c = 0; c < N; ++c) {
      dx[c] = y[c] = LA::CameraVector15();
      for (int n = 0; n < 15; ++n) {
        if (c == 0 && held(n)) continue;
        dx[c].v[n + n / 3] = 1e-3f * Gaussian();
        NudgeCamera(moved.extrinsic, moved.windowCameras[c], n, dx[c].v[n + n / 3]);
      }
      LA::MultiplySymmetricBlock15(solver.CameraBlocks()[c], dx[c], y[c]);
    }
    for (size_t k = 0; k < solver.Pairs().size(); ++k) {
      const u32 i = solver.Pairs()[k].first, j = solver.Pairs()[k].second;
      LA::MultiplyBlock15(solver.PairBlocks()[k], dx[j], y[i]);
      LA::MultiplyBlock15Transposed(solver.PairBlocks()[k], dx[i], y[j]);
    }
    solver.ConstructNormalEquation(P, moved);
    const Eigen::VectorXd expected = -Flatten(y), got = Flatten(solver.Gradient()) - b0;
    const double scale = expected.lpNorm<Eigen::Infinity>();
    EXPECT_GT(scale, 0.0) << what;
    for (int i = 0; i < got.size(); ++i)
      EXPECT_NEAR(got(i), expected(i), 2e-3 * scale) << what << ", variable " << i;
  }

  ISOWindow window;
  ISOState state, truth;
  ISOProblem base, silent;
};

TEST_F(ISOSolverTest, EveryTermAloneIsTheCostsGaussNewtonSystem) {
  // Terms 0-3 the feature levels, 4-5 the bias priors, 6 gravity, then the
  // seven delta weights in all three lists and in the window list alone.
  for (int term = 0; term < 21; ++term) {
    ISOProblem P = silent;
    if (term < 4) P.feature3DWeights[term] = base.feature3DWeights[term];
    if (term == 4 || term == 5) P.biasWeights[term - 4] = base.biasWeights[term - 4];
    if (term == 6) P.gravity.Assign(base.gravity);
    if (term >= 7) AddDeltas(P, (term - 7) / 2, term % 2 == 0);
    ExpectNormalEquation(P, "term " + std::to_string(term));
    if (term < 7 || term % 2 != 0) continue;
    // The window alone with camera 0's velocity free: its rows stay in.
    P.holdFirstVelocity = false;
    ExpectNormalEquation(P, "term " + std::to_string(term) + ", first velocity free");
  }
}

// A fixed pair built from a reference camera costs what the window pair
// costs with that camera in the window, weight by weight, with the camera's
// biases and the delta's linearisation point well off zero so that its bias
// terms count, and the unused lanes of the scalar weights apart from the
// first. The velocity weights fall with the interval as exp(-dt^2 / td^2);
// lanes that divide by dt are zero, not infinite, for a delta without
// duration.
TEST_F(ISOSolverTest, DeltaRecordsFixedAgainstWindowPairsAndUntimed) {
  using namespace ISOLane;
  CameraIMUState& reference = state.referenceCameras[0];
  for (int k = 0; k < 3; ++k) reference.ba[k] += 0.3f * (k + 1), reference.bg[k] -= 0.02f * (k + 1);
  ISOState both;
  ISOState::Copy(both, state);
  both.windowCameras.Resize(2);
  both.windowCameras[0] = state.referenceCameras[0];
  both.windowCameras[1] = state.windowCameras[0];
  ISODelta d;
  for (int only = -1; only < 7; ++only) {
    d = Delta(0, only);
    for (int k = 0; k < 3; ++k) {
      d.lane[kBa][k] = 0.1f * (k + 1);
      d.lane[kBg][k] = -0.01f * (k + 1);
      for (int l : {kWp, kWv, kWr, kWvs, kWvr, kWsa, kWsg}) d.lane[l][k + 1] = 3.0f * d.lane[l][0];
    }
    ISOProblem fixed, free;
    ISOFixedDelta fixedDelta;
    ISOFixedDelta::Set(fixedDelta, d, state.referenceCameras[0]);
    Add(fixed.deltas2, fixedDelta, 0, 0);
    Add(free.deltas3, d, 0, 1);
    const float a = ISOSolver().ComputeCost(fixed, state, 0);
    EXPECT_GT(a, 0.0f) << only;
    EXPECT_NEAR(a, ISOSolver().ComputeCost(free, both, 0), 1e-4 * a) << only;
  }

  d = Delta(0, -1);
  const double dt = d.lane[kDt][0], f = 0.5 * std::exp(-dt * dt / 4);  // weight 0.5 over 1^2
  EXPECT_FLOAT_EQ(d.lane[kWvs][0], f);
  EXPECT_FLOAT_EQ(d.lane[kWvrDt][1], f / (dt * dt));
  IMUDelta in = window.scene.Preintegrate(0, 1);
  for (double bad : {0.0, -0.25}) {
    in.dt = bad;
    ISODelta::Set(d, in, 0.5, 1.0);
    for (int l = 0; l < kCount; ++l)
      for (int k = 0; k < 4; ++k) ASSERT_TRUE(std::isfinite(d.lane[l][k])) << "lane " << l;
    for (int l : {kInvDt, kWsa, kWsg, kWvrDt}) EXPECT_EQ(d.lane[l][0], 0.0f) << "lane " << l;
  }
}

// The window as a bundle-adjustment problem with every point fixed, the same
// gauge (camera 0's velocity held) and no velocity terms: the gravity
// residuals vanish at the truth, and from the perturbed window the two
// solvers, which share no block code, have the same cost and reach the same
// state (the truth, with current pose caches and camera 0's velocity kept),
// so a layout or sign error in either shows up here. A budget of one
// iteration takes exactly one step. Verbose 2 costs print one line per
// residual kind, whose weighted sums add up to the total, each with its
// mean below its largest; verbose 1 runs print the head line, the iteration
// table and the stop reason, verbose 0 nothing.
TEST_F(ISOSolverTest, SameWindowReachesTheSameStateAsBundleAdjustment) {
  ISOProblem& P = window.problem;  // deltas at weight 1, as ToIBA writes them
  for (u32 k = 0; k < P.deltas3.count; ++k)
    for (int l : {ISOLane::kWvs, ISOLane::kWvr, ISOLane::kWvrDt})
      std::fill_n(P.deltas3.records[k].lane[l], 4, 0.0f);
  P.cameraFlags[2] = 1;
  IBAProblem iba;
  IBAState ibaState;
  ISOState::Copy(window.state, truth);
  window.ToIBA(iba, ibaState);
  IBASolver bundle;
  EXPECT_LT(IBASolverTestAccess(bundle).ComputeGravityCost(iba, ibaState), 1e-3f);
  ISOState::Copy(window.state, state);
  window.ToIBA(iba, ibaState);

  ISOSolver iso;
  testing::internal::CaptureStdout();
  const float start = iso.ComputeCost(P, window.state, 2);
  std::istringstream costLog(testing::internal::GetCapturedStdout());
  EXPECT_NEAR(start, bundle.ComputeCost(iba, ibaState, 0, nullptr), 1e-4 * start);
  double sum = 0, total = -1, rms, worst;
  int lines = 0;
  for (std::string l; std::getline(costLog, l);) {
    const size_t arrow = l.find(" <-- ");
    if (std::sscanf(l.c_str(), "  Total %lf", &total) == 1 || arrow == std::string::npos) continue;
    sum += std::stod(l.substr(l.rfind(' ', arrow - 1)));
    ASSERT_EQ(2, std::sscanf(l.c_str() + arrow, " <-- %lf <= %lf", &rms, &worst)) << l;
    EXPECT_LE(rms, worst * (1 + 1e-6)) << l;
    ++lines;
  }
  EXPECT_EQ(lines, 11);  // Feature3D, 7 for the deltas, 2 Bias[R], Gravity
  EXPECT_NEAR(sum, total, 1e-5 * sum);
  EXPECT_NEAR(sum, start, 1e-5 * sum);

  iso.parameters.maxIterations = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(iso.Run(P, window.state, 0), ISO_LM_ENOUGH_ITERATIONS);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_LT(iso.ComputeCost(P, window.state, 0), 0.5f * start);
  // Both run to convergence rather than to their tracking-time budgets.
  iso.parameters.maxIterations = bundle.maxIterations = 50;
  iso.parameters.minRelativeReduction = bundle.minRelativeReduction = 1e-6f;
  iso.parameters.minStep = bundle.minStep = 1e-12f;
  iso.parameters.pcgRelativeTolerance = bundle.pcgRelativeTolerance = 1e-6f;
  testing::internal::CaptureStdout();
  const ISOStopReason stop = iso.Run(P, window.state, 1);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(stop == ISO_LM_SMALL_RELATIVE_REDUCTION || stop == ISO_LM_SMALL_DELTA ||
              stop == ISO_LM_SMALL_JTE)
      << ISOStopReasonName(stop);
  const std::string head = "#Camera = 4, #Feature = " + std::to_string(P.features3D.Size()) +
                           " + 0 (1 + 3), #Delta = 0 + 0 + 3\n";
  EXPECT_NE(log.find(head), std::string::npos) << log;
  EXPECT_NE(log.find(std::string("Stop by ") + ISOStopReasonName(stop)), std::string::npos);
  for (const char* no : {"<--", "Iteration"}) EXPECT_EQ(log.find(no), std::string::npos) << no;
  bundle.Run(iba, ibaState, 0, nullptr);
  const float isoEnd = iso.ComputeCost(P, window.state, 0);
  EXPECT_NEAR(isoEnd, bundle.ComputeCost(iba, ibaState, 0, nullptr), 1e-3 * isoEnd);
  EXPECT_LE(isoEnd, iso.ComputeCost(P, truth, 0));
  EXPECT_EQ(0, std::memcmp(window.state.windowCameras[0].v, state.windowCameras[0].v, 12));
  for (u32 c = 0; c < window.cameras; ++c) {
    CameraIMUState a = window.state.windowCameras[c];
    const CameraIMUState &b = ibaState.cameras[c], &t = truth.windowCameras[c];
    const float *x[4] = {a.p, a.v, a.ba, a.bg}, *y[4] = {b.p, b.v, b.ba, b.bg};
    const float *u[3] = {a.p, a.v, a.q}, *z[3] = {t.p, t.v, t.q};
    for (int k = 0; k < 12; ++k) {
      EXPECT_NEAR(x[k / 3][k % 3], y[k / 3][k % 3], 1e-4) << c << " " << k;
      if (k >= 9) continue;
      EXPECT_NEAR(a.R[k / 3][k % 3], b.R[k / 3][k % 3], 1e-4) << c;
      EXPECT_NEAR(u[k / 3][k % 3], z[k / 3][k % 3], k / 3 == 1 ? 2e-2 : 1e-3) << c;
    }
    RefreshCaches(window.state.extrinsic, a);
    EXPECT_EQ(0, std::memcmp(&a, &window.state.windowCameras[c], sizeof(a))) << c;
  }
}

// The cost log names the frames of its worst terms by their ids; a state
// that carries none names no frame (-1) rather than reading past its list.
TEST_F(ISOSolverTest, ACostLogWithoutFrameIdsNamesNoFrame) {
  window.state.windowIds.clear();
  window.state.referenceIds.clear();
  ISOSolver iso;
  testing::internal::CaptureStdout();
  iso.ComputeCost(window.problem, window.state, 2);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("[-1"), std::string::npos) << log;
  EXPECT_EQ(log.find("[10"), std::string::npos) << log;  // the ids it had: 100 and up
}

// Camera 0's velocity, held by default, is solved when the problem frees it:
// a first frame whose velocity was only guessed (it started at rest) takes
// the one its deltas and its neighbours' features give.
TEST_F(ISOSolverTest, AFreedFirstVelocityIsSolvedWithTheWindow) {
  ISOProblem& P = window.problem;
  ISOSolver iso;
  iso.parameters.maxIterations = 50;
  iso.parameters.minRelativeReduction = 1e-6f;
  iso.parameters.minStep = 1e-12f;
  iso.parameters.pcgRelativeTolerance = 1e-6f;
  const float* v = window.state.windowCameras[0].v;
  const auto error = [&]() {
    const float* t = truth.windowCameras[0].v;
    return std::sqrt((v[0] - t[0]) * (v[0] - t[0]) + (v[1] - t[1]) * (v[1] - t[1]) +
                     (v[2] - t[2]) * (v[2] - t[2]));
  };
  // The perturbed window with camera 0 guessed at rest.
  ISOState start;
  ISOState::Copy(start, state);
  std::fill_n(start.windowCameras[0].v, 3, 0.0f);
  ISOState::Copy(window.state, start);
  const float guessed = error();
  ASSERT_GT(guessed, 0.05f);
  iso.Run(P, window.state, 0);
  EXPECT_EQ(0, std::memcmp(v, start.windowCameras[0].v, 12));
  P.holdFirstVelocity = false;
  ISOState::Copy(window.state, start);
  iso.Run(P, window.state, 0);
  EXPECT_LT(error(), 0.1f * guessed);
  EXPECT_LT(error(), 2e-2f);
}

// A rotation tie from reference camera 0 (key frame 0) to window camera 0
// (key frame 1) carries the gyroscope's terms of the delta as the whole
// fixed delta has them, and nothing of the accelerometer or the velocity.
// In a window without features, whose heading nothing else fixes, it turns
// the camera back to the truth, and the windows' deltas turn the others with
// it; it weighs no motion, so the first velocity stays held, where the whole
// fixed delta from the same reference frees it.
TEST_F(ISOSolverTest, ARotationTieTurnsTheWindowAndLeavesTheVelocityHeld) {
  using namespace ISOFixedLane;
  const IMUDelta delta = window.scene.Preintegrate(0, 1);
  ISOFixedDelta tie, whole;
  ISOFixedDelta::SetRotation(tie, delta, truth.referenceCameras[0]);
  ISODelta d;
  ISODelta::Set(d, delta, 1.0, 1.0);
  ISOFixedDelta::Set(whole, d, truth.referenceCameras[0]);
  for (int l : {kWp, kWv, kWvs, kWvr, kWsa, kWvrDt}) {
    EXPECT_GT(whole.lane[l][0], 0.0f) << l;
    EXPECT_EQ(tie.lane[l][0], 0.0f) << l;
  }
  EXPECT_EQ(tie.lane[kWvrDt][1], 0.0f);
  for (int l : {kWr, kWsg, kDq, kCr, kInvDt})
    EXPECT_TRUE(std::equal(tie.lane[l], tie.lane[l] + 4, whole.lane[l])) << l;

  ISOProblem P = window.problem;
  for (u32 l = 0; l < 4; ++l) std::fill_n(P.feature3DWeights[l].v, 4, 0.0f);
  ISOSolver iso;
  iso.parameters.maxIterations = 50;
  iso.parameters.minRelativeReduction = 1e-6f;
  iso.parameters.minStep = 1e-12f;
  iso.parameters.pcgRelativeTolerance = 1e-6f;
  const auto turn = [&](const ISOState& s, u32 c) {
    const float* a = s.windowCameras[c].q;
    const float* b = truth.windowCameras[c].q;
    const float dot = std::fabs(a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3]);
    return 2.0f * std::acos(std::fmin(dot, 1.0f));
  };
  ISOState untied;
  ISOState::Copy(untied, state);
  iso.Run(P, untied, 0);
  ASSERT_GT(turn(untied, 0), 0.02f);
  ISOState tied;
  ISOState::Copy(tied, state);
  Add(P.deltas2, tie, 0, 0);
  ASSERT_FALSE(P.ReferencesWeighMotion());
  iso.Run(P, tied, 0);
  // The later cameras follow through deltas whose gyroscope bias the bias
  // prior holds near zero, 3e-3 rad/s off the truth's, over 0.8-1 s each.
  EXPECT_LT(turn(tied, 0), 1e-3f);
  for (u32 c = 1; c < window.cameras; ++c) EXPECT_LT(turn(tied, c), 4e-3f * c) << c;
  EXPECT_EQ(0, std::memcmp(tied.windowCameras[0].v, state.windowCameras[0].v, 12));

  P.deltas2.records[0] = whole;
  ASSERT_TRUE(P.ReferencesWeighMotion());
  ISOState freed;
  ISOState::Copy(freed, state);
  iso.Run(P, freed, 0);
  EXPECT_NE(0, std::memcmp(freed.windowCameras[0].v, state.windowCameras[0].v, 12));
}

// Input the solver cannot solve is refused with the state untouched: 2-D
// features (with one error line and nothing on standard output), malformed
// lists, groups and indices, an empty state. A problem with nothing to fit
// stops on its zero step.
TEST_F(ISOSolverTest, MalformedOrEmptyProblemsAreRefusedWithoutTouchingTheState) {
  ISOProblem good = base;
  AddDeltas(good, -1, true);
  const std::function<void(ISOProblem&)> breakers[] = {
      [](ISOProblem& p) { p.features2D.PushBack(LA::AlignedVector4f(), 4); },
      [](ISOProblem& p) { p.deltas3.pairs[2].second = 4; },                      // past the window
      [](ISOProblem& p) { std::swap(p.deltas3.pairs[1], p.deltas3.pairs[2]); },  // unsorted
      [](ISOProblem& p) { p.deltas3.count = 5; },                         // more pairs than records
      [](ISOProblem& p) { Add(p.deltas1, p.deltas3.records[0], 0, 2); },  // no such reference
      [](ISOProblem& p) { Add(p.deltas1, p.deltas3.records[0], 4, 0); },  // no such window camera
      [](ISOProblem& p) { p.feature3DStarts.pop_back(); },  // groups of another window
      [](ISOProblem& p) { p.feature3DStarts[7] = p.features3D.Size() + 1; },
      [](ISOProblem& p) { p.gravityCameras[3] = 99; },
      [](ISOProblem& p) { p = ISOProblem(), p.feature3DStarts.assign(17, 0); }};  // nothing
  const size_t last = std::size(breakers) - 1;
  for (size_t k = 0; k <= last; ++k) {
    ISOProblem P = good;
    breakers[k](P);
    ISOState s;
    ISOState::Copy(s, state);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(ISOSolver().Run(P, s, k == 0 ? 1 : 0),
              k == last ? ISO_LM_SMALL_DELTA : ISO_LM_NORMAL_EQUATION_FAIL)
        << k;
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), k == last ? 0 : 1) << k << err;
    EXPECT_TRUE(k > 0 || (err.find("2-D feature") != std::string::npos && out.empty())) << out;
    EXPECT_TRUE(SameBytes(state.windowCameras, s.windowCameras)) << k;
  }
  ISOState empty;
  testing::internal::CaptureStderr();
  EXPECT_EQ(ISOSolver().Run(good, empty, 0), ISO_LM_NORMAL_EQUATION_FAIL);
  EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
}

// The rotation term's Jacobians against central differences of its error
// under the solver's own rotation update, for turns of tens of degrees where
// a first-order shortcut would show: Jj as stored, Ji = s K.
TEST(ISORotationTerm, JacobiansMatchTheErrorsSlopeForLargeTurns) {
  using ISOTerms::DeltaTerms;
  using ISOTerms::RotationTerms;
  Random::Seed(12);
  for (int trial = 0; trial < 4; ++trial) {
    alignas(16) float q[3][4];
    for (auto& x : q) {
      const Eigen::Quaternionf r(RandomRotation(1.2f));
      const float w = r.w() < 0.0f ? -1.0f : 1.0f;  // the solver keeps w >= 0
      x[0] = w * r.x(), x[1] = w * r.y(), x[2] = w * r.z(), x[3] = w * r.w();
    }
    DeltaTerms t;
    RotationTerms(q[0], q[1], q[2], t);
    const float h = 1e-3f;
    for (int camera = 0; camera < 2; ++camera)
      for (int k = 0; k < 3; ++k) {
        float d[3] = {0.0f, 0.0f, 0.0f}, er[2][3];
        for (int side = 0; side < 2; ++side) {
          d[k] = side == 0 ? h : -h;
          alignas(16) float moved[4];
          LA::UpdateQuaternion(d, q[camera], moved);
          DeltaTerms u;
          RotationTerms(camera == 0 ? moved : q[0], camera == 1 ? moved : q[1], q[2], u);
          for (int r = 0; r < 3; ++r) er[side][r] = u.er[r];
        }
        for (int r = 0; r < 3; ++r) {
          const float slope = (er[0][r] - er[1][r]) / (2.0f * h);
          const float J = camera == 0 ? t.s * t.K[r][k] : t.Jj[r][k];
          EXPECT_NEAR(J, slope, 2e-3f)
              << "trial " << trial << " camera " << camera << " " << r << "," << k;
        }
      }
  }
}

}  // namespace

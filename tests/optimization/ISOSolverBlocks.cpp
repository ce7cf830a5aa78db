// The ISO normal equations against the solver's own cost: every term alone
// (each feature level, each weight of each of the three delta lists, each
// bias prior, gravity), b = -1/2 d cost / dx through the state update; near
// the truth b moves by -H dx, H read through the block kernels. Also fixed
// pairs against window pairs, and deltas without duration.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <string>

#include "common/ISOWindow.h"
#include "common/SolverHarness.h"
#include "optimization/ISOSolver.h"

namespace {

// Appends one record tying cameras i and j to a delta list.
template <class T>
void Add(ISODeltaList<T>& L, const T& record, u32 i, u32 j) {
  L.records.Resize(L.count);
  L.records.PushBack(record, 4);
  L.pairs.emplace_back(i, j);
  ++L.count;
}

// The weights a delta's terms get from the process-wide settings; `only`
// (0-6: position, velocity, rotation, velocity smoothness, velocity
// regularisation, the two bias smoothness terms) keeps one, -1 all.
struct DeltaWeights {
  f64* settings[7] = {&IMU_DELTA_WEIGHT_POSITION,
                      &IMU_DELTA_WEIGHT_VELOCITY,
                      &IMU_DELTA_WEIGHT_ROTATION,
                      &IMU_VARIANCE_VELOCITY_SMOOTH,
                      &IMU_VARIANCE_VELOCITY_REGULARIZATION,
                      &IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH,
                      &IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH};
  f64 saved[7], savedTime = IMU_VARIANCE_VELOCITY_TIME_DEVIATION;
  explicit DeltaWeights(int only) {
    IMU_VARIANCE_VELOCITY_TIME_DEVIATION = 1.0;  // long enough that velocity terms weigh
    for (int k = 0; k < 7; ++k) {
      saved[k] = *settings[k];
      if (only >= 0 && k != only) *settings[k] = 0.0;
    }
  }
  ~DeltaWeights() {
    for (int k = 0; k < 7; ++k) *settings[k] = saved[k];
    IMU_VARIANCE_VELOCITY_TIME_DEVIATION = savedTime;
  }
};

// A perturbed window of four key frames (1-4) between two reference key
// frames (0 and 5) at the truth, so that every residual is non-zero.
class ISOSolverBlocks : public testing::Test {
 protected:
  static InertialSceneOptions Options() {
    InertialSceneOptions o;
    o.seed = 21;
    o.duration = 3.0;
    o.pointsPerKeyFrame = 20;
    o.featureNoise = 1.0 / 500.0;
    o.accelerometerBias[1] = 0.05;
    o.gyroscopeBias[0] = 0.003;
    return o;
  }

  ISOSolverBlocks() : window(Options(), 4, 1000, 1.0, 1) {
    ISOState::Copy(truth, window.state);
    window.Perturb(9, 0.03f, 0.1f, 0.05f, 0.02f);
    ISOState::Copy(state, window.state);
    for (ISOState* s : {&state, &truth}) {
      s->referenceCameras.Resize(2);
      for (u32 r = 0; r < 2; ++r)
        s->referenceCameras[r] = ToCamera(s->extrinsic, window.scene.keyFrames[5 * r].state);
      s->referenceIds = {0, 5};
    }
    base = window.problem;
    base.deltas3 = ISODeltaList<ISODelta>();
    silent = base;
    for (u32 l = 0; l < 4; ++l) std::fill_n(silent.feature3DWeights[l].v, 4, 0.0f);
    silent.biasWeights[0] = silent.biasWeights[1] = 0.0f;
    for (u32 g = 0; g < silent.gravity.Size(); ++g) std::fill_n(silent.gravity[g].weight, 4, 0.0f);
  }

  ISODelta Delta(u32 k, int only) const {
    DeltaWeights weights(only);
    ISODelta d;
    ISODelta::Set(d, window.scene.Preintegrate(k, k + 1), 0.5);
    return d;
  }
  ISOFixedDelta Fixed(const ISODelta& d) const {
    ISOFixedDelta f;
    ISOFixedDelta::Set(f, d, state.referenceCameras[0]);
    return f;
  }
  // A problem with all three lists, each record built keeping weight `only`.
  void AddDeltas(ISOProblem& P, int only) const {
    Add(P.deltas1, Delta(4, only), 3, 1);  // window camera 4 to reference camera 5
    Add(P.deltas2, Fixed(Delta(0, only)), 0, 0);
    for (u32 k = 0; k < 3; ++k) Add(P.deltas3, Delta(k + 1, only), k, k + 1);
  }

  static Eigen::VectorXd Flat(const AlignedArray<LA::CameraVector15>& x) {
    Eigen::VectorXd v(15 * x.Size());
    for (u32 i = 0; i < 15 * x.Size(); ++i) v(i) = x[i / 15].v[i % 15 + i % 15 / 3];
    return v;
  }

  void ExpectGradient(const ISOProblem& P, const std::string& what) {
    ISOSolver solver;
    solver.BuildStructure(P, state);
    solver.ConstructNormalEquation(P, state);
    const bool gauge = P.deltas1.count == 0 && P.deltas2.count == 0;
    ExpectMinusHalfCostSlope(
        Flat(solver.Gradient()),
        [&](int n, float h) {
          ISOState moved;
          ISOState::Copy(moved, state);
          NudgeCamera(moved.extrinsic, moved.windowCameras[n / 15], n % 15, h);
          return double(solver.ComputeCost(P, moved, 0));
        },
        [&](int n) { return gauge && n >= 3 && n < 6; }, what, 1e-3);
  }

  ISOWindow window;
  ISOState state, truth;
  ISOProblem base, silent;
};

TEST_F(ISOSolverBlocks, EveryTermAloneIsMinusHalfTheCostGradient) {
  for (u32 level = 0; level < 4; ++level) {
    ISOProblem P = silent;
    P.feature3DWeights[level] = base.feature3DWeights[level];
    ExpectGradient(P, "features of level " + std::to_string(level));
  }
  for (int only = 0; only < 7; ++only) {
    ISOProblem P = silent;
    AddDeltas(P, only);
    ExpectGradient(P, "delta weight " + std::to_string(only));
    P.deltas1 = ISODeltaList<ISODelta>();
    P.deltas2 = ISODeltaList<ISOFixedDelta>();
    ExpectGradient(P, "window deltas with the gauge fixed, weight " + std::to_string(only));
  }
  for (int k = 0; k < 2; ++k) {
    ISOProblem P = silent;
    P.biasWeights[k] = base.biasWeights[k];
    ExpectGradient(P, k == 0 ? "accelerometer bias prior" : "gyroscope bias prior");
  }
  ISOProblem P = silent;
  P.gravity.Assign(base.gravity);
  ExpectGradient(P, "gravity");
}

// Near the truth the residuals are small and b(x + dx) - b(x) = -H dx.
TEST_F(ISOSolverBlocks, NearTheTruthTheRightHandSideMovesByMinusHTimesTheStep) {
  ISOProblem P = base;
  AddDeltas(P, -1);
  ISOSolver solver;
  solver.BuildStructure(P, truth);
  solver.ConstructNormalEquation(P, truth);
  const Eigen::VectorXd b0 = Flat(solver.Gradient());
  const u32 N = truth.windowCameras.Size();
  Random::Seed(4);
  AlignedArray<LA::CameraVector15> dx, y;
  dx.Resize(N);
  y.Resize(N);
  ISOState moved;
  ISOState::Copy(moved, truth);
  for (u32 c = 0; c < N; ++c) {
    for (float& v : dx[c].v) v = 0.0f;
    for (int n = 0; n < 15; ++n) {
      dx[c].v[n + n / 3] = 1e-4f * Gaussian();
      NudgeCamera(moved.extrinsic, moved.windowCameras[c], n, dx[c].v[n + n / 3]);
    }
    for (float& v : y[c].v) v = 0.0f;
    LA::MultiplySymmetricBlock15(solver.CameraBlocks()[c], dx[c], y[c]);
  }
  for (size_t k = 0; k < solver.Pairs().size(); ++k) {
    const u32 i = solver.Pairs()[k].first, j = solver.Pairs()[k].second;
    LA::MultiplyBlock15(solver.PairBlocks()[k], dx[j], y[i]);
    LA::MultiplyBlock15Transposed(solver.PairBlocks()[k], dx[i], y[j]);
  }
  solver.ConstructNormalEquation(P, moved);
  const Eigen::VectorXd expected = -Flat(y), got = Flat(solver.Gradient()) - b0;
  const double scale = expected.lpNorm<Eigen::Infinity>();
  ASSERT_GT(scale, 0.0);
  for (int i = 0; i < got.size(); ++i) EXPECT_NEAR(got(i), expected(i), 2e-3 * scale) << i;
}

// A fixed pair built from a reference camera costs what the window pair
// costs with that camera in the window.
TEST_F(ISOSolverBlocks, FixedDeltaReproducesTheWindowPair) {
  ISOSolver solver;
  ISOProblem fixed, free;
  // Biases well off the delta's linearisation point, so that its bias terms count.
  CameraIMUState& reference = state.referenceCameras[0];
  for (int k = 0; k < 3; ++k) reference.ba[k] += 0.3f * (k + 1), reference.bg[k] -= 0.02f * (k + 1);
  ISODelta d = Delta(0, -1);
  for (int k = 0; k < 3; ++k) {  // a linearisation point off zero
    d.lane[ISOLane::kBa][k] = 0.1f * (k + 1);
    d.lane[ISOLane::kBg][k] = -0.01f * (k + 1);
  }
  Add(fixed.deltas2, Fixed(d), 0, 0);
  Add(free.deltas3, d, 0, 1);
  ISOState both;
  ISOState::Copy(both, state);
  both.windowCameras.Resize(2);
  both.windowCameras[0] = state.referenceCameras[0];
  both.windowCameras[1] = state.windowCameras[0];
  const float a = solver.ComputeCost(fixed, state, 0), b = solver.ComputeCost(free, both, 0);
  EXPECT_GT(a, 0.0f);
  EXPECT_NEAR(a, b, 1e-4 * b);
}

// Lanes that divide by dt stay finite (zero) for a delta without duration,
// and such a record joins a run without spoiling it.
TEST_F(ISOSolverBlocks, DeltaWithoutDurationGetsZeroWeights) {
  using namespace ISOLane;
  IMUDelta in = window.scene.Preintegrate(1, 2);
  ISODelta iso;
  for (double bad : {0.0, -0.25}) {
    in.dt = bad;
    ISODelta::Set(iso, in, 0.5);
    for (int l = 0; l < kCount; ++l)
      for (int k = 0; k < 4; ++k) ASSERT_TRUE(std::isfinite(iso.lane[l][k])) << "lane " << l;
    for (int l : {kInvDt, kWsa, kWsg, kWvrDt})
      for (int k = 0; k < 4; ++k) EXPECT_EQ(iso.lane[l][k], 0.0f) << "lane " << l;
    ISOProblem P = base;
    Add(P.deltas3, iso, 0, 1);
    ISOSolver solver;
    ISOState copy;
    ISOState::Copy(copy, state);
    EXPECT_NE(solver.Run(P, copy, 0), ISO_LM_INFINIT_SSE);
    EXPECT_TRUE(std::isfinite(copy.windowCameras[1].p[0]));
  }
}

}  // namespace

// The two damped Gauss-Newton solvers of the marker detector: template-free
// border alignment (6 pose parameters) and template alignment (pose, gain,
// bias). Both share the damping schedule and stopping rules below.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "la/SmallSolvers.h"
#include "viewer/MarkerDetector.h"

bool MarkerDetector::SampleDiagonals(int level, const CameraPose& pose) const {
  const CVD::Image<float>& I = levels[level];
  const Intrinsic& K = levelIntrinsics[level];
  float c[4][2];
  for (int k = 0; k < 4; ++k) {
    float X[3];
    TransformModelPoint(pose, modelCorners[k], X);
    ProjectCameraPoint(X, K, c[k]);
  }
  float sum = 0.0f;
  const int w = I.size().x, h = I.size().y;
  for (int d = 0; d < 2; ++d) {
    const float* from = c[d];
    const float* to = c[d + 2];
    for (int k = 0; k < 20; ++k) {
      const float x = from[0] + k * (to[0] - from[0]) / 20.0f;
      const float y = from[1] + k * (to[1] - from[1]) / 20.0f;
      if (x >= 0.0f && y >= 0.0f && x < w && y < h)
        sum += I[static_cast<int>(y)][static_cast<int>(x)];
    }
  }
  return sum * 0.5f / 20.0f < 0.7f;
}

// The damped iteration over either problem: Problem supplies N, the cost, the
// normal equations and the per-pose state (the dark flag of the edge cost).
template <class Problem>
float MarkerDetector::AlignDamped(Problem& problem, int level, CameraPose& pose, float corners[8]) {
  constexpr int N = Problem::N;
  const CVD::ImageRef levelSize = levels[level].size();
  float levelCorners[8];
  if (!ProjectCorners(levelSize, levelIntrinsics[level], pose, levelCorners)) return FLT_MAX;
  float lambda = initialDamping, nu = 2.0f;
  problem.Start(pose);
  float e = problem.Cost(pose);
  if (!std::isfinite(e) || e == FLT_MAX) {
    // No usable start cost: report failure and keep the pose.
    ProjectCorners(levels[0].size(), levelIntrinsics[0], pose, corners);
    return FLT_MAX;
  }
  alignas(16) float A[N][N], g[N], D[N], delta[N], Ad[N][N];
  problem.Build(pose, A, g);
  for (int i = 0; i < N; ++i) {
    D[i] = A[i][i];
    A[i][i] = D[i] * (1.0f + lambda);
  }
  for (int iteration = 0; iteration < maxIterations;) {
    std::memcpy(Ad, A, sizeof(A));
    std::memcpy(delta, g, sizeof(g));
    float* rows[N];
    for (int i = 0; i < N; ++i) rows[i] = Ad[i];
    const bool solved = N == 6 ? LA::SolveLDL6(rows, delta) : LA::SolveLDL8(rows, delta);
    if (!solved) break;
    float squared = 0.0f;
    for (int i = 0; i < N; ++i) squared += delta[i] * delta[i];
    if (!(squared >= problem.MinStepSquared())) break;
    const CameraPose savedPose = pose;
    const typename Problem::State savedState = problem.state;
    ApplyPoseIncrement(delta, pose);
    problem.ApplyExtra(delta);
    if (!ProjectCorners(levelSize, levelIntrinsics[level], pose, levelCorners)) {
      pose = savedPose;
      problem.state = savedState;
      break;
    }
    problem.Start(pose);
    const float eNew = problem.Cost(pose);
    if (!std::isfinite(eNew) || eNew == FLT_MAX) {
      pose = savedPose;
      problem.state = savedState;
      break;
    }
    if (eNew < e) {
      const float decrease = e - eNew;
      if (decrease / e < minRelativeDecrease) {
        e = eNew;
        break;
      }
      float predicted = 0.0f, damped = 0.0f;
      for (int i = 0; i < N; ++i) {
        damped += D[i] * delta[i] * delta[i];
        predicted += delta[i] * g[i];
      }
      const float rho = decrease / (lambda * damped + predicted);
      const float t = 2.0f * rho - 1.0f;
      lambda *= std::max(1.0f / 3.0f, 1.0f - t * t * t);
      nu = 2.0f;
      e = eNew;
      problem.Build(pose, A, g);
      float largest = 0.0f;
      if constexpr (N == 8) {
        largest = LA::MaxAbs8(g);
      } else {
        for (int i = 0; i < N; ++i) largest = std::max(largest, std::fabs(g[i]));
      }
      if (largest < minGradient) break;
      for (int i = 0; i < N; ++i) {
        D[i] = A[i][i];
        A[i][i] = D[i] * (1.0f + lambda);
      }
    } else {
      lambda *= nu;
      nu *= 2.0f;
      pose = savedPose;
      problem.state = savedState;
      if (!std::isfinite(nu) || !std::isfinite(lambda)) break;
      for (int i = 0; i < N; ++i) A[i][i] = D[i] * (1.0f + lambda);
    }
    ++iteration;
  }
  // Corners in rectified level-0 pixels whatever the level aligned.
  for (int k = 0; k < 4; ++k) {
    float X[3];
    TransformModelPoint(pose, modelCorners[k], X);
    ProjectCameraPoint(X, levelIntrinsics[0], corners + 2 * k);
  }
  return e;
}

namespace {

struct EdgeProblem {
  static constexpr int N = 6;
  struct State {
    bool dark;
  };
  const MarkerDetector& detector;
  int level;
  State state{false};
  void Start(const CameraPose& pose) { state.dark = detector.SampleDiagonals(level, pose); }
  float Cost(const CameraPose& pose) const {
    return detector.ComputeEdgeCost(level, pose, state.dark);
  }
  void Build(const CameraPose& pose, float A[6][6], float g[6]) const {
    detector.BuildEdgeNormalEquations(level, pose, A, g, state.dark);
  }
  void ApplyExtra(const float*) {}
  float MinStepSquared() const { return detector.edgeMinStepSquared; }
};

struct TemplateProblem {
  static constexpr int N = 8;
  struct State {
    float gainBias[2];
  };
  const MarkerDetector& detector;
  int level;
  State state{{1.0f, 0.0f}};
  void Start(const CameraPose&) {}
  float Cost(const CameraPose& pose) const {
    return detector.ComputeTemplateCost(level, pose, state.gainBias);
  }
  void Build(const CameraPose& pose, float A[8][8], float g[8]) const {
    detector.BuildTemplateNormalEquations(level, pose, state.gainBias, A, g);
  }
  void ApplyExtra(const float* delta) {
    state.gainBias[0] += delta[6];
    state.gainBias[1] += delta[7];
  }
  float MinStepSquared() const { return detector.minStepSquared; }
};

}  // namespace

float MarkerDetector::AlignHypothesis(int level, CameraPose& pose, float corners[8]) {
  EdgeProblem problem{*this, level};
  return AlignDamped(problem, level, pose, corners);
}

float MarkerDetector::AlignHypothesisToTemplate(int level, CameraPose& pose, float corners[8]) {
  TemplateProblem problem{*this, level};
  return AlignDamped(problem, level, pose, corners);
}

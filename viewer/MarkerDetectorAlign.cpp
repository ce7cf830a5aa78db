// The two damped Gauss-Newton solvers of the marker detector: template-free
// border alignment (6 pose parameters) and template alignment (pose, gain,
// bias). Both share the damping schedule and stopping rules below.
#include <immintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "la/SmallSolvers.h"
#include "viewer/MarkerDetector.h"

namespace {

// Camera-space point of a model point.
void Transform(const CameraPose& pose, const float* P, float* X) {
  for (int i = 0; i < 3; ++i)
    X[i] = pose.m[i][0] * P[0] + pose.m[i][1] * P[1] + pose.m[i][2] * P[2] + pose.m[i][3];
}

void Project(const float* X, const Intrinsic& K, float* p) {
  p[0] = K.fx[0] * X[0] / X[2] + K.cx[0];
  p[1] = K.fy[0] * X[1] / X[2] + K.cy[0];
}

// The four borders: corners (A, B) of the frame, first sample corner, and
// whether samples step along the model's x (else y).
struct Border {
  int a, b, start;
  bool alongX;
};
constexpr Border kBorders[4] = {
    {0, 3, 0, true}, {1, 2, 1, true}, {0, 1, 0, false}, {3, 2, 3, false}};

}  // namespace

bool MarkerDetector::SampleDiagonals(int level, const CameraPose& pose) const {
  const CVD::Image<float>& I = levels[level];
  const Intrinsic& K = levelIntrinsics[level];
  float c[4][2];
  for (int k = 0; k < 4; ++k) {
    float X[3];
    Transform(pose, modelCorners[k], X);
    Project(X, K, c[k]);
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

float MarkerDetector::ComputeEdgeCost(int level, const CameraPose& pose, bool dark) const {
  const CVD::Image<float>& I = levels[level];
  const Intrinsic& K = levelIntrinsics[level];
  float X[4][3], px[4][2];
  for (int k = 0; k < 4; ++k) {
    Transform(pose, modelCorners[k], X[k]);
    Project(X[k], K, px[k]);
  }
  const float c[2] = {K.cx[0], K.cy[0]};
  const float step = dark ? -1.0f : 1.0f;
  float cost = 0.0f;
  for (const Border& border : kBorders) {
    float d[2], m[2];
    if (!ComputeEdgeFrame(px[border.a], px[border.b], c, d, m)) return FLT_MAX;
    const float hm[2] = {0.5f * m[0], 0.5f * m[1]};
    const float scale = (border.alongX ? markerWidth : markerHeight) / 50.0f;
    const int column = border.alongX ? 0 : 1;
    const float s[3] = {pose.m[0][column] * scale, pose.m[1][column] * scale,
                        pose.m[2][column] * scale};
    for (int k = 1; k <= 49; ++k) {
      const float* X0 = X[border.start];
      const float Xs[3] = {X0[0] + k * s[0], X0[1] + k * s[1], X0[2] + k * s[2]};
      float p[2];
      Project(Xs, K, p);
      const float i0 = SampleBilinear(I, p[0], p[1]);
      const float r1 = SampleBilinear(I, p[0] + d[0], p[1] + d[1]) - i0;
      // The step is read across the border, half a pixel either side, so
      // that it is largest with the border sample on the edge itself.
      const float r2 = SampleBilinear(I, p[0] - hm[0], p[1] - hm[1]) -
                       SampleBilinear(I, p[0] + hm[0], p[1] + hm[1]) + step;
      cost += r1 * r1 + r2 * r2;
    }
  }
  return cost;
}

void MarkerDetector::BuildEdgeNormalEquations(int level, const CameraPose& pose, float A[6][6],
                                              float g[6], bool dark) const {
  const CVD::Image<float>& I = levels[level];
  const CVD::Image<LA::Vector2<float>>& G = gradients[level];
  const Intrinsic& K = levelIntrinsics[level];
  float X[4][3], px[4][2], Jc[4][2][6];
  for (int k = 0; k < 4; ++k) {
    Transform(pose, modelCorners[k], X[k]);
    ProjectWithPoseJacobian(X[k], K, px[k], Jc[k]);
  }
  const float c[2] = {K.cx[0], K.cy[0]};
  const float step = dark ? -1.0f : 1.0f;
  // Rows of A padded to 8 floats: both residuals' outer products are added
  // four columns at a time.
  alignas(16) float rowsA[6][8] = {};
  __m128 g0v = _mm_setzero_ps(), g1v = _mm_setzero_ps();
  for (const Border& border : kBorders) {
    float d[2], m[2], Jd[2][6], Jm[2][6];
    if (!ComputeEdgeFrameWithJacobian(px[border.a], px[border.b], c, Jc[border.a], Jc[border.b], d,
                                      m, Jd, Jm))
      continue;
    const float hm[2] = {0.5f * m[0], 0.5f * m[1]};
    const float scale = (border.alongX ? markerWidth : markerHeight) / 50.0f;
    const int column = border.alongX ? 0 : 1;
    const float s[3] = {pose.m[0][column] * scale, pose.m[1][column] * scale,
                        pose.m[2][column] * scale};
    for (int k = 1; k <= 49; ++k) {
      const float* X0 = X[border.start];
      const float Xs[3] = {X0[0] + k * s[0], X0[1] + k * s[1], X0[2] + k * s[2]};
      float p[2], Jp[2][6], g0[2], gd[2], gn[2], gp[2];
      ProjectWithPoseJacobian(Xs, K, p, Jp);
      const float i0 = SampleBilinearWithGradient(I, G, p[0], p[1], g0);
      const float id = SampleBilinearWithGradient(I, G, p[0] + d[0], p[1] + d[1], gd);
      const float in = SampleBilinearWithGradient(I, G, p[0] - hm[0], p[1] - hm[1], gn);
      const float ip = SampleBilinearWithGradient(I, G, p[0] + hm[0], p[1] + hm[1], gp);
      const float r1 = id - i0, r2 = in - ip + step;
      alignas(16) float J1[8] = {}, J2[8] = {};
      for (int j = 0; j < 6; ++j) {
        const float dpx = Jp[0][j], dpy = Jp[1][j];
        const float hx = 0.5f * Jm[0][j], hy = 0.5f * Jm[1][j];
        J1[j] = gd[0] * (dpx + Jd[0][j]) + gd[1] * (dpy + Jd[1][j]) - g0[0] * dpx - g0[1] * dpy;
        J2[j] = gn[0] * (dpx - hx) + gn[1] * (dpy - hy) - gp[0] * (dpx + hx) - gp[1] * (dpy + hy);
      }
      const __m128 a0 = _mm_load_ps(J1), a1 = _mm_load_ps(J1 + 4);
      const __m128 b0 = _mm_load_ps(J2), b1 = _mm_load_ps(J2 + 4);
      for (int i = 0; i < 6; ++i) {
        const __m128 u = _mm_set1_ps(J1[i]), v = _mm_set1_ps(J2[i]);
        _mm_store_ps(rowsA[i], _mm_add_ps(_mm_load_ps(rowsA[i]),
                                          _mm_add_ps(_mm_mul_ps(u, a0), _mm_mul_ps(v, b0))));
        _mm_store_ps(rowsA[i] + 4, _mm_add_ps(_mm_load_ps(rowsA[i] + 4),
                                              _mm_add_ps(_mm_mul_ps(u, a1), _mm_mul_ps(v, b1))));
      }
      const __m128 rr1 = _mm_set1_ps(r1), rr2 = _mm_set1_ps(r2);
      g0v = _mm_sub_ps(g0v, _mm_add_ps(_mm_mul_ps(a0, rr1), _mm_mul_ps(b0, rr2)));
      g1v = _mm_sub_ps(g1v, _mm_add_ps(_mm_mul_ps(a1, rr1), _mm_mul_ps(b1, rr2)));
    }
  }
  alignas(16) float gs[8];
  _mm_store_ps(gs, g0v);
  _mm_store_ps(gs + 4, g1v);
  for (int i = 0; i < 6; ++i) {
    g[i] = gs[i];
    for (int j = 0; j < 6; ++j) A[i][j] = rowsA[i][j];
  }
}

float MarkerDetector::ComputeTemplateCost(int level, const CameraPose& pose,
                                          const float gainBias[2]) const {
  const CVD::Image<float>& I = levels[level];
  const Intrinsic& K = levelIntrinsics[level];
  const AlignedArray<MarkerTemplateRecord>& records = templateLevels[level];
  const float maxU = static_cast<float>(I.size().x - 1), maxV = static_cast<float>(I.size().y - 1);
  float sum = 0.0f;
  u32 counted = 0;
  for (const MarkerTemplateRecord& r : records) {
    float X[3], p[2];
    Transform(pose, &r.X, X);
    if (!(X[2] > 0.0f)) continue;
    Project(X, K, p);
    if (!(p[0] >= 0.0f && p[0] < maxU && p[1] >= 0.0f && p[1] < maxV)) continue;
    const float e = gainBias[0] * SampleBilinear(I, p[0], p[1]) + gainBias[1] - r.intensity;
    sum += e * e;
    ++counted;
  }
  // A level where no record lands gives no evidence, never 0 / 0.
  return counted == 0 ? FLT_MAX : sum / counted;
}

void MarkerDetector::BuildTemplateNormalEquations(int level, const CameraPose& pose,
                                                  const float gainBias[2], float A[8][8],
                                                  float g[8]) const {
  alignas(16) float rowsA[8][8] = {};
  __m128 g0v = _mm_setzero_ps(), g1v = _mm_setzero_ps();
  const CVD::Image<float>& I = levels[level];
  const CVD::Image<LA::Vector2<float>>& Gi = gradients[level];
  const Intrinsic& K = levelIntrinsics[level];
  const float fx = K.fx[0], fy = K.fy[0];
  const float maxU = static_cast<float>(I.size().x - 1), maxV = static_cast<float>(I.size().y - 1);
  for (const MarkerTemplateRecord& r : templateLevels[level]) {
    float X[3], p[2];
    Transform(pose, &r.X, X);
    if (!(X[2] > 0.0f)) continue;
    Project(X, K, p);
    if (!(p[0] >= 0.0f && p[0] < maxU && p[1] >= 0.0f && p[1] < maxV)) continue;
    const int iu = static_cast<int>(p[0]), iv = static_cast<int>(p[1]);
    const float value = SampleBilinear(I, p[0], p[1]);
    const float e = gainBias[0] * value + gainBias[1] - r.intensity;
    const float Gx = 0.5f * (r.gx + Gi[iv][iu].x), Gy = 0.5f * (r.gy + Gi[iv][iu].y);
    const float iz = 1.0f / X[2];
    const float Jt[3] = {Gx * fx * iz, Gy * fy * iz, -(Gx * fx * X[0] + Gy * fy * X[1]) * iz * iz};
    alignas(16) float J[8];
    J[0] = Jt[1] * X[2] - Jt[2] * X[1];
    J[1] = Jt[2] * X[0] - Jt[0] * X[2];
    J[2] = Jt[0] * X[1] - Jt[1] * X[0];
    J[3] = Jt[0], J[4] = Jt[1], J[5] = Jt[2];
    J[6] = value;
    J[7] = 1.0f;
    const __m128 j0 = _mm_load_ps(J), j1 = _mm_load_ps(J + 4);
    for (int i = 0; i < 8; ++i) {
      const __m128 u = _mm_set1_ps(J[i]);
      _mm_store_ps(rowsA[i], _mm_add_ps(_mm_load_ps(rowsA[i]), _mm_mul_ps(u, j0)));
      _mm_store_ps(rowsA[i] + 4, _mm_add_ps(_mm_load_ps(rowsA[i] + 4), _mm_mul_ps(u, j1)));
    }
    const __m128 residual = _mm_set1_ps(e);
    g0v = _mm_sub_ps(g0v, _mm_mul_ps(j0, residual));
    g1v = _mm_sub_ps(g1v, _mm_mul_ps(j1, residual));
  }
  // A is built in full (symmetric by construction), also for an empty level.
  std::memcpy(A, rowsA, sizeof(rowsA));
  _mm_storeu_ps(g, g0v);
  _mm_storeu_ps(g + 4, g1v);
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
    Transform(pose, modelCorners[k], X);
    Project(X, levelIntrinsics[0], corners + 2 * k);
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

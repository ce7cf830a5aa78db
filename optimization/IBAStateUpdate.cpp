// Applying a solver step to the state (cameras, points, plane re-fit) and
// moving the whole state into the frame of the ground plane.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "optimization/IBASolver.h"

namespace {

void CameraOffsetRecord(const IBAState& state, float* offset) {
  std::memcpy(offset, state.extrinsic, sizeof(float) * 7);
  offset[7] = 0.0f;
}

// Rebuilds the pose and rotation caches of a camera from its p and q.
void RebuildCaches(const float* offset, CameraIMUState& camera) {
  alignas(16) float scratch[8];
  PoseToCameraF(offset, camera.p, camera.q, camera.pose, scratch);
  LA::QuaternionToRotationMatrix(camera.q, camera.R);
  for (int i = 0; i < 3; ++i) {
    camera.R[i][3] = 0.0f;
    for (int j = 0; j < 3; ++j) camera.RT[i][j] = camera.R[j][i];
    camera.RT[i][3] = 0.0f;
  }
}

void Rotate(const LA::AlignedMatrix3f& G, float* v) {
  const float x[3] = {v[0], v[1], v[2]};
  for (int i = 0; i < 3; ++i) v[i] = LA::Dot3(G[i], x);
}

}  // namespace

void IBASolver::UpdateState(const IBAProblem& problem, IBAState& state) {
  alignas(16) float offset[8];
  CameraOffsetRecord(state, offset);
  for (u32 k = 0; k < variableCameras_; ++k) {
    CameraIMUState& camera = state.cameras[fixedCameras_ + k];
    const float* x = cameraStep[k].v;
    for (int i = 0; i < 3; ++i) {
      camera.p[i] += x[i];
      camera.v[i] += x[4 + i];
      camera.ba[i] += x[12 + i];
      camera.bg[i] += x[16 + i];
    }
    alignas(16) float q[4];
    LA::UpdateQuaternion(x + 8, camera.q, q);
    std::memcpy(camera.q, q, sizeof(q));
    RebuildCaches(offset, camera);
  }
  for (u32 k = 0; k < variablePoints_; ++k) {
    float* X = state.points[fixedPoints_ + k].v;
    for (int i = 0; i < 3; ++i) X[i] += pointStep[k].v[i];
    X[3] = 1.0f;
  }
  RefitPlanes(problem, state);
}

bool IBASolver::AlignToGroundPlane(const IBAProblem& problem, IBAState& state) {
  const u32 g = problem.groundCamera, P = problem.groundPlane;
  if (!problem.ground || g >= state.cameras.Size() || P >= state.planes.Size()) return false;
  float* plane = state.planes[P].v;
  if (plane[2] < 0.0f) {
    for (int i = 0; i < 4; ++i) plane[i] = -plane[i];
  }
  float n[3] = {plane[0], plane[1], plane[2]};
  const float length = std::sqrt(LA::Dot3(n, n));
  if (!(length > 0.0f)) return false;
  for (float& v : n) v /= length;
  const LA::AlignedMatrix3f& R = state.cameras[g].R;
  float x[3], y[3];
  // Horizontal axes from the camera's body axes; when the chosen axis lies
  // along n its cross product vanishes and the other axis is used.
  bool useR0 = LA::Dot3(n, R[1]) > LA::Dot3(n, R[0]);
  for (int attempt = 0; attempt < 2; ++attempt, useR0 = !useR0) {
    if (useR0) {
      LA::Cross3(n, R[0], y);
      LA::Cross3(y, n, x);
    } else {
      LA::Cross3(R[1], n, x);
      LA::Cross3(n, x, y);
    }
    if (LA::Dot3(x, x) > 1e-8f && LA::Dot3(y, y) > 1e-8f) break;
  }
  const float ix = 1.0f / std::sqrt(LA::Dot3(x, x)), iy = 1.0f / std::sqrt(LA::Dot3(y, y));
  LA::AlignedMatrix3f G;
  for (int i = 0; i < 3; ++i) {
    G[0][i] = x[i] * ix;
    G[1][i] = y[i] * iy;
    G[2][i] = n[i];
  }
  G[0][3] = G[1][3] = G[2][3] = 0.0f;
  alignas(16) float qG[4], scratch[4];
  RotationToQuaternion(G, qG);
  const float qGc[4] = {-qG[0], -qG[1], -qG[2], qG[3]};

  // Orientation: R(q') = R(q) G^T, so q' = conj(qG) (x) q.
  for (u32 c = 0; c < state.cameras.Size(); ++c) {
    CameraIMUState& camera = state.cameras[c];
    alignas(16) float q[4];
    LA::MultiplyQuaternions(camera.q, qGc, q, scratch);
    const float s = (q[3] < 0.0f ? -1.0f : 1.0f) /
                    std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    for (int i = 0; i < 4; ++i) camera.q[i] = q[i] * s;
    Rotate(G, camera.p);
    Rotate(G, camera.v);
  }
  const float* pg = state.cameras[g].p;
  const float t[3] = {problem.groundPosition[0] - pg[0], problem.groundPosition[1] - pg[1],
                      plane[3] / length};
  alignas(16) float offset[8];
  CameraOffsetRecord(state, offset);
  for (u32 c = 0; c < state.cameras.Size(); ++c) {
    for (int i = 0; i < 3; ++i) state.cameras[c].p[i] += t[i];
    RebuildCaches(offset, state.cameras[c]);
  }
  for (u32 k = 0; k < state.points.Size(); ++k) {
    float* X = state.points[k].v;
    Rotate(G, X);
    for (int i = 0; i < 3; ++i) X[i] += t[i];
    X[3] = 1.0f;
  }
  for (u32 j = 0; j < state.planes.Size(); ++j) {
    float* Q = state.planes[j].v;
    Rotate(G, Q);
    Q[3] -= LA::Dot3(Q, t);
  }
  return true;
}

void IBASolver::ChooseScaleHold(const IBAProblem& problem, const IBAState& state) {
  heldScale_ = 0.0f;
  holdCameras_ = false;
  if (fixedCameras_ != 1 || fixedPoints_ != 0 || problem.fixedPlanes != 0) return;
  // A map's first two key frames with readings between them: the points
  // stand where guesses put them, but the second camera is where tracking
  // and the readings took it, and every frame before it was posed on that
  // scale. With more cameras their spread: every key frame shares in it.
  holdCameras_ = (problem.holdBaseline && cameras_ == 2) || variableCameras_ >= 2;
  float d = HeldScaleMeasure(state);
  if (holdCameras_ && !(d > 0.0f && std::isfinite(d))) {
    holdCameras_ = false;  // one place: the points are all there is
    d = HeldScaleMeasure(state);
  }
  if (d > 0.0f && std::isfinite(d)) heldScale_ = d;
}

float IBASolver::HeldScaleMeasure(const IBAState& state) {
  float c[3];
  if (holdCameras_) {
    // About the fixed camera; with one variable camera, the baseline.
    float c0[3];
    CameraCentre(state.cameras[0].pose, c0);
    double sum = 0.0;
    for (u32 k = fixedCameras_; k < cameras_; ++k) {
      CameraCentre(state.cameras[k].pose, c);
      const float d[3] = {c[0] - c0[0], c[1] - c0[1], c[2] - c0[2]};
      sum += LA::Dot3(d, d);
    }
    return static_cast<float>(std::sqrt(sum / variableCameras_));
  }
  CameraCentre(state.cameras[cameras_ - 1].pose, c);
  scaleScratch_.resize(variablePoints_);
  for (u32 k = 0; k < variablePoints_; ++k) {
    const float* X = state.points[fixedPoints_ + k].v;
    const float d[3] = {X[0] - c[0], X[1] - c[1], X[2] - c[2]};
    scaleScratch_[k] = LA::Dot3(d, d);
  }
  if (scaleScratch_.empty()) return 0.0f;
  auto middle = scaleScratch_.begin() + scaleScratch_.size() / 2;
  std::nth_element(scaleScratch_.begin(), middle, scaleScratch_.end());
  return std::sqrt(*middle);
}

void IBASolver::RestoreScale(IBAState& state) {
  if (heldScale_ == 0.0f) return;
  const float now = HeldScaleMeasure(state);
  if (!(now > 0.0f) || !std::isfinite(now)) return;
  const float s = heldScale_ / now;
  float c[3];
  CameraCentre(state.cameras[0].pose, c);
  // X' = c + s (X - c) for every variable point and camera centre; a body
  // keeps its offset from its camera, so it moves as its centre does.
  alignas(16) float offset[8];
  CameraOffsetRecord(state, offset);
  for (u32 k = 0; k < variableCameras_; ++k) {
    CameraIMUState& camera = state.cameras[fixedCameras_ + k];
    float centre[3];
    CameraCentre(camera.pose, centre);
    for (int i = 0; i < 3; ++i) {
      camera.p[i] += (s - 1.0f) * (centre[i] - c[i]);
      camera.v[i] *= s;
    }
    RebuildCaches(offset, camera);
  }
  for (u32 k = fixedPoints_; k < points_; ++k) {
    float* X = state.points[k].v;
    for (int i = 0; i < 3; ++i) X[i] = c[i] + s * (X[i] - c[i]);
  }
  // n.X + d = 0 becomes n.X + s d + (s - 1) n.c = 0.
  for (u32 j = 0; j < state.planes.Size(); ++j) {
    float* Q = state.planes[j].v;
    Q[3] = s * Q[3] + (s - 1.0f) * LA::Dot3(Q, c);
  }
}

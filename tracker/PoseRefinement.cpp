#include "tracker/PoseRefinement.h"

#include <immintrin.h>

#include <cmath>

#include "estimation/ProjectionNormalEquation.h"
#include "features/ImageMapMath.h"
#include "la/LinearAlgebra.h"
#include "la/SmallSolvers.h"

void PoseRefinement::Resize(u32 n) {
  n_ = n;
  padded4_ = (n + 3) & ~3u;
  block_.Resize(kColumns * padded4_);
  // Padding lanes: a point straight ahead with no level weight, never read
  // past the projection.
  for (u32 i = n; i < padded4_; ++i) Set(i, {{0.0f, 0.0f, 1.0f, 1.0f}}, 0.0f, 0.0f, 0.0f);
}

void PoseRefinement::Set(u32 i, const LA::AlignedVector4f& X, float x, float y, float levelWeight) {
  Col(kPointX)[i] = X.v[0];
  Col(kPointY)[i] = X.v[1];
  Col(kPointZ)[i] = X.v[2];
  Col(kObservedX)[i] = x;
  Col(kObservedY)[i] = y;
  Col(kLevelWeight)[i] = levelWeight;
}

void PoseRefinement::Project(const CameraPose& pose) {
  __m128 P[12];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) P[4 * r + c] = _mm_set1_ps(pose.m[r][c]);
  const float *X = Col(kPointX), *Y = Col(kPointY), *Z = Col(kPointZ);
  const float *mx = Col(kObservedX), *my = Col(kObservedY), *wl = Col(kLevelWeight);
  float *qx = Col(kRotatedX), *qy = Col(kRotatedY), *qz = Col(kRotatedZ);
  float *rho = Col(kInverseDepth), *u = Col(kProjectedX), *v = Col(kProjectedY);
  float *r0 = Col(kResidualX), *r1 = Col(kResidualY);
  squared_.Resize(padded4_);
  float* e = squared_.Data();
  const __m128 minDepth = _mm_set1_ps(kMinDepth), one = _mm_set1_ps(1.0f);
  const __m128 infinite = _mm_set1_ps(INFINITY);
  for (u32 i = 0; i < padded4_; i += 4) {
    const __m128 x = _mm_load_ps(X + i), y = _mm_load_ps(Y + i), z = _mm_load_ps(Z + i);
    const auto rotate = [&](const __m128* row) {
      return _mm_add_ps(_mm_add_ps(_mm_mul_ps(row[0], x), _mm_mul_ps(row[1], y)),
                        _mm_mul_ps(row[2], z));
    };
    const __m128 ax = rotate(P), ay = rotate(P + 4), az = rotate(P + 8);
    const __m128 depth = _mm_add_ps(az, P[11]);
    const __m128 inFront = _mm_cmpgt_ps(depth, minDepth);
    const __m128 id = _mm_div_ps(one, depth);
    const __m128 px = _mm_mul_ps(_mm_add_ps(ax, P[3]), id);
    const __m128 py = _mm_mul_ps(_mm_add_ps(ay, P[7]), id);
    const __m128 w = _mm_load_ps(wl + i);
    const __m128 dx = _mm_mul_ps(w, _mm_sub_ps(_mm_load_ps(mx + i), px));
    const __m128 dy = _mm_mul_ps(w, _mm_sub_ps(_mm_load_ps(my + i), py));
    const __m128 e4 = _mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy));
    _mm_store_ps(qx + i, ax);
    _mm_store_ps(qy + i, ay);
    _mm_store_ps(qz + i, az);
    _mm_store_ps(rho + i, id);
    _mm_store_ps(u + i, px);
    _mm_store_ps(v + i, py);
    _mm_store_ps(r0 + i, dx);
    _mm_store_ps(r1 + i, dy);
    // A point at or behind the camera plane has no usable residual.
    _mm_store_ps(e + i, _mm_or_ps(_mm_and_ps(inFront, e4), _mm_andnot_ps(inFront, infinite)));
  }
  squared_.Resize(n_);
}

bool PoseRefinement::SolveStep(LA::AlignedVector6f& step) {
  LA::AlignedCompactMatrix6f A;
  for (float& a : A.m) a = 0.0f;
  for (float& b : step.v) b = 0.0f;
  const float *qx = Col(kRotatedX), *qy = Col(kRotatedY), *qz = Col(kRotatedZ);
  const float *rho = Col(kInverseDepth), *u = Col(kProjectedX), *v = Col(kProjectedY);
  const float *r0 = Col(kResidualX), *r1 = Col(kResidualY), *wl = Col(kLevelWeight);
  const float* w = weights_.Data();
  alignas(16) float J[12];
  for (u32 i = 0; i < n_; ++i) {
    // Zero weight also covers the matches without a usable residual.
    if (w[i] == 0.0f) continue;
    const float a = w[i] * wl[i] * rho[i];
    const float x = qx[i], y = qy[i], z = qz[i], pu = u[i], pv = v[i];
    // x row: columns 0-3, then 4, 5 of x and 4, 5 of y, then y row 0-3.
    J[0] = -a * pu * y;
    J[1] = a * (z + pu * x);
    J[2] = -a * y;
    J[3] = a;
    J[4] = 0.0f;
    J[5] = -a * pu;
    J[6] = a;
    J[7] = -a * pv;
    J[8] = -a * (z + pv * y);
    J[9] = a * pv * x;
    J[10] = a * x;
    J[11] = 0.0f;
    AccumulateProjectionNormalEquation(J, A);
    // The residual carries the Tukey weight a second time, as the rows do.
    const float ex = w[i] * r0[i], ey = w[i] * r1[i];
    step.v[0] += J[0] * ex + J[8] * ey;
    step.v[1] += J[1] * ex + J[9] * ey;
    step.v[2] += J[2] * ex + J[10] * ey;
    step.v[3] += J[3] * ex;
    step.v[4] += J[6] * ey;
    step.v[5] += J[5] * ex + J[7] * ey;
  }
  // Jacobi scaling makes the solver's pivot bound relative, so that a distant
  // or coarse-level scene is not taken for a singular one.
  LA::AlignedVector6f s;
  for (int k = 0; k < 6; ++k) s.v[k] = A(k, k) > 0.0f ? 1.0f / std::sqrt(A(k, k)) : 0.0f;
  s.v[6] = s.v[4], s.v[7] = s.v[5];
  ScaleNormalEquation(s, A);
  for (int k = 0; k < 6; ++k) step.v[k] *= s.v[k];
  if (!LA::SolveLDL(A, step)) return false;
  for (int k = 0; k < 6; ++k) step.v[k] *= s.v[k];
  return LA::AllFinite(step.v, 6);
}

int PoseRefinement::Refine(CameraPose& pose) {
  for (int round = 0; round < kRounds; ++round) {
    Project(pose);
    ComputeTukeyWeights(squared_, weights_, sortCopy_);
    LA::AlignedVector6f step;
    if (!SolveStep(step)) return round;
    float scratch[4];
    LA::AlignedMatrix3f dR;
    CameraPose next;
    RotationVectorToRotation(dR, step.v[0], step.v[1], step.v[2], scratch);
    LA::MultiplyAB(dR, pose, next, scratch);
    // The translation moves by its own increment; the rotation update does
    // not turn it.
    for (int r = 0; r < 3; ++r) next.m[r][3] = pose.m[r][3] + step.v[3 + r];
    if (!LA::AllFinite(&next.m[0][0], 12)) return round;
    pose = next;
  }
  return kRounds;
}

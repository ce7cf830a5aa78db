#pragma once
// Residuals shared by the ISO solver's cost and its normal equations: the
// inertial pair terms with their rotation Jacobians, and a loader that feeds
// 3-D feature measurements to SSE four at a time. Internal to the solver.
#include <immintrin.h>

#include "optimization/ISOProblem.h"

namespace ISOTerms {

using LA::Cross3;
using LA::Dot3;

// Everything a pair (i, j) contributes, evaluated at the state. Rotation
// steps follow LA::UpdateQuaternion: e_r changes by s K theta_i and by
// Jj theta_j (Jj includes the sign s).
struct alignas(16) DeltaTerms {
  float ep[4], ev[4], er[4];  // position, velocity, rotation residuals
  float g[4], h[4];           // R_i (p_j - p_i - dt v_i), R_i (v_j - v_i)
  float vs[4];                // v_j - v_i (velocity smoothness)
  float evr[4];               // v_i - (p_j - p_i) / dt (velocity regularisation)
  float eba[4], ebg[4];       // bias smoothness ba_j - ba_i, bg_j - bg_i
  float K[3][4];
  float Jj[3][4];
  float s;
  float wp, wv, wr, wvs, wvr, wsa, wsg;
  float wvrInvDt, wvrInvDt2;  // w_vr / dt, w_vr / dt^2
};

// Rotation residual and Jacobians from q_i, q_j and the delta rotation b.
inline void RotationTerms(const float* qi, const float* qj, const float* b, DeltaTerms& t) {
  alignas(16) float a[4], E[4], scratch[4];
  float dot;
  LA::RelativeQuaternion(qj, qi, a, scratch);  // conj(q_i) (x) q_j
  LA::QuaternionErrorVector(a, b, t.er, dot);
  t.er[3] = 0.0f;
  LA::RelativeQuaternion(a, b, E, scratch);  // conj(b) (x) a
  t.s = dot > 0.0f ? 1.0f : -1.0f;
  const float s = t.s, w = E[3];
  t.Jj[0][0] = s * w;
  t.Jj[0][1] = -s * E[2];
  t.Jj[0][2] = s * E[1];
  t.Jj[1][0] = s * E[2];
  t.Jj[1][1] = s * w;
  t.Jj[1][2] = -s * E[0];
  t.Jj[2][0] = -s * E[1];
  t.Jj[2][1] = s * E[0];
  t.Jj[2][2] = s * w;
  const float ax = a[0], ay = a[1], az = a[2], aw = a[3];
  const float bx = b[0], by = b[1], bz = b[2], bw = b[3];
  t.K[0][0] = -ax * bx + ay * by + az * bz - aw * bw;
  t.K[0][1] = -ax * by - ay * bx - az * bw - aw * bz;
  t.K[0][2] = -ax * bz + ay * bw - az * bx + aw * by;
  t.K[1][0] = -ax * by - ay * bx + az * bw + aw * bz;
  t.K[1][1] = ax * bx - ay * by + az * bz - aw * bw;
  t.K[1][2] = -ax * bw - ay * bz - az * by - aw * bx;
  t.K[2][0] = -ax * bz - ay * bw - az * bx - aw * by;
  t.K[2][1] = ax * bw - ay * bz - az * by + aw * bx;
  t.K[2][2] = ax * bx + ay * by - az * bz - aw * bw;
  for (int r = 0; r < 3; ++r) t.K[r][3] = t.Jj[r][3] = 0.0f;
}

// Terms common to both record kinds once the position and velocity offsets
// are known: d = p_j - p_i - offset, the velocity difference and the biases.
inline void MotionTerms(const CameraIMUState& ci, const CameraIMUState& cj, const float* offset,
                        float invDt, DeltaTerms& t) {
  const float* pi = ci.p;
  const float* pj = cj.p;
  const float* vi = ci.v;
  const float* vj = cj.v;
  const float* R = ci.R.m[0];
  float d[4];
  for (int k = 0; k < 3; ++k) {
    d[k] = pj[k] - pi[k] - offset[k];
    t.vs[k] = vj[k] - vi[k];
    t.evr[k] = vi[k] + (pi[k] - pj[k]) * invDt;
    t.eba[k] = cj.ba[k] - ci.ba[k];
    t.ebg[k] = cj.bg[k] - ci.bg[k];
  }
  d[3] = t.vs[3] = t.evr[3] = t.eba[3] = t.ebg[3] = 0.0f;
  for (int k = 0; k < 3; ++k) {
    t.g[k] = Dot3(R + 4 * k, d);
    t.h[k] = Dot3(R + 4 * k, t.vs);
  }
  t.g[3] = t.h[3] = 0.0f;
}

// A window-to-window or window-to-reference pair with an ISODelta.
inline void ComputeDeltaTerms(const ISODelta& D, const CameraIMUState& ci, const CameraIMUState& cj,
                              DeltaTerms& t) {
  using namespace ISOLane;
  const float dt = D.lane[kDt][0];
  float offset[4], dba[4], dbg[4];
  for (int k = 0; k < 3; ++k) {
    offset[k] = dt * ci.v[k];
    dba[k] = ci.ba[k] - D.lane[kBa][k];
    dbg[k] = ci.bg[k] - D.lane[kBg][k];
  }
  offset[3] = dba[3] = dbg[3] = 0.0f;
  MotionTerms(ci, cj, offset, D.lane[kInvDt][0], t);
  RotationTerms(ci.q, cj.q, D.lane[kDq], t);
  for (int k = 0; k < 3; ++k) {
    t.ep[k] =
        t.g[k] - Dot3(D.lane[kDpDba + k], dba) - Dot3(D.lane[kDpDbg + k], dbg) - D.lane[kDp][k];
    t.ev[k] =
        t.h[k] - Dot3(D.lane[kDvDba + k], dba) - Dot3(D.lane[kDvDbg + k], dbg) - D.lane[kDv][k];
    t.er[k] -= Dot3(D.lane[kDrDbg + k], dbg);
  }
  t.ep[3] = t.ev[3] = 0.0f;
  t.wp = D.lane[kWp][0];
  t.wv = D.lane[kWv][0];
  t.wr = D.lane[kWr][0];
  t.wvs = D.lane[kWvs][0];
  t.wvr = D.lane[kWvr][0];
  t.wsa = D.lane[kWsa][0];
  t.wsg = D.lane[kWsg][0];
  t.wvrInvDt = D.lane[kWvrDt][0];
  t.wvrInvDt2 = D.lane[kWvrDt][1];
}

// A reference-to-window pair: camera i's velocity and bias terms are the
// record's constants.
inline void ComputeFixedDeltaTerms(const ISOFixedDelta& F, const CameraIMUState& ci,
                                   const CameraIMUState& cj, DeltaTerms& t) {
  using namespace ISOFixedLane;
  const float invDt = F.lane[kInvDt][0];
  MotionTerms(ci, cj, F.lane[kO], invDt, t);
  RotationTerms(ci.q, cj.q, F.lane[kDq], t);
  for (int k = 0; k < 3; ++k) {
    t.ep[k] = t.g[k] - F.lane[kCp][k];
    t.ev[k] = t.h[k] - F.lane[kCv][k];
    t.er[k] -= F.lane[kCr][k];
  }
  t.ep[3] = t.ev[3] = 0.0f;
  t.wp = F.lane[kWp][0];
  t.wv = F.lane[kWv][0];
  t.wr = F.lane[kWr][0];
  t.wvs = F.lane[kWvs][0];
  t.wvr = F.lane[kWvr][0];
  t.wsa = F.lane[kWsa][0];
  t.wsg = F.lane[kWsg][0];
  t.wvrInvDt = t.wvr * invDt;
  t.wvrInvDt2 = F.lane[kWvrDt][1];
}

// Four measurements of one (camera, level) group in SSE lanes: the point
// coordinates and the observation. Lanes past the group's end repeat its
// last measurement and carry a zero mask.
struct FeatureBatch {
  __m128 X, Y, Z, x, y, mask;
  u32 points[4];
};

inline void LoadFeatureBatch(const ISOProblem& problem, u32 first, u32 end, FeatureBatch& b) {
  alignas(16) float mx[4], my[4], m[4];
  const float* P[4];
  for (u32 k = 0; k < 4; ++k) {
    const u32 i = first + k < end ? first + k : end - 1;
    const IBAMeasurement& f = problem.features3D[i];
    b.points[k] = f.point;
    P[k] = problem.points[f.point];
    mx[k] = f.x;
    my[k] = f.y;
    m[k] = first + k < end ? 1.0f : 0.0f;
  }
  __m128 r0 = _mm_loadu_ps(P[0]), r1 = _mm_loadu_ps(P[1]), r2 = _mm_loadu_ps(P[2]),
         r3 = _mm_loadu_ps(P[3]);
  _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
  b.X = r0;
  b.Y = r1;
  b.Z = r2;
  b.x = _mm_load_ps(mx);
  b.y = _mm_load_ps(my);
  b.mask = _mm_load_ps(m);
}

// Camera coordinates of a batch under a pose (rows of [R | t]).
inline void TransformBatch(const float* pose, const FeatureBatch& b, __m128& xc, __m128& yc,
                           __m128& zc) {
  __m128 out[3];
  for (int r = 0; r < 3; ++r) {
    const float* row = pose + 4 * r;
    out[r] = _mm_add_ps(
        _mm_add_ps(_mm_mul_ps(_mm_set1_ps(row[0]), b.X), _mm_mul_ps(_mm_set1_ps(row[1]), b.Y)),
        _mm_add_ps(_mm_mul_ps(_mm_set1_ps(row[2]), b.Z), _mm_set1_ps(row[3])));
  }
  xc = out[0];
  yc = out[1];
  zc = out[2];
}

}  // namespace ISOTerms

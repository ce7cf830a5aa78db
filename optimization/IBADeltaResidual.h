#pragma once
// Residual of the preintegrated motion term between consecutive cameras i and
// j, shared by the cost and the normal equations so that both see the same
// numbers.
#include "la/Pose.h"
#include "optimization/IBAStateAccess.h"

struct alignas(16) IBADeltaResidual {
  float ep[4], ev[4], er[4], eba[4], ebg[4];
  float ap[4], av[4];  // R_i (p_j - p_i - dt v_i) and R_i (v_j - v_i)
  float dba[4], dbg[4];
  float E[4];  // conj(delta rotation) (x) conj(q_i) (x) q_j
  float s;     // sign of the rotation error: 1 when E.w > 0, else -1
};

inline float Dot3(const float* a, const float* b) {
  return (a[1] * b[1] + a[0] * b[0]) + a[2] * b[2];
}

inline void ComputeDeltaResidual(const CameraIMUState& ci, const CameraIMUState& cj,
                                 const IBADelta& delta, IBADeltaResidual& e) {
  using namespace IBALane;
  const float(*a)[4] = Lanes(ci);
  const float(*b)[4] = Lanes(cj);
  const float(*D)[4] = Lanes(delta);
  const float dt = D[kDt][0];
  float dp[3], dv[3];
  for (int k = 0; k < 3; ++k) {
    dp[k] = b[kP][k] - a[kP][k] - dt * a[kV][k];
    dv[k] = b[kV][k] - a[kV][k];
    e.dba[k] = a[kBa][k] - D[kBa][k];
    e.dbg[k] = a[kBg][k] - D[kBg][k];
  }
  e.dba[3] = e.dbg[3] = 0.0f;
  for (int k = 0; k < 3; ++k) {
    e.ap[k] = Dot3(a[kR + k], dp);
    e.av[k] = Dot3(a[kR + k], dv);
    e.ep[k] = e.ap[k] - Dot3(D[kJpa + k], e.dba) - Dot3(D[kJpg + k], e.dbg) - D[kDp][k];
    e.ev[k] = e.av[k] - Dot3(D[kJva + k], e.dba) - Dot3(D[kJvg + k], e.dbg) - D[kDv][k];
    e.eba[k] = b[kBa][k] - a[kBa][k];
    e.ebg[k] = b[kBg][k] - a[kBg][k];
  }
  float qrel[4], scratch[4], dot;
  LA::RelativeQuaternion(b[kQ], a[kQ], qrel, scratch);
  LA::RelativeQuaternion(qrel, D[kDq], e.E, scratch);
  LA::QuaternionErrorVector(qrel, D[kDq], e.er, dot);
  e.s = dot > 0.0f ? 1.0f : -1.0f;
  for (int k = 0; k < 3; ++k) e.er[k] -= Dot3(D[kJrg + k], e.dbg);
  e.ep[3] = e.ev[3] = e.er[3] = e.eba[3] = e.ebg[3] = e.ap[3] = e.av[3] = 0.0f;
}

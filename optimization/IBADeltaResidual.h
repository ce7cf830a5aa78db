#pragma once
// Residual of the preintegrated motion term between consecutive cameras i and
// j, shared by the cost and the normal equations so that both see the same
// numbers.
#include "la/Pose.h"
#include "optimization/CameraIMUState.h"
#include "optimization/IBADelta.h"

struct alignas(16) IBADeltaResidual {
  float ep[4], ev[4], er[4], eba[4], ebg[4];
  float ap[4], av[4];  // R_i (p_j - p_i - dt v_i) and R_i (v_j - v_i)
  float dba[4], dbg[4];
  float E[4];  // conj(delta rotation) (x) conj(q_i) (x) q_j
  float s;     // sign of the rotation error: 1 when E.w > 0, else -1
};

inline void ComputeDeltaResidual(const CameraIMUState& ci, const CameraIMUState& cj,
                                 const IBADelta& delta, IBADeltaResidual& e) {
  const float dt = delta.dt[0];
  float dp[3], dv[3];
  for (int k = 0; k < 3; ++k) {
    dp[k] = cj.p[k] - ci.p[k] - dt * ci.v[k];
    dv[k] = cj.v[k] - ci.v[k];
    e.dba[k] = ci.ba[k] - delta.ba[k];
    e.dbg[k] = ci.bg[k] - delta.bg[k];
  }
  e.dba[3] = e.dbg[3] = 0.0f;
  for (int k = 0; k < 3; ++k) {
    e.ap[k] = LA::Dot3(ci.R[k], dp);
    e.av[k] = LA::Dot3(ci.R[k], dv);
    e.ep[k] =
        e.ap[k] - LA::Dot3(delta.dp_dba[k], e.dba) - LA::Dot3(delta.dp_dbg[k], e.dbg) - delta.dp[k];
    e.ev[k] =
        e.av[k] - LA::Dot3(delta.dv_dba[k], e.dba) - LA::Dot3(delta.dv_dbg[k], e.dbg) - delta.dv[k];
    e.eba[k] = cj.ba[k] - ci.ba[k];
    e.ebg[k] = cj.bg[k] - ci.bg[k];
  }
  float qrel[4], scratch[4], dot;
  LA::RelativeQuaternion(cj.q, ci.q, qrel, scratch);
  LA::RelativeQuaternion(qrel, delta.dq, e.E, scratch);
  LA::QuaternionErrorVector(qrel, delta.dq, e.er, dot);
  e.s = dot > 0.0f ? 1.0f : -1.0f;
  for (int k = 0; k < 3; ++k) e.er[k] -= LA::Dot3(delta.dr_dbg[k], e.dbg);
  e.ep[3] = e.ev[3] = e.er[3] = e.eba[3] = e.ebg[3] = e.ap[3] = e.av[3] = 0.0f;
}

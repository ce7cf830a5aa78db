// Widening of a double preintegration into the bundle adjustment's lanes.
#include "optimization/IBADelta.h"

#include <cmath>

#include "optimization/IMUParameters.h"

namespace {

void SetLane(f32* lane, const f64* v, int n, f64 s) {
  for (int i = 0; i < n; ++i) lane[i] = static_cast<f32>(v[i] * s);
  for (int i = n; i < 4; ++i) lane[i] = 0.0f;
}

void Broadcast(f32* lane, f64 value) {
  const f32 f = static_cast<f32>(value);
  lane[0] = lane[1] = lane[2] = lane[3] = f;
}

// Three row lanes from a row-major 3x3, each value times s.
void SetRows(f32 (*rows)[4], const f64* M, f64 s) {
  for (int r = 0; r < 3; ++r) SetLane(rows[r], M + 3 * r, 3, s);
}

void SetRowsTransposed(f32 (*rows)[4], const f64* M) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) rows[r][c] = static_cast<f32>(M[3 * c + r]);
    rows[r][3] = 0.0f;
  }
}

// Full symmetric rows from a packed upper triangle, times s.
void SetPackedRows(f32 (*rows)[4], const f64* P, f64 s) {
  static constexpr int kIndex[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) rows[r][c] = static_cast<f32>(P[kIndex[r][c]] * s);
    rows[r][3] = 0.0f;
  }
}

// s / (sigma^2 unit^2 dt), 0 when the key is 0 or the delta too short.
f64 SmoothnessWeight(f64 s, f64 sigma, f64 unit, f64 dt) {
  if (sigma == 0.0 || !(dt >= kMinimumDeltaTime)) return 0.0;
  return s / (sigma * sigma * unit * unit * dt);
}

}  // namespace

void IBADelta::Set(IBADelta& out, const IMUDelta& in, f64 s, f64 unitsPerMetre) {
  const f64 u = unitsPerMetre;
  // Weights of map-unit residuals (1 / u^2) and of their bias cross terms
  // (1 / u); the bias-bias blocks come out unchanged.
  const f64 w2 = 1.0 / (u * u), w1 = 1.0 / u;
  SetLane(out.dp, in.dp, 3, u);
  SetLane(out.dv, in.dv, 3, u);
  SetLane(out.dq, in.dq, 4, 1.0);
  SetLane(out.ba, in.ba, 3, 1.0);
  SetLane(out.bg, in.bg, 3, 1.0);
  Broadcast(out.dt, in.dt);
  SetRows(out.dp_dba, in.dp_dba, u);
  SetRows(out.dp_dbg, in.dp_dbg, u);
  SetRows(out.dv_dba, in.dv_dba, u);
  SetRows(out.dv_dbg, in.dv_dbg, u);
  SetRows(out.dr_dbg, in.dr_dbg, 1.0);
  SetRowsTransposed(out.dr_dbgT, in.dr_dbg);
  Broadcast(out.wp, in.wp * s * w2);
  Broadcast(out.wv, in.wv * s * w2);
  Broadcast(out.wr, in.wr * s);
  Broadcast(out.wba,
            SmoothnessWeight(s, IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH, IMU::kGravity, in.dt));
  Broadcast(out.wbg, SmoothnessWeight(s, IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH,
                                      IMU::kDegreeToRadian, in.dt));
  Broadcast(out.wp_dt, in.wp_dt * s * w2);
  Broadcast(out.wpv, in.wpv * s * w2);
  SetRows(out.wdp_dba, in.wdp_dba, s * w1);
  SetRows(out.wdp_dbg, in.wdp_dbg, s * w1);
  SetRows(out.wdv_dba, in.wdv_dba, s * w1);
  SetRows(out.wdv_dbg, in.wdv_dbg, s * w1);
  SetRows(out.wdr_dbg, in.wdr_dbg, s);
  SetPackedRows(out.Haa, in.Haa, s);
  SetRows(out.Hag, in.Hag, s);
  SetPackedRows(out.Hgg, in.Hgg, s);
}

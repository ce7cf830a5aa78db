#pragma once
// The single-precision copy of one IMUDelta with its weights folded in, laid
// out in four-float lanes so that the bundle adjustment's delta term only
// multiplies lanes. Record i of a problem links camera i and camera i + 1.
// A row lane holds one row of a 3x3 matrix in three floats and a 0.
#include "optimization/IMUDelta.h"

struct alignas(16) IBADelta {
  f32 dp[4];          // lane 0: delta position
  f32 dv[4];          // 1: delta velocity
  f32 dq[4];          // 2: delta rotation (x, y, z, w)
  f32 ba[4];          // 3: accelerometer bias of linearisation
  f32 bg[4];          // 4: gyroscope bias of linearisation
  f32 dt[4];          // 5: dt broadcast
  f32 dp_dba[3][4];   // 6-8
  f32 dp_dbg[3][4];   // 9-11
  f32 dv_dba[3][4];   // 12-14
  f32 dv_dbg[3][4];   // 15-17
  f32 dr_dbg[3][4];   // 18-20
  f32 dr_dbgT[3][4];  // 21-23: dr_dbg transposed
  f32 wp[4];          // 24: position weight x s
  f32 wv[4];          // 25: velocity weight x s
  f32 wr[4];          // 26: rotation weight x s
  f32 wba[4];         // 27: accelerometer bias smoothness weight
  f32 wbg[4];         // 28: gyroscope bias smoothness weight
  f32 wp_dt[4];       // 29: dt wp s
  f32 wpv[4];         // 30: (dt^2 wp + wv) s
  f32 wdp_dba[3][4];  // 31-33: wp dp_dba^T s
  f32 wdp_dbg[3][4];  // 34-36
  f32 wdv_dba[3][4];  // 37-39
  f32 wdv_dbg[3][4];  // 40-42
  f32 wdr_dbg[3][4];  // 43-45
  f32 Haa[3][4];      // 46-48: accelerometer-accelerometer block x s, full
  f32 Hag[3][4];      // 49-51: accelerometer-gyroscope block x s
  f32 Hgg[3][4];      // 52-54: gyroscope-gyroscope block x s, full

  // Fills every lane from `in` with weight s; arithmetic in double, each
  // lane value rounded to float once. The bias smoothness weights divide by
  // dt: for a delta shorter than 1e-6 s (or of negative or non-finite
  // length) they are 0, so an empty delta adds nothing instead of inf/NaN.
  // The readings' motion is in metres and the states' in map units:
  // unitsPerMetre (1 for a metric map) carries dp, dv and their bias
  // Jacobians into map units, and the position and velocity weights out of
  // them, so a residual costs what it costs in metres.
  static void Set(IBADelta& out, const IMUDelta& in, f64 s, f64 unitsPerMetre);
};
static_assert(sizeof(IBADelta) == 55 * 16, "IBADelta is 55 lanes");

// Shortest delta whose dt-divided weights are formed; shorter ones get 0.
constexpr f64 kMinimumDeltaTime = 1e-6;

#pragma once
// Preintegration of the inertial samples between two frames: position,
// velocity and rotation increments in the body frame of the first frame,
// their bias Jacobians, their covariance and the weights the inertial cost
// terms use. One record of 205 doubles in exactly the stored order (every key
// frame carries one and the map files hold it as 205 little-endian doubles).
// The scheme is first order by design (no a dt^2/2 term, no renormalisation of
// the rotation increment); its Jacobians and covariance match that scheme.
#include <cstdio>

#include "la/IMUSample.h"
#include "la/Pose.h"

// Intervals shorter than this are the rounding of times that coincide (a
// reading stamped at a frame's time, read through another clock or offset),
// not motion, and are not integrated. The scheme adds a step's noise to the
// velocity only, so such a step followed by a long one gave a position
// variance near 1e-38 and a weight that overflowed the solvers' floats.
constexpr f64 kShortestImuInterval = 1e-6;  // seconds

struct IMUDelta {
  f64 dp[3];  // position increment
  f64 dv[3];  // velocity increment
  f64 dq[4];  // rotation increment (x, y, z, w)
  f64 ba[3];  // accelerometer bias of linearisation
  f64 bg[3];  // gyroscope bias of linearisation
  // Jacobians, 3x3 row-major; "r" is a right rotation error theta with
  // q_true = q (x) (theta/2, 1).
  f64 dp_dr[9], dp_dba[9], dp_dbg[9];
  f64 dv_dr[9], dv_dba[9], dv_dbg[9];
  f64 dr_dr[9], dr_dbg[9];
  // Covariance of (position, velocity, rotation); S?? packed upper triangle.
  f64 Spp[6], Spv[9], Spr[9], Svv[6], Svr[9], Srr[6];
  f64 dt;  // total time span
  f64 wp, wv, wr;
  f64 wp_dt;  // dt wp
  f64 wpv;    // dt^2 wp + wv
  // Weighted transposed bias Jacobians.
  f64 wdp_dba[9], wdp_dbg[9], wdv_dba[9], wdv_dbg[9], wdr_dbg[9];
  // Bias-bias normal blocks: Haa and Hgg packed, Hag row-major.
  f64 Haa[6], Hag[9], Hgg[6];

  // Starts a delta at zero with the process-wide bias priors as linearisation
  // biases, then integrates. Returns the number of skipped intervals.
  static u32 Initialize(const IMUSample* samples, u32 count, const IMUSample& previous, f64 endTime,
                        IMUDelta& delta);
  // Extends the delta over previous.time -> samples -> endTime: an interval
  // starts at each sample and is integrated with that sample's readings, and
  // dt grows by endTime - previous.time. Out-of-order input is never
  // integrated against time: an interval of negative (or non-finite) length,
  // or one that starts at a sample with a NaN or infinite reading, is skipped
  // and counted in the result (for the caller's log), and only the
  // part of an interval inside [previous.time, endTime] is integrated, so dt
  // stays the time actually covered; an interval shorter than
  // kShortestImuInterval is not integrated either (its time counts). Ends
  // with ComputeWeights.
  static u32 Integrate(const IMUSample* samples, u32 count, const IMUSample& previous, f64 endTime,
                       IMUDelta& delta);
  // Fills the weights and weighted blocks from covariance, dt and Jacobians. A
  // term whose weight would not be finite (a variance of zero or too small to
  // invert, or dt^2 wp past the range of a double) gets weight 0.
  static void ComputeWeights(IMUDelta& delta);
  // Readings missing over part of the span leave the position and velocity
  // increments unknown (the accelerations were only carried on from the last
  // reading): their terms get weight 0. The rotation's weight is multiplied
  // by rotationFactor (the caller's estimate of the rotation, when no
  // gyroscope gave it, is coarser).
  static void DropTranslation(IMUDelta& delta, f64 rotationFactor = 1.0);
  // False for a delta of positive length whose translation was dropped.
  static bool HasTranslation(const IMUDelta& delta);
  // A delta of positive length integrated from readings all along it: its
  // translation kept, and its rotation the gyroscope's.
  static bool HasReadings(const IMUDelta& delta);
  // Propagates a body state across the delta (no gravity term; biases are
  // applied to first order through the Jacobians); the readings' metres
  // become unitsPerMetre map units (1 for a metric map).
  static void PredictState(const IMUState& in, const IMUDelta& delta, f64 unitsPerMetre,
                           IMUState& out);

  // The stored form: 205 little-endian doubles. Read leaves the delta
  // untouched unless all 1640 bytes arrive.
  bool Write(FILE* f) const;
  bool Read(FILE* f);

 private:
  // The products of the weights: dt wp, dt^2 wp + wv, the weighted bias
  // Jacobians and the bias-bias blocks.
  static void FoldWeights(IMUDelta& delta);
};
// The delta of no motion: all zero but the unit rotation increment and the
// identity rotation Jacobian.
void SetEmptyIMUDelta(IMUDelta& delta);

static_assert(sizeof(IMUDelta) == 205 * sizeof(f64), "IMUDelta is 205 doubles");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the stored form is little-endian");

#pragma once
// The known camera path of the synthetic sequence: a smooth analytic body
// motion (world z up, ground at z = 0, the marker sheet centred on the
// origin) with exact velocity, acceleration and body rate at any time. The
// first seconds hold the camera still above the sheet, looking at its centre
// with the camera's x axis along the sheet's long side (so the marker
// detector sees an upright sheet); a smooth-step envelope then fades in a
// walk forward with sideways sway, turns and a growing downward tilt.
//
// Body convention as the inertial code's: q maps body to world through
// Hamilton's H(q) and R(q) = H(q)^T maps world directions into the body.
#include <algorithm>

#include "la/Pose.h"
#include "la/Types.h"
#include "tests/common/SequenceKind.h"

// One scalar channel: value, first and second time derivatives.
struct ChannelValue {
  f64 v = 0.0, d1 = 0.0, d2 = 0.0;
};

// A body state at time t with the readings an ideal IMU gives there.
struct TrajectoryPoint {
  IMUState state;        // biases zero; time t
  f64 acceleration[3];   // world acceleration of the body
  f64 rotationRate[3];   // body rate, radians per second
  f64 specificForce[3];  // body frame: H(q)^T (a + g e_z)
};

class SequenceTrajectory {
 public:
  // The still phase ends at holdTime; the motion is complete from rampEnd.
  static constexpr f64 kHoldTime = 1.2, kRampEnd = 2.6;
  // Camera height above the sheet and tilt from the vertical while still.
  static constexpr f64 kStartHeight = 1.1, kStartTilt = 0.35;

  // gravity: magnitude added along world z to the specific force. The
  // channels below are the demo's; other kinds take theirs from
  // HandHeldMotion.
  explicit SequenceTrajectory(f64 gravity = 9.81, SequenceKind kind = SequenceKind::kDemo)
      : gravity_(gravity), kind_(kind) {}

  // The body turned by the constant rotation c (x, y, z, w) against the
  // motion's own, q' = q c: the readings come in the turned body's axes. A
  // mounting turned by c^-1 keeps every view of the camera.
  void SetBodyTurn(const f64 c[4]) { std::copy(c, c + 4, turn_); }

  // Everything at time t.
  TrajectoryPoint At(f64 t) const;

  // The channels: body position x, y, z; yaw about world z, forward tilt
  // from the vertical, roll about the body's x axis.
  static ChannelValue Position(int axis, f64 t);
  static ChannelValue Yaw(f64 t);
  static ChannelValue Tilt(f64 t);
  static ChannelValue Roll(f64 t);
  // Quintic smooth step from 0 before kHoldTime to 1 after kRampEnd.
  static ChannelValue Envelope(f64 t);

 private:
  f64 gravity_;
  SequenceKind kind_;
  f64 turn_[4] = {0.0, 0.0, 0.0, 1.0};
};

// World-to-camera pose of a body state with the camera-to-body mounting
// (x_cam = R_off R(q) (X - p) + p_off), in double, stored as float.
CameraPose CameraPoseOfState(const IMUState& state, const CameraOffset& offset);
// The camera centre of that pose, in double.
void CameraCentreOfState(const IMUState& state, const CameraOffset& offset, f64 centre[3]);

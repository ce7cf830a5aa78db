#pragma once
// The motions of the hand-held sequences, each channel (body position x, y,
// z; yaw about world z, tilt from looking straight down, roll) a constant
// plus a sum of sines, so that velocity, acceleration and body rate are exact
// at any time and the IMU samples taken from them are too. Every channel
// moves from t = 0: there is no still start. The slow terms are the hand's
// wander (and, in the room, the walk), the fast ones tremor and steps; some
// rotation terms repeat a position term scaled, so that the camera turns
// back toward what it looks at as a person's would.
#include <vector>

#include "tests/common/SequenceKind.h"
#include "tests/common/SequenceTrajectory.h"

struct SineTerm {
  f64 amplitude, frequency, phase;  // a sin(w t + phase); w in rad/s
};

struct MotionChannel {
  f64 base = 0.0;
  std::vector<SineTerm> terms;
  ChannelValue At(f64 t) const;
};

struct HandHeldMotion {
  // x, y, z, yaw, tilt, roll.
  MotionChannel channels[6];
  f64 nearest = 0.3;  // metres to the nearest surface it sees, about
};

// The motion of a kind of sequence other than the demo (whose channels
// SequenceTrajectory keeps); designed for 10-20 s.
const HandHeldMotion& MotionOf(SequenceKind kind);

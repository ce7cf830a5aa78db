#pragma once
// Attitude of the body tracked from the gyroscope alone, with the gravity
// direction (world z seen from the body) that the gravity terms compare the
// camera attitude against.
#include "la/Types.h"

struct IMUAttitude {
  f64 quaternion[4];  // body to world, (x, y, z, w)
  f64 gravity[3];     // third row of H(q): the world z axis in the body frame
  f64 time;
};
static_assert(sizeof(IMUAttitude) == 64, "IMUAttitude is 8 doubles");

namespace IMU {

// Rotates the attitude by one gyroscope reading (used as given) from its time
// up to `time`; the quaternion is not renormalised, gravity is refreshed.
void IntegrateRotation(const IMUAttitude& in, const f64* rate, f64 time, IMUAttitude& out);

}  // namespace IMU

// Gyroscope-only attitude propagation.
#include "optimization/IMUAttitude.h"

#include "optimization/IMUAlgebra.h"

namespace IMU {

void IntegrateRotation(const IMUAttitude& in, const f64* rate, f64 time, IMUAttitude& out) {
  f64 delta[4], q[4];
  HalfAngleIncrement(rate, time - in.time, delta);
  MultiplyQuaternionsDouble(in.quaternion, delta, q);
  const f64 x = q[0], y = q[1], z = q[2], w = q[3];
  for (int i = 0; i < 4; ++i) out.quaternion[i] = q[i];
  out.gravity[0] = 2.0 * (x * z - w * y);
  out.gravity[1] = 2.0 * (y * z + w * x);
  out.gravity[2] = 1.0 - 2.0 * (x * x + y * y);
  out.time = time;
}

}  // namespace IMU

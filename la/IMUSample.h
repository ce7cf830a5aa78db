#pragma once
// One inertial measurement as the host hands it in. Accelerations are in
// metres per second squared as measured (readings in g are multiplied by
// -9.81 by the producers); no gravity is removed anywhere downstream.
#include "la/Types.h"

struct IMUSample {
  f64 acceleration[3];  // accelerometer x, y, z
  f64 rotationRate[3];  // gyroscope x, y, z, radians per second
  f64 time;             // seconds, relative to the first frame
};
static_assert(sizeof(IMUSample) == 56, "IMUSample is seven doubles");

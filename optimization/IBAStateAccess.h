#pragma once
// Lane views of the solver records: a CameraIMUState is fourteen lanes and an
// IBADelta fifty-five, each lane four floats; the solver reads them by lane.
#include "optimization/IBAProblem.h"
#include "optimization/IBAState.h"
#include "optimization/IMUParameters.h"

namespace IBALane {
// CameraIMUState (the biases are lanes 3 and 4 in both records)
enum : int { kP = 0, kV = 1, kQ = 2, kBa = 3, kBg = 4, kPose = 5, kR = 8, kRT = 11 };
// IBADelta
enum : int {
  kDp = 0,
  kDv = 1,
  kDq = 2,
  kDt = 5,
  kJpa = 6,
  kJpg = 9,
  kJva = 12,
  kJvg = 15,
  kJrg = 18,
  kJrgT = 21,
  kWp = 24,
  kWv = 25,
  kWr = 26,
  kWsa = 27,
  kWsg = 28,
  kWpDt = 29,
  kWpv = 30,
  kWJpaT = 31,
  kWJpgT = 34,
  kWJvaT = 37,
  kWJvgT = 40,
  kWJrgT = 43,
  kHaa = 46,
  kHag = 49,
  kHgg = 52
};
}  // namespace IBALane

static_assert(sizeof(CameraIMUState) == 14 * 16, "CameraIMUState is fourteen lanes");
static_assert(sizeof(IBADelta) == 55 * 16, "IBADelta is fifty-five lanes");

inline const float (*Lanes(const CameraIMUState& c))[4] {
  return reinterpret_cast<const float(*)[4]>(&c);
}
inline float (*Lanes(CameraIMUState& c))[4] {
  return reinterpret_cast<float(*)[4]>(&c);
}
inline const float (*Lanes(const IBADelta& d))[4] {
  return reinterpret_cast<const float(*)[4]>(&d);
}

// Process-wide bias priors (first three lanes read).
inline const float* AccelerometerBiasPrior() {
  return IMU::accelerometerBiasPrior.v;
}
inline const float* GyroscopeBiasPrior() {
  return IMU::gyroscopeBiasPrior.v;
}

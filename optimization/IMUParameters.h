#pragma once
// Process-wide inertial tuning: the 21 IMU_ configuration keys with their
// compiled-in defaults, the two physical constants, and the bias priors.
// The tracker, the marker detector and the worker threads read them without
// locks, so they are written only while no worker thread runs: starting the
// first worker freezes them, stopping the last thaws them, and debug builds
// assert that nothing wrote them in between. Every key with VARIANCE in its
// name holds a standard deviation; users square it.
#include "la/Configuration.h"
#include "la/IMUSimulationFlags.h"
#include "la/LinearAlgebra.h"

extern f32 IMU_INITIAL_HEIGHT;
extern f32 IMU_MARKER_WIDTH;
extern f32 IMU_MARKER_HEIGHT;
extern f64 IMU_DELTA_WEIGHT_POSITION;
extern f64 IMU_DELTA_WEIGHT_VELOCITY;
extern f64 IMU_DELTA_WEIGHT_ROTATION;
extern f64 IMU_VARIANCE_FEATURE_3D;
extern f64 IMU_VARIANCE_FEATURE_2D;
extern f64 IMU_VARIANCE_VELOCITY_SMOOTH;
extern f64 IMU_VARIANCE_VELOCITY_REGULARIZATION;
extern f64 IMU_VARIANCE_VELOCITY_TIME_DEVIATION;
extern f64 IMU_VARIANCE_ACCELERATION;                       // g
extern f64 IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH;           // g
extern f64 IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION;   // g
extern f64 IMU_VARIANCE_ROTATION_RATE;                      // degrees per second
extern f64 IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH;          // degrees per second
extern f64 IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION;  // degrees per second
extern f64 IMU_VARIANCE_GRAVITY;
extern f64 IMU_VARIANCE_GRAVITY_TIME_DEVIATION;
extern f64 IMU_VARIANCE_PLANE;
extern f64 IMU_VARIANCE_PLANE_GROUND;

namespace IMU {

// Standard gravity that converts deviations given in g.
constexpr f64 kGravity = 9.81;
// Degrees to radians: the float value of pi/180 widened to double, so that
// all weights derived from degree deviations agree with the stored maps.
constexpr f64 kDegreeToRadian = 0.01745329238474369;

// Bias priors (x, y, z, 1): linearisation biases of every new delta and the
// targets of the bias regularisation. Zero biases unless set at start-up.
extern LA::AlignedVector4f accelerometerBiasPrior;
extern LA::AlignedVector4f gyroscopeBiasPrior;

// Accelerometer white-noise variance in SI units.
inline f64 AccelerationNoiseVariance() {
  return IMU_VARIANCE_ACCELERATION * IMU_VARIANCE_ACCELERATION * kGravity * kGravity;
}
// Gyroscope white-noise variance in radians.
inline f64 RotationRateNoiseVariance() {
  return IMU_VARIANCE_ROTATION_RATE * IMU_VARIANCE_ROTATION_RATE * kDegreeToRadian *
         kDegreeToRadian;
}

// Every IMU_ value and both bias priors back to the values the process
// started with: a second run in the same process (a test, a benchmark)
// starts where the first did, not from its configuration and adjustment.
void ResetParameters();

// Reads the 21 IMU_ keys in table order. A missing key keeps the current
// value, a present one takes atof of its text; text that is not a number is
// warned about on stderr. The three keys that users divide by
// (IMU_VARIANCE_FEATURE_3D, IMU_VARIANCE_GRAVITY_TIME_DEVIATION,
// IMU_VARIANCE_VELOCITY_TIME_DEVIATION) keep their current value, with an
// error line naming the key, when the value is not finite or not positive.
void LoadParameters(const Configuration& config);

// The loosened weights of a run with simulated inertial input; called once,
// right after LoadParameters, and does nothing when the first flag is off.
void ApplySimulationAdjustment(const IMUSimulationFlags& flags);

// Nested freeze of every IMU_ value and both bias priors: the first call
// records them and the matching last ThawParameters ends the freeze.
void FreezeParameters();
void ThawParameters();
bool ParametersFrozen();
// True while frozen if any value differs, bit for bit, from the recorded one.
bool ParametersChangedWhileFrozen();

}  // namespace IMU

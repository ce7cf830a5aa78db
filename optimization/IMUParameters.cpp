// Defaults and loading of the process-wide inertial parameters.
#include "optimization/IMUParameters.h"

#include <array>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <type_traits>

f32 IMU_INITIAL_HEIGHT = 1.1f;
f32 IMU_MARKER_WIDTH = 0.297f;
f32 IMU_MARKER_HEIGHT = 0.21f;
f64 IMU_DELTA_WEIGHT_POSITION = 1.0;
f64 IMU_DELTA_WEIGHT_VELOCITY = 1.0;
f64 IMU_DELTA_WEIGHT_ROTATION = 1.0;
f64 IMU_VARIANCE_FEATURE_3D = 0.1;
f64 IMU_VARIANCE_FEATURE_2D = 1.0;
f64 IMU_VARIANCE_VELOCITY_SMOOTH = 1.0;
f64 IMU_VARIANCE_VELOCITY_REGULARIZATION = 1.0;
f64 IMU_VARIANCE_VELOCITY_TIME_DEVIATION = 0.1;
f64 IMU_VARIANCE_ACCELERATION = 0.0035;
f64 IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH = 0.001;
f64 IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION = 0.001;
f64 IMU_VARIANCE_ROTATION_RATE = 0.1;
f64 IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH = 0.01;
f64 IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION = 0.01;
f64 IMU_VARIANCE_GRAVITY = 0.001;
f64 IMU_VARIANCE_GRAVITY_TIME_DEVIATION = 0.1;
f64 IMU_VARIANCE_PLANE = 0.01;
f64 IMU_VARIANCE_PLANE_GROUND = 0.001;

namespace IMU {

LA::AlignedVector4f accelerometerBiasPrior = {{0.0f, 0.0f, 0.0f, 1.0f}};
LA::AlignedVector4f gyroscopeBiasPrior = {{0.0f, 0.0f, 0.0f, 1.0f}};

namespace {

// Warns about text atof would silently read as 0 or truncate.
void WarnIfNotNumber(const char* key, const std::string& text) {
  if (!IsNumberText(text)) {
    std::fprintf(stderr, "IMU parameters: warning: %s = \"%s\" is not a number, read as %g\n", key,
                 text.c_str(), std::atof(text.c_str()));
  }
}

// "nan", "inf" or a number beyond the value's type would make every weight
// it enters non-finite: the current value stays.
template <class T>
void Keep(const char* key, f64 loaded, T& value) {
  if (!std::isfinite(loaded) || std::fabs(loaded) > std::numeric_limits<T>::max()) {
    std::fprintf(stderr, "IMU parameters: error: %s = %g must be a finite number, keeping %g\n",
                 key, loaded, static_cast<f64>(value));
    return;
  }
  value = static_cast<T>(loaded);
}

// The six keys looked up directly in the map.
template <class T>
void LoadDirect(const Configuration& config, const char* key, T& value) {
  const std::string* text = ConfigFind(config, key);
  if (!text) return;
  WarnIfNotNumber(key, *text);
  Keep(key, std::atof(text->c_str()), value);
}

void LoadDouble(const Configuration& config, const char* key, f64& value) {
  const std::string* text = ConfigFind(config, key);
  if (!text) return;
  WarnIfNotNumber(key, *text);
  Keep(key, ConfigGetDouble(config, key, value), value);
}

// A key that users divide by: a zero, negative or non-finite value would turn
// every weight it scales into inf or NaN, so the current value stays.
void LoadDivisor(const Configuration& config, const char* key, f64& value) {
  const std::string* text = ConfigFind(config, key);
  if (!text) return;
  WarnIfNotNumber(key, *text);
  const f64 loaded = ConfigGetDouble(config, key, value);
  if (!std::isfinite(loaded) || loaded <= 0.0) {
    std::fprintf(stderr, "IMU parameters: error: %s = %g must be a positive number, keeping %g\n",
                 key, loaded, value);
    return;
  }
  value = loaded;
}

// Calls visit on every value the freeze guards and a reset restores, in one
// fixed order: the 21 keys in table order, then both bias priors' lanes.
template <class Visit>
void ForEachParameter(Visit visit) {
  visit(IMU_INITIAL_HEIGHT), visit(IMU_MARKER_WIDTH), visit(IMU_MARKER_HEIGHT);
  visit(IMU_DELTA_WEIGHT_POSITION), visit(IMU_DELTA_WEIGHT_VELOCITY);
  visit(IMU_DELTA_WEIGHT_ROTATION), visit(IMU_VARIANCE_FEATURE_3D);
  visit(IMU_VARIANCE_FEATURE_2D), visit(IMU_VARIANCE_VELOCITY_SMOOTH);
  visit(IMU_VARIANCE_VELOCITY_REGULARIZATION), visit(IMU_VARIANCE_VELOCITY_TIME_DEVIATION);
  visit(IMU_VARIANCE_ACCELERATION), visit(IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH);
  visit(IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION), visit(IMU_VARIANCE_ROTATION_RATE);
  visit(IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH);
  visit(IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION), visit(IMU_VARIANCE_GRAVITY);
  visit(IMU_VARIANCE_GRAVITY_TIME_DEVIATION), visit(IMU_VARIANCE_PLANE);
  visit(IMU_VARIANCE_PLANE_GROUND);
  for (int i = 0; i < 4; ++i) visit(accelerometerBiasPrior[i]);
  for (int i = 0; i < 4; ++i) visit(gyroscopeBiasPrior[i]);
}

constexpr size_t kParameterCount = 21 + 8;
using Snapshot = std::array<f64, kParameterCount>;

// Every value the freeze guards, widened exactly to double.
Snapshot TakeSnapshot() {
  Snapshot out{};
  size_t i = 0;
  ForEachParameter([&](auto& value) { out[i++] = static_cast<f64>(value); });
  return out;
}

// The values the process started with (constant-initialised above).
const Snapshot kDefaults = TakeSnapshot();

std::mutex freezeMutex;
int freezeCount = 0;
Snapshot frozenValues;

}  // namespace

void FreezeParameters() {
  std::lock_guard<std::mutex> lock(freezeMutex);
  if (freezeCount++ == 0) frozenValues = TakeSnapshot();
}

void ThawParameters() {
  std::lock_guard<std::mutex> lock(freezeMutex);
  if (freezeCount > 0) --freezeCount;
}

bool ParametersFrozen() {
  std::lock_guard<std::mutex> lock(freezeMutex);
  return freezeCount > 0;
}

bool ParametersChangedWhileFrozen() {
  std::lock_guard<std::mutex> lock(freezeMutex);
  if (freezeCount == 0) return false;
  // Bitwise, so that an unchanged NaN is no change.
  const Snapshot now = TakeSnapshot();
  return std::memcmp(now.data(), frozenValues.data(), sizeof(Snapshot)) != 0;
}

void ResetParameters() {
  assert(!ParametersFrozen() && "IMU parameters are reset before any worker thread starts");
  size_t i = 0;
  ForEachParameter([&](auto& value) {
    value = static_cast<std::remove_reference_t<decltype(value)>>(kDefaults[i++]);
  });
}

void LoadParameters(const Configuration& config) {
  assert(!ParametersFrozen() && "IMU parameters are loaded before any worker thread starts");
  LoadDirect(config, "IMU_INITIAL_HEIGHT", IMU_INITIAL_HEIGHT);
  LoadDirect(config, "IMU_MARKER_WIDTH", IMU_MARKER_WIDTH);
  LoadDirect(config, "IMU_MARKER_HEIGHT", IMU_MARKER_HEIGHT);
  LoadDirect(config, "IMU_DELTA_WEIGHT_POSITION", IMU_DELTA_WEIGHT_POSITION);
  LoadDirect(config, "IMU_DELTA_WEIGHT_VELOCITY", IMU_DELTA_WEIGHT_VELOCITY);
  LoadDirect(config, "IMU_DELTA_WEIGHT_ROTATION", IMU_DELTA_WEIGHT_ROTATION);
  LoadDivisor(config, "IMU_VARIANCE_FEATURE_3D", IMU_VARIANCE_FEATURE_3D);
  LoadDouble(config, "IMU_VARIANCE_FEATURE_2D", IMU_VARIANCE_FEATURE_2D);
  LoadDouble(config, "IMU_VARIANCE_VELOCITY_SMOOTH", IMU_VARIANCE_VELOCITY_SMOOTH);
  LoadDouble(config, "IMU_VARIANCE_VELOCITY_REGULARIZATION", IMU_VARIANCE_VELOCITY_REGULARIZATION);
  LoadDivisor(config, "IMU_VARIANCE_VELOCITY_TIME_DEVIATION", IMU_VARIANCE_VELOCITY_TIME_DEVIATION);
  LoadDouble(config, "IMU_VARIANCE_ACCELERATION", IMU_VARIANCE_ACCELERATION);
  LoadDouble(config, "IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH",
             IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH);
  LoadDouble(config, "IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION",
             IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION);
  LoadDouble(config, "IMU_VARIANCE_ROTATION_RATE", IMU_VARIANCE_ROTATION_RATE);
  LoadDouble(config, "IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH",
             IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH);
  LoadDouble(config, "IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION",
             IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION);
  LoadDouble(config, "IMU_VARIANCE_GRAVITY", IMU_VARIANCE_GRAVITY);
  LoadDivisor(config, "IMU_VARIANCE_GRAVITY_TIME_DEVIATION", IMU_VARIANCE_GRAVITY_TIME_DEVIATION);
  LoadDouble(config, "IMU_VARIANCE_PLANE", IMU_VARIANCE_PLANE);
  LoadDouble(config, "IMU_VARIANCE_PLANE_GROUND", IMU_VARIANCE_PLANE_GROUND);
}

void ApplySimulationAdjustment(const IMUSimulationFlags& flags) {
  assert(!ParametersFrozen() && "IMU parameters are adjusted before any worker thread starts");
  if (!flags.simulate) return;
  IMU_DELTA_WEIGHT_VELOCITY *= 0.1;
  IMU_VARIANCE_ROTATION_RATE *= flags.simulateRotation ? 10.0 : 2.0;
  IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION *= 10.0;
}

}  // namespace IMU

// Hostile input to the inertial code: IMU samples with NaN or infinite
// readings (one used to make the whole delta non-finite while the skip count
// said nothing was skipped), and configuration values "nan" and "inf" for
// the IMU_ keys (which used to make every inertial weight NaN).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/InertialScene.h"
#include "optimization/IMUDelta.h"
#include "optimization/IMUParameters.h"

namespace {

bool AllFinite(const IMUDelta& d) {
  const f64* v = reinterpret_cast<const f64*>(&d);
  for (u32 i = 0; i < sizeof(IMUDelta) / sizeof(f64); ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

TEST(IMUDeltaHostile, NonFiniteReadingsAreSkippedAndCounted) {
  InertialSceneOptions options;
  options.duration = 0.5;
  const InertialScene scene(options);
  const std::vector<IMUSample>& s = scene.samples;
  const u32 count = 40;
  const f64 end = s[count].time + 0.002;
  IMUDelta clean;
  ASSERT_EQ(IMUDelta::Initialize(s.data() + 1, count - 1, s[0], end, clean), 0u);
  const f64 bad[] = {std::numeric_limits<f64>::quiet_NaN(), std::numeric_limits<f64>::infinity(),
                     -std::numeric_limits<f64>::infinity()};
  for (const f64 value : bad) {
    for (const int field : {1, 5}) {  // an acceleration and a rotation rate
      std::vector<IMUSample> spoilt(s.begin(), s.begin() + count);
      reinterpret_cast<f64*>(&spoilt[17])[field] = value;
      IMUDelta d;
      EXPECT_EQ(IMUDelta::Initialize(spoilt.data() + 1, count - 1, spoilt[0], end, d), 1u);
      EXPECT_TRUE(AllFinite(d)) << value;
      EXPECT_DOUBLE_EQ(d.dt, clean.dt);
      // One 5 ms interval is missing: the velocity change differs by about
      // one reading times 5 ms.
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(d.dv[k], clean.dv[k], 0.1) << value;
    }
  }
  // An infinite end time: the endless last interval is counted, not integrated.
  IMUDelta d;
  EXPECT_EQ(
      IMUDelta::Initialize(s.data() + 1, count - 1, s[0], std::numeric_limits<f64>::infinity(), d),
      1u);
  EXPECT_TRUE(AllFinite(d));
}

TEST(IMUParametersHostile, NonFiniteValuesKeepTheCurrentOnes) {
  f32* floats[] = {&IMU_INITIAL_HEIGHT, &IMU_MARKER_WIDTH, &IMU_MARKER_HEIGHT};
  f64* doubles[] = {&IMU_DELTA_WEIGHT_POSITION,
                    &IMU_DELTA_WEIGHT_VELOCITY,
                    &IMU_DELTA_WEIGHT_ROTATION,
                    &IMU_VARIANCE_FEATURE_2D,
                    &IMU_VARIANCE_VELOCITY_SMOOTH,
                    &IMU_VARIANCE_VELOCITY_REGULARIZATION,
                    &IMU_VARIANCE_ACCELERATION,
                    &IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH,
                    &IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION,
                    &IMU_VARIANCE_ROTATION_RATE,
                    &IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH,
                    &IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION,
                    &IMU_VARIANCE_GRAVITY,
                    &IMU_VARIANCE_PLANE,
                    &IMU_VARIANCE_PLANE_GROUND};
  const char* floatKeys[] = {"IMU_INITIAL_HEIGHT", "IMU_MARKER_WIDTH", "IMU_MARKER_HEIGHT"};
  const char* doubleKeys[] = {"IMU_DELTA_WEIGHT_POSITION",
                              "IMU_DELTA_WEIGHT_VELOCITY",
                              "IMU_DELTA_WEIGHT_ROTATION",
                              "IMU_VARIANCE_FEATURE_2D",
                              "IMU_VARIANCE_VELOCITY_SMOOTH",
                              "IMU_VARIANCE_VELOCITY_REGULARIZATION",
                              "IMU_VARIANCE_ACCELERATION",
                              "IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH",
                              "IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION",
                              "IMU_VARIANCE_ROTATION_RATE",
                              "IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH",
                              "IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION",
                              "IMU_VARIANCE_GRAVITY",
                              "IMU_VARIANCE_PLANE",
                              "IMU_VARIANCE_PLANE_GROUND"};
  f32 floatsBefore[3];
  f64 doublesBefore[15];
  for (int i = 0; i < 3; ++i) floatsBefore[i] = *floats[i];
  for (int i = 0; i < 15; ++i) doublesBefore[i] = *doubles[i];
  // "1e39" is finite as a double but not as a float.
  for (const std::string value : {"nan", "inf", "-inf", "1e400", "1e39"}) {
    Configuration config;
    for (const char* key : floatKeys) config[key] = value;
    if (value != "1e39")
      for (const char* key : doubleKeys) config[key] = value;
    IMU::LoadParameters(config);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(*floats[i], floatsBefore[i]) << floatKeys[i] << value;
    for (int i = 0; i < 15; ++i) EXPECT_EQ(*doubles[i], doublesBefore[i]) << doubleKeys[i] << value;
  }
  // A finite value still loads.
  IMU::LoadParameters({{"IMU_MARKER_WIDTH", "0.5"}, {"IMU_VARIANCE_PLANE", "0.02"}});
  EXPECT_EQ(IMU_MARKER_WIDTH, 0.5f);
  EXPECT_EQ(IMU_VARIANCE_PLANE, 0.02);
  IMU_MARKER_WIDTH = floatsBefore[1];
  IMU_VARIANCE_PLANE = doublesBefore[13];
}

}  // namespace

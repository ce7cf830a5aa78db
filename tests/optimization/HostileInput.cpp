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

// One key per loader: float and double read directly, a double deviation.
TEST(IMUParametersHostile, NonFiniteValuesKeepTheCurrentOnes) {
  const f32 width = IMU_MARKER_WIDTH;
  const f64 position = IMU_DELTA_WEIGHT_POSITION, gravity = IMU_VARIANCE_GRAVITY;
  // "1e39" is finite as a double but not as a float.
  for (const char* value : {"nan", "inf", "-inf", "1e400", "1e39"}) {
    Configuration config = {{"IMU_MARKER_WIDTH", value}};
    if (std::string(value) != "1e39")
      config["IMU_DELTA_WEIGHT_POSITION"] = config["IMU_VARIANCE_GRAVITY"] = value;
    IMU::LoadParameters(config);
    EXPECT_EQ(IMU_MARKER_WIDTH, width) << value;
    EXPECT_EQ(IMU_DELTA_WEIGHT_POSITION, position) << value;
    EXPECT_EQ(IMU_VARIANCE_GRAVITY, gravity) << value;
  }
  // A finite value still loads.
  IMU::LoadParameters({{"IMU_MARKER_WIDTH", "0.5"}, {"IMU_VARIANCE_GRAVITY", "0.02"}});
  EXPECT_EQ(IMU_MARKER_WIDTH, 0.5f);
  EXPECT_EQ(IMU_VARIANCE_GRAVITY, 0.02);
  IMU_MARKER_WIDTH = width;
  IMU_VARIANCE_GRAVITY = gravity;
}

}  // namespace

// The IMU_ keys: defaults, every key loading into its own value, text that is
// not a number, refused values, the simulation adjustment, and the freeze.
#include "optimization/IMUParameters.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

// Every key, its value (double or float) and its compiled-in default.
struct Key {
  const char* name;
  f64* value;
  f32* single;
  f64 byDefault;
  f64 Get() const { return value ? *value : *single; }
  void Set(f64 v) const { value ? void(*value = v) : void(*single = static_cast<f32>(v)); }
};
#define KEY(name, byDefault) \
  { #name, &name, nullptr, byDefault }
const Key kKeys[21] = {{"IMU_INITIAL_HEIGHT", nullptr, &IMU_INITIAL_HEIGHT, 1.1f},
                       {"IMU_MARKER_WIDTH", nullptr, &IMU_MARKER_WIDTH, 0.297f},
                       {"IMU_MARKER_HEIGHT", nullptr, &IMU_MARKER_HEIGHT, 0.21f},
                       KEY(IMU_DELTA_WEIGHT_POSITION, 1.0),
                       KEY(IMU_DELTA_WEIGHT_VELOCITY, 1.0),
                       KEY(IMU_DELTA_WEIGHT_ROTATION, 1.0),
                       KEY(IMU_VARIANCE_FEATURE_3D, 0.1),
                       KEY(IMU_VARIANCE_FEATURE_2D, 1.0),
                       KEY(IMU_VARIANCE_VELOCITY_SMOOTH, 1.0),
                       KEY(IMU_VARIANCE_VELOCITY_REGULARIZATION, 1.0),
                       KEY(IMU_VARIANCE_VELOCITY_TIME_DEVIATION, 0.1),
                       KEY(IMU_VARIANCE_ACCELERATION, 0.0035),
                       KEY(IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH, 0.001),
                       KEY(IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION, 0.001),
                       KEY(IMU_VARIANCE_ROTATION_RATE, 0.1),
                       KEY(IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH, 0.01),
                       KEY(IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION, 0.01),
                       KEY(IMU_VARIANCE_GRAVITY, 0.001),
                       KEY(IMU_VARIANCE_GRAVITY_TIME_DEVIATION, 0.1),
                       KEY(IMU_VARIANCE_PLANE, 0.01),
                       KEY(IMU_VARIANCE_PLANE_GROUND, 0.001)};
#undef KEY

// Puts the compiled-in defaults back, which every test starts from.
void RestoreDefaults() {
  for (const Key& k : kKeys) k.Set(k.byDefault);
}

// Defaults hold and every key loads into its own value. Text that is not a
// number reads as atof does (0) with a warning naming the key. A value
// beyond its type ("1e39" for a float) or non-finite would make every
// weight it enters non-finite, and one of the keys users divide by must be
// positive: such values keep the current one, with an error line naming
// the key; 0 is allowed where users guard it.
TEST(IMUParametersTest, EveryKeyLoadsIntoItsOwnValueAndBadValuesAreRefused) {
  Configuration config = {{"calib_file_name", "c.txt"}};
  IMU::LoadParameters(config);
  for (const Key& k : kKeys) EXPECT_EQ(k.byDefault, k.Get()) << k.name;
  for (int i = 0; i < 21; ++i) config[kKeys[i].name] = std::to_string(0.5 + i);
  IMU::LoadParameters(config);
  for (int i = 0; i < 21; ++i) EXPECT_EQ(0.5 + i, kKeys[i].Get()) << kKeys[i].name;
  RestoreDefaults();
  EXPECT_TRUE(!IsNumberText("1.5x") && IsNumberText(" 1e-3 "));
  for (const char* text : {"0", "-0.5", "none", "inf", "-inf", "nan", "1e400", "1e39"}) {
    // MARKER_WIDTH (float), DELTA_WEIGHT_POSITION (direct), GRAVITY, and
    // the divisors FEATURE_3D, VELOCITY_ and GRAVITY_TIME_DEVIATION.
    for (int k : {1, 3, 17, 6, 10, 18}) {
      const f64 parsed = std::atof(text);
      const bool refused = !std::isfinite(parsed) || (k == 1 && std::fabs(parsed) > FLT_MAX) ||
                           ((k == 6 || k == 10 || k == 18) && parsed <= 0);
      testing::internal::CaptureStderr();
      IMU::LoadParameters({{kKeys[k].name, text}});
      const std::string err = testing::internal::GetCapturedStderr();
      EXPECT_EQ(refused ? kKeys[k].byDefault : parsed, kKeys[k].Get()) << kKeys[k].name << text;
      EXPECT_EQ(refused, err.find(std::string("error: ") + kKeys[k].name) != std::string::npos);
      EXPECT_EQ(text[1] == 'o', err.find(std::string("warning: ") + kKeys[k].name) != err.npos);
      kKeys[k].Set(kKeys[k].byDefault);
    }
  }
}

// Simulated unless frames come from a list (.txt, .dat) or an IMU file reads;
// the adjustment loosens three weights, the rotation rate less when only
// the motion is simulated.
TEST(IMUParametersTest, SimulationFlagsAndAdjustment) {
  const std::string images = "image_file_name_input", imu = "imu_file_name_input";
  EXPECT_EQ(1, DecideIMUSimulation({{"initial_frames", "3"}, {images, "a.txt"}}, true).simulate);
  EXPECT_EQ(1, DecideIMUSimulation({{"simulate_imu", "1"}, {images, "a.txt"}}, true).simulate);
  EXPECT_EQ(0, DecideIMUSimulation({{"initial_frames", "0"}, {images, "a.txt"}}, false).simulate);
  EXPECT_EQ(0, DecideIMUSimulation({{images, "frames.dat"}}, false).simulate);
  EXPECT_EQ(0, DecideIMUSimulation({{images, "img_%04d.png"}, {imu, "imu.txt"}}, true).simulate);
  // A dot in a folder name is no extension.
  EXPECT_EQ(1, DecideIMUSimulation({{images, "seq.txt/img_0000"}}, false).simulate);
  EXPECT_EQ("", GetFileExtension("seq.d/img"));
  EXPECT_EQ("dat", GetFileExtension("a/b.c/f.dat"));
  IMUSimulationFlags flags = DecideIMUSimulation({{images, "img.png"}, {imu, "imu.txt"}}, false);
  ASSERT_TRUE(flags.simulate == 1 && flags.simulateRotation == 1);
  IMU::ApplySimulationAdjustment(IMUSimulationFlags());  // off: nothing changes
  EXPECT_EQ(0.1, IMU_VARIANCE_ROTATION_RATE);
  IMU::ApplySimulationAdjustment(flags);
  EXPECT_DOUBLE_EQ(0.1, IMU_DELTA_WEIGHT_VELOCITY);
  EXPECT_DOUBLE_EQ(1.0, IMU_VARIANCE_ROTATION_RATE);
  EXPECT_DOUBLE_EQ(0.1, IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION);
  flags.simulateRotation = 0;
  IMU::ApplySimulationAdjustment(flags);
  EXPECT_DOUBLE_EQ(2.0, IMU_VARIANCE_ROTATION_RATE);
  // A reset brings back every value and bias prior a run changed, however:
  // loading keeps what a key leaves out, so only the reset starts a second
  // run of the process where the first started.
  IMU::LoadParameters({{"IMU_VARIANCE_PLANE", "0.5"}, {"IMU_MARKER_WIDTH", "2"}});
  IMU::accelerometerBiasPrior[1] = 0.25f;
  IMU::ResetParameters();
  for (const Key& k : kKeys) EXPECT_EQ(k.Get(), static_cast<f64>(k.byDefault)) << k.name;
  EXPECT_EQ(0.0f, IMU::accelerometerBiasPrior[1]);
  EXPECT_EQ(1.0f, IMU::accelerometerBiasPrior[3]);
}

// Frozen, a written value or bias prior is reported until it is put back,
// bit for bit (an unchanged NaN is no change); nested freezes hold until the
// last thaw, and thawed nothing is reported.
TEST(IMUParametersTest, FreezeReportsAChangeUntilTheLastThaw) {
  ASSERT_FALSE(IMU::ParametersFrozen());
  IMU_MARKER_WIDTH = NAN;
  IMU::FreezeParameters();
  IMU::FreezeParameters();
  EXPECT_TRUE(IMU::ParametersFrozen());
  EXPECT_FALSE(IMU::ParametersChangedWhileFrozen());
  IMU_VARIANCE_PLANE = 0.02;
  EXPECT_TRUE(IMU::ParametersChangedWhileFrozen());
  IMU_VARIANCE_PLANE = 0.01;
  EXPECT_FALSE(IMU::ParametersChangedWhileFrozen());
  IMU::gyroscopeBiasPrior[2] = 1e-6f;
  EXPECT_TRUE(IMU::ParametersChangedWhileFrozen());
  IMU::gyroscopeBiasPrior[2] = 0.0f;
  IMU::ThawParameters();
  EXPECT_TRUE(IMU::ParametersFrozen());
  IMU::ThawParameters();
  EXPECT_FALSE(IMU::ParametersFrozen());
  IMU_VARIANCE_PLANE = 0.02;
  EXPECT_FALSE(IMU::ParametersChangedWhileFrozen());
  RestoreDefaults();
}

}  // namespace

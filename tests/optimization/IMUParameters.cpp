// The IMU_ keys: defaults, overrides, text that is not a number, refused
// divisor values, and the simulation adjustment with its flags.
#include "optimization/IMUParameters.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

f32* const kFloats[3] = {&IMU_INITIAL_HEIGHT, &IMU_MARKER_WIDTH, &IMU_MARKER_HEIGHT};
f64* const kDoubles[18] = {&IMU_DELTA_WEIGHT_POSITION,
                           &IMU_DELTA_WEIGHT_VELOCITY,
                           &IMU_DELTA_WEIGHT_ROTATION,
                           &IMU_VARIANCE_FEATURE_3D,
                           &IMU_VARIANCE_FEATURE_2D,
                           &IMU_VARIANCE_VELOCITY_SMOOTH,
                           &IMU_VARIANCE_VELOCITY_REGULARIZATION,
                           &IMU_VARIANCE_VELOCITY_TIME_DEVIATION,
                           &IMU_VARIANCE_ACCELERATION,
                           &IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH,
                           &IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION,
                           &IMU_VARIANCE_ROTATION_RATE,
                           &IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH,
                           &IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION,
                           &IMU_VARIANCE_GRAVITY,
                           &IMU_VARIANCE_GRAVITY_TIME_DEVIATION,
                           &IMU_VARIANCE_PLANE,
                           &IMU_VARIANCE_PLANE_GROUND};

// Every test starts from the compiled-in defaults and leaves them behind.
class IMUParametersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 3; ++i) floats_[i] = *kFloats[i];
    for (int i = 0; i < 18; ++i) doubles_[i] = *kDoubles[i];
  }
  void TearDown() override {
    for (int i = 0; i < 3; ++i) *kFloats[i] = floats_[i];
    for (int i = 0; i < 18; ++i) *kDoubles[i] = doubles_[i];
  }
  f32 floats_[3];
  f64 doubles_[18];
};

TEST_F(IMUParametersTest, ConfigurationLookups) {
  const Configuration c = {
      {"IMU_VARIANCE_PLANE_GROUND", "0.5"}, {"a", "2.5"}, {"b", "abc"}, {"n", " 17 "}};
  EXPECT_EQ(2.5, ConfigGetDouble(c, "a", 9.0));
  EXPECT_EQ(0.0, ConfigGetDouble(c, "b", 9.0));  // atof of text that is not a number
  EXPECT_EQ(9.0, ConfigGetDouble(c, "missing", 9.0));
  EXPECT_EQ(nullptr, ConfigFind(c, "IMU_VARIANCE_PLANE"));  // exact keys only
  EXPECT_EQ(17, ConfigGetInt(c, "n", 0));
  EXPECT_TRUE(IsNumberText(" 1e-3 "));
  EXPECT_FALSE(IsNumberText("1.5x"));
  EXPECT_FALSE(IsNumberText(""));
}

TEST_F(IMUParametersTest, DefaultsHoldAndPresentKeysOverride) {
  IMU::LoadParameters({{"calib_file_name", "c.txt"}, {"verbose_tracker", "1"}});
  const f32 floats[3] = {1.1f, 0.297f, 0.21f};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(floats[i], *kFloats[i]) << i;
  const f64 defaults[18] = {1.0,   1.0,   1.0, 0.1,  1.0,  1.0,   1.0, 0.1,  0.0035,
                            0.001, 0.001, 0.1, 0.01, 0.01, 0.001, 0.1, 0.01, 0.001};
  for (int i = 0; i < 18; ++i) EXPECT_EQ(defaults[i], *kDoubles[i]) << i;

  IMU::LoadParameters({{"IMU_INITIAL_HEIGHT", "1.5"},
                       {"IMU_DELTA_WEIGHT_ROTATION", "2"},
                       {"IMU_VARIANCE_PLANE_GROUND", "0.002"},
                       {"IMU_VARIANCE_GRAVITY", "0"}});
  EXPECT_EQ(1.5f, IMU_INITIAL_HEIGHT);
  EXPECT_EQ(2.0, IMU_DELTA_WEIGHT_ROTATION);
  EXPECT_EQ(0.002, IMU_VARIANCE_PLANE_GROUND);
  EXPECT_EQ(0.0, IMU_VARIANCE_GRAVITY);  // 0 is allowed where users guard it
  EXPECT_EQ(0.01, IMU_VARIANCE_PLANE);   // untouched
}

TEST_F(IMUParametersTest, TextThatIsNotANumberReadsAsZeroWithAWarning) {
  testing::internal::CaptureStderr();
  IMU::LoadParameters({{"IMU_MARKER_WIDTH", "wide"}, {"IMU_VARIANCE_PLANE", "small"}});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(0.0f, IMU_MARKER_WIDTH);
  EXPECT_EQ(0.0, IMU_VARIANCE_PLANE);
  EXPECT_NE(std::string::npos, err.find("IMU_MARKER_WIDTH"));
  EXPECT_NE(std::string::npos, err.find("IMU_VARIANCE_PLANE"));
  EXPECT_NE(std::string::npos, err.find("warning"));
}

// Keys that users divide by keep their value, with an error line naming the
// key, when the new value would give inf or NaN weights.
TEST_F(IMUParametersTest, DivisorKeysRefuseZeroNegativeAndNonFinite) {
  const char* keys[] = {"IMU_VARIANCE_FEATURE_3D", "IMU_VARIANCE_GRAVITY_TIME_DEVIATION",
                        "IMU_VARIANCE_VELOCITY_TIME_DEVIATION"};
  const f64* values[] = {&IMU_VARIANCE_FEATURE_3D, &IMU_VARIANCE_GRAVITY_TIME_DEVIATION,
                         &IMU_VARIANCE_VELOCITY_TIME_DEVIATION};
  for (const char* text : {"0", "-0.5", "inf", "nan", "none"}) {
    for (int k = 0; k < 3; ++k) {
      const f64 before = *values[k];
      testing::internal::CaptureStderr();
      IMU::LoadParameters({{keys[k], text}});
      const std::string err = testing::internal::GetCapturedStderr();
      EXPECT_EQ(before, *values[k]) << keys[k] << " = " << text;
      EXPECT_NE(std::string::npos, err.find(std::string("error: ") + keys[k])) << err;
    }
  }
  IMU::LoadParameters({{"IMU_VARIANCE_GRAVITY_TIME_DEVIATION", "0.3"}});
  EXPECT_EQ(0.3, IMU_VARIANCE_GRAVITY_TIME_DEVIATION);
}

TEST_F(IMUParametersTest, SimulationFlagsAndAdjustment) {
  char imuFile[] = "/tmp/imu_samples_XXXXXX";
  const int fd = mkstemp(imuFile);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string images = "image_file_name_input", imu = "imu_file_name_input";
  EXPECT_EQ(1, DecideIMUSimulation({{"initial_frames", "3"}, {images, "a.txt"}}).simulate);
  EXPECT_EQ(0, DecideIMUSimulation({{"initial_frames", "0"}, {images, "a.txt"}}).simulate);
  EXPECT_EQ(0, DecideIMUSimulation({{images, "frames.dat"}}).simulate);
  // Images without their own inertial data: simulated unless the IMU file reads.
  EXPECT_EQ(0, DecideIMUSimulation({{images, "img_%04d.png"}, {imu, imuFile}}).simulate);
  std::remove(imuFile);
  const IMUSimulationFlags flags =
      DecideIMUSimulation({{images, "img_%04d.png"}, {imu, "/nonexistent/imu.txt"}});
  ASSERT_EQ(1, flags.simulate);
  ASSERT_EQ(1, flags.simulateRotation);

  IMU::ApplySimulationAdjustment(IMUSimulationFlags());  // off: nothing changes
  EXPECT_DOUBLE_EQ(0.1, IMU_VARIANCE_ROTATION_RATE);
  IMU::ApplySimulationAdjustment(flags);
  EXPECT_DOUBLE_EQ(0.1, IMU_DELTA_WEIGHT_VELOCITY);
  EXPECT_DOUBLE_EQ(1.0, IMU_VARIANCE_ROTATION_RATE);
  EXPECT_DOUBLE_EQ(0.1, IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION);
}

}  // namespace

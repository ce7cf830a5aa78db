// The IMU_ keys: defaults, overrides, text that is not a number, refused
// divisor values, and the simulation adjustment with its flags.
#include "optimization/IMUParameters.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>

namespace {

// The double keys with their compiled-in defaults, in table order.
const std::pair<f64*, f64> kDoubles[18] = {{&IMU_DELTA_WEIGHT_POSITION, 1.0},
                                           {&IMU_DELTA_WEIGHT_VELOCITY, 1.0},
                                           {&IMU_DELTA_WEIGHT_ROTATION, 1.0},
                                           {&IMU_VARIANCE_FEATURE_3D, 0.1},
                                           {&IMU_VARIANCE_FEATURE_2D, 1.0},
                                           {&IMU_VARIANCE_VELOCITY_SMOOTH, 1.0},
                                           {&IMU_VARIANCE_VELOCITY_REGULARIZATION, 1.0},
                                           {&IMU_VARIANCE_VELOCITY_TIME_DEVIATION, 0.1},
                                           {&IMU_VARIANCE_ACCELERATION, 0.0035},
                                           {&IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH, 0.001},
                                           {&IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION, 0.001},
                                           {&IMU_VARIANCE_ROTATION_RATE, 0.1},
                                           {&IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH, 0.01},
                                           {&IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION, 0.01},
                                           {&IMU_VARIANCE_GRAVITY, 0.001},
                                           {&IMU_VARIANCE_GRAVITY_TIME_DEVIATION, 0.1},
                                           {&IMU_VARIANCE_PLANE, 0.01},
                                           {&IMU_VARIANCE_PLANE_GROUND, 0.001}};
const std::pair<f32*, f32> kFloats[3] = {
    {&IMU_INITIAL_HEIGHT, 1.1f}, {&IMU_MARKER_WIDTH, 0.297f}, {&IMU_MARKER_HEIGHT, 0.21f}};

// Every test starts from the compiled-in defaults and puts them back.
class IMUParametersTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& d : kDoubles) *d.first = d.second;
    for (const auto& f : kFloats) *f.first = f.second;
  }
};

TEST_F(IMUParametersTest, DefaultsHoldAndPresentKeysOverride) {
  IMU::LoadParameters({{"calib_file_name", "c.txt"}, {"verbose_tracker", "1"}});
  for (const auto& d : kDoubles) EXPECT_EQ(d.second, *d.first) << &d - kDoubles;
  for (const auto& f : kFloats) EXPECT_EQ(f.second, *f.first) << &f - kFloats;

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

// Configuration text that is not a number reads as atof does (0), with a
// warning naming the key.
TEST_F(IMUParametersTest, TextThatIsNotANumberReadsAsZeroWithAWarning) {
  EXPECT_FALSE(IsNumberText("1.5x"));
  EXPECT_TRUE(IsNumberText(" 1e-3 "));
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

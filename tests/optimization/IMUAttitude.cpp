// Gyroscope-only attitude propagation against the closed form of a constant
// rate.
#include "optimization/IMUAttitude.h"

#include <gtest/gtest.h>

#include <cmath>

#include "common/InertialScene.h"

TEST(IMUAttitudeTest, ConstantRateMatchesClosedForm) {
  const f64 w[3] = {0.3, -0.5, 0.8};
  const f64 n = std::sqrt(0.09 + 0.25 + 0.64);
  IMUAttitude a = {{0, 0, 0, 1}, {0, 0, 1}, 2.0};
  for (int i = 1; i <= 100; ++i) IMU::IntegrateRotation(a, w, 2.0 + 0.01 * i, a);
  EXPECT_DOUBLE_EQ(3.0, a.time);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(w[i] / n * std::sin(n / 2), a.quaternion[i], 1e-13);
  EXPECT_NEAR(std::cos(n / 2), a.quaternion[3], 1e-13);
  // Gravity is the third row of H(q): the world z axis in the body.
  f64 H[9];
  InertialScene::Hamilton(a.quaternion, H);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(H[6 + i], a.gravity[i], 1e-15);
}

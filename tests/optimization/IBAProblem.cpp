// Sizing, sorting and plane indexing of the bundle-adjustment problem, and
// the feature and bias weight builders.
#include "optimization/IBAProblem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "optimization/IMUParameters.h"

// The pair count is max(n, 1) - 1 for n cameras, never 2^32 - 1.
TEST(IBAProblemTest, ResizingSortingAndPlaneIndexing) {
  IBAProblem p;
  for (const u32 cameras : {0u, 1u, 7u, 2u}) {
    p.ResizeInput(0, 0, 0, cameras, 10, 3, 9, 2);
    EXPECT_EQ(std::max(cameras, 1u) - 1, p.deltas.Size());
    EXPECT_EQ(4 * cameras + 1, p.features.index.size());
  }
  EXPECT_EQ(2u, p.gravity.Size());  // measurements and plane lists are used below
  for (u16 plane : p.pointPlanes) EXPECT_EQ(kNone16, plane);

  const u32 points[9] = {5, 1, 3, 9, 0, 4, 8, 2, 6};
  for (u32 i = 0; i < 9; ++i)
    p.features.measurements[i] = {points[i], static_cast<f32>(points[i]), 0};
  // Camera 0: level 0 = [0, 3), level 1 empty, level 2 = [3, 5), level 3 =
  // [5, 6); camera 1: level 0 = [6, 9). Records move whole.
  p.features.index = {0, 3, 3, 5, 6, 9, 9, 9, 9};
  p.SortFeatures();
  const u32 expected[9] = {1, 3, 5, 0, 9, 4, 2, 6, 8};
  for (u32 i = 0; i < 9; ++i) {
    EXPECT_EQ(expected[i], p.features.measurements[i].point);
    EXPECT_EQ(static_cast<f32>(expected[i]), p.features.measurements[i].x);
  }
  // A malformed index never reaches outside the measurements.
  p.features.index = {0, 100, 2, 1, 9, 9, 9, 9, 9};
  p.SortFeatures();

  p.planePoints[0] = {6, 1, 3};
  p.planePoints[2] = {5, 3, 42};  // 3 is on two planes: the later wins; 42 does not exist
  p.IndexPlanePoints();
  EXPECT_EQ((std::vector<u32>{1, 3, 6}), p.planePoints[0]);
  EXPECT_EQ((std::vector<u32>{3, 5, 42}), p.planePoints[2]);
  const u16 planes[10] = {kNone16, 0, kNone16, 2, kNone16, 2, 0, kNone16, kNone16, kNone16};
  for (u32 i = 0; i < 10; ++i) EXPECT_EQ(planes[i], p.pointPlanes[i]) << i;
}

TEST(IBAProblemTest, LevelWeightsQuarterAndAZeroKeySwitchesItsTermOff) {
  IBAFeatures f;
  const f64 s = IMU_VARIANCE_FEATURE_3D;
  IBAProblem::SetFeatureWeights(f, 1.0f, s * s);
  for (int l = 0; l < 4; ++l)
    for (int i = 0; i < 4; ++i) EXPECT_EQ(std::ldexp(1.0f, -2 * l), f.levelWeights[l][i]);

  f64* keys[4] = {&IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION,
                  &IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION, &IMU_VARIANCE_GRAVITY,
                  &IMU_VARIANCE_GRAVITY_TIME_DEVIATION};
  const f64 saved[4] = {*keys[0], *keys[1], *keys[2], *keys[3]};
  // Bias weights, known answers: w / (sigma g)^2 with sigma in g, w /
  // (sigma k)^2 with sigma in degrees per second; 0 for a zero key.
  const f64 g = IMU::kGravity, k = IMU::kDegreeToRadian;
  f32 bias[2];
  for (const bool first : {false, true}) {
    *keys[0] = first ? 0.5 : 0.0, *keys[1] = first ? 0.0 : 2.0;
    IBAProblem::SetBiasWeights(bias, 3.0);
    EXPECT_EQ(bias[0], first ? float(3.0 / (0.25 * g * g)) : 0.0f);
    EXPECT_EQ(bias[1], first ? 0.0f : float(3.0 / (4.0 * k * k)));
  }
  // Gravity: the unit direction, weight exp(-(dt / tau)^2) w / sigma^2.
  *keys[2] = 0.5, *keys[3] = 2.0;
  IMUAttitude attitude{};
  attitude.gravity[0] = 3.0, attitude.gravity[2] = 4.0, attitude.time = 5.0;
  IBAGravity gravity;
  SetGravityRecord(gravity, attitude, 3.0, 3.0);
  for (int i = 0; i < 4; ++i) *keys[i] = saved[i];
  EXPECT_FLOAT_EQ(gravity.direction[0], 0.6f);
  EXPECT_FLOAT_EQ(gravity.direction[2], 0.8f);
  EXPECT_FLOAT_EQ(gravity.weight[0], float(std::exp(-1.0) * 3.0 / 0.25));
}

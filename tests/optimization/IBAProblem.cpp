// Sizing, sorting and indexing of the bundle-adjustment problem, its weight
// builders, and a problem filled from the synthetic scene.
#include "optimization/IBAProblem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "optimization/IMUParameters.h"
#include "optimization/SyntheticScene.h"

TEST(IBAProblemTest, ResizeInputCountsPairsWithoutWrapping) {
  IBAProblem p;
  p.ResizeInput(0, 0, 0, 0, 0, 0, 0, 0);
  EXPECT_EQ(0u, p.deltas.Size());  // not 2^32 - 1
  EXPECT_EQ(1u, p.features.index.size());
  p.ResizeInput(1, 0, 0, 1, 3, 0, 5, 1);
  EXPECT_EQ(0u, p.deltas.Size());
  EXPECT_EQ(5u, p.features.index.size());
  EXPECT_EQ(1u, p.fixedCameras);
  p.ResizeInput(2, 4, 1, 7, 10, 3, 50, 2);
  EXPECT_EQ(6u, p.deltas.Size());
  EXPECT_EQ(29u, p.features.index.size());
  EXPECT_EQ(50u, p.features.measurements.Size());
  EXPECT_EQ(4u, p.features.levelWeights.Size());
  EXPECT_EQ(2u, p.gravity.Size());
  EXPECT_EQ(2u, p.gravityCameras.size());
  EXPECT_EQ(3u, p.planeWeights.Size());
  EXPECT_EQ(3u, p.planePoints.size());
  EXPECT_EQ(10u, p.pointFlags.size());
  EXPECT_EQ(3u, p.planeFlags.size());
  EXPECT_EQ(4u, p.fixedPoints);
  EXPECT_EQ(1u, p.fixedPlanes);
  for (u16 plane : p.pointPlanes) EXPECT_EQ(kNoPlane, plane);

  // A refill empties the plane lists and resets point-to-plane, but keeps
  // measurements within capacity and does not reallocate.
  p.features.measurements[3] = {7, 0.5f, -0.25f};
  p.planePoints[1] = {4, 2};
  p.pointPlanes[2] = 1;
  const IBAMeasurement* data = p.features.measurements.Data();
  p.ResizeInput(0, 0, 0, 7, 10, 3, 40, 2);
  EXPECT_EQ(data, p.features.measurements.Data());
  EXPECT_EQ(7u, p.features.measurements[3].point);
  EXPECT_TRUE(p.planePoints[1].empty());
  EXPECT_EQ(kNoPlane, p.pointPlanes[2]);
}

TEST(IBAProblemTest, SortFeaturesSortsWithinGroupsOnly) {
  IBAProblem p;
  p.ResizeInput(0, 0, 0, 2, 10, 0, 9, 0);
  const u32 points[9] = {5, 1, 3, 9, 0, 4, 8, 2, 6};
  for (u32 i = 0; i < 9; ++i)
    p.features.measurements[i] = {points[i], static_cast<f32>(points[i]), 0};
  // Camera 0: level 0 = [0, 3), level 1 empty, level 2 = [3, 5), level 3 = [5, 6);
  // camera 1: level 0 = [6, 9).
  p.features.index = {0, 3, 3, 5, 6, 9, 9, 9, 9};
  p.SortFeatures();
  const u32 expected[9] = {1, 3, 5, 0, 9, 4, 2, 6, 8};
  for (u32 i = 0; i < 9; ++i) {
    EXPECT_EQ(expected[i], p.features.measurements[i].point);
    EXPECT_EQ(static_cast<f32>(expected[i]), p.features.measurements[i].x);  // records move whole
  }
  // A malformed index never reaches outside the measurements.
  p.features.index = {0, 100, 2, 1, 9, 9, 9, 9, 9};
  p.SortFeatures();
}

TEST(IBAProblemTest, IndexPlanePoints) {
  IBAProblem p;
  p.ResizeInput(0, 0, 0, 1, 8, 3, 0, 0);
  p.planePoints[0] = {6, 1, 3};
  p.planePoints[2] = {5, 3, 42};  // 3 is on two planes: the later wins; 42 does not exist
  p.IndexPlanePoints();
  EXPECT_EQ((std::vector<u32>{1, 3, 6}), p.planePoints[0]);
  EXPECT_EQ((std::vector<u32>{3, 5, 42}), p.planePoints[2]);
  const u16 expected[8] = {kNoPlane, 0, kNoPlane, 2, kNoPlane, 2, 0, kNoPlane};
  for (u32 i = 0; i < 8; ++i) EXPECT_EQ(expected[i], p.pointPlanes[i]) << i;
}

TEST(IBAProblemTest, WeightBuilders) {
  // Level-0 weight 1 gives 1, 1/4, 1/16, 1/64 exactly.
  IBAFeatures f;
  const f64 s = IMU_VARIANCE_FEATURE_3D;
  IBAProblem::SetFeatureWeights(f, 1.0f, s * s);
  const f32 levels[4] = {1.0f, 0.25f, 0.0625f, 0.015625f};
  for (int l = 0; l < 4; ++l) {
    for (int i = 0; i < 4; ++i) EXPECT_EQ(levels[l], f.levelWeights[l][i]);
  }
  // The local adjustor's choice: a = fx fy, w = sigma^2 / (fx fy).
  const f32 a = 500.0f * 480.0f;
  IBAProblem::SetFeatureWeights(f, a, s * s * (1.0 / (500.0 * 480.0)));
  EXPECT_EQ(a, f.imageScale);
  EXPECT_NEAR(1.0f, f.levelWeights[0][0], 1e-6f);

  f32 bias[2];
  IBAProblem::SetBiasWeights(bias, 2.0);
  const f64 sa = IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION;
  const f64 sg = IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION;
  EXPECT_EQ(static_cast<f32>(2.0 / (sa * sa * 9.81 * 9.81)), bias[0]);
  EXPECT_EQ(static_cast<f32>(2.0 / (sg * sg * IMU::kDegreeToRadian * IMU::kDegreeToRadian)),
            bias[1]);
  IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION = 0.0;
  IBAProblem::SetBiasWeights(bias, 2.0);
  EXPECT_EQ(0.0f, bias[0]);
  EXPECT_GT(bias[1], 0.0f);
  IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION = sa;
}

TEST(IBAProblemTest, GravityRecord) {
  IMUAttitude att = {{0, 0, 0, 1}, {0.0, 0.6, 0.8 * 1.001}, 3.0};
  IBAGravity g;
  SetGravityRecord(g, att, 0.5, 3.0);
  const f64 sg = IMU_VARIANCE_GRAVITY;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(static_cast<f32>(0.5 / (sg * sg)), g.weight[i]);
  EXPECT_NEAR(1.0f, std::sqrt(g.direction[1] * g.direction[1] + g.direction[2] * g.direction[2]),
              1e-6f);
  EXPECT_EQ(0.0f, g.direction[3]);
  // A stamp off the key frame by one time deviation weighs e^-1 as much.
  SetGravityRecord(g, att, 0.5, 3.0 + IMU_VARIANCE_GRAVITY_TIME_DEVIATION);
  EXPECT_FLOAT_EQ(static_cast<f32>(std::exp(-1.0) * 0.5 / (sg * sg)), g.weight[0]);
  // A zero deviation switches the term off but still writes the direction.
  IMU_VARIANCE_GRAVITY = 0.0;
  IBAGravity z;
  SetGravityRecord(z, att, 0.5, 3.0);
  EXPECT_EQ(0.0f, z.weight[0]);
  EXPECT_EQ(g.direction[2], z.direction[2]);
  IMU_VARIANCE_GRAVITY = sg;
}

// A problem built from the synthetic scene the way the map's builders do:
// measurements camera by camera and level by level, deltas for consecutive
// key frames, then sorted and indexed.
TEST(IBAProblemTest, FilledFromTheSyntheticScene) {
  SyntheticScene scene;
  const u32 cameras = static_cast<u32>(scene.keyFrames.size());
  const u32 points = static_cast<u32>(scene.points.size());
  IBAProblem p;
  p.ResizeInput(1, 0, 0, cameras, points, 1, static_cast<u32>(scene.measurements.size()), cameras);
  // Reverse each group first so that the sort has work to do.
  std::vector<SyntheticMeasurement> ms = scene.measurements;
  u32 n = 0;
  for (u32 c = 0; c < cameras; ++c) {
    for (u32 l = 0; l < 4; ++l) {
      p.features.index[4 * c + l] = n;
      const u32 begin = n;
      for (const SyntheticMeasurement& m : ms) {
        if (m.keyFrame == c && m.level == l) {
          p.features.measurements[n++] = {m.point, static_cast<f32>(m.x), static_cast<f32>(m.y)};
        }
      }
      std::reverse(p.features.measurements.Data() + begin, p.features.measurements.Data() + n);
    }
  }
  p.features.index[4 * cameras] = n;
  ASSERT_EQ(n, p.features.measurements.Size());
  for (u32 c = 0; c + 1 < cameras; ++c) {
    IBADelta::Set(p.deltas[c], scene.Preintegrate(c, c + 1), 1.0);
  }
  for (u32 c = 0; c < cameras; ++c) {
    SetGravityRecord(p.gravity[c], scene.TrueAttitude(c), 1.0, scene.keyFrames[c].time);
    p.gravityCameras[c] = c;
  }
  for (u32 i = 0; i < points; ++i) {
    if (scene.pointOnGround[i]) p.planePoints[0].push_back(points - 1 - i);
  }
  p.SortFeatures();
  p.IndexPlanePoints();
  ASSERT_EQ(cameras - 1, p.deltas.Size());
  for (u32 g = 0; g + 1 < p.features.index.size(); ++g) {
    for (u32 i = p.features.index[g] + 1; i < p.features.index[g + 1]; ++i) {
      EXPECT_LE(p.features.measurements[i - 1].point, p.features.measurements[i].point);
    }
  }
  EXPECT_TRUE(std::is_sorted(p.planePoints[0].begin(), p.planePoints[0].end()));
  for (u32 i = 0; i < points; ++i) {
    EXPECT_EQ(scene.pointOnGround[points - 1 - i] ? 0 : kNoPlane, p.pointPlanes[i]);
  }
  // The delta records' dt lanes add up to the key frames' span.
  f64 total = 0;
  for (u32 c = 0; c + 1 < cameras; ++c) total += p.deltas[c].dt[0];
  EXPECT_NEAR(scene.keyFrames.back().time - scene.keyFrames[0].time, total, 1e-5);
}

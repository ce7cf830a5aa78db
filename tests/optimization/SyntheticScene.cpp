// The shared synthetic scene is itself checked: its samples must be the
// derivatives of its trajectory in the preintegration's convention, and its
// cameras must agree with the pose conventions of the core library.
#include "optimization/SyntheticScene.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

void Multiply(const f64* a, const f64* b, f64* out) {
  out[0] = a[3] * b[0] + b[3] * a[0] + a[1] * b[2] - a[2] * b[1];
  out[1] = a[3] * b[1] + b[3] * a[1] + a[2] * b[0] - a[0] * b[2];
  out[2] = a[3] * b[2] + b[3] * a[2] + a[0] * b[1] - a[1] * b[0];
  out[3] = a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2];
}

}  // namespace

TEST(SyntheticSceneTest, SamplesAreTheTrajectorysBodyDerivatives) {
  SyntheticScene scene;
  const f64 h = 1e-5;
  for (const f64 t : {0.3, 1.7, 3.2}) {
    const IMUState a = scene.TrueState(t - h), b = scene.TrueState(t + h), s = scene.TrueState(t);
    // w = 2 vec(conj(q) dq/dt).
    f64 dq[4], conj[4] = {-s.quaternion[0], -s.quaternion[1], -s.quaternion[2], s.quaternion[3]},
               r[4];
    for (int i = 0; i < 4; ++i) dq[i] = (b.quaternion[i] - a.quaternion[i]) / (2 * h);
    Multiply(conj, dq, r);
    f64 w[3], acc[3], H[9];
    scene.TrueBodyRate(t, w);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(2 * r[i], w[i], 1e-8);
    // a_body = H^T dv/dt, no gravity.
    scene.TrueBodyAcceleration(t, acc);
    SyntheticScene::Hamilton(s.quaternion, H);
    for (int i = 0; i < 3; ++i) {
      f64 world = 0;
      for (int j = 0; j < 3; ++j) world += H[3 * j + i] * (b.velocity[j] - a.velocity[j]) / (2 * h);
      EXPECT_NEAR(world, acc[i], 1e-8);
      EXPECT_NEAR((b.position[i] - a.position[i]) / (2 * h), s.velocity[i], 1e-8);
    }
  }
  EXPECT_EQ(801u, scene.samples.size());
  EXPECT_DOUBLE_EQ(0.005, scene.samples[1].time);
}

TEST(SyntheticSceneTest, CamerasFollowThePoseConventions) {
  SyntheticScene scene;
  ASSERT_GE(scene.keyFrames.size(), 9u);
  for (u32 k = 0; k < scene.keyFrames.size(); ++k) {
    const SyntheticKeyFrame& kf = scene.keyFrames[k];
    if (k > 0) {
      const f64 gap = kf.time - scene.keyFrames[k - 1].time;
      EXPECT_GE(gap, 0.2 - 1e-9);
      EXPECT_LE(gap, 0.5 + 1e-9);
    }
    CameraPose pose;
    f32 scratch[16];
    PoseToCamera(kf.state, scene.offset, pose, scratch);
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(kf.R[3 * r + c], pose[r][c], 1e-6);
      EXPECT_NEAR(kf.t[r], pose[r][3], 1e-5);
    }
    // Looking forward and somewhat down: the optical axis has a negative z.
    EXPECT_LT(kf.R[8], 0.0);
  }
}

TEST(SyntheticSceneTest, PointsAndMeasurements) {
  SyntheticSceneOptions o;
  o.featureNoise = 0.001;
  SyntheticScene scene(o), again(o);
  u32 ground = 0, far = 0;
  for (u32 i = 0; i < scene.points.size(); ++i) {
    if (scene.pointOnGround[i]) {
      ++ground;
      EXPECT_EQ(0.0f, scene.points[i][2]);
    }
    if (scene.pointFar[i]) ++far;
    // Every point is in front of the key frame it was seeded from.
    const f64 X[3] = {scene.points[i][0], scene.points[i][1], scene.points[i][2]};
    f64 xy[2];
    EXPECT_TRUE(scene.Project(scene.pointSource[i], X, xy));
  }
  EXPECT_GT(ground, scene.points.size() / 6);
  EXPECT_GT(far, 0u);
  EXPECT_GT(scene.measurements.size(), 2 * scene.points.size());
  f64 sum = 0;
  for (const SyntheticMeasurement& m : scene.measurements) {
    const f64 e = (m.x - m.xTrue) / (1 << m.level);
    sum += e * e;
  }
  EXPECT_NEAR(0.001, std::sqrt(sum / scene.measurements.size()), 2e-4);
  // The same seed gives the same scene.
  ASSERT_EQ(scene.measurements.size(), again.measurements.size());
  EXPECT_EQ(scene.measurements.back().x, again.measurements.back().x);
}

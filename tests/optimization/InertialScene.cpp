// The shared synthetic scene's one sanity check: its samples are the
// derivatives of its trajectory in the preintegration's convention.
#include "common/InertialScene.h"

#include <gtest/gtest.h>

TEST(SyntheticSceneTest, SamplesAreTheTrajectorysBodyDerivatives) {
  InertialScene scene;
  const f64 h = 1e-5;
  for (const f64 t : {0.3, 1.7, 3.2}) {
    const IMUState a = scene.TrueState(t - h), b = scene.TrueState(t + h), s = scene.TrueState(t);
    // w = 2 vec(conj(q) dq/dt); a_body = H^T dv/dt, no gravity.
    f64 dq[4], w[3], acc[3], H[9];
    for (int i = 0; i < 4; ++i) dq[i] = (b.quaternion[i] - a.quaternion[i]) / (2 * h);
    const Eigen::Vector3d r = (Eigen::Map<const Eigen::Quaterniond>(s.quaternion).conjugate() *
                               Eigen::Map<const Eigen::Quaterniond>(dq))
                                  .vec();
    scene.TrueBodyRate(t, w);
    scene.TrueBodyAcceleration(t, acc);
    InertialScene::Hamilton(s.quaternion, H);
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(2 * r[i], w[i], 1e-8);
      f64 world = 0;
      for (int j = 0; j < 3; ++j) world += H[3 * j + i] * (b.velocity[j] - a.velocity[j]) / (2 * h);
      EXPECT_NEAR(world, acc[i], 1e-8);
      EXPECT_NEAR((b.position[i] - a.position[i]) / (2 * h), s.velocity[i], 1e-8);
    }
  }
  ASSERT_GE(scene.keyFrames.size(), 9u);
  for (const InertialKeyFrame& kf : scene.keyFrames) EXPECT_LT(kf.R[8], 0.0);  // looking down
  EXPECT_GT(scene.measurements.size(), 2 * scene.points.size());
}

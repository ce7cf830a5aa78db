// The bundle adjustment's float delta record: its zero-key and zero-duration
// guards. (Its values meet real preintegration in the ISO/IBA cross-check.)
#include "optimization/IBADelta.h"

#include <gtest/gtest.h>

#include <cmath>

#include "optimization/IMUParameters.h"
#include "optimization/SyntheticScene.h"

namespace {

void ExpectBroadcast(const f32* lane, f64 value, const char* what) {
  for (int i = 0; i < 4; ++i) EXPECT_EQ(static_cast<f32>(value), lane[i]) << what;
}

}  // namespace

// A delta over no time (or a reversed one), or a zero smoothness key, must
// not produce inf or NaN weights that would poison every cost containing it.
TEST(IBADeltaTest, ShortDeltasAndZeroKeysGiveZeroWeights) {
  IMUSample prev = {{0.1, 0.2, 0.3}, {0.01, 0.02, 0.03}, 1.0};
  IMUDelta d;
  IMUDelta::Initialize(nullptr, 0, prev, 1.0, d);
  IBADelta D;
  for (const f64 dt : {0.0, -0.01, 1e-7, static_cast<f64>(NAN)}) {
    d.dt = dt;
    IBADelta::Set(D, d, 1.0);
    const f32* lanes = D.dp;
    for (int i = 0; i < 55 * 4; ++i)  // lane 5 holds dt itself
      EXPECT_TRUE(i / 4 == 5 || std::isfinite(lanes[i])) << "lane " << i / 4 << " dt " << dt;
    ExpectBroadcast(D.wba, 0.0, "wba");
    ExpectBroadcast(D.wbg, 0.0, "wbg");
    ExpectBroadcast(D.wp, 0.0, "wp");
  }
  d.dt = 2e-6;  // just above the guard: formed as usual
  IBADelta::Set(D, d, 1.0);
  EXPECT_GT(D.wba[0], 0.0f);

  SyntheticScene scene;
  d = scene.Preintegrate(0, 1);
  f64* keys[2] = {&IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH, &IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH};
  for (int k = 0; k < 2; ++k) {
    const f64 saved = *keys[k];
    *keys[k] = 0.0;
    IBADelta::Set(D, d, 1.0);
    *keys[k] = saved;
    ExpectBroadcast(k == 0 ? D.wba : D.wbg, 0.0, "zero key");
    EXPECT_GT((k == 0 ? D.wbg : D.wba)[0], 0.0f);
  }
}

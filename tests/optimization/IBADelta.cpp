// The bundle adjustment's float delta record against the double
// preintegration it is built from, and its zero-key and zero-duration guards.
#include "optimization/IBADelta.h"

#include <gtest/gtest.h>

#include <cmath>

#include "optimization/IMUAlgebra.h"
#include "optimization/IMUParameters.h"
#include "optimization/SyntheticScene.h"

namespace {

void ExpectBroadcast(const f32* lane, f64 value, const char* what) {
  for (int i = 0; i < 4; ++i) EXPECT_EQ(static_cast<f32>(value), lane[i]) << what;
}

}  // namespace

TEST(IBADeltaTest, LanesMatchTheDelta) {
  SyntheticScene scene;
  const IMUDelta d = scene.Preintegrate(0, 1);
  const f64 s = 2.5;
  IBADelta D;
  IBADelta::Set(D, d, s);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(static_cast<f32>(d.dq[i]), D.dq[i]);
    EXPECT_EQ(i < 3 ? static_cast<f32>(d.dp[i]) : 0.0f, D.dp[i]);
    EXPECT_EQ(i < 3 ? static_cast<f32>(d.dv[i]) : 0.0f, D.dv[i]);
    EXPECT_EQ(i < 3 ? static_cast<f32>(d.bg[i]) : 0.0f, D.bg[i]);
  }
  // Row lanes: (lanes, source, scale, packed symmetric source?).
  const struct {
    const f32 (*rows)[4];
    const f64* M;
    f64 scale;
    bool packed;
  } matrices[] = {{D.dp_dba, d.dp_dba, 1, false},   {D.dv_dbg, d.dv_dbg, 1, false},
                  {D.dr_dbg, d.dr_dbg, 1, false},   {D.wdp_dba, d.wdp_dba, s, false},
                  {D.wdp_dbg, d.wdp_dbg, s, false}, {D.wdv_dba, d.wdv_dba, s, false},
                  {D.wdv_dbg, d.wdv_dbg, s, false}, {D.wdr_dbg, d.wdr_dbg, s, false},
                  {D.Haa, d.Haa, s, true},          {D.Hag, d.Hag, s, false},
                  {D.Hgg, d.Hgg, s, true}};
  for (const auto& m : matrices)
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) {
        const f64 v = m.packed ? m.M[PackedIndex3(r, c)] : m.M[3 * r + c];
        EXPECT_EQ(static_cast<f32>(v * m.scale), m.rows[r][c]) << &m - matrices;
      }
      EXPECT_EQ(0.0f, m.rows[r][3]);
    }
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(D.dr_dbg[c][r], D.dr_dbgT[r][c]);
  ExpectBroadcast(D.dt, d.dt, "dt");
  ExpectBroadcast(D.wp, d.wp * s, "wp");
  ExpectBroadcast(D.wv, d.wv * s, "wv");
  ExpectBroadcast(D.wr, d.wr * s, "wr");
  ExpectBroadcast(D.wp_dt, d.wp_dt * s, "wp_dt");
  ExpectBroadcast(D.wpv, d.wpv * s, "wpv");
  // The bias smoothness weights: s over the random-walk variance of the interval.
  const f64 g = IMU::kGravity, k = IMU::kDegreeToRadian;
  const f64 sa = IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH, sg = IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH;
  ExpectBroadcast(D.wba, s / (sa * sa * g * g * d.dt), "wba");
  ExpectBroadcast(D.wbg, s / (sg * sg * k * k * d.dt), "wbg");
}

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

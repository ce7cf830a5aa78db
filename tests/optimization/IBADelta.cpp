// The bundle adjustment's float delta record against the double
// preintegration it is built from, and its zero-key and zero-duration guards.
#include "optimization/IBADelta.h"

#include <gtest/gtest.h>

#include <cmath>

#include "optimization/IMUAlgebra.h"
#include "optimization/IMUParameters.h"
#include "optimization/SyntheticScene.h"

namespace {

void ExpectBroadcast(const f32* lane, f64 value) {
  for (int i = 0; i < 4; ++i) EXPECT_EQ(static_cast<f32>(value), lane[i]);
}

void ExpectRows(const f32 (*rows)[4], const f64* M, f64 s) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) EXPECT_EQ(static_cast<f32>(M[3 * r + c] * s), rows[r][c]);
    EXPECT_EQ(0.0f, rows[r][3]);
  }
}

void ExpectPackedRows(const f32 (*rows)[4], const f64* P, f64 s) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) EXPECT_EQ(static_cast<f32>(P[PackedIndex3(r, c)] * s), rows[r][c]);
    EXPECT_EQ(0.0f, rows[r][3]);
  }
}

}  // namespace

TEST(IBADeltaTest, LanesMatchTheDelta) {
  SyntheticScene scene;
  const IMUDelta d = scene.Preintegrate(0, 1);
  const f64 s = 2.5;
  IBADelta D;
  IBADelta::Set(D, d, s);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(static_cast<f32>(d.dp[i]), D.dp[i]);
    EXPECT_EQ(static_cast<f32>(d.dv[i]), D.dv[i]);
    EXPECT_EQ(static_cast<f32>(d.bg[i]), D.bg[i]);
  }
  EXPECT_EQ(static_cast<f32>(d.dq[3]), D.dq[3]);
  EXPECT_EQ(0.0f, D.dp[3]);
  EXPECT_EQ(0.0f, D.ba[3]);
  ExpectBroadcast(D.dt, d.dt);
  ExpectRows(D.dp_dba, d.dp_dba, 1);
  ExpectRows(D.dv_dbg, d.dv_dbg, 1);
  ExpectRows(D.dr_dbg, d.dr_dbg, 1);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) EXPECT_EQ(D.dr_dbg[c][r], D.dr_dbgT[r][c]);
  }
  ExpectBroadcast(D.wp, d.wp * s);
  ExpectBroadcast(D.wv, d.wv * s);
  ExpectBroadcast(D.wr, d.wr * s);
  ExpectBroadcast(D.wp_dt, d.wp_dt * s);
  ExpectBroadcast(D.wpv, d.wpv * s);
  ExpectRows(D.wdp_dba, d.wdp_dba, s);
  ExpectRows(D.wdp_dbg, d.wdp_dbg, s);
  ExpectRows(D.wdv_dba, d.wdv_dba, s);
  ExpectRows(D.wdv_dbg, d.wdv_dbg, s);
  ExpectRows(D.wdr_dbg, d.wdr_dbg, s);
  ExpectPackedRows(D.Haa, d.Haa, s);
  ExpectRows(D.Hag, d.Hag, s);
  ExpectPackedRows(D.Hgg, d.Hgg, s);
  // Lanes 27 and 28: s over the bias random-walk variance of the interval.
  const f64 g = IMU::kGravity, k = IMU::kDegreeToRadian;
  const f64 sa = IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH, sg = IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH;
  ExpectBroadcast(D.wba, s / (sa * sa * g * g * d.dt));
  ExpectBroadcast(D.wbg, s / (sg * sg * k * k * d.dt));
  // The field order is the lane order the solvers index.
  EXPECT_EQ(24 * 16u, offsetof(IBADelta, wp));
  EXPECT_EQ(31 * 16u, offsetof(IBADelta, wdp_dba));
  EXPECT_EQ(52 * 16u, offsetof(IBADelta, Hgg));
}

// A delta over no time (or a reversed one) must not produce inf or NaN
// weights that would poison every cost containing it.
TEST(IBADeltaTest, ShortDeltasGetZeroSmoothnessWeights) {
  IMUSample prev = {{0.1, 0.2, 0.3}, {0.01, 0.02, 0.03}, 1.0};
  IMUDelta d;
  IMUDelta::Initialize(nullptr, 0, prev, 1.0, d);
  for (const f64 dt : {0.0, -0.01, 1e-7, static_cast<f64>(NAN)}) {
    d.dt = dt;
    IBADelta D;
    IBADelta::Set(D, d, 1.0);
    const f32* lanes = D.dp;
    for (int i = 0; i < 55 * 4; ++i) {
      if (i / 4 != 5) {
        EXPECT_TRUE(std::isfinite(lanes[i])) << "lane " << i / 4 << " dt " << dt;
      }
    }
    ExpectBroadcast(D.wba, 0.0);
    ExpectBroadcast(D.wbg, 0.0);
    ExpectBroadcast(D.wp, 0.0);
  }
  d.dt = 2e-6;  // just above the guard: formed as usual
  IBADelta D;
  IBADelta::Set(D, d, 1.0);
  EXPECT_GT(D.wba[0], 0.0f);
}

TEST(IBADeltaTest, ZeroKeysGiveZeroSmoothnessWeights) {
  const f64 sa = IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH, sg = IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH;
  SyntheticScene scene;
  const IMUDelta d = scene.Preintegrate(0, 1);
  IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH = 0.0;
  IBADelta D;
  IBADelta::Set(D, d, 1.0);
  ExpectBroadcast(D.wba, 0.0);
  EXPECT_GT(D.wbg[0], 0.0f);
  IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH = sa;
  IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH = 0.0;
  IBADelta::Set(D, d, 1.0);
  ExpectBroadcast(D.wbg, 0.0);
  EXPECT_GT(D.wba[0], 0.0f);
  IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH = sg;
}

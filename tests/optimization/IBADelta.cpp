// The bundle adjustment's float delta record: every lane against the
// preintegrated delta it widens (weights following its covariance), and the
// zero-key and zero-duration guards.
#include "optimization/IBADelta.h"

#include <gtest/gtest.h>

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <vector>

#include "common/InertialScene.h"
#include "optimization/IMUParameters.h"

namespace {

void ExpectBroadcast(const f32* lane, f64 value, const char* what) {
  for (int i = 0; i < 4; ++i) EXPECT_EQ(static_cast<f32>(value), lane[i]) << what;
}

}  // namespace

// The 55 lanes in order from the delta: copies exactly its doubles rounded
// to float; weights and weighted blocks, recomputed here from the covariance
// and the Jacobians, within a float rounding. s != 1 shows where s enters.
TEST(IBADeltaTest, LanesAreTheDeltaRoundedToFloat) {
  InertialScene scene;
  IMUDelta d = scene.Preintegrate(1, 2);
  for (int k = 0; k < 3; ++k) d.ba[k] = 0.1 * (k + 1), d.bg[k] = -0.01 * (k + 1);
  // The variances come out equal on the diagonal; spread them, the largest
  // in a different place per block, so the weights show which one they use.
  d.Spp[3] *= 3, d.Spp[5] *= 2, d.Svv[0] *= 3, d.Svv[3] *= 2, d.Srr[5] *= 3, d.Srr[0] *= 2;
  IMUDelta::ComputeWeights(d);
  const f64 s = 0.7;
  IBADelta D;
  IBADelta::Set(D, d, s);

  std::vector<f64> want;
  auto lane = [&](const f64* v, int n, f64 k) {  // n = 1 broadcasts
    for (int i = 0; i < 4; ++i) want.push_back(n == 1 ? v[0] * k : i < n ? v[i] * k : 0.0);
  };
  using M3 = Eigen::Matrix<f64, 3, 3, Eigen::RowMajor>;
  auto rows = [&](const M3& M, f64 k) {
    for (int r = 0; r < 3; ++r) lane(M.data() + 3 * r, 3, k);
  };
  // Each weight: its key over the largest variance of its block.
  auto largest = [](const f64* P) { return std::max({P[0], P[3], P[5]}); };
  const f64 wp = IMU_DELTA_WEIGHT_POSITION / largest(d.Spp);
  const f64 wv = IMU_DELTA_WEIGHT_VELOCITY / largest(d.Svv);
  const f64 wr = IMU_DELTA_WEIGHT_ROTATION / largest(d.Srr);
  const f64 g = IMU::kGravity, r = IMU::kDegreeToRadian, dt = d.dt;
  const f64 sa = IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH, sg = IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH;
  const f64 wsa = 1 / (sa * sa * g * g * dt), wsg = 1 / (sg * sg * r * r * dt);
  const f64 weights[7] = {wp, wv, wr, wsa, wsg, dt * wp, dt * dt * wp + wv};
  const M3 Jpa(d.dp_dba), Jpg(d.dp_dbg), Jva(d.dv_dba), Jvg(d.dv_dbg), Jrg(d.dr_dbg);
  lane(d.dp, 3, 1), lane(d.dv, 3, 1), lane(d.dq, 4, 1), lane(d.ba, 3, 1), lane(d.bg, 3, 1);
  lane(&d.dt, 1, 1);
  for (const M3& M : {Jpa, Jpg, Jva, Jvg, Jrg, M3(Jrg.transpose())}) rows(M, 1);
  for (const f64& w : weights) lane(&w, 1, s);
  for (const M3& M :
       {M3(wp * Jpa.transpose()), M3(wp * Jpg.transpose()), M3(wv * Jva.transpose()),
        M3(wv * Jvg.transpose()), M3(wr * Jrg.transpose()),
        M3(wp * Jpa.transpose() * Jpa + wv * Jva.transpose() * Jva),
        M3(wp * Jpa.transpose() * Jpg + wv * Jva.transpose() * Jvg),
        M3(wp * Jpg.transpose() * Jpg + wv * Jvg.transpose() * Jvg + wr * Jrg.transpose() * Jrg)})
    rows(M, s);
  ASSERT_EQ(want.size(), 55u * 4);
  const f32* got = reinterpret_cast<const f32*>(&D);
  for (u32 i = 0; i < want.size(); ++i) {
    const f32 expected = static_cast<f32>(want[i]);  // lanes from 24 on are recomputed
    EXPECT_NEAR(got[i], expected, i < 24 * 4 ? 0.0 : 2.4e-7 * std::fabs(expected))
        << "lane " << i / 4 << " float " << i % 4;
  }
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

  InertialScene scene;
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

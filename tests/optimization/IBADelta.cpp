// The bundle adjustment's float delta record: every lane against the
// preintegrated delta it widens, and the zero-key and zero-duration guards.
#include "optimization/IBADelta.h"

#include <gtest/gtest.h>

#include <cmath>

#include "optimization/IMUParameters.h"

namespace {

// Every double of the delta distinct, so that a lane read from the wrong
// place shows; a quarter of a second long.
IMUDelta DistinctDelta() {
  IMUDelta d;
  f64* all = reinterpret_cast<f64*>(&d);
  for (u32 i = 0; i < sizeof(d) / sizeof(f64); ++i) all[i] = (i % 2 ? -0.01 : 0.01) * (i + 1);
  d.dt = 0.25;
  return d;
}

}  // namespace

// Each lane where the delta puts it; the weights scaled by s, the bias
// smoothness weights s / (sigma^2 unit^2 dt) from the keys.
TEST(IBADeltaTest, LanesAreTheDeltaRoundedToFloat) {
  IMUDelta d = DistinctDelta();
  const f64 s = 0.7;
  IBADelta D;
  IBADelta::Set(D, d, s, 1.0);
  // First lane, source, layout (1 broadcast, 3 or 4 a vector, 9 row-major
  // rows, -9 transposed rows, 6 a packed symmetric upper triangle); the
  // weights from lane 24 on are scaled.
  const struct {
    int first;
    const f64* from;
    int layout;
  } lanes[] = {{0, d.dp, 3},       {1, d.dv, 3},       {2, d.dq, 4},       {3, d.ba, 3},
               {4, d.bg, 3},       {5, &d.dt, 1},      {6, d.dp_dba, 9},   {9, d.dp_dbg, 9},
               {12, d.dv_dba, 9},  {15, d.dv_dbg, 9},  {18, d.dr_dbg, 9},  {21, d.dr_dbg, -9},
               {24, &d.wp, 1},     {25, &d.wv, 1},     {26, &d.wr, 1},     {29, &d.wp_dt, 1},
               {30, &d.wpv, 1},    {31, d.wdp_dba, 9}, {34, d.wdp_dbg, 9}, {37, d.wdv_dba, 9},
               {40, d.wdv_dbg, 9}, {43, d.wdr_dbg, 9}, {46, d.Haa, 6},     {49, d.Hag, 9},
               {52, d.Hgg, 6}};
  const int packed[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
  const f32(*got)[4] = reinterpret_cast<const f32(*)[4]>(&D);
  for (const auto& l : lanes) {
    const int rows = std::abs(l.layout) >= 6 ? 3 : 1;
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < 4; ++c) {
        f64 want = 0.0;
        if (l.layout == 1) want = l.from[0];
        if ((l.layout == 3 || l.layout == 4) && c < l.layout) want = l.from[c];
        if (l.layout == 9 && c < 3) want = l.from[3 * r + c];
        if (l.layout == -9 && c < 3) want = l.from[3 * c + r];
        if (l.layout == 6 && c < 3) want = l.from[packed[r][c]];
        EXPECT_EQ(got[l.first + r][c], static_cast<f32>(l.first >= 24 ? want * s : want))
            << "lane " << l.first + r << " float " << c;
      }
  }
  const f64 sa = IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH, sg = IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH;
  const f64 g = IMU::kGravity, k = IMU::kDegreeToRadian;
  for (int c = 0; c < 4; ++c) {
    EXPECT_FLOAT_EQ(D.wba[c], float(s / (sa * sa * g * g * d.dt)));
    EXPECT_FLOAT_EQ(D.wbg[c], float(s / (sg * sg * k * k * d.dt)));
  }
  // The delta's own weights: each key over the largest variance of its block.
  const f64 spread[3][3] = {{1e-4, 3e-4, 2e-4}, {3e-4, 2e-4, 1e-4}, {2e-4, 1e-4, 3e-4}};
  f64* blocks[3] = {d.Spp, d.Svv, d.Srr};
  for (int b = 0; b < 3; ++b)
    for (int j = 0; j < 3; ++j) blocks[b][j * (7 - j) / 2] = spread[b][j];  // packed 0, 3, 5
  IMUDelta::ComputeWeights(d);
  EXPECT_DOUBLE_EQ(d.wp, IMU_DELTA_WEIGHT_POSITION / 3e-4);
  EXPECT_DOUBLE_EQ(d.wv, IMU_DELTA_WEIGHT_VELOCITY / 3e-4);
  EXPECT_DOUBLE_EQ(d.wr, IMU_DELTA_WEIGHT_ROTATION / 3e-4);
  EXPECT_DOUBLE_EQ(d.wpv, d.dt * d.dt * d.wp + d.wv);
}

// A delta over no time (or a reversed one), or a zero smoothness key, must
// not produce inf or NaN weights that would poison every cost containing it;
// just above the guard, and with the other key zero, they are formed.
TEST(IBADeltaTest, ShortDeltasAndZeroKeysGiveZeroWeights) {
  IMUSample prev = {{0.1, 0.2, 0.3}, {0.01, 0.02, 0.03}, 1.0};
  IMUDelta d;
  IMUDelta::Initialize(nullptr, 0, prev, 1.0, d);
  IBADelta D;
  for (const f64 dt : {0.0, -0.01, 1e-7, static_cast<f64>(NAN), 2e-6}) {
    d.dt = dt;
    IBADelta::Set(D, d, 1.0, 1.0);
    const f32* lanes = D.dp;
    for (int i = 0; i < 55 * 4; ++i)  // lane 5 holds dt itself
      EXPECT_TRUE(i / 4 == 5 || std::isfinite(lanes[i])) << "lane " << i / 4 << " dt " << dt;
    for (int c = 0; c < 4; ++c)
      EXPECT_TRUE(dt == 2e-6 ? D.wba[c] > 0.0f : D.wba[c] + D.wbg[c] + D.wp[c] == 0.0f) << dt;
  }
  f64* keys[2] = {&IMU_VARIANCE_ACCELERATION_BIAS_SMOOTH, &IMU_VARIANCE_ROTATION_RATE_BIAS_SMOOTH};
  for (int k = 0; k < 2; ++k) {
    const f64 saved = *keys[k];
    *keys[k] = 0.0;
    IBADelta::Set(D, d, 1.0, 1.0);
    *keys[k] = saved;
    for (int c = 0; c < 4; ++c) EXPECT_EQ((k == 0 ? D.wba : D.wbg)[c], 0.0f) << "zero key";
    EXPECT_GT((k == 0 ? D.wbg : D.wba)[0], 0.0f);
  }
}

// In a map whose unit is not the metre (u units to it) a motion the readings
// explain is u times as long: dp, dv and their bias Jacobians take the unit,
// the position and velocity weights lose its square and their bias cross
// terms lose it once, so a residual u times larger costs what the metric one
// costs. Rotation, biases and their blocks stay.
TEST(IBADeltaTest, InMapUnitsAMotionCostsWhatItCostsInMetres) {
  const IMUDelta d = DistinctDelta();
  const f64 u = 0.4;
  IBADelta metric, scaled;
  IBADelta::Set(metric, d, 0.7, 1.0);
  IBADelta::Set(scaled, d, 0.7, u);
  // Per lane: the factor the unit puts on it.
  std::vector<f64> factor(55, 1.0);
  for (int l : {0, 1, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}) factor[l] = u;
  for (int l : {24, 25, 29, 30}) factor[l] = 1.0 / (u * u);
  for (int l = 31; l < 43; ++l) factor[l] = 1.0 / u;
  const f32(*m)[4] = reinterpret_cast<const f32(*)[4]>(&metric);
  const f32(*s)[4] = reinterpret_cast<const f32(*)[4]>(&scaled);
  for (int l = 0; l < 55; ++l)
    for (int c = 0; c < 4; ++c)
      EXPECT_NEAR(s[l][c], m[l][c] * factor[l], 1e-6 * std::fabs(m[l][c] * factor[l]))
          << "lane " << l << " column " << c;
}

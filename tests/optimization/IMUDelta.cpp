// Preintegration against closed forms, numerical derivatives, a Monte-Carlo
// covariance and the stored 205-double layout.
#include "optimization/IMUDelta.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cfloat>
#include <cstring>
#include <vector>

#include "common/InertialScene.h"
#include "optimization/IMUAlgebra.h"
#include "optimization/IMUParameters.h"

namespace {

using Eigen::Matrix3d;
using Eigen::Vector3d;

Matrix3d Cross(const Vector3d& v) {
  Matrix3d S;
  S << 0, -v.z(), v.y(), v.z(), 0, -v.x(), -v.y(), v.x(), 0;
  return S;
}
Matrix3d Map9(const f64* m) {
  return Eigen::Map<const Eigen::Matrix<f64, 3, 3, Eigen::RowMajor>>(m);
}
Vector3d Map3(const f64* v) {
  return Vector3d(v[0], v[1], v[2]);
}

// A delta at zero with chosen linearisation biases (Initialize takes the
// float priors; derivatives need exact double offsets).
IMUDelta Fresh(const Vector3d& ba = Vector3d::Zero(), const Vector3d& bg = Vector3d::Zero()) {
  IMUDelta d;
  std::memset(&d, 0, sizeof(d));
  d.dq[3] = 1.0;
  d.dr_dr[0] = d.dr_dr[4] = d.dr_dr[8] = 1.0;
  for (int i = 0; i < 3; ++i) d.ba[i] = ba[i], d.bg[i] = bg[i];
  return d;
}

std::vector<IMUSample> Constant(const Vector3d& a, const Vector3d& w, u32 n, f64 dt) {
  std::vector<IMUSample> s(n);
  for (u32 i = 0; i < n; ++i) {
    for (int j = 0; j < 3; ++j) s[i].acceleration[j] = a[j], s[i].rotationRate[j] = w[j];
    s[i].time = i * dt;
  }
  return s;
}

// Integrates samples[1..n-1] after samples[0] up to `end`.
IMUDelta Integrated(const std::vector<IMUSample>& s, f64 end, IMUDelta d) {
  IMUDelta::Integrate(s.data() + 1, static_cast<u32>(s.size() - 1), s[0], end, d);
  return d;
}

// Rotation error theta with b = a (x) (theta/2, 1) to first order.
Vector3d RotationError(const f64* a, const f64* b) {
  const Eigen::Quaterniond r =
      Eigen::Map<const Eigen::Quaterniond>(a).conjugate() * Eigen::Map<const Eigen::Quaterniond>(b);
  return (r.w() < 0 ? -2.0 : 2.0) * r.vec();
}

}  // namespace

// Constant body acceleration a and rate w over T: H(t) = exp(t [w]x), so
// dv = int H a and dp = int int H a have closed forms. Rotation is exact
// under the half-angle scheme; velocity and position are first order in dt.
TEST(IMUDeltaTest, ConstantMotionMatchesClosedForm) {
  const Vector3d a(0.7, -0.4, 1.3), w(0.5, -0.9, 0.3);
  const f64 T = 1.0, th = w.norm();
  const Matrix3d K = Cross(w), I = Matrix3d::Identity();
  const Vector3d dvTrue = (T * I + (1 - std::cos(th * T)) / (th * th) * K +
                           (th * T - std::sin(th * T)) / (th * th * th) * K * K) *
                          a;
  const Vector3d dpTrue =
      (T * T / 2 * I + (T - std::sin(th * T) / th) / (th * th) * K +
       (th * T * T / 2 - (1 - std::cos(th * T)) / th) / (th * th * th) * K * K) *
      a;
  const Vector3d half = w.normalized() * std::sin(th * T / 2);
  f64 errorV[2], errorP[2];
  for (int k = 0; k < 2; ++k) {
    const u32 n = k == 0 ? 200 : 400;
    const IMUDelta d = Integrated(Constant(a, w, n, T / n), T, Fresh());
    const f64 q[4] = {half.x(), half.y(), half.z(), std::cos(th * T / 2)};
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(d.dq[i], q[i], 1e-12);
    EXPECT_DOUBLE_EQ(d.dt, T);
    errorV[k] = (Map3(d.dv) - dvTrue).norm();
    errorP[k] = (Map3(d.dp) - dpTrue).norm();
    EXPECT_LT(errorV[k], 0.02);
    EXPECT_LT(errorP[k], 0.02);
  }
  // Halving dt halves the error: first order, as the scheme is meant to be.
  EXPECT_NEAR(errorV[0] / errorV[1], 2.0, 0.1);
  EXPECT_NEAR(errorP[0] / errorP[1], 2.0, 0.1);
}

// The bias Jacobians against central differences of a re-integration with
// shifted linearisation biases. The accelerometer blocks are exact (the
// scheme is linear in ba); the gyroscope blocks are the scheme's first-order
// derivative and agree to the order of dt.
TEST(IMUDeltaTest, BiasJacobiansMatchCentralDifferences) {
  const InertialScene scene;
  const std::vector<IMUSample> s(scene.samples.begin(), scene.samples.begin() + 200);
  const f64 end = scene.samples[200].time;
  const Vector3d ba(0.02, -0.01, 0.03), bg(0.01, 0.02, -0.015);
  const IMUDelta d = Integrated(s, end, Fresh(ba, bg));
  const f64 h = 1e-5;
  Matrix3d Jpa, Jva, Jpg, Jvg, Jrg;
  for (int j = 0; j < 3; ++j) {
    const Vector3d e = Vector3d::Unit(j) * h;
    const IMUDelta pa = Integrated(s, end, Fresh(ba + e, bg)),
                   ma = Integrated(s, end, Fresh(ba - e, bg));
    const IMUDelta pg = Integrated(s, end, Fresh(ba, bg + e)),
                   mg = Integrated(s, end, Fresh(ba, bg - e));
    Jpa.col(j) = (Map3(pa.dp) - Map3(ma.dp)) / (2 * h);
    Jva.col(j) = (Map3(pa.dv) - Map3(ma.dv)) / (2 * h);
    Jpg.col(j) = (Map3(pg.dp) - Map3(mg.dp)) / (2 * h);
    Jvg.col(j) = (Map3(pg.dv) - Map3(mg.dv)) / (2 * h);
    Jrg.col(j) = (RotationError(d.dq, pg.dq) - RotationError(d.dq, mg.dq)) / (2 * h);
  }
  EXPECT_LT((Map9(d.dp_dba) - Jpa).norm(), 1e-8);
  EXPECT_LT((Map9(d.dv_dba) - Jva).norm(), 1e-8);
  EXPECT_LT((Map9(d.dp_dbg) - Jpg).norm(), 0.005 * Jpg.norm());
  EXPECT_LT((Map9(d.dv_dbg) - Jvg).norm(), 0.005 * Jvg.norm());
  EXPECT_LT((Map9(d.dr_dbg) - Jrg).norm(), 0.005 * Jrg.norm());
}

// The propagated covariance against the spread of many integrations with
// white noise of the configured variances added to every sample.
TEST(IMUDeltaTest, CovarianceMatchesMonteCarlo) {
  const InertialScene scene;
  const std::vector<IMUSample> s(scene.samples.begin(), scene.samples.begin() + 40);
  const f64 end = scene.samples[40].time;
  const IMUDelta d = Integrated(s, end, Fresh());
  const f64 sa = std::sqrt(IMU::AccelerationNoiseVariance());
  const f64 sg = std::sqrt(IMU::RotationRateNoiseVariance());
  const int runs = 4000;
  Eigen::Matrix<f64, 9, 9> C = Eigen::Matrix<f64, 9, 9>::Zero();
  Random::Seed(7);
  for (int r = 0; r < runs; ++r) {
    std::vector<IMUSample> noisy = s;
    for (IMUSample& x : noisy)
      for (int j = 0; j < 3; ++j) {
        x.acceleration[j] += sa * GaussianD();
        x.rotationRate[j] += sg * GaussianD();
      }
    const IMUDelta n = Integrated(noisy, end, Fresh());
    Eigen::Matrix<f64, 9, 1> e;
    e << Map3(n.dp) - Map3(d.dp), Map3(n.dv) - Map3(d.dv), RotationError(d.dq, n.dq);
    C += e * e.transpose() / runs;
  }
  // (position, velocity, rotation) blocks; the diagonal ones packed.
  Eigen::Matrix<f64, 9, 9> S;
  const f64* blocks[6] = {d.Spp, d.Spv, d.Spr, d.Svv, d.Svr, d.Srr};
  for (int bi = 0, n = 0; bi < 3; ++bi)
    for (int bj = bi; bj < 3; ++bj, ++n)
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
          S(3 * bi + r, 3 * bj + c) = S(3 * bj + c, 3 * bi + r) =
              blocks[n][bi == bj ? PackedIndex3(r, c) : 3 * r + c];
  // Entries within 10% of the scale of their row and column (sampling error
  // of 4000 runs is about 3%).
  for (int r = 0; r < 9; ++r)
    for (int c = 0; c < 9; ++c)
      EXPECT_NEAR(C(r, c), S(r, c), 0.1 * std::sqrt(S(r, r) * S(c, c))) << r << ", " << c;
}

// Extending a delta that ended at its last sample by a second call from that
// sample equals one call over the joined run, byte for byte (times are
// binary fractions so that the two dt sums round alike).
TEST(IMUDeltaTest, TwoIntegrateCallsEqualOne) {
  std::vector<IMUSample> s =
      Constant(Vector3d(0.3, 0.1, -0.2), Vector3d(0.2, 0.4, -0.6), 65, 1.0 / 256);
  for (u32 i = 0; i < s.size(); ++i)
    s[i].acceleration[0] += 0.01 * i, s[i].rotationRate[2] -= 0.02 * i;
  const f64 end = s.back().time;
  IMUDelta one, two;
  IMUDelta::Initialize(s.data() + 1, 63, s[0], end, one);
  IMUDelta::Initialize(s.data() + 1, 29, s[0], s[29].time, two);
  IMUDelta::Integrate(s.data() + 30, 34, s[29], end, two);
  EXPECT_EQ(0, std::memcmp(&one, &two, sizeof(IMUDelta)));
}

TEST(IMUDeltaTest, DegenerateRuns) {
  // A fresh delta over a zero interval: identity rotation, zero covariance,
  // zero weights (not inf).
  IMUSample prev = {{1, 2, 3}, {0.1, 0.2, 0.3}, 5.0};
  IMUDelta d;
  EXPECT_EQ(0u, IMUDelta::Initialize(nullptr, 0, prev, 5.0, d));
  const f64 zeros[] = {d.dq[0], d.dq[1], d.dq[2], d.wp, d.wv, d.wr, d.dt};
  for (f64 v : zeros) EXPECT_EQ(0.0, v);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(0.0, std::fabs(d.Spp[i]) + std::fabs(d.Srr[i]));
  EXPECT_EQ(1.0, d.dq[3]);

  // An empty run integrates prev -> end with prev's readings.
  IMUDelta::Initialize(nullptr, 0, prev, 5.5, d);
  EXPECT_DOUBLE_EQ(0.5, d.dt);
  EXPECT_NEAR(d.dv[0], 0.5, 1e-15);
  EXPECT_NEAR(d.dq[0], 0.1 * std::sin(std::sqrt(0.14) * 0.25) / std::sqrt(0.14), 1e-15);

  // A rate below sqrt(DBL_EPSILON) takes the first-order increment, and from
  // the identity G = -dt (I - dt [w]x).
  const Vector3d w(3e-9, -4e-9, 5e-9);
  const IMUDelta f = Integrated(Constant(Vector3d::Zero(), w, 1, 0.1), 0.1, Fresh());
  EXPECT_EQ(w.x() * 0.05, f.dq[0]);
  EXPECT_EQ(1.0, f.dq[3]);
  const Matrix3d G = -0.1 * (Matrix3d::Identity() - 0.1 * Cross(w));
  EXPECT_LT((Map9(f.dr_dbg) - G).norm(), 1e-20);
}

// Samples overlapping the previous frame or running past the end time are
// skipped and counted, never integrated backwards; only time inside
// [previous, end] is integrated.
TEST(IMUDeltaTest, OutOfOrderSamplesAreSkippedAndCounted) {
  std::vector<IMUSample> s = Constant(Vector3d(1, 0, 0), Vector3d::Zero(), 4, 0.01);
  s[0].time = 1.0;   // previous
  s[1].time = 0.99;  // overlaps the previous frame
  s[2].time = 1.01;
  s[3].time = 1.05;  // past the end time
  IMUDelta d;
  const u32 skipped = IMUDelta::Initialize(s.data() + 1, 3, s[0], 1.03, d);
  EXPECT_EQ(2u, skipped);  // 1.0 -> 0.99 and 1.05 -> 1.03
  EXPECT_NEAR(0.03, d.dt, 1e-15);
  EXPECT_NEAR(0.03, d.dv[0], 1e-15);  // unit acceleration over the covered time
  EXPECT_TRUE(std::isfinite(d.wp) && std::isfinite(d.wv) && std::isfinite(d.wr));

  // A NaN time is skipped too, and an end before the start adds no time.
  s[2].time = NAN;
  IMUDelta n;
  IMUDelta::Initialize(s.data() + 1, 2, s[0], 0.9, n);
  EXPECT_EQ(0.0, n.dt);
  for (f64 v : n.dv) EXPECT_EQ(0.0, v);
}

// The stored form: 205 little-endian doubles in field order, 1640 bytes,
// written and read back byte for byte; a short file leaves the record alone.
TEST(IMUDeltaTest, StoredLayoutRoundTrips) {
  InertialScene scene;
  const IMUDelta d = scene.Preintegrate(1, 2);
  FILE* f = std::tmpfile();
  ASSERT_NE(nullptr, f);
  ASSERT_TRUE(d.Write(f));
  EXPECT_EQ(1640, std::ftell(f));
  std::rewind(f);
  unsigned char bytes[8];
  ASSERT_EQ(8u, std::fread(bytes, 1, 8, f));
  u64 bits = 0;
  for (int i = 7; i >= 0; --i) bits = bits << 8 | bytes[i];
  f64 first;
  std::memcpy(&first, &bits, 8);
  EXPECT_EQ(d.dp[0], first);  // little-endian dp[0] leads
  std::rewind(f);
  IMUDelta r;
  std::memset(&r, 0xAB, sizeof(r));
  ASSERT_TRUE(r.Read(f));
  EXPECT_EQ(0, std::memcmp(&d, &r, sizeof(IMUDelta)));

  // Truncated: the reader refuses and keeps what it had.
  FILE* g = std::tmpfile();
  ASSERT_EQ(1000u, std::fwrite(&d, 1, 1000, g));
  std::rewind(g);
  IMUDelta kept = r;
  EXPECT_FALSE(kept.Read(g));
  EXPECT_EQ(0, std::memcmp(&kept, &r, sizeof(IMUDelta)));
  std::fclose(f);
  std::fclose(g);
}

// A state predicted across a delta with other biases than its linearisation
// ones equals, to first order, the state predicted across the delta
// re-integrated at those biases (where no correction applies).
TEST(IMUDeltaTest, PredictStateCorrectsForTheBiasesToFirstOrder) {
  const Vector3d a(0.7, -0.4, 1.3), w(0.5, -0.9, 0.3), ba(0.02, -0.03, 0.01),
      bg(0.004, 0.003, -0.005);
  const std::vector<IMUSample> s = Constant(a, w, 100, 0.005);
  const IMUDelta linearised = Integrated(s, 0.5, Fresh()),
                 exact = Integrated(s, 0.5, Fresh(ba, bg));
  IMUState in = {{1.0, 2.0, -0.5}, {0.3, -0.2, 0.1}, {0.1, -0.2, 0.3, 0.927}, {}, {}, 4.0};
  const double n = Eigen::Map<Eigen::Vector4d>(in.quaternion).norm();
  for (double& q : in.quaternion) q /= n;
  for (int i = 0; i < 3; ++i) in.accelerometerBias[i] = ba[i], in.gyroscopeBias[i] = bg[i];
  IMUState corrected, reference;
  IMUDelta::PredictState(in, linearised, corrected);
  IMUDelta::PredictState(in, exact, reference);
  EXPECT_LT((Map3(corrected.position) - Map3(reference.position)).norm(), 1e-5);
  EXPECT_LT((Map3(corrected.velocity) - Map3(reference.velocity)).norm(), 1e-4);
  EXPECT_LT(RotationError(corrected.quaternion, reference.quaternion).norm(), 1e-5);
  // The correction matters: without it the states are far apart.
  for (int i = 0; i < 3; ++i) in.accelerometerBias[i] = in.gyroscopeBias[i] = 0.0;
  IMUState uncorrected;
  IMUDelta::PredictState(in, linearised, uncorrected);
  EXPECT_GT((Map3(uncorrected.position) - Map3(reference.position)).norm(), 1e-3);
  EXPECT_GT((Map3(uncorrected.velocity) - Map3(reference.velocity)).norm(), 1e-2);
  EXPECT_GT(RotationError(uncorrected.quaternion, reference.quaternion).norm(), 1e-3);
}

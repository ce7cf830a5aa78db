// Preintegration against the scene's true trajectory, its own linearisation
// (bias Jacobians and covariance from finite differences of the samples),
// the defined gyroscope-bias block of a step, and the stored form; the
// gyroscope-only attitude propagation that shares its rotation increment.
#include "optimization/IMUDelta.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "common/InertialScene.h"
#include "optimization/IMUAlgebra.h"
#include "optimization/IMUAttitude.h"
#include "optimization/IMUParameters.h"

namespace {

using Eigen::Matrix3d;
using Eigen::Vector3d;
using Matrix9d = Eigen::Matrix<f64, 9, 9>;
using Vector9d = Eigen::Matrix<f64, 9, 1>;

using Map9 = Eigen::Map<const Eigen::Matrix<f64, 3, 3, Eigen::RowMajor>>;
using Map3 = Eigen::Map<const Vector3d>;

// A delta at zero with chosen linearisation biases (Initialize takes the
// float priors; derivatives need exact double offsets).
IMUDelta Fresh(const Vector3d& ba = Vector3d::Zero(), const Vector3d& bg = Vector3d::Zero()) {
  IMUDelta d;
  SetEmptyIMUDelta(d);
  for (int i = 0; i < 3; ++i) d.ba[i] = ba[i], d.bg[i] = bg[i];
  return d;
}

// n samples dt apart reading a + (ra i, 0, 0) and w - (0, 0, rw i).
std::vector<IMUSample> Samples(Vector3d a, Vector3d w, u32 n, f64 dt, f64 ra = 0, f64 rw = 0) {
  std::vector<IMUSample> s(n);
  for (u32 i = 0; i < n; ++i) {
    for (int j = 0; j < 3; ++j) s[i].acceleration[j] = a[j], s[i].rotationRate[j] = w[j];
    s[i].acceleration[0] += ra * i, s[i].rotationRate[2] -= rw * i;
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

// (position, velocity, rotation) of b relative to a.
Vector9d Difference(const IMUDelta& a, const IMUDelta& b) {
  Vector9d e;
  e << Map3(b.dp) - Map3(a.dp), Map3(b.dv) - Map3(a.dv), RotationError(a.dq, b.dq);
  return e;
}

// True when every one of the 205 doubles is finite.
bool Finite(const IMUDelta& d) {
  const f64* v = reinterpret_cast<const f64*>(&d);
  return std::all_of(v, v + sizeof(IMUDelta) / sizeof(f64), [](f64 x) { return std::isfinite(x); });
}

}  // namespace

// Bias Jacobians and covariance are the scheme's linearisation: with J the
// derivatives of the delta by the readings of each sample, d/dba = -sum J_a,
// d/dbg = -sum J_g and Sigma = sum na J_a J_a^T + ng J_g J_g^T. A strong
// gyroscope noise makes the velocity covariance far from isotropic. The
// gyroscope blocks are the scheme's own first-order ones (see the test
// below) and agree to the order of w dt.
TEST(IMUDeltaTest, JacobiansAndCovarianceAreTheSchemesLinearisation) {
  const f64 savedRate = IMU_VARIANCE_ROTATION_RATE;
  IMU_VARIANCE_ROTATION_RATE = 20.0;
  const f64 na = IMU::AccelerationNoiseVariance(), ng = IMU::RotationRateNoiseVariance(), h = 1e-6;
  const std::vector<IMUSample> s =
      Samples(Vector3d(3.0, -8.0, 5.0), Vector3d(0.5, -0.8, 0.4), 30, 0.01, 0.3, 0.02);
  const IMUDelta f = Fresh(Vector3d(0.02, -0.01, 0.03), Vector3d(0.01, 0.02, -0.015));
  const IMUDelta d = Integrated(s, 0.3, f);
  IMU_VARIANCE_ROTATION_RATE = savedRate;
  Eigen::Matrix<f64, 9, 3> Ja = Eigen::Matrix<f64, 9, 3>::Zero(), Jg = Ja;
  Matrix9d C = Matrix9d::Zero();
  for (u32 i = 0; i < s.size(); ++i) {
    Eigen::Matrix<f64, 9, 6> J;
    for (int k = 0; k < 6; ++k) {
      std::vector<IMUSample> plus = s, minus = s;
      *(k < 3 ? &plus[i].acceleration[k] : &plus[i].rotationRate[k - 3]) += h;
      *(k < 3 ? &minus[i].acceleration[k] : &minus[i].rotationRate[k - 3]) -= h;
      J.col(k) =
          (Difference(d, Integrated(plus, 0.3, f)) - Difference(d, Integrated(minus, 0.3, f))) /
          (2 * h);
    }
    Ja -= J.leftCols<3>();
    Jg -= J.rightCols<3>();
    C += na * J.leftCols<3>() * J.leftCols<3>().transpose() +
         ng * J.rightCols<3>() * J.rightCols<3>().transpose();
  }
  EXPECT_LT((Map9(d.dp_dba) - Ja.topRows<3>()).norm(), 1e-8);
  EXPECT_LT((Map9(d.dv_dba) - Ja.middleRows<3>(3)).norm(), 1e-8);
  EXPECT_EQ(Ja.bottomRows<3>().norm(), 0.0);
  EXPECT_LT((Map9(d.dp_dbg) - Jg.topRows<3>()).norm(), 0.01 * Jg.topRows<3>().norm());
  EXPECT_LT((Map9(d.dv_dbg) - Jg.middleRows<3>(3)).norm(), 0.01 * Jg.middleRows<3>(3).norm());
  EXPECT_LT((Map9(d.dr_dbg) - Jg.bottomRows<3>()).norm(), 0.01 * Jg.bottomRows<3>().norm());
  // (position, velocity, rotation) blocks; the diagonal ones packed.
  Matrix9d S;
  const f64* blocks[6] = {d.Spp, d.Spv, d.Spr, d.Svv, d.Svr, d.Srr};
  for (int bi = 0, n = 0; bi < 3; ++bi)
    for (int bj = bi; bj < 3; ++bj, ++n)
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
          S(3 * bi + r, 3 * bj + c) = S(3 * bj + c, 3 * bi + r) =
              blocks[n][bi == bj ? PackedIndex3(r, c) : 3 * r + c];
  for (int r = 0; r < 9; ++r)
    for (int c = 0; c < 9; ++c)
      EXPECT_NEAR(C(r, c), S(r, c), 5e-4 * std::sqrt(S(r, r) * S(c, c))) << r << ", " << c;
  // Unit weights over the largest variance of each block.
  for (const f64 w :
       {d.wp * S.diagonal().head<3>().maxCoeff(), d.wv * S.diagonal().segment<3>(3).maxCoeff(),
        d.wr * S.diagonal().tail<3>().maxCoeff()})
    EXPECT_DOUBLE_EQ(w, 1.0);
}

// One step's gyroscope-bias block G is the derivative by the bias of
// 2 vec(p (x) delta(w - bg)), p = (-e, d) formed from the rotation increments
// before (q0) and after (q1) the step: not the group's right Jacobian. A
// fast rate over a long step (w dt = 0.6) makes its second-order parts
// count, and a start with a negative scalar part flips s0. The attitude
// propagation shares the increment: a constant rate turns it by the
// closed-form rotation, gravity the third row of H(q), the world z axis in
// the body. Normalising a quaternion scales it to unit length with a
// non-negative scalar part.
TEST(IMUDeltaTest, RotationIncrementsGyroscopeBiasBlockAttitudeAndNormalisation) {
  const Vector3d w(8.0, -12.0, 5.0), bg(0.1, -0.2, 0.3);
  const f64 dt = 0.04, h = 1e-6;
  const auto increment = [dt](const Vector3d& r) {
    const Vector3d u = r * std::sin(r.norm() * dt / 2) / r.norm();
    return Eigen::Quaterniond(std::cos(r.norm() * dt / 2), u.x(), u.y(), u.z());
  };
  for (const Eigen::Quaterniond& q0 :
       {Eigen::Quaterniond::Identity(), Eigen::Quaterniond(-0.6, 0.3, -0.5, 0.2)}) {
    IMUDelta d = Fresh(Vector3d::Zero(), bg);
    Eigen::Map<Eigen::Quaterniond>(d.dq) = q0;
    d = Integrated(Samples(Vector3d(1, 2, 3), w, 1, dt), dt, d);
    const Eigen::Quaterniond q1 = Eigen::Map<const Eigen::Quaterniond>(d.dq);
    const f64 s0 = q0.w() > 0 ? 1 : -1, s1 = q1.w() > 0 ? 1 : -1;
    const Vector3d e =
        2 * (s1 * q0.w() * q1.vec() - s0 * q1.w() * q0.vec()) - q0.vec().cross(q1.vec());
    const Eigen::Quaterniond p(q0.w() * q1.w() + q0.vec().dot(q1.vec()), -e.x(), -e.y(), -e.z());
    Matrix3d G;
    for (int k = 0; k < 3; ++k) {
      const Vector3d step = Vector3d::Unit(k) * h;
      G.col(k) = ((p * increment(w - bg - step)).vec() - (p * increment(w - bg + step)).vec()) / h;
    }
    EXPECT_LT((Map9(d.dr_dbg) - G).norm(), 1e-9);
  }

  const Vector3d r(0.3, -0.5, 0.8);
  IMUAttitude a = {{0, 0, 0, 1}, {0, 0, 1}, 2.0};
  for (int i = 1; i <= 100; ++i) IMU::IntegrateRotation(a, r.data(), 2.0 + 0.01 * i, a);
  EXPECT_DOUBLE_EQ(3.0, a.time);
  const Eigen::Quaterniond q(Eigen::AngleAxisd(r.norm(), r.normalized()));
  EXPECT_LT((q.coeffs() - Eigen::Map<const Eigen::Vector4d>(a.quaternion)).norm(), 1e-13);
  EXPECT_LT((q.toRotationMatrix().row(2).transpose() - Map3(a.gravity)).norm(), 1e-15);
  f64 n[4] = {0.9, 1.2, 0.0, -2.0};
  NormalizeQuaternion(n);
  const f64 expected[4] = {-0.36, -0.48, 0.0, 0.8};
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(n[k], expected[k], 1e-15) << k;
}

// Predicting the scene's true state at one key frame across the delta to the
// next reaches the next key frame's true state, up to the scheme's first
// order; with biases in the samples the prediction from the true biases
// equals, to second order, the one across a delta re-integrated at them.
TEST(IMUDeltaTest, PredictStateFollowsTheTrajectoryAndCorrectsForTheBiases) {
  const InertialScene scene;
  for (u32 k = 1; k < 4; ++k) {
    IMUState out;
    IMUDelta::PredictState(scene.keyFrames[k].state, scene.Preintegrate(k, k + 1), 1.0, out);
    const IMUState& truth = scene.keyFrames[k + 1].state;
    EXPECT_LT((Map3(out.position) - Map3(truth.position)).norm(), 3e-4) << k;
    EXPECT_LT((Map3(out.velocity) - Map3(truth.velocity)).norm(), 3e-4) << k;
    EXPECT_LT(RotationError(out.quaternion, truth.quaternion).norm(), 3e-4) << k;
    EXPECT_DOUBLE_EQ(out.time, truth.time);
  }
  const Vector3d a(0.7, -0.4, 1.3), w(0.5, -0.9, 0.3), ba(0.02, -0.03, 0.01),
      bg(0.004, 0.003, -0.005);
  const std::vector<IMUSample> s = Samples(a, w, 100, 0.005);
  const IMUDelta linearised = Integrated(s, 0.5, Fresh()),
                 exact = Integrated(s, 0.5, Fresh(ba, bg));
  IMUState in = scene.keyFrames[2].state, corrected, reference;
  for (int i = 0; i < 3; ++i) in.accelerometerBias[i] = ba[i], in.gyroscopeBias[i] = bg[i];
  IMUDelta::PredictState(in, linearised, 1.0, corrected);
  IMUDelta::PredictState(in, exact, 1.0, reference);
  EXPECT_LT((Map3(corrected.position) - Map3(reference.position)).norm(), 1e-5);
  EXPECT_LT((Map3(corrected.velocity) - Map3(reference.velocity)).norm(), 1e-4);
  EXPECT_LT(RotationError(corrected.quaternion, reference.quaternion).norm(), 1e-5);
  EXPECT_EQ(Map3(corrected.gyroscopeBias), bg);
  // In a map of 0.4 units to the metre the readings' motion is 0.4 as long;
  // the state's own velocity is in map units already, and turns stay.
  IMUState inUnits;
  IMUDelta::PredictState(in, linearised, 0.4, inUnits);
  const Vector3d carried = Map3(in.position) + linearised.dt * Map3(in.velocity);
  EXPECT_LT((Map3(inUnits.position) - carried - 0.4 * (Map3(corrected.position) - carried)).norm(),
            1e-12);
  EXPECT_LT((Map3(inUnits.velocity) - Map3(in.velocity) -
             0.4 * (Map3(corrected.velocity) - Map3(in.velocity)))
                .norm(),
            1e-12);
  EXPECT_LT(RotationError(inUnits.quaternion, corrected.quaternion).norm(), 1e-15);
}

// Empty and zero-length runs, the first-order branch of a tiny rate, and
// samples out of order or with NaN or infinite readings (one used to make
// the whole delta non-finite while the skip count said nothing was
// skipped): skipped and counted, never integrated backwards, only time
// inside [previous, end] integrated.
TEST(IMUDeltaTest, DegenerateDisorderedAndNonFiniteRuns) {
  const IMUSample prev = {{1, 2, 3}, {0.1, 0.2, 0.3}, 5.0};
  IMUDelta d;
  EXPECT_EQ(0u, IMUDelta::Initialize(nullptr, 0, prev, 5.0, d));
  IMUDelta zero = Fresh();
  EXPECT_EQ(0, std::memcmp(&d, &zero, sizeof(IMUDelta)));  // weights 0, not inf
  // It linearises about the process-wide bias priors, every axis of them.
  const LA::AlignedVector4f ba = IMU::accelerometerBiasPrior, bg = IMU::gyroscopeBiasPrior;
  IMU::accelerometerBiasPrior = {{0.25f, -0.5f, 0.125f, 0.0f}};
  IMU::gyroscopeBiasPrior = {{-0.125f, 0.0625f, 0.5f, 0.0f}};
  IMUDelta::Initialize(nullptr, 0, prev, 5.0, d);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(d.ba[i], IMU::accelerometerBiasPrior[i]) << i;
    EXPECT_EQ(d.bg[i], IMU::gyroscopeBiasPrior[i]) << i;
  }
  IMU::accelerometerBiasPrior = ba, IMU::gyroscopeBiasPrior = bg;
  // An empty run integrates prev -> end with prev's readings.
  IMUDelta::Initialize(nullptr, 0, prev, 5.5, d);
  EXPECT_DOUBLE_EQ(0.5, d.dt);
  EXPECT_NEAR(d.dv[0], 0.5, 1e-15);
  EXPECT_NEAR(d.dq[0], 0.1 * std::sin(std::sqrt(0.14) * 0.25) / std::sqrt(0.14), 1e-15);

  // Below |w|^2 = DBL_EPSILON the increment is first order, and from the
  // identity G = -dt (I - dt [w]x), not the right Jacobian's dt [w]x / 2.
  const Vector3d w(3e-9, -4e-9, 5e-9);
  const IMUDelta f = Integrated(Samples(Vector3d::Zero(), w, 1, 0.1), 0.1, Fresh());
  EXPECT_EQ(w.x() * 0.05, f.dq[0]);
  EXPECT_EQ(1.0, f.dq[3]);
  const Matrix3d I = Matrix3d::Identity(), minusWx = I.colwise().cross(w);
  EXPECT_LT((Map9(f.dr_dbg) + 0.1 * (I + 0.1 * minusWx)).norm(), 1e-20);

  std::vector<IMUSample> s = Samples(Vector3d(1, 0, 0), Vector3d::Zero(), 4, 0.01);
  const f64 times[4] = {1.0, 0.99, 1.01, 1.05};  // previous, overlapping it, inside, past the end
  for (int i = 0; i < 4; ++i) s[i].time = times[i];
  EXPECT_EQ(2u, IMUDelta::Initialize(s.data() + 1, 3, s[0], 1.03, d));
  EXPECT_NEAR(0.03, d.dt, 1e-15);
  EXPECT_NEAR(0.03, d.dv[0], 1e-15);  // unit acceleration over the covered time
  // An end before the start adds no time; an infinite one is counted.
  IMUDelta::Initialize(s.data() + 1, 2, s[0], 0.9, d);
  EXPECT_EQ(0.0, d.dt);
  const f64 inf = std::numeric_limits<f64>::infinity();
  EXPECT_EQ(2u, IMUDelta::Initialize(s.data() + 1, 3, s[0], inf, d));
  EXPECT_TRUE(Finite(d));
  // A non-finite acceleration or rate loses its sample's 20 ms.
  for (const f64 bad : {std::numeric_limits<f64>::quiet_NaN(), inf, -inf}) {
    for (const int field : {1, 5}) {  // acceleration[1], rotationRate[2]
      std::vector<IMUSample> t = s;
      reinterpret_cast<f64*>(&t[2])[field] = bad;
      EXPECT_EQ(3u, IMUDelta::Initialize(t.data() + 1, 3, t[0], 1.03, d)) << bad;
      EXPECT_TRUE(Finite(d)) << bad;
      EXPECT_NEAR(0.03, d.dt, 1e-15);
      EXPECT_NEAR(0.01, d.dv[0], 1e-15);
    }
  }
}

// Extending a delta that ended at its last sample by a second call from that
// sample equals one call over the joined run, byte for byte (times are
// binary fractions so that the two dt sums round alike). The stored form:
// 205 doubles in field order, written and read back byte for byte; a short
// file leaves the record alone.
TEST(IMUDeltaTest, TwoIntegrateCallsEqualOneAndTheStoredFormRoundTrips) {
  const std::vector<IMUSample> s =
      Samples(Vector3d(0.3, 0.1, -0.2), Vector3d(0.2, 0.4, -0.6), 65, 1.0 / 256, 0.01, 0.02);
  IMUDelta d, two;
  IMUDelta::Initialize(s.data() + 1, 63, s[0], s.back().time, d);
  IMUDelta::Initialize(s.data() + 1, 29, s[0], s[29].time, two);
  IMUDelta::Integrate(s.data() + 30, 34, s[29], s.back().time, two);
  EXPECT_EQ(0, std::memcmp(&d, &two, sizeof(IMUDelta)));

  FILE *f = std::tmpfile(), *g = std::tmpfile();
  ASSERT_TRUE(f && g && d.Write(f));
  EXPECT_EQ(1640, std::ftell(f));
  ASSERT_EQ(1000u, std::fwrite(&d, 1, 1000, g));
  std::rewind(f);
  std::rewind(g);
  IMUDelta r;
  std::memset(&r, 0xAB, sizeof(r));
  ASSERT_TRUE(r.Read(f));
  EXPECT_FALSE(r.Read(g));
  EXPECT_EQ(0, std::memcmp(&d, &r, sizeof(IMUDelta)));
  std::fclose(f);
  std::fclose(g);
}

// Dropping the translation zeroes every weight that the position and
// velocity terms carry, alone or through the bias blocks, and leaves the
// rotation's; weighing the delta again brings them back.
TEST(IMUDeltaTest, DroppedTranslationLeavesOnlyTheRotationWeighted) {
  const std::vector<IMUSample> s =
      Samples(Vector3d(0.3, 0.1, -0.2), Vector3d(0.2, 0.4, -0.6), 40, 0.005, 0.01, 0.02);
  IMUDelta d;
  SetEmptyIMUDelta(d);
  EXPECT_TRUE(IMUDelta::HasTranslation(d));  // nothing integrated, nothing lost
  IMUDelta::Initialize(s.data() + 1, 39, s[0], 0.2, d);
  EXPECT_TRUE(IMUDelta::HasTranslation(d));
  const IMUDelta full = d;
  IMUDelta::DropTranslation(d);
  EXPECT_FALSE(IMUDelta::HasTranslation(d));
  EXPECT_TRUE(d.wp == 0.0 && d.wv == 0.0 && d.wp_dt == 0.0 && d.wpv == 0.0);
  const f64* zero[6] = {d.wdp_dba, d.wdp_dbg, d.wdv_dba, d.wdv_dbg, d.Haa, d.Hag};
  for (const f64* m : zero)
    for (int i = 0; i < 6; ++i) EXPECT_EQ(m[i], 0.0);
  EXPECT_LT(d.Hgg[0], full.Hgg[0]);  // the rotation's part of it stays
  EXPECT_GT(d.Hgg[0], 0.0);
  EXPECT_EQ(d.wr, full.wr);
  EXPECT_EQ(0, std::memcmp(d.wdr_dbg, full.wdr_dbg, sizeof(d.wdr_dbg)));
  EXPECT_EQ(0, std::memcmp(d.dp, full.dp, sizeof(f64) * 10));  // increments untouched
  IMUDelta::ComputeWeights(d);
  EXPECT_EQ(0, std::memcmp(&d, &full, sizeof(IMUDelta)));
  // A coarser rotation: its weight, and what it carries, scale with it.
  IMUDelta::DropTranslation(d, 0.25);
  EXPECT_EQ(d.wr, 0.25 * full.wr);
  EXPECT_NEAR(d.wdr_dbg[4], 0.25 * full.wdr_dbg[4], 1e-12 * std::fabs(full.wdr_dbg[4]));
}

// Intervals shorter than a microsecond are the rounding of coinciding times
// and are not integrated: over them alone a delta has no covariance and no
// weight, and their time counts. A reading stamped a rounding after the
// frame before, then held to the frame, left a position variance near 1e-38
// and a weight past a float's range; now the one interval it holds is an
// ordinary first one, with no position weight. A position weight whose dt^2
// wp would pass a double's range goes. Ordinary intervals keep their weights
// bit for bit.
TEST(IMUDeltaTest, TinyIntervalsGiveNoWeightInsteadOfAnInfiniteOne) {
  const IMUSample prev = {{0.3, -9.8, 0.2}, {0.1, 0.2, -0.3}, 0.0};
  IMUDelta d;
  for (const f64 end : {7.9e-155, 1e-30, 0.9e-6}) {
    IMUDelta::Initialize(nullptr, 0, prev, end, d);
    EXPECT_TRUE(Finite(d));
    EXPECT_EQ(d.dt, end);
    EXPECT_TRUE(d.Svv[0] == 0.0 && d.Srr[0] == 0.0);
    EXPECT_TRUE(d.wp == 0.0 && d.wv == 0.0 && d.wr == 0.0);
  }
  IMUSample atFrame = prev, rounded = prev;
  atFrame.time = 0.3;
  rounded.time = std::nextafter(0.3, 1.0);
  IMUDelta::Initialize(&rounded, 1, atFrame, 0.3 + 1.0 / 30.0, d);
  EXPECT_TRUE(Finite(d));
  EXPECT_GT(d.wv, 0.0);
  EXPECT_EQ(d.wp, 0.0);
  IMUDelta::Initialize(nullptr, 0, prev, 2e-6, d);
  EXPECT_GT(d.Svv[0], 0.0);  // past the bound, integrated
  IMUDelta big = d;
  big.dt = 1e10;
  for (const int i : {0, 3, 5}) big.Spp[i] = 1e-300;
  IMUDelta::ComputeWeights(big);
  EXPECT_EQ(big.wp, 0.0);
  EXPECT_EQ(big.wpv, big.wv);

  const std::vector<IMUSample> s =
      Samples(Vector3d(0.3, 0.1, -9.7), Vector3d(0.2, 0.4, -0.6), 40, 0.005, 0.01, 0.02);
  IMUDelta::Initialize(s.data() + 1, 39, s[0], 0.2, d);
  const auto largest = [](const f64* P) { return std::max({P[0], P[3], P[5]}); };
  EXPECT_EQ(d.wp, IMU_DELTA_WEIGHT_POSITION / largest(d.Spp));
  EXPECT_EQ(d.wv, IMU_DELTA_WEIGHT_VELOCITY / largest(d.Svv));
  EXPECT_EQ(d.wr, IMU_DELTA_WEIGHT_ROTATION / largest(d.Srr));
  EXPECT_EQ(d.wp_dt, d.dt * d.wp);
  EXPECT_EQ(d.wpv, d.dt * (d.dt * d.wp) + d.wv);
}

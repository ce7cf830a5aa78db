// Time per IMU sample of IMUDelta::Integrate over ten minutes of 200 Hz
// samples cut into deltas of 0.1 s and 1 s, beside a straightforward Eigen
// implementation of the same first-order scheme (full 9x9 covariance
// product), with the largest difference between the two results.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/Draws.h"
#include "la/Random.h"
#include "optimization/IMUDelta.h"
#include "optimization/IMUParameters.h"

namespace {

using Mat3 = Eigen::Matrix3d;
using Vec3 = Eigen::Vector3d;
using Mat9 = Eigen::Matrix<double, 9, 9>;

constexpr f64 kRate = 200.0;
constexpr u32 kSamples = 10 * 60 * 200;

const std::vector<IMUSample>& Samples() {
  static std::vector<IMUSample> samples = [] {
    std::vector<IMUSample> s(kSamples + 1);
    Random::Seed(3);
    const auto u = [] { return UniformD(-0.5, 0.5); };
    for (u32 i = 0; i <= kSamples; ++i) {
      const f64 t = i / kRate;
      s[i].acceleration[0] = 0.5 * std::sin(0.7 * t) + 0.05 * u();
      s[i].acceleration[1] = 0.3 * std::cos(0.4 * t) + 0.05 * u();
      s[i].acceleration[2] = 0.2 * std::sin(1.1 * t) + 0.05 * u();
      s[i].rotationRate[0] = 0.4 * std::sin(0.3 * t) + 0.01 * u();
      s[i].rotationRate[1] = 0.2 * std::cos(0.9 * t) + 0.01 * u();
      s[i].rotationRate[2] = 0.3 * std::sin(0.5 * t + 1) + 0.01 * u();
      s[i].time = t;
    }
    return s;
  }();
  return samples;
}

// The same scheme written plainly with Eigen types.
struct EigenDelta {
  Vec3 dp, dv, ba, bg;
  Eigen::Quaterniond dq;
  Mat3 dp_dr, dp_dba, dp_dbg, dv_dr, dv_dba, dv_dbg, dr_dr, dr_dbg;
  Mat9 S;
  f64 dt, wp, wv, wr;
  Mat3 Haa, Hag, Hgg;

  void Reset() {
    dp.setZero(), dv.setZero(), ba.setZero(), bg.setZero();
    dq = Eigen::Quaterniond::Identity();
    dp_dr.setZero(), dp_dba.setZero(), dp_dbg.setZero();
    dv_dr.setZero(), dv_dba.setZero(), dv_dbg.setZero();
    dr_dr.setIdentity(), dr_dbg.setZero();
    S.setZero();
    dt = 0;
  }

  static Mat3 Cross(const Vec3& v) {
    Mat3 m;
    m << 0, -v.z(), v.y(), v.z(), 0, -v.x(), -v.y(), v.x(), 0;
    return m;
  }

  void Step(const IMUSample& s, f64 h, f64 na, f64 ng) {
    const Vec3 a = Vec3(s.acceleration[0], s.acceleration[1], s.acceleration[2]) - ba;
    const Vec3 w = Vec3(s.rotationRate[0], s.rotationRate[1], s.rotationRate[2]) - bg;
    const Mat3 R = dq.toRotationMatrix();
    dp += dv * h;
    dv += R * a * h;
    Eigen::Quaterniond delta;
    const f64 n2 = w.squaredNorm();
    const bool exact = n2 >= DBL_EPSILON;
    if (!exact) {
      delta = Eigen::Quaterniond(1.0, w.x() * h / 2, w.y() * h / 2, w.z() * h / 2);
    } else {
      const f64 n = std::sqrt(n2);
      const Vec3 v = w * (std::sin(n * h / 2) / n);
      delta = Eigen::Quaterniond(std::cos(n * h / 2), v.x(), v.y(), v.z());
    }
    const Eigen::Quaterniond q0 = dq;
    dq = q0 * delta;
    const Mat3 M = delta.toRotationMatrix().transpose();
    const Mat3 V = -R * Cross(a) * h;
    const f64 s0 = q0.w() > 0 ? 1 : -1, s1 = dq.w() > 0 ? 1 : -1;
    const f64 d = q0.w() * dq.w() + q0.vec().dot(dq.vec());
    const Vec3 e = 2 * (s1 * q0.w() * dq.vec() - s0 * dq.w() * q0.vec()) - q0.vec().cross(dq.vec());
    const Mat3 A = d * Mat3::Identity() - Cross(e);
    Mat3 G;
    if (!exact) {
      G = -h * A;
    } else {
      const f64 n = std::sqrt(n2), sn = std::sin(n * h / 2) / n, cs = std::cos(n * h / 2);
      const Vec3 g = sn * h * e + ((cs * h - 2 * sn) / n2) * (A * w);
      G = -2 * sn * A - g * w.transpose();
    }
    dp_dr += h * dv_dr, dp_dba += h * dv_dba, dp_dbg += h * dv_dbg;
    dv_dr += V * dr_dr;
    dv_dba -= R * h;
    dv_dbg += V * dr_dbg;
    dr_dr = M * dr_dr;
    dr_dbg = M * dr_dbg + G;
    Mat9 F = Mat9::Identity();
    F.block<3, 3>(0, 3) = h * Mat3::Identity();
    F.block<3, 3>(3, 6) = V;
    F.block<3, 3>(6, 6) = M;
    S = F * S * F.transpose();
    S.block<3, 3>(3, 3) += na * h * h * Mat3::Identity();
    S.block<3, 3>(6, 6) += ng * G * G.transpose();
  }

  void Initialize(const IMUSample* samples, u32 count, const IMUSample& previous, f64 end) {
    Reset();
    const f64 na = IMU::AccelerationNoiseVariance(), ng = IMU::RotationRateNoiseVariance();
    const IMUSample* start = &previous;
    for (u32 i = 0; i <= count; ++i) {
      const f64 next = i < count ? samples[i].time : end;
      if (next > start->time) Step(*start, next - start->time, na, ng);
      if (i < count) start = &samples[i];
    }
    dt += end - previous.time;
    const f64 pp = S.block<3, 3>(0, 0).diagonal().maxCoeff();
    const f64 vv = S.block<3, 3>(3, 3).diagonal().maxCoeff();
    const f64 rr = S.block<3, 3>(6, 6).diagonal().maxCoeff();
    wp = pp == 0 ? 0 : IMU_DELTA_WEIGHT_POSITION / pp;
    wv = vv == 0 ? 0 : IMU_DELTA_WEIGHT_VELOCITY / vv;
    wr = rr == 0 ? 0 : IMU_DELTA_WEIGHT_ROTATION / rr;
    Haa = wp * dp_dba.transpose() * dp_dba + wv * dv_dba.transpose() * dv_dba;
    Hag = wp * dp_dba.transpose() * dp_dbg + wv * dv_dba.transpose() * dv_dbg;
    Hgg = wp * dp_dbg.transpose() * dp_dbg + wv * dv_dbg.transpose() * dv_dbg +
          wr * dr_dbg.transpose() * dr_dbg;
  }
};

// Both implementations over the whole run once; prints the largest relative
// differences of the increments and the covariance.
void CompareOnce(u32 step) {
  const std::vector<IMUSample>& s = Samples();
  f64 maxIncrement = 0, maxCovariance = 0;
  for (u32 i = 0; i + step <= kSamples; i += step) {
    IMUDelta d;
    IMUDelta::Initialize(&s[i + 1], step - 1, s[i], s[i + step].time, d);
    EigenDelta e;
    e.Initialize(&s[i + 1], step - 1, s[i], s[i + step].time);
    for (int k = 0; k < 3; ++k) {
      maxIncrement = std::max(maxIncrement, std::fabs(d.dp[k] - e.dp[k]));
      maxIncrement = std::max(maxIncrement, std::fabs(d.dv[k] - e.dv[k]));
    }
    maxIncrement = std::max(maxIncrement, std::fabs(d.dq[3] - e.dq.w()));
    const f64 scale = e.S.diagonal().maxCoeff();
    maxCovariance = std::max(maxCovariance, std::fabs(d.Svv[0] - e.S(3, 3)) / scale);
    maxCovariance = std::max(maxCovariance, std::fabs(d.Srr[5] - e.S(8, 8)) / scale);
    maxCovariance = std::max(maxCovariance, std::fabs(d.Spr[2] - e.S(0, 8)) / scale);
  }
  std::printf(
      "delta of %u samples: largest |difference| increments %.3g, covariance (relative) %.3g\n",
      step, maxIncrement, maxCovariance);
}

// Wall time per sample, from the benchmark's own clock, over the whole run cut
// into deltas of range(0) samples.
template <class Delta>
void BM_Integrate(benchmark::State& state) {
  const u32 step = static_cast<u32>(state.range(0));
  const std::vector<IMUSample>& s = Samples();
  Delta d;
  for (auto _ : state) {
    for (u32 i = 0; i + step <= kSamples; i += step) {
      d.Initialize(&s[i + 1], step - 1, s[i], s[i + step].time);
      benchmark::DoNotOptimize(d.dp[0]);
    }
  }
  state.counters["ns/sample"] =
      benchmark::Counter(static_cast<f64>(kSamples), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}
struct Ours : IMUDelta {
  void Initialize(const IMUSample* s, u32 n, const IMUSample& previous, f64 end) {
    IMUDelta::Initialize(s, n, previous, end, *this);
  }
};
// 20 samples = 0.1 s, 200 samples = 1 s at 200 Hz.
BENCHMARK(BM_Integrate<Ours>)->Name("IMUDelta")->Arg(20)->Arg(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Integrate<EigenDelta>)
    ->Name("EigenDelta")
    ->Arg(20)
    ->Arg(200)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  CompareOnce(20);
  CompareOnce(200);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

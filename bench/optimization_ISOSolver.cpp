// Time per ISOSolver::Run over 1,000 synthetic tracking windows (10 frames,
// 200-300 feature measurements each, perturbed away from the truth), beside
// Ceres Solver (DENSE_SCHUR, one thread) on the same windows with the same
// terms and the same gauge (first camera's velocity held). Both final states
// are scored with the ISO cost, so the costs compare like for like.
#include <benchmark/benchmark.h>
#include <ceres/ceres.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "optimization/ISOSolver.h"
#include "tests/optimization/ISOWindow.h"

namespace {

constexpr u32 kFrames = 1000;
constexpr u32 kWindow = 10;

// R(q) v: the transpose of Hamilton's rotation (world to body), q = (x, y, z, w).
template <class T>
void RotateWorldToBody(const T* q, const T* v, T* out) {
  const T x = q[0], y = q[1], z = q[2], w = q[3];
  const T R[9] = {
      T(1) - T(2) * (y * y + z * z), T(2) * (x * y + z * w),        T(2) * (x * z - y * w),
      T(2) * (x * y - z * w),        T(1) - T(2) * (x * x + z * z), T(2) * (y * z + x * w),
      T(2) * (x * z + y * w),        T(2) * (y * z - x * w),        T(1) - T(2) * (x * x + y * y)};
  for (int r = 0; r < 3; ++r) out[r] = R[3 * r] * v[0] + R[3 * r + 1] * v[1] + R[3 * r + 2] * v[2];
}

template <class T>
void Multiply(const T* a, const T* b, T* o) {
  o[0] = a[3] * b[0] + b[3] * a[0] + a[1] * b[2] - a[2] * b[1];
  o[1] = a[3] * b[1] + b[3] * a[1] + a[2] * b[0] - a[0] * b[2];
  o[2] = a[3] * b[2] + b[3] * a[2] + a[0] * b[1] - a[1] * b[0];
  o[3] = a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2];
}

struct FeatureResidual {
  double x, y, X[3], w, qo[4], po[3];
  template <class T>
  bool operator()(const T* p, const T* q, T* r) const {
    // Camera = extrinsic after body: Xc = R(qo) R(q) (X - p) + po.
    T d[3] = {T(X[0]) - p[0], T(X[1]) - p[1], T(X[2]) - p[2]}, b[3], c[3];
    RotateWorldToBody(q, d, b);
    const T o[4] = {T(qo[0]), T(qo[1]), T(qo[2]), T(qo[3])};
    RotateWorldToBody(o, b, c);
    for (int k = 0; k < 3; ++k) c[k] += T(po[k]);
    r[0] = T(w) * (T(x) - c[0] / c[2]);
    r[1] = T(w) * (T(y) - c[1] / c[2]);
    return true;
  }
};

// One window pair: position, velocity, rotation, velocity smoothness and
// regularisation, bias smoothness; weights are square roots of the lanes.
struct DeltaResidual {
  double dp[3], dv[3], dq[4], ba[3], bg[3], dt, invDt;
  double Jpa[9], Jpg[9], Jva[9], Jvg[9], Jrg[9];
  double w[7];
  explicit DeltaResidual(const ISODelta& D) {
    using namespace ISOLane;
    for (int k = 0; k < 3; ++k) {
      dp[k] = D.lane[kDp][k], dv[k] = D.lane[kDv][k], ba[k] = D.lane[kBa][k],
      bg[k] = D.lane[kBg][k];
      for (int c = 0; c < 3; ++c) {
        Jpa[3 * k + c] = D.lane[kDpDba + k][c], Jpg[3 * k + c] = D.lane[kDpDbg + k][c];
        Jva[3 * k + c] = D.lane[kDvDba + k][c], Jvg[3 * k + c] = D.lane[kDvDbg + k][c];
        Jrg[3 * k + c] = D.lane[kDrDbg + k][c];
      }
    }
    for (int k = 0; k < 4; ++k) dq[k] = D.lane[kDq][k];
    dt = D.lane[kDt][0];
    invDt = D.lane[kInvDt][0];
    const int lanes[7] = {kWp, kWv, kWr, kWvs, kWvr, kWsa, kWsg};
    for (int k = 0; k < 7; ++k) w[k] = std::sqrt(double(D.lane[lanes[k]][0]));
  }
  template <class T>
  bool operator()(const T* pi, const T* vi, const T* qi, const T* bai, const T* bgi, const T* pj,
                  const T* vj, const T* qj, const T* baj, const T* bgj, T* r) const {
    T dba[3], dbg[3], d[3], u[3], g[3], h[3];
    for (int k = 0; k < 3; ++k) {
      dba[k] = bai[k] - T(ba[k]), dbg[k] = bgi[k] - T(bg[k]);
      d[k] = pj[k] - pi[k] - T(dt) * vi[k];
      u[k] = vj[k] - vi[k];
    }
    RotateWorldToBody(qi, d, g);
    RotateWorldToBody(qi, u, h);
    const T ci[4] = {-qi[0], -qi[1], -qi[2], qi[3]},
            cb[4] = {T(-dq[0]), T(-dq[1]), T(-dq[2]), T(dq[3])};
    T a[4], E[4];
    Multiply(ci, qj, a);
    Multiply(cb, a, E);
    const T s = E[3] > T(0) ? T(2) : T(-2);
    for (int k = 0; k < 3; ++k) {
      T ep = g[k] - T(dp[k]), ev = h[k] - T(dv[k]), er = s * E[k];
      for (int c = 0; c < 3; ++c) {
        ep -= T(Jpa[3 * k + c]) * dba[c] + T(Jpg[3 * k + c]) * dbg[c];
        ev -= T(Jva[3 * k + c]) * dba[c] + T(Jvg[3 * k + c]) * dbg[c];
        er -= T(Jrg[3 * k + c]) * dbg[c];
      }
      r[k] = T(w[0]) * ep;
      r[3 + k] = T(w[1]) * ev;
      r[6 + k] = T(w[2]) * er;
      r[9 + k] = T(w[3]) * u[k];
      r[12 + k] = T(w[4]) * (vi[k] + (pi[k] - pj[k]) * T(invDt));
      r[15 + k] = T(w[5]) * (baj[k] - bai[k]);
      r[18 + k] = T(w[6]) * (bgj[k] - bgi[k]);
    }
    return true;
  }
};

struct BiasResidual {
  double wa, wg, pa[3], pg[3];
  template <class T>
  bool operator()(const T* ba, const T* bg, T* r) const {
    for (int k = 0; k < 3; ++k) {
      r[k] = T(wa) * (ba[k] - T(pa[k]));
      r[3 + k] = T(wg) * (bg[k] - T(pg[k]));
    }
    return true;
  }
};

struct GravityResidual {
  double d[3], w;
  template <class T>
  bool operator()(const T* q, T* r) const {
    const T x = q[0], y = q[1], z = q[2], s = q[3];
    r[0] = T(w) * (T(2) * (x * z - y * s) - T(d[0]));
    r[1] = T(w) * (T(2) * (y * z + x * s) - T(d[1]));
    r[2] = T(w) * (T(1) - T(2) * (x * x + y * y) - T(d[2]));
    return true;
  }
};

// The window's variables in double, one parameter block per group.
struct CeresCameras {
  std::vector<double> p, v, q, ba, bg;
  explicit CeresCameras(const ISOState& s) {
    for (const CameraIMUState& c : s.windowCameras) {
      for (int k = 0; k < 3; ++k) {
        p.push_back(c.p[k]), v.push_back(c.v[k]), ba.push_back(c.ba[k]), bg.push_back(c.bg[k]);
      }
      for (int k = 0; k < 4; ++k) q.push_back(c.q[k]);
    }
  }
  void WriteBack(ISOState& s) const {
    for (u32 c = 0; c < s.windowCameras.Size(); ++c) {
      CameraIMUState& o = s.windowCameras[c];
      for (int k = 0; k < 3; ++k) {
        o.p[k] = float(p[3 * c + k]), o.v[k] = float(v[3 * c + k]);
        o.ba[k] = float(ba[3 * c + k]), o.bg[k] = float(bg[3 * c + k]);
      }
      double n = 0;
      for (int k = 0; k < 4; ++k) n += q[4 * c + k] * q[4 * c + k];
      const double sign = q[4 * c + 3] < 0 ? -1.0 : 1.0;
      for (int k = 0; k < 4; ++k) o.q[k] = float(sign * q[4 * c + k] / std::sqrt(n));
      RefreshCaches(s.extrinsic, o);
    }
  }
};

void BuildCeresProblem(const ISOProblem& P, const ISOState& S, CeresCameras& x,
                       ceres::Problem& problem) {
  const u32 N = S.windowCameras.Size();
  for (u32 c = 0; c < N; ++c) {
    problem.AddParameterBlock(&x.q[4 * c], 4, new ceres::EigenQuaternionManifold);
    problem.AddParameterBlock(&x.p[3 * c], 3);
    problem.AddParameterBlock(&x.v[3 * c], 3);
    problem.AddParameterBlock(&x.ba[3 * c], 3);
    problem.AddParameterBlock(&x.bg[3 * c], 3);
    for (u32 l = 0; l < 4; ++l) {
      for (u32 m = P.feature3DStarts[4 * c + l]; m < P.feature3DStarts[4 * c + l + 1]; ++m) {
        auto* f = new FeatureResidual;
        f->x = P.features3D[m].x, f->y = P.features3D[m].y;
        for (int k = 0; k < 3; ++k) f->X[k] = P.points[P.features3D[m].point][k];
        f->w = std::sqrt(double(P.feature3DWeights[l].v[0]));
        for (int k = 0; k < 4; ++k) f->qo[k] = S.extrinsic[k];
        for (int k = 0; k < 3; ++k) f->po[k] = S.extrinsic[4 + k];
        problem.AddResidualBlock(new ceres::AutoDiffCostFunction<FeatureResidual, 2, 3, 4>(f),
                                 nullptr, &x.p[3 * c], &x.q[4 * c]);
      }
    }
    auto* b = new BiasResidual;
    b->wa = std::sqrt(double(P.biasWeights[0])), b->wg = std::sqrt(double(P.biasWeights[1]));
    for (int k = 0; k < 3; ++k) {
      b->pa[k] = IMU::accelerometerBiasPrior.v[k], b->pg[k] = IMU::gyroscopeBiasPrior.v[k];
    }
    problem.AddResidualBlock(new ceres::AutoDiffCostFunction<BiasResidual, 6, 3, 3>(b), nullptr,
                             &x.ba[3 * c], &x.bg[3 * c]);
  }
  for (u32 k = 0; k < P.deltas3.count; ++k) {
    const u32 i = P.deltas3.pairs[k].first, j = P.deltas3.pairs[k].second;
    problem.AddResidualBlock(
        new ceres::AutoDiffCostFunction<DeltaResidual, 21, 3, 3, 4, 3, 3, 3, 3, 4, 3, 3>(
            new DeltaResidual(P.deltas3.records[k])),
        nullptr, &x.p[3 * i], &x.v[3 * i], &x.q[4 * i], &x.ba[3 * i], &x.bg[3 * i], &x.p[3 * j],
        &x.v[3 * j], &x.q[4 * j], &x.ba[3 * j], &x.bg[3 * j]);
  }
  for (u32 g = 0; g < P.gravity.Size(); ++g) {
    auto* r = new GravityResidual;
    for (int k = 0; k < 3; ++k) r->d[k] = P.gravity[g].direction[k];
    r->w = std::sqrt(double(P.gravity[g].weight[0]));
    problem.AddResidualBlock(new ceres::AutoDiffCostFunction<GravityResidual, 3, 4>(r), nullptr,
                             &x.q[4 * P.gravityCameras[g]]);
  }
  problem.SetParameterBlockConstant(&x.v[0]);  // the gauge: first camera's velocity
}

ceres::Solver::Options CeresOptions() {
  ceres::Solver::Options o;
  o.linear_solver_type = ceres::DENSE_SCHUR;
  o.num_threads = 1;
  o.max_num_iterations = 20;
  o.logging_type = ceres::SILENT;
  return o;
}

struct Frames {
  std::vector<std::unique_ptr<ISOWindow>> windows;
  std::vector<ISOState> starts;
  u32 measurements = 0;
  Frames() {
    for (u32 f = 0; f < kFrames; ++f) {
      SyntheticSceneOptions o;
      o.seed = 1000 + f;
      o.duration = 3.5;
      o.keyFrameMin = 0.2;
      o.keyFrameMax = 0.3;
      o.pointsPerKeyFrame = 40;
      o.featureNoise = 1.0 / 500.0;
      o.accelerometerNoise = 0.02;
      o.gyroscopeNoise = 0.002;
      o.accelerometerBias[0] = 0.02;
      o.gyroscopeBias[2] = 0.002;
      Random::Seed(o.seed);
      const u32 cap = 200 + Random::Index(101);
      auto w = std::make_unique<ISOWindow>(o, kWindow, cap);
      w->Perturb(o.seed, 0.05f, 0.05f, 0.01f, 0.01f);
      measurements += w->problem.features3D.Size();
      starts.emplace_back();
      ISOState::Copy(starts.back(), w->state);
      windows.push_back(std::move(w));
    }
  }
};

Frames& AllFrames() {
  static Frames frames;
  return frames;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min<size_t>(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

void PrintComparison() {
  Frames& frames = AllFrames();
  ISOSolver iso;
  std::vector<double> isoTime, ceresTime;
  double isoCost = 0, ceresCost = 0, startCost = 0;
  u32 isoNotWorse = 0;
  for (u32 f = 0; f < kFrames; ++f) {
    ISOWindow& w = *frames.windows[f];
    ISOState state;
    ISOState::Copy(state, frames.starts[f]);
    startCost += iso.ComputeCost(w.problem, state, 0);
    const auto t0 = std::chrono::steady_clock::now();
    iso.Run(w.problem, state, 0);
    const auto t1 = std::chrono::steady_clock::now();
    isoTime.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    const double a = iso.ComputeCost(w.problem, state, 0);
    isoCost += a;

    ISOState ceresState;
    ISOState::Copy(ceresState, frames.starts[f]);
    CeresCameras x(ceresState);
    ceres::Problem problem;
    BuildCeresProblem(w.problem, ceresState, x, problem);
    ceres::Solver::Summary summary;
    const auto t2 = std::chrono::steady_clock::now();
    ceres::Solve(CeresOptions(), &problem, &summary);
    const auto t3 = std::chrono::steady_clock::now();
    ceresTime.push_back(std::chrono::duration<double, std::micro>(t3 - t2).count());
    x.WriteBack(ceresState);
    const double b = iso.ComputeCost(w.problem, ceresState, 0);
    ceresCost += b;
    if (a <= b * 1.001) ++isoNotWorse;
  }
  std::printf("ISO window solve over %u frames (%u window cameras, %.0f measurements each)\n",
              kFrames, kWindow, double(frames.measurements) / (kFrames * kWindow));
  std::printf("%-34s %10s %10s %16s\n", "solver", "p50 [us]", "p99 [us]", "mean final cost");
  std::printf("%-34s %10.1f %10.1f %16.2f\n", "ISOSolver::Run", Percentile(isoTime, 0.5),
              Percentile(isoTime, 0.99), isoCost / kFrames);
  std::printf("%-34s %10.1f %10.1f %16.2f\n", "Ceres DENSE_SCHUR, 1 thread",
              Percentile(ceresTime, 0.5), Percentile(ceresTime, 0.99), ceresCost / kFrames);
  std::printf(
      "mean start cost %.2f; ISO final cost within 0.1%% of Ceres or lower on %u of %u frames\n",
      startCost / kFrames, isoNotWorse, kFrames);
}

void BM_ISOSolverRun(benchmark::State& st) {
  Frames& frames = AllFrames();
  ISOSolver iso;
  ISOState state;
  u32 f = 0;
  for (auto _ : st) {
    st.PauseTiming();
    ISOState::Copy(state, frames.starts[f]);
    st.ResumeTiming();
    benchmark::DoNotOptimize(iso.Run(frames.windows[f]->problem, state, 0));
    f = (f + 1) % kFrames;
  }
}
BENCHMARK(BM_ISOSolverRun)->Unit(benchmark::kMicrosecond);

void BM_CeresDenseSchur(benchmark::State& st) {
  Frames& frames = AllFrames();
  u32 f = 0;
  for (auto _ : st) {
    st.PauseTiming();
    CeresCameras x(frames.starts[f]);
    auto problem = std::make_unique<ceres::Problem>();
    BuildCeresProblem(frames.windows[f]->problem, frames.starts[f], x, *problem);
    ceres::Solver::Summary summary;
    st.ResumeTiming();
    ceres::Solve(CeresOptions(), problem.get(), &summary);
    st.PauseTiming();
    problem.reset();
    st.ResumeTiming();
    f = (f + 1) % kFrames;
  }
}
BENCHMARK(BM_CeresDenseSchur)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  PrintComparison();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}

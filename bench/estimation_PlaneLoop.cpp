// Plane loops and the Levenberg-Marquardt plane refinement on large point
// sets (30 % outliers, noise 0.01), beside a least-squares PCA fit (Eigen) on
// the known inliers as the accuracy reference. Counters: loop iterations,
// inlier recall and precision, and the normal's angular error in degrees.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <map>
#include <memory>

#include "common/PlaneScene.h"
#include "estimation/PlaneEstimator.h"

namespace {

constexpr f32 kOutliers = 0.3f;
constexpr f32 kNoise = 0.01f;
constexpr f32 kThreshold = 0.03f;

const scene::PlaneScene& Scene(u32 n) {
  static std::map<u32, std::unique_ptr<scene::PlaneScene>> scenes;
  auto& s = scenes[n];
  if (!s) {
    s = std::make_unique<scene::PlaneScene>();
    s->Build(100 + n, n, kOutliers, kNoise, false, 0.0f, 1);
  }
  return *s;
}

PlaneEstimatorData3D KnownInliers(const scene::PlaneScene& s) {
  PlaneEstimatorData3D d;
  std::vector<u32> list;
  for (u32 i = 0; i < s.inlier.size(); ++i)
    if (s.inlier[i]) list.push_back(i);
  PlaneEstimatorData3D::GetSubset(s.data3, list, d);
  return d;
}

void Report(benchmark::State& state, const scene::PlaneScene& s, const Plane& p,
            const std::vector<u32>& inliers, u32 iterations) {
  u32 hits = 0, positives = 0;
  for (const bool b : s.inlier) positives += b;
  for (const u32 i : inliers) hits += s.inlier[i];
  state.counters["iterations"] = iterations;
  state.counters["recall"] = static_cast<double>(hits) / positives;
  state.counters["precision"] = inliers.empty() ? 0.0 : static_cast<double>(hits) / inliers.size();
  state.counters["normal_err_deg"] = scene::AngleDegrees(p, s.plane);
}

// The plain loop and the locally optimised loop.
void BM_PlaneLoop(benchmark::State& state, bool local) {
  const scene::PlaneScene& s = Scene(static_cast<u32>(state.range(0)));
  PlaneEstimator3D est(kThreshold);
  Plane p{};
  std::vector<u32> inliers;
  u32 iterations = 0;
  for (auto _ : state) {
    Random::Seed(5);
    iterations = local ? est.RunLoRansac(s.data3, p, inliers) : est.RunRansac(s.data3, p, inliers);
    benchmark::DoNotOptimize(p);
  }
  Report(state, s, p, inliers, iterations);
}
// Levenberg-Marquardt from a plane tilted by about 3 degrees, on the known
// inliers.
void BM_PlaneLMRefinement(benchmark::State& state) {
  const scene::PlaneScene& s = Scene(static_cast<u32>(state.range(0)));
  PlaneEstimatorData3D inliers = KnownInliers(s);
  PlaneOptimizer opt;
  opt.maxIterations = 100;
  Plane start = s.plane;
  start.v[0] += 0.05f;
  start.v[3] += 0.05f;
  Plane p{};
  u32 code = 0;
  for (auto _ : state) {
    p = start;
    code = opt.Optimize(inliers, p, 0);
    benchmark::DoNotOptimize(p);
  }
  state.counters["stop_code"] = code;
  state.counters["normal_err_deg"] = scene::AngleDegrees(p, s.plane);
}

// Reference: centroid and smallest principal axis of the known inliers.
void BM_PcaFitEigen(benchmark::State& state) {
  const scene::PlaneScene& s = Scene(static_cast<u32>(state.range(0)));
  const PlaneEstimatorData3D inliers = KnownInliers(s);
  Eigen::Matrix3Xd X(3, inliers.points.Size());
  for (u32 i = 0; i < inliers.points.Size(); ++i)
    X.col(i) << inliers.points[i].v[0], inliers.points[i].v[1], inliers.points[i].v[2];
  Plane p{};
  for (auto _ : state) {
    const Eigen::Vector3d c = X.rowwise().mean();
    const Eigen::Matrix3Xd centred = X.colwise() - c;
    const Eigen::Matrix3d C = centred * centred.transpose();
    const Eigen::Vector3d n =
        Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>(C).eigenvectors().col(0);
    for (int k = 0; k < 3; ++k) p.v[k] = static_cast<f32>(n(k));
    p.v[3] = static_cast<f32>(-n.dot(c));
    benchmark::DoNotOptimize(p);
  }
  state.counters["normal_err_deg"] = scene::AngleDegrees(p, s.plane);
}

}  // namespace

BENCHMARK_CAPTURE(BM_PlaneLoop, Ransac, false)
    ->Arg(10000)
    ->Arg(50000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PlaneLoop, LoRansac, true)
    ->Arg(10000)
    ->Arg(50000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlaneLMRefinement)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PcaFitEigen)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

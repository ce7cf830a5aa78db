// IBASolver::Run beside Ceres Solver on the same synthetic bundle-adjustment
// problem: the same residuals and weights, the same fixed cameras, points and
// planes, the same perturbed start. Ceres runs ITERATIVE_SCHUR with
// SCHUR_JACOBI and SPARSE_SCHUR on one thread. Each solve runs in its own
// child process so that its peak memory is its own. Sizes: local (10 + 10 key
// frames, 3,000 points, about 30,000 measurements) and global (100 and 300 key
// frames, 20,000 and 60,000 points). Final costs are all evaluated by
// IBASolver::ComputeCost on the returned state.
//
// Usage: bench_optimization_IBASolver [--local-only] [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <ceres/ceres.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "../tests/optimization/IBASolverScene.h"
#include "optimization/IMUParameters.h"

using namespace ibatest;

namespace {

struct Size {
  const char* name;
  SceneOptions options;
};

Size Local() {
  SceneOptions o;
  o.cameras = 20;
  o.fixedCameras = 10;
  o.points = 3000;
  o.planePoints = 200;
  o.fixedPoints = 0;
  o.noisePixels = 0.5f;
  o.biases = false;
  o.keep = 0.68f;
  o.seed = 3;
  return {"local 10+10 KF, 3000 pts", o};
}

Size Global(u32 cameras, u32 points, float keep) {
  SceneOptions o;
  o.cameras = cameras;
  o.fixedCameras = 1;
  o.points = points;
  o.planePoints = points / 20;
  o.noisePixels = 0.5f;
  o.biases = false;
  o.keep = keep;
  o.seed = 5;
  return {cameras == 100 ? "global 100 KF, 20000 pts" : "global 300 KF, 60000 pts", o};
}

void MakeProblem(const SceneOptions& o, Scene& s) {
  BuildScene(o, s);
  s.problem.fixedPlanes = s.state.planes.Size();  // planes are constants for both solvers
  Perturb(s.problem, s.state, 0.05f, 0.035f, 0.1f, 0.1f, 99);
}

// ---------------------------------------------------------------- Ceres side

// R(q) v with the system's convention: the transpose of Hamilton's matrix.
template <class T>
void RotateR(const T* q, const T* v, T* out) {
  const T x = q[0], y = q[1], z = q[2], w = q[3];
  const T two(2.0), one(1.0);
  out[0] = (one - two * (y * y + z * z)) * v[0] + two * (x * y + z * w) * v[1] +
           two * (x * z - y * w) * v[2];
  out[1] = two * (x * y - z * w) * v[0] + (one - two * (x * x + z * z)) * v[1] +
           two * (y * z + x * w) * v[2];
  out[2] = two * (x * z + y * w) * v[0] + two * (y * z - x * w) * v[1] +
           (one - two * (x * x + y * y)) * v[2];
}

template <class T>
void Hamilton(const T* a, const T* b, T* out) {  // out = a (x) b
  out[0] = a[3] * b[0] + b[3] * a[0] + (a[1] * b[2] - a[2] * b[1]);
  out[1] = a[3] * b[1] + b[3] * a[1] + (a[2] * b[0] - a[0] * b[2]);
  out[2] = a[3] * b[2] + b[3] * a[2] + (a[0] * b[1] - a[1] * b[0]);
  out[3] = a[3] * b[3] - (a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
}

// The quaternion step of LA::UpdateQuaternion: q (x) (d / 2, 1), normalised.
struct QuaternionPlus {
  template <class T>
  bool Plus(const T* q, const T* d, T* out) const {
    const T h[4] = {d[0] * T(0.5), d[1] * T(0.5), d[2] * T(0.5), T(1.0)};
    T r[4];
    Hamilton(q, h, r);
    const T n = sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2] + r[3] * r[3]);
    for (int k = 0; k < 4; ++k) out[k] = r[k] / n;
    return true;
  }
  template <class T>
  bool Minus(const T* y, const T* x, T* d) const {
    const T xc[4] = {-x[0], -x[1], -x[2], x[3]};
    T r[4];
    Hamilton(xc, y, r);
    for (int k = 0; k < 3; ++k) d[k] = T(2.0) * r[k] / r[3];
    return true;
  }
};

struct FeatureResidual {
  float x, y, sw;
  const float* extrinsic;
  template <class T>
  bool operator()(const T* p, const T* q, const T* X, T* r) const {
    const T d[3] = {X[0] - p[0], X[1] - p[1], X[2] - p[2]};
    T b[3];
    RotateR(q, d, b);
    const T qe[4] = {T(extrinsic[0]), T(extrinsic[1]), T(extrinsic[2]), T(extrinsic[3])};
    T c[3];
    RotateR(qe, b, c);
    for (int k = 0; k < 3; ++k) c[k] += T(extrinsic[4 + k]);
    r[0] = T(sw) * (T(x) - c[0] / c[2]);
    r[1] = T(sw) * (T(y) - c[1] / c[2]);
    return true;
  }
};

struct DeltaResidual {
  const IBADelta* D;
  template <class T>
  bool operator()(const T* pi, const T* vi, const T* qi, const T* bai, const T* bgi, const T* pj,
                  const T* vj, const T* qj, const T* baj, const T* bgj, T* r) const {
    const T dt(D->dt[0]);
    T dp[3], dv[3], dba[3], dbg[3];
    for (int k = 0; k < 3; ++k) {
      dp[k] = pj[k] - pi[k] - dt * vi[k];
      dv[k] = vj[k] - vi[k];
      dba[k] = bai[k] - T(D->ba[k]);
      dbg[k] = bgi[k] - T(D->bg[k]);
    }
    T ap[3], av[3];
    RotateR(qi, dp, ap);
    RotateR(qi, dv, av);
    const T sp(std::sqrt(D->wp[0])), sv(std::sqrt(D->wv[0])), sr(std::sqrt(D->wr[0])),
        sa(std::sqrt(D->wba[0])), sg(std::sqrt(D->wbg[0]));
    const T qic[4] = {-qi[0], -qi[1], -qi[2], qi[3]};
    T qrel[4], E[4];
    Hamilton(qic, qj, qrel);
    const T dc[4] = {T(-D->dq[0]), T(-D->dq[1]), T(-D->dq[2]), T(D->dq[3])};
    Hamilton(dc, qrel, E);
    const T s = E[3] > T(0.0) ? T(2.0) : T(-2.0);
    for (int k = 0; k < 3; ++k) {
      T ep = ap[k] - T(D->dp[k]), ev = av[k] - T(D->dv[k]), er = s * E[k];
      for (int c = 0; c < 3; ++c) {
        ep -= T(D->dp_dba[k][c]) * dba[c] + T(D->dp_dbg[k][c]) * dbg[c];
        ev -= T(D->dv_dba[k][c]) * dba[c] + T(D->dv_dbg[k][c]) * dbg[c];
        er -= T(D->dr_dbg[k][c]) * dbg[c];
      }
      r[k] = sp * ep;
      r[3 + k] = sv * ev;
      r[6 + k] = sr * er;
      r[9 + k] = sa * (baj[k] - bai[k]);
      r[12 + k] = sg * (bgj[k] - bgi[k]);
    }
    return true;
  }
};

struct BiasResidual {
  float sa, sg;
  template <class T>
  bool operator()(const T* ba, const T* bg, T* r) const {
    for (int k = 0; k < 3; ++k) {
      r[k] = T(sa) * (ba[k] - T(IMU::accelerometerBiasPrior.v[k]));
      r[3 + k] = T(sg) * (bg[k] - T(IMU::gyroscopeBiasPrior.v[k]));
    }
    return true;
  }
};

struct GravityResidual {
  float d[3], sw;
  template <class T>
  bool operator()(const T* q, T* r) const {
    const T x = q[0], y = q[1], z = q[2], w = q[3];
    const T c[3] = {T(2.0) * (x * z - y * w), T(2.0) * (y * z + x * w),
                    T(1.0) - T(2.0) * (x * x + y * y)};
    for (int k = 0; k < 3; ++k) r[k] = T(sw) * (c[k] - T(d[k]));
    return true;
  }
};

struct PlaneResidual {
  float n[4], sw;
  template <class T>
  bool operator()(const T* X, T* r) const {
    r[0] = T(sw) * (T(n[0]) * X[0] + T(n[1]) * X[1] + T(n[2]) * X[2] + T(n[3]));
    return true;
  }
};

struct Result {
  double seconds = 0, cost = 0, rms = 0;
  int iterations = 0;
  long linearIterations = 0;
};

Result SolveCeres(const Scene& scene, IBAState& out, ceres::LinearSolverType solver) {
  const IBAProblem& P = scene.problem;
  const IBAState& S = scene.state;
  const u32 nc = S.cameras.Size(), np = S.points.Size();
  std::vector<double> cams(16 * nc), pts(3 * np);
  for (u32 i = 0; i < nc; ++i) {
    const CameraIMUState& c = S.cameras[i];
    for (int k = 0; k < 3; ++k) {
      cams[16 * i + k] = c.p[k];
      cams[16 * i + 3 + k] = c.v[k];
      cams[16 * i + 10 + k] = c.ba[k];
      cams[16 * i + 13 + k] = c.bg[k];
    }
    for (int k = 0; k < 4; ++k) cams[16 * i + 6 + k] = c.q[k];
  }
  for (u32 k = 0; k < np; ++k)
    for (int r = 0; r < 3; ++r) pts[3 * k + r] = S.points[k].v[r];
  auto p = [&](u32 i) { return &cams[16 * i]; };
  auto v = [&](u32 i) { return &cams[16 * i + 3]; };
  auto q = [&](u32 i) { return &cams[16 * i + 6]; };
  auto ba = [&](u32 i) { return &cams[16 * i + 10]; };
  auto bg = [&](u32 i) { return &cams[16 * i + 13]; };

  const auto start = std::chrono::steady_clock::now();
  ceres::Problem::Options po;
  po.manifold_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;
  ceres::Problem problem(po);
  ceres::AutoDiffManifold<QuaternionPlus, 4, 3> manifold;
  for (u32 i = 0; i < nc; ++i)
    for (int l = 0; l < 4; ++l) {
      const float sw = std::sqrt(P.features.levelWeights[l].v[0]);
      for (u32 m = P.features.index[4 * i + l]; m < P.features.index[4 * i + l + 1]; ++m) {
        const IBAMeasurement& z = P.features.measurements[m];
        problem.AddResidualBlock(new ceres::AutoDiffCostFunction<FeatureResidual, 2, 3, 4, 3>(
                                     new FeatureResidual{z.x, z.y, sw, S.extrinsic}),
                                 nullptr, p(i), q(i), &pts[3 * z.point]);
      }
    }
  for (u32 j = std::max(P.fixedCameras, 1u); j < nc; ++j) {
    const u32 i = j - 1;
    problem.AddResidualBlock(
        new ceres::AutoDiffCostFunction<DeltaResidual, 15, 3, 3, 4, 3, 3, 3, 3, 4, 3, 3>(
            new DeltaResidual{&P.deltas[i]}),
        nullptr, p(i), v(i), q(i), ba(i), bg(i), p(j), v(j), q(j), ba(j), bg(j));
  }
  for (u32 i = P.fixedCameras; i < nc; ++i)
    problem.AddResidualBlock(
        new ceres::AutoDiffCostFunction<BiasResidual, 6, 3, 3>(
            new BiasResidual{std::sqrt(P.biasWeights[0]), std::sqrt(P.biasWeights[1])}),
        nullptr, ba(i), bg(i));
  for (u32 g = 0; g < P.gravity.Size(); ++g) {
    const u32 i = P.gravityCameras[g];
    if (i < P.fixedCameras) continue;
    const IBAGravity& r = P.gravity[g];
    problem.AddResidualBlock(
        new ceres::AutoDiffCostFunction<GravityResidual, 3, 4>(new GravityResidual{
            {r.direction[0], r.direction[1], r.direction[2]}, std::sqrt(r.weight[0])}),
        nullptr, q(i));
  }
  for (u32 j = 0; j < S.planes.Size(); ++j)
    for (u32 k : P.planePoints[j])
      problem.AddResidualBlock(
          new ceres::AutoDiffCostFunction<PlaneResidual, 1, 3>(new PlaneResidual{
              {S.planes[j].v[0], S.planes[j].v[1], S.planes[j].v[2], S.planes[j].v[3]},
              std::sqrt(P.planeWeights[j].v[0])}),
          nullptr, &pts[3 * k]);
  for (u32 i = 0; i < nc; ++i) {
    if (!problem.HasParameterBlock(q(i))) continue;
    problem.SetManifold(q(i), &manifold);
  }
  for (u32 i = 0; i < nc; ++i) {
    double* blocks[5] = {p(i), v(i), q(i), ba(i), bg(i)};
    for (double* b : blocks)
      if (problem.HasParameterBlock(b) && i < P.fixedCameras) problem.SetParameterBlockConstant(b);
  }
  for (u32 k = 0; k < P.fixedPoints; ++k)
    if (problem.HasParameterBlock(&pts[3 * k])) problem.SetParameterBlockConstant(&pts[3 * k]);
  // Points eliminated first.
  auto* ordering = new ceres::ParameterBlockOrdering;
  for (u32 k = 0; k < np; ++k)
    if (problem.HasParameterBlock(&pts[3 * k])) ordering->AddElementToGroup(&pts[3 * k], 0);
  for (u32 i = 0; i < nc; ++i) {
    double* blocks[5] = {p(i), v(i), q(i), ba(i), bg(i)};
    for (double* b : blocks)
      if (problem.HasParameterBlock(b)) ordering->AddElementToGroup(b, 1);
  }
  ceres::Solver::Options options;
  options.linear_solver_type = solver;
  options.preconditioner_type = ceres::SCHUR_JACOBI;
  options.linear_solver_ordering.reset(ordering);
  options.num_threads = 1;
  options.max_num_iterations = 50;
  options.function_tolerance = 1e-4;
  options.logging_type = ceres::SILENT;
  ceres::Solver::Summary summary;
  ceres::Solve(options, &problem, &summary);
  Result result;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.iterations = static_cast<int>(summary.iterations.size()) - 1;
  for (const auto& it : summary.iterations) result.linearIterations += it.linear_solver_iterations;

  IBAState::Copy(out, S);
  for (u32 i = 0; i < nc; ++i) {
    CameraIMUState& c = out.cameras[i];
    for (int k = 0; k < 3; ++k) {
      c.p[k] = static_cast<float>(p(i)[k]);
      c.v[k] = static_cast<float>(v(i)[k]);
      c.ba[k] = static_cast<float>(ba(i)[k]);
      c.bg[k] = static_cast<float>(bg(i)[k]);
    }
    for (int k = 0; k < 4; ++k) c.q[k] = static_cast<float>(q(i)[k]);
    RefreshCaches(out.extrinsic, c);
  }
  for (u32 k = 0; k < np; ++k)
    for (int r = 0; r < 3; ++r) out.points[k].v[r] = static_cast<float>(pts[3 * k + r]);
  return result;
}

Result SolveIBA(const Scene& scene, IBAState& out, IBASolver& solver) {
  IBAState::Copy(out, scene.state);
  const auto start = std::chrono::steady_clock::now();
  solver.Run(scene.problem, out, 0, nullptr);
  Result result;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.iterations = static_cast<int>(solver.iterations);
  result.linearIterations = static_cast<long>(solver.totalPCGIterations);
  return result;
}

// Runs one solve in a child process and prints its row with the child's peak
// resident memory.
void Row(const char* who, const Scene& scene, int kind) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    IBAState out;
    IBASolver solver;
    Result r = kind == 0 ? SolveIBA(scene, out, solver)
                         : SolveCeres(scene, out,
                                      kind == 1 ? ceres::ITERATIVE_SCHUR : ceres::SPARSE_SCHUR);
    r.cost = solver.ComputeCost(scene.problem, out, 0, nullptr);
    r.rms = RMSPixels(scene.problem, out);
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("  %-30s %9.3f s %9.2f ms/it %5d it %7ld lin-it %14.6f cost %8.4f px %8.1f MB\n",
                who, r.seconds, 1e3 * r.seconds / std::max(r.iterations, 1), r.iterations,
                r.linearIterations, r.cost, r.rms, usage.ru_maxrss / 1024.0);
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
}

void Compare(const Size& size) {
  Scene scene;
  MakeProblem(size.options, scene);
  IBASolver probe;
  std::printf("%s: %u measurements, start cost %.6f, start RMS %.3f px, RMS of the truth %.3f px\n",
              size.name, scene.problem.features.measurements.Size(),
              probe.ComputeCost(scene.problem, scene.state, 0, nullptr),
              RMSPixels(scene.problem, scene.state), RMSPixels(scene.problem, scene.truth));
  Row("IBASolver::Run (Schur + PCG)", scene, 0);
  Row("Ceres ITERATIVE_SCHUR", scene, 1);
  Row("Ceres SPARSE_SCHUR", scene, 2);
}

// Google Benchmark timings of the local size, both solvers.
void BM_IBASolverLocal(benchmark::State& st) {
  Scene scene;
  MakeProblem(Local().options, scene);
  IBASolver solver;
  IBAState out;
  for (auto _ : st) SolveIBA(scene, out, solver);
  st.counters["cost"] = solver.ComputeCost(scene.problem, out, 0, nullptr);
}
BENCHMARK(BM_IBASolverLocal)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_CeresIterativeSchurLocal(benchmark::State& st) {
  Scene scene;
  MakeProblem(Local().options, scene);
  IBAState out;
  for (auto _ : st) SolveCeres(scene, out, ceres::ITERATIVE_SCHUR);
  IBASolver probe;
  st.counters["cost"] = probe.ComputeCost(scene.problem, out, 0, nullptr);
}
BENCHMARK(BM_CeresIterativeSchurLocal)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  bool localOnly = false;
  for (int i = 1; i < argc; ++i) localOnly |= std::strcmp(argv[i], "--local-only") == 0;
  std::printf("%-32s %11s %14s %8s %14s %19s %11s %11s\n", "solver", "wall", "per iteration", "LM",
              "PCG/CG", "final cost", "RMS", "peak RSS");
  Compare(Local());
  if (!localOnly) {
    Compare(Global(100, 20000, 0.18f));
    Compare(Global(300, 60000, 0.12f));
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}

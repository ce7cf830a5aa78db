// IBASolver::Run beside Ceres Solver on the same synthetic bundle-adjustment
// problem: the same residuals and weights, the same fixed cameras, points and
// planes, the same perturbed start. Ceres runs ITERATIVE_SCHUR with
// SCHUR_JACOBI and SPARSE_SCHUR on one thread. Each solve runs in its own
// child process so that its peak memory is its own. Sizes: local (10 + 10 key
// frames, 3,000 points, about 30,000 measurements) and global (100 and 300 key
// frames, 20,000 and 60,000 points). Final costs are all evaluated by
// IBASolver::ComputeCost on the returned state.
//
// Usage: bench_optimization_IBASolver [--local-only]
#include <ceres/ceres.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/BenchUtil.h"
#include "common/IBAScene.h"
#include "optimization/IMUParameters.h"

using namespace ibatest;
using namespace bench;

namespace {

// Local: 10 variable + 10 fixed key frames; global: the first key frame fixed.
SceneOptions Options(u32 cameras, u32 fixedCameras, u32 points, u32 planePoints, float keep,
                     u32 seed) {
  SceneOptions o;
  o.cameras = cameras, o.fixedCameras = fixedCameras, o.points = points;
  o.planePoints = planePoints, o.keep = keep, o.seed = seed;
  o.noisePixels = 0.5f;
  o.biases = false;
  return o;
}

void MakeProblem(const SceneOptions& o, Scene& s) {
  BuildScene(o, s);
  s.problem.fixedPlanes = s.state.planes.Size();  // planes are constants for both solvers
  Perturb(s.problem, s.state, 0.05f, 0.035f, 0.1f, 0.1f, 99);
}

// ---------------------------------------------------------------- Ceres side

struct DeltaResidual : DeltaTerms {
  double sa, sg;
  explicit DeltaResidual(const IBADelta& D) : sa(std::sqrt(D.wba[0])), sg(std::sqrt(D.wbg[0])) {
    const decltype(D.dp_dba)* rows[5] = {&D.dp_dba, &D.dp_dbg, &D.dv_dba, &D.dv_dbg, &D.dr_dbg};
    Set(
        D.dp, D.dv, D.dq, D.ba, D.bg, D.dt[0], [&](int j, int k) { return (*rows[j])[k]; }, D.wp[0],
        D.wv[0], D.wr[0]);
  }
  template <class T>
  bool operator()(const T* pi, const T* vi, const T* qi, const T* bai, const T* bgi, const T* pj,
                  const T* vj, const T* qj, const T* baj, const T* bgj, T* r) const {
    Core(pi, vi, qi, bai, bgi, pj, vj, qj, r);
    for (int k = 0; k < 3; ++k) {
      r[9 + k] = T(sa) * (baj[k] - bai[k]);
      r[12 + k] = T(sg) * (bgj[k] - bgi[k]);
    }
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

// Wall time includes building Ceres's problem; the minimiser time is the
// solve alone (Ceres's own figure; ours is all of Run).
struct Result {
  double seconds = 0, minimizer = 0, cost = 0, rms = 0;
  int iterations = 0;
  long linearIterations = 0;
};

Result SolveCeres(const Scene& scene, IBAState& out, ceres::LinearSolverType solver) {
  const IBAProblem& P = scene.problem;
  const IBAState& S = scene.state;
  const u32 nc = S.cameras.Size(), np = S.points.Size();
  // Per camera 16 doubles: p, v, q, ba, bg at these offsets.
  const int offset[5] = {0, 3, 6, 10, 13}, size[5] = {3, 3, 4, 3, 3};
  const auto fields = [](CameraIMUState& c) {
    return std::array<float*, 5>{c.p, c.v, c.q, c.ba, c.bg};
  };
  std::vector<double> cams(16 * nc), pts(3 * np);
  for (u32 i = 0; i < nc; ++i) {
    const auto f = fields(const_cast<CameraIMUState&>(S.cameras[i]));
    for (int b = 0; b < 5; ++b)
      for (int k = 0; k < size[b]; ++k) cams[16 * i + offset[b] + k] = f[b][k];
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
  ceres::EigenQuaternionManifold manifold;  // (x, y, z, w) storage, as the state's
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
            new DeltaResidual(P.deltas[i])),
        nullptr, p(i), v(i), q(i), ba(i), bg(i), p(j), v(j), q(j), ba(j), bg(j));
  }
  for (u32 i = P.fixedCameras; i < nc; ++i)
    problem.AddResidualBlock(
        new ceres::AutoDiffCostFunction<BiasResidual, 6, 3, 3>(
            new BiasResidual(std::sqrt(P.biasWeights[0]), std::sqrt(P.biasWeights[1]),
                             IMU::accelerometerBiasPrior.v, IMU::gyroscopeBiasPrior.v)),
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
  // Points eliminated first.
  auto* ordering = new ceres::ParameterBlockOrdering;
  for (u32 k = 0; k < np; ++k) {
    if (!problem.HasParameterBlock(&pts[3 * k])) continue;
    ordering->AddElementToGroup(&pts[3 * k], 0);
    if (k < P.fixedPoints) problem.SetParameterBlockConstant(&pts[3 * k]);
  }
  for (u32 i = 0; i < nc; ++i) {
    if (problem.HasParameterBlock(q(i))) problem.SetManifold(q(i), &manifold);
    for (int b = 0; b < 5; ++b) {
      double* block = &cams[16 * i + offset[b]];
      if (!problem.HasParameterBlock(block)) continue;
      ordering->AddElementToGroup(block, 1);
      if (i < P.fixedCameras) problem.SetParameterBlockConstant(block);
    }
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
  result.minimizer = summary.minimizer_time_in_seconds;
  result.iterations = static_cast<int>(summary.iterations.size()) - 1;
  for (const auto& it : summary.iterations) result.linearIterations += it.linear_solver_iterations;

  IBAState::Copy(out, S);
  for (u32 i = 0; i < nc; ++i) {
    const auto f = fields(out.cameras[i]);
    for (int b = 0; b < 5; ++b)
      for (int k = 0; k < size[b]; ++k) f[b][k] = static_cast<float>(cams[16 * i + offset[b] + k]);
    RefreshCaches(out.extrinsic, out.cameras[i]);
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
  result.minimizer = result.seconds;
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
    std::printf(
        "  %-30s %9.3f s %9.3f s %9.2f ms/it %5d it %7ld lin-it %14.6f cost %8.4f px %8.1f MB\n",
        who, r.seconds, r.minimizer, 1e3 * r.seconds / std::max(r.iterations, 1), r.iterations,
        r.linearIterations, r.cost, r.rms, usage.ru_maxrss / 1024.0);
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
}

void Compare(const char* name, const SceneOptions& options) {
  Scene scene;
  MakeProblem(options, scene);
  IBASolver probe;
  std::printf("%s: %u measurements, start cost %.6f, start RMS %.3f px, RMS of the truth %.3f px\n",
              name, scene.problem.features.measurements.Size(),
              probe.ComputeCost(scene.problem, scene.state, 0, nullptr),
              RMSPixels(scene.problem, scene.state), RMSPixels(scene.problem, scene.truth));
  Row("IBASolver::Run (Schur + PCG)", scene, 0);
  Row("Ceres ITERATIVE_SCHUR", scene, 1);
  Row("Ceres SPARSE_SCHUR", scene, 2);
}

}  // namespace

int main(int argc, char** argv) {
  bool localOnly = false;
  for (int i = 1; i < argc; ++i) localOnly |= std::strcmp(argv[i], "--local-only") == 0;
  std::printf("%-32s %11s %11s %14s %8s %14s %19s %11s %11s\n", "solver", "wall", "minimiser",
              "per iteration", "LM", "PCG/CG", "final cost", "RMS", "peak RSS");
  Compare("local 10+10 KF, 3000 pts", Options(20, 10, 3000, 200, 0.68f, 3));
  if (!localOnly) {
    Compare("global 100 KF, 20000 pts", Options(100, 1, 20000, 1000, 0.18f, 5));
    Compare("global 300 KF, 60000 pts", Options(300, 1, 60000, 3000, 0.12f, 5));
  }
  return 0;
}

// Small-solver and block-kernel timings beside the common alternatives on the
// same inputs: the compact 6x6 and the 8x8 LDL^T solves against OpenCV's
// Cholesky solve, and the 15x15 camera block product against a plain dense
// 15x15 product. Each benchmark also reports its largest relative error
// against a double-precision reference; a table of ratios follows the run.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "la/Block15.h"
#include "la/Random.h"
#include "la/SmallSolvers.h"

namespace {

constexpr int kSystems = 64;

float Uniform(float lo, float hi) {
  return lo + (hi - lo) * static_cast<float>(Random::Next()) / static_cast<float>(Random::kMax);
}

// Random SPD systems shaped like damped normal equations J^T J + lambda I.
struct Systems {
  int n;
  std::vector<Eigen::MatrixXd> A;
  std::vector<Eigen::VectorXd> b, x;
  explicit Systems(int size) : n(size) {
    Random::Seed(static_cast<u32>(size));
    for (int s = 0; s < kSystems; ++s) {
      Eigen::MatrixXd J(2 * n, n);
      for (int i = 0; i < J.rows(); ++i)
        for (int j = 0; j < n; ++j) J(i, j) = Uniform(-1, 1);
      Eigen::MatrixXd M = J.transpose() * J + 0.1 * Eigen::MatrixXd::Identity(n, n);
      // Round to float first so that the reference solves the same system.
      M = M.cast<float>().cast<double>();
      Eigen::VectorXd v(n);
      for (int i = 0; i < n; ++i) v[i] = static_cast<float>(Uniform(-1, 1));
      A.push_back(M);
      b.push_back(v);
      x.push_back(M.ldlt().solve(v));
    }
  }
  double RelativeError(int s, const float* solution) const {
    double err = 0;
    for (int i = 0; i < n; ++i) err = std::max(err, std::abs(solution[i] - x[s][i]));
    return err / x[s].cwiseAbs().maxCoeff();
  }
};

const Systems& Six() {
  static const Systems s(6);
  return s;
}
const Systems& Eight() {
  static const Systems s(8);
  return s;
}

void BM_SolveLDL6Compact(benchmark::State& state) {
  const Systems& sys = Six();
  std::vector<LA::AlignedCompactMatrix6f> A(kSystems);
  std::vector<LA::AlignedVector6f> b(kSystems);
  for (int s = 0; s < kSystems; ++s)
    for (int i = 0; i < 6; ++i) {
      for (int j = 0; j < 6; ++j) A[s](i, j) = static_cast<float>(sys.A[s](i, j));
      b[s][i] = static_cast<float>(sys.b[s][i]);
    }
  double err = 0;
  int s = 0;
  for (auto _ : state) {
    // The solve consumes its matrix: the copy is part of every real use.
    LA::AlignedCompactMatrix6f M = A[s];
    LA::AlignedVector6f x = b[s];
    benchmark::DoNotOptimize(LA::SolveLDL(M, x));
    benchmark::DoNotOptimize(x);
    if (state.iterations() <= kSystems) err = std::max(err, sys.RelativeError(s, x.v));
    s = (s + 1) % kSystems;
  }
  state.counters["max_rel_err"] = err;
}

void BM_SolveLDL8(benchmark::State& state) {
  const Systems& sys = Eight();
  std::vector<LA::AlignedMatrix8f> A(kSystems);
  std::vector<LA::AlignedVector8f> b(kSystems);
  for (int s = 0; s < kSystems; ++s)
    for (int i = 0; i < 8; ++i) {
      for (int j = 0; j < 8; ++j) A[s].m[i][j] = static_cast<float>(sys.A[s](i, j));
      b[s][i] = static_cast<float>(sys.b[s][i]);
    }
  double err = 0;
  int s = 0;
  for (auto _ : state) {
    LA::AlignedMatrix8f M = A[s];
    LA::AlignedVector8f x = b[s];
    benchmark::DoNotOptimize(LA::SolveLDL(M, x));
    benchmark::DoNotOptimize(x);
    if (state.iterations() <= kSystems) err = std::max(err, sys.RelativeError(s, x.v));
    s = (s + 1) % kSystems;
  }
  state.counters["max_rel_err"] = err;
}

void OpenCVCholesky(benchmark::State& state, const Systems& sys) {
  const int n = sys.n;
  std::vector<cv::Mat> A, b;
  for (int s = 0; s < kSystems; ++s) {
    cv::Mat a(n, n, CV_32F), v(n, 1, CV_32F);
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) a.at<float>(i, j) = static_cast<float>(sys.A[s](i, j));
      v.at<float>(i) = static_cast<float>(sys.b[s][i]);
    }
    A.push_back(a);
    b.push_back(v);
  }
  cv::Mat x(n, 1, CV_32F);
  double err = 0;
  int s = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cv::solve(A[s], b[s], x, cv::DECOMP_CHOLESKY));
    benchmark::DoNotOptimize(x.data);
    if (state.iterations() <= kSystems) err = std::max(err, sys.RelativeError(s, x.ptr<float>()));
    s = (s + 1) % kSystems;
  }
  state.counters["max_rel_err"] = err;
}

void BM_OpenCVCholesky6(benchmark::State& state) {
  OpenCVCholesky(state, Six());
}
void BM_OpenCVCholesky8(benchmark::State& state) {
  OpenCVCholesky(state, Eight());
}

// Random camera blocks (symmetric diagonal blocks) and vectors, with their
// dense 15x15 expansions for the plain product.
struct Blocks {
  std::vector<LA::CameraBlock15> A;
  std::vector<LA::CameraVector15> x;
  std::vector<Eigen::Matrix<float, 15, 15, Eigen::RowMajor>> dense;
  std::vector<Eigen::Matrix<double, 15, 1>> reference;  // A x in double
  Blocks() : A(kSystems), x(kSystems), dense(kSystems), reference(kSystems) {
    Random::Seed(15);
    using R = LA::CameraBlock15;
    for (int s = 0; s < kSystems; ++s) {
      for (auto& row : A[s].m) {
        for (int k = 0; k < 3; ++k) row[k] = Uniform(-1, 1);
        row[3] = 0.0f;
      }
      for (int row : {R::kA00, R::kA22, R::kA33, R::kA44})
        for (int r = 0; r < 3; ++r)
          for (int c = 0; c < r; ++c) A[s].m[row + r][c] = A[s].m[row + c][r];
      auto& D = dense[s];
      D.setZero();
      const struct {
        int i, j, row;
      } full[] = {{0, 0, R::kA00}, {0, 2, R::kA02}, {0, 3, R::kA03}, {0, 4, R::kA04},
                  {1, 2, R::kA12}, {1, 3, R::kA13}, {1, 4, R::kA14}, {2, 2, R::kA22},
                  {2, 3, R::kA23}, {2, 4, R::kA24}, {3, 3, R::kA33}, {3, 4, R::kA34},
                  {4, 4, R::kA44}};
      for (const auto& b : full)
        for (int r = 0; r < 3; ++r)
          for (int c = 0; c < 3; ++c) {
            D(3 * b.i + r, 3 * b.j + c) = A[s].m[b.row + r][c];
            D(3 * b.j + c, 3 * b.i + r) = A[s].m[b.row + r][c];
          }
      for (int k = 0; k < 3; ++k) {
        D(k, 3 + k) = D(3 + k, k) = A[s].m[R::kD01][k];
        D(3 + k, 3 + k) = A[s].m[R::kD11][k];
      }
      Eigen::Matrix<double, 15, 1> xv;
      for (int g = 0; g < 5; ++g) {
        for (int k = 0; k < 3; ++k) xv[3 * g + k] = x[s].v[4 * g + k] = Uniform(-1, 1);
        x[s].v[4 * g + 3] = 0.0f;
      }
      reference[s] = D.cast<double>() * xv;
    }
  }
  double RelativeError(int s, const float* y, int stride) const {
    double err = 0;
    for (int g = 0; g < 5; ++g)
      for (int k = 0; k < 3; ++k)
        err = std::max(err,
                       std::abs(y[stride == 4 ? 4 * g + k : 3 * g + k] - reference[s][3 * g + k]));
    return err / reference[s].cwiseAbs().maxCoeff();
  }
};

const Blocks& CameraBlocks() {
  static const Blocks b;
  return b;
}

void BM_MultiplySymmetricBlock15(benchmark::State& state) {
  const Blocks& blocks = CameraBlocks();
  double err = 0;
  int s = 0;
  for (auto _ : state) {
    LA::CameraVector15 y{};
    LA::MultiplySymmetricBlock15(blocks.A[s], blocks.x[s], y);
    benchmark::DoNotOptimize(y);
    if (state.iterations() <= kSystems) err = std::max(err, blocks.RelativeError(s, y.v, 4));
    s = (s + 1) % kSystems;
  }
  state.counters["max_rel_err"] = err;
}

// The straightforward alternative: y += A x over the full 15x15 matrix.
void BM_DenseProduct15(benchmark::State& state) {
  const Blocks& blocks = CameraBlocks();
  std::vector<std::array<float, 15>> x(kSystems);
  for (int s = 0; s < kSystems; ++s)
    for (int g = 0; g < 5; ++g)
      for (int k = 0; k < 3; ++k) x[s][3 * g + k] = blocks.x[s].v[4 * g + k];
  double err = 0;
  int s = 0;
  for (auto _ : state) {
    float y[15] = {};
    const float* D = blocks.dense[s].data();
    for (int i = 0; i < 15; ++i) {
      float sum = 0.0f;
      for (int j = 0; j < 15; ++j) sum += D[15 * i + j] * x[s][j];
      y[i] += sum;
    }
    benchmark::DoNotOptimize(y);
    if (state.iterations() <= kSystems) err = std::max(err, blocks.RelativeError(s, y, 3));
    s = (s + 1) % kSystems;
  }
  state.counters["max_rel_err"] = err;
}

BENCHMARK(BM_SolveLDL6Compact);
BENCHMARK(BM_OpenCVCholesky6);
BENCHMARK(BM_SolveLDL8);
BENCHMARK(BM_OpenCVCholesky8);
BENCHMARK(BM_MultiplySymmetricBlock15);
BENCHMARK(BM_DenseProduct15);

// Console output plus the nanoseconds per call of each run, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (run.iterations > 0)
        nanoseconds[run.benchmark_name()] =
            run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
  }
  std::map<std::string, double> nanoseconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const struct {
    const char *ours, *theirs, *label;
  } pairs[] = {
      {"BM_SolveLDL6Compact", "BM_OpenCVCholesky6", "6x6 solve: cv::solve / SolveLDL (compact)"},
      {"BM_SolveLDL8", "BM_OpenCVCholesky8", "8x8 solve: cv::solve / SolveLDL8"},
      {"BM_MultiplySymmetricBlock15", "BM_DenseProduct15",
       "15x15 product: dense / MultiplySymmetricBlock15"}};
  std::printf("\n");
  for (const auto& p : pairs) {
    const auto a = reporter.nanoseconds.find(p.ours), b = reporter.nanoseconds.find(p.theirs);
    if (a == reporter.nanoseconds.end() || b == reporter.nanoseconds.end()) continue;
    std::printf("%-48s %7.2f ns vs %7.2f ns: %.1fx\n", p.label, a->second, b->second,
                b->second / a->second);
  }
  benchmark::Shutdown();
  return 0;
}

// Small-solver and block-kernel timings beside the common alternatives on the
// same inputs: the compact 6x6 and the 8x8 LDL^T solves against OpenCV's
// Cholesky solve, and the 15x15 camera block product against a plain dense
// product. Each also reports its largest relative error against double
// precision.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <vector>

#include "common/Draws.h"
#include "la/Block15.h"
#include "la/Random.h"
#include "la/SmallSolvers.h"

namespace {

constexpr int kCases = 64;

template <class Ref, class Got>
double RelativeError(const Ref& ref, Got got) {
  double err = 0;
  for (int i = 0; i < ref.size(); ++i) err = std::max(err, std::abs(got(i) - ref[i]));
  return err / ref.cwiseAbs().maxCoeff();
}

// Times step(case) over the cases in turn; error(case), taken after each call
// of the first rounds, is the case's relative error.
template <class Step, class Error>
void Run(benchmark::State& state, Step step, Error error) {
  double worst = 0;
  int s = 0;
  for (auto _ : state) {
    step(s);
    benchmark::ClobberMemory();
    if (state.iterations() <= 4 * kCases) worst = std::max(worst, error(s));
    s = (s + 1) % kCases;
  }
  state.counters["max_rel_err"] = worst;
}

// Damped normal equations J^T J + 0.1 I in float, and their solutions in double.
struct Systems {
  std::vector<Eigen::MatrixXf> A;
  std::vector<Eigen::VectorXf> b;
  std::vector<Eigen::VectorXd> x;
  explicit Systems(int n) {
    Random::Seed(static_cast<u32>(n));
    for (int s = 0; s < kCases; ++s) {
      Eigen::MatrixXf J(2 * n, n);
      for (int k = 0; k < J.size(); ++k) J.data()[k] = Uniform();
      A.push_back(J.transpose() * J + 0.1f * Eigen::MatrixXf::Identity(n, n));
      b.push_back(Eigen::VectorXf(n));
      for (int i = 0; i < n; ++i) b.back()[i] = Uniform();
      x.push_back(A.back().cast<double>().ldlt().solve(b.back().cast<double>()));
    }
  }
};

float& Entry(LA::AlignedCompactMatrix6f& A, int i, int j) {
  return A(i, j);
}
float& Entry(LA::AlignedMatrix8f& A, int i, int j) {
  return A.m[i][j];
}

// The solve consumes its matrix: the copy is part of every real use.
template <int N, class Matrix, class Vector>
void BM_SolveLDL(benchmark::State& state) {
  static const Systems sys(N);
  std::vector<Matrix> A(kCases);
  std::vector<Vector> b(kCases);
  for (int s = 0; s < kCases; ++s)
    for (int i = 0; i < N; ++i) {
      for (int j = 0; j < N; ++j) Entry(A[s], i, j) = sys.A[s](i, j);
      b[s][i] = sys.b[s][i];
    }
  Matrix M;
  Vector x;
  Run(
      state,
      [&](int s) {
        M = A[s];
        x = b[s];
        benchmark::DoNotOptimize(LA::SolveLDL(M, x));
        benchmark::DoNotOptimize(x);
      },
      [&](int s) { return RelativeError(sys.x[s], [&](int i) { return x[i]; }); });
}

template <int n>
void BM_OpenCVCholesky(benchmark::State& state) {
  static const Systems sys(n);
  std::vector<cv::Mat> A, b;
  for (int s = 0; s < kCases; ++s) {
    A.push_back(cv::Mat(n, n, CV_32F, const_cast<float*>(sys.A[s].data())).clone());
    b.push_back(cv::Mat(n, 1, CV_32F, const_cast<float*>(sys.b[s].data())).clone());
  }
  cv::Mat x(n, 1, CV_32F);
  Run(
      state,
      [&](int s) { benchmark::DoNotOptimize(cv::solve(A[s], b[s], x, cv::DECOMP_CHOLESKY)); },
      [&](int s) { return RelativeError(sys.x[s], [&](int i) { return x.at<float>(i); }); });
}

// Eigen's fixed-size LDL^T on the same systems (matrix and vector copied in
// as for the library's solve).
template <int n>
void BM_EigenFixedLDLT(benchmark::State& state) {
  static const Systems sys(n);
  std::vector<Eigen::Matrix<float, n, n>> A(kCases);
  std::vector<Eigen::Matrix<float, n, 1>> b(kCases);
  for (int s = 0; s < kCases; ++s) A[s] = sys.A[s], b[s] = sys.b[s];
  Eigen::Matrix<float, n, 1> x;
  Run(
      state,
      [&](int s) {
        x = A[s].ldlt().solve(b[s]);
        benchmark::DoNotOptimize(x);
      },
      [&](int s) { return RelativeError(sys.x[s], [&](int i) { return x[i]; }); });
}

// Random camera blocks with vectors, the dense matrix each block stands for
// and A x in double. The dense matrix is read off the kernel with unit
// vectors, which is exact (the tests check the kernel against an independent
// expansion); parameter p lives at float p + p / 3 of a camera vector.
struct Blocks {
  std::vector<LA::CameraBlock15> A = std::vector<LA::CameraBlock15>(kCases);
  std::vector<LA::CameraVector15> x = std::vector<LA::CameraVector15>(kCases);
  std::vector<Eigen::Matrix<float, 15, 15, Eigen::RowMajor>> dense = decltype(dense)(kCases);
  std::vector<Eigen::Matrix<float, 15, 1>> xd = decltype(xd)(kCases);
  std::vector<Eigen::Matrix<double, 15, 1>> reference = decltype(reference)(kCases);
  Blocks() {
    Random::Seed(15);
    for (int s = 0; s < kCases; ++s) {
      for (auto& row : A[s].m)
        for (int k = 0; k < 4; ++k) row[k] = k < 3 ? Uniform() : 0.0f;
      for (int p = 0; p < 15; ++p) {
        LA::CameraVector15 e{}, column{};
        e.v[p + p / 3] = 1.0f;
        LA::MultiplySymmetricBlock15(A[s], e, column);
        for (int q = 0; q < 15; ++q) dense[s](q, p) = column.v[q + q / 3];
        x[s].v[p + p / 3] = xd[s][p] = Uniform();
      }
      for (int g = 0; g < 5; ++g) x[s].v[4 * g + 3] = 0.0f;
      reference[s] = dense[s].cast<double>() * xd[s].cast<double>();
    }
  }
};

void BM_MultiplySymmetricBlock15(benchmark::State& state) {
  static const Blocks blocks;
  LA::CameraVector15 y;
  Run(
      state,
      [&](int s) {
        y = LA::CameraVector15{};
        LA::MultiplySymmetricBlock15(blocks.A[s], blocks.x[s], y);
        benchmark::DoNotOptimize(y);
      },
      [&](int s) {
        return RelativeError(blocks.reference[s], [&](int p) { return y.v[p + p / 3]; });
      });
}

// The straightforward alternative: y += A x over the full 15x15 matrix.
void BM_DenseProduct15(benchmark::State& state) {
  static const Blocks blocks;
  float y[15];
  Run(
      state,
      [&](int s) {
        const float* D = blocks.dense[s].data();
        const float* x = blocks.xd[s].data();
        for (int i = 0; i < 15; ++i) {
          float sum = 0.0f;
          for (int j = 0; j < 15; ++j) sum += D[15 * i + j] * x[j];
          y[i] = sum;
        }
        benchmark::DoNotOptimize(y);
      },
      [&](int s) { return RelativeError(blocks.reference[s], [&](int p) { return y[p]; }); });
}

// Eigen's fixed-size 15x15 product on the same matrices.
void BM_EigenFixedProduct15(benchmark::State& state) {
  static const Blocks blocks;
  Eigen::Matrix<float, 15, 1> y;
  Run(
      state,
      [&](int s) {
        y.noalias() = blocks.dense[s] * blocks.xd[s];
        benchmark::DoNotOptimize(y);
      },
      [&](int s) { return RelativeError(blocks.reference[s], [&](int p) { return y[p]; }); });
}

}  // namespace

BENCHMARK(BM_SolveLDL<6, LA::AlignedCompactMatrix6f, LA::AlignedVector6f>)
    ->Name("SolveLDL compact 6");
BENCHMARK(BM_OpenCVCholesky<6>)->Name("cv::solve DECOMP_CHOLESKY 6");
BENCHMARK(BM_EigenFixedLDLT<6>)->Name("Eigen Matrix<float,6,6>::ldlt 6");
BENCHMARK(BM_SolveLDL<8, LA::AlignedMatrix8f, LA::AlignedVector8f>)->Name("SolveLDL8");
BENCHMARK(BM_OpenCVCholesky<8>)->Name("cv::solve DECOMP_CHOLESKY 8");
BENCHMARK(BM_EigenFixedLDLT<8>)->Name("Eigen Matrix<float,8,8>::ldlt 8");
BENCHMARK(BM_MultiplySymmetricBlock15)->Name("MultiplySymmetricBlock15");
BENCHMARK(BM_DenseProduct15)->Name("dense 15x15 product");
BENCHMARK(BM_EigenFixedProduct15)->Name("Eigen Matrix<float,15,15> product");

BENCHMARK_MAIN();

#pragma once
// Finite-difference checks of an OptimizerDataTemplate data class, shared by
// the tests of every estimator's data. They compare the normal equations with
// the SSE as the optimiser sees it, through UpdateModel:
//  - b = -1/2 dSSE/dx (central differences of SSE(UpdateModel(s, dx, model)));
//  - ConstructNormalEquation with the scale from ConstructNormalEquationAndScale
//    gives the same A and b;
//  - A is symmetric and positive semi-definite;
//  - at a model with zero residuals, A = 1/2 d^2 SSE / dx^2.
// These catch sign errors, a wrong Jacobian layout and steps applied on the
// wrong side. Data classes that cache per-model values in ComputeSSE (the
// image-mode plane data) are handled: ComputeSSE runs on the model before each
// build.
#include <gtest/gtest.h>

#include <Eigen/Core>
#include <cmath>

#include "estimation/OptimizerDataTemplate.h"
#include "estimation/OptimizerTemplate.h"
#include "la/LinearAlgebra.h"

namespace fd {

// Smallest eigenvalue of a symmetric matrix. Out of line: the dynamic-size
// eigen solver costs seconds of compile time in every test that checks a
// data class.
double SmallestEigenvalue(const Eigen::MatrixXd& symmetric);

struct Options {
  double step = 1e-3;       // in the scaled parameters dx
  double tolerance = 2e-3;  // relative to max |b| (gradient) or max |A_ii| (Hessian)
  double absolute = 1e-6;   // floor of the allowed difference
};

inline float Entry(const LA::AlignedCompactMatrix6f& A, int i, int j) {
  return A(i, j);
}
template <class Matrix>
inline float Entry(const Matrix& A, int i, int j) {
  return A.m[i][j];
}

// A, b and the scale s at the model, and A in double.
template <class Model, class Vector, class Matrix>
Eigen::MatrixXd Build(OptimizerDataTemplate<Model, Vector, Matrix>& data, const Model& model,
                      Matrix& A, Vector& b, Vector& s) {
  constexpr int P = OptimizerAlgebra<Vector, Matrix>::kSize;
  data.ComputeSSE(model);
  data.ConstructNormalEquationAndScale(model, A, b, s);
  Eigen::MatrixXd E(P, P);
  for (int i = 0; i < P; ++i)
    for (int j = 0; j < P; ++j) E(i, j) = Entry(A, i, j);
  return E;
}

// SSE after the scaled step `step` (places past P mirror the ones the
// 6-parameter layout repeats).
template <class Model, class Vector, class Matrix>
double SSEAfterStep(OptimizerDataTemplate<Model, Vector, Matrix>& data, const Model& model,
                    const Vector& scale, const Eigen::VectorXd& step) {
  constexpr int P = OptimizerAlgebra<Vector, Matrix>::kSize;
  Vector dx{};
  for (int i = 0; i < P; ++i) dx.v[i] = static_cast<float>(step(i));
  if constexpr (P == 6) dx.v[6] = dx.v[4], dx.v[7] = dx.v[5];
  Model moved = model;
  data.UpdateModel(scale, dx, model, moved);
  return data.ComputeSSE(moved);
}

// Checks b, A and the two builds against each other at `model`.
template <class Model, class Vector, class Matrix>
void ExpectNormalEquationMatchesSSE(OptimizerDataTemplate<Model, Vector, Matrix>& data,
                                    const Model& model, const Options& o = Options()) {
  constexpr int P = OptimizerAlgebra<Vector, Matrix>::kSize;
  Matrix A{}, A2{};
  Vector b{}, b2{}, s{};
  const Eigen::MatrixXd E = Build(data, model, A, b, s);
  data.ComputeSSE(model);
  data.ConstructNormalEquation(model, s, A2, b2);
  Eigen::VectorXd gradient(P);
  for (int i = 0; i < P; ++i) {
    gradient(i) = b.v[i];
    EXPECT_EQ(b.v[i], b2.v[i]) << "b differs between the two builds at " << i;
    for (int j = 0; j < P; ++j) EXPECT_EQ(Entry(A, i, j), Entry(A2, i, j)) << i << "," << j;
  }
  const double maxB = gradient.cwiseAbs().maxCoeff();
  ASSERT_GT(maxB, 0.0) << "pick a model away from the optimum";
  for (int i = 0; i < P; ++i) {
    const Eigen::VectorXd e = Eigen::VectorXd::Unit(P, i) * o.step;
    const double expected =
        -0.25 * (SSEAfterStep(data, model, s, e) - SSEAfterStep(data, model, s, -e)) / o.step;
    EXPECT_NEAR(b.v[i], expected, o.tolerance * maxB + o.absolute)
        << "b[" << i << "] is not -1/2 dSSE/dx through UpdateModel";
  }
  const double largest = E.cwiseAbs().maxCoeff();
  EXPECT_LE((E - E.transpose()).cwiseAbs().maxCoeff(), 1e-6 * largest) << "A is not symmetric";
  EXPECT_GE(SmallestEigenvalue(E), -1e-4 * largest) << "A is not positive semi-definite";
}

// At a model whose residuals are all zero, A must equal half the Hessian of
// the SSE through UpdateModel.
template <class Model, class Vector, class Matrix>
void ExpectGaussNewtonHessianAtZeroResidual(OptimizerDataTemplate<Model, Vector, Matrix>& data,
                                            const Model& model, const Options& o = Options()) {
  constexpr int P = OptimizerAlgebra<Vector, Matrix>::kSize;
  Matrix A{};
  Vector b{}, s{};
  const Eigen::MatrixXd E = Build(data, model, A, b, s);
  const double largest = E.diagonal().cwiseAbs().maxCoeff();
  ASSERT_GT(largest, 0.0);
  for (int i = 0; i < P; ++i) {
    for (int j = 0; j < P; ++j) {
      const Eigen::VectorXd ei = Eigen::VectorXd::Unit(P, i) * o.step;
      const Eigen::VectorXd ej = Eigen::VectorXd::Unit(P, j) * o.step;
      const double hessian =
          (SSEAfterStep(data, model, s, ei + ej) - SSEAfterStep(data, model, s, ei - ej) -
           SSEAfterStep(data, model, s, ej - ei) + SSEAfterStep(data, model, s, -ei - ej)) /
          (4.0 * o.step * o.step);
      EXPECT_NEAR(E(i, j), 0.5 * hessian, o.tolerance * largest + o.absolute)
          << "A(" << i << "," << j << ") is not J^T J";
    }
  }
}

}  // namespace fd

#pragma once
// Levenberg-Marquardt refinement of one model over any OptimizerDataTemplate
// problem: column-scaled normal equations, a diagonal damping that shrinks
// after good steps (by the gain ratio) and doubles its growth after rejected
// ones, and strict stop rules reported as codes. A rejected step costs only a
// re-damping and a solve, never a rebuild. Nothing is allocated during a run.
#include <cmath>
#include <cstdio>

#include "estimation/OptimizerDataTemplate.h"
#include "la/LMDamping.h"
#include "la/LinearAlgebra.h"
#include "la/SmallSolvers.h"

enum OptimizerStopCode : u32 {
  OPT_LM_ENOUGH_ITERATIONS = 0,
  OPT_LM_NORMAL_EQUATION_FAIL = 1,
  OPT_LM_SMALL_DELTA = 2,
  OPT_LM_INFINIT_SSE = 3,
  OPT_LM_SMALL_MSE = 4,
  OPT_LM_SMALL_RELATIVE_REDUCTION = 5,
  OPT_LM_SMALL_JTE = 6,
  OPT_LM_LARGE_DAMPING = 7,
};

// Parameter count, diagonal access and the damped solve of each Vector/Matrix
// pair the optimiser is instantiated for.
template <class Vector, class Matrix>
struct OptimizerAlgebra;

// The square matrices with rows m[i]; the compact 6x6 one is indexed A(i, j).
template <class Vector, class Matrix, int N>
struct SquareOptimizerAlgebra {
  static constexpr int kSize = N;
  static float& Diagonal(Matrix& A, int i) { return A.m[i][i]; }
  static bool Solve(Matrix& A, Vector& x) { return LA::SolveLDL(A, x); }
};
template <>
struct OptimizerAlgebra<LA::AlignedVector3f, LA::AlignedMatrix3f>
    : SquareOptimizerAlgebra<LA::AlignedVector3f, LA::AlignedMatrix3f, 3> {};
template <>
struct OptimizerAlgebra<LA::AlignedVector4f, LA::AlignedMatrix4f>
    : SquareOptimizerAlgebra<LA::AlignedVector4f, LA::AlignedMatrix4f, 4> {};
template <>
struct OptimizerAlgebra<LA::AlignedVector6f, LA::AlignedCompactMatrix6f> {
  static constexpr int kSize = 6;
  static float& Diagonal(LA::AlignedCompactMatrix6f& A, int i) { return A(i, i); }
  static bool Solve(LA::AlignedCompactMatrix6f& A, LA::AlignedVector6f& x) {
    return LA::SolveLDL(A, x);
  }
};
template <>
struct OptimizerAlgebra<LA::AlignedVector7f, LA::AlignedMatrix7f>
    : SquareOptimizerAlgebra<LA::AlignedVector7f, LA::AlignedMatrix7f, 7> {};
template <>
struct OptimizerAlgebra<LA::AlignedVector8f, LA::AlignedMatrix8f>
    : SquareOptimizerAlgebra<LA::AlignedVector8f, LA::AlignedMatrix8f, 8> {};

template <class Model, class Vector, class Matrix>
class OptimizerTemplate {
 public:
  using Data = OptimizerDataTemplate<Model, Vector, Matrix>;
  using Algebra = OptimizerAlgebra<Vector, Matrix>;
  static constexpr int kParameters = Algebra::kSize;

  // Refines `model` in place on `data`: normalise, run, denormalise; at
  // verbosity 2 or more the stop reason is printed.
  OptimizerStopCode Optimize(Data& data, Model& model, u8 verbosity);
  // The damped Gauss-Newton loop on the stored data and model.
  OptimizerStopCode RunLM(u8 verbosity);
  // Prints "  Stop by <code name>\n" on standard output.
  static void PrintStopReason(u32 code);
  // Builds (rebuild) or re-damps the normal equations; returns max |b_i|.
  f32 UpdateNormalEquation(bool rebuild);
  // Solves the damped system into dx; false when the factorisation fails.
  bool SolveDampedSystem();
  // b . dx + damping * sum D_i dx_i^2: the reduction the linear model predicts.
  f64 ComputePredictedReduction() const;

  // Parameters.
  u8 fixScale = 1;
  f32 normalizationFactor = 0.5f;
  u32 maxIterations = 50;
  f32 initialDamping = 0.001f;
  f32 minMSE = 0.0f;
  f32 minRelativeReduction = 1e-4f;
  f32 minJTe = 1e-5f;
  f32 minDelta = 1e-6f;

  // The problem of the current run; callers of RunLM set both first.
  Data* data = nullptr;
  Model* model = nullptr;

  // Run state.
  u32 buildCount = 0;
  LMDamping<f64> damping;

 private:
  f32 MaxAbsB() const;

  Model backup_;
  Matrix A_;
  Matrix dampedA_;
  Vector s_;
  Vector b_;
  Vector D_;
  Vector dx_;
};

template <class Model, class Vector, class Matrix>
OptimizerStopCode OptimizerTemplate<Model, Vector, Matrix>::Optimize(Data& d, Model& m,
                                                                     u8 verbosity) {
  data = &d;
  model = &m;
  d.NormalizeData(normalizationFactor, m);
  const OptimizerStopCode code = RunLM(verbosity);
  d.DenormalizeModel(m);
  if (verbosity >= 2 && code <= OPT_LM_LARGE_DAMPING) PrintStopReason(code);
  return code;
}

template <class Model, class Vector, class Matrix>
void OptimizerTemplate<Model, Vector, Matrix>::PrintStopReason(u32 code) {
  static const char* const kNames[] = {
      "OPT_LM_ENOUGH_ITERATIONS", "OPT_LM_NORMAL_EQUATION_FAIL",
      "OPT_LM_SMALL_DELTA",       "OPT_LM_INFINIT_SSE",
      "OPT_LM_SMALL_MSE",         "OPT_LM_SMALL_RELATIVE_REDUCTION",
      "OPT_LM_SMALL_JTE",         "OPT_LM_LARGE_DAMPING"};
  if (code <= OPT_LM_LARGE_DAMPING) std::printf("  Stop by %s\n", kNames[code]);
}

template <class Model, class Vector, class Matrix>
f32 OptimizerTemplate<Model, Vector, Matrix>::MaxAbsB() const {
  if constexpr (kParameters == 8) {
    return LA::MaxAbs8(b_.v);
  } else if constexpr (kParameters == 6) {
    return LA::MaxAbs6(b_.v);
  } else {
    f32 g = static_cast<f32>(std::fabs(static_cast<f64>(b_.v[0])));
    for (int i = 1; i < kParameters; ++i) {
      const f32 a = static_cast<f32>(std::fabs(static_cast<f64>(b_.v[i])));
      if (a > g) g = a;
    }
    return g;
  }
}

template <class Model, class Vector, class Matrix>
f32 OptimizerTemplate<Model, Vector, Matrix>::UpdateNormalEquation(bool rebuild) {
  const f32 factor = 1.0f + damping.lambda;
  if (rebuild) {
    if (buildCount == 0 || fixScale == 0) {
      data->ConstructNormalEquationAndScale(*model, A_, b_, s_);
    } else {
      data->ConstructNormalEquation(*model, s_, A_, b_);
    }
    for (int i = 0; i < kParameters; ++i) {
      float& a = Algebra::Diagonal(A_, i);
      D_.v[i] = a;
      a *= factor;
    }
    ++buildCount;
  } else {
    for (int i = 0; i < kParameters; ++i) Algebra::Diagonal(A_, i) = D_.v[i] * factor;
  }
  return MaxAbsB();
}

template <class Model, class Vector, class Matrix>
bool OptimizerTemplate<Model, Vector, Matrix>::SolveDampedSystem() {
  dampedA_ = A_;
  dx_ = b_;
  return Algebra::Solve(dampedA_, dx_);
}

template <class Model, class Vector, class Matrix>
f64 OptimizerTemplate<Model, Vector, Matrix>::ComputePredictedReduction() const {
  f32 linear = 0.0f, quadratic = 0.0f;
  for (int i = 0; i < kParameters; ++i) {
    linear += b_.v[i] * dx_.v[i];
    quadratic += D_.v[i] * dx_.v[i] * dx_.v[i];
  }
  return static_cast<f64>(linear) + static_cast<f64>(damping.lambda) * static_cast<f64>(quadratic);
}

template <class Model, class Vector, class Matrix>
OptimizerStopCode OptimizerTemplate<Model, Vector, Matrix>::RunLM(u8 verbosity) {
  buildCount = 0;
  const f64 factor = data->GetFactorSSEToMSE();
  f64 sse = data->ComputeSSE(*model);
  // No step can lower a cost that is not a finite number.
  if (!std::isfinite(sse)) return OPT_LM_INFINIT_SSE;
  damping.Reset(initialDamping);
  f64 mse = sse * factor;
  f64 rel = 0.0;
  f32 norm = 0.0f;
  if (verbosity == 1) {
    std::printf("  MSE = %f", mse);
  } else if (verbosity >= 2) {
    std::printf("   #LM   MSE  rel_reduction  ||JTe||_oo  ||dx||^2  damping\n");
    std::printf("       %f\n", mse);
  }
  f32 g = UpdateNormalEquation(true);

  OptimizerStopCode code = OPT_LM_ENOUGH_ITERATIONS;
  u32 iteration = 0;
  for (; iteration < maxIterations; ++iteration) {
    if (!SolveDampedSystem()) {
      code = OPT_LM_NORMAL_EQUATION_FAIL;
      break;
    }
    f32 squared = 0.0f;
    for (int i = 0; i < kParameters; ++i) squared += dx_.v[i] * dx_.v[i];
    norm = std::sqrt(squared);
    if (static_cast<f64>(minDelta) > static_cast<f64>(norm)) {
      code = OPT_LM_SMALL_DELTA;
      break;
    }
    backup_ = *model;
    data->UpdateModel(s_, dx_, backup_, *model);
    const f64 fresh = data->ComputeSSE(*model);
    if (!std::isfinite(fresh)) {
      *model = backup_;
      code = OPT_LM_INFINIT_SSE;
      break;
    }
    const f64 old = sse;
    const f64 reduction = old - fresh;
    if (reduction > 0.0) {
      sse = fresh;
      mse = fresh * factor;
      if (static_cast<f64>(minMSE) > mse) {
        code = OPT_LM_SMALL_MSE;
        break;
      }
      rel = reduction / old;
      if (static_cast<f64>(minRelativeReduction) > rel) {
        code = OPT_LM_SMALL_RELATIVE_REDUCTION;
        break;
      }
      damping.Accept(reduction / ComputePredictedReduction());
      g = UpdateNormalEquation(true);
      if (minJTe > g) {
        code = OPT_LM_SMALL_JTE;
        break;
      }
      if (verbosity >= 2) {
        std::printf("--> %d  %f  %f  %f  %f  %e\n", static_cast<int>(iteration), mse, rel, g, norm,
                    damping.lambda);
      }
    } else {
      if (verbosity >= 2) {
        std::printf("--> %d  %f\n", static_cast<int>(iteration), fresh * factor);
      }
      *model = backup_;
      mse = sse * factor;
      if (!damping.Reject()) {
        code = OPT_LM_LARGE_DAMPING;
        break;
      }
      UpdateNormalEquation(false);
    }
  }

  if (verbosity == 1) {
    std::printf(" --> %f\n", mse);
  } else if (verbosity >= 2) {
    std::printf("--> %d  %f  %f  %f  %f  %e\n", static_cast<int>(iteration), mse, rel, g, norm,
                damping.lambda);
  }
  return code;
}

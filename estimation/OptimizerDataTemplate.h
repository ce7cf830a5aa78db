#pragma once
// The fitting problem as the Levenberg-Marquardt optimiser sees it: seven
// operations over a model whose update has as many parameters as Vector has
// entries. r is the residual vector (measured minus predicted) whose squared
// norm ComputeSSE returns and J the derivative of the prediction with respect
// to the step that UpdateModel applies, so that A = J^T J, b = J^T r and the
// step solving A dx = b lowers the SSE to first order: b = -1/2 dSSE/dx.
#include "la/Types.h"

template <class Model, class Vector, class Matrix>
class OptimizerDataTemplate {
 public:
  virtual ~OptimizerDataTemplate() = default;

  // Prepares data and model for refinement (factor 0: no normalisation).
  virtual void NormalizeData(const f32& factor, Model& model) {
    (void)factor;
    (void)model;
  }
  // Undoes NormalizeData on the model.
  virtual void DenormalizeModel(Model& model) { (void)model; }
  // Sum of squared residuals over all items.
  virtual f64 ComputeSSE(const Model& model) = 0;
  // Factor turning the SSE into the mean error that the optimiser reports.
  virtual f64 GetFactorSSEToMSE() = 0;
  // A = J^T J, b = J^T r with column i scaled by scale_i.
  virtual void ConstructNormalEquation(const Model& model, const Vector& scale, Matrix& A,
                                       Vector& b) = 0;
  // The same, first setting scale_i = 1 / |column i of J| (0 for a zero column).
  virtual void ConstructNormalEquationAndScale(const Model& model, Matrix& A, Vector& b,
                                               Vector& scale) = 0;
  // updated = old moved by the step scale_i dx_i.
  virtual void UpdateModel(const Vector& scale, const Vector& dx, const Model& old,
                           Model& updated) = 0;
};

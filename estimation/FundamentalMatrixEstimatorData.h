#pragma once
// The matches of the fundamental-matrix estimator as the Levenberg-Marquardt
// optimiser sees them: the squared distance of each second point from its
// epipolar line (one-sided) as residual, the eight entries F11..F32 as
// parameters (F33 stays fixed), and isotropic normalisation of the data and
// the model around a run.
#include "estimation/TwoViewGeometry.h"
#include "estimation/TwoViewMatrixData.h"

class FundamentalMatrixEstimatorData
    : public TwoViewMatrixData<FundamentalMatrixEstimatorData, FundamentalMatrix,
                               TransformFundamentalMatrix> {
 public:
  // Sum over all matches of e^2 / (l0^2 + l1^2), l = F x1, e = x2^T F x1.
  f64 ComputeSSE(const FundamentalMatrix& model) override;

 private:
  using Base = TwoViewMatrixData<FundamentalMatrixEstimatorData, FundamentalMatrix,
                                 TransformFundamentalMatrix>;
  friend Base;
  // Unscaled A (upper triangle) and b = -sum r J over F11..F32.
  void BuildNormalEquation(const FundamentalMatrix& model, LA::AlignedMatrix8f& A,
                           LA::AlignedVector8f& b);
};

#pragma once
// The matches of the fundamental-matrix estimator as the Levenberg-Marquardt
// optimiser sees them: the squared distance of each second point from its
// epipolar line (one-sided) as residual, the eight entries F11..F32 as
// parameters (F33 stays fixed), and isotropic normalisation of the data and
// the model around a run.
#include "estimation/MatchSet2D.h"
#include "estimation/OptimizerDataTemplate.h"
#include "estimation/TwoViewGeometry.h"

class FundamentalMatrixEstimatorData
    : public OptimizerDataTemplate<FundamentalMatrix, LA::AlignedVector8f, LA::AlignedMatrix8f>,
      public MatchSet2D {
 public:
  // factor 0: no normalisation (scales 1). Otherwise the matches are
  // normalised in place and the model moved into the normalised frame.
  void NormalizeData(const f32& factor, FundamentalMatrix& model) override;
  // Moves the model back to pixels when the data were normalised.
  void DenormalizeModel(FundamentalMatrix& model) override;
  // Sum over all matches of e^2 / (l0^2 + l1^2), l = F x1, e = x2^T F x1.
  f64 ComputeSSE(const FundamentalMatrix& model) override;
  // 1 / (scale1 scale2 N): the mean error in squared pixels.
  f64 GetFactorSSEToMSE() override;
  void ConstructNormalEquation(const FundamentalMatrix& model, const LA::AlignedVector8f& scale,
                               LA::AlignedMatrix8f& A, LA::AlignedVector8f& b) override;
  void ConstructNormalEquationAndScale(const FundamentalMatrix& model, LA::AlignedMatrix8f& A,
                                       LA::AlignedVector8f& b, LA::AlignedVector8f& scale) override;
  // updated = old + scale_i dx_i on F11, F12, F13, F21, F22, F23, F31, F32.
  void UpdateModel(const LA::AlignedVector8f& scale, const LA::AlignedVector8f& dx,
                   const FundamentalMatrix& old, FundamentalMatrix& updated) override;

  // 1 while data and model are in normalised coordinates.
  u8 normalized = 0;

 private:
  // Unscaled A (upper triangle) and b = -sum r J.
  void BuildNormalEquation(const FundamentalMatrix& model, LA::AlignedMatrix8f& A,
                           LA::AlignedVector8f& b);

  LA::AlignedVector4f scratch_[16];
};

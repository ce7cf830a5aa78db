#pragma once
// The matches of the homography estimator as the Levenberg-Marquardt optimiser
// sees them: the transfer error (x2, y2) - H(x1, y1) as two residuals per
// match, h11..h32 as parameters (h33 stays fixed), and isotropic
// normalisation around a run. Each match may carry two u32 tags of its owner,
// which subsets keep.
#include <vector>

#include "estimation/MatchSet2D.h"
#include "estimation/OptimizerDataTemplate.h"
#include "estimation/TwoViewGeometry.h"

class HomographyEstimatorData
    : public OptimizerDataTemplate<Homography, LA::AlignedVector8f, LA::AlignedMatrix8f>,
      public MatchSet2D {
 public:
  void NormalizeData(const f32& factor, Homography& model) override;
  void DenormalizeModel(Homography& model) override;
  // Sum of the squared transfer errors of all matches.
  f64 ComputeSSE(const Homography& model) override;
  // 1 / (scale1 scale2 N).
  f64 GetFactorSSEToMSE() override;
  void ConstructNormalEquation(const Homography& model, const LA::AlignedVector8f& scale,
                               LA::AlignedMatrix8f& A, LA::AlignedVector8f& b) override;
  void ConstructNormalEquationAndScale(const Homography& model, LA::AlignedMatrix8f& A,
                                       LA::AlignedVector8f& b, LA::AlignedVector8f& scale) override;
  // updated = old + scale_i dx_i on h11, h12, h13, h21, h22, h23, h31, h32.
  void UpdateModel(const LA::AlignedVector8f& scale, const LA::AlignedVector8f& dx,
                   const Homography& old, Homography& updated) override;

  // destination = the listed matches of source, in list order, with their
  // tags when the source carries them (otherwise the destination has none).
  static void GetSubset(const HomographyEstimatorData& source, const std::vector<u16>& list,
                        HomographyEstimatorData& destination);

  // Per-match tags of the owner; empty unless the owner fills them (N each).
  std::vector<u32> tags1;
  std::vector<u32> tags2;
  // 1 while data and model are in normalised coordinates.
  u8 normalized = 0;

 private:
  void BuildNormalEquation(const Homography& model, LA::AlignedMatrix8f& A, LA::AlignedVector8f& b);

  LA::AlignedVector4f scratch_[16];
};

// Squared transfer error of one match under H (squared pixels for a pixel H).
f32 ComputeTransferError(const LA::AlignedMatrix3f& H, f32 x1, f32 y1, f32 x2, f32 y2);
// The same for the four matches of one block; Hb holds the nine entries of H
// broadcast to vectors (BroadcastMatrix3).
void ComputeTransferError4(const LA::AlignedVector4f* Hb, const f32* x1, const f32* y1,
                           const f32* x2, const f32* y2, f32* out);

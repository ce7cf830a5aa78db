#pragma once
// The matches of the homography estimator as the Levenberg-Marquardt optimiser
// sees them: the transfer error (x2, y2) - H(x1, y1) as two residuals per
// match, h11..h32 as parameters (h33 stays fixed), and isotropic
// normalisation around a run. Each match may carry two u32 tags of its owner,
// which subsets keep.
#include <vector>

#include "estimation/TwoViewGeometry.h"
#include "estimation/TwoViewMatrixData.h"

class HomographyEstimatorData
    : public TwoViewMatrixData<HomographyEstimatorData, Homography, TransformHomography> {
 public:
  // Sum of the squared transfer errors of all matches.
  f64 ComputeSSE(const Homography& model) override;

  // destination = the listed matches of source, in list order, with their
  // tags when the source carries them (otherwise the destination has none).
  static void GetSubset(const HomographyEstimatorData& source, const std::vector<u16>& list,
                        HomographyEstimatorData& destination);

  // Per-match tags of the owner; empty unless the owner fills them (N each).
  std::vector<u32> tags1;
  std::vector<u32> tags2;

 private:
  using Base = TwoViewMatrixData<HomographyEstimatorData, Homography, TransformHomography>;
  friend Base;
  // Unscaled A (upper triangle) and b = -sum r J over h11..h32.
  void BuildNormalEquation(const Homography& model, LA::AlignedMatrix8f& A, LA::AlignedVector8f& b);
};

// Squared transfer error of one match under H (squared pixels for a pixel H).
f32 ComputeTransferError(const LA::AlignedMatrix3f& H, f32 x1, f32 y1, f32 x2, f32 y2);
// The same for the four matches of one block; Hb holds the nine entries of H
// broadcast to vectors (BroadcastMatrix3).
void ComputeTransferError4(const LA::AlignedVector4f* Hb, const f32* x1, const f32* y1,
                           const f32* x2, const f32* y2, f32* out);

#pragma once
// Robust essential matrix, and with it the relative pose, of two views from
// matches in normalised camera coordinates: five-point samples (up to ten
// candidates each), verification by the symmetric epipolar error, and
// refinement of the relative pose [R | t], |t| = 1, by Levenberg-Marquardt.
// A model counts only when it decomposes into a pose that puts enough matches
// in front of both cameras; the pose of the last model verified or optimised
// stays in `pose`.
#include <vector>

#include "estimation/EssentialMatrix.h"
#include "estimation/EssentialMatrixEstimatorData.h"
#include "estimation/EssentialMatrixFivePointAlgorithm.h"
#include "estimation/Estimator.h"
#include "estimation/OptimizerTemplate.h"

using RelativePoseOptimizer =
    OptimizerTemplate<RigidTransformation3D, LA::AlignedVector6f, LA::AlignedCompactMatrix6f>;

class EssentialMatrixEstimator
    : public Estimator<EssentialMatrixEstimatorData, FiveMatches2D, EssentialMatrixEstimatorData,
                       EssentialMatrix, EssentialMatrixFivePointAlgorithm, RelativePoseOptimizer,
                       u16> {
 public:
  using Data = EssentialMatrixEstimatorData;

  explicit EssentialMatrixEstimator(const f32& threshold);

  u32 GetMinimalSampleSize() const override { return 5; }
  // w^5 as w w (w w) w.
  f32 ComputeAllInlierProbability(const f32& w) const override;
  void GenerateMinimalSample(const Data& data, FiveMatches2D& sample) override;
  // Five-point chain on all matches of the sample (least-squares null space).
  bool SolveNonMinimal(const Data& sample, AlignedArray<EssentialMatrix>& models) override;
  // Five-point chain on the sample: up to ten candidates.
  bool SolveMinimal(const FiveMatches2D& sample, AlignedArray<EssentialMatrix>& models) override;
  void VerifyModelConstrained(const Data& data, const EssentialMatrix& model,
                              const BitMask& required, std::vector<u16>& inliers,
                              f64& error) override;
  void VerifyModel(const Data& data, const EssentialMatrix& model, std::vector<u16>& inliers,
                   f64& error) override;
  void ComputeInlierSSE(const Data& data, const EssentialMatrix& model, const BitMask& mask,
                        f64& sse) override;
  // Refines the decomposed pose and writes E = [t]x R back; 0 (model kept)
  // when the decomposition fails, else the optimiser's stop code.
  u32 OptimizeModel(Data& sample, EssentialMatrix& model, u8 verbosity) override;
  bool GenerateMinimalSampleProsac(const Data& data, const std::vector<u16>& order, u16 n,
                                   bool includeLast, FiveMatches2D& sample) override;

  // Least share of matches in front of both cameras for a model to count
  // (the owner sets it; 0.8 is the tracker's choice).
  f32 minInFrontRatio = 0.8f;
  // Decomposition of the last model verified or optimised.
  RigidTransformation3D pose{};

 private:
  bool RunChain(AlignedArray<EssentialMatrix>& models);
  void Verify(const Data& data, const EssentialMatrix& model, const BitMask* required,
              std::vector<u16>& inliers, f64& error);
  void CopyToSample(const Data& data, const u16* items, FiveMatches2D& sample) const;
  float* Scratch(u32 vectors);

  AlignedArray<float> scratch_;
};

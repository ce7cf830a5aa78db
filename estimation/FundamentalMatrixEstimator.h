#pragma once
// Robust fundamental matrix between two images from pixel matches: eight-point
// samples, verification by the symmetric epipolar error (squared pixels
// against `threshold`, strictly), least-squares re-estimation on normalised
// matches and Levenberg-Marquardt refinement of F11..F32 with F33 fixed.
#include <vector>

#include "estimation/EstimatorParsac.h"
#include "estimation/FundamentalMatrixEightPointAlgorithm.h"
#include "estimation/FundamentalMatrixEstimatorData.h"
#include "estimation/OptimizerTemplate.h"

using FundamentalMatrixOptimizer =
    OptimizerTemplate<FundamentalMatrix, LA::AlignedVector8f, LA::AlignedMatrix8f>;

class FundamentalMatrixEstimator
    : public EstimatorParsac<FundamentalMatrixEstimatorData, EightMatches2D,
                             FundamentalMatrixEstimatorData, FundamentalMatrix,
                             FundamentalMatrixEightPointAlgorithm, FundamentalMatrixOptimizer,
                             u16> {
 public:
  using Data = FundamentalMatrixEstimatorData;

  explicit FundamentalMatrixEstimator(const f32& threshold);

  u32 GetMinimalSampleSize() const override { return 8; }
  // w^8 as three squarings.
  f32 ComputeAllInlierProbability(const f32& w) const override;
  void GenerateMinimalSample(const Data& data, EightMatches2D& sample) override;
  // The slot sees a const sample: it fits a normalised copy, leaving the
  // sample as it was.
  bool SolveNonMinimal(const Data& sample, AlignedArray<FundamentalMatrix>& models) override;
  // Normalises `sample` in place (it stays normalised), fits, and returns the
  // model in pixels: one model, or none on failure.
  bool SolveNonMinimal(Data& sample, AlignedArray<FundamentalMatrix>& models);
  // Normalises the sample in place, solves the eight-point system, maps back.
  bool SolveMinimal(const EightMatches2D& sample, AlignedArray<FundamentalMatrix>& models) override;
  void VerifyModelConstrained(const Data& data, const FundamentalMatrix& model,
                              const BitMask& required, std::vector<u16>& inliers,
                              f64& error) override;
  void VerifyModel(const Data& data, const FundamentalMatrix& model, std::vector<u16>& inliers,
                   f64& error) override;
  void ComputeInlierSSE(const Data& data, const FundamentalMatrix& model, const BitMask& mask,
                        f64& sse) override;
  u32 OptimizeModel(Data& sample, FundamentalMatrix& model, u8 verbosity) override;
  bool GenerateMinimalSampleProsac(const Data& data, const std::vector<u16>& order, u16 n,
                                   bool includeLast, EightMatches2D& sample) override;
  bool GenerateMinimalSampleArsac(const Data& data, const std::vector<std::vector<u16>>& bins,
                                  EightMatches2D& sample) override;
  bool GenerateMinimalSampleParsac(const Data& data, const std::vector<f32>& cumulative,
                                   const std::vector<std::vector<u16>>& bins,
                                   EightMatches2D& sample) override;

 private:
  void CopyToSample(const Data& data, const u16* items, EightMatches2D& sample) const;
  // The bin slots: uniform without a table, weighted with one.
  bool DrawBinSampleInto(const Data& data, const std::vector<std::vector<u16>>& bins,
                         const std::vector<f32>* cumulative, EightMatches2D& sample) const;

  AlignedArray<LA::AlignedVector4f> scratch_;
  // Working copy for the const non-minimal slot.
  Data normalizedSample_;
  // The sample is normalised in place by SolveMinimal; this is its copy.
  EightMatches2D minimalWork_;
};

#include "estimation/FundamentalMatrixEstimator.h"

#include "estimation/MatchSetVerification.h"
#include "estimation/NormalizedFit.h"
#include "estimation/SampleIndices.h"
#include "estimation/ScratchVectors.h"
#include "estimation/WeightedSampler.h"

FundamentalMatrixEstimator::FundamentalMatrixEstimator(const f32& threshold)
    : EstimatorParsac(threshold) {}

f32 FundamentalMatrixEstimator::ComputeAllInlierProbability(const f32& w) const {
  const f32 w2 = w * w;
  const f32 w4 = w2 * w2;
  return w4 * w4;
}

void FundamentalMatrixEstimator::CopyToSample(const Data& data, const u16* items,
                                              EightMatches2D& sample) const {
  data.GetMatches(items, 8, sample.px1, sample.py1, sample.px2, sample.py2);
}

void FundamentalMatrixEstimator::GenerateMinimalSample(const Data& data, EightMatches2D& sample) {
  u16 items[8];
  DrawDistinctIndices(data.Size(), 8, items);
  CopyToSample(data, items, sample);
}

bool FundamentalMatrixEstimator::GenerateMinimalSampleProsac(const Data& data,
                                                             const std::vector<u16>& order, u16 n,
                                                             bool includeLast,
                                                             EightMatches2D& sample) {
  if (n < 8 || order.size() < n) return false;
  u16 items[8];
  DrawProsacItems(order, n, 8, includeLast, items);
  if (!AllBelow(items, 8, data.Size())) return false;
  CopyToSample(data, items, sample);
  return true;
}

bool FundamentalMatrixEstimator::GenerateMinimalSampleArsac(
    const Data& data, const std::vector<std::vector<u16>>& bins, EightMatches2D& sample) {
  return DrawBinSampleInto(data, bins, nullptr, sample);
}

bool FundamentalMatrixEstimator::GenerateMinimalSampleParsac(
    const Data& data, const std::vector<f32>& cumulative, const std::vector<std::vector<u16>>& bins,
    EightMatches2D& sample) {
  return DrawBinSampleInto(data, bins, &cumulative, sample);
}

bool FundamentalMatrixEstimator::DrawBinSampleInto(const Data& data,
                                                   const std::vector<std::vector<u16>>& bins,
                                                   const std::vector<f32>* cumulative,
                                                   EightMatches2D& sample) const {
  u16 items[8];
  u32 chosen[8];
  if (!DrawBinSample(bins, cumulative, 8, chosen, items)) return false;
  if (!AllBelow(items, 8, data.Size())) return false;
  CopyToSample(data, items, sample);
  return true;
}

bool FundamentalMatrixEstimator::SolveMinimal(const EightMatches2D& sample,
                                              AlignedArray<FundamentalMatrix>& models) {
  minimalWork_ = sample;
  return FitInNormalizedFrame<TransformFundamentalMatrix>(
      minimalWork_,
      [this](const EightMatches2D& s, FundamentalMatrix& F) {
        return solver.RunMinimalSample(s, F, scratch_);
      },
      11, scratch_, models);
}

bool FundamentalMatrixEstimator::SolveNonMinimal(Data& sample,
                                                 AlignedArray<FundamentalMatrix>& models) {
  return FitInNormalizedFrame<TransformFundamentalMatrix>(
      sample,
      [this](const MatchSet2D& s, FundamentalMatrix& F) {
        return solver.RunNonMinimalData(s, F, scratch_);
      },
      11, scratch_, models);
}

bool FundamentalMatrixEstimator::SolveNonMinimal(const Data& sample,
                                                 AlignedArray<FundamentalMatrix>& models) {
  static_cast<MatchSet2D&>(normalizedSample_) = sample;
  return SolveNonMinimal(normalizedSample_, models);
}

void FundamentalMatrixEstimator::VerifyModel(const Data& data, const FundamentalMatrix& model,
                                             std::vector<u16>& inliers, f64& error) {
  VerifyEpipolarMatches(data, model, threshold, nullptr, ScratchVectors(scratch_, 20), inliers,
                        error);
}

void FundamentalMatrixEstimator::VerifyModelConstrained(const Data& data,
                                                        const FundamentalMatrix& model,
                                                        const BitMask& required,
                                                        std::vector<u16>& inliers, f64& error) {
  VerifyEpipolarMatches(data, model, threshold, &required, ScratchVectors(scratch_, 20), inliers,
                        error);
}

void FundamentalMatrixEstimator::ComputeInlierSSE(const Data& data, const FundamentalMatrix& F,
                                                  const BitMask& mask, f64& sse) {
  sse = SumEpipolarErrors(data, F, mask);
}

u32 FundamentalMatrixEstimator::OptimizeModel(Data& sample, FundamentalMatrix& model,
                                              u8 verbosity) {
  return RunOptimizer(sample, model, verbosity);
}

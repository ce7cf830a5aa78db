#include "estimation/HomographyEstimator.h"

#include "estimation/MatchSetVerification.h"
#include "estimation/NormalizedFit.h"
#include "estimation/SampleIndices.h"
#include "estimation/ScratchVectors.h"

HomographyEstimator::HomographyEstimator(const f32& threshold) : Estimator(threshold) {}

f32 HomographyEstimator::ComputeAllInlierProbability(const f32& w) const {
  return (w * w) * (w * w);
}

void HomographyEstimator::CopyToSample(const Data& data, const u16* items,
                                       FourMatches2D& sample) const {
  data.GetMatches(items, 4, sample.x1, sample.y1, sample.x2, sample.y2);
}

void HomographyEstimator::GenerateMinimalSample(const Data& data, FourMatches2D& sample) {
  u16 items[4];
  DrawDistinctIndices(data.Size(), 4, items);
  CopyToSample(data, items, sample);
}

bool HomographyEstimator::GenerateMinimalSampleProsac(const Data& data,
                                                      const std::vector<u16>& order, u16 n,
                                                      bool includeLast, FourMatches2D& sample) {
  if (n < 4 || order.size() < n) return false;
  u16 items[4];
  DrawProsacItems(order, n, 4, includeLast, items);
  if (!AllBelow(items, 4, data.Size())) return false;
  CopyToSample(data, items, sample);
  return true;
}

bool HomographyEstimator::SolveMinimal(const FourMatches2D& sample,
                                       AlignedArray<Homography>& models) {
  minimalWork_ = sample;
  return FitInNormalizedFrame<TransformHomography>(
      minimalWork_,
      [this](const FourMatches2D& s, Homography& H) {
        return solver.RunMinimalSample(s, H, scratch_);
      },
      6, scratch_, models);
}

bool HomographyEstimator::SolveNonMinimal(Data& sample, AlignedArray<Homography>& models) {
  return FitInNormalizedFrame<TransformHomography>(
      sample,
      [this](const MatchSet2D& s, Homography& H) {
        return solver.RunNonMinimalData(s, H, scratch_);
      },
      6, scratch_, models);
}

bool HomographyEstimator::SolveNonMinimal(const Data& sample, AlignedArray<Homography>& models) {
  static_cast<MatchSet2D&>(normalizedSample_) = sample;
  return SolveNonMinimal(normalizedSample_, models);
}

void HomographyEstimator::Verify(const Data& data, const Homography& H, const BitMask* required,
                                 std::vector<u16>& inliers, f64& error) {
  LA::AlignedVector4f* Hb = ScratchVectors(scratch_, 9);
  BroadcastMatrix3(H, Hb);
  VerifyMatchSet(
      data, threshold, required,
      [Hb](const f32* p, f32* out) { ComputeTransferError4(Hb, p, p + 4, p + 8, p + 12, out); },
      [&H](const LA::Vector2<f32>& p1, const LA::Vector2<f32>& p2) {
        return ComputeTransferError(H, p1.x, p1.y, p2.x, p2.y);
      },
      inliers, error);
}

void HomographyEstimator::VerifyModel(const Data& data, const Homography& model,
                                      std::vector<u16>& inliers, f64& error) {
  Verify(data, model, nullptr, inliers, error);
}

void HomographyEstimator::VerifyModelConstrained(const Data& data, const Homography& model,
                                                 const BitMask& required, std::vector<u16>& inliers,
                                                 f64& error) {
  Verify(data, model, &required, inliers, error);
}

void HomographyEstimator::ComputeInlierSSE(const Data& data, const Homography& H,
                                           const BitMask& mask, f64& sse) {
  sse = SumMatchErrors(data, mask, [&H](const LA::Vector2<f32>& p1, const LA::Vector2<f32>& p2) {
    return ComputeTransferError(H, p1.x, p1.y, p2.x, p2.y);
  });
}

u32 HomographyEstimator::OptimizeModel(Data& sample, Homography& model, u8 verbosity) {
  return RunOptimizer(sample, model, verbosity);
}

#include "estimation/EssentialMatrixEstimator.h"

#include "estimation/MatchSetVerification.h"
#include "estimation/SampleIndices.h"
#include "estimation/ScratchVectors.h"

namespace {

// Work space of ToRelativePose and of the verification.
constexpr u32 kPoseScratchVectors = 38;

}  // namespace

EssentialMatrixEstimator::EssentialMatrixEstimator(const f32& threshold) : Estimator(threshold) {}

f32 EssentialMatrixEstimator::ComputeAllInlierProbability(const f32& w) const {
  return ((w * w) * (w * w)) * w;
}

void EssentialMatrixEstimator::CopyToSample(const Data& data, const u16* items,
                                            FiveMatches2D& sample) const {
  data.GetMatches(items, 4, sample.x1, sample.y1, sample.x2, sample.y2);
  data.GetMatch(items[4], sample.fifth);
}

void EssentialMatrixEstimator::GenerateMinimalSample(const Data& data, FiveMatches2D& sample) {
  u16 items[5];
  DrawDistinctIndices(data.Size(), 5, items);
  CopyToSample(data, items, sample);
}

bool EssentialMatrixEstimator::GenerateMinimalSampleProsac(const Data& data,
                                                           const std::vector<u16>& order, u16 n,
                                                           bool includeLast,
                                                           FiveMatches2D& sample) {
  if (n < 5 || order.size() < n) return false;
  u16 items[5];
  DrawProsacItems(order, n, 5, includeLast, items);
  if (!AllBelow(items, 5, data.Size())) return false;
  CopyToSample(data, items, sample);
  return true;
}

bool EssentialMatrixEstimator::RunChain(AlignedArray<EssentialMatrix>& models) {
  solver.ConstructConstraintMatrix(scratch_);
  if (!solver.EliminateConstraintMatrix(scratch_)) return false;
  solver.ConstructActionMatrix();
  return solver.ComputeSolutions(models, scratch_);
}

bool EssentialMatrixEstimator::SolveMinimal(const FiveMatches2D& sample,
                                            AlignedArray<EssentialMatrix>& models) {
  models.Resize(0);
  return solver.ComputeNullSpaceMinimal(sample, scratch_) && RunChain(models);
}

bool EssentialMatrixEstimator::SolveNonMinimal(const Data& sample,
                                               AlignedArray<EssentialMatrix>& models) {
  models.Resize(0);
  return solver.ComputeNullSpaceNonMinimal(sample, scratch_) && RunChain(models);
}

void EssentialMatrixEstimator::Verify(const Data& data, const EssentialMatrix& model,
                                      const BitMask* required, std::vector<u16>& inliers,
                                      f64& error) {
  inliers.clear();
  error = 0.0;
  float* scratch = ScratchVectors(scratch_, kPoseScratchVectors + 16);
  if (!EssentialMatrix::ToRelativePose(model, data, pose, minInFrontRatio, scratch)) return;
  VerifyEpipolarMatches(data, model, threshold, required,
                        reinterpret_cast<LA::AlignedVector4f*>(scratch), inliers, error);
}

void EssentialMatrixEstimator::VerifyModel(const Data& data, const EssentialMatrix& model,
                                           std::vector<u16>& inliers, f64& error) {
  Verify(data, model, nullptr, inliers, error);
}

void EssentialMatrixEstimator::VerifyModelConstrained(const Data& data,
                                                      const EssentialMatrix& model,
                                                      const BitMask& required,
                                                      std::vector<u16>& inliers, f64& error) {
  Verify(data, model, &required, inliers, error);
}

void EssentialMatrixEstimator::ComputeInlierSSE(const Data& data, const EssentialMatrix& model,
                                                const BitMask& mask, f64& sse) {
  sse = SumEpipolarErrors(data, model, mask);
}

u32 EssentialMatrixEstimator::OptimizeModel(Data& sample, EssentialMatrix& model, u8 verbosity) {
  float* scratch = ScratchVectors(scratch_, kPoseScratchVectors);
  if (!EssentialMatrix::ToRelativePose(model, sample, pose, minInFrontRatio, scratch)) return 0;
  const u32 code = RunOptimizer(sample, pose, verbosity);
  EssentialMatrixEstimatorData::PoseToEssential(pose, model);
  return code;
}

#include "estimation/EssentialMatrixEstimator.h"

#include "estimation/TwoViewGeometry.h"
#include "la/Random.h"

namespace {

inline u16 DrawNew(u32 n, const u16* drawn, u32 count) {
  for (;;) {
    const u16 v = static_cast<u16>(Random::Next() % n);
    bool taken = false;
    for (u32 j = 0; j < count; ++j) taken = taken || drawn[j] == v;
    if (!taken) return v;
  }
}

// Work space of ToRelativePose and of the verification.
constexpr u32 kPoseScratchVectors = 38;

}  // namespace

EssentialMatrixEstimator::EssentialMatrixEstimator(const f32& threshold) : Estimator(threshold) {}

float* EssentialMatrixEstimator::Scratch(u32 vectors) {
  if (scratch_.Size() < 4 * vectors) scratch_.Resize(4 * vectors);
  return scratch_.Data();
}

f32 EssentialMatrixEstimator::ComputeAllInlierProbability(const f32& w) const {
  return ((w * w) * (w * w)) * w;
}

void EssentialMatrixEstimator::CopyToSample(const Data& data, const u16* items,
                                            FiveMatches2D& sample) const {
  float m[4];
  for (int k = 0; k < 4; ++k) {
    data.GetMatch(items[k], m);
    sample.x1[k] = m[0];
    sample.y1[k] = m[1];
    sample.x2[k] = m[2];
    sample.y2[k] = m[3];
  }
  data.GetMatch(items[4], sample.fifth);
}

void EssentialMatrixEstimator::GenerateMinimalSample(const Data& data, FiveMatches2D& sample) {
  u16 items[5];
  for (u32 k = 0; k < 5; ++k) items[k] = DrawNew(data.Size(), items, k);
  CopyToSample(data, items, sample);
}

bool EssentialMatrixEstimator::GenerateMinimalSampleProsac(const Data& data,
                                                           const std::vector<u16>& order, u16 n,
                                                           bool includeLast,
                                                           FiveMatches2D& sample) {
  if (n < 5 || order.size() < n) return false;
  u16 positions[5];
  for (u32 k = 0; k < 4; ++k) positions[k] = DrawNew(n, positions, k);
  const u16 last = static_cast<u16>(n - 1);
  bool lastTaken = false;
  for (int k = 0; k < 4; ++k) lastTaken = lastTaken || positions[k] == last;
  positions[4] = includeLast && !lastTaken ? last : DrawNew(n, positions, 4);
  u16 items[5];
  for (int k = 0; k < 5; ++k) items[k] = order[positions[k]];
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
  float* scratch = Scratch(kPoseScratchVectors + 16);
  if (!EssentialMatrix::ToRelativePose(model, data, pose, minInFrontRatio, scratch)) return;
  LA::AlignedVector4f* Eb = reinterpret_cast<LA::AlignedVector4f*>(scratch);
  BroadcastMatrix3(model, Eb);
  LA::AlignedVector4f* work = Eb + 9;
  alignas(16) float out[4];
  const float* p = reinterpret_cast<const float*>(data.packed.Data());
  // Complete blocks four at a time; a NaN error fails the test.
  for (u32 i = 0; i < data.packedCount; i += 4, p += 16) {
    ComputeSymmetricEpipolarError4(Eb, p, p + 4, p + 8, p + 12, out, work);
    for (u32 l = 0; l < 4; ++l) {
      if (out[l] < threshold) {
        inliers.push_back(static_cast<u16>(i + l));
        error += static_cast<f64>(out[l]);
      } else if (required && required->Test(i + l)) {
        inliers.clear();
        error = 0.0;
        return;
      }
    }
  }
  for (u32 t = 0; t < data.tailCount; ++t) {
    const u32 i = data.packedCount + t;
    const float e = ComputeSymmetricEpipolarError(model, data.tail1[t], data.tail2[t], work[0].v);
    if (e < threshold) {
      inliers.push_back(static_cast<u16>(i));
      error += static_cast<f64>(e);
    } else if (required && required->Test(i)) {
      inliers.clear();
      error = 0.0;
      return;
    }
  }
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
  sse = 0.0;
  float work[6];
  float m[4];
  for (u32 i = 0; i < data.count; ++i) {
    if (!mask.Test(i)) continue;
    if (i < data.packedCount) {
      data.GetMatch(i, m);
    } else {
      const u32 t = i - data.packedCount;
      m[0] = data.tail1[t].x;
      m[1] = data.tail1[t].y;
      m[2] = data.tail2[t].x;
      m[3] = data.tail2[t].y;
    }
    const LA::Vector2<f32> p1{m[0], m[1]}, p2{m[2], m[3]};
    sse += static_cast<f64>(ComputeSymmetricEpipolarError(model, p1, p2, work));
  }
}

u32 EssentialMatrixEstimator::OptimizeModel(Data& sample, EssentialMatrix& model, u8 verbosity) {
  float* scratch = Scratch(kPoseScratchVectors);
  if (!EssentialMatrix::ToRelativePose(model, sample, pose, minInFrontRatio, scratch)) return 0;
  optimizer.maxIterations = optimizerIterations;
  const u32 code =
      optimizer.Optimize(sample, pose, verbosity < 2 ? 0 : static_cast<u8>(verbosity - 2));
  EssentialMatrixEstimatorData::PoseToEssential(pose, model);
  return code;
}

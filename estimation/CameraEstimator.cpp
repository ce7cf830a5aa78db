#include "estimation/CameraEstimator.h"

#include "estimation/WeightedSampler.h"
#include "la/Random.h"

CameraEstimator::CameraEstimator(const f32& threshold) : EstimatorParsac(threshold) {}

CameraEstimator::~CameraEstimator() {
  DestroyAlignedBufferGroup(subsetData_);
  DestroyAlignedBufferGroup(nonMinimalSample_);
}

f32 CameraEstimator::ComputeAllInlierProbability(const f32& w) const {
  const f32 w2 = w * w;
  return w2 * w2 * w2;
}

void CameraEstimator::Copy(const CameraEstimatorData& data, u32 index, u32 slot,
                           MatchSet3DTo2DN<6>& sample) {
  sample.worldPoints[slot] = data.worldPoints[index];
  sample.imagePoints[slot] = data.imagePoints[index];
}

void CameraEstimator::GenerateMinimalSample(const CameraEstimatorData& data,
                                            MatchSet3DTo2DN<6>& sample) {
  const u32 N = data.Size();
  if (N < 6) return;
  u32 p[6];
  for (u32 k = 0; k < 6; ++k) {
    bool repeated;
    do {
      p[k] = Random::Index(N);
      repeated = false;
      for (u32 j = 0; j < k; ++j) repeated = repeated || p[j] == p[k];
    } while (repeated);
    Copy(data, p[k], k, sample);
  }
}

bool CameraEstimator::GenerateMinimalSampleProsac(const CameraEstimatorData& data,
                                                  const std::vector<u16>& order, u16 n,
                                                  bool includeLast, MatchSet3DTo2DN<6>& sample) {
  if (n < 6 || n > order.size()) return false;
  u32 q[6];
  const auto taken = [&](u32 count, u32 value) {
    for (u32 j = 0; j < count; ++j)
      if (q[j] == value) return true;
    return false;
  };
  for (u32 k = 0; k < 5; ++k) {
    do q[k] = Random::Index(n);
    while (taken(k, q[k]));
  }
  q[5] = includeLast ? n - 1u : Random::Index(n);
  while (taken(5, q[5])) q[5] = Random::Index(n);
  for (u32 k = 0; k < 6; ++k) Copy(data, order[q[k]], k, sample);
  return true;
}

bool CameraEstimator::GenerateMinimalSampleArsac(const CameraEstimatorData& data,
                                                 const std::vector<std::vector<u16>>& bins,
                                                 MatchSet3DTo2DN<6>& sample) {
  u32 chosen[6];
  u16 members[6];
  if (!::DrawBinSample(bins, nullptr, 6, chosen, members)) return false;
  for (u32 k = 0; k < 6; ++k)
    if (members[k] >= data.Size()) return false;
  for (u32 k = 0; k < 6; ++k) Copy(data, members[k], k, sample);
  return true;
}

bool CameraEstimator::GenerateMinimalSampleParsac(const CameraEstimatorData& data,
                                                  const std::vector<f32>& cumulative,
                                                  const std::vector<std::vector<u16>>& bins,
                                                  MatchSet3DTo2DN<6>& sample) {
  u32 chosen[6];
  u16 members[6];
  if (!::DrawBinSample(bins, &cumulative, 6, chosen, members)) return false;
  for (u32 k = 0; k < 6; ++k)
    if (members[k] >= data.Size()) return false;
  for (u32 k = 0; k < 6; ++k) Copy(data, members[k], k, sample);
  return true;
}

bool CameraEstimator::SolveNonMinimal(const CameraEstimatorData& data,
                                      AlignedArray<Camera>& models) {
  models.Resize(1);
  if (data.Size() < 6 || !solver.RunNonMinimalData(data, models[0], work)) {
    models.Resize(0);
    return false;
  }
  return true;
}

bool CameraEstimator::SolveMinimal(const MatchSet3DTo2DN<6>& sample, AlignedArray<Camera>& models) {
  models.Resize(1);
  if (!solver.RunMinimalSample(sample, models[0], work)) {
    models.Resize(0);
    return false;
  }
  return true;
}

template <bool kConstrained>
void CameraEstimator::Verify(const CameraEstimatorData& data, const Camera& model,
                             const BitMask* required, std::vector<u16>& inliers, f64& error) {
  inliers.clear();
  error = 0.0;
  const u32 N = data.Size();
  const f32 t = threshold;
  alignas(16) float e[4];
  float z[2];
  // One match's outcome; false when a required match fails (rejection).
  const auto take = [&](u32 i, float depth, float squaredError) {
    if (depth > 0.0f && t > squaredError) {
      inliers.push_back(static_cast<u16>(i));
      error += static_cast<f64>(squaredError);
      return true;
    }
    if (kConstrained && required->Test(i)) {
      inliers.clear();
      error = 0.0;
      return false;
    }
    return true;
  };
  u32 i = 0;
  for (; i + 1 < N; i += 2) {
    ComputeMatchPairResiduals(model, &data.worldPoints[i], &data.imagePoints[i], e, z);
    if (!take(i, z[0], e[0] * e[0] + e[1] * e[1])) return;
    if (!take(i + 1, z[1], e[2] * e[2] + e[3] * e[3])) return;
  }
  if (i < N) {
    const float squaredError =
        ComputeMatchSquaredError(model, data.worldPoints[i], data.imagePoints[i], z[0]);
    take(i, z[0], squaredError);
  }
}

void CameraEstimator::VerifyModel(const CameraEstimatorData& data, const Camera& model,
                                  std::vector<u16>& inliers, f64& error) {
  Verify<false>(data, model, nullptr, inliers, error);
}

void CameraEstimator::VerifyModelConstrained(const CameraEstimatorData& data, const Camera& model,
                                             const BitMask& required, std::vector<u16>& inliers,
                                             f64& error) {
  Verify<true>(data, model, &required, inliers, error);
}

void CameraEstimator::ComputeInlierSSE(const CameraEstimatorData& data, const Camera& model,
                                       const BitMask& mask, f64& sse) {
  sse = 0.0;
  const u32 N = data.Size();
  float depth;
  for (u32 i = 0; i < N; ++i) {
    if (!mask.Test(i)) continue;
    sse += static_cast<f64>(
        ComputeMatchSquaredError(model, data.worldPoints[i], data.imagePoints[i], depth));
  }
}

u32 CameraEstimator::OptimizeModel(CameraEstimatorData& data, Camera& model, u8 verbosity) {
  optimizer.maxIterations = optimizerIterations;
  return optimizer.Optimize(data, model, verbosity < 2 ? 0 : static_cast<u8>(verbosity - 2));
}

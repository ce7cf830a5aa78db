#include "estimation/CameraEstimator.h"

#include <immintrin.h>

#include <algorithm>

#include "estimation/SampleIndices.h"
#include "estimation/WeightedSampler.h"

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
  DrawDistinctIndices(N, 6, p);
  for (u32 k = 0; k < 6; ++k) Copy(data, p[k], k, sample);
}

bool CameraEstimator::GenerateMinimalSampleProsac(const CameraEstimatorData& data,
                                                  const std::vector<u16>& order, u16 n,
                                                  bool includeLast, MatchSet3DTo2DN<6>& sample) {
  if (n < 6 || n > order.size()) return false;
  u16 items[6];
  DrawProsacItems(order, n, 6, includeLast, items);
  if (!AllBelow(items, 6, data.Size())) return false;
  for (u32 k = 0; k < 6; ++k) Copy(data, items[k], k, sample);
  return true;
}

bool CameraEstimator::GenerateMinimalSampleArsac(const CameraEstimatorData& data,
                                                 const std::vector<std::vector<u16>>& bins,
                                                 MatchSet3DTo2DN<6>& sample) {
  return DrawBinSampleInto(data, bins, nullptr, sample);
}

bool CameraEstimator::GenerateMinimalSampleParsac(const CameraEstimatorData& data,
                                                  const std::vector<f32>& cumulative,
                                                  const std::vector<std::vector<u16>>& bins,
                                                  MatchSet3DTo2DN<6>& sample) {
  return DrawBinSampleInto(data, bins, &cumulative, sample);
}

bool CameraEstimator::DrawBinSampleInto(const CameraEstimatorData& data,
                                        const std::vector<std::vector<u16>>& bins,
                                        const std::vector<f32>* cumulative,
                                        MatchSet3DTo2DN<6>& sample) {
  u32 chosen[6];
  u16 members[6];
  if (!DrawBinSample(bins, cumulative, 6, chosen, members)) return false;
  if (!AllBelow(members, 6, data.Size())) return false;
  for (u32 k = 0; k < 6; ++k) Copy(data, members[k], k, sample);
  return true;
}

bool CameraEstimator::SolveNonMinimal(const CameraEstimatorData& data,
                                      AlignedArray<Camera>& models) {
  return SolveOneModel(models, [&](Camera& model) {
    return data.Size() >= 6 && solver.RunNonMinimalData(data, model, work);
  });
}

bool CameraEstimator::SolveMinimal(const MatchSet3DTo2DN<6>& sample, AlignedArray<Camera>& models) {
  return SolveOneModel(models,
                       [&](Camera& model) { return solver.RunMinimalSample(sample, model, work); });
}

template <bool kConstrained>
void CameraEstimator::Verify(const CameraEstimatorData& data, const Camera& model,
                             const BitMask* required, std::vector<u16>& inliers, f64& error) {
  const u32 N = data.Size();
  // Indices are written in place without branches and the list trimmed at
  // the end; inlier errors are summed in double, two lanes at a time.
  inliers.resize(N);
  u16* out = inliers.data();
  u32 count = 0;
  const __m128 t = _mm_set1_ps(threshold), zero = _mm_setzero_ps();
  __m128d sumLow = _mm_setzero_pd(), sumHigh = _mm_setzero_pd();
  // Adds matches i .. i + n - 1 (n <= 4) with errors se and depths z; false
  // when a required match fails (rejection).
  const auto take = [&](u32 i, u32 n, __m128 se, __m128 depth) {
    const __m128 pass = _mm_and_ps(_mm_cmpgt_ps(depth, zero), _mm_cmpgt_ps(t, se));
    const u32 all = (1u << n) - 1u;
    const u32 bits = static_cast<u32>(_mm_movemask_ps(pass)) & all;
    if (kConstrained && bits != all) {
      for (u32 k = 0; k < n; ++k)
        if (!((bits >> k) & 1u) && required->Test(i + k)) return false;
    }
    const __m128 kept = _mm_and_ps(pass, se);
    sumLow = _mm_add_pd(sumLow, _mm_cvtps_pd(kept));
    sumHigh = _mm_add_pd(sumHigh, _mm_cvtps_pd(_mm_movehl_ps(kept, kept)));
    for (u32 k = 0; k < n; ++k) {
      out[count] = static_cast<u16>(i + k);
      count += (bits >> k) & 1u;
    }
    return true;
  };
  const auto reject = [&] {
    inliers.clear();
    error = 0.0;
  };
  const MatchQuadProjector projector(model);
  u32 i = 0;
  for (; i + 3 < N; i += 4) {
    __m128 se, depth;
    projector.Project(&data.worldPoints[i], &data.imagePoints[i], se, depth);
    if (!take(i, 4, se, depth)) return reject();
  }
  if (i < N) {
    // The last one to three matches: unused lanes are zeroed and masked off.
    alignas(16) float e[4], z[4], r[4];
    float depth[2];
    std::fill(e, e + 4, 0.0f);
    std::fill(z, z + 4, 0.0f);
    const u32 n = N - i;
    u32 k = 0;
    if (n >= 2) {
      ComputeMatchPairResiduals(model, &data.worldPoints[i], &data.imagePoints[i], r, depth);
      e[0] = r[0] * r[0] + r[1] * r[1], z[0] = depth[0];
      e[1] = r[2] * r[2] + r[3] * r[3], z[1] = depth[1];
      k = 2;
    }
    if (k < n)
      e[k] =
          ComputeMatchSquaredError(model, data.worldPoints[i + k], data.imagePoints[i + k], z[k]);
    if (!take(i, n, _mm_load_ps(e), _mm_load_ps(z))) return reject();
  }
  inliers.resize(count);
  const __m128d sum = _mm_add_pd(sumLow, sumHigh);
  error = _mm_cvtsd_f64(_mm_add_sd(sum, _mm_unpackhi_pd(sum, sum)));
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
  return RunOptimizer(data, model, verbosity);
}

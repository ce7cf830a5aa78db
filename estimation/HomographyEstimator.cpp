#include "estimation/HomographyEstimator.h"

#include "la/Random.h"

namespace {

inline LA::AlignedVector4f* Vectors(AlignedArray<LA::AlignedVector4f>& a, u32 n) {
  if (a.Size() < n) a.Resize(n);
  return a.Data();
}

inline u16 DrawNew(u32 n, const u16* drawn, u32 count) {
  for (;;) {
    const u16 v = static_cast<u16>(Random::Next() % n);
    bool taken = false;
    for (u32 j = 0; j < count; ++j) taken = taken || drawn[j] == v;
    if (!taken) return v;
  }
}

}  // namespace

HomographyEstimator::HomographyEstimator(const f32& threshold) : Estimator(threshold) {}

f32 HomographyEstimator::ComputeAllInlierProbability(const f32& w) const {
  return (w * w) * (w * w);
}

void HomographyEstimator::CopyToSample(const Data& data, const u16* items,
                                       FourMatches2D& sample) const {
  float m[4];
  for (int k = 0; k < 4; ++k) {
    data.GetMatch(items[k], m);
    sample.x1[k] = m[0];
    sample.y1[k] = m[1];
    sample.x2[k] = m[2];
    sample.y2[k] = m[3];
  }
}

void HomographyEstimator::GenerateMinimalSample(const Data& data, FourMatches2D& sample) {
  u16 items[4];
  for (u32 k = 0; k < 4; ++k) items[k] = DrawNew(data.Size(), items, k);
  CopyToSample(data, items, sample);
}

bool HomographyEstimator::GenerateMinimalSampleProsac(const Data& data,
                                                      const std::vector<u16>& order, u16 n,
                                                      bool includeLast, FourMatches2D& sample) {
  if (n < 4 || order.size() < n) return false;
  u16 positions[4];
  for (u32 k = 0; k < 3; ++k) positions[k] = DrawNew(n, positions, k);
  const u16 last = static_cast<u16>(n - 1);
  const bool lastTaken = positions[0] == last || positions[1] == last || positions[2] == last;
  positions[3] = includeLast && !lastTaken ? last : DrawNew(n, positions, 3);
  u16 items[4];
  for (int k = 0; k < 4; ++k) items[k] = order[positions[k]];
  CopyToSample(data, items, sample);
  return true;
}

bool HomographyEstimator::SolveMinimal(const FourMatches2D& sample,
                                       AlignedArray<Homography>& models) {
  models.Resize(1);
  LA::AlignedVector4f* scratch = Vectors(scratch_, 6);
  minimalWork_ = sample;
  FourMatches2D::Normalize(minimalWork_, scratch);
  if (!solver.RunMinimalSample(minimalWork_, models[0], scratch_)) {
    models.Resize(0);
    return false;
  }
  TransformHomography(models[0], minimalWork_.means, minimalWork_.scale1, minimalWork_.scale2,
                      Vectors(scratch_, 6));
  return true;
}

bool HomographyEstimator::SolveNonMinimal(Data& sample, AlignedArray<Homography>& models) {
  models.Resize(1);
  MatchSet2D::Normalize(sample, Vectors(scratch_, 6));
  if (!solver.RunNonMinimalData(sample, models[0], scratch_)) {
    models.Resize(0);
    return false;
  }
  TransformHomography(models[0], sample.means, sample.scale1, sample.scale2, Vectors(scratch_, 6));
  return true;
}

bool HomographyEstimator::SolveNonMinimal(const Data& sample, AlignedArray<Homography>& models) {
  static_cast<MatchSet2D&>(normalizedSample_) = sample;
  return SolveNonMinimal(normalizedSample_, models);
}

void HomographyEstimator::Verify(const Data& data, const Homography& H, const BitMask* required,
                                 std::vector<u16>& inliers, f64& error) {
  inliers.clear();
  error = 0.0;
  LA::AlignedVector4f* Hb = Vectors(scratch_, 9);
  BroadcastMatrix3(H, Hb);
  alignas(16) float out[4];
  const float* p = reinterpret_cast<const float*>(data.packed.Data());
  const u32 N = data.count;
  for (u32 i = 0; i < N; ++i) {
    float e;
    if (i < data.packedCount) {
      if ((i & 3) == 0) {
        ComputeTransferError4(Hb, p, p + 4, p + 8, p + 12, out);
        p += 16;
      }
      e = out[i & 3];
    } else {
      const u32 t = i - data.packedCount;
      e = ComputeTransferError(H, data.tail1[t].x, data.tail1[t].y, data.tail2[t].x,
                               data.tail2[t].y);
    }
    if (threshold > e) {
      inliers.push_back(static_cast<u16>(i));
      error += static_cast<f64>(e);
    } else if (required && required->Test(i)) {
      inliers.clear();
      error = 0.0;
      return;
    }
  }
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
  sse = 0.0;
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
    sse += static_cast<f64>(ComputeTransferError(H, m[0], m[1], m[2], m[3]));
  }
}

u32 HomographyEstimator::OptimizeModel(Data& sample, Homography& model, u8 verbosity) {
  optimizer.maxIterations = optimizerIterations;
  return optimizer.Optimize(sample, model, verbosity < 2 ? 0 : static_cast<u8>(verbosity - 2));
}

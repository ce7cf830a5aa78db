#include "estimation/HomographyEstimatorData.h"

#include <immintrin.h>

#include "estimation/NormalEquation8.h"

f32 ComputeTransferError(const LA::AlignedMatrix3f& H, f32 x1, f32 y1, f32 x2, f32 y2) {
  const f32 w = 1.0f / ((H.m[2][0] * x1 + H.m[2][1] * y1) + H.m[2][2]);
  const f32 ex = ((H.m[0][0] * x1 + H.m[0][1] * y1) + H.m[0][2]) * w - x2;
  const f32 ey = ((H.m[1][0] * x1 + H.m[1][1] * y1) + H.m[1][2]) * w - y2;
  return ex * ex + ey * ey;
}

void ComputeTransferError4(const LA::AlignedVector4f* Hb, const f32* px1, const f32* py1,
                           const f32* px2, const f32* py2, f32* out) {
  const __m128 x1 = _mm_load_ps(px1), y1 = _mm_load_ps(py1);
  const __m128 x2 = _mm_load_ps(px2), y2 = _mm_load_ps(py2);
  auto h = [Hb](int k) { return _mm_load_ps(Hb[k].v); };
  const __m128 w = _mm_div_ps(
      _mm_set1_ps(1.0f), _mm_add_ps(_mm_add_ps(_mm_mul_ps(h(6), x1), _mm_mul_ps(h(7), y1)), h(8)));
  const __m128 ex = _mm_sub_ps(
      _mm_mul_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(h(0), x1), _mm_mul_ps(h(1), y1)), h(2)), w), x2);
  const __m128 ey = _mm_sub_ps(
      _mm_mul_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(h(3), x1), _mm_mul_ps(h(4), y1)), h(5)), w), y2);
  _mm_store_ps(out, _mm_add_ps(_mm_mul_ps(ex, ex), _mm_mul_ps(ey, ey)));
}

void HomographyEstimatorData::NormalizeData(const f32& factor, Homography& model) {
  if (factor == 0.0f) {
    scale1 = scale2 = 1.0f;
    normalized = 0;
    return;
  }
  MatchSet2D::Normalize(*this, scratch_);
  alignas(16) float negated[4] = {-scale1 * means[0], -scale1 * means[1], -scale2 * means[2],
                                  -scale2 * means[3]};
  TransformHomography(model, negated, 1.0f / scale1, 1.0f / scale2, scratch_);
  normalized = 1;
}

void HomographyEstimatorData::DenormalizeModel(Homography& model) {
  if (normalized) TransformHomography(model, means, scale1, scale2, scratch_);
}

f64 HomographyEstimatorData::ComputeSSE(const Homography& H) {
  LA::AlignedVector4f* Hb = scratch_;
  BroadcastMatrix3(H, Hb);
  __m128 sum = _mm_setzero_ps();
  alignas(16) float out[4];
  const float* p = reinterpret_cast<const float*>(packed.Data());
  for (u32 i = 0; i < packedCount; i += 4, p += 16) {
    ComputeTransferError4(Hb, p, p + 4, p + 8, p + 12, out);
    sum = _mm_add_ps(sum, _mm_load_ps(out));
  }
  alignas(16) float s[4];
  _mm_store_ps(s, sum);
  for (u32 t = 0; t < tailCount; ++t)
    s[0] += ComputeTransferError(H, tail1[t].x, tail1[t].y, tail2[t].x, tail2[t].y);
  return static_cast<f64>(((s[0] + s[1]) + s[2]) + s[3]);
}

f64 HomographyEstimatorData::GetFactorSSEToMSE() {
  return static_cast<f64>(1.0f / (scale1 * scale2 * static_cast<f32>(count)));
}

void HomographyEstimatorData::BuildNormalEquation(const Homography& H, LA::AlignedMatrix8f& A,
                                                  LA::AlignedVector8f& b) {
  normal8::Clear(A, b);
  alignas(16) float Jx[8], Jy[8];
  float m[4];
  for (u32 i = 0; i < count; ++i) {
    if (i < packedCount) {
      GetMatch(i, m);
    } else {
      const u32 t = i - packedCount;
      m[0] = tail1[t].x;
      m[1] = tail1[t].y;
      m[2] = tail2[t].x;
      m[3] = tail2[t].y;
    }
    const float x1 = m[0], y1 = m[1];
    const float w = 1.0f / ((H.m[2][0] * x1 + H.m[2][1] * y1) + H.m[2][2]);
    const float u = (H.m[0][0] * x1 + H.m[0][1] * y1) + H.m[0][2];
    const float v = (H.m[1][0] * x1 + H.m[1][1] * y1) + H.m[1][2];
    const float ex = u * w - m[2], ey = v * w - m[3];
    const float uw2 = u * w * w, vw2 = v * w * w;
    Jx[0] = x1 * w;
    Jx[1] = y1 * w;
    Jx[2] = w;
    Jx[3] = Jx[4] = Jx[5] = 0.0f;
    Jx[6] = -x1 * uw2;
    Jx[7] = -y1 * uw2;
    Jy[0] = Jy[1] = Jy[2] = 0.0f;
    Jy[3] = x1 * w;
    Jy[4] = y1 * w;
    Jy[5] = w;
    Jy[6] = -x1 * vw2;
    Jy[7] = -y1 * vw2;
    normal8::Add(Jx, ex, A, b);
    normal8::Add(Jy, ey, A, b);
  }
}

void HomographyEstimatorData::ConstructNormalEquation(const Homography& model,
                                                      const LA::AlignedVector8f& scale,
                                                      LA::AlignedMatrix8f& A,
                                                      LA::AlignedVector8f& b) {
  BuildNormalEquation(model, A, b);
  normal8::FinishAndScale(scale, A, b);
}

void HomographyEstimatorData::ConstructNormalEquationAndScale(const Homography& model,
                                                              LA::AlignedMatrix8f& A,
                                                              LA::AlignedVector8f& b,
                                                              LA::AlignedVector8f& scale) {
  BuildNormalEquation(model, A, b);
  normal8::ComputeScale(A, scale);
  normal8::FinishAndScale(scale, A, b);
}

void HomographyEstimatorData::UpdateModel(const LA::AlignedVector8f& scale,
                                          const LA::AlignedVector8f& dx, const Homography& old,
                                          Homography& updated) {
  for (int k = 0; k < 8; ++k) updated.m[k / 3][k % 3] = old.m[k / 3][k % 3] + scale.v[k] * dx.v[k];
  updated.m[2][2] = old.m[2][2];
}

void HomographyEstimatorData::GetSubset(const HomographyEstimatorData& source,
                                        const std::vector<u16>& list,
                                        HomographyEstimatorData& destination) {
  MatchSet2D::GetSubset(source, list, destination);
  const size_t n = list.size();
  const bool tagged = !source.tags1.empty() && !source.tags2.empty();
  if (!tagged) {
    destination.tags1.clear();
    destination.tags2.clear();
    return;
  }
  destination.tags1.resize(n);
  destination.tags2.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const u16 k = list[i];
    destination.tags1[i] = k < source.tags1.size() ? source.tags1[k] : 0u;
    destination.tags2[i] = k < source.tags2.size() ? source.tags2[k] : 0u;
  }
}

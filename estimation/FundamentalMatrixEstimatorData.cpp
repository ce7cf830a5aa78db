#include "estimation/FundamentalMatrixEstimatorData.h"

#include <immintrin.h>

#include <cmath>

#include "estimation/NormalEquation8.h"

namespace {

// Residual r = e / |l| of one match and its gradient by F11..F32.
inline float Residual(const FundamentalMatrix& F, float x1, float y1, float x2, float y2,
                      float* J) {
  const float l0 = (F.m[0][0] * x1 + F.m[0][1] * y1) + F.m[0][2];
  const float l1 = (F.m[1][0] * x1 + F.m[1][1] * y1) + F.m[1][2];
  const float e = ((x2 * l0 + y2 * l1) + (F.m[2][0] * x1 + F.m[2][1] * y1)) + F.m[2][2];
  const float n2 = l0 * l0 + l1 * l1;
  const float in = 1.0f / std::sqrt(n2);
  const float en2 = e / n2;
  const float g0 = (x2 - l0 * en2) * in, g1 = (y2 - l1 * en2) * in;
  J[0] = g0 * x1;
  J[1] = g0 * y1;
  J[2] = g0;
  J[3] = g1 * x1;
  J[4] = g1 * y1;
  J[5] = g1;
  J[6] = x1 * in;
  J[7] = y1 * in;
  return e * in;
}

}  // namespace

void FundamentalMatrixEstimatorData::NormalizeData(const f32& factor, FundamentalMatrix& model) {
  if (factor == 0.0f) {
    scale1 = scale2 = 1.0f;
    normalized = 0;
    return;
  }
  MatchSet2D::Normalize(*this, scratch_);
  alignas(16) float negated[4] = {-scale1 * means[0], -scale1 * means[1], -scale2 * means[2],
                                  -scale2 * means[3]};
  TransformFundamentalMatrix(model, negated, 1.0f / scale1, 1.0f / scale2, scratch_);
  normalized = 1;
}

void FundamentalMatrixEstimatorData::DenormalizeModel(FundamentalMatrix& model) {
  if (normalized) TransformFundamentalMatrix(model, means, scale1, scale2, scratch_);
}

f64 FundamentalMatrixEstimatorData::ComputeSSE(const FundamentalMatrix& F) {
  __m128 sum = _mm_setzero_ps();
  const __m128 f00 = _mm_set1_ps(F.m[0][0]), f01 = _mm_set1_ps(F.m[0][1]),
               f02 = _mm_set1_ps(F.m[0][2]), f10 = _mm_set1_ps(F.m[1][0]),
               f11 = _mm_set1_ps(F.m[1][1]), f12 = _mm_set1_ps(F.m[1][2]),
               f20 = _mm_set1_ps(F.m[2][0]), f21 = _mm_set1_ps(F.m[2][1]),
               f22 = _mm_set1_ps(F.m[2][2]);
  const float* p = reinterpret_cast<const float*>(packed.Data());
  for (u32 i = 0; i < packedCount; i += 4, p += 16) {
    const __m128 x1 = _mm_load_ps(p), y1 = _mm_load_ps(p + 4);
    const __m128 x2 = _mm_load_ps(p + 8), y2 = _mm_load_ps(p + 12);
    const __m128 l0 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(f00, x1), _mm_mul_ps(f01, y1)), f02);
    const __m128 l1 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(f10, x1), _mm_mul_ps(f11, y1)), f12);
    const __m128 e = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(x2, l0), _mm_mul_ps(y2, l1)),
                                           _mm_add_ps(_mm_mul_ps(f20, x1), _mm_mul_ps(f21, y1))),
                                f22);
    sum = _mm_add_ps(
        sum, _mm_div_ps(_mm_mul_ps(e, e), _mm_add_ps(_mm_mul_ps(l0, l0), _mm_mul_ps(l1, l1))));
  }
  alignas(16) float s[4];
  _mm_store_ps(s, sum);
  float J[8];
  for (u32 t = 0; t < tailCount; ++t) {
    const float r = Residual(F, tail1[t].x, tail1[t].y, tail2[t].x, tail2[t].y, J);
    s[0] += r * r;
  }
  return static_cast<f64>(((s[0] + s[1]) + s[2]) + s[3]);
}

f64 FundamentalMatrixEstimatorData::GetFactorSSEToMSE() {
  return static_cast<f64>(1.0f / (scale1 * scale2 * static_cast<f32>(count)));
}

void FundamentalMatrixEstimatorData::BuildNormalEquation(const FundamentalMatrix& F,
                                                         LA::AlignedMatrix8f& A,
                                                         LA::AlignedVector8f& b) {
  normal8::Clear(A, b);
  alignas(16) float J[8];
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
    const float r = Residual(F, m[0], m[1], m[2], m[3], J);
    normal8::Add(J, r, A, b);
  }
}

void FundamentalMatrixEstimatorData::ConstructNormalEquation(const FundamentalMatrix& model,
                                                             const LA::AlignedVector8f& scale,
                                                             LA::AlignedMatrix8f& A,
                                                             LA::AlignedVector8f& b) {
  BuildNormalEquation(model, A, b);
  normal8::FinishAndScale(scale, A, b);
}

void FundamentalMatrixEstimatorData::ConstructNormalEquationAndScale(const FundamentalMatrix& model,
                                                                     LA::AlignedMatrix8f& A,
                                                                     LA::AlignedVector8f& b,
                                                                     LA::AlignedVector8f& scale) {
  BuildNormalEquation(model, A, b);
  normal8::ComputeScale(A, scale);
  normal8::FinishAndScale(scale, A, b);
}

void FundamentalMatrixEstimatorData::UpdateModel(const LA::AlignedVector8f& scale,
                                                 const LA::AlignedVector8f& dx,
                                                 const FundamentalMatrix& old,
                                                 FundamentalMatrix& updated) {
  for (int k = 0; k < 8; ++k) updated.m[k / 3][k % 3] = old.m[k / 3][k % 3] + scale.v[k] * dx.v[k];
  updated.m[2][2] = old.m[2][2];
}

#include "features/FloatArrayKernels.h"

#include <immintrin.h>

#include <cmath>

namespace {

constexpr float kHuberSquared = 1.809025f;  // 1.345^2

inline float HorizontalSum(__m128 v) {
  const __m128 pairs = _mm_add_ps(v, _mm_movehl_ps(v, v));
  return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}

}  // namespace

float SumArray(const float* a, u32 n) {
  const u32 n4 = n & ~3u;
  __m128 acc = _mm_setzero_ps();
  for (u32 i = 0; i < n4; i += 4) acc = _mm_add_ps(acc, _mm_loadu_ps(a + i));
  float sum = HorizontalSum(acc);
  for (u32 i = n4; i < n; ++i) sum += a[i];
  return sum;
}

float SumOfSquaresArray(const float* a, u32 n) {
  return DotArrays(a, a, n);
}

float DotArrays(const float* a, const float* b, u32 n) {
  const u32 n4 = n & ~3u;
  __m128 acc = _mm_setzero_ps();
  for (u32 i = 0; i < n4; i += 4)
    acc = _mm_add_ps(acc, _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
  float sum = HorizontalSum(acc);
  for (u32 i = n4; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

void SquareArray(const float* a, float* out, u32 n) {
  const u32 n4 = n & ~3u;
  for (u32 i = 0; i < n4; i += 4) {
    const __m128 v = _mm_loadu_ps(a + i);
    _mm_storeu_ps(out + i, _mm_mul_ps(v, v));
  }
  for (u32 i = n4; i < n; ++i) out[i] = a[i] * a[i];
}

void SubtractArrays(const float* a, const float* b, float* c, u32 n) {
  const u32 n4 = n & ~3u;
  for (u32 i = 0; i < n4; i += 4)
    _mm_storeu_ps(c + i, _mm_sub_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
  for (u32 i = n4; i < n; ++i) c[i] = a[i] - b[i];
}

void ScaleArray(float* a, float s, u32 n) {
  const u32 n4 = n & ~3u;
  const __m128 vs = _mm_set1_ps(s);
  for (u32 i = 0; i < n4; i += 4) _mm_storeu_ps(a + i, _mm_mul_ps(_mm_loadu_ps(a + i), vs));
  for (u32 i = n4; i < n; ++i) a[i] *= s;
}

void HuberWeights(const float* squaredResiduals, float* weights, u32 n) {
  const u32 n4 = n & ~3u;
  const __m128 k = _mm_set1_ps(kHuberSquared), one = _mm_set1_ps(1.0f);
  for (u32 i = 0; i < n4; i += 4) {
    const __m128 r2 = _mm_loadu_ps(squaredResiduals + i);
    const __m128 above = _mm_cmpgt_ps(r2, k);
    // Lanes at or below the threshold divide by k instead, never by 0.
    const __m128 safe = _mm_blendv_ps(k, r2, above);
    const __m128 w = _mm_sqrt_ps(_mm_div_ps(k, safe));
    _mm_storeu_ps(weights + i, _mm_blendv_ps(one, w, above));
  }
  for (u32 i = n4; i < n; ++i)
    weights[i] =
        squaredResiduals[i] > kHuberSquared ? std::sqrt(kHuberSquared / squaredResiduals[i]) : 1.0f;
}

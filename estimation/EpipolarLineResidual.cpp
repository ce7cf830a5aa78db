// Four-wide sum of the squared one-sided epipolar residuals.
#include "estimation/EpipolarLineResidual.h"

#include <immintrin.h>

void SumEpipolarLineErrors4(const LA::AlignedMatrix3f& F, const MatchSet2D& matches, f32* sums) {
  __m128 sum = _mm_setzero_ps();
  const __m128 f00 = _mm_set1_ps(F.m[0][0]), f01 = _mm_set1_ps(F.m[0][1]),
               f02 = _mm_set1_ps(F.m[0][2]), f10 = _mm_set1_ps(F.m[1][0]),
               f11 = _mm_set1_ps(F.m[1][1]), f12 = _mm_set1_ps(F.m[1][2]),
               f20 = _mm_set1_ps(F.m[2][0]), f21 = _mm_set1_ps(F.m[2][1]),
               f22 = _mm_set1_ps(F.m[2][2]);
  const f32* p = reinterpret_cast<const f32*>(matches.packed.Data());
  for (u32 i = 0; i < matches.packedCount; i += 4, p += 16) {
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
  _mm_storeu_ps(sums, sum);
}

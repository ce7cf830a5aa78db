#pragma once
// Four-float SSE helpers of the inertial bundle adjustment: products of 3x3
// blocks held as rows of four with 3-vectors held in one register. The
// blocks' fourth floats are 0, so whole-register products are exact 3-term
// sums.
#include <immintrin.h>

namespace IBASimd {

// (r0 . x, r1 . x, r2 . x, 0) for the three rows starting at B.
inline __m128 MulRows3(const float (*B)[4], __m128 x) {
  const __m128 a = _mm_mul_ps(_mm_load_ps(B[0]), x);
  const __m128 b = _mm_mul_ps(_mm_load_ps(B[1]), x);
  const __m128 c = _mm_mul_ps(_mm_load_ps(B[2]), x);
  return _mm_hadd_ps(_mm_hadd_ps(a, b), _mm_hadd_ps(c, _mm_setzero_ps()));
}

// B^T x = x0 r0 + x1 r1 + x2 r2.
inline __m128 MulRows3T(const float (*B)[4], __m128 x) {
  __m128 y = _mm_mul_ps(_mm_shuffle_ps(x, x, _MM_SHUFFLE(0, 0, 0, 0)), _mm_load_ps(B[0]));
  y = _mm_add_ps(y, _mm_mul_ps(_mm_shuffle_ps(x, x, _MM_SHUFFLE(1, 1, 1, 1)), _mm_load_ps(B[1])));
  return _mm_add_ps(y,
                    _mm_mul_ps(_mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 2, 2, 2)), _mm_load_ps(B[2])));
}

// A 3-vector register with its fourth float cleared.
inline __m128 Load3(const float* v) {
  return _mm_blend_ps(_mm_load_ps(v), _mm_setzero_ps(), 8);
}

// P -= A B^T for 3x3 blocks (P's rows i: P[i] -= sum_k A[i][k] (row k of B^T)
// = A[i] . B rows, formed as broadcast columns of B).
inline void SubtractABT(const float (*A)[4], const float (*B)[4], float (*P)[4]) {
  // Row i of A B^T = sum_k A[i][k] column k of B^T = sum_k A[i][k] (B[.][k]),
  // i.e. B (A[i])^T, which is MulRows3 of B with row i of A.
  for (int i = 0; i < 3; ++i) {
    const __m128 r = MulRows3(B, _mm_load_ps(A[i]));
    _mm_store_ps(P[i], _mm_sub_ps(_mm_load_ps(P[i]), r));
  }
}

// P = A M: row i of P = sum_k A[i][k] M[k] (broadcast columns of A).
inline void MultiplyAB(const float (*A)[4], const float (*M)[4], float (*P)[4]) {
  for (int i = 0; i < 3; ++i) _mm_store_ps(P[i], MulRows3T(M, _mm_load_ps(A[i])));
}

}  // namespace IBASimd

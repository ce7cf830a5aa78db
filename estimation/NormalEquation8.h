#pragma once
// Accumulation and column scaling of the 8 x 8 normal equations of the
// fundamental-matrix and homography refinements.
#include <immintrin.h>

#include <cmath>
#include <cstring>

#include "la/LinearAlgebra.h"

namespace normal8 {

inline void Clear(LA::AlignedMatrix8f& A, LA::AlignedVector8f& b) {
  std::memset(&A, 0, sizeof(A));
  std::memset(&b, 0, sizeof(b));
}

// A += J J^T (upper triangle and diagonal, whole rows for simplicity), b -= r J.
inline void Add(const float* J, float r, LA::AlignedMatrix8f& A, LA::AlignedVector8f& b) {
  const __m128 j0 = _mm_loadu_ps(J), j1 = _mm_loadu_ps(J + 4);
  for (int i = 0; i < 8; ++i) {
    const __m128 ji = _mm_set1_ps(J[i]);
    float* row = A.m[i];
    if (i < 4) _mm_store_ps(row, _mm_add_ps(_mm_load_ps(row), _mm_mul_ps(ji, j0)));
    _mm_store_ps(row + 4, _mm_add_ps(_mm_load_ps(row + 4), _mm_mul_ps(ji, j1)));
  }
  const __m128 vr = _mm_set1_ps(r);
  _mm_store_ps(b.v, _mm_sub_ps(_mm_load_ps(b.v), _mm_mul_ps(vr, j0)));
  _mm_store_ps(b.v + 4, _mm_sub_ps(_mm_load_ps(b.v + 4), _mm_mul_ps(vr, j1)));
}

// s_i = 1 / sqrt(A_ii), 0 where A_ii = 0.
inline void ComputeScale(const LA::AlignedMatrix8f& A, LA::AlignedVector8f& s) {
  for (int i = 0; i < 8; ++i) s.v[i] = A.m[i][i] == 0.0f ? 0.0f : 1.0f / std::sqrt(A.m[i][i]);
}

// Mirrors the upper triangle, then A_ij *= s_i s_j and b_i *= s_i.
inline void FinishAndScale(const LA::AlignedVector8f& s, LA::AlignedMatrix8f& A,
                           LA::AlignedVector8f& b) {
  A.CopyUpperToLower();
  const __m128 s0 = _mm_loadu_ps(s.v), s1 = _mm_loadu_ps(s.v + 4);
  for (int i = 0; i < 8; ++i) {
    const __m128 si = _mm_set1_ps(s.v[i]);
    float* row = A.m[i];
    _mm_store_ps(row, _mm_mul_ps(_mm_load_ps(row), _mm_mul_ps(si, s0)));
    _mm_store_ps(row + 4, _mm_mul_ps(_mm_load_ps(row + 4), _mm_mul_ps(si, s1)));
  }
  _mm_store_ps(b.v, _mm_mul_ps(_mm_load_ps(b.v), s0));
  _mm_store_ps(b.v + 4, _mm_mul_ps(_mm_load_ps(b.v + 4), s1));
}

}  // namespace normal8

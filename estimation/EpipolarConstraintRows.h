#pragma once
// Rows of the linear epipolar constraint x2^T F x1 = 0 in the entries F11..F32:
// (x2 x1, x2 y1, x2, y2 x1, y2 y1, y2, x1, y1), stored column by column for
// LAPACK. The eight-point fit moves F33 = 1 to the right-hand side; the
// five-point fit appends the ninth column of ones itself.
#include <immintrin.h>

#include "la/Types.h"

// Rows row..row+3 of the eight columns for four matches given as vectors.
inline void StoreEpipolarConstraintRows4(__m128 x1, __m128 y1, __m128 x2, __m128 y2,
                                         f32* const* col, u32 row) {
  _mm_storeu_ps(col[0] + row, _mm_mul_ps(x2, x1));
  _mm_storeu_ps(col[1] + row, _mm_mul_ps(x2, y1));
  _mm_storeu_ps(col[2] + row, x2);
  _mm_storeu_ps(col[3] + row, _mm_mul_ps(y2, x1));
  _mm_storeu_ps(col[4] + row, _mm_mul_ps(y2, y1));
  _mm_storeu_ps(col[5] + row, y2);
  _mm_storeu_ps(col[6] + row, x1);
  _mm_storeu_ps(col[7] + row, y1);
}

// Row `row` of the eight columns for one match.
inline void StoreEpipolarConstraintRow(f32 x1, f32 y1, f32 x2, f32 y2, f32* const* col, u32 row) {
  col[0][row] = x2 * x1;
  col[1][row] = x2 * y1;
  col[2][row] = x2;
  col[3][row] = y2 * x1;
  col[4][row] = y2 * y1;
  col[5][row] = y2;
  col[6][row] = x1;
  col[7][row] = y1;
}

#pragma once
// Four-wide pieces of the marker alignment's kernels: four border samples or
// template records per SSE register. A lane whose point falls outside
// [0, width - 1) x [0, height - 1) reads 0 with a zero gradient, as the
// one-sample samplers do, and its mask is clear.
#include <cvd/image.h>
#include <immintrin.h>

#include "la/LinearAlgebra.h"
#include "la/Pose.h"

namespace MarkerSimd {

// Sum of the four lanes.
inline float Sum(__m128 v) {
  const __m128 pairs = _mm_add_ps(v, _mm_movehl_ps(v, v));
  return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}

// The cell of four points: inside mask, fractions and integer corners (0 for
// lanes outside, so that their reads stay in the image).
struct Cell {
  __m128 inside, ax, ay;
  alignas(16) int ix[4];
  alignas(16) int iy[4];
};

inline Cell Locate(__m128 x, __m128 y, int width, int height) {
  Cell c;
  const __m128 zero = _mm_setzero_ps();
  // NaN compares false: such a lane is outside.
  c.inside = _mm_and_ps(_mm_and_ps(_mm_cmpge_ps(x, zero), _mm_cmpge_ps(y, zero)),
                        _mm_and_ps(_mm_cmplt_ps(x, _mm_set1_ps(static_cast<float>(width - 1))),
                                   _mm_cmplt_ps(y, _mm_set1_ps(static_cast<float>(height - 1)))));
  const __m128 xs = _mm_and_ps(x, c.inside), ys = _mm_and_ps(y, c.inside);
  const __m128i ix = _mm_cvttps_epi32(xs), iy = _mm_cvttps_epi32(ys);
  c.ax = _mm_sub_ps(xs, _mm_cvtepi32_ps(ix));
  c.ay = _mm_sub_ps(ys, _mm_cvtepi32_ps(iy));
  _mm_store_si128(reinterpret_cast<__m128i*>(c.ix), ix);
  _mm_store_si128(reinterpret_cast<__m128i*>(c.iy), iy);
  return c;
}

// Two floats at p into the low (or high) half.
inline __m128 LoadPair(__m128 v, const float* p) {
  return _mm_loadl_pi(v, reinterpret_cast<const __m64*>(p));
}
inline __m128 LoadPairHigh(__m128 v, const float* p) {
  return _mm_loadh_pi(v, reinterpret_cast<const __m64*>(p));
}

// The four pixels of every lane's cell: v00, v01 (right), v10 (below), v11.
inline void Corners(const CVD::BasicImage<float>& image, const Cell& c, __m128& v00, __m128& v01,
                    __m128& v10, __m128& v11) {
  __m128 rows[4];
  for (int l = 0; l < 4; ++l) {
    const float* r0 = image[c.iy[l]] + c.ix[l];
    const float* r1 = image[c.iy[l] + 1] + c.ix[l];
    rows[l] = LoadPairHigh(LoadPair(_mm_setzero_ps(), r0), r1);
  }
  _MM_TRANSPOSE4_PS(rows[0], rows[1], rows[2], rows[3]);
  v00 = rows[0], v01 = rows[1], v10 = rows[2], v11 = rows[3];
}

// Bilinear values (0 outside); the image must hold a 2 x 2 cell when any
// lane is inside.
inline __m128 Bilinear(const CVD::BasicImage<float>& image, const Cell& c) {
  if (_mm_movemask_ps(c.inside) == 0) return _mm_setzero_ps();
  __m128 v00, v01, v10, v11;
  Corners(image, c, v00, v01, v10, v11);
  const __m128 top = _mm_add_ps(v00, _mm_mul_ps(_mm_sub_ps(v01, v00), c.ax));
  const __m128 bottom = _mm_add_ps(v10, _mm_mul_ps(_mm_sub_ps(v11, v10), c.ax));
  return _mm_and_ps(_mm_add_ps(top, _mm_mul_ps(_mm_sub_ps(bottom, top), c.ay)), c.inside);
}

// Bilinear values with the bilinearly interpolated gradient image (gx, gy).
inline __m128 BilinearWithGradient(const CVD::BasicImage<float>& image,
                                   const CVD::BasicImage<LA::Vector2<float>>& gradients,
                                   const Cell& c, __m128& gx, __m128& gy) {
  const __m128 zero = _mm_setzero_ps();
  if (_mm_movemask_ps(c.inside) == 0) {
    gx = gy = zero;
    return zero;
  }
  const __m128 one = _mm_set1_ps(1.0f);
  const __m128 bx = _mm_sub_ps(one, c.ax), by = _mm_sub_ps(one, c.ay);
  const __m128 w00 = _mm_and_ps(_mm_mul_ps(bx, by), c.inside);
  const __m128 w01 = _mm_and_ps(_mm_mul_ps(c.ax, by), c.inside);
  const __m128 w10 = _mm_and_ps(_mm_mul_ps(bx, c.ay), c.inside);
  const __m128 w11 = _mm_and_ps(_mm_mul_ps(c.ax, c.ay), c.inside);
  // Gradient cells: (g00.x, g00.y, g01.x, g01.y) and the row below, per lane.
  __m128 top[4], below[4];
  for (int l = 0; l < 4; ++l) {
    top[l] = _mm_loadu_ps(&gradients[c.iy[l]][c.ix[l]].x);
    below[l] = _mm_loadu_ps(&gradients[c.iy[l] + 1][c.ix[l]].x);
  }
  _MM_TRANSPOSE4_PS(top[0], top[1], top[2], top[3]);
  _MM_TRANSPOSE4_PS(below[0], below[1], below[2], below[3]);
  gx = _mm_add_ps(_mm_add_ps(_mm_mul_ps(w00, top[0]), _mm_mul_ps(w01, top[2])),
                  _mm_add_ps(_mm_mul_ps(w10, below[0]), _mm_mul_ps(w11, below[2])));
  gy = _mm_add_ps(_mm_add_ps(_mm_mul_ps(w00, top[1]), _mm_mul_ps(w01, top[3])),
                  _mm_add_ps(_mm_mul_ps(w10, below[1]), _mm_mul_ps(w11, below[3])));
  __m128 v00, v01, v10, v11;
  Corners(image, c, v00, v01, v10, v11);
  return _mm_add_ps(_mm_add_ps(_mm_mul_ps(w00, v00), _mm_mul_ps(w01, v01)),
                    _mm_add_ps(_mm_mul_ps(w10, v10), _mm_mul_ps(w11, v11)));
}

// Accumulates J Jt (packed upper triangle) and -J r over four lanes at a time.
template <int N>
struct NormalSums {
  __m128 a[N * (N + 1) / 2];
  __m128 g[N];
  NormalSums() {
    for (__m128& v : a) v = _mm_setzero_ps();
    for (__m128& v : g) v = _mm_setzero_ps();
  }
  void Add(const __m128 J[N], __m128 r) {
    int k = 0;
    for (int i = 0; i < N; ++i) {
      g[i] = _mm_sub_ps(g[i], _mm_mul_ps(J[i], r));
      for (int j = i; j < N; ++j, ++k) a[k] = _mm_add_ps(a[k], _mm_mul_ps(J[i], J[j]));
    }
  }
  // Both residuals of a border sample in one pass.
  void Add(const __m128 J1[N], __m128 r1, const __m128 J2[N], __m128 r2) {
    int k = 0;
    for (int i = 0; i < N; ++i) {
      g[i] = _mm_sub_ps(g[i], _mm_add_ps(_mm_mul_ps(J1[i], r1), _mm_mul_ps(J2[i], r2)));
      for (int j = i; j < N; ++j, ++k)
        a[k] = _mm_add_ps(a[k], _mm_add_ps(_mm_mul_ps(J1[i], J1[j]), _mm_mul_ps(J2[i], J2[j])));
    }
  }
  // The full symmetric A and g.
  void Store(float A[N][N], float gOut[N]) const {
    int k = 0;
    for (int i = 0; i < N; ++i) {
      gOut[i] = Sum(g[i]);
      for (int j = i; j < N; ++j, ++k) A[i][j] = A[j][i] = Sum(a[k]);
    }
  }
};

}  // namespace MarkerSimd

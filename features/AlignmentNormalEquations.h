#pragma once
// The projective step's photometric normal equations, apart so that they can
// be checked against a plain sum: the pixels a residual pass kept, their
// gradients and residuals, and the accumulation over them.
#include <immintrin.h>

#include "la/AlignedArray.h"
#include "la/Types.h"

// The valid pixels of the last ComputeImageResiduals, the k-th at pixel
// index i = y w + x: centred position, the mean of both images'
// central-difference gradients, and the residual; one at a time or four.
struct PixelAccess {
  const float* W;
  const float* B;
  const float* gradB;  // interleaved x, y
  const u32* pixels;
  int w;
  float cx, cy, b;

  void Get(u32 k, float& x, float& y, float& gx, float& gy, float& r) const {
    const u32 i = pixels[k];
    const float* p = W + i;
    x = static_cast<float>(i % static_cast<u32>(w)) - cx;
    y = static_cast<float>(i / static_cast<u32>(w)) - cy;
    gx = ((p[1] - p[-1]) + gradB[2 * i]) * 0.25f;
    gy = ((p[w] - p[-w]) + gradB[2 * i + 1]) * 0.25f;
    r = p[0] - B[i] + b;
  }

  void Get4(u32 k, __m128& x, __m128& y, __m128& gx, __m128& gy, __m128& r) const {
    const u32* i = pixels + k;
    // Row and column from the index in float: exact, since (i + 0.5) / w
    // stays well clear of the integers for any image that fits in memory.
    const __m128 fi = _mm_cvtepi32_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(i)));
    const __m128 row =
        _mm_floor_ps(_mm_mul_ps(_mm_add_ps(fi, _mm_set1_ps(0.5f)), _mm_set1_ps(1.0f / w)));
    x = _mm_sub_ps(_mm_sub_ps(fi, _mm_mul_ps(row, _mm_set1_ps(static_cast<float>(w)))),
                   _mm_set1_ps(cx));
    y = _mm_sub_ps(row, _mm_set1_ps(cy));
    const __m128 quarter = _mm_set1_ps(0.25f);
    const __m128 dx = _mm_sub_ps(Gather(W, i, 1), Gather(W, i, -1));
    const __m128 dy = _mm_sub_ps(Gather(W, i, w), Gather(W, i, -w));
    gx = _mm_mul_ps(_mm_add_ps(dx, Gather(gradB, i, 0, 2)), quarter);
    gy = _mm_mul_ps(_mm_add_ps(dy, Gather(gradB, i, 1, 2)), quarter);
    r = _mm_add_ps(_mm_sub_ps(Gather(W, i, 0), Gather(B, i, 0)), _mm_set1_ps(b));
  }

  static __m128 Gather(const float* base, const u32* i, int offset, int scale = 1) {
    return _mm_setr_ps(base[scale * i[0] + offset], base[scale * i[1] + offset],
                       base[scale * i[2] + offset], base[scale * i[3] + offset]);
  }
};

// The upper triangle of N and the right side g of the projective step (eight
// map parameters, then the brightness offset) from the listed pixels with
// their robust weights and the twelve-monomial table of BuildMonomialTable:
// per pixel the row J = (gx x, gx y, gx, gy x, gy y, gy, -x s, -y s, 1) with
// s = gx x + gy y adds w^2 J^T J to N and w^2 r J to g.
void AccumulateProjective(const PixelAccess& p, const AlignedArray<float>& weights,
                          const AlignedArray<float>& table, float N[9][9], float g[9]);

#include "features/ImageMapMath.h"

#include <immintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

// Element (r, c) of a map's 3x3 part.
inline float At(const WarpRecord& m, int r, int c) {
  return m.m[4 * r + c];
}

}  // namespace

bool Invert3x3(const WarpRecord& m, WarpRecord& inverse) {
  float a[3][3];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) a[r][c] = At(m, r, c);
  // Cofactors C(r, c); the adjugate is their transpose.
  const float c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
  const float c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2];
  const float c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
  const float c10 = a[0][2] * a[2][1] - a[0][1] * a[2][2];
  const float c11 = a[0][0] * a[2][2] - a[0][2] * a[2][0];
  const float c12 = a[0][1] * a[2][0] - a[0][0] * a[2][1];
  const float c20 = a[0][1] * a[1][2] - a[0][2] * a[1][1];
  const float c21 = a[0][2] * a[1][0] - a[0][0] * a[1][2];
  const float c22 = a[0][0] * a[1][1] - a[0][1] * a[1][0];
  const float det = a[0][0] * c00 + a[0][1] * c01 + a[0][2] * c02;
  if (!(std::fabs(det) >= FLT_EPSILON)) return false;
  const float s = 1.0f / det;
  float* o = inverse.m;
  o[0] = c00 * s, o[1] = c10 * s, o[2] = c20 * s;
  o[4] = c01 * s, o[5] = c11 * s, o[6] = c21 * s;
  o[8] = c02 * s, o[9] = c12 * s, o[10] = c22 * s;
  return true;
}

bool Invert2x2(const WarpRecord& m, WarpRecord& inverse) {
  const float m00 = m.m[0], m01 = m.m[1], m02 = m.m[2];
  const float m10 = m.m[4], m11 = m.m[5], m12 = m.m[6];
  const float det = m00 * m11 - m01 * m10;
  if (det == 0.0f) return false;
  const float s = 1.0f / det;
  const float i00 = m11 * s, i01 = -m01 * s, i10 = -m10 * s, i11 = m00 * s;
  float* o = inverse.m;
  o[0] = i00, o[1] = i01, o[2] = -(i00 * m02 + i01 * m12);
  o[4] = i10, o[5] = i11, o[6] = -(i10 * m02 + i11 * m12);
  return true;
}

void MultiplyRotation3x3(const WarpRecord& a, const WarpRecord& b, WarpRecord& product) {
  float p[3][3];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      p[r][c] = At(a, r, 0) * At(b, 0, c) + At(a, r, 1) * At(b, 1, c) + At(a, r, 2) * At(b, 2, c);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) product.m[4 * r + c] = p[r][c];
}

void ComputePatchWarp(const Intrinsic& ka, const WarpRecord& m, const Intrinsic& kb,
                      WarpRecord& out, float scratch[4]) {
  // scratch = (1/fa_x, 1/fa_y, 1/fb_x, 1/fb_y).
  scratch[0] = ka.ifxfy[0], scratch[1] = ka.ifxfy[1];
  scratch[2] = kb.ifxfy[0], scratch[3] = kb.ifxfy[1];
  const float ia[2] = {scratch[0], scratch[1]}, ib[2] = {scratch[2], scratch[3]};
  const float ua[2] = {ka.cx[0] * ia[0], ka.cy[0] * ia[1]};  // cx/fx, cy/fy of a
  const float ub[2] = {kb.cx[0] * ib[0], kb.cy[0] * ib[1]};
  // t = m Kb^-1, Kb^-1 = [[1/fx, 0, -cx/fx], [0, 1/fy, -cy/fy], [0, 0, 1]].
  float t[3][3];
  for (int r = 0; r < 3; ++r) {
    t[r][0] = At(m, r, 0) * ib[0];
    t[r][1] = At(m, r, 1) * ib[1];
    t[r][2] = At(m, r, 2) - At(m, r, 0) * ub[0] - At(m, r, 1) * ub[1];
  }
  // out = Ka^-T t, Ka^-T = [[1/fx, 0, 0], [0, 1/fy, 0], [-cx/fx, -cy/fy, 1]].
  for (int c = 0; c < 3; ++c) {
    out.m[c] = t[0][c] * ia[0];
    out.m[4 + c] = t[1][c] * ia[1];
    out.m[8 + c] = t[2][c] - t[0][c] * ua[0] - t[1][c] * ua[1];
  }
  out.m[3] = out.m[7] = out.m[11] = 0.0f;
}

float TukeyScaleSquared(AlignedArray<float>& squaredResiduals) {
  const u32 n = squaredResiduals.Size();
  if (n < 4) return 0.0f;  // the small-sample correction needs 2n - 6 > 0
  float* median = squaredResiduals.begin() + n / 2;
  std::nth_element(squaredResiduals.begin(), median, squaredResiduals.end());
  const float s = std::sqrt(*median) * (1.0f + 5.0f / static_cast<float>(2 * n - 6)) * 6.9461293f;
  return s * s;
}

void ComputeTukeyWeights(const AlignedArray<float>& squaredResiduals, AlignedArray<float>& weights,
                         AlignedArray<float>& copy) {
  const u32 n = squaredResiduals.Size();
  copy.Resize(n);
  u32 finite = 0;
  for (const float e : squaredResiduals)
    if (std::isfinite(e)) copy[finite++] = e;
  copy.Resize(finite);
  // Capped at FLT_MAX so that an infinite or NaN residual always fails e <= c^2.
  const float c2 = std::min(std::max(TukeyScaleSquared(copy), kMinTukeyScaleSquared), FLT_MAX);
  const float inverse = 1.0f / c2;
  weights.Resize(n);
  const float* e = squaredResiduals.Data();
  float* w = weights.Data();
  const __m128 c2x4 = _mm_set1_ps(c2), inverse4 = _mm_set1_ps(inverse), one = _mm_set1_ps(1.0f);
  u32 i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 e4 = _mm_loadu_ps(e + i);
    const __m128 d = _mm_sub_ps(one, _mm_mul_ps(e4, inverse4));
    _mm_storeu_ps(w + i, _mm_and_ps(_mm_cmple_ps(e4, c2x4), _mm_mul_ps(d, d)));
  }
  for (; i < n; ++i) {
    const float d = 1.0f - e[i] * inverse;
    w[i] = e[i] <= c2 ? d * d : 0.0f;
  }
}

void NormalizePointArray(const Intrinsic& k, AlignedArray<LA::Vector2<float>>& points) {
  for (LA::Vector2<float>& p : points) {
    p.x = (p.x - k.cx[0]) * k.ifx[0];
    p.y = (p.y - k.cy[0]) * k.ify[0];
  }
}

void ConjugateMapByIntrinsics(const Intrinsic& k, const WarpRecord& map, WarpRecord& out) {
  const float fx = k.fx[0], fy = k.fy[0], cx = k.cx[0], cy = k.cy[0];
  const float ifx = k.ifx[0], ify = k.ify[0];
  // MK = map K: columns fx m0, fy m1, cx m0 + cy m1 + m2.
  float MK[3][3];
  for (int r = 0; r < 3; ++r) {
    const float* m = map.m + 4 * r;
    MK[r][0] = fx * m[0];
    MK[r][1] = fy * m[1];
    MK[r][2] = cx * m[0] + cy * m[1] + m[2];
  }
  // K^-1 MK: rows ((MK_0 - cx MK_2) / fx, (MK_1 - cy MK_2) / fy, MK_2).
  for (int c = 0; c < 3; ++c) {
    out.m[c] = (MK[0][c] - cx * MK[2][c]) * ifx;
    out.m[4 + c] = (MK[1][c] - cy * MK[2][c]) * ify;
    out.m[8 + c] = MK[2][c];
  }
  out.m[3] = out.m[7] = out.m[11] = 0.0f;
}

void MakePixelWarp(const Intrinsic& k, const WarpRecord& map, WarpRecord& out) {
  const bool affine = map.IsAffine();
  const float fx = k.fx[0], fy = k.fy[0], cx = k.cx[0], cy = k.cy[0];
  float M[3][3];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) M[r][c] = map.m[4 * r + c];
  if (affine) {
    M[2][0] = M[2][1] = 0.0f;
    M[2][2] = 1.0f;
  }
  // K M K^-1 with K^-1 = [1/fx 0 -cx/fx; 0 1/fy -cy/fy; 0 0 1].
  float KM[3][3];
  for (int c = 0; c < 3; ++c) {
    KM[0][c] = fx * M[0][c] + cx * M[2][c];
    KM[1][c] = fy * M[1][c] + cy * M[2][c];
    KM[2][c] = M[2][c];
  }
  std::memset(out.m, 0, sizeof(out.m));
  for (int r = 0; r < 3; ++r) {
    out.m[4 * r + 0] = KM[r][0] / fx;
    out.m[4 * r + 1] = KM[r][1] / fy;
    out.m[4 * r + 2] = KM[r][2] - KM[r][0] * cx / fx - KM[r][1] * cy / fy;
  }
  if (affine) out.m[8] = FLT_MAX;
}

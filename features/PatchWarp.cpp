#include "features/PatchWarp.h"

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr float kCornerCacheTolerance = 0.001f;
constexpr i32 kOutsideSsd = 0x7fffffff;

// True when (x, y) lies in [0, w - 2] x [0, h - 2]; NaN fails.
inline bool CornerInside(float x, float y, int w, int h) {
  return x >= 0.0f && x <= static_cast<float>(w - 2) && y >= 0.0f && y <= static_cast<float>(h - 2);
}

// True when every warped corner lies within the tolerance of the cached one.
inline bool MatchesCache(const FeaturePatch& patch, const float corners[4][2]) {
  for (int k = 0; k < 4; ++k) {
    const float dx = corners[k][0] - patch.corners[k][0], dy = corners[k][1] - patch.corners[k][1];
    if (!(dx * dx + dy * dy < kCornerCacheTolerance)) return false;
  }
  return true;
}

// Renders the 8x8 template whose sample (r, c) lies at (X / W, Y / W), with
// (X, Y, W) = origin + c col + r row (W = 1 when not projective), four samples
// at a time. False as soon as a sample has a neighbour outside the image or,
// projective, W <= 0; NaN fails every test.
template <bool kProjective>
bool RenderTemplate(const CVD::BasicImage<CVD::byte>& img, const float origin[3],
                    const float col[3], const float row[3], u8 pixels[64]) {
  const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
  const __m128 maxX = _mm_set1_ps(static_cast<float>(img.size().x - 1));
  const __m128 maxY = _mm_set1_ps(static_cast<float>(img.size().y - 1));
  const __m128i stride = _mm_set1_epi32(img.row_stride());
  const u8* base = img.data();
  for (int r = 0; r < 8; ++r) {
    const __m128 fr = _mm_set1_ps(static_cast<float>(r));
    for (int half = 0; half < 2; ++half) {
      const __m128 c = _mm_setr_ps(4.0f * half, 4.0f * half + 1, 4.0f * half + 2, 4.0f * half + 3);
      // Same operation order as origin + c col + r row in scalar code.
      __m128 x = _mm_add_ps(_mm_add_ps(_mm_set1_ps(origin[0]), _mm_mul_ps(c, _mm_set1_ps(col[0]))),
                            _mm_mul_ps(fr, _mm_set1_ps(row[0])));
      __m128 y = _mm_add_ps(_mm_add_ps(_mm_set1_ps(origin[1]), _mm_mul_ps(c, _mm_set1_ps(col[1]))),
                            _mm_mul_ps(fr, _mm_set1_ps(row[1])));
      if constexpr (kProjective) {
        const __m128 w =
            _mm_add_ps(_mm_add_ps(_mm_set1_ps(origin[2]), _mm_mul_ps(c, _mm_set1_ps(col[2]))),
                       _mm_mul_ps(fr, _mm_set1_ps(row[2])));
        if (_mm_movemask_ps(_mm_cmpgt_ps(w, zero)) != 0xF) return false;
        x = _mm_div_ps(x, w);
        y = _mm_div_ps(y, w);
      }
      const __m128 inside = _mm_and_ps(_mm_and_ps(_mm_cmpge_ps(x, zero), _mm_cmplt_ps(x, maxX)),
                                       _mm_and_ps(_mm_cmpge_ps(y, zero), _mm_cmplt_ps(y, maxY)));
      if (_mm_movemask_ps(inside) != 0xF) return false;
      const __m128i xi = _mm_cvttps_epi32(x), yi = _mm_cvttps_epi32(y);
      const __m128 fx = _mm_sub_ps(x, _mm_cvtepi32_ps(xi)), fy = _mm_sub_ps(y, _mm_cvtepi32_ps(yi));
      const __m128 w11 = _mm_mul_ps(fx, fy), w10 = _mm_sub_ps(fx, w11), w01 = _mm_sub_ps(fy, w11);
      const __m128 w00 = _mm_sub_ps(_mm_sub_ps(one, fy), w10);
      alignas(16) i32 offset[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(offset),
                      _mm_add_epi32(_mm_mullo_epi32(yi, stride), xi));
      // Each sample's two top and two bottom neighbours as 16-bit words.
      alignas(16) i32 top[4], bottom[4];
      for (int k = 0; k < 4; ++k) {
        const u8* p = base + offset[k];
        top[k] = p[0] | (p[1] << 8);
        bottom[k] = p[img.row_stride()] | (p[img.row_stride() + 1] << 8);
      }
      const __m128i t = _mm_load_si128(reinterpret_cast<const __m128i*>(top));
      const __m128i d = _mm_load_si128(reinterpret_cast<const __m128i*>(bottom));
      const __m128i low = _mm_set1_epi32(0xFF);
      __m128 v = _mm_mul_ps(w00, _mm_cvtepi32_ps(_mm_and_si128(t, low)));
      v = _mm_add_ps(v, _mm_mul_ps(w10, _mm_cvtepi32_ps(_mm_srli_epi32(t, 8))));
      v = _mm_add_ps(v, _mm_mul_ps(w01, _mm_cvtepi32_ps(_mm_and_si128(d, low))));
      v = _mm_add_ps(v, _mm_mul_ps(w11, _mm_cvtepi32_ps(_mm_srli_epi32(d, 8))));
      const __m128i bytes = _mm_cvttps_epi32(v);
      const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(bytes, bytes), bytes);
      const i32 four = _mm_cvtsi128_si32(packed);
      std::memcpy(pixels + 8 * r + 4 * half, &four, 4);
    }
  }
  return true;
}

inline __m128i Widen(__m128i bytes) {
  return _mm_cvtepu8_epi16(bytes);
}

inline i32 HorizontalSum(__m128i v) {
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
  return _mm_cvtsi128_si32(v);
}

}  // namespace

bool WarpPatch8x8(FeaturePatch& patch, const CVD::BasicImage<CVD::byte>& source,
                  const WarpRecord& a, const WarpRecord& b) {
  const int w = source.size().x, h = source.size().y;
  const float* am = a.m;
  const float* bm = b.m;
  float corners[4][2];  // top-left, bottom-left, top-right, bottom-right
  u8 pixels[64];
  if (a.IsAffine()) {
    const float qx = am[0] * patch.x + am[1] * patch.y + am[2] - 4.0f;
    const float qy = am[4] * patch.x + am[5] * patch.y + am[6] - 4.0f;
    const float x0 = bm[0] * qx + bm[1] * qy + bm[2], y0 = bm[4] * qx + bm[5] * qy + bm[6];
    const float ux = bm[0], uy = bm[4], vx = bm[1], vy = bm[5];
    corners[0][0] = x0, corners[0][1] = y0;
    corners[2][0] = x0 + 8.0f * ux, corners[2][1] = y0 + 8.0f * uy;
    corners[3][0] = corners[2][0] + 8.0f * vx, corners[3][1] = corners[2][1] + 8.0f * vy;
    corners[1][0] = corners[3][0] - 8.0f * ux, corners[1][1] = corners[3][1] - 8.0f * uy;
    for (int k : {0, 2, 3, 1})
      if (!CornerInside(corners[k][0], corners[k][1], w, h)) return false;
    if (MatchesCache(patch, corners)) return true;
    const float origin[3] = {x0, y0, 1.0f}, col[3] = {ux, uy, 0.0f}, row[3] = {vx, vy, 0.0f};
    if (!RenderTemplate<false>(source, origin, col, row, pixels)) return false;
  } else {
    const float wa = am[8] * patch.x + am[9] * patch.y + am[10];
    if (!(wa > 0.0f)) return false;
    const float qx = (am[0] * patch.x + am[1] * patch.y + am[2]) / wa - 4.0f;
    const float qy = (am[4] * patch.x + am[5] * patch.y + am[6]) / wa - 4.0f;
    const float p0[3] = {bm[0] * qx + bm[1] * qy + bm[2], bm[4] * qx + bm[5] * qy + bm[6],
                         bm[8] * qx + bm[9] * qy + bm[10]};
    const float col0[3] = {bm[0], bm[4], bm[8]}, col1[3] = {bm[1], bm[5], bm[9]};
    float tr[3], br[3], bl[3];
    for (int i = 0; i < 3; ++i) {
      tr[i] = p0[i] + 8.0f * col0[i];
      br[i] = tr[i] + 8.0f * col1[i];
      bl[i] = br[i] - 8.0f * col0[i];
    }
    const float* homogeneous[4] = {p0, bl, tr, br};
    for (int k = 0; k < 4; ++k) {
      const float* p = homogeneous[k];
      if (!(p[2] > 0.0f)) return false;
      corners[k][0] = p[0] / p[2], corners[k][1] = p[1] / p[2];
    }
    for (int k : {0, 2, 3, 1})
      if (!CornerInside(corners[k][0], corners[k][1], w, h)) return false;
    if (MatchesCache(patch, corners)) return true;
    if (!RenderTemplate<true>(source, p0, col0, col1, pixels)) return false;
  }
  // Only a complete render replaces the template and its cache key.
  std::memcpy(patch.pixels, pixels, 64);
  std::memcpy(patch.corners, corners, sizeof(corners));
  patch.flags &= static_cast<u8>(~kPatchSumsValid);
  return true;
}

void ComputePatchSums(FeaturePatch& patch) {
  if (patch.flags & kPatchSumsValid) return;
  const __m128i zero = _mm_setzero_si128();
  __m128i sum = zero, squares = zero;
  for (int i = 0; i < 64; i += 16) {
    const __m128i bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(patch.pixels + i));
    sum = _mm_add_epi64(sum, _mm_sad_epu8(bytes, zero));
    const __m128i lo = _mm_unpacklo_epi8(bytes, zero), hi = _mm_unpackhi_epi8(bytes, zero);
    squares = _mm_add_epi32(squares, _mm_add_epi32(_mm_madd_epi16(lo, lo), _mm_madd_epi16(hi, hi)));
  }
  patch.sum = static_cast<u32>(_mm_cvtsi128_si32(sum) + _mm_extract_epi32(sum, 2));
  patch.sumOfSquares = static_cast<u32>(HorizontalSum(squares));
  patch.flags |= kPatchSumsValid;
}

i32 PatchZeroMeanSsd(FeaturePatch& patch, const CVD::BasicImage<CVD::byte>& img,
                     const u16 corner[2]) {
  const int x = corner[0], y = corner[1];
  if (x < 4 || y < 4 || x + 3 >= img.size().x || y + 3 >= img.size().y) return kOutsideSsd;
  ComputePatchSums(patch);
  const __m128i zero = _mm_setzero_si128();
  __m128i sb = zero, sbb = zero, sab = zero;
  const int stride = img.row_stride();
  const u8* row = img.data() + (y - 4) * stride + (x - 4);
  for (int r = 0; r < 8; r += 2, row += 2 * stride) {
    const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(patch.pixels + 8 * r));
    const __m128i b0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row));
    const __m128i b1 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + stride));
    sb = _mm_add_epi64(sb, _mm_sad_epu8(_mm_unpacklo_epi64(b0, b1), zero));
    const __m128i w0 = Widen(b0), w1 = Widen(b1);
    const __m128i a0 = _mm_unpacklo_epi8(a, zero), a1 = _mm_unpackhi_epi8(a, zero);
    sbb = _mm_add_epi32(sbb, _mm_add_epi32(_mm_madd_epi16(w0, w0), _mm_madd_epi16(w1, w1)));
    sab = _mm_add_epi32(sab, _mm_add_epi32(_mm_madd_epi16(a0, w0), _mm_madd_epi16(a1, w1)));
  }
  const i32 sumB = _mm_cvtsi128_si32(sb) + _mm_extract_epi32(sb, 2);
  const i32 d = static_cast<i32>(patch.sum) - sumB;
  return static_cast<i32>(patch.sumOfSquares) + HorizontalSum(sbb) - 2 * HorizontalSum(sab) -
         d * d / 64;
}

float ComputeCornerScore(const CVD::BasicImage<CVD::byte>& img, const u32 corner[2]) {
  // Signed 64-bit margins: a corner within 4 of 2^32 must not wrap inside.
  const std::int64_t x = corner[0], y = corner[1];
  if (x < 5 || y < 5 || x + 4 >= img.size().x || y + 4 >= img.size().y) return 0.0f;
  const int stride = img.row_stride();
  // Rows y - 5 .. y + 4 at columns x - 4 .. x + 3; the rows above and below
  // stay in registers for the vertical differences.
  const u8* base = img.data() + (y - 5) * stride + (x - 4);
  auto load = [](const u8* p) {
    return Widen(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
  };
  __m128i above = load(base), centre = load(base + stride);
  __m128i sxx = _mm_setzero_si128(), syy = sxx, sxy = sxx;
  for (int r = 0; r < 8; ++r) {
    const u8* p = base + (r + 1) * stride;
    const __m128i below = load(p + stride);
    const __m128i gx = _mm_sub_epi16(load(p + 1), load(p - 1));
    const __m128i gy = _mm_sub_epi16(below, above);
    sxx = _mm_add_epi32(sxx, _mm_madd_epi16(gx, gx));
    syy = _mm_add_epi32(syy, _mm_madd_epi16(gy, gy));
    sxy = _mm_add_epi32(sxy, _mm_madd_epi16(gx, gy));
    above = centre;
    centre = below;
  }
  const i32 a = HorizontalSum(sxx), b = HorizontalSum(syy), c = HorizontalSum(sxy);
  // The squares overflow 32-bit integers for strong texture.
  const double d = static_cast<double>(a) - b, e = 2.0 * c;
  return static_cast<float>(static_cast<double>(a) + b - std::sqrt(d * d + e * e));
}

bool PatchSearchLevel(const u32 size[2], const float position[2], const WarpRecord& m, u8& level) {
  const float w = static_cast<float>(size[0]) - 2.0f, h = static_cast<float>(size[1]) - 2.0f;
  const float* a = m.m;
  const float x = position[0] - 4.0f, y = position[1] - 4.0f;
  float c[4][2];  // images of (x-4, y-4), (x+4, y-4), (x+4, y+4), (x-4, y+4)
  if (m.IsAffine()) {
    c[0][0] = a[0] * x + a[1] * y + a[2], c[0][1] = a[4] * x + a[5] * y + a[6];
    c[1][0] = c[0][0] + 8.0f * a[0], c[1][1] = c[0][1] + 8.0f * a[4];
    c[2][0] = c[1][0] + 8.0f * a[1], c[2][1] = c[1][1] + 8.0f * a[5];
    c[3][0] = c[0][0] + 8.0f * a[1], c[3][1] = c[0][1] + 8.0f * a[5];
  } else {
    float p[4][3];
    for (int i = 0; i < 3; ++i) {
      p[0][i] = a[4 * i] * x + a[4 * i + 1] * y + a[4 * i + 2];
      p[1][i] = p[0][i] + 8.0f * a[4 * i];
      p[2][i] = p[1][i] + 8.0f * a[4 * i + 1];
      p[3][i] = p[0][i] + 8.0f * a[4 * i + 1];
    }
    for (int k = 0; k < 4; ++k) {
      if (!(p[k][2] > 0.0f)) return false;
      c[k][0] = p[k][0] / p[k][2], c[k][1] = p[k][1] / p[k][2];
    }
  }
  for (int k = 0; k < 4; ++k)
    if (!(c[k][0] >= 0.0f && c[k][0] <= w && c[k][1] >= 0.0f && c[k][1] <= h)) return false;
  const float d0x = c[0][0] - c[2][0], d0y = c[0][1] - c[2][1];
  const float d1x = c[3][0] - c[1][0], d1y = c[3][1] - c[1][1];
  const float ratio = std::fabs(d0x * d1y - d0y * d1x) / 2.0f / 64.0f;
  if (ratio < 0.025f || ratio > 200.0f) return false;
  level = 0;
  for (int n = static_cast<int>(ratio + 0.5f); n > 1 && level <= 2; n /= 4) ++level;
  return true;
}

#include "features/PatchRefinement.h"

#include <immintrin.h>

#include <cmath>

namespace {

constexpr int kMaxIterations = 10;
constexpr float kConvergedStep = 0.0025f;
constexpr float kBrightnessLimit = 50.0f;

// The gradient blocks of a buffer whose 64 values are filled.
void FillGradients(float* b) {
  float* gx = b + 64;
  float* gy = b + 112;
  for (int r = 1; r <= 6; ++r) {
    const float* v = b + 8 * r;
    float* ox = gx + 8 * (r - 1);
    float* oy = gy + 8 * (r - 1);
    ox[0] = ox[7] = oy[0] = oy[7] = 0.0f;
    for (int c = 1; c <= 6; ++c) {
      ox[c] = v[c + 1] - v[c - 1];
      oy[c] = v[c + 8] - v[c - 8];
    }
  }
}

// True when the window at p and every neighbour of non-zero weight lie
// inside the image: p in [4, w - 4] x [4, h - 4]. The bounds are exact in
// double for any image size; NaN fails, and a position that passes converts
// to int without overflow.
inline bool WindowInside(const float p[2], const CVD::ImageRef& size) {
  return p[0] >= 4.0f && static_cast<double>(p[0]) <= size.x - 4.0 && p[1] >= 4.0f &&
         static_cast<double>(p[1]) <= size.y - 4.0;
}

}  // namespace

void PatchBytesToFloat(float buffer[160], const u8 patchBytes[64]) {
  const __m128 scale = _mm_set1_ps(1.0f / 255.0f);
  for (int i = 0; i < 64; i += 4) {
    const __m128i bytes = _mm_cvtsi32_si128(*reinterpret_cast<const int*>(patchBytes + i));
    _mm_storeu_ps(buffer + i, _mm_mul_ps(_mm_cvtepi32_ps(_mm_cvtepu8_epi32(bytes)), scale));
  }
  FillGradients(buffer);
}

bool SamplePatchBilinear(float buffer[160], const CVD::BasicImage<CVD::byte>& img,
                         const float position[2]) {
  if (!WindowInside(position, img.size())) return false;
  const int xi = static_cast<int>(position[0]), yi = static_cast<int>(position[1]);
  const float fx = position[0] - xi, fy = position[1] - yi;
  const float w11 = fx * fy, w10 = fx - w11, w01 = fy - w11, w00 = 1.0f - fy - w10;
  // A neighbour of weight 0 is never read: at an integer position on the
  // last valid column or row the next one lies outside the image.
  const int dx = fx != 0.0f ? 1 : 0;
  const int stride = img.row_stride();
  const int dy = fy != 0.0f ? stride : 0;
  const __m128 k00 = _mm_set1_ps(w00 / 255.0f), k10 = _mm_set1_ps(w10 / 255.0f);
  const __m128 k01 = _mm_set1_ps(w01 / 255.0f), k11 = _mm_set1_ps(w11 / 255.0f);
  auto load4 = [](const u8* p) {
    int word;
    __builtin_memcpy(&word, p, 4);
    return _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(word)));
  };
  const u8* row = img.data() + (yi - 4) * stride + (xi - 4);
  for (int r = 0; r < 8; ++r, row += stride) {
    for (int c = 0; c < 8; c += 4) {
      const u8* p = row + c;
      __m128 v = _mm_mul_ps(k00, load4(p));
      v = _mm_add_ps(v, _mm_mul_ps(k10, load4(p + dx)));
      v = _mm_add_ps(v, _mm_mul_ps(k01, load4(p + dy)));
      v = _mm_add_ps(v, _mm_mul_ps(k11, load4(p + dy + dx)));
      _mm_storeu_ps(buffer + 8 * r + c, v);
    }
  }
  FillGradients(buffer);
  return true;
}

bool RefinePatchPosition(const u8 patchBytes[64], const CVD::BasicImage<CVD::byte>& img,
                         float position[2], float T[160], float S[160]) {
  if (!WindowInside(position, img.size())) return false;
  const float w = static_cast<float>(img.size().x), h = static_cast<float>(img.size().y);
  PatchBytesToFloat(T, patchBytes);
  const float* gx = T + 64;
  const float* gy = T + 112;
  // The normal matrix depends on the template only.
  float sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
  for (int i = 0; i < 48; ++i) {
    sx += gx[i], sy += gy[i];
    sxx += gx[i] * gx[i], sxy += gx[i] * gy[i], syy += gy[i] * gy[i];
  }
  const float h00 = sxx / 4, h01 = sxy / 4, h02 = sx / 2, h11 = syy / 4, h12 = sy / 2, h22 = 36.0f;
  const float c00 = h11 * h22 - h12 * h12, c01 = h02 * h12 - h01 * h22, c02 = h01 * h12 - h02 * h11;
  const float c11 = h00 * h22 - h02 * h02, c12 = h01 * h02 - h00 * h12, c22 = h00 * h11 - h01 * h01;
  const float det = h00 * c00 + h01 * c01 + h02 * c02;
  if (det == 0.0f) return false;
  const float inv = 1.0f / det;

  float p[2] = {position[0], position[1]};
  float best = 0, cost0 = 0, bestPosition[2] = {p[0], p[1]};
  float brightness = 0;
  for (int i = 0; i < kMaxIterations; ++i) {
    // The loop's own bound below is in float: past 2^24 pixels it may round
    // outward, and the sampler's exact bound ends the search instead.
    if (!SamplePatchBilinear(S, img, p)) break;
    float sex = 0, sey = 0, se = 0, cost = 0;
    for (int r = 1; r <= 6; ++r) {
      for (int c = 1; c <= 6; ++c) {
        const int k = 8 * (r - 1) + c;
        const float e = T[8 * r + c] - S[8 * r + c] + brightness;
        sex += e * gx[k], sey += e * gy[k], se += e, cost += e * e;
      }
    }
    if (i == 0) {
      cost0 = best = cost;
    } else if (cost < best) {
      best = cost;
      bestPosition[0] = p[0], bestPosition[1] = p[1];
    }
    const float bx = -sex / 2, by = -sey / 2, bc = -se;
    const float stepX = (c00 * bx + c01 * by + c02 * bc) * inv;
    const float stepY = (c01 * bx + c11 * by + c12 * bc) * inv;
    const float stepC = (c02 * bx + c12 * by + c22 * bc) * inv;
    brightness += stepC;
    if (std::fabs(brightness) > kBrightnessLimit) break;
    p[0] -= stepX, p[1] -= stepY;
    if (!(4.0f < p[0] && p[0] + 4.0f < w && 4.0f < p[1] && p[1] + 4.0f < h)) break;
    if (stepX * stepX + stepY * stepY < kConvergedStep) break;
  }
  position[0] = bestPosition[0], position[1] = bestPosition[1];
  return cost0 > best;
}

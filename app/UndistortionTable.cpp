#include "app/UndistortionTable.h"

#include <immintrin.h>

#include <cstring>

void UndistortionTable::Build(int w, int h, const Intrinsic& ideal, const LensModel& lens) {
  width_ = w;
  height_ = h;
  const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
  source_.assign(n, SourcePixel{-1, -1});
  weights_.Resize(static_cast<u32>(n));
  const float fx = ideal.fx[0], fy = ideal.fy[0], cx = ideal.cx[0], cy = ideal.cy[0];
  std::vector<float> xn(static_cast<size_t>(w)), xn2(static_cast<size_t>(w));
  for (int x = 0; x < w; ++x) {
    xn[x] = (static_cast<float>(x) - cx) / fx;
    xn2[x] = xn[x] * xn[x];
  }
  for (int y = 0; y < h; ++y) {
    const float yn = (static_cast<float>(y) - cy) / fy, yn2 = yn * yn;
    for (int x = 0; x < w; ++x) {
      const float r2 = xn2[x] + yn2;
      const float radial = 1.0f + lens.k1 * r2 + lens.k2 * r2 * r2 + lens.k3 * r2 * r2 * r2;
      const float xd =
          xn[x] * radial + 2.0f * lens.p1 * xn[x] * yn + lens.p2 * (r2 + 2.0f * xn2[x]);
      const float yd = yn * radial + lens.p1 * (r2 + 2.0f * yn2) + 2.0f * lens.p2 * xn[x] * yn;
      const float u = lens.fx * xd + lens.cx, v = lens.fy * yd + lens.cy;
      // Far outside (or NaN) is outside; the range test below needs ints.
      if (!(u > -2.0f && u < static_cast<float>(w) && v > -2.0f && v < static_cast<float>(h))) {
        continue;
      }
      const int ix = static_cast<int>(u), iy = static_cast<int>(v);  // toward zero
      if (ix < 0 || ix > w - 2 || iy < 0 || iy > h - 2) continue;
      const size_t i = static_cast<size_t>(y) * w + x;
      source_[i] = SourcePixel{ix, iy};
      // Just left of or above the frame truncates to 0 and extrapolates.
      const float dx = u - static_cast<float>(ix), dy = v - static_cast<float>(iy);
      const float w3 = dx * dy, w2 = dx - w3, w1 = dy - w3;
      // Held in the order the pixels are loaded: the top pair, then the
      // bottom pair.
      float* weight = weights_[static_cast<u32>(i)].v;
      weight[0] = 1.0f - dy - w2;
      weight[1] = w2;
      weight[2] = w1;
      weight[3] = w3;
    }
  }
}

void UndistortionTable::Clear() {
  source_.clear();
  width_ = height_ = 0;
}

void UndistortionTable::CopyFrameForRemap(const CVD::BasicImage<u8>& frame) {
  frame_.resize(frame.size());
  for (int y = 0; y < frame.size().y; ++y) {
    std::memcpy(frame_[y], frame[y], static_cast<size_t>(frame.size().x));
  }
}

namespace {

// The four source pixels of an entry, (x, y), (x+1, y), (x, y+1), (x+1, y+1),
// as floats.
inline __m128 LoadSquare(const u8* p, size_t stride) {
  u16 top, bottom;
  std::memcpy(&top, p, 2);
  std::memcpy(&bottom, p + stride, 2);
  const __m128i bytes = _mm_cvtsi32_si128(static_cast<int>(top | (static_cast<u32>(bottom) << 16)));
  return _mm_cvtepi32_ps(_mm_cvtepu8_epi32(bytes));
}

}  // namespace

void UndistortionTable::RemapFrame(CVD::BasicImage<u8>& image) const {
  const int w = width_;
  const size_t stride = static_cast<size_t>(frame_.row_stride());
  const u8* base = frame_.data();
  const __m128 half = _mm_set1_ps(0.5f);
  const SourcePixel* source = source_.data();
  const LA::AlignedVector4f* weight = weights_.Data();
  // A pixel outside the frame sums to 0.
  const auto square = [&](int k) {
    if (source[k].x < 0) return _mm_setzero_ps();
    const u8* p = base + static_cast<size_t>(source[k].y) * stride + source[k].x;
    return _mm_mul_ps(LoadSquare(p, stride), _mm_load_ps(weight[k].v));
  };
  for (int y = 0; y < height_; ++y) {
    u8* out = image[y];
    int x = 0;
    // Four pixels at a time: the transpose adds each pixel's four products.
    for (; x + 4 <= w; x += 4, source += 4, weight += 4) {
      __m128 a = square(0), b = square(1), c = square(2), d = square(3);
      _MM_TRANSPOSE4_PS(a, b, c, d);
      // The products of (x+1, y), (x, y), (x, y+1), (x+1, y+1) summed in
      // that order, so that every pixel rounds as the scalar sum does.
      const __m128 sum = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_add_ps(b, a), c), d), half);
      // Truncation, then saturation: negative weights (just outside the
      // frame) may leave 0..255.
      const __m128i words = _mm_packs_epi32(_mm_cvttps_epi32(sum), _mm_setzero_si128());
      const int packed = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
      std::memcpy(out + x, &packed, 4);
    }
    for (; x < w; ++x, ++source, ++weight) {
      const __m128 p = square(0);
      __m128 sum = _mm_add_ss(_mm_shuffle_ps(p, p, 1), p);
      sum = _mm_add_ss(sum, _mm_shuffle_ps(p, p, 2));
      sum = _mm_add_ss(sum, _mm_shuffle_ps(p, p, 3));
      sum = _mm_min_ss(_mm_max_ss(_mm_add_ss(sum, half), _mm_setzero_ps()), _mm_set1_ps(255.0f));
      out[x] = static_cast<u8>(_mm_cvttss_si32(sum));
    }
  }
}

#include "app/UndistortionTable.h"

#include <immintrin.h>

#include <cstring>

void UndistortionTable::Build(int w, int h, const Intrinsic& ideal, const LensModel& lens) {
  width_ = w;
  height_ = h;
  const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
  // Whole blocks of four; the padding reads pixel 0 with zero weights.
  const size_t padded = (n + 3) & ~size_t{3};
  source_.assign(n, SourcePixel{-1, -1});
  offset_.assign(padded, 0);
  weights_.Resize(static_cast<u32>(padded));
  std::memset(static_cast<void*>(weights_.Data()), 0, padded * sizeof(LA::AlignedVector4f));
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
      offset_[i] = static_cast<u32>(iy) * static_cast<u32>(w) + static_cast<u32>(ix);
      // Just left of or above the frame truncates to 0 and extrapolates.
      const float dx = u - static_cast<float>(ix), dy = v - static_cast<float>(iy);
      const float w3 = dx * dy, w2 = dx - w3, w1 = dy - w3;
      // Block of four pixels: the weights of (x, y), then (x+1, y), (x, y+1)
      // and (x+1, y+1), one row of four each.
      LA::AlignedVector4f* block = &weights_[static_cast<u32>(i & ~size_t{3})];
      const size_t lane = i & 3;
      block[0].v[lane] = 1.0f - dy - w2;
      block[1].v[lane] = w2;
      block[2].v[lane] = w1;
      block[3].v[lane] = w3;
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

// The square at offset of a frame w wide as the bytes of one int:
// (x, y), (x+1, y), (x, y+1), (x+1, y+1) from the lowest byte up.
inline int Square(const u8* base, u32 offset, size_t w) {
  u16 top, bottom;
  std::memcpy(&top, base + offset, 2);
  std::memcpy(&bottom, base + offset + w, 2);
  return static_cast<int>(top | (static_cast<u32>(bottom) << 16));
}

}  // namespace

void UndistortionTable::RemapFrame(CVD::BasicImage<u8>& image) const {
  const CVD::ImageRef size(width_, height_);
  // Squares are read at offsets of a frame of the table's size.
  if (source_.empty() || frame_.size() != size || image.size() != size || width_ < 2 ||
      height_ < 2) {
    return;
  }
  const size_t w = static_cast<size_t>(width_), n = w * static_cast<size_t>(height_);
  const u8* base = frame_.data();
  const u32* offset = offset_.data();
  const LA::AlignedVector4f* weight = weights_.Data();
  const __m128i byte = _mm_set1_epi32(0xff);
  const __m128 half = _mm_set1_ps(0.5f);
  const bool contiguous = static_cast<size_t>(image.row_stride()) == w;
  for (size_t i = 0; i < n; i += 4, offset += 4, weight += 4) {
    // Four pixels, each corner of the squares in its own register: no
    // shuffles between the loads and the sums.
    const __m128i square = _mm_set_epi32(Square(base, offset[3], w), Square(base, offset[2], w),
                                         Square(base, offset[1], w), Square(base, offset[0], w));
    const __m128 topLeft = _mm_cvtepi32_ps(_mm_and_si128(square, byte));
    const __m128 topRight = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(square, 8), byte));
    const __m128 bottomLeft = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(square, 16), byte));
    const __m128 bottomRight = _mm_cvtepi32_ps(_mm_srli_epi32(square, 24));
    // Summed in one fixed order, (x+1, y), (x, y), (x, y+1), (x+1, y+1).
    __m128 sum = _mm_add_ps(_mm_mul_ps(topRight, _mm_load_ps(weight[1].v)),
                            _mm_mul_ps(topLeft, _mm_load_ps(weight[0].v)));
    sum = _mm_add_ps(sum, _mm_mul_ps(bottomLeft, _mm_load_ps(weight[2].v)));
    sum = _mm_add_ps(sum, _mm_mul_ps(bottomRight, _mm_load_ps(weight[3].v)));
    // Truncation, then saturation: negative weights (just outside the
    // frame) may leave 0..255.
    const __m128i words =
        _mm_packs_epi32(_mm_cvttps_epi32(_mm_add_ps(sum, half)), _mm_setzero_si128());
    const int packed = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
    if (contiguous && i + 4 <= n) {
      std::memcpy(image.data() + i, &packed, 4);
      continue;
    }
    for (size_t k = i; k < n && k < i + 4; ++k) {
      image[static_cast<int>(k / w)][k % w] = static_cast<u8>(packed >> (8 * (k - i)));
    }
  }
}

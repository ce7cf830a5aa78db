#include "features/ImageWarp.h"

#include <cstring>

namespace {

inline CVD::byte Blend(float w00, float w10, float w01, float w11, CVD::byte a, CVD::byte b,
                       CVD::byte c, CVD::byte d) {
  return static_cast<CVD::byte>(w00 * a + w10 * b + w01 * c + w11 * d);
}

inline CVD::Rgb<CVD::byte> Blend(float w00, float w10, float w01, float w11,
                                 const CVD::Rgb<CVD::byte>& a, const CVD::Rgb<CVD::byte>& b,
                                 const CVD::Rgb<CVD::byte>& c, const CVD::Rgb<CVD::byte>& d) {
  return {Blend(w00, w10, w01, w11, a.red, b.red, c.red, d.red),
          Blend(w00, w10, w01, w11, a.green, b.green, c.green, d.green),
          Blend(w00, w10, w01, w11, a.blue, b.blue, c.blue, d.blue)};
}

// Walks the destination with the source point advanced incrementally along
// rows and columns; `projective` divides by the third coordinate.
template <class P>
void Warp(const CVD::BasicImage<P>& src, const CVD::ImageRef& size, CVD::Image<P>& dst,
          const WarpRecord& map, bool projective) {
  dst.resize(size);
  for (int r = 0; r < size.y; ++r) std::memset(static_cast<void*>(dst[r]), 0, sizeof(P) * size.x);
  const float* m = map.m;
  const float maxX = static_cast<float>(src.size().x - 1),
              maxY = static_cast<float>(src.size().y - 1);
  for (int r = 0; r < size.y; ++r) {
    float X = m[1] * r + m[2], Y = m[5] * r + m[6], W = projective ? m[9] * r + m[10] : 1.0f;
    P* out = dst[r];
    for (int c = 0; c < size.x; ++c, X += m[0], Y += m[4], W += projective ? m[8] : 0.0f) {
      if (projective && !(W > 0.0f)) continue;
      const float x = projective ? X / W : X, y = projective ? Y / W : Y;
      // Float test first, so that NaN and huge values never reach the cast.
      if (!(x >= 0.0f && x < maxX && y >= 0.0f && y < maxY)) continue;
      const int xi = static_cast<int>(x), yi = static_cast<int>(y);
      const float fx = x - xi, fy = y - yi;
      const float w11 = fx * fy, w10 = fx - w11, w01 = fy - w11, w00 = 1.0f - fy - w10;
      const P* p = src[yi] + xi;
      const P* q = src[yi + 1] + xi;
      out[c] = Blend(w00, w10, w01, w11, p[0], p[1], q[0], q[1]);
    }
  }
}

}  // namespace

void WarpImageGray(const CVD::BasicImage<CVD::byte>& src, const CVD::ImageRef& size,
                   CVD::Image<CVD::byte>& dst, const WarpRecord& m) {
  Warp(src, size, dst, m, !m.IsAffine());
}

void WarpImageGrayAffine(const CVD::BasicImage<CVD::byte>& src, const CVD::ImageRef& size,
                         CVD::Image<CVD::byte>& dst, const WarpRecord& m) {
  Warp(src, size, dst, m, false);
}

void WarpImageRgb(const CVD::BasicImage<CVD::Rgb<CVD::byte>>& src, const CVD::ImageRef& size,
                  CVD::Image<CVD::Rgb<CVD::byte>>& dst, const WarpRecord& m) {
  Warp(src, size, dst, m, !m.IsAffine());
}

void WarpImageRgbAffine(const CVD::BasicImage<CVD::Rgb<CVD::byte>>& src, const CVD::ImageRef& size,
                        CVD::Image<CVD::Rgb<CVD::byte>>& dst, const WarpRecord& m) {
  Warp(src, size, dst, m, false);
}

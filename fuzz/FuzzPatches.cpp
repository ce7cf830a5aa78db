// The 8x8 patch kernels on small images with hostile positions and warps:
// the corner score and the zero-mean SSD at any corner (near the margins,
// near 2^31 and 2^32, raw bits), template rendering under spoiled maps and
// patch centres, bilinear sampling and sub-pixel refinement from any start,
// and the search level of a warped patch. Each input runs a few operations
// on one image, a byte picking each. The image is a heap block of exactly
// its rows, so ASan sees a read past its ends; scalar references catch a
// read of the wrong pixel inside it. Contract: nothing crashes; outside the
// margins the score is 0, the SSD 0x7fffffff and sampling is refused, inside
// all three equal their references; a refused warp leaves the patch alone,
// an affine render equals the reference and the same warp again hits the
// cache; a refinement that fails leaves the position alone and one that
// succeeds ends inside the scored area.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "features/PatchRefinement.h"
#include "features/PatchWarp.h"
#include "la/Random.h"

namespace {

using Image = CVD::BasicImage<CVD::byte>;

// An image of up to 40 x 40 pixels (either side may be 0) over `pixels`, rows
// padded by up to 3 bytes: noise, flat, smooth blobs the refinement can lock
// on to, or the fuzzer's own bytes.
Image MakeImage(FuzzInput& in, std::vector<u8>& pixels) {
  const int w = in.Byte() % 41, h = in.Byte() % 41;
  const int stride = w + (in.Byte() % 4 == 0 ? in.Byte() % 4 : 0);
  pixels.assign(static_cast<size_t>(stride) * h, 0);
  Random::Seed(in.Byte());
  const u8 kind = in.Byte() % 4, level = in.Byte();
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < stride; ++x) {
      u8& p = pixels[static_cast<size_t>(y) * stride + x];
      if (kind == 0) p = static_cast<u8>(Random::Index(256));
      if (kind == 1) p = level;
      if (kind == 2) p = static_cast<u8>(128 + 100 * std::sin(0.7f * x) * std::cos(0.55f * y));
      if (kind == 3) p = in.Byte();
    }
  }
  return Image(pixels.data(), CVD::ImageRef(w, h), stride);
}

// A corner coordinate for an image side of n: mostly around the image, else
// one of the values that wrap 32-bit arithmetic, or raw bits.
u32 Coordinate(FuzzInput& in, int n) {
  static const u32 kWrap[] = {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFBu, 0xFFFFFFFCu, 0xFFFFFFFFu};
  const u8 tag = in.Byte() % 8;
  if (tag < 5) return in.Index(static_cast<u32>(n) + 12);
  if (tag < 7) return kWrap[in.Index(5)];
  return in.U32();
}

// A position for an image side of n: mostly a pixel and a fraction around
// the image, else a hostile number.
float Position(FuzzInput& in, int n) {
  if (in.Byte() % 4 == 0) return in.Float();
  return static_cast<float>(static_cast<int>(in.Index(static_cast<u32>(n) + 10)) - 5) +
         static_cast<float>(in.Byte()) / 256.0f;
}

// A rotation and scale with a shift, affine or (a small third row)
// projective, then up to three hostile entries.
WarpRecord Warp(FuzzInput& in, int w, int h) {
  WarpRecord m{};
  const float s = 0.5f + in.Byte() / 128.0f, a = (in.Byte() - 128) / 128.0f;
  m.m[0] = s * std::cos(a), m.m[1] = -s * std::sin(a), m.m[2] = Position(in, w) - w / 2;
  m.m[4] = s * std::sin(a), m.m[5] = s * std::cos(a), m.m[6] = Position(in, h) - h / 2;
  if (in.Bool()) {
    m.m[8] = FLT_MAX;
  } else {
    m.m[8] = (in.Byte() - 128) / 8192.0f, m.m[9] = (in.Byte() - 128) / 8192.0f;
  }
  m.m[10] = 1.0f;
  in.Spoil(m.m, 12, 1, 3);
  return m;
}

// The reference reads only inside the image.
int Pixel(const Image& img, int x, int y) {
  FUZZ_CHECK(x >= 0 && y >= 0 && x < img.size().x && y < img.size().y);
  return img[y][x];
}

// 64 template bytes: the fuzzer's, a flat value, or the image's window at
// (x, y) when it fits.
void Template(FuzzInput& in, const Image& img, u8 pixels[64]) {
  const u8 kind = in.Byte() % 3;
  const int x = static_cast<int>(in.Index(static_cast<u32>(img.size().x))) - 4;
  const int y = static_cast<int>(in.Index(static_cast<u32>(img.size().y))) - 4;
  const bool fits = x >= 0 && y >= 0 && x + 8 <= img.size().x && y + 8 <= img.size().y;
  const u8 flat = in.Byte();
  for (int k = 0; k < 64; ++k) {
    if (kind == 0 || (kind == 2 && !fits)) pixels[k] = in.Byte();
    if (kind == 1) pixels[k] = flat;
    if (kind == 2 && fits) pixels[k] = img[y + k / 8][x + k % 8];
  }
}

void CornerScore(FuzzInput& in, const Image& img) {
  const u32 corner[2] = {Coordinate(in, img.size().x), Coordinate(in, img.size().y)};
  const float score = ComputeCornerScore(img, corner);
  const std::int64_t x = corner[0], y = corner[1];
  if (x < 5 || y < 5 || x + 4 >= img.size().x || y + 4 >= img.size().y) {
    FUZZ_CHECK(score == 0.0f);
    return;
  }
  std::int64_t sxx = 0, syy = 0, sxy = 0;
  for (int r = -4; r < 4; ++r) {
    for (int c = -4; c < 4; ++c) {
      const int px = static_cast<int>(x) + c, py = static_cast<int>(y) + r;
      const int gx = Pixel(img, px + 1, py) - Pixel(img, px - 1, py);
      const int gy = Pixel(img, px, py + 1) - Pixel(img, px, py - 1);
      sxx += gx * gx, syy += gy * gy, sxy += gx * gy;
    }
  }
  const double d = static_cast<double>(sxx) - static_cast<double>(syy), e = 2.0 * sxy;
  const double expected = static_cast<double>(sxx) + syy - std::sqrt(d * d + e * e);
  FUZZ_CHECK(score == static_cast<float>(expected));
}

void ZeroMeanSsd(FuzzInput& in, const Image& img) {
  FeaturePatch patch{};
  Template(in, img, patch.pixels);
  const u16 corner[2] = {static_cast<u16>(Coordinate(in, img.size().x)),
                         static_cast<u16>(Coordinate(in, img.size().y))};
  const i32 ssd = PatchZeroMeanSsd(patch, img, corner);
  const int x = corner[0], y = corner[1];
  if (x < 4 || y < 4 || x + 3 >= img.size().x || y + 3 >= img.size().y) {
    FUZZ_CHECK(ssd == 0x7fffffff);
    return;
  }
  i32 sa = 0, sb = 0, ss = 0;
  for (int k = 0; k < 64; ++k) {
    const int a = patch.pixels[k], b = Pixel(img, x - 4 + k % 8, y - 4 + k / 8);
    sa += a, sb += b, ss += (a - b) * (a - b);
  }
  FUZZ_CHECK(ssd == ss - (sa - sb) * (sa - sb) / 64);
}

// The affine template of WarpPatch8x8 in scalar code, in the kernel's
// operation order; false when a sample's neighbours leave the image.
bool AffineReference(const Image& img, const FeaturePatch& patch, const WarpRecord& a,
                     const WarpRecord& b, u8 pixels[64]) {
  const float* am = a.m;
  const float* bm = b.m;
  const float qx = am[0] * patch.x + am[1] * patch.y + am[2] - 4.0f;
  const float qy = am[4] * patch.x + am[5] * patch.y + am[6] - 4.0f;
  const float x0 = bm[0] * qx + bm[1] * qy + bm[2], y0 = bm[4] * qx + bm[5] * qy + bm[6];
  const float maxX = static_cast<float>(img.size().x - 1);
  const float maxY = static_cast<float>(img.size().y - 1);
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      const float fc = static_cast<float>(c), fr = static_cast<float>(r);
      const float x = x0 + fc * bm[0] + fr * bm[1], y = y0 + fc * bm[4] + fr * bm[5];
      if (!(x >= 0.0f && x < maxX && y >= 0.0f && y < maxY)) return false;
      const int xi = static_cast<int>(x), yi = static_cast<int>(y);
      const float fx = x - static_cast<float>(xi), fy = y - static_cast<float>(yi);
      const float w11 = fx * fy, w10 = fx - w11, w01 = fy - w11, w00 = 1.0f - fy - w10;
      float v = w00 * static_cast<float>(Pixel(img, xi, yi));
      v = v + w10 * static_cast<float>(Pixel(img, xi + 1, yi));
      v = v + w01 * static_cast<float>(Pixel(img, xi, yi + 1));
      v = v + w11 * static_cast<float>(Pixel(img, xi + 1, yi + 1));
      const int t = static_cast<int>(v);
      pixels[8 * r + c] = static_cast<u8>(t < 0 ? 0 : t > 255 ? 255 : t);
    }
  }
  return true;
}

void WarpTemplate(FuzzInput& in, const Image& img) {
  const int w = img.size().x, h = img.size().y;
  FeaturePatch patch{};
  Template(in, img, patch.pixels);
  patch.x = Position(in, w), patch.y = Position(in, h);
  for (int k = 0; k < 4; ++k) patch.corners[k][0] = in.Float(), patch.corners[k][1] = in.Float();
  ComputePatchSums(patch);
  WarpRecord a = Warp(in, w, h), b = in.Bool() ? a : Warp(in, w, h);
  // Maps that undo each other render the template where it came from.
  if (in.Byte() % 4 == 0) {
    a = WarpRecord{};
    a.m[0] = a.m[5] = a.m[10] = 1.0f, a.m[8] = in.Bool() ? FLT_MAX : 0.0f;
    b = a;
  }
  const FeaturePatch before = patch;
  if (!WarpPatch8x8(patch, img, a, b)) {
    FUZZ_CHECK(std::memcmp(&patch, &before, sizeof(patch)) == 0);
    return;
  }
  if (patch.flags & kPatchSumsValid) {  // a cache hit keeps the template
    FUZZ_CHECK(std::memcmp(&patch, &before, sizeof(patch)) == 0);
    return;
  }
  for (int k = 0; k < 4; ++k) {
    const float x = patch.corners[k][0], y = patch.corners[k][1];
    FUZZ_CHECK(x >= 0.0f && x <= w - 2.0f && y >= 0.0f && y <= h - 2.0f);
  }
  if (a.IsAffine()) {
    u8 expected[64];
    FUZZ_CHECK(AffineReference(img, patch, a, b, expected));
    FUZZ_CHECK(std::memcmp(expected, patch.pixels, 64) == 0);
  }
  ComputePatchSums(patch);
  const FeaturePatch rendered = patch;
  FUZZ_CHECK(WarpPatch8x8(patch, img, a, b));
  FUZZ_CHECK(std::memcmp(&patch, &rendered, sizeof(patch)) == 0);
}

void SampleBilinear(FuzzInput& in, const Image& img) {
  const float position[2] = {Position(in, img.size().x), Position(in, img.size().y)};
  alignas(16) float buffer[160];
  std::fill(buffer, buffer + 160, -1.0f);
  const double x = position[0], y = position[1];
  const bool inside = x >= 4.0 && x <= img.size().x - 4.0 && y >= 4.0 && y <= img.size().y - 4.0;
  const bool sampled = SamplePatchBilinear(buffer, img, position);
  FUZZ_CHECK(sampled == inside);
  if (!sampled) {
    for (int k = 0; k < 160; ++k) FUZZ_CHECK(buffer[k] == -1.0f);
    return;
  }
  const int xi = static_cast<int>(position[0]), yi = static_cast<int>(position[1]);
  const float fx = position[0] - xi, fy = position[1] - yi;
  const float w11 = fx * fy, w10 = fx - w11, w01 = fy - w11, w00 = 1.0f - fy - w10;
  const int dx = fx != 0.0f ? 1 : 0, dy = fy != 0.0f ? 1 : 0;
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      const int px = xi - 4 + c, py = yi - 4 + r;
      float v = w00 / 255.0f * static_cast<float>(Pixel(img, px, py));
      v = v + w10 / 255.0f * static_cast<float>(Pixel(img, px + dx, py));
      v = v + w01 / 255.0f * static_cast<float>(Pixel(img, px, py + dy));
      v = v + w11 / 255.0f * static_cast<float>(Pixel(img, px + dx, py + dy));
      FUZZ_CHECK(buffer[8 * r + c] == v);
    }
  }
}

void Refine(FuzzInput& in, const Image& img) {
  const int w = img.size().x, h = img.size().y;
  u8 pixels[64];
  Template(in, img, pixels);
  float position[2] = {Position(in, w), Position(in, h)};
  const float start[2] = {position[0], position[1]};
  alignas(16) float T[160], S[160];
  if (!RefinePatchPosition(pixels, img, position, T, S)) {
    FUZZ_CHECK(std::memcmp(position, start, sizeof(start)) == 0);
    return;
  }
  FUZZ_CHECK(4.0f < position[0] && position[0] + 4.0f < w);
  FUZZ_CHECK(4.0f < position[1] && position[1] + 4.0f < h);
}

void SearchLevel(FuzzInput& in, const Image& img) {
  const u32 size[2] = {Coordinate(in, img.size().x), Coordinate(in, img.size().y)};
  const float position[2] = {Position(in, img.size().x), Position(in, img.size().y)};
  const WarpRecord m = Warp(in, img.size().x, img.size().y);
  u8 level = 99;
  if (PatchSearchLevel(size, position, m, level)) FUZZ_CHECK(level <= 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzInput in(bytes, size);
  std::vector<u8> pixels;
  const Image img = MakeImage(in, pixels);
  for (int op = 0; op < 8 && in.Remaining() > 0; ++op) {
    switch (in.Byte() % 6) {
      case 0:
        CornerScore(in, img);
        break;
      case 1:
        ZeroMeanSsd(in, img);
        break;
      case 2:
        WarpTemplate(in, img);
        break;
      case 3:
        SampleBilinear(in, img);
        break;
      case 4:
        Refine(in, img);
        break;
      default:
        SearchLevel(in, img);
        break;
    }
  }
  return 0;
}

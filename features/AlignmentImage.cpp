#include "features/AlignmentImage.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "features/ImageMapMath.h"

namespace {

constexpr float kBlurSigma = 1.5f;
constexpr float kBlurSigmas = 3.0f;
constexpr float kMaxDistortion = 0.7f;

// Discrete Laplacian of the byte image with the border rules of the
// alignment image: three neighbours on the side columns, only the left and
// right neighbours on the top and bottom rows, two at a corner.
inline int Laplacian(const CVD::BasicImage<u8>& img, int x, int y) {
  const int w = img.size().x, h = img.size().y;
  const int c = img[y][x];
  const bool top = y == 0, bottom = y == h - 1, left = x == 0, right = x == w - 1;
  if ((top || bottom) && (left || right)) {
    return 2 * c - img[y][left ? x + 1 : x - 1] - img[top ? y + 1 : y - 1][x];
  }
  if (top || bottom) return 2 * c - img[y][x - 1] - img[y][x + 1];
  if (left || right) return 3 * c - img[y - 1][x] - img[y + 1][x] - img[y][left ? x + 1 : x - 1];
  return 4 * c - img[y - 1][x] - img[y + 1][x] - img[y][x - 1] - img[y][x + 1];
}

// Valid when the pixel and its four neighbours hold values.
inline bool ValidWithNeighbours(const float* row, int stride, int x) {
  return row[x] != FLT_MAX && row[x - 1] != FLT_MAX && row[x + 1] != FLT_MAX &&
         row[x - stride] != FLT_MAX && row[x + stride] != FLT_MAX;
}

}  // namespace

void PrepareAlignmentImage(const CVD::BasicImage<u8>& img, CVD::Image<float>& out,
                           GradientImage& grad, float& sharpness) {
  GaussianScratch scratch;
  PrepareAlignmentImage(img, out, grad, sharpness, scratch);
}

void PrepareAlignmentImage(const CVD::BasicImage<u8>& img, CVD::Image<float>& out,
                           GradientImage& grad, float& sharpness, GaussianScratch& scratch) {
  const int w = img.size().x, h = img.size().y;
  out.resize(img.size());
  grad.resize(img.size());
  sharpness = 0.0f;
  if (w <= 0 || h <= 0) return;
  u64 sum = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) sum += img[y][x];
  const float mean = static_cast<float>(sum) / static_cast<float>(w * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) out[y][x] = img[y][x] - mean;
  BlurGaussian(out, kBlurSigma, kBlurSigmas, scratch);
  // A one-pixel-wide image has no Laplacian under these border rules.
  float absSum = 0.0f;
  if (w >= 2 && h >= 2) {
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const float lambda = static_cast<float>(Laplacian(img, x, y));
        out[y][x] = 0.5f * out[y][x] + 0.5f * lambda;
        absSum += std::fabs(lambda);
      }
    }
  }
  sharpness = absSum / static_cast<float>(w * h);
  BlurGaussian(out, kBlurSigma, kBlurSigmas, scratch);
  ComputeImageGradient(out, grad);
}

void ComputeImageGradient(const CVD::BasicImage<float>& img, GradientImage& grad) {
  const int w = img.size().x, h = img.size().y;
  grad.resize(img.size());
  // The border has no central difference; it reads as flat rather than as
  // whatever the buffer held, which a saved tracker state would copy out.
  if (w <= 0 || h <= 0) return;
  const LA::Vector2<float> flat{0.0f, 0.0f};
  std::fill(grad[0], grad[0] + w, flat);
  std::fill(grad[h - 1], grad[h - 1] + w, flat);
  for (int y = 1; y < h - 1; ++y) {
    const float* up = img[y - 1];
    const float* row = img[y];
    const float* down = img[y + 1];
    LA::Vector2<float>* g = grad[y];
    g[0] = g[w - 1] = flat;
    for (int x = 1; x < w - 1; ++x) {
      g[x].x = row[x + 1] - row[x - 1];
      g[x].y = down[x] - up[x];
    }
  }
}

void WarpFloatImage(const CVD::BasicImage<float>& src, CVD::Image<float>& dst,
                    const WarpRecord& H) {
  const int w = src.size().x, h = src.size().y;
  dst.resize(src.size());
  dst.fill(FLT_MAX);
  const float* m = H.m;
  const bool affine = H.IsAffine();
  const float m20 = affine ? 0.0f : m[8], m21 = affine ? 0.0f : m[9], m22 = affine ? 1.0f : m[10];
  const int stride = src.row_stride();
  const __m128 lanes = _mm_setr_ps(0.0f, 1.0f, 2.0f, 3.0f);
  const __m128 one = _mm_set1_ps(1.0f), eps = _mm_set1_ps(FLT_EPSILON);
  const __m128 xMax = _mm_set1_ps(static_cast<float>(w - 2));
  const __m128 yMax = _mm_set1_ps(static_cast<float>(h - 2));
  const __m128 cMax = _mm_set1_ps(static_cast<float>(w));
  alignas(16) float wx[4][4];  // w00, w10, w01, w11 per lane
  alignas(16) int xs[4], ys[4];
  for (int r = 0; r < h; ++r) {
    // The homogeneous point of (0, r); column 0 of the map per pixel.
    const __m128 X0 = _mm_set1_ps(m[1] * r + m[2]), Y0 = _mm_set1_ps(m[5] * r + m[6]);
    const __m128 W0 = _mm_set1_ps(m21 * r + m22);
    float* out = dst[r];
    for (int c = 0; c < w; c += 4) {
      const __m128 col = _mm_add_ps(_mm_set1_ps(static_cast<float>(c)), lanes);
      const __m128 X = _mm_add_ps(X0, _mm_mul_ps(col, _mm_set1_ps(m[0])));
      const __m128 Y = _mm_add_ps(Y0, _mm_mul_ps(col, _mm_set1_ps(m[4])));
      const __m128 W = _mm_add_ps(W0, _mm_mul_ps(col, _mm_set1_ps(m20)));
      const __m128 x = affine ? X : _mm_div_ps(X, W), y = affine ? Y : _mm_div_ps(Y, W);
      // Tested in float before truncating: a position behind the horizon,
      // infinite or NaN fails every comparison and is no pixel.
      __m128 ok = _mm_and_ps(_mm_cmpgt_ps(W, eps), _mm_cmplt_ps(col, cMax));
      ok = _mm_and_ps(ok, _mm_and_ps(_mm_cmpge_ps(x, one), _mm_cmplt_ps(x, xMax)));
      ok = _mm_and_ps(ok, _mm_and_ps(_mm_cmpge_ps(y, one), _mm_cmplt_ps(y, yMax)));
      const int mask = _mm_movemask_ps(ok);
      if (mask == 0) continue;
      const __m128 xc = _mm_and_ps(ok, x), yc = _mm_and_ps(ok, y);
      const __m128i xi = _mm_cvttps_epi32(xc), yi = _mm_cvttps_epi32(yc);
      const __m128 fx = _mm_sub_ps(xc, _mm_cvtepi32_ps(xi)),
                   fy = _mm_sub_ps(yc, _mm_cvtepi32_ps(yi));
      const __m128 w11 = _mm_mul_ps(fx, fy), w10 = _mm_sub_ps(fx, w11), w01 = _mm_sub_ps(fy, w11);
      _mm_store_ps(wx[0], _mm_sub_ps(_mm_sub_ps(one, fy), w10));
      _mm_store_ps(wx[1], w10);
      _mm_store_ps(wx[2], w01);
      _mm_store_ps(wx[3], w11);
      _mm_store_si128(reinterpret_cast<__m128i*>(xs), xi);
      _mm_store_si128(reinterpret_cast<__m128i*>(ys), yi);
      for (int l = 0; l < 4; ++l) {
        if (!(mask & (1 << l))) continue;
        const float* p = src[ys[l]] + xs[l];
        const float v00 = p[0], v10 = p[1], v01 = p[stride], v11 = p[stride + 1];
        if (v00 == FLT_MAX || v10 == FLT_MAX || v01 == FLT_MAX || v11 == FLT_MAX) continue;
        out[c + l] = wx[0][l] * v00 + wx[1][l] * v10 + wx[2][l] * v01 + wx[3][l] * v11;
      }
    }
  }
}

bool MapImageCorners(int w, int h, const WarpRecord& H, float corners[8]) {
  const float px[4] = {0.0f, float(w), float(w), 0.0f}, py[4] = {0.0f, 0.0f, float(h), float(h)};
  const float* m = H.m;
  for (int i = 0; i < 4; ++i) {
    const float X = m[0] * px[i] + m[1] * py[i] + m[2];
    const float Y = m[4] * px[i] + m[5] * py[i] + m[6];
    const float W = H.IsAffine() ? 1.0f : m[8] * px[i] + m[9] * py[i] + m[10];
    const float x = X / W, y = Y / W;
    if (!(W > FLT_EPSILON) || !std::isfinite(x) || !std::isfinite(y)) {
      std::fill(corners, corners + 8, FLT_MAX);
      return false;
    }
    corners[2 * i] = x;
    corners[2 * i + 1] = y;
  }
  return true;
}

float ComputeWarpDistortion(int w, int h, const float c[8]) {
  for (int i = 0; i < 8; ++i)
    if (!std::isfinite(c[i]) || c[i] == FLT_MAX) return 1.0f;
  const u32 w2 = static_cast<u32>(w) * static_cast<u32>(w),
            h2 = static_cast<u32>(h) * static_cast<u32>(h);
  const float diag = std::sqrt(static_cast<float>(w2 + h2));
  float e[4][2];
  for (int i = 0; i < 4; ++i) {
    const int j = (i + 1) % 4;
    e[i][0] = c[2 * i] - c[2 * j];
    e[i][1] = c[2 * i + 1] - c[2 * j + 1];
  }
  int positive = 0, negative = 0;
  for (int i = 0; i < 4; ++i) {
    const int j = (i + 1) % 4;
    const float cross = e[i][0] * e[j][1] - e[i][1] * e[j][0];
    positive += cross > 0.0f;
    negative += cross < 0.0f;
  }
  if (positive != 4 && negative != 4) return 1.0f;
  float worst = 0.0f;
  for (int i = 0; i < 4; ++i) {
    const float L = std::sqrt(e[i][0] * e[i][0] + e[i][1] * e[i][1]);
    const float r = diag > L ? L / diag : diag / L;
    worst = std::max(worst, 1.0f - r);
  }
  return worst;
}

bool IsWarpValid(const u32 size[2], const WarpRecord& H) {
  float corners[8];
  const int w = static_cast<int>(size[0]), h = static_cast<int>(size[1]);
  MapImageCorners(w, h, H, corners);
  return ComputeWarpDistortion(w, h, corners) < kMaxDistortion;
}

float ImageSsdFloat(const CVD::BasicImage<float>& a, const CVD::BasicImage<float>& b) {
  if (a.size() != b.size()) return FLT_MAX;
  float sum = 0.0f;
  for (int y = 0; y < a.size().y; ++y) {
    const float* pa = a[y];
    const float* pb = b[y];
    for (int x = 0; x < a.size().x; ++x) sum += (pa[x] - pb[x]) * (pa[x] - pb[x]);
  }
  return sum;
}

void ComputeImageResiduals(const CVD::BasicImage<float>& warped, const CVD::BasicImage<float>& B,
                           float b, AlignedArray<float>& squaredResiduals,
                           AlignedArray<u32>* pixels) {
  const int w = B.size().x, h = B.size().y, stride = warped.row_stride();
  const u32 interior = w > 2 && h > 2 ? static_cast<u32>((w - 2) * (h - 2)) : 0u;
  squaredResiduals.Resize(interior);
  if (pixels) pixels->Resize(interior);
  u32 n = 0;
  for (int y = 1; y < h - 1; ++y) {
    const float* W = warped[y];
    const float* ref = B[y];
    for (int x = 1; x < w - 1; ++x) {
      if (!ValidWithNeighbours(W, stride, x)) continue;
      const float r = W[x] - ref[x] + b;
      squaredResiduals[n] = r * r;
      if (pixels) (*pixels)[n] = static_cast<u32>(y * w + x);
      ++n;
    }
  }
  squaredResiduals.Resize(n);
  if (pixels) pixels->Resize(n);
}

float MeanAbsoluteResidual(const CVD::BasicImage<float>& warped, const CVD::BasicImage<float>& B,
                           float b) {
  const int w = B.size().x, h = B.size().y, stride = warped.row_stride();
  if (h < 3) return FLT_MAX;
  float sum = 0.0f;
  int n = 0;
  for (int y = 1; y < h - 1; ++y) {
    const float* W = warped[y];
    const float* ref = B[y];
    for (int x = 1; x < w - 1; ++x) {
      if (!ValidWithNeighbours(W, stride, x)) continue;
      sum += std::fabs(W[x] - ref[x] + b);
      ++n;
    }
  }
  if (static_cast<float>(n) < 0.2f * static_cast<float>(w * h)) return FLT_MAX;
  return sum / static_cast<float>(n);
}

void ComputePointResiduals(const AlignedArray<LA::Vector2<float>>& moved,
                           const AlignedArray<LA::Vector2<float>>& q,
                           AlignedArray<LA::Vector2<float>>& differences,
                           AlignedArray<float>& squaredDistances) {
  const u32 n = std::min(moved.Size(), q.Size());
  differences.Resize(n);
  squaredDistances.Resize(n);
  for (u32 i = 0; i < n; ++i) {
    differences[i].x = moved[i].x - q[i].x;
    differences[i].y = moved[i].y - q[i].y;
    squaredDistances[i] = differences[i].x * differences[i].x + differences[i].y * differences[i].y;
  }
}

void ComputeRobustWeights(const AlignedArray<float>& squaredResiduals, AlignedArray<float>& weights,
                          AlignedArray<float>& copy) {
  AssignAlignedArray4(copy, squaredResiduals);
  const float s2 = TukeyScaleSquared(copy);
  const u32 n = squaredResiduals.Size();
  weights.Resize(n);
  if (!(s2 > 0.0f)) {
    std::fill(weights.begin(), weights.end(), 1.0f);
    return;
  }
  for (u32 i = 0; i < n; ++i) weights[i] = 1.0f / (squaredResiduals[i] / s2 + 1.0f);
}

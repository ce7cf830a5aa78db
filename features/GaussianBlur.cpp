#include "features/GaussianBlur.h"

#include <cvd/convolution.h>

#include <algorithm>
#include <cmath>

namespace {

// Taps exp(-i^2 / 2 sigma^2) normalised to sum 1 over both sides, rounded
// to float as each is made, centre first.
int MakeTaps(double sigma, double sigmas, std::vector<float>& taps) {
  const int reach = static_cast<int>(std::ceil(sigmas * sigma));
  taps.resize(static_cast<size_t>(std::max(reach, 0)) + 1);
  float sum = 0.0f;
  for (int i = 1; i <= reach; ++i)
    sum += (taps[i] = static_cast<float>(std::exp(-i * i / (2.0 * sigma * sigma))));
  const float total = 2.0f * sum + 1.0f;
  for (int i = 1; i <= reach; ++i) taps[i] /= total;
  taps[0] = static_cast<float>(1.0 / static_cast<double>(total));
  return reach;
}

// One row: out[x] = t0 in[x] + sum_k t_k (in[x - k] + in[x + k]), indices
// clamped to the row.
void BlurRow(const float* in, float* out, int w, const float* t, int reach) {
  const int end = std::max(w - reach, reach);
  for (int x = 0; x < std::min(reach, w); ++x) {
    float s = in[x] * t[0];
    for (int k = 1; k <= reach; ++k)
      s += (in[std::max(x - k, 0)] + in[std::min(x + k, w - 1)]) * t[k];
    out[x] = s;
  }
  for (int x = reach; x < end; ++x) {
    float s = in[x] * t[0];
    for (int k = 1; k <= reach; ++k) s += (in[x - k] + in[x + k]) * t[k];
    out[x] = s;
  }
  for (int x = end; x < w; ++x) {
    float s = in[x] * t[0];
    for (int k = 1; k <= reach; ++k)
      s += (in[std::max(x - k, 0)] + in[std::min(x + k, w - 1)]) * t[k];
    out[x] = s;
  }
}

// The recursive filter's coefficients c (y[n] = B x[n] - c0 y[n-1] -
// c1 y[n-2] - c2 y[n-3], B = 1 + c0 + c1 + c2) and the 3x3 map from the
// forward pass's last values to the backward pass's start, as libCVD makes
// them.
struct Recursion {
  double c[3];
  double gain;
  double M[3][3];
};

Recursion MakeRecursion(double sigma) {
  Recursion r;
  double b[4] = {0.0, 0.0, 0.0, 0.0};
  CVD::compute_van_vliet_b(sigma, b);
  for (int k = 0; k < 3; ++k) r.c[k] = b[k];
  r.gain = 1.0 + b[0] + b[1] + b[2];
  CVD::compute_triggs_M(b, r.M);
  return r;
}

// Filters n values a stride apart in place, forward then backward; the
// signal continues its end values past both ends. line holds n values.
void FilterLine(float* p, int n, int stride, const Recursion& r, double* line) {
  const double c0 = r.c[0], c1 = r.c[1], c2 = r.c[2], B = r.gain;
  double y1 = p[0], y2 = y1, y3 = y1;  // the steady state before the start
  for (int i = 0; i < n; ++i) {
    const double y = B * p[i * stride] - c0 * y1 - c1 * y2 - c2 * y3;
    line[i] = y;
    y3 = y2, y2 = y1, y1 = y;
  }
  // M takes the forward pass's offsets from its steady state (the end
  // value) to the backward pass's, before the gain.
  const double end = p[(n - 1) * stride];
  const double u0 = line[n - 1] - end;
  const double u1 = (n >= 2 ? line[n - 2] : p[0]) - end;
  const double u2 = (n >= 3 ? line[n - 3] : p[0]) - end;
  double v[3];
  for (int k = 0; k < 3; ++k) v[k] = B * (r.M[k][0] * u0 + r.M[k][1] * u1 + r.M[k][2] * u2) + end;
  double z1 = v[0], z2 = v[1], z3 = v[2];
  p[(n - 1) * stride] = static_cast<float>(z1);
  for (int i = n - 2; i >= 0; --i) {
    const double z = B * line[i] - c0 * z1 - c1 * z2 - c2 * z3;
    p[i * stride] = static_cast<float>(z);
    z3 = z2, z2 = z1, z1 = z;
  }
}

void BlurRecursive(CVD::BasicImage<float>& image, double sigma, std::vector<double>& line) {
  const int w = image.size().x, h = image.size().y;
  const Recursion r = MakeRecursion(sigma);
  const size_t longest = static_cast<size_t>(std::max(w, h));
  if (line.size() < longest) line.resize(longest);
  for (int y = 0; y < h; ++y) FilterLine(image[y], w, 1, r, line.data());
  const int stride = image.row_stride();
  for (int x = 0; x < w; ++x) FilterLine(image.data() + x, h, stride, r, line.data());
}

}  // namespace

void BlurGaussian(CVD::BasicImage<float>& image, double sigma, double sigmas,
                  GaussianScratch& scratch) {
  const int w = image.size().x, h = image.size().y;
  if (w <= 0 || h <= 0) return;
  if (w % 4 == 0 && h % 4 == 0) {
    BlurRecursive(image, sigma, scratch.line);
    return;
  }
  const int reach = MakeTaps(sigma, sigmas, scratch.taps);
  if (w < reach || h < reach) return;
  const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
  if (scratch.rows.size() < pixels) scratch.rows.resize(pixels);
  const float* t = scratch.taps.data();
  float* rows = scratch.rows.data();
  for (int y = 0; y < h; ++y) BlurRow(image[y], rows + static_cast<size_t>(y) * w, w, t, reach);
  // Down the columns, a whole row at a time so the inner loop runs along x.
  for (int y = 0; y < h; ++y) {
    float* out = image[y];
    const float* centre = rows + static_cast<size_t>(y) * w;
    for (int x = 0; x < w; ++x) out[x] = centre[x] * t[0];
    for (int k = 1; k <= reach; ++k) {
      const float* up = rows + static_cast<size_t>(std::max(y - k, 0)) * w;
      const float* down = rows + static_cast<size_t>(std::min(y + k, h - 1)) * w;
      const float tk = t[k];
      for (int x = 0; x < w; ++x) out[x] += (up[x] + down[x]) * tk;
    }
  }
}

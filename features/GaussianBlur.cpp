#include "features/GaussianBlur.h"

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

}  // namespace

void BlurGaussian(CVD::BasicImage<float>& image, double sigma, double sigmas,
                  GaussianScratch& scratch) {
  const int w = image.size().x, h = image.size().y;
  const int reach = MakeTaps(sigma, sigmas, scratch.taps);
  if (w <= 0 || h <= 0 || w < reach || h < reach) return;
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

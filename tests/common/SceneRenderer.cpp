#include "tests/common/SceneRenderer.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "la/Random.h"

namespace SceneRender {

namespace {

float Dot(const float* a, const float* b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// Value noise in [0, 1] on a grid of cellSize texels, smooth-step interpolated.
std::vector<float> ValueNoise(int width, int height, int cellSize) {
  const int gw = width / cellSize + 2, gh = height / cellSize + 2;
  std::vector<float> grid(static_cast<size_t>(gw) * gh);
  for (float& g : grid) g = static_cast<float>(Random::Next()) / static_cast<float>(Random::kMax);
  const auto smooth = [](float t) { return t * t * (3.0f - 2.0f * t); };
  std::vector<float> out(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    const float fy = (y + 0.5f) / cellSize, ty = smooth(fy - static_cast<int>(fy));
    for (int x = 0; x < width; ++x) {
      const float fx = (x + 0.5f) / cellSize, tx = smooth(fx - static_cast<int>(fx));
      const float* r0 = &grid[static_cast<size_t>(fy) * gw + static_cast<size_t>(fx)];
      const float* r1 = r0 + gw;
      const float top = r0[0] + (r0[1] - r0[0]) * tx;
      const float bottom = r1[0] + (r1[1] - r1[0]) * tx;
      out[static_cast<size_t>(y) * width + x] = top + (bottom - top) * ty;
    }
  }
  return out;
}

}  // namespace

float SampleBilinear(const CVD::Image<unsigned char>& texture, float x, float y) {
  // Texture images are made whole by the scenes: rows back to back.
  return SampleBilinear(texture.data(), texture.size().x, texture.size().y, x, y);
}

void Render(const std::vector<TexturedPlane>& planes, const CameraPose& P,
            const Intrinsic& intrinsic, CVD::Image<unsigned char>& out, unsigned char background,
            int samples) {
  // Camera centre c = -R^T t; plane normals n = u x v.
  float centre[3];
  CameraCentre(P, centre);
  std::vector<float> n(3 * planes.size());
  for (size_t i = 0; i < planes.size(); ++i)
    for (int k = 0; k < 3; ++k) {
      const float *u = planes[i].u, *v = planes[i].v;
      n[3 * i + k] = u[(k + 1) % 3] * v[(k + 2) % 3] - u[(k + 2) % 3] * v[(k + 1) % 3];
    }
  samples = std::max(samples, 1);
  for (int y = 0; y < out.size().y; ++y) {
    for (int x = 0; x < out.size().x; ++x) {
      float sum = 0.0f;
      for (int s = 0; s < samples * samples; ++s) {
        // Pixel centres at integers; sub-samples spread over the pixel.
        const float px = x - 0.5f + (s % samples + 0.5f) / samples;
        const float py = y - 0.5f + (s / samples + 0.5f) / samples;
        const float rc[3] = {(px - intrinsic.cx[0]) / intrinsic.fx[0],
                             (py - intrinsic.cy[0]) / intrinsic.fy[0], 1.0f};
        float dir[3], best = FLT_MAX, value = background;
        for (int k = 0; k < 3; ++k)
          dir[k] = P.m[0][k] * rc[0] + P.m[1][k] * rc[1] + P.m[2][k] * rc[2];
        for (size_t i = 0; i < planes.size(); ++i) {
          const TexturedPlane& plane = planes[i];
          const float denom = Dot(&n[3 * i], dir);
          if (std::fabs(denom) < 1e-12f) continue;
          const float depth = (Dot(&n[3 * i], plane.origin) - Dot(&n[3 * i], centre)) / denom;
          if (depth <= 0.0f || depth >= best) continue;
          float rel[3];
          for (int k = 0; k < 3; ++k) rel[k] = centre[k] + depth * dir[k] - plane.origin[k];
          const float s = Dot(rel, plane.u), t = Dot(rel, plane.v);
          if (s < 0.0f || t < 0.0f || s > plane.width || t > plane.height) continue;
          const CVD::Image<unsigned char>& tex = *plane.texture;
          best = depth;
          value =
              SampleBilinear(tex, s / plane.width * tex.size().x, t / plane.height * tex.size().y);
        }
        sum += value;
      }
      const float v = sum / (samples * samples) + 0.5f;
      out[y][x] = static_cast<unsigned char>(std::min(std::max(v, 0.0f), 255.0f));
    }
  }
}

CVD::Image<unsigned char> MakeNoiseTexture(int width, int height, u32 seed, int cellSize,
                                           unsigned char low, unsigned char high) {
  Random::Seed(seed);
  cellSize = std::max(cellSize, 1);
  const std::vector<float> coarse = ValueNoise(width, height, cellSize);
  const std::vector<float> fine = ValueNoise(width, height, std::max(cellSize / 3, 1));
  CVD::Image<unsigned char> texture(CVD::ImageRef(width, height));
  for (int i = 0; i < width * height; ++i)
    texture.data()[i] =
        static_cast<unsigned char>(low + (0.7f * coarse[i] + 0.3f * fine[i]) * (high - low) + 0.5f);
  return texture;
}

CVD::Image<unsigned char> MakeMarkerSheetTexture(int width, int height, u32 seed,
                                                 float marginFraction) {
  Random::Seed(seed);
  const std::vector<float> noise =
      ValueNoise(width, height, std::max(std::min(width, height) / 12, 2));
  const int margin = static_cast<int>(marginFraction * std::min(width, height));
  CVD::Image<unsigned char> texture(CVD::ImageRef(width, height), 245);
  for (int y = margin; y < height - margin; ++y) {
    for (int x = margin; x < width - margin; ++x) {
      // Blobs where the noise is high; a soft ramp keeps the print band-limited.
      const float ink = std::min(
          std::max((noise[static_cast<size_t>(y) * width + x] - 0.62f) * 12.0f, 0.0f), 1.0f);
      texture[y][x] = static_cast<unsigned char>(245.0f - ink * 225.0f + 0.5f);
    }
  }
  return texture;
}

}  // namespace SceneRender

#pragma once
// Image pyramids of the seeded textured-plane scene for the feature tests and
// benchmarks: a textured wall and a floor seen from a seeded pose, halved
// three times by 2x2 averaging (odd sizes drop their last column or row).
#include <cvd/convolution.h>
#include <cvd/vision.h>

#include <vector>

#include "common/Draws.h"
#include "tests/common/SceneRenderer.h"

namespace SceneRender {

// The plane scene at any size; the same seed gives the same image. A wall
// shift moves the camera parallel to the wall so that the wall's image (rows
// above 0.75 height) moves by exactly that many pixels.
inline CVD::Image<unsigned char> RenderPlaneScene(int width, int height, u32 seed,
                                                  float wallShiftX = 0, float wallShiftY = 0) {
  const CVD::Image<unsigned char> wall = MakeNoiseTexture(480, 360, seed, 12, 10, 245);
  const CVD::Image<unsigned char> floor = MakeNoiseTexture(320, 320, seed + 1, 12, 10, 220);
  // Wall at z = 10 facing the camera, floor y = 3 running away from it.
  const std::vector<TexturedPlane> planes = {
      {{-8, -6, 10}, {1, 0, 0}, {0, 1, 0}, 16.0f, 12.0f, &wall},
      {{-8, 3, 2}, {1, 0, 0}, {0, 0, 1}, 16.0f, 8.0f, &floor}};
  Random::Seed(seed);
  const float r0[3] = {1, 0, 0}, r1[3] = {0, 1, 0}, r2[3] = {0, 0, 1};
  float c[3] = {Uniform(-0.5f, 0.5f), Uniform(-0.3f, 0.3f), Uniform(-0.5f, 0.5f)};
  const float f = 0.8f * static_cast<float>(width), wallDepth = 10.0f - c[2];
  c[0] -= wallShiftX * wallDepth / f, c[1] -= wallShiftY * wallDepth / f;
  const Intrinsic K = MakeIntrinsic(f, f, 0.5f * (width - 1), 0.5f * (height - 1));
  CVD::Image<unsigned char> image(CVD::ImageRef(width, height));
  Render(planes, MakePose(r0, r1, r2, c), K, image, 0, 2);
  // A lens blur, so that corners come from the texture's blobs rather than
  // from its finest grain, at a density like that of real frames.
  CVD::convolveGaussian(image, 0.5);
  return image;
}

// levels[0] = image, each further level the half-sample of the one above.
inline void BuildPyramid(const CVD::Image<unsigned char>& image,
                         CVD::Image<unsigned char> levels[4]) {
  levels[0] = image;
  for (int level = 1; level < 4; ++level) levels[level] = CVD::halfSample(levels[level - 1]);
}

}  // namespace SceneRender

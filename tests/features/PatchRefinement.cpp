// Sub-pixel refinement on the rendered plane scene: a template cut at an
// integer position is found again from a start 1.3 px off, an exact start
// stays put, a flat template does not move, and a start on the last scored
// column reads nothing outside the image.
#include "features/PatchRefinement.h"

#include <gtest/gtest.h>

#include <cmath>

#include "la/Random.h"
#include "tests/common/ScenePyramid.h"

namespace {

using Image = CVD::Image<unsigned char>;

struct Template {
  u8 bytes[64];
  Template(const Image& img, int x, int y) {
    for (int r = 0; r < 8; ++r)
      for (int c = 0; c < 8; ++c) bytes[8 * r + c] = img[y - 4 + r][x - 4 + c];
  }
};

}  // namespace

TEST(RefinePatchPosition, ConvergesFromOffsetAndStaysAtExactStart) {
  CVD::Image<unsigned char> levels[4];
  SceneRender::BuildPyramid(SceneRender::RenderPlaneScene(640, 480, 5), levels);
  const Image& img = levels[1];  // the smoother half-sampled level
  alignas(16) float T[160], S[160];
  Random::Seed(8);
  int converged = 0, tried = 0;
  for (int i = 0; i < 200; ++i) {
    const int x = 10 + Random::Index(img.size().x - 20), y = 10 + Random::Index(img.size().y - 20);
    const Template t(img, x, y);
    float p[2] = {static_cast<float>(x), static_cast<float>(y)};
    ASSERT_FALSE(RefinePatchPosition(t.bytes, img, p, T, S));
    ASSERT_EQ(p[0], x);
    ASSERT_EQ(p[1], y);
    p[0] = x + 1.3f, p[1] = y - 0.7f;
    ++tried;
    if (RefinePatchPosition(t.bytes, img, p, T, S) && std::hypot(p[0] - x, p[1] - y) < 0.05f)
      ++converged;
  }
  // Gauss-Newton from 1.5 px away fails only on weak texture.
  EXPECT_GT(converged, tried * 8 / 10);
}

TEST(RefinePatchPosition, FlatTemplateBorderStartAndBadStartAreSafe) {
  CVD::Image<unsigned char> levels[4];
  SceneRender::BuildPyramid(SceneRender::RenderPlaneScene(333, 251, 6), levels);
  const Image& img = levels[0];
  const int w = img.size().x, h = img.size().y;
  alignas(16) float T[160], S[160];
  u8 flat[64];
  for (u8& b : flat) b = 77;
  float p[2] = {50.3f, 60.6f};
  EXPECT_FALSE(RefinePatchPosition(flat, img, p, T, S));
  EXPECT_EQ(p[0], 50.3f);
  EXPECT_EQ(p[1], 60.6f);

  // FAST corners are scored up to w - 4: the first sample must stay inside.
  const Template t(img, w - 6, h - 6);
  float corner[2] = {static_cast<float>(w - 4), static_cast<float>(h - 4)};
  RefinePatchPosition(t.bytes, img, corner, T, S);
  EXPECT_TRUE(corner[0] > 4 && corner[0] <= w - 4 && corner[1] > 4 && corner[1] <= h - 4);

  for (float x : {3.9f, static_cast<float>(w) - 3.9f, std::nanf("")}) {
    float q[2] = {x, 50.0f};
    EXPECT_FALSE(RefinePatchPosition(t.bytes, img, q, T, S));
    EXPECT_TRUE(std::isnan(x) || q[0] == x);
  }
}

// Refinement on rendered pyramids: found again from 1.3 px off, unmoved from
// an exact start or with a flat template, and safe from the last scored
// column (ASan reads any pixel outside the image).
#include "features/PatchRefinement.h"

#include <gtest/gtest.h>

#include <cmath>

#include "la/Random.h"
#include "tests/common/ScenePyramid.h"

namespace {

struct Template {
  u8 b[64];
  Template(const CVD::Image<CVD::byte>& img, int x, int y) {
    for (int k = 0; k < 64; ++k) b[k] = img[y - 4 + k / 8][x - 4 + k % 8];
  }
};

}  // namespace

TEST(PatchRefinement, ConvergesFromOffsetAndStaysWhereItCannotImprove) {
  CVD::Image<CVD::byte> levels[4];
  SceneRender::BuildPyramid(SceneRender::RenderPlaneScene(640, 480, 5), levels);
  const CVD::Image<CVD::byte>& img = levels[1];
  alignas(16) float T[160], S[160];
  Random::Seed(8);
  int converged = 0;
  for (int i = 0; i < 200; ++i) {
    const int x = 10 + Random::Index(300), y = 10 + Random::Index(220);
    const Template t(img, x, y);
    float p[2] = {static_cast<float>(x), static_cast<float>(y)};
    ASSERT_FALSE(RefinePatchPosition(t.b, img, p, T, S));
    ASSERT_TRUE(p[0] == x && p[1] == y);
    p[0] = x + 1.3f, p[1] = y - 0.7f;
    converged += RefinePatchPosition(t.b, img, p, T, S) && std::hypot(p[0] - x, p[1] - y) < 0.05f;
  }
  EXPECT_GT(converged, 160);  // misses only on weak texture

  const int w = img.size().x, h = img.size().y;
  u8 flat[64];
  std::fill(flat, flat + 64, 77);
  float p[2] = {50.3f, 60.6f};
  EXPECT_FALSE(RefinePatchPosition(flat, img, p, T, S));
  EXPECT_TRUE(p[0] == 50.3f && p[1] == 60.6f);
  float corner[2] = {w - 4.0f, h - 4.0f};  // FAST corners are scored up to w - 4
  RefinePatchPosition(Template(img, w - 6, h - 6).b, img, corner, T, S);
  EXPECT_TRUE(corner[0] > 4 && corner[0] <= w - 4 && corner[1] > 4 && corner[1] <= h - 4);
  for (float bad : {3.9f, w - 3.9f, NAN}) {
    float q[2] = {bad, 50.0f};
    EXPECT_FALSE(RefinePatchPosition(flat, img, q, T, S));
  }
}

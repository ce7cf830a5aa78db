// Patch and image warps on the rendered scene: SSD and corner score against
// double references with their border rules, template rendering (identity,
// half-pixel shift, cache, failures that leave the patch), search levels,
// patch refinement (found again from 1.3 px off, unmoved from an exact start
// or with a flat template, safe from the last scored column) and whole-image
// warps (identity copies, neighbour means, projective = affine, NaN black).
#include "features/PatchWarp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "features/ImageWarp.h"
#include "features/PatchRefinement.h"
#include "la/Random.h"
#include "tests/common/ScenePyramid.h"

namespace {

using Image = CVD::Image<unsigned char>;

WarpRecord Affine(float s, float tx, float ty, bool affine = true) {
  WarpRecord m{};
  m.m[0] = m.m[5] = s, m.m[2] = tx, m.m[6] = ty, m.m[8] = affine ? FLT_MAX : 0, m.m[10] = 1;
  return m;
}

FeaturePatch Block(const Image& img, int x, int y) {
  FeaturePatch p{};
  for (int k = 0; k < 64; ++k) p.pixels[k] = img[y - 4 + k / 8][x - 4 + k % 8];
  p.x = x, p.y = y;
  return p;
}

}  // namespace

// The SSD of a random patch (a different mean) against the zero-mean sum,
// the corner score against the smaller eigenvalue's closed form.
TEST(PatchWarp, SsdAndCornerScoreMatchReferencesInsideTheBorder) {
  const Image img = SceneRender::RenderPlaneScene(640, 480, 11);
  const int w = 640, h = 480;
  Random::Seed(3);
  for (int i = 0; i < 300; ++i) {
    const int x = 5 + Random::Index(w - 9), y = 5 + Random::Index(h - 9);
    const u16 at[2] = {static_cast<u16>(x), static_cast<u16>(y)};
    const u32 at32[2] = {at[0], at[1]};
    FeaturePatch same = Block(img, x, y), other{};
    ASSERT_EQ(PatchZeroMeanSsd(same, img, at), 0);
    double sa = 0, sb = 0, ss = 0, sxx = 0, syy = 0, sxy = 0;
    for (int k = 0; k < 64; ++k) {
      const int r = y - 4 + k / 8, c = x - 4 + k % 8;
      other.pixels[k] = static_cast<u8>(Random::Index(256));
      sa += other.pixels[k], sb += img[r][c], ss += std::pow(other.pixels[k] - img[r][c], 2);
      const double gx = img[r][c + 1] - img[r][c - 1], gy = img[r + 1][c] - img[r - 1][c];
      sxx += gx * gx, syy += gy * gy, sxy += gx * gy;
    }
    ASSERT_NEAR(PatchZeroMeanSsd(other, img, at), ss - (sa - sb) * (sa - sb) / 64, 1.0);
    const double score = sxx + syy - std::sqrt((sxx - syy) * (sxx - syy) + 4 * sxy * sxy);
    ASSERT_NEAR(ComputeCornerScore(img, at32), score, 1e-3 * (1 + score));
  }
  // x, y and whether the SSD window leaves the image.
  const int border[][3] = {
      {3, 100, 1}, {w - 3, 100, 1}, {100, h - 3, 1}, {4, 100, 0}, {w - 4, h - 4, 0}};
  FeaturePatch p = Block(img, 100, 100);
  for (const auto& c : border) {
    const u16 at[2] = {static_cast<u16>(c[0]), static_cast<u16>(c[1])};
    EXPECT_EQ(PatchZeroMeanSsd(p, img, at) == 0x7fffffff, c[2] == 1) << c[0] << "," << c[1];
  }
  const u32 left[2] = {4, 100}, right[2] = {w - 4u, 100}, centre[2] = {16, 16};
  EXPECT_EQ(ComputeCornerScore(img, left) + ComputeCornerScore(img, right), 0.0f);
  EXPECT_EQ(ComputeCornerScore(Image(CVD::ImageRef(32, 32), 90), centre), 0.0f);
}

TEST(PatchWarp, TemplateRenderingCacheAndFailures) {
  const Image img = SceneRender::RenderPlaneScene(320, 240, 12);
  const WarpRecord identity = Affine(1, 0, 0), projective = Affine(1, 0, 0, false);
  FeaturePatch p = Block(img, 200, 150);
  const FeaturePatch block = p;
  std::memset(p.pixels, 0, 64);
  ASSERT_TRUE(WarpPatch8x8(p, img, identity, identity));
  EXPECT_EQ(std::memcmp(p.pixels, block.pixels, 64), 0);
  ComputePatchSums(p);
  p.pixels[0] ^= 1;  // a cache hit keeps the template and its sums
  ASSERT_TRUE(WarpPatch8x8(p, img, identity, identity));
  EXPECT_TRUE(p.pixels[0] != block.pixels[0] && (p.flags & kPatchSumsValid));
  ASSERT_TRUE(WarpPatch8x8(p, img, identity, Affine(1, 0.5f, 0)));  // a miss re-renders
  EXPECT_FALSE(p.flags & kPatchSumsValid);
  for (int k = 0; k < 64; ++k)
    ASSERT_EQ(p.pixels[k], (img[146 + k / 8][196 + k % 8] + img[146 + k / 8][197 + k % 8]) / 2);
  ASSERT_TRUE(WarpPatch8x8(p, img, projective, projective));
  EXPECT_EQ(std::memcmp(p.pixels, block.pixels, 64), 0);

  // Bottom-right corner at w - 1.5, a source behind the camera, NaN.
  const FeaturePatch before = p;
  WarpRecord behind = projective, nan = identity;
  behind.m[10] = -1, nan.m[2] = std::nanf("");
  const WarpRecord failing[3][2] = {
      {identity, Affine(1, 320 - 1.5f - 204, 0)}, {projective, behind}, {identity, nan}};
  for (const auto& ab : failing) {
    EXPECT_FALSE(WarpPatch8x8(p, img, ab[0], ab[1]));
    EXPECT_EQ(std::memcmp(&p, &before, sizeof(p)), 0);
  }
}

TEST(PatchWarp, SearchLevelFromWarpedArea) {
  const u32 size[2] = {4000, 4000}, small[2] = {100, 100};
  const float at[2] = {1000, 1000}, nearEdge[2] = {94.5f, 50}, nan[2] = {NAN, 50};
  // Area scale and the level (-1: rejected).
  const float cases[][2] = {{1, 0}, {1.4f, 0}, {1.6f, 1}, {4, 1},     {7.9f, 2},
                            {8, 2}, {64, 3},   {256, -1}, {0.02f, -1}};
  u8 level = 9;
  for (const auto& c : cases) {
    const float s = std::sqrt(c[0]);
    const bool ok = PatchSearchLevel(size, at, Affine(s, 2000 - 1000 * s, 2000 - 1000 * s), level);
    EXPECT_EQ(ok ? level : -1, c[1]) << c[0];
  }
  EXPECT_TRUE(PatchSearchLevel(size, at, Affine(2, -1000, -1000, false), level) && level == 1);
  EXPECT_FALSE(PatchSearchLevel(small, nearEdge, Affine(1, 0, 0), level));
  EXPECT_FALSE(PatchSearchLevel(small, nan, Affine(1, 0, 0), level));
}

TEST(PatchRefinement, ConvergesFromOffsetAndStaysWhereItCannotImprove) {
  CVD::Image<CVD::byte> levels[4];
  SceneRender::BuildPyramid(SceneRender::RenderPlaneScene(640, 480, 5), levels);
  const CVD::Image<CVD::byte>& img = levels[1];
  alignas(16) float T[160], S[160];
  Random::Seed(8);
  int converged = 0;
  for (int i = 0; i < 200; ++i) {
    const int x = 10 + Random::Index(300), y = 10 + Random::Index(220);
    const FeaturePatch t = Block(img, x, y);
    float p[2] = {static_cast<float>(x), static_cast<float>(y)};
    ASSERT_FALSE(RefinePatchPosition(t.pixels, img, p, T, S));
    ASSERT_TRUE(p[0] == x && p[1] == y);
    p[0] = x + 1.3f, p[1] = y - 0.7f;
    converged +=
        RefinePatchPosition(t.pixels, img, p, T, S) && std::hypot(p[0] - x, p[1] - y) < 0.05f;
  }
  EXPECT_GT(converged, 160);  // misses only on weak texture

  // A flat template, the last scored corner (ASan reads any pixel outside the
  // image), positions outside the scored area.
  const int w = img.size().x, h = img.size().y;
  u8 flat[64];
  std::fill(flat, flat + 64, 77);
  float p[2] = {50.3f, 60.6f};
  EXPECT_FALSE(RefinePatchPosition(flat, img, p, T, S));
  EXPECT_TRUE(p[0] == 50.3f && p[1] == 60.6f);
  float corner[2] = {w - 4.0f, h - 4.0f};  // FAST corners are scored up to w - 4
  RefinePatchPosition(Block(img, w - 6, h - 6).pixels, img, corner, T, S);
  EXPECT_TRUE(corner[0] > 4 && corner[0] <= w - 4 && corner[1] > 4 && corner[1] <= h - 4);
  for (float bad : {3.9f, w - 3.9f, NAN}) {
    float q[2] = {bad, 50.0f};
    EXPECT_FALSE(RefinePatchPosition(flat, img, q, T, S));
  }
}

// The last column and row lack a neighbour and stay 0 under the identity.
TEST(ImageWarp, IdentityShiftProjectiveColourAndNaN) {
  const Image src = SceneRender::RenderPlaneScene(161, 121, 51);
  Image a, b;
  CVD::Image<CVD::Rgb<CVD::byte>> colour(src.size()), warped;
  for (int k = 0; k < 161 * 121; ++k) colour.data()[k] = {src.data()[k], 255, 7};
  WarpRecord m = Affine(1, 0, 0);
  WarpImageGray(src, src.size(), a, m);
  m.m[2] = 0.5f;
  WarpImageRgbAffine(colour, {80, 60}, warped, m);
  for (int y = 0; y < 121; ++y)
    for (int x = 0; x < 161; ++x) {
      ASSERT_EQ(a[y][x], x < 160 && y < 120 ? src[y][x] : 0);
      const CVD::Rgb<CVD::byte> mean((src[y][x] + src[y][std::min(x + 1, 160)]) / 2, 255, 7);
      ASSERT_TRUE(x >= 80 || y >= 60 || warped[y][x] == mean);
    }
  m.m[0] = 0.9f, m.m[2] = 3.2f, m.m[5] = 1.1f, m.m[6] = -2.7f;
  WarpImageGray(src, src.size(), a, m);
  m.m[8] = 0;
  WarpImageGray(src, src.size(), b, m);
  for (int k = 0; k < 161 * 121; ++k) ASSERT_NEAR(a.data()[k], b.data()[k], 1);
  m.m[2] = NAN;
  WarpImageGray(src, src.size(), b, m);
  for (int k = 0; k < 161 * 121; ++k) ASSERT_EQ(b.data()[k], 0);
}

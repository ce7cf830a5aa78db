// Patch primitives on the rendered plane scene: SSD and corner score against
// double-precision references and their border rules, template rendering
// under identity and shifted maps with its corner cache, and the search
// level from the warped area.
#include "features/PatchWarp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "la/Random.h"
#include "tests/common/ScenePyramid.h"

namespace {

using Image = CVD::Image<unsigned char>;

const Image& Scene() {
  static const Image image = SceneRender::RenderPlaneScene(640, 480, 11);
  return image;
}

WarpRecord Affine(float a00, float a01, float a02, float a10, float a11, float a12) {
  WarpRecord m{};
  m.m[0] = a00, m.m[1] = a01, m.m[2] = a02, m.m[4] = a10, m.m[5] = a11, m.m[6] = a12;
  m.m[8] = FLT_MAX;
  return m;
}

// A patch whose template is the 8x8 block with centre pixel (x, y).
FeaturePatch BlockPatch(const Image& img, int x, int y) {
  FeaturePatch p{};
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) p.pixels[8 * r + c] = img[y - 4 + r][x - 4 + c];
  p.x = static_cast<float>(x), p.y = static_cast<float>(y);
  return p;
}

double ReferenceSsd(const FeaturePatch& p, const Image& img, int x, int y) {
  double sa = 0, sb = 0, ss = 0;
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      const double a = p.pixels[8 * r + c], b = img[y - 4 + r][x - 4 + c];
      sa += a, sb += b, ss += (a - b) * (a - b);
    }
  return ss - (sa - sb) * (sa - sb) / 64.0;
}

}  // namespace

TEST(PatchZeroMeanSsd, MatchesReferenceIgnoresBrightnessAndRespectsBorder) {
  const Image& img = Scene();
  const int w = img.size().x, h = img.size().y;
  Image brighter(img.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) brighter[y][x] = static_cast<unsigned char>(img[y][x] + 10);
  Random::Seed(3);
  for (int i = 0; i < 500; ++i) {
    const u16 at[2] = {static_cast<u16>(4 + Random::Index(w - 7)),
                       static_cast<u16>(4 + Random::Index(h - 7))};
    FeaturePatch same = BlockPatch(img, at[0], at[1]);
    ASSERT_EQ(PatchZeroMeanSsd(same, img, at), 0);
    ASSERT_EQ(PatchZeroMeanSsd(same, brighter, at), 0);
    FeaturePatch other{};
    for (u8& b : other.pixels) b = static_cast<u8>(Random::Index(256));
    ASSERT_NEAR(PatchZeroMeanSsd(other, img, at), ReferenceSsd(other, img, at[0], at[1]), 1.0);
  }
  FeaturePatch p = BlockPatch(img, 100, 100);
  const u16 left[2] = {3, 100}, first[2] = {4, 100}, last[2] = {static_cast<u16>(w - 4), 100},
            right[2] = {static_cast<u16>(w - 3), 100}, bottom[2] = {100, static_cast<u16>(h - 3)},
            lastRow[2] = {static_cast<u16>(w - 4), static_cast<u16>(h - 4)};
  EXPECT_EQ(PatchZeroMeanSsd(p, img, left), 0x7fffffff);
  EXPECT_EQ(PatchZeroMeanSsd(p, img, right), 0x7fffffff);
  EXPECT_EQ(PatchZeroMeanSsd(p, img, bottom), 0x7fffffff);
  EXPECT_NEAR(PatchZeroMeanSsd(p, img, first), ReferenceSsd(p, img, 4, 100), 1.0);
  EXPECT_NEAR(PatchZeroMeanSsd(p, img, last), ReferenceSsd(p, img, w - 4, 100), 1.0);
  EXPECT_NEAR(PatchZeroMeanSsd(p, img, lastRow), ReferenceSsd(p, img, w - 4, h - 4), 1.0);
}

TEST(ComputeCornerScore, MatchesStructureTensorAndIsZeroOnBorderAndFlat) {
  const Image& img = Scene();
  const int w = img.size().x, h = img.size().y;
  Random::Seed(4);
  for (int i = 0; i < 500; ++i) {
    const int x = 5 + Random::Index(w - 9), y = 5 + Random::Index(h - 9);
    double sxx = 0, syy = 0, sxy = 0;
    for (int r = y - 4; r < y + 4; ++r)
      for (int c = x - 4; c < x + 4; ++c) {
        const double gx = img[r][c + 1] - img[r][c - 1], gy = img[r + 1][c] - img[r - 1][c];
        sxx += gx * gx, syy += gy * gy, sxy += gx * gy;
      }
    const double expected = sxx + syy - std::sqrt((sxx - syy) * (sxx - syy) + 4 * sxy * sxy);
    const u32 at[2] = {static_cast<u32>(x), static_cast<u32>(y)};
    ASSERT_NEAR(ComputeCornerScore(img, at), expected, 1e-3 * (1 + expected));
  }
  const u32 border[2] = {4, 100}, right[2] = {static_cast<u32>(w - 4), 100};
  EXPECT_EQ(ComputeCornerScore(img, border), 0.0f);
  EXPECT_EQ(ComputeCornerScore(img, right), 0.0f);
  Image flat(CVD::ImageRef(32, 32), 90);
  const u32 centre[2] = {16, 16};
  EXPECT_EQ(ComputeCornerScore(flat, centre), 0.0f);
}

TEST(WarpPatch8x8, IdentityShiftCacheAndFailureLeavePatchAsExpected) {
  const Image& img = Scene();
  const WarpRecord identity = Affine(1, 0, 0, 0, 1, 0);
  FeaturePatch p = BlockPatch(img, 200, 150);
  const FeaturePatch block = p;
  std::memset(p.pixels, 0, 64);
  ASSERT_TRUE(WarpPatch8x8(p, img, identity, identity));
  EXPECT_EQ(std::memcmp(p.pixels, block.pixels, 64), 0);

  // Cache hit: the same maps leave a changed template and its sums alone.
  ComputePatchSums(p);
  p.pixels[0] ^= 1;
  ASSERT_TRUE(WarpPatch8x8(p, img, identity, identity));
  EXPECT_NE(p.pixels[0], block.pixels[0]);
  EXPECT_TRUE(p.flags & kPatchSumsValid);

  // Half a pixel to the right: the mean of horizontal neighbours; a miss
  // clears the sums.
  ASSERT_TRUE(WarpPatch8x8(p, img, identity, Affine(1, 0, 0.5f, 0, 1, 0)));
  EXPECT_FALSE(p.flags & kPatchSumsValid);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c)
      ASSERT_EQ(p.pixels[8 * r + c], (img[146 + r][196 + c] + img[146 + r][197 + c]) / 2);

  // The projective form of the identity renders the block too.
  WarpRecord projective = identity;
  projective.m[8] = 0, projective.m[9] = 0, projective.m[10] = 1;
  ASSERT_TRUE(WarpPatch8x8(p, img, projective, projective));
  EXPECT_EQ(std::memcmp(p.pixels, block.pixels, 64), 0);

  // Failures leave the whole patch as it was: a bottom-right corner at
  // w - 1.5, a map behind the camera and a NaN map.
  const FeaturePatch before = p;
  const float toEdge = static_cast<float>(img.size().x) - 1.5f - 204.0f;
  WarpRecord behind = projective;
  behind.m[10] = -1;
  WarpRecord nan = identity;
  nan.m[2] = std::nanf("");
  const WarpRecord pairs[3][2] = {
      {identity, Affine(1, 0, toEdge, 0, 1, 0)}, {projective, behind}, {identity, nan}};
  for (const auto& ab : pairs) {
    EXPECT_FALSE(WarpPatch8x8(p, img, ab[0], ab[1]));
    EXPECT_EQ(std::memcmp(&p, &before, sizeof(p)), 0);
  }
}

TEST(PatchSearchLevel, LevelFollowsWarpedAreaAndPatchMustFit) {
  const u32 size[2] = {4000, 4000};
  const float position[2] = {1000, 1000};
  const struct {
    float ratio;
    bool ok;
    int level;
  } cases[] = {{1, true, 0}, {1.4f, true, 0}, {1.6f, true, 1}, {4, true, 1},     {7.9f, true, 2},
               {8, true, 2}, {64, true, 3},   {256, false, 0}, {0.02f, false, 0}};
  for (const auto& k : cases) {
    const float s = std::sqrt(k.ratio);
    u8 level = 9;
    const WarpRecord m = Affine(s, 0, 2000 - 1000 * s, 0, s, 2000 - 1000 * s);
    ASSERT_EQ(PatchSearchLevel(size, position, m, level), k.ok) << k.ratio;
    if (k.ok) {
      EXPECT_EQ(level, k.level) << k.ratio;
    }
  }
  u8 level = 9;
  WarpRecord projective = Affine(2, 0, 0, 0, 2, 0);
  projective.m[8] = 0, projective.m[9] = 0, projective.m[10] = 1;
  EXPECT_TRUE(PatchSearchLevel(size, position, projective, level));
  EXPECT_EQ(level, 1);
  const u32 small[2] = {100, 100};
  const float nearEdge[2] = {94.5f, 50}, inside[2] = {94, 50}, nan[2] = {std::nanf(""), 50};
  const WarpRecord identity = Affine(1, 0, 0, 0, 1, 0);
  EXPECT_FALSE(PatchSearchLevel(small, nearEdge, identity, level));  // x + 4 = w - 1.5
  EXPECT_TRUE(PatchSearchLevel(small, inside, identity, level));
  EXPECT_FALSE(PatchSearchLevel(small, nan, identity, level));
}

// The feature front end on rendered pyramids (640 x 480 and odd sizes):
// corner grids against the detector and a full scan, KLT selection, patch SSD
// and corner score against double references, template rendering, search
// levels, patch refinement and whole-image warps.
#include "features/FastFeatureGrid.h"

#include <cvd/fast_corner.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "features/ImageWarp.h"
#include "features/KltFeatures.h"
#include "features/PatchRefinement.h"
#include "features/PatchWarp.h"
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

// The window by a scan of every corner; float edges as the query's.
std::vector<u32> Scan(const CVD::ImageRef& size, const FeatureGrid& g, float x, float y, float r) {
  std::vector<u32> out;
  const float x0 = x > r ? std::trunc(x - r) : 0, y0 = y > r ? std::trunc(y - r) : 0;
  const float x1 = std::min(std::trunc(x + r + 0.5f), size.x - 1.0f);
  const float y1 = std::min(std::trunc(y + r + 0.5f), size.y - 1.0f);
  for (u32 i = 0; x >= -r && y >= -r && i < g.corners.Size(); ++i) {
    const CornerXY c = g.corners[i];
    if (c.x >= x0 && c.x <= x1 && c.y >= y0 && c.y <= y1) out.push_back(i);
  }
  return out;
}

// KLT selection on the pyramid and its grids, checked against the levels.
void CheckKlt(const CVD::Image<CVD::byte> levels[4], FeatureGrid grids[4], u32 fast) {
  std::vector<MapMatch> matches[4];
  OccupancyMask masks[4];
  Intrinsic k[4];
  for (int l = 0; l < 4; ++l)
    k[l].Set(512.0f / (1 << l), 500.0f / (1 << l), 319.5f / (1 << l), 239.5f / (1 << l));
  KltScratch work;
  AlignedArray<LA::Vector2<float>> out[4], normalised[4], again[4];
  const KltCounts counts =
      DetectKltFeatures(levels, grids, matches, masks, k, work, out, normalised);
  EXPECT_TRUE(counts.fast == fast && counts.maxima >= counts.scored &&
              counts.scored >= counts.kept);
  EXPECT_EQ(out[0].Size(), 100u);
  u32 kept = 0;
  for (int l = 0; l < 4; ++l) {
    const int w = levels[l].size().x, h = levels[l].size().y;
    ASSERT_LE(out[l].Size(), kKltFeaturesPerLevel[l]);
    kept += out[l].Size();
    for (u32 i = 0; i < out[l].Size(); ++i) {
      const LA::Vector2<float> p = out[l][i];
      const u32 at[2] = {static_cast<u32>(p.x), static_cast<u32>(p.y)};
      ASSERT_TRUE(p.x >= 5 && p.y >= 5 && p.x + 4 < w && p.y + 4 < h);
      ASSERT_GT(ComputeCornerScore(levels[l], at), kKltScoreThreshold);
      ASSERT_FLOAT_EQ(normalised[l][i].x, (p.x - k[l].cx[0]) / k[l].fx[0]);
      ASSERT_FLOAT_EQ(normalised[l][i].y, (p.y - k[l].cy[0]) / k[l].fy[0]);
    }
  }
  EXPECT_EQ(counts.kept, kept);
  DetectKltFeatures(levels, grids, matches, masks, k, work, again, normalised);
  for (int l = 0; l < 4; ++l)
    EXPECT_TRUE(again[l].Size() == out[l].Size() &&
                !std::memcmp(again[l].Data(), out[l].Data(), 8 * out[l].Size()));
}

}  // namespace

TEST(FastFeatureGrid, LevelsHoldDetectorCornersQueriesMatchScanAndKltSelects) {
  for (const CVD::ImageRef& size : {CVD::ImageRef(640, 480), CVD::ImageRef(333, 251)}) {
    SCOPED_TRACE(size);
    CVD::Image<CVD::byte> levels[4];
    SceneRender::BuildPyramid(SceneRender::RenderPlaneScene(size.x, size.y, 21), levels);
    FeatureGrid grids[4];
    std::vector<CVD::ImageRef> scratch, expected;
    const u32 fast = DetectFastFeatures(levels, scratch, grids);
    u32 total = fast;
    for (int level = 0; level < 4; ++level) {
      const FeatureGrid& g = grids[level];
      expected.clear();
      CVD::fast_corner_detect_10(levels[level], expected, level == 1 || level == 2 ? 15 : 10);
      // The detector's corners in its order, each inside its row's run.
      ASSERT_EQ(g.corners.Size(), expected.size());
      ASSERT_EQ(g.rowStarts.size(), levels[level].size().y + 1u);
      for (u32 i = 0; i < expected.size(); ++i)
        ASSERT_TRUE(g.corners[i].x == expected[i].x && g.corners[i].y == expected[i].y &&
                    g.rowStarts[expected[i].y] <= i && i < g.rowStarts[expected[i].y + 1]);
      total -= g.corners.Size();
    }
    EXPECT_EQ(total, 0u);
    const FeatureGrid& g = grids[1];
    const CVD::ImageRef s = levels[1].size();
    std::vector<u32> out;
    Random::Seed(22);
    for (int i = 0; i < 10000; ++i) {
      const float r = 0.1f * Random::Index(300);
      const float x = -40.0f + 0.37f * Random::Index(static_cast<u32>((s.x + 80) / 0.37f));
      const float y = -40.0f + 0.37f * Random::Index(static_cast<u32>((s.y + 80) / 0.37f));
      const bool any = QueryFeatureWindow(s, g.corners, g.rowStarts, x, y, r, out);
      ASSERT_EQ(any, !out.empty());
      ASSERT_EQ(out, Scan(s, g, x, y, r)) << x << " " << y << " " << r;
    }
    EXPECT_FALSE(QueryFeatureWindow(s, g.corners, g.rowStarts, 50, 50, NAN, out));
    for (float bad : {NAN, 1e9f, -1e9f, INFINITY}) {
      EXPECT_FALSE(QueryFeatureWindow(s, g.corners, g.rowStarts, bad, 50, 10, out));
      EXPECT_FALSE(QueryFeatureWindow(s, g.corners, g.rowStarts, 50, bad, 10, out));
    }
    CheckKlt(levels, grids, fast);
  }
  KltCounts logged;
  logged.fast = 500, logged.maxima = 300, logged.scored = 200, logged.kept = 180;
  char text[128];
  FormatKltCounts(text, sizeof(text), 7, logged);
  EXPECT_STREQ(text, "[7] KLT Features = 500 - 200 - 100 - 20 = 180\n");
}

TEST(FastFeatureGrid, SmallWindowEdgesAndEmptyGrid) {
  FeatureGrid g;  // one corner per cell of a 20 x 20 level
  g.corners.Resize(400);
  for (u16 k = 0; k < 400; ++k) g.corners[k] = {static_cast<u16>(k % 20), static_cast<u16>(k / 20)};
  for (u32 y = 0; y <= 20; ++y) g.rowStarts.push_back(20 * y);
  std::vector<u32> out;
  ASSERT_TRUE(QueryFeatureWindow({20, 20}, g.corners, g.rowStarts, 10.4f, 10.4f, 0.6f, out));
  EXPECT_EQ(out, (std::vector<u32>{189, 190, 191, 209, 210, 211, 229, 230, 231}));  // 9 .. 11
  ASSERT_TRUE(QueryFeatureWindow({20, 20}, g.corners, g.rowStarts, -1, -1, 1, out));
  EXPECT_EQ(out, std::vector<u32>{0});  // x = -r keeps column 0
  EXPECT_FALSE(QueryFeatureWindow({20, 20}, g.corners, g.rowStarts, -1.01f, 5, 1, out));
  g.corners.Clear(), g.rowStarts.assign(21, 0);
  EXPECT_FALSE(QueryFeatureWindow({20, 20}, g.corners, g.rowStarts, 10, 10, 5, out));
}

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

  // A shear as the first map and its inverse as the second, on both paths:
  // along x, the template's columns run along x and its rows down and to the
  // left from (x, y - 4); along y, its columns run up and to the right and
  // its rows down from (x - 4, y). Corners: top-left, bottom-left, top-right,
  // bottom-right.
  struct Shear {
    int entry;  // m[1] or m[4]
    float corners[4][2];
    int Source(int k) const { return entry == 1 ? 200 + k % 8 - k / 8 : 196 + k % 8; }
    int Row(int k) const { return entry == 1 ? 146 + k / 8 : 150 - k % 8 + k / 8; }
  };
  const Shear shears[2] = {{1, {{200, 146}, {192, 154}, {208, 146}, {200, 154}}},
                           {4, {{196, 150}, {196, 158}, {204, 142}, {204, 150}}}};
  for (const Shear& t : shears)
    for (const bool affine : {true, false}) {
      WarpRecord shear = Affine(1, 0, 0, affine), inverse = shear;
      shear.m[t.entry] = 1, inverse.m[t.entry] = -1;
      FeaturePatch q = Block(img, 200, 150);
      ASSERT_TRUE(WarpPatch8x8(q, img, shear, inverse)) << t.entry << " " << affine;
      for (int k = 0; k < 64; ++k)
        ASSERT_EQ(q.pixels[k], img[t.Row(k)][t.Source(k)]) << k << " " << t.entry << " " << affine;
      for (int c = 0; c < 8; ++c)
        EXPECT_FLOAT_EQ(q.corners[c / 2][c % 2], t.corners[c / 2][c % 2]) << c << " " << t.entry;
    }

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

// Hostile positions: a corner within 4 of 2^32 used to wrap the margin test
// and read 4 GB away; huge, infinite and NaN patch centres and warps render
// nothing and leave the patch alone.
TEST(PatchWarp, HostilePositionsAndWarpsStayOutside) {
  const Image img = SceneRender::RenderPlaneScene(64, 48, 13);
  const u32 big[] = {0xFFFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFFBu, 0x80000000u, 0x7FFFFFFFu, 64 - 4};
  for (const u32 v : big) {
    const u32 xs[2] = {v, 20}, ys[2] = {20, v};
    EXPECT_EQ(ComputeCornerScore(img, xs), 0.0f) << v;
    EXPECT_EQ(ComputeCornerScore(img, ys), 0.0f) << v;
  }
  const u16 far[2] = {0xFFFF, 0xFFFF};
  FeaturePatch p = Block(img, 30, 20);
  EXPECT_EQ(PatchZeroMeanSsd(p, img, far), 0x7fffffff);

  const float hostile[] = {NAN, INFINITY, -INFINITY, 1e30f, -1e30f, 2147483647.0f, 4294967296.0f};
  const WarpRecord identity = Affine(1, 0, 0), projective = Affine(1, 0, 0, false);
  const FeaturePatch before = p;
  for (const float v : hostile) {
    for (const WarpRecord& m : {identity, projective}) {
      FeaturePatch q = p;
      q.x = v;
      EXPECT_FALSE(WarpPatch8x8(q, img, m, m)) << v;
      WarpRecord moved = m, scaled = m;
      moved.m[2] = v, scaled.m[0] = v;
      EXPECT_FALSE(WarpPatch8x8(p, img, m, moved) || WarpPatch8x8(p, img, m, scaled)) << v;
    }
  }
  // A shear that takes only the bottom-left corner past the left edge (to
  // x = -0.5, its last sample still at 0.5 and the other corners at 7.5 and
  // 15.5) fails on both paths; 4.5 pixels further right it renders.
  for (const bool affine : {true, false}) {
    WarpRecord shear = Affine(1, -2.5f, 0, affine), inside = Affine(1, 2, 0, affine);
    shear.m[1] = inside.m[1] = -1;
    FeaturePatch q = p;
    const WarpRecord& a = affine ? identity : projective;  // a chooses the path
    EXPECT_FALSE(WarpPatch8x8(q, img, a, shear)) << affine;
    EXPECT_EQ(std::memcmp(&q, &p, sizeof(p)), 0);
    EXPECT_TRUE(WarpPatch8x8(q, img, a, inside)) << affine;
  }
  // A projective depth that tends to 0+ pushes the template to infinity.
  WarpRecord vanishing = projective;
  vanishing.m[10] = 1e-38f;
  EXPECT_FALSE(WarpPatch8x8(p, img, projective, vanishing));
  EXPECT_EQ(std::memcmp(&p, &before, sizeof(p)), 0);
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
  // Turned maps (every entry of the 2x2 part non-zero) on both paths: the
  // area and the level do not depend on the turn.
  const float turned[][3] = {{1, 30, 0}, {4, 30, 1}, {16, 60, 2}, {64, 135, 3}};
  for (const auto& c : turned) {
    const float s = std::sqrt(c[0]), a = c[1] * float(M_PI) / 180.0f;
    for (const bool affine : {true, false}) {
      WarpRecord m = Affine(0, 0, 0, affine);
      m.m[0] = m.m[5] = s * std::cos(a), m.m[1] = -s * std::sin(a), m.m[4] = s * std::sin(a);
      m.m[2] = 2000 - 1000 * (m.m[0] + m.m[1]), m.m[6] = 2000 - 1000 * (m.m[4] + m.m[5]);
      level = 9;
      EXPECT_TRUE(PatchSearchLevel(size, at, m, level) && level == c[2]) << c[0] << " " << affine;
    }
  }
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

  // The sampler itself refuses a window that leaves the image (a NaN or huge
  // position used to convert to a wild integer and read far outside) and
  // takes the last scored corner.
  float last[2] = {w - 4.0f, h - 4.0f};
  ASSERT_TRUE(SamplePatchBilinear(S, img, last));
  EXPECT_FLOAT_EQ(S[63], img[h - 1][w - 1] / 255.0f);
  std::fill(S, S + 160, -1.0f);
  for (float bad :
       {NAN, INFINITY, -INFINITY, 1e30f, -1e30f, 2147483647.0f, -2147483648.0f, 3.99f, w - 3.99f}) {
    const float at[2][2] = {{bad, 50.0f}, {50.0f, bad}};
    for (const auto& q : at) {
      EXPECT_FALSE(SamplePatchBilinear(S, img, q)) << q[0] << "," << q[1];
      EXPECT_TRUE(std::all_of(S, S + 160, [](float v) { return v == -1.0f; }));
    }
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

  // Whole-pixel shifts read the source pixel itself, on both paths; half a
  // pixel down averages a pixel with the one below it. Beyond the source: 0.
  const float shifts[][2] = {{0, 2}, {0, -2}, {3, 0}, {-3, 1}, {0, 0.5f}};
  for (const auto& t : shifts)
    for (const bool projective : {false, true}) {
      WarpImageGray(src, src.size(), a, Affine(1, t[0], t[1], !projective));
      for (int y = 0; y < 121; ++y)
        for (int x = 0; x < 161; ++x) {
          const int sx = x + int(t[0]), sy = y + int(std::floor(t[1]));
          const bool inside = sx >= 0 && sx < 160 && sy >= 0 && sy < 120;
          const int expected = !inside        ? 0
                               : t[1] == 0.5f ? (src[sy][sx] + src[sy + 1][sx]) / 2
                                              : src[sy][sx];
          ASSERT_EQ(a[y][x], expected) << t[0] << ", " << t[1] << " at " << x << ", " << y;
        }
    }
}

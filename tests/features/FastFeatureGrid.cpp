// Corner grids and KLT selection on rendered pyramids (640 x 480 and odd
// sizes): each level holds the detector's corners at its threshold with a
// consistent row-start table, window queries equal a full scan (bad centres
// included), and KLT keeps per-level caps, the score's border margin,
// normalised points, repeatable runs and the log line's removals.
#include "features/FastFeatureGrid.h"

#include <cvd/fast_corner.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "features/KltFeatures.h"
#include "features/PatchWarp.h"
#include "la/Random.h"
#include "tests/common/ScenePyramid.h"

namespace {

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

// KLT selection on a rendered pyramid: per-level caps, the score's border
// margin, normalised points, repeatable runs, and the log line's removals.
#include "features/KltFeatures.h"

#include <gtest/gtest.h>

#include <cstring>

#include "features/FastFeatureGrid.h"
#include "features/PatchWarp.h"
#include "tests/common/ScenePyramid.h"

TEST(KltFeatures, CappedAwayFromBorderNormalisedAndRepeatable) {
  CVD::Image<CVD::byte> levels[4];
  SceneRender::BuildPyramid(SceneRender::RenderPlaneScene(640, 480, 41), levels);
  FeatureGrid grids[4];
  std::vector<CVD::ImageRef> scratch;
  const u32 fast = DetectFastFeatures(levels, scratch, grids);
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

  KltCounts logged;
  logged.fast = 500, logged.maxima = 300, logged.scored = 200, logged.kept = 180;
  char text[128];
  FormatKltCounts(text, sizeof(text), 7, logged);
  EXPECT_STREQ(text, "[7] KLT Features = 500 - 200 - 100 - 20 = 180\n");
}

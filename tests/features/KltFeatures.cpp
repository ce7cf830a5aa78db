// KLT selection on rendered pyramids: per-level caps, the score's border
// margin, normalised points from the level intrinsics, repeatable runs, and
// the log line's removal counts.
#include "features/KltFeatures.h"

#include <gtest/gtest.h>

#include <cstring>

#include "features/FastFeatureGrid.h"
#include "features/PatchWarp.h"
#include "tests/common/ScenePyramid.h"

TEST(KltFeatures, LevelsCappedAwayFromBorderNormalisedAndRepeatable) {
  CVD::Image<unsigned char> levels[4];
  SceneRender::BuildPyramid(SceneRender::RenderPlaneScene(640, 480, 41), levels);
  FeatureGrid grids[4];
  std::vector<CVD::ImageRef> scratch;
  const u32 fast = DetectFastFeatures(levels, scratch, grids);
  std::vector<MapMatch> matches[4];
  OccupancyMask masks[4];
  Intrinsic intrinsics[4];
  for (int level = 0; level < 4; ++level) {
    const float s = 1.0f / (1 << level);
    intrinsics[level].Set(512 * s, 500 * s, 319.5f * s, 239.5f * s);
  }
  KltScratch work;
  AlignedArray<LA::Vector2<float>> out[4], normalised[4], again[4], againNormalised[4];
  const KltCounts counts =
      DetectKltFeatures(levels, grids, matches, masks, intrinsics, work, out, normalised);
  EXPECT_EQ(counts.fast, fast);
  EXPECT_TRUE(counts.fast >= counts.maxima && counts.maxima >= counts.scored &&
              counts.scored >= counts.kept);
  EXPECT_EQ(out[0].Size(), 100u);  // the level has far more strong corners
  u32 kept = 0;
  for (int level = 0; level < 4; ++level) {
    const int w = levels[level].size().x, h = levels[level].size().y;
    ASSERT_LE(out[level].Size(), kKltFeaturesPerLevel[level]);
    ASSERT_EQ(normalised[level].Size(), out[level].Size());
    kept += out[level].Size();
    for (u32 i = 0; i < out[level].Size(); ++i) {
      const LA::Vector2<float> p = out[level][i];
      ASSERT_TRUE(p.x >= 5 && p.y >= 5 && p.x + 4 < w && p.y + 4 < h);
      const u32 at[2] = {static_cast<u32>(p.x), static_cast<u32>(p.y)};
      ASSERT_GT(ComputeCornerScore(levels[level], at), kKltScoreThreshold);
      EXPECT_FLOAT_EQ(normalised[level][i].x,
                      (p.x - intrinsics[level].cx[0]) / intrinsics[level].fx[0]);
      EXPECT_FLOAT_EQ(normalised[level][i].y,
                      (p.y - intrinsics[level].cy[0]) / intrinsics[level].fy[0]);
    }
  }
  EXPECT_EQ(counts.kept, kept);
  DetectKltFeatures(levels, grids, matches, masks, intrinsics, work, again, againNormalised);
  for (int level = 0; level < 4; ++level) {
    ASSERT_EQ(again[level].Size(), out[level].Size());
    EXPECT_EQ(std::memcmp(again[level].Data(), out[level].Data(), 8 * out[level].Size()), 0);
  }
}

TEST(KltFeatures, LogLineGivesRemovalsPerStage) {
  KltCounts counts;
  counts.fast = 500, counts.maxima = 300, counts.scored = 200, counts.kept = 180;
  char text[128];
  FormatKltCounts(text, sizeof(text), 7, counts);
  EXPECT_STREQ(text, "[7] KLT Features = 500 - 200 - 100 - 20 = 180\n");
}

// Corner grids on rendered pyramids (640 x 480 and odd sizes): each level
// holds the detector's corners at its threshold with a consistent row-start
// table, and window queries equal a full scan, bad centres included.
#include "features/FastFeatureGrid.h"

#include <cvd/fast_corner.h>
#include <gtest/gtest.h>

#include <cmath>

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

}  // namespace

TEST(FastFeatureGrid, LevelsHoldDetectorCornersAndQueriesMatchScan) {
  for (const CVD::ImageRef& size : {CVD::ImageRef(640, 480), CVD::ImageRef(333, 251)}) {
    CVD::Image<CVD::byte> levels[4];
    SceneRender::BuildPyramid(SceneRender::RenderPlaneScene(size.x, size.y, 21), levels);
    FeatureGrid grids[4];
    std::vector<CVD::ImageRef> scratch, expected;
    u32 total = DetectFastFeatures(levels, scratch, grids);
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
  }
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

// The corner grid on rendered pyramids (640 x 480 and an odd size): every
// level holds the detector's corners at its threshold with a consistent
// row-start table, and window queries equal a brute-force scan, edge cases
// included.
#include "features/FastFeatureGrid.h"

#include <cvd/fast_corner.h>
#include <gtest/gtest.h>

#include <cmath>

#include "la/Random.h"
#include "tests/common/ScenePyramid.h"

namespace {

using Image = CVD::Image<unsigned char>;

// Indices of the corners in the window, scanning every corner; edges in
// float: trunc(x - r) (0 left of r) to trunc(x + r + 0.5), clipped.
std::vector<u32> Scan(const CVD::ImageRef& size, const FeatureGrid& g, float x, float y, float r) {
  std::vector<u32> out;
  if (!(x >= -r && y >= -r)) return out;
  const float x0 = x > r ? std::trunc(x - r) : 0, y0 = y > r ? std::trunc(y - r) : 0;
  const float x1 = std::min(std::trunc(x + r + 0.5f), size.x - 1.0f);
  const float y1 = std::min(std::trunc(y + r + 0.5f), size.y - 1.0f);
  for (u32 i = 0; i < g.corners.Size(); ++i)
    if (g.corners[i].x >= x0 && g.corners[i].x <= x1 && g.corners[i].y >= y0 &&
        g.corners[i].y <= y1)
      out.push_back(i);
  return out;
}

class FastFeatureGridTest : public ::testing::TestWithParam<CVD::ImageRef> {};

}  // namespace

TEST_P(FastFeatureGridTest, LevelsHoldDetectorCornersAndQueriesMatchScan) {
  const CVD::ImageRef size = GetParam();
  Image levels[4];
  SceneRender::BuildPyramid(SceneRender::RenderPlaneScene(size.x, size.y, 21), levels);
  FeatureGrid grids[4];
  std::vector<CVD::ImageRef> scratch;
  const u32 total = DetectFastFeatures(levels, scratch, grids);
  u32 sum = 0;
  for (int level = 0; level < 4; ++level) {
    const FeatureGrid& g = grids[level];
    std::vector<CVD::ImageRef> expected;
    CVD::fast_corner_detect_10(levels[level], expected, level == 1 || level == 2 ? 15 : 10);
    ASSERT_EQ(g.corners.Size(), expected.size());
    for (u32 i = 0; i < expected.size(); ++i)
      ASSERT_TRUE(g.corners[i].x == expected[i].x && g.corners[i].y == expected[i].y);
    const int h = levels[level].size().y;
    ASSERT_EQ(g.rowStarts.size(), h + 1u);
    ASSERT_EQ(g.rowStarts[h], g.corners.Size());
    for (int y = 0; y < h; ++y)
      for (u32 i = g.rowStarts[y]; i < g.rowStarts[y + 1]; ++i) {
        ASSERT_EQ(g.corners[i].y, y);
        ASSERT_TRUE(i == g.rowStarts[y] || g.corners[i - 1].x < g.corners[i].x);
      }
    sum += g.corners.Size();
  }
  EXPECT_EQ(total, sum);
  EXPECT_GT(grids[0].corners.Size(), 100u);

  const FeatureGrid& g = grids[1];
  const CVD::ImageRef s = levels[1].size();
  std::vector<u32> out;
  Random::Seed(22);
  for (int i = 0; i < 10000; ++i) {
    const float r = 0.1f * Random::Index(300);
    const float x = -40.0f + 0.37f * Random::Index(static_cast<u32>((s.x + 80) / 0.37f));
    const float y = -40.0f + 0.37f * Random::Index(static_cast<u32>((s.y + 80) / 0.37f));
    const bool any = QueryFeatureWindow(s, g.corners, g.rowStarts, x, y, r, out);
    ASSERT_EQ(out, Scan(s, g, x, y, r)) << x << " " << y << " " << r;
    ASSERT_EQ(any, !out.empty());
  }
  // Non-finite, huge and far-off centres miss (the scan above covers the
  // clamped right and bottom edges).
  for (float bad : {std::nanf(""), 1e9f, -1e9f, INFINITY}) {
    EXPECT_FALSE(QueryFeatureWindow(s, g.corners, g.rowStarts, bad, 50, 10, out));
    EXPECT_FALSE(QueryFeatureWindow(s, g.corners, g.rowStarts, 50, bad, 10, out));
    EXPECT_FALSE(QueryFeatureWindow(s, g.corners, g.rowStarts, 50, 50, std::nanf(""), out));
  }
  EXPECT_FALSE(QueryFeatureWindow(s, g.corners, g.rowStarts, s.x + 100.0f, 50, 10, out));
  EXPECT_FALSE(QueryFeatureWindow(s, g.corners, g.rowStarts, 50, s.y + 100.0f, 10, out));
}

INSTANTIATE_TEST_SUITE_P(Sizes, FastFeatureGridTest,
                         ::testing::Values(CVD::ImageRef(640, 480), CVD::ImageRef(333, 251)));

TEST(QueryFeatureWindow, SmallWindowEdgesAndEmptyGrid) {
  // One corner per cell of a 20 x 20 level, in row order.
  FeatureGrid g;
  g.corners.Resize(400);
  g.rowStarts.resize(21);
  for (u16 y = 0; y < 20; ++y) {
    g.rowStarts[y] = 20u * y;
    for (u16 x = 0; x < 20; ++x) g.corners[20u * y + x] = {x, y};
  }
  g.rowStarts[20] = 400;
  std::vector<u32> out;
  ASSERT_TRUE(QueryFeatureWindow({20, 20}, g.corners, g.rowStarts, 10.4f, 10.4f, 0.6f, out));
  const std::vector<u32> expected = {189, 190, 191, 209, 210, 211, 229, 230, 231};  // 9..11
  EXPECT_EQ(out, expected);
  ASSERT_TRUE(QueryFeatureWindow({20, 20}, g.corners, g.rowStarts, -1, -1, 1, out));
  EXPECT_EQ(out, std::vector<u32>{0});  // x = -r keeps column 0
  FeatureGrid empty;
  empty.rowStarts.assign(21, 0);
  EXPECT_FALSE(QueryFeatureWindow({20, 20}, empty.corners, empty.rowStarts, 10, 10, 5, out));
}

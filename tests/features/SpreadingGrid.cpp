// Spread selection on seeded candidate clouds: the radius schedule's known
// sequences, accepted items kept apart, N never exceeded, map matches
// blocking corners, square marking exact in the interior and clipped at the
// border.
#include "features/SpreadingGrid.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "features/KltFeatures.h"
#include "la/Random.h"

namespace {

std::vector<int> ScheduleRadii(CVD::ImageRef size, u32 N) {
  std::vector<int> radii;
  RunSpreadSchedule(size, N, [&](auto radius) {
    radii.push_back(decltype(radius)::value);
    return 0u;
  });
  return radii;
}

std::vector<ScoredCorner> RandomCorners(u32 n, int w, int h) {
  std::vector<ScoredCorner> corners;
  for (u32 i = 0; i < n; ++i)
    corners.push_back({static_cast<u16>(Random::Index(w)), static_cast<u16>(Random::Index(h)),
                       static_cast<float>(n - i)});
  return corners;
}

int Chebyshev(float ax, float ay, float bx, float by) {
  return static_cast<int>(std::max(std::abs(ax - bx), std::abs(ay - by)));
}

u32 CountMarked(const OccupancyMask& m) {
  u32 n = 0;
  for (u32 y = 0; y < m.Height(); ++y)
    for (u32 x = 0; x < m.Width(); ++x) n += m.Row(y)[x] == 255;
  return n;
}

}  // namespace

TEST(SpreadingGrid, ScheduleRadiiFromAreaPerItem) {
  EXPECT_EQ(ScheduleRadii({640, 480}, 200), (std::vector<int>{19, 16, 12, 10, 8, 6, 4, 2, 1}));
  EXPECT_EQ(ScheduleRadii({320, 240}, 100), (std::vector<int>{13, 10, 8, 6, 4, 2, 1}));
  EXPECT_EQ(ScheduleRadii({640, 480}, 20), (std::vector<int>{20, 18, 14, 12, 10, 8, 6, 4, 2, 1}));
  EXPECT_EQ(ScheduleRadii({10, 10}, 50), (std::vector<int>{20, 18, 14, 12, 10, 8, 6, 4, 2, 1}));
  EXPECT_EQ(ScheduleRadii({8, 8}, 16), (std::vector<int>{1}));
  EXPECT_TRUE(ScheduleRadii({640, 480}, 0).empty());
}

TEST(SpreadingGrid, CornersKeptApartFromEachOtherAndFromMapMatches) {
  Random::Seed(31);
  OccupancyMask mask;
  const CVD::ImageRef size(640, 480);
  std::vector<MapMatch> matches(3);
  matches[0].x = 100.7f, matches[0].y = 100.2f;
  matches[1].x = 0, matches[1].y = 0;
  matches[2].x = 639.5f, matches[2].y = 479.5f;

  // One run: accepted corners lie more than R apart and more than R from
  // every map match; the rest stay in order.
  std::vector<ScoredCorner> corners = RandomCorners(3000, 640, 480);
  AlignedArray<LA::Vector2<float>> out;
  SpreadSelectCorners<12>(size, matches, mask, corners, out, 1000);
  ASSERT_GT(out.Size(), 100u);
  EXPECT_EQ(corners.size() + out.Size(), 3000u);
  for (size_t i = 1; i < corners.size(); ++i) ASSERT_GT(corners[i - 1].score, corners[i].score);
  for (u32 i = 0; i < out.Size(); ++i) {
    for (const MapMatch& m : matches) ASSERT_GT(Chebyshev(out[i].x, out[i].y, m.x, m.y), 12);
    for (u32 j = 0; j < i; ++j) ASSERT_GT(Chebyshev(out[i].x, out[i].y, out[j].x, out[j].y), 12);
  }

  // The whole schedule: exactly N, none within the final radius of a match.
  corners = RandomCorners(3000, 640, 480);
  out.Clear();
  SpreadCorners(size, matches, mask, corners, out, 200);
  EXPECT_EQ(out.Size(), 200u);
  for (u32 i = 0; i < out.Size(); ++i)
    for (const MapMatch& m : matches) ASSERT_GT(Chebyshev(out[i].x, out[i].y, m.x, m.y), 1);

  // Fewer than N: all kept in order, next to a match included.
  corners = {{101, 100, 3.0f}, {5, 5, 2.0f}, {6, 5, 1.0f}};
  out.Clear();
  SpreadCorners(size, matches, mask, corners, out, 100);
  ASSERT_EQ(out.Size(), 3u);
  EXPECT_TRUE(out[0].x == 101 && out[2].x == 6);
}

TEST(SpreadingGrid, MatchesRespectEarlierSelectionAndStopAtN) {
  Random::Seed(32);
  OccupancyMask mask;
  const CVD::ImageRef size(320, 240);
  std::vector<ImageMatch> candidates, selected;
  for (u32 i = 0; i < 2000; ++i)
    candidates.push_back({i, i, 0, Random::Index(3200) / 10.0f, Random::Index(2400) / 10.0f});
  candidates[1].x = candidates[0].x, candidates[1].y = candidates[0].y;  // same cell
  RunSpreadSchedule(size, 150, [&](auto radius) {
    SpreadSelectMatches<decltype(radius)::value>(size, mask, candidates, selected, 150);
    return static_cast<u32>(selected.size());
  });
  ASSERT_EQ(selected.size(), 150u);
  EXPECT_EQ(selected[0].track, 0u);
  EXPECT_EQ(candidates.size(), 2000u - 150u);
  for (size_t i = 0; i < selected.size(); ++i)
    for (size_t j = 0; j < i; ++j)  // earlier selections are marked at every radius
      ASSERT_GT(Chebyshev(selected[i].x, selected[i].y, selected[j].x, selected[j].y), 0);
  for (const ImageMatch& s : selected) ASSERT_NE(s.track, 1u);  // its twin took the cell
  EXPECT_EQ(candidates[0].track, 1u);
  for (size_t i = 1; i < candidates.size(); ++i)
    ASSERT_LT(candidates[i - 1].track, candidates[i].track);

  // A full selection accepts nothing more.
  SpreadSelectMatches<4>(size, mask, candidates, selected, 150);
  EXPECT_EQ(selected.size(), 150u);
}

TEST(SpreadingGrid, SquaresExactInsideAndClippedAtBorder) {
  OccupancyMask mask;
  mask.Resize(61, 45);
  mask.Clear();
  MarkSpreadSquare<7>(mask, 30, 20);
  EXPECT_EQ(CountMarked(mask), 15u * 15u);
  EXPECT_EQ(mask.Row(13)[23], 255);
  EXPECT_EQ(mask.Row(27)[37], 255);
  EXPECT_EQ(mask.Row(20)[38], 0);
  EXPECT_EQ(mask.Row(20)[22], 0);
  mask.Clear();
  MarkSpreadSquare<5>(mask, 0, 0);
  EXPECT_EQ(CountMarked(mask), 36u);
  EXPECT_EQ(mask.Row(5)[5], 255);
  mask.Clear();
  MarkSpreadSquare<20>(mask, 60, 44);
  EXPECT_EQ(CountMarked(mask), 21u * 21u);
  mask.Clear();
  MarkCell3x3(mask, 0, 44);
  MarkCell3x3(mask, 10, 10);
  EXPECT_EQ(CountMarked(mask), 4u + 9u);
}

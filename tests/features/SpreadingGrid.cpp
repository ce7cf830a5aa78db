// Spread selection on seeded candidate clouds: the schedule's radii, accepted
// items kept apart and away from map matches, N never exceeded, and square
// marking exact inside and clipped at the border.
#include "features/SpreadingGrid.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "features/KltFeatures.h"
#include "la/Random.h"

namespace {

std::vector<int> Radii(CVD::ImageRef size, u32 N) {
  std::vector<int> radii;
  RunSpreadSchedule(size, N, [&](auto r) { return radii.push_back(decltype(r)::value), 0u; });
  return radii;
}

template <class A, class B>
bool Apart(const A& a, const B& b, float R) {
  return std::max(std::abs(a.x - b.x), std::abs(a.y - b.y)) > R;
}

u32 Marked(const OccupancyMask& m) {
  u32 n = 0;
  for (u32 y = 0; y < m.Height(); ++y) n += std::count(m.Row(y), m.Row(y) + m.Width(), 255);
  return n;
}

}  // namespace

TEST(SpreadingGrid, ScheduleRadiiAndSquaresExactInsideAndClippedAtBorder) {
  EXPECT_EQ(Radii({640, 480}, 200), (std::vector<int>{19, 16, 12, 10, 8, 6, 4, 2, 1}));
  EXPECT_EQ(Radii({320, 240}, 100), (std::vector<int>{13, 10, 8, 6, 4, 2, 1}));
  EXPECT_EQ(Radii({10, 10}, 50), (std::vector<int>{20, 18, 14, 12, 10, 8, 6, 4, 2, 1}));
  EXPECT_EQ(Radii({8, 8}, 16), (std::vector<int>{1}));
  EXPECT_TRUE(Radii({640, 480}, 0).empty());
  OccupancyMask mask;
  mask.Resize(61, 45);
  mask.Clear();
  MarkSpreadSquare<7>(mask, 30, 20);
  EXPECT_TRUE(Marked(mask) == 225 && mask.Row(13)[23] && mask.Row(27)[37] && !mask.Row(20)[38]);
  mask.Clear();
  MarkSpreadSquare<5>(mask, 0, 0);
  MarkSpreadSquare<20>(mask, 60, 44);
  EXPECT_EQ(Marked(mask), 36u + 21u * 21u);
  mask.Clear();
  MarkCell3x3(mask, 0, 44);
  MarkCell3x3(mask, 10, 10);
  EXPECT_EQ(Marked(mask), 4u + 9u);
}

TEST(SpreadingGrid, SelectionsKeptApartAndCapped) {
  Random::Seed(31);
  OccupancyMask mask;
  std::vector<MapMatch> matches(3);
  matches[0].x = 100.7f, matches[0].y = 100.2f, matches[2].x = 639.5f, matches[2].y = 479.5f;
  std::vector<ScoredCorner> corners;
  for (u32 i = 0; i < 3000; ++i)
    corners.push_back(
        {static_cast<u16>(Random::Index(640)), static_cast<u16>(Random::Index(480)), 3000.0f - i});
  const std::vector<ScoredCorner> all = corners;
  AlignedArray<LA::Vector2<float>> out;
  SpreadSelectCorners<12>({640, 480}, matches, mask, corners, out, 1000);
  ASSERT_GT(out.Size(), 100u);
  EXPECT_EQ(corners.size() + out.Size(), 3000u);
  EXPECT_TRUE(std::is_sorted(corners.begin(), corners.end(),
                             [](auto& a, auto& b) { return a.score > b.score; }));
  for (u32 i = 0; i < out.Size(); ++i) {
    for (const MapMatch& m : matches) ASSERT_TRUE(Apart(out[i], m, 12));
    for (u32 j = 0; j < i; ++j) ASSERT_TRUE(Apart(out[i], out[j], 12));
  }
  corners = all, out.Clear();
  SpreadCorners({640, 480}, matches, mask, corners, out, 200);
  EXPECT_EQ(out.Size(), 200u);
  for (u32 i = 0; i < out.Size(); ++i)
    for (const MapMatch& m : matches) ASSERT_TRUE(Apart(out[i], m, 1));
  corners = {{101, 100, 3.0f}, {5, 5, 2.0f}}, out.Clear();  // fewer than N: all, in order
  SpreadCorners({640, 480}, matches, mask, corners, out, 100);
  EXPECT_TRUE(out.Size() == 2 && out[0].x == 101 && out[1].x == 5);
  corners = {{101, 100, 3.0f}, {5, 5, 2.0f}}, out.Clear();  // N of them: spread, by the match
  SpreadCorners({640, 480}, matches, mask, corners, out, 2);
  EXPECT_TRUE(out.Size() == 1 && out[0].x == 5);

  std::vector<ImageMatch> candidates, selected;
  for (u32 i = 0; i < 2000; ++i)
    candidates.push_back({i, i, 0, Random::Index(3200) / 10.0f, Random::Index(2400) / 10.0f});
  candidates[1].x = candidates[0].x, candidates[1].y = candidates[0].y;  // same cell
  RunSpreadSchedule({320, 240}, 150, [&](auto r) {
    SpreadSelectMatches<decltype(r)::value>({320, 240}, mask, candidates, selected, 150);
    return static_cast<u32>(selected.size());
  });
  ASSERT_EQ(selected.size(), 150u);
  EXPECT_TRUE(selected[0].track == 0 && candidates[0].track == 1 && candidates.size() == 1850);
  for (size_t i = 0; i < selected.size(); ++i)
    for (size_t j = 0; j < i; ++j)  // earlier selections stay marked at every radius
      ASSERT_TRUE(Apart(selected[i], selected[j], 0.99f));
  SpreadSelectMatches<4>({320, 240}, mask, candidates, selected, 150);
  EXPECT_EQ(selected.size(), 150u);
}

// Selection among image matches: the mask always and the epipolar line only
// when given, squares exact and clipped at the border, thinning that keeps
// the first of each square.
#include "features/ImageMatchSelection.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

MapMatch At(u32 track, float x, float y) {
  return {track, track, 0, x, y, x, y, 0, 0, 0};
}

std::vector<u32> Tracks(const std::vector<MapMatch>& list) {
  std::vector<u32> t;
  for (const MapMatch& m : list) t.push_back(m.track);
  return t;
}

}  // namespace

TEST(ImageMatchSelection, CandidatesKeepOrderPassTheMaskAlwaysAndTheLineStrictly) {
  // Corners on the row y = 10 and two below it; the line y = 10.
  FeatureGrid g;
  g.rowStarts.assign(41, 0);
  for (const CornerXY c :
       {CornerXY{5, 10}, {20, 10}, {30, 10}, {34, 10}, {36, 10}, {20, 12}, {20, 14}}) {
    g.corners.PushBack(c, 20);
    for (u32 y = c.y + 1u; y <= 40; ++y) ++g.rowStarts[y];
  }
  OccupancyMask mask;
  MarkImageMatches<6>({40, 40}, {At(0, 30.9f, 10.5f)}, mask);  // covers columns 24 to 36
  const float line[3] = {0.0f, 1.0f, -10.0f}, bad[3] = {NAN, 1.0f, -10.0f};
  std::vector<u32> c = {6, 5, 4, 3, 2, 1, 0};
  FilterEpipolarCandidates(mask, line, g, c, 4.0f);
  EXPECT_EQ(c, (std::vector<u32>{5, 1, 0}));  // 6 lies exactly 4 off; 2, 3, 4 masked
  c = {0, 1, 2, 3, 4, 5, 6};
  FilterEpipolarCandidates(mask, nullptr, g, c, 4.0f);
  EXPECT_EQ(c, (std::vector<u32>{0, 1, 5, 6}));
  FilterEpipolarCandidates(mask, bad, g, c, 4.0f);
  EXPECT_TRUE(c.empty());
  // A mask smaller than the level admits no corner beyond it.
  MarkImageMatches<6>({21, 40}, {}, mask);
  c = {0, 1, 2};
  FilterEpipolarCandidates(mask, nullptr, g, c, 4.0f);
  EXPECT_EQ(c, (std::vector<u32>{0, 1}));
}

TEST(ImageMatchSelection, SquaresAreExactInsideTruncatedAndClippedAtTheBorder) {
  OccupancyMask mask;
  MarkImageMatches<12>({100, 80}, {At(0, 50.7f, 40.2f), At(1, 2.0f, 3.0f)}, mask);
  const auto set = [&](u32 x, u32 y) { return mask.Row(y)[x] == 255; };
  // (50, 40): columns 38 to 62, rows 28 to 52; (2, 3): columns 0 to 14, rows 0 to 15.
  EXPECT_TRUE(set(38, 28) && set(62, 52) && set(0, 0) && set(14, 15));
  EXPECT_FALSE(set(37, 40) || set(63, 40) || set(50, 27) || set(50, 53) || set(15, 3));
  u32 n = 0;
  for (u32 y = 0; y < 80; ++y)
    for (u32 x = 0; x < 100; ++x) n += set(x, y);
  EXPECT_EQ(n, 25u * 25u + 15u * 16u);
  MarkImageMatches<12>({100, 80}, {}, mask);  // a second pass starts clear
  EXPECT_FALSE(set(50, 40));
}

TEST(ImageMatchSelection, ThinningKeepsTheFirstOfEachSquareAndDroppedMatchesMarkNothing) {
  OccupancyMask mask;
  // Level 0 (R = 12): 1 falls to 0 (12 px in x, 3 in y); 2 is 24 from 0 and
  // 1 marked nothing; 3 is 13 from 2; 4 is 12 from 3; 5 lies outside the
  // level and is kept.
  std::vector<MapMatch> list = {At(0, 100, 100), At(1, 112, 103), At(2, 124, 100),
                                At(3, 137, 90),  At(4, 149, 90),  At(5, 300, 300)};
  SelectMaximalMatchesAtLevel(0, {320, 240}, list, mask);
  EXPECT_EQ(Tracks(list), (std::vector<u32>{0, 2, 3, 5}));
  list = {At(0, 20, 20), At(1, 26, 14), At(2, 27, 20), At(3, 20, 27)};  // level 3: R = 6
  SelectMaximalMatchesAtLevel(3, {40, 30}, list, mask);
  EXPECT_EQ(Tracks(list), (std::vector<u32>{0, 2, 3}));
}

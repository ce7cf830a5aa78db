// The coverage scores on a 200 x 170 image: 12 x 10 cells of 16 pixels and a
// partial column and row, so that 8 % of the grid is 9.6 cells, rounded to 10.
#include <gtest/gtest.h>

#include "tests/common/tracker/FrameMeasuresScene.h"

namespace {

using Scene = FrameMeasuresScene;
constexpr u8 kInlier = kTrackSolved | kTrackInlier;
constexpr auto C = [](int cell) { return 16.0f * cell + 8.0f; };  // a cell's centre, level 0

class CoverageScores : public ::testing::Test {
 protected:
  CoverageScores() {
    f.pose.slot[kVisual] = Scene::Turned(0);
    s.AddKeyFrame(Scene::Turned(0), {});
  }
  // A track at depth 5 behind the centre of level-0 cell (x, y).
  u32 TrackAtCell(int x, int y, u8 flags = kInlier, u16 plane = kNone16, u16 keyFrame = 0) {
    return s.AddTrack((C(x) - 100) / 20, (C(y) - 85) / 20, 5, flags, plane, keyFrame);
  }
  float Lost() { return s.measures.ComputeMapCoverage(1); }
  float Cells(float share) { return share * 120; }
  Scene s{200, 170};
  TrackerFrame& f = s.Frame();
  const u32 t = TrackAtCell(0, 0), outlier = TrackAtCell(0, 0, kTrackSolved);
};

TEST_F(CoverageScores, MatchesOfEveryLevelMarkTheirBlockOfCellsClippedToTheGrid) {
  EXPECT_EQ(s.measures.ComputeImageCoverage(1), 0.0f);
  // Level, its pixels, the cells set after: a block inside, the same cell from
  // level 2, row 0, the partial row, the partial column, the corner, beyond.
  const float steps[][4] = {{0, 83.9f, 83.2f, 9}, {2, 20.5f, 20.9f, 9}, {3, 10.9f, 0.4f, 15},
                            {0, 0.5f, 169, 17},   {0, 199.9f, 80, 20},  {1, 1, 1, 24},
                            {0, 210, 80, 24}};
  for (const auto& [level, x, y, cells] : steps) {
    f.mapMatches[static_cast<int>(level)].push_back(s.MatchAt(t, static_cast<int>(level), x, y));
    EXPECT_FLOAT_EQ(Cells(s.measures.ComputeImageCoverage(1)), cells) << x << ", " << y;
  }
}

TEST_F(CoverageScores, LostFractionOfLevelsZeroAndOneNeedsEightPercentOfTheGridTouched) {
  EXPECT_EQ(Lost(), 1.0f);
  f.mapMatches[1] = {s.MatchAt(t, 1, C(5) / 2, C(5) / 2)};  // 9 cells
  f.mapMatches[0] = {s.MatchAt(outlier, 0, C(0), C(0))};    // not an inlier: 4 more
  EXPECT_EQ(Lost(), 1.0f);
  f.lost[1] = {s.Miss(t, C(11) / 2, C(9) / 2)};  // the corner: 4 cells
  f.lost[2] = {s.Miss(t, C(9) / 4, C(2) / 4)};   // level 2 is not asked
  EXPECT_FLOAT_EQ(Lost(), 4.0f / 13.0f);
  f.mapMatches[1] = {s.MatchAt(t, 1, C(5) / 2, C(0) / 2)};  // 6 cells: 10 touched
  EXPECT_FLOAT_EQ(Lost(), 0.4f);
  f.pose.slot[kVisual] = Scene::Unset(f.pose.slot[kVisual]);  // no miss is to be seen
  EXPECT_EQ(Lost(), 1.0f);
}

TEST_F(CoverageScores, MissesSeenFromMoreThanSixtyDegreesRoundDoNotCount) {
  f.mapMatches[0] = {s.MatchAt(t, 0, C(2), C(2))};
  f.lost[0] = {s.Miss(TrackAtCell(7, 7), C(7), C(7))};
  auto lostAt = [&](float degrees) {
    f.pose.slot[kVisual] = Scene::Turned(degrees);
    return Lost();
  };
  EXPECT_FLOAT_EQ(lostAt(59), 0.5f);
  EXPECT_EQ(lostAt(61), 1.0f);  // 9 cells touched: too few
  // Misses on the plane z = 5 go by its normal turned to the side of the key
  // frame of the plane's first miss: from one behind it, every miss is hidden.
  const u16 wall = s.AddPlane(0, 0, -1, 5),
            behind = s.AddKeyFrame(Scene::Turned(180, 0, 0, 10), {});
  const ImageMatch front = s.Miss(TrackAtCell(7, 7, kInlier, wall), C(7), C(7));
  f.lost[0] = {front};
  EXPECT_FLOAT_EQ(lostAt(0), 0.5f);
  f.lost[0] = {s.Miss(TrackAtCell(8, 8, kInlier, wall, behind), C(8), C(8)), front};
  EXPECT_EQ(lostAt(0), 1.0f);
}

TEST_F(CoverageScores, OverlapIsTheKeyFrameFeaturesMatchedAndNewTheCornersNothingExplains) {
  // Key-frame features at cells (2, 2) and (4, 2) of level 0 and (7, 7) of
  // level 1; where the frame matches them does not matter.
  const u32 a = TrackAtCell(2, 2), b = TrackAtCell(7, 7), c = TrackAtCell(4, 2);
  const u16 k = s.AddKeyFrame(Scene::Turned(0), {{a, 0}, {c, 0}, {b, 1}});
  f.mapMatches[3] = {s.MatchAt(a, 3, 1, 1)};
  f.mapMatches[0] = {s.MatchAt(b, 0, 1, 1)};
  EXPECT_FLOAT_EQ(Cells(s.measures.ComputeKeyFrameOverlap(k, 1)), 18.0f);
  f.mapMatches[0].push_back(s.MatchAt(c, 0, 1, 1));  // its block touches a's
  EXPECT_FLOAT_EQ(Cells(s.measures.ComputeKeyFrameOverlap(k, 1)), 24.0f);
  f.mapMatches[0].clear(), f.mapMatches[3].clear();
  EXPECT_EQ(s.measures.ComputeKeyFrameOverlap(k, 1), 0.0f);
  // New: corners in cells (1, 1), (5, 5), (8, 8), (1, 8) and (8, 1).
  for (int cell : {11, 55, 88, 18, 81})
    f.corners[0].corners.PushBack({u16(C(cell / 10)), u16(C(cell % 10))}, 8);
  EXPECT_FLOAT_EQ(Cells(s.measures.ComputeCombinedCoverage(1)), 45.0f);
  f.mapMatches[0] = {s.MatchAt(t, 0, C(5), C(5)), s.MatchAt(outlier, 0, C(8), C(8))};
  f.mapMatches[1] = {s.MatchAt(t, 1, C(1) / 2, C(1) / 2)};  // only inliers of level 0 explain
  EXPECT_FLOAT_EQ(Cells(s.measures.ComputeCombinedCoverage(1)), 36.0f);
  f.candidates[0] = {s.Miss(t, C(1), C(8))};
  f.lost[0] = {s.Miss(t, C(8), C(1))};
  EXPECT_FLOAT_EQ(Cells(s.measures.ComputeCombinedCoverage(1)), 18.0f);
}

// The same view at 640 x 360 and at 1280 x 720, every position doubled, and
// the same turned upright: the doubled frame's cells are 32 pixels, so it
// touches as many and scores the same. With 16-pixel cells its matches
// covered a quarter of the share, and too few cells to count.
TEST(CoverageScoresOfWideFrames, ADoubledFrameScoresAsTheSameViewAtHalfItsSize) {
  for (const bool upright : {false, true}) {
    float matched[2], lost[2];
    for (int doubled = 0; doubled < 2; ++doubled) {
      const float k = doubled ? 2.0f : 1.0f;
      const u16 w = static_cast<u16>(640 * k), h = static_cast<u16>(360 * k);
      Scene s{upright ? h : w, upright ? w : h};
      TrackerFrame& f = s.Frame();
      f.pose.slot[kVisual] = Scene::Turned(0);
      s.AddKeyFrame(Scene::Turned(0), {});
      const u32 t = s.AddTrack(0, 0, 5);
      // Matches of levels 0 and 1 down the upper left, misses further on.
      for (int i = 0; i < 6; ++i) {
        const int l = i % 2;
        const float x = (40 + 50 * i) >> l, y = (30 + 20 * i) >> l;
        const float mx = 360 + 45 * i, my = 160 + 35 * i;
        f.mapMatches[l].push_back(upright ? s.MatchAt(t, l, k * y, k * x)
                                          : s.MatchAt(t, l, k * x, k * y));
        f.lost[0].push_back(upright ? Scene::Miss(t, k * my, k * mx)
                                    : Scene::Miss(t, k * mx, k * my));
      }
      matched[doubled] = s.measures.ComputeImageCoverage(1);
      lost[doubled] = s.measures.ComputeMapCoverage(1);
    }
    ASSERT_GT(matched[0], 0.0f) << upright;
    ASSERT_TRUE(lost[0] > 0.0f && lost[0] < 1.0f) << lost[0];  // enough cells touched
    EXPECT_FLOAT_EQ(matched[1], matched[0]) << upright;
    EXPECT_FLOAT_EQ(lost[1], lost[0]) << upright;
  }
}

}  // namespace

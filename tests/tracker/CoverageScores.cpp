// The coverage scores on a 168 x 170 image: a grid of 10 x 10 cells of 16
// pixels with a partial column and row beyond it. Known cell counts for
// blocks inside, clipped at the border and reaching back from the partial
// cells; the 8 % rule of the lost fraction and its rounding; the 60 degree
// rule for key frames and planes; the key-frame overlap and the new fraction.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/common/tracker/FrameMeasuresScene.h"

namespace {

constexpr u8 kInlier = kTrackSolved | kTrackInlier;
constexpr u8 kOutlier = kTrackSolved;

// Level-0 pixel at the centre of cell (x, y).
float Centre(int cell) {
  return 16.0f * cell + 8.0f;
}

class CoverageScores : public ::testing::Test {
 protected:
  CoverageScores() : s(168, 170) {
    s.Frame().pose.slot[kVisual] = FrameMeasuresScene::Turned(0.0f);
    s.AddKeyFrame(FrameMeasuresScene::Turned(0.0f), {});
  }
  // A track whose point lies at depth 5 behind the centre of level-0 cell (x, y).
  u32 TrackAtCell(int x, int y, u8 flags = kInlier, u16 plane = kNone16, u16 keyFrame = 0) {
    const Intrinsic& K = s.parts.camera.intrinsic[0];
    const float nx = (Centre(x) - K.cx[0]) * K.ifx[0], ny = (Centre(y) - K.cy[0]) * K.ify[0];
    return s.AddTrack(5.0f * nx, 5.0f * ny, 5.0f, flags, plane, keyFrame);
  }
  FrameMeasuresScene s;
};

TEST_F(CoverageScores, AnEmptyFrameIsLostAndCoversNothing) {
  EXPECT_EQ(s.measures.ComputeMapCoverage(1), 1.0f);
  EXPECT_EQ(s.measures.ComputeImageCoverage(1), 0.0f);
  EXPECT_EQ(s.measures.ComputeCombinedCoverage(1), 0.0f);
  const u32 t = TrackAtCell(5, 5);
  const u16 k = s.AddKeyFrame(FrameMeasuresScene::Turned(0.0f), {{t, 0}});
  EXPECT_EQ(s.measures.ComputeKeyFrameOverlap(k, 1), 0.0f);
}

TEST_F(CoverageScores, MatchesMarkTheirBlockOfCellsClippedToTheGrid) {
  auto& matches = s.Frame().mapMatches;
  auto matched = [&] { return s.measures.ComputeImageCoverage(1) * 100.0f; };
  matches[0].push_back(s.MatchAt(0, 0, 83.9f, 83.2f));  // cell (5, 5)
  EXPECT_FLOAT_EQ(matched(), 9.0f);
  matches[2].push_back(s.MatchAt(0, 2, 20.5f, 20.9f));  // (20, 20) of level 2: cell (5, 5) again
  EXPECT_FLOAT_EQ(matched(), 9.0f);
  matches[3].push_back(s.MatchAt(0, 3, 10.9f, 0.4f));  // cell (5, 0): rows 0 and 1
  EXPECT_FLOAT_EQ(matched(), 15.0f);
  matches[0].push_back(s.MatchAt(0, 0, 0.5f, 169.0f));  // partial row: cell (0, 10)
  EXPECT_FLOAT_EQ(matched(), 17.0f);
  matches[0].push_back(s.MatchAt(0, 0, 167.9f, 80.0f));  // partial column: cell (10, 5)
  EXPECT_FLOAT_EQ(matched(), 20.0f);
  matches[1].push_back(s.MatchAt(0, 1, 1.0f, 1.0f));  // the corner cell: 2 x 2
  EXPECT_FLOAT_EQ(matched(), 24.0f);
  // Beyond the partial cells, or outside the image, nothing is marked.
  matches[0].push_back(s.MatchAt(0, 0, 180.0f, 80.0f));
  matches[0].push_back(s.MatchAt(0, 0, -20.0f, 80.0f));
  matches[0].push_back(s.MatchAt(0, 0, NAN, 80.0f));
  EXPECT_FLOAT_EQ(matched(), 24.0f);
}

TEST_F(CoverageScores, LostFractionNeedsEightPercentOfTheGridTouched) {
  const u32 t = TrackAtCell(0, 0), outlier = TrackAtCell(5, 5, kOutlier);
  auto& f = s.Frame();
  f.mapMatches[0].push_back(s.MatchAt(t, 0, Centre(0), Centre(0)));  // 4 cells
  f.mapMatches[0].push_back(s.MatchAt(outlier, 0, Centre(5), Centre(5)));
  EXPECT_EQ(s.measures.ComputeMapCoverage(1), 1.0f);
  f.mapMatches[1].push_back(s.MatchAt(t, 1, 76.0f, 4.0f));  // cell (9, 0): 8 cells, exactly 8 %
  EXPECT_EQ(s.measures.ComputeMapCoverage(1), 0.0f);
  f.mapMatches[1].clear();
  f.lost[0].push_back(s.Miss(t, Centre(9), Centre(9)));          // 4 missed cells
  f.lost[2].push_back(s.Miss(t, Centre(5) / 4, Centre(5) / 4));  // level 2 is not asked
  EXPECT_FLOAT_EQ(s.measures.ComputeMapCoverage(1), 0.5f);
  f.pose.slot[kVisual].m[0][0] = FLT_MAX;  // no pose: no miss is to be seen
  EXPECT_EQ(s.measures.ComputeMapCoverage(1), 1.0f);

  // 12 x 10 cells: 8 % is 9.6, so one block of 9 is not enough.
  FrameMeasuresScene wide(192, 160);
  wide.AddKeyFrame(FrameMeasuresScene::Turned(0.0f), {});
  wide.Frame().pose.slot[kVisual] = FrameMeasuresScene::Turned(0.0f);
  const u32 u = wide.AddTrack(0.0f, 0.0f, 5.0f);
  wide.Frame().mapMatches[0].push_back(wide.MatchAt(u, 0, Centre(5), Centre(5)));
  EXPECT_EQ(wide.measures.ComputeMapCoverage(1), 1.0f);
  wide.Frame().lost[1].push_back(wide.Miss(u, 4.0f, 4.0f));  // level 1: the corner cell
  EXPECT_FLOAT_EQ(wide.measures.ComputeMapCoverage(1), 4.0f / 13.0f);
}

TEST_F(CoverageScores, MissesSeenFromMoreThanSixtyDegreesRoundDoNotCount) {
  auto& f = s.Frame();
  const u32 t = TrackAtCell(2, 2);
  f.mapMatches[0].push_back(s.MatchAt(t, 0, Centre(2), Centre(2)));
  f.lost[0].push_back(s.Miss(TrackAtCell(7, 7), Centre(7), Centre(7)));
  auto lostAt = [&](float degrees) {
    f.pose.slot[kVisual] = FrameMeasuresScene::Turned(degrees);
    return s.measures.ComputeMapCoverage(1);
  };
  EXPECT_FLOAT_EQ(lostAt(59.0f), 0.5f);
  EXPECT_FLOAT_EQ(lostAt(-59.0f), 0.5f);
  EXPECT_EQ(lostAt(61.0f), 0.0f);

  // On the plane z = 5 with its normal towards the key frame's camera: the
  // normal is turned to the key frame's side, and the frame's axis is
  // measured against it.
  const u16 wall = s.AddPlane(0.0f, 0.0f, -1.0f, 5.0f);
  f.lost[0][0] = s.Miss(TrackAtCell(7, 7, kInlier, wall), Centre(7), Centre(7));
  EXPECT_FLOAT_EQ(lostAt(0.0f), 0.5f);
  EXPECT_EQ(lostAt(61.0f), 0.0f);
  // The first miss on a plane sets the side for the frame: from a key frame
  // behind the plane every later miss of the plane is hidden too.
  const u16 behind = s.AddKeyFrame(FrameMeasuresScene::Turned(180.0f, 0.0f, 0.0f, 10.0f), {});
  const ImageMatch front = f.lost[0][0];
  const ImageMatch back = s.Miss(TrackAtCell(8, 8, kInlier, wall, behind), Centre(8), Centre(8));
  f.lost[0] = {front, back};
  EXPECT_FLOAT_EQ(lostAt(0.0f), 14.0f / 23.0f);
  f.lost[0] = {back, front};
  EXPECT_EQ(lostAt(0.0f), 0.0f);
}

TEST_F(CoverageScores, KeyFrameOverlapMarksTheKeyFrameFeaturesTheFrameMatches) {
  const u32 a = TrackAtCell(2, 2), b = TrackAtCell(7, 7), c = TrackAtCell(4, 2);
  const u16 k = s.AddKeyFrame(FrameMeasuresScene::Turned(0.0f), {{a, 0}, {c, 0}, {b, 1}});
  auto& matches = s.Frame().mapMatches;
  matches[3].push_back(s.MatchAt(a, 3, 1.0f, 1.0f));  // where the frame sees it does not matter
  matches[0].push_back(s.MatchAt(b, 0, 1.0f, 1.0f));
  EXPECT_FLOAT_EQ(s.measures.ComputeKeyFrameOverlap(k, 1), 0.18f);
  matches[0].push_back(s.MatchAt(c, 0, 1.0f, 1.0f));  // its block touches a's
  EXPECT_FLOAT_EQ(s.measures.ComputeKeyFrameOverlap(k, 1), 0.24f);
  matches[0].clear();
  matches[3].clear();
  EXPECT_EQ(s.measures.ComputeKeyFrameOverlap(k, 1), 0.0f);
}

TEST_F(CoverageScores, NewFractionIsTheCornersNoMatchOrMissExplains) {
  auto& f = s.Frame();
  const int cells[5][2] = {{1, 1}, {5, 5}, {8, 8}, {1, 8}, {8, 1}};
  for (const auto& cell : cells)
    f.corners[0].corners.PushBack(
        {static_cast<u16>(Centre(cell[0])), static_cast<u16>(Centre(cell[1]))}, 8);
  EXPECT_FLOAT_EQ(s.measures.ComputeCombinedCoverage(1), 0.45f);
  const u32 t = TrackAtCell(0, 0), outlier = TrackAtCell(0, 0, kOutlier);
  f.mapMatches[0].push_back(s.MatchAt(t, 0, Centre(5), Centre(5)));
  f.mapMatches[0].push_back(s.MatchAt(outlier, 0, Centre(8), Centre(8)));
  f.mapMatches[1].push_back(s.MatchAt(t, 1, Centre(1) / 2, Centre(1) / 2));  // level 0 only
  EXPECT_FLOAT_EQ(s.measures.ComputeCombinedCoverage(1), 0.36f);
  f.candidates[0].push_back(s.Miss(t, Centre(1), Centre(8)));
  f.lost[0].push_back(s.Miss(t, Centre(8), Centre(1)));
  EXPECT_FLOAT_EQ(s.measures.ComputeCombinedCoverage(1), 0.18f);
}

}  // namespace

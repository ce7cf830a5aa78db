// The patch search: the SSD gate and its relocalisation form, ties, misses
// routed, an attempt undone, the refinement's limit, outlier rejection.
#include "tracker/PatchSearch.h"

#include <gtest/gtest.h>

#include "tests/common/tracker/PatchSearchScene.h"

namespace {

const float kStill[2] = {0, 0};
using Ids = std::vector<u32>;

template <class List>
Ids Tracks(const List& list) {
  Ids tracks;
  for (const auto& m : list) tracks.push_back(m.track);
  return tracks;
}

// 100 + deviation in the 8x8 window at (x, y): `plus` pixels of +d, then -d,
// then e1 and e2; against a flat 100 the zero-mean SSD is sum(e^2) - (sum e)^2 / 64.
void Block(CVD::Image<u8>& image, int x, int y, int plus, int d, int e1, int e2) {
  const int e[4] = {d, -d, e1, e2};
  for (int i = 0; i < 64; ++i)
    image[y - 4 + i / 8][x - 4 + i % 8] = u8(100 + e[(i >= plus) + (i >= 62) + (i >= 63)]);
}

// A 320 x 240 camera (f = 256, cx = 159.5; at level 1, 128 and 79.5) and a
// verbose log.
struct PatchSearchTest : testing::Test {
  PatchSearchScene s{320, 240};
  UnitContext& u = s.parts;
  TrackerFrame& f = s.frame();
  TrackerLog log{true, ""};
  PatchSearch search{{u.options, u.camera, u.ring, u.view, u.links, u.objects, log}};
};

}  // namespace

TEST_F(PatchSearchTest, TheGateRefusesItsOwnValueTiesKeepTheFirstMissesAreRoutedAttemptsUndone) {
  CVD::Image<u8> key(CVD::ImageRef(160, 120), 100), image(CVD::ImageRef(160, 120), 100);
  Block(key, 20, 20, 32, 20, -28, -4);                             // SSD 25599 against flat
  Block(key, 40, 20, 31, 20, 20, -20);                             // 25600
  Block(key, 60, 20, 32, 15, -20, -7);                             // 14399
  Block(key, 80, 20, 31, 15, 15, -15);                             // 14400
  for (int x : {122, 130}) Block(image, x, 100, 32, 20, -28, -4);  // 0 at corners 4 and 5
  s.keyFramePyramid()[1] = key, f.pyramid[1] = image;
  f.corners[1].rowStarts.assign(121, 0);  // row by row, by x within a row
  for (CornerXY c : {CornerXY{22, 21}, {60, 60}, {100, 60}, {126, 92}, {122, 100}, {130, 100}}) {
    f.corners[1].corners.PushBack(c, 20);
    for (int y = c.y + 1; y <= 120; ++y) ++f.corners[1].rowStarts[y];
  }
  std::vector<ImageMatch> selected = {
      s.AddTrack(1, 20, 20, kStill, 20, 20),          // 0: 25599 at corner 0
      s.AddTrack(1, 40, 20, kStill, 60, 60),          // 1: 25600, RELIABLE: lost
      s.AddTrack(1, 40, 20, kStill, 100, 60, false),  // 2: 25600: a candidate again
      s.AddTrack(1, 20, 20, kStill, 126, 96)};        // 3: corner 3 loses to 4, 5 ties with 4
  f.candidates[1] = {{99, 99, 0, 1, 1}}, f.lost[1] = {{98, 98, 0, 1, 1}};  // 98 of an earlier pass
  search.SearchMatchPatches(0, 1, selected, 5.0f);
  const MapMatch* m = search.Found().data();
  ASSERT_EQ(Tracks(search.Found()), (Ids{0, 3}));
  EXPECT_EQ(Ids({m[0].corner, m[1].corner, u32(m[0].ssd), u32(m[1].ssd)}), (Ids{0, 4, 25599, 0}));
  EXPECT_EQ(std::vector<float>({m[0].x, m[0].y, m[0].px, m[0].py, m[0].nx}),
            std::vector<float>({22, 21, 20, 20, (22 - 79.5f) / 128}));
  EXPECT_EQ(Tracks(f.lost[1]), (Ids{1}));
  EXPECT_EQ(Tracks(f.candidates[1]), (Ids{99, 2}));

  // An attempt searches under 14400 and is undone whole, once.
  std::vector<ImageMatch> tight = {s.AddTrack(1, 60, 20, kStill, 22, 21),
                                   s.AddTrack(1, 80, 20, kStill, 22, 21),
                                   s.AddTrack(1, 20, 20, kStill, 22, 21, false)};
  for (u32 l = 0; l < kPyramidLevels; ++l) f.mapMatches[l] = {{l, 0, 0, 0, 0, 0, 0, 0, 0, 0}};
  f.inlierCount = 3, f.unsolvedCount = 1, f.state.record[kVisual].velocity[1] = 0.5;
  search.SaveFrameMatches(0);
  search.SearchMatchPatches(0, 1, tight, 5.0f);
  EXPECT_EQ(Tracks(search.Found()), (Ids{4}));
  for (auto& list : f.mapMatches) list.clear();
  f.inlierCount = f.unsolvedCount = 40, f.misses[1] = {{31, 0, 0, 0, 0}};
  f.state.record[kVisual].velocity[1] = 2.0, f.pose.slot[kVisual].m[0][3] = 1.0f;
  search.RestoreFrameMatches(0);
  for (u32 l = 0; l < kPyramidLevels; ++l) EXPECT_EQ(Tracks(f.mapMatches[l]), (Ids{l})) << l;
  EXPECT_EQ(Tracks(f.lost[1]), (Ids{1}));
  EXPECT_EQ(Tracks(f.candidates[1]), (Ids{99, 2}));
  EXPECT_EQ(Tracks(f.misses[1]), (Ids{31}));  // not saved
  EXPECT_EQ(f.inlierCount * 100 + f.unsolvedCount, 301);
  EXPECT_TRUE(f.state.record[kVisual].velocity[1] == 0.5 && f.pose.slot[kVisual].m[0][3] == 0);
  search.SearchMatchPatches(0, 1, tight, 5.0f);
  EXPECT_EQ(search.Found().size(), 3u);
  f.inlierCount = 40;
  search.RestoreFrameMatches(0);
  EXPECT_EQ(f.inlierCount, 40u);
}

// On the bowl 10 + k^2 + k + j^2 + j round (200, 30) one Gauss-Newton step
// from any start lands on the template's position.
TEST_F(PatchSearchTest, RefinementKeepsAShiftOf9_9PixelsAndRoutesTheRest) {
  CVD::Image<u8>& image = f.pyramid[1];
  image.resize(CVD::ImageRef(300, 64));
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 300; ++x)
      image[y][x] = u8(std::min(255, 10 + (x - 200) * (x - 199) + (y - 30) * (y - 29)));
  // Tracks 0 and 1 inliers, 2 not, 3 with a flat template that cannot move.
  for (u32 t = 0; t < 4; ++t) {
    s.AddTrack(1, 0, 0, kStill, 0, 0, true, t != 2);
    for (int i = 0; i < 64 && t < 3; ++i)
      u.view.Patches()[t].pixels[i] = image[26 + i / 8][196 + i % 8];
    f.mapMatches[1].push_back({t, t, 0, t ? 210 : 209.9f, 30, 5, 6, 0, 0, 0});
  }
  const std::vector<MapMatch> start = f.mapMatches[1];
  testing::internal::CaptureStdout();
  search.RefineMatches(0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[7] Refined Matches = 4 --> 1\n");
  const MapMatch& m = f.mapMatches[1][0];
  EXPECT_EQ(std::vector<float>({m.x, m.nx, float(f.inlierCount)}),
            std::vector<float>({200, (200 - 79.5f) / 128, 1}));
  EXPECT_NEAR(m.y, 30.0f, 1e-5f);
  EXPECT_EQ(Tracks(f.lost[1]), (Ids{1, 3}));  // INLIER, at the prediction
  EXPECT_TRUE(f.lost[1][0].warp == kNone32 && f.lost[1][0].x == 5 && f.lost[1][0].y == 6);
  EXPECT_EQ(Tracks(f.misses[1]), (Ids{2}));
  // Once two key frames have measured the points, a refined match that its
  // point does not explain goes too (this one's point is the camera centre).
  f.mapMatches[1] = start;
  f.lost[1].clear();
  f.misses[1].clear();
  u.view.Working().keyFrameFlags.assign(2, 0);
  testing::internal::CaptureStdout();
  search.RefineMatches(0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[7] Refined Matches = 4 --> 0\n");
  EXPECT_EQ(Tracks(f.lost[1]), (Ids{1, 3}));
  EXPECT_EQ(f.inlierCount, 0);
}

// Points at depth 4 projecting to (0.1, -0.05), matched `error` level-0
// pixels to the right; corners 0 to 5 at level 0, 0 and 1 at level 2.
TEST_F(PatchSearchTest, RejectionKeepsTheClosestInlierPerCornerWithinTheLevelLimitAndNoneBehind) {
  for (int i = 0; i < 8; ++i) f.corners[i < 6 ? 0 : 2].corners.PushBack({0, 0}, 20);
  auto add = [&](int level, u32 corner, float error, bool inlier = true, float z = 4) {
    const u32 t = s.AddTrack(level, 0, 0, kStill, 0, 0, true, inlier).track;
    u.view.Working().points[t] = {{0.1f * z, -0.05f * z, z, 1}};
    f.mapMatches[level].push_back({t, t, corner, 0, 0, 0, 0, 0.1f + error / 256, -0.05f, 0});
  };
  add(0, 3, 2);            // 0: loses corner 3 to match 1
  add(0, 3, 1);            // 1
  add(0, 3, 100, false);   // 2: not an inlier, never tested
  add(0, 4, 0, true, -4);  // 3: behind the camera, its mirror exact
  add(0, 5, 1.5f);         // 4: equal errors, the earlier keeps the corner
  add(0, 5, 1.5f);         // 5
  add(0, kNone32, 3);      // 6: no corner to share
  add(2, 0, 19.9f);        // 7: the level-2 limit is 20 level-0 pixels
  add(2, 1, 20.1f);        // 8
  search.RejectOutlierMatches(0, 5.0f);
  EXPECT_EQ(Tracks(f.mapMatches[0]), (Ids{1, 2, 4, 6}));
  EXPECT_EQ(Tracks(f.mapMatches[2]), (Ids{7}));
  EXPECT_EQ(f.inlierCount * 100 + f.unsolvedCount, 401);
  f.pose.slot[kVisual].m[0][0] = FLT_MAX;  // no pose: nothing to test against
  search.RejectOutlierMatches(0, 0.0f);
  EXPECT_EQ(f.MapMatchCount(), 5u);
}

// The same points and matches: with one key frame, whose points all stand at
// a guessed depth, every match stays; with two, an INLIER match 2.5 level-0
// pixels or more from its point goes (10 at level 2), as does one whose point
// is behind the camera; a track that is not INLIER is not tested.
TEST_F(PatchSearchTest, FarMatchesGoOnceTwoKeyFramesHaveMeasuredTheDepths) {
  auto add = [&](int level, float error, bool inlier = true, float z = 4) {
    const u32 t = s.AddTrack(level, 0, 0, kStill, 0, 0, true, inlier).track;
    u.view.Working().points[t] = {{0.1f * z, -0.05f * z, z, 1}};
    f.mapMatches[level].push_back({t, t, 0, 0, 0, 0, 0, 0.1f + error / 256, -0.05f, 0});
  };
  add(0, 2.4f);         // 0
  add(0, 2.6f);         // 1
  add(0, 50, false);    // 2
  add(0, 0, true, -4);  // 3: its mirror exact
  add(2, 9.9f);         // 4
  add(2, 10.1f);        // 5
  u.view.Working().keyFrameFlags.assign(1, 0);
  search.DropFarMatches(f);
  EXPECT_EQ(f.MapMatchCount(), 6u);
  u.view.Working().keyFrameFlags.assign(2, 0);
  search.DropFarMatches(f);
  EXPECT_EQ(Tracks(f.mapMatches[0]), (Ids{0, 2}));
  EXPECT_EQ(Tracks(f.mapMatches[2]), (Ids{4}));
  f.pose.slot[kVisual].m[0][0] = FLT_MAX;  // no pose: nothing to test against
  add(0, 50);
  search.DropFarMatches(f);
  EXPECT_EQ(f.MapMatchCount(), 4u);
}

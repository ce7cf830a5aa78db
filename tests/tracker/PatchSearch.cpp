// The patch-search unit: the SSD gate (tighter while a relocalisation is
// tried), ties, where misses go, a rendered shift found and refined, the
// refinement's shift limit, outlier rejection, and saved matches restored.
#include "tracker/PatchSearch.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/common/tracker/PatchSearchScene.h"

namespace {

const float kStill[2] = {0, 0};

// 100 + deviation in the 8x8 window at (x, y): `plus` pixels of +d, then -d,
// then e1 and e2. Against a flat 100 the zero-mean SSD is sum(e^2) - (sum e)^2 / 64.
void Block(CVD::Image<u8>& image, int x, int y, int plus, int d, int e1, int e2) {
  for (int i = 0; i < 64; ++i)
    image[y - 4 + i / 8][x - 4 + i % 8] = static_cast<u8>(100 + (i < plus  ? d
                                                                 : i < 62  ? -d
                                                                 : i == 62 ? e1
                                                                           : e2));
}

template <class List>
std::vector<u32> Tracks(const List& list) {
  std::vector<u32> tracks;
  for (const auto& m : list) tracks.push_back(m.track);
  return tracks;
}

}  // namespace

TEST(PatchSearch, TheGateRefusesItsOwnValueTiesKeepTheFirstCornerAndMissesAreRouted) {
  PatchSearchScene s(160, 120);
  CVD::Image<u8> key(CVD::ImageRef(160, 120), 100);
  Block(key, 20, 20, 32, 20, -28, -4);  // SSD 25599 against flat
  Block(key, 40, 20, 31, 20, 20, -20);  // 25600
  Block(key, 60, 20, 32, 15, -20, -7);  // 14399
  Block(key, 80, 20, 31, 15, 15, -15);  // 14400
  s.keyFramePyramid()[0] = key;
  s.frame().pyramid[0] = CVD::Image<u8>(CVD::ImageRef(160, 120), 100);
  Block(s.frame().pyramid[0], 126, 100, 32, 20, -28, -4);  // SSD 0 at corner 7
  SetCorners(s.frame().corners[0], 120,
             {{22, 21}, {60, 60}, {100, 60}, {40, 92}, {44, 92}, {130, 92}, {36, 93}, {126, 100}});
  std::vector<ImageMatch> selected = {
      s.AddTrack(0, 20, 20, kStill, 20, 20),          // 0: 25599 at corner 0
      s.AddTrack(0, 40, 20, kStill, 60, 60),          // 1: 25600, RELIABLE: lost
      s.AddTrack(0, 40, 20, kStill, 100, 60, false),  // 2: 25600: a candidate again
      s.AddTrack(0, 20, 20, kStill, 140, 30),         // 3: an empty window: lost
      s.AddTrack(0, 20, 20, kStill, 40, 94),          // 4: corners 3, 4, 6 score the same
      s.AddTrack(0, 20, 20, kStill, 128, 96)};        // 5: corner 5 loses to 7
  s.frame().candidates[0] = {{99, 99, 0, 1, 1}};      // not selected
  s.frame().lost[0] = {{98, 98, 0, 1, 1}};            // of an earlier pass
  PatchSearch search(s.parts.Context());
  search.SearchMatchPatches(0, 0, selected, 5.0f);
  const std::vector<MapMatch>& found = search.Found();
  ASSERT_EQ(Tracks(found), (std::vector<u32>{0, 4, 5}));
  EXPECT_EQ(found[0].ssd, 25599);
  EXPECT_EQ(found[1].corner, 3u);
  EXPECT_EQ(found[2].corner, 7u);
  EXPECT_EQ(found[2].ssd, 0);
  const Intrinsic& K = s.parts.camera.intrinsic[0];
  EXPECT_EQ(found[0].x, 22.0f);
  EXPECT_EQ(found[0].py, 20.0f);
  EXPECT_FLOAT_EQ(found[0].nx, (22.0f - K.cx[0]) / K.fx[0]);
  EXPECT_EQ(Tracks(s.frame().lost[0]), (std::vector<u32>{1, 3}));
  EXPECT_EQ(Tracks(s.frame().candidates[0]), (std::vector<u32>{99, 2}));

  // While a relocalisation is tried the gate is 14400; after it, 25600 again.
  std::vector<ImageMatch> tight = {s.AddTrack(0, 60, 20, kStill, 22, 21),
                                   s.AddTrack(0, 80, 20, kStill, 22, 21),
                                   s.AddTrack(0, 20, 20, kStill, 22, 21)};
  search.SaveFrameMatches(0);
  search.SearchMatchPatches(0, 0, tight, 5.0f);
  EXPECT_EQ(Tracks(search.Found()), (std::vector<u32>{6}));
  search.RestoreFrameMatches(0);
  search.SearchMatchPatches(0, 0, tight, 5.0f);
  EXPECT_EQ(search.Found().size(), 3u);
}

TEST(PatchSearch, ARenderedShiftIsFoundAtItsCornersAndRefinedToItsTruth) {
  PatchSearchScene s(320, 240);
  s.Render(3.3f, -2.6f);
  PatchSearch search(s.parts.Context());
  for (int level = 0; level < 2; ++level) {
    float move[2];
    s.LevelShift(level, move);
    std::vector<ImageMatch> selected;
    std::vector<float> truth;
    const AlignedArray<CornerXY>& corners = s.keyFrameCorners[level].corners;
    for (u32 i = 0; i < corners.Size() && selected.size() < 40; i += 3) {
      const float tx = corners[i].x + move[0], ty = corners[i].y + move[1];
      if (std::fabs(tx - (160 >> level)) > (140 >> level) ||
          std::fabs(ty - (120 >> level)) > (100 >> level))
        continue;
      selected.push_back(s.AddTrack(level, corners[i].x, corners[i].y, move, tx + 1.5f, ty - 1.0f));
      truth.insert(truth.end(), {tx, ty});
    }
    search.SearchMatchPatches(0, level, selected, 6.0f);
    std::vector<MapMatch>& matches = s.frame().mapMatches[level];
    matches = search.Found();
    EXPECT_GE(matches.size(), 36u) << level;
    search.RefineMatches(0);
    // A tenth of a level pixel on average, a third at most.
    float sum = 0;
    for (const MapMatch& m : matches) {
      const float* t = &truth[2 * (m.track - selected[0].track)];
      sum += std::hypot(m.x - t[0], m.y - t[1]);
      EXPECT_LT(std::hypot(m.x - t[0], m.y - t[1]), 0.33f) << level;
    }
    EXPECT_LT(sum / matches.size(), 0.1f) << level;
  }
  // A start on the last column the refinement accepts reads inside the image.
  const ImageMatch edge = s.AddTrack(0, 0, 0, kStill, 0, 0);
  for (int i = 0; i < 64; ++i)
    s.parts.view.Patches()[edge.patch].pixels[i] = s.frame().pyramid[0][96 + i / 8][311 + i % 8];
  s.frame().mapMatches[0] = {{edge.track, edge.patch, 0, 316, 100, 0, 0, 0, 0, 0}};
  search.RefineMatches(0);
}

// On the bowl 10 + k^2 + k + j^2 + j round (200, 30) one Gauss-Newton step
// from any start lands on the template's position.
TEST(PatchSearch, RefinementKeepsAShiftOf9_9PixelsAndDropsOneOf10) {
  PatchSearchScene s(300, 64);
  CVD::Image<u8>& image = s.frame().pyramid[0];
  image.resize(CVD::ImageRef(300, 64));
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 300; ++x)
      image[y][x] =
          static_cast<u8>(std::min(255, 10 + (x - 200) * (x - 199) + (y - 30) * (y - 29)));
  const float point[3] = {0, 0, 1};
  // Tracks 0 and 1 inliers, 2 not, 3 with a flat template that cannot move.
  for (int t = 0; t < 4; ++t) {
    const ImageMatch c = s.AddTrack(0, 0, 0, kStill, 0, 0, true, point, t != 2);
    for (int i = 0; i < 64 && t < 3; ++i)
      s.parts.view.Patches()[t].pixels[i] = image[26 + i / 8][196 + i % 8];
    s.frame().mapMatches[0].push_back({c.track, c.patch, 0, t ? 210 : 209.9f, 30, 5, 6, 0, 0, 0});
  }
  TrackerLog log(true, "");
  const TrackerContext& p = s.parts.Context();
  testing::internal::CaptureStdout();
  PatchSearch({p.options, p.camera, p.ring, p.mapView, p.links, p.objects, log}).RefineMatches(0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[7] Refined Matches = 4 --> 1\n");
  const MapMatch& m = s.frame().mapMatches[0][0];
  EXPECT_EQ(m.x, 200.0f);
  EXPECT_NEAR(m.y, 30.0f, 1e-5f);
  EXPECT_FLOAT_EQ(m.nx, (200.0f - s.parts.camera.intrinsic[0].cx[0]) / 240.0f);
  EXPECT_EQ(s.frame().inlierCount, 1u);
  EXPECT_EQ(Tracks(s.frame().lost[0]), (std::vector<u32>{1, 3}));  // INLIER
  EXPECT_EQ(s.frame().lost[0][0].warp, kNone32);
  EXPECT_EQ(s.frame().lost[0][0].x, 5.0f);  // at its prediction
  EXPECT_EQ(Tracks(s.frame().misses[0]), (std::vector<u32>{2}));
}

// A 640 x 480 camera (f = 512): points at depth 4, matches `error` level-0
// pixels from their projections.
TEST(PatchSearch, RejectionKeepsTheClosestInlierPerCornerWithinTheLevelLimitAndNoneBehind) {
  PatchSearchScene s(640, 480);
  SetCorners(s.frame().corners[0], 480, {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}});
  SetCorners(s.frame().corners[2], 120, {{1, 1}, {2, 1}, {3, 1}});
  auto add = [&](int level, u32 corner, float error, bool inlier = true, float depth = 4.0f) {
    const float point[3] = {0.1f * depth, -0.05f * depth, depth};
    const ImageMatch c = s.AddTrack(level, 0, 0, kStill, 0, 0, true, point, inlier);
    const float nx = 0.1f + error / 512.0f;
    s.frame().mapMatches[level].push_back({c.track, c.patch, corner, 0, 0, 0, 0, nx, -0.05f, 0});
  };
  add(0, 3, 2.0f);               // 0: loses corner 3 to match 1
  add(0, 3, 1.0f);               // 1
  add(0, 3, 100.0f, false);      // 2: not an inlier, never tested
  add(0, 4, 0.0f, true, -4.0f);  // 3: behind the camera, its mirror image exact
  add(0, 5, 1.5f);               // 4: equal errors, the earlier keeps the corner
  add(0, 5, 1.5f);               // 5
  add(0, kNone32, 3.0f);         // 6: no corner to share
  add(2, 0, 19.9f);              // 7: the level-2 limit is 20 level-0 pixels
  add(2, 1, 20.1f);              // 8
  PatchSearch search(s.parts.Context());
  search.RejectOutlierMatches(0, 5.0f);
  std::vector<u32> kept = Tracks(s.frame().mapMatches[0]);
  for (u32 t : Tracks(s.frame().mapMatches[2])) kept.push_back(t);
  EXPECT_EQ(kept, (std::vector<u32>{1, 2, 4, 6, 7}));
  EXPECT_EQ(s.frame().inlierCount, 4u);
  EXPECT_EQ(s.frame().unsolvedCount, 1u);

  s.frame().pose.slot[kVisual].m[0][0] = FLT_MAX;  // no pose: nothing to test against
  search.RejectOutlierMatches(0, 0.0f);
  EXPECT_EQ(s.frame().MapMatchCount(), 5u);
}

TEST(PatchSearch, RestoreGivesBackTheSavedListsCountsStateAndPose) {
  PatchSearchScene s(160, 120);
  TrackerFrame& f = s.frame();
  for (int level = 0; level < kPyramidLevels; ++level) {
    f.mapMatches[level] = {{1u + level, 2, 3, 4, 5, 6, 7, 8, 9, 10}};
    f.candidates[level] = {{11, 12, 13, 14, 15}, {16, 17, 18, 19, 20}};
    f.lost[level] = {{21u + level, 22, 23, 24, 25}};
  }
  f.inlierCount = 3, f.unsolvedCount = 1;
  f.state.record[kVisual].velocity[1] = 0.5;
  const TrackerFrame before = f;
  PatchSearch search(s.parts.Context());
  search.SaveFrameMatches(0);
  for (int level = 0; level < kPyramidLevels; ++level) {
    f.mapMatches[level].clear();
    f.candidates[level].resize(1);
    f.lost[level].push_back({0, 0, 0, 0, 0});
    f.misses[level] = {{31, 32, 33, 34, 35}};
  }
  f.inlierCount = f.unsolvedCount = 40;
  f.state.record[kVisual].velocity[1] = 2.0;
  f.pose.slot[kVisual].m[0][3] = 1.0f;
  search.RestoreFrameMatches(0);
  for (int level = 0; level < kPyramidLevels; ++level) {
    EXPECT_EQ(Tracks(f.mapMatches[level]), Tracks(before.mapMatches[level]));
    EXPECT_EQ(Tracks(f.candidates[level]), Tracks(before.candidates[level]));
    EXPECT_EQ(Tracks(f.lost[level]), Tracks(before.lost[level]));
    EXPECT_EQ(f.misses[level].size(), 1u);  // not part of the saved set
  }
  EXPECT_EQ(f.inlierCount, 3u);
  EXPECT_EQ(f.unsolvedCount, 1u);
  EXPECT_EQ(std::memcmp(&f.state, &before.state, sizeof(FrameState)), 0);
  EXPECT_EQ(std::memcmp(&f.pose, &before.pose, sizeof(FramePose)), 0);

  f.inlierCount = 40;  // only the saved frame, and once
  search.RestoreFrameMatches(0);
  EXPECT_EQ(f.inlierCount, 40u);
}

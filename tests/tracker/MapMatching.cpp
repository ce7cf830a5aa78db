// Map matching: matches within a pixel from a perturbed pose, one match per
// corner, wrong points dropped by the outlier test, the per-level caps, the
// view-angle limit, the warps that place each patch, candidate selection
// order and repeatability.
#include "tracker/MapMatching.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "la/Homography.h"
#include "la/Random.h"
#include "tests/common/tracker/MapMatchingScene.h"
#include "tracker/WarpHypotheses.h"

namespace {

const float kAxisY[3] = {0, 1, 0};
const float kTilt[3] = {0.6f, 0.8f, 0.0f};
const u32 kModest[kPyramidLevels] = {120, 50, 25, 12};

struct MapMatchingTest : testing::Test {
  explicit MapMatchingTest(int w = 320, int h = 240) : s(w, h) {}
  MapMatchingScene s{320, 240};
  UnitContext& u = s.parts;
  TrackerFrame& f = s.frame();
  TrackerContext context = u.Context();
  PatchSearch search{context};
  PoseEstimation pose{context};
  MapMatching matching{context, search, pose};

  // The true pose of the frame, and the one it starts from: 2 level-0 pixels
  // and 0.5 degrees away.
  CameraPose truth = MapMatchingScene::Camera(0.25f, 0.05f, 0.3f, kTilt, 0.05f);
  CameraPose Perturbed() const {
    const float f0 = u.camera.intrinsic[0].fx[0];
    CameraPose P = truth;
    CameraPose turn = MapMatchingScene::Camera(0, 0, 0, kAxisY, 0.5f * 0.0174533f);
    float scratch[4];
    ComposePose(P, turn, P, scratch);
    P.m[0][3] += 2.0f * MapMatchingScene::kWall / f0;
    return P;
  }

  // Matches within one level pixel of the truth, over the INLIER tracks
  // whose true position lies inside every level.
  double FractionWithinAPixel() {
    std::vector<int> good(s.truePoints.size(), 0);
    for (int l = 0; l < kPyramidLevels; ++l)
      for (const MapMatch& m : f.mapMatches[l]) {
        float p[2];
        s.TruePosition(m.track, l, p);
        if (std::hypot(m.x - p[0], m.y - p[1]) <= 1.0f) good[m.track] = 1;
      }
    u32 visible = 0, matched = 0;
    for (u32 t = 0; t < s.truePoints.size(); ++t) {
      float p[2];
      s.TruePosition(t, 0, p);
      if (p[0] < 12 || p[1] < 12 || p[0] > u.camera.width - 12 || p[1] > u.camera.height - 12 ||
          !(u.view.Working().trackFlags[t] & kTrackInlier))
        continue;
      ++visible, matched += good[t];
    }
    return visible ? double(matched) / visible : 0.0;
  }
};

std::vector<u32> TracksOf(const std::vector<MapMatch>& list) {
  std::vector<u32> tracks;
  for (const MapMatch& m : list) tracks.push_back(m.track);
  return tracks;
}

}  // namespace

TEST_F(MapMatchingTest, APerturbedPoseMatchesNinetyPercentWithinAPixelOnceEachCorner) {
  s.AddKeyFrame(MapMatchingScene::Camera(0, 0, 0), kModest);
  s.RenderFrame(truth, Perturbed());
  Random::Seed(5);
  matching.MatchMap(0, TrackingMode{});
  search.RefineMatches(0);
  EXPECT_GE(FractionWithinAPixel(), 0.9);
  for (int l = 0; l < kPyramidLevels; ++l) {
    std::set<u32> corners, tracks;
    for (const MapMatch& m : f.mapMatches[l]) {
      if (m.corner != kNone32) {
        EXPECT_TRUE(corners.insert(m.corner).second) << l;
      }
      EXPECT_TRUE(tracks.insert(m.track).second) << l;
    }
  }
  // The pose came back to the truth.
  float centre[3], trueCentre[3];
  CameraCentre(f.pose.slot[kVisual], centre);
  CameraCentre(truth, trueCentre);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(centre[i], trueCentre[i], 0.02f) << i;
}

TEST_F(MapMatchingTest, PointsMovedTwelvePixelsAreDroppedAndNotFoundAgainInTheNarrowPass) {
  s.AddKeyFrame(MapMatchingScene::Camera(0, 0, 0), kModest);
  s.RenderFrame(truth, Perturbed());
  // Every ninth level-0 track moves 12 pixels along the wall: its patch still
  // finds its own corner within the wide window, which then lies 12 pixels
  // off the projection.
  const float shift = 12.0f * MapMatchingScene::kWall / u.camera.intrinsic[0].fx[0];
  std::vector<u32> moved;
  for (u32 t = 0; t < s.truePoints.size(); t += 9)
    if (s.levelOf[t] == 0) moved.push_back(t), s.working().points[t].v[0] += shift;
  ASSERT_GE(moved.size(), 10u);
  Random::Seed(5);
  testing::internal::CaptureStdout();
  TrackerLog verbose{true, ""};
  TrackerContext loud{u.options, u.camera, u.ring, u.view, u.links, u.objects, verbose};
  PatchSearch loudSearch{loud};
  MapMatching loudMatching{loud, loudSearch, pose};
  loudMatching.MatchMap(0, TrackingMode{});
  const std::string log = testing::internal::GetCapturedStdout();
  for (int l = 0; l < kPyramidLevels; ++l)
    for (const u32 t : TracksOf(f.mapMatches[l]))
      EXPECT_EQ(std::find(moved.begin(), moved.end(), t), moved.end()) << "track " << t;
  // Pass 1 found them and dropped them; pass 2 kept the first pass's matches.
  int a1, b1, c1, d1, a2, b2, c2, d2;
  ASSERT_EQ(std::sscanf(log.c_str(),
                        "[7] Map Matches = %d --> %d --> %d --> %d\n"
                        "[7] Map Matches = %d --> %d --> %d --> %d",
                        &a1, &b1, &c1, &d1, &a2, &b2, &c2, &d2),
            8)
      << log;
  EXPECT_EQ(a1, b1) << log;  // below the caps every candidate is searched
  EXPECT_GE(c1 - d1, static_cast<int>(moved.size()) * 8 / 10);
  // Pass 2 projects only the tracks still unmatched (its first count holds
  // pass 1's matches as well), and keeps pass 1's.
  EXPECT_LE(a2 - d1, a1 - d1);
  EXPECT_GE(c2, d1);
  std::vector<u8> matched(s.truePoints.size(), 0);
  for (const auto& list : f.mapMatches)
    for (const MapMatch& m : list) matched[m.track] = 1;
  matching.ProjectMapPoints(0);
  for (const auto& list : f.candidates)
    for (const ImageMatch& c : list) EXPECT_FALSE(matched[c.track]) << c.track;
  search.RefineMatches(0);
  EXPECT_GE(FractionWithinAPixel(), 0.8);
}

TEST_F(MapMatchingTest, ProjectionSkipsKeyFramesTurnedBeyondFortyDegreesAndMatchedTracks) {
  s.AddKeyFrame(MapMatchingScene::Camera(0, 0, 0), kModest);
  s.RenderFrame(MapMatchingScene::Camera(0, 0, 0), MapMatchingScene::Camera(0, 0, 0));
  auto projected = [&] {
    matching.ProjectMapPoints(0);
    u32 n = 0;
    for (const auto& list : f.candidates) n += static_cast<u32>(list.size());
    return n;
  };
  const u32 all = projected();
  EXPECT_GT(all, 150u);
  // Only the stored pose turns; the points and patches stay.
  s.working().keyFramePoses[0] = MapMatchingScene::Camera(0, 0, 0, kAxisY, 0.6806784f);  // 39
  EXPECT_GT(projected(), 0u);
  s.working().keyFramePoses[0] = MapMatchingScene::Camera(0, 0, 0, kAxisY, 0.7155850f);  // 41
  EXPECT_EQ(projected(), 0u);
  s.working().keyFramePoses[0] = MapMatchingScene::Camera(0, 0, 0);
  // A track matched already, or not INLIER, gets no candidate.
  f.mapMatches[2].push_back({3, 3, 0, 0, 0, 0, 0, 0, 0, 0});
  s.working().trackFlags[4] = kTrackSolved;
  EXPECT_EQ(projected(), all - 2);
  for (const auto& list : f.candidates)
    for (const ImageMatch& c : list) EXPECT_TRUE(c.track != 3 && c.track != 4);
  // Key frame 1's feature 0 is track 0 again: key frame 0 projects it, and
  // no track is projected twice.
  s.AddKeyFrame(MapMatchingScene::Camera(0.1f, 0, 0), kModest);
  s.working().measurementTracks[s.parts.view.Records()[1].featureStart] = 0;
  projected();
  std::set<u32> seen;
  for (const auto& list : f.candidates)
    for (const ImageMatch& c : list) {
      EXPECT_TRUE(seen.insert(c.track).second) << c.track;
      if (c.track == 0) {
        EXPECT_LT(c.patch, s.parts.view.Records()[1].firstPatch[0]);
      }
    }
  EXPECT_EQ(seen.count(0), 1u);
}

TEST_F(MapMatchingTest, EachWarpCarriesItsPatchCentreToTheCandidateAtItsSearchLevel) {
  s.AddKeyFrame(MapMatchingScene::Camera(0, 0, 0), kModest);
  const CameraPose P = MapMatchingScene::Camera(0.3f, -0.1f, 0.8f, kTilt, 0.08f);
  s.RenderFrame(P, P);
  // Ten visible level-0 tracks on the wall plane n = e3, d = -5; ten more
  // on a plane through the key frame's centre, which gives no block.
  MapWorkingCopy& w = s.working();
  w.planes.PushBack16({{0, 0, 1, -MapMatchingScene::kWall}});
  w.planes.PushBack16({{0, 0, 1, 0}});
  std::vector<u8> onWall(w.points.Size(), 0);
  for (u32 t = 0, planes = 0; t < w.points.Size() && planes < 20; ++t) {
    float p[2];
    s.TruePosition(t, 0, p);
    if (s.levelOf[t] != 0 || p[0] < 30 || p[1] < 30 || p[0] > 290 || p[1] > 210) continue;
    w.trackPlanes[t] = planes < 10 ? 0 : 1;
    onWall[t] = planes++ < 10;
  }
  matching.ProjectMapPoints(0);
  u32 planar = 0, n = 0;
  std::set<u32> blocks;
  for (int l = 0; l < kPyramidLevels; ++l)
    for (const ImageMatch& c : f.candidates[l]) {
      const FeaturePatch& patch = u.view.Patches()[c.patch];
      const float centre[2] = {patch.x, patch.y};
      // The level-0 projection halved per level: level l's pixel centres
      // sit (2^-l - 1) / 2 from it.
      float q[2], p0[2];
      s.TruePosition(c.track, 0, p0);
      const float scale = std::ldexp(1.0f, -l);
      ApplyHomography(reinterpret_cast<const float(*)[4]>(f.warps[c.warp].m), centre, q);
      EXPECT_NEAR(q[0], p0[0] * scale, 0.05f) << c.track;
      EXPECT_NEAR(q[1], p0[1] * scale, 0.05f) << c.track;
      // And the inverse takes it back.
      ApplyHomography(reinterpret_cast<const float(*)[4]>(f.warps[c.warp + 1].m), q, q);
      EXPECT_NEAR(q[0], patch.x, 0.05f) << c.track;
      EXPECT_NEAR(q[1], patch.y, 0.05f) << c.track;
      if (onWall[c.track]) {
        // In the wall's one block.
        ASSERT_GE(c.warp, kHypothesisOffset[patch.level][l]);
        blocks.insert(c.warp - kHypothesisOffset[patch.level][l]);
        ++planar;
      }
      float p[2];
      s.TruePosition(c.track, l, p);
      EXPECT_NEAR(c.x, p[0], 1e-2f);
      EXPECT_NEAR(c.y, p[1], 1e-2f);
      ++n;
    }
  EXPECT_EQ(planar, 10u);
  ASSERT_EQ(blocks.size(), 1u);
  // One block, then a pair per other candidate.
  EXPECT_EQ(f.warps.Size(), kHypothesisBlockSize + 2 * (n - planar));
  // Every patch whose key-frame depth is not positive is skipped.
  w.keyFramePoses[0] = MapMatchingScene::Camera(0, 0, MapMatchingScene::kWall + 1.0f);
  w.planes.Clear();
  for (u16& plane : w.trackPlanes) plane = kNone16;
  matching.ProjectMapPoints(0);
  for (const auto& list : f.candidates) EXPECT_TRUE(list.empty());
}

TEST_F(MapMatchingTest, SelectionTakesPlanarReliableTracksFirstKeepsTheCapAndRepeats) {
  // 250 candidates 16 pixels apart on a 320 x 240 level: at N = 100 the first
  // radius is 13, so the first 100 of the ordered list are taken.
  MapWorkingCopy& w = s.working();
  std::vector<ImageMatch> candidates;
  for (u32 i = 0; i < 250; ++i) {
    FeaturePatch patch{};
    patch.flags = (i % 5 == 4) ? 0 : kPatchReliable;  // every fifth: group 3
    u.view.Patches().PushBack(patch, 1000);
    w.trackFlags.push_back(kTrackInlier | (i % 7 == 6 ? kTrackUnreliable : 0));
    w.trackPlanes.push_back(i % 3 == 0 ? 0 : kNone16);
    candidates.push_back({i, i, 0, 8.0f + 16 * (i % 19), 8.0f + 16 * (i / 19)});
  }
  auto group = [&](u32 i) {
    const bool reliable = i % 5 != 4 && i % 7 != 6;
    return reliable ? (i % 3 == 0 ? 1 : 2) : 3;
  };
  u32 sizes[4] = {0, 0, 0, 0};
  for (u32 i = 0; i < 250; ++i) ++sizes[group(i)];
  ASSERT_LT(sizes[1], 100u);
  ASSERT_GT(sizes[1] + sizes[2], 100u);
  std::vector<ImageMatch> rest = candidates, selected, again;
  OccupancyMask mask;
  Random::Seed(5);
  matching.SelectMatchCandidates(CVD::ImageRef(320, 240), rest, selected, mask, 100);
  ASSERT_EQ(selected.size(), 100u);
  EXPECT_EQ(rest.size(), 150u);
  u32 taken[4] = {0, 0, 0, 0};
  for (const ImageMatch& m : selected) ++taken[group(m.track)];
  EXPECT_EQ(taken[1], sizes[1]);
  EXPECT_EQ(taken[2], 100u - sizes[1]);
  EXPECT_EQ(taken[3], 0u);
  // The order is shuffled, and the same seed gives the same selection.
  std::vector<ImageMatch> rest2 = candidates;
  Random::Seed(5);
  matching.SelectMatchCandidates(CVD::ImageRef(320, 240), rest2, again, mask, 100);
  bool inOrder = true;
  for (size_t i = 0; i < 100; ++i) {
    EXPECT_EQ(again[i].track, selected[i].track);
    inOrder = inOrder && (i == 0 || selected[i].track > selected[i - 1].track);
  }
  EXPECT_FALSE(inOrder);

  // Fewer than N: all of them in their order, nothing shuffled.
  std::vector<ImageMatch> few(candidates.begin(), candidates.begin() + 99);
  matching.SelectMatchCandidates(CVD::ImageRef(320, 240), few, selected, mask, 100);
  ASSERT_EQ(selected.size(), 99u);
  EXPECT_TRUE(few.empty());
  for (u32 i = 0; i < 99; ++i) EXPECT_EQ(selected[i].track, i);
  // Exactly N: the spreading runs, and two candidates on one cell give one.
  std::vector<ImageMatch> exact(candidates.begin(), candidates.begin() + 100);
  exact[1].x = exact[0].x + 0.5f, exact[1].y = exact[0].y;
  matching.SelectMatchCandidates(CVD::ImageRef(320, 240), exact, selected, mask, 100);
  EXPECT_EQ(selected.size(), 99u);
  EXPECT_EQ(exact.size(), 1u);
}

struct DenseMapMatchingTest : MapMatchingTest {
  DenseMapMatchingTest() : MapMatchingTest(640, 480) {}
};

TEST_F(DenseMapMatchingTest, CapsBoundEachPassAndTwoRunsGiveTheSameMatches) {
  const u32 dense[kPyramidLevels] = {600, 250, 120, 50};
  truth = MapMatchingScene::Camera(0.2f, 0.05f, 0.2f, kTilt, 0.03f);
  s.AddKeyFrame(MapMatchingScene::Camera(0, 0, 0), dense, 10.0f);
  s.RenderFrame(truth, Perturbed());
  TrackerLog verbose{true, ""};
  TrackerContext loud{u.options, u.camera, u.ring, u.view, u.links, u.objects, verbose};
  PatchSearch loudSearch{loud};
  PoseEstimation loudPose{loud};
  MapMatching loudMatching{loud, loudSearch, loudPose};
  std::vector<MapMatch> first[kPyramidLevels];
  for (int run = 0; run < 2; ++run) {
    f.pose.slot[kVisual] = Perturbed();
    f.warps.Clear();
    Random::Seed(5);
    testing::internal::CaptureStdout();
    loudMatching.MatchMap(0, TrackingMode{});
    const std::string log = testing::internal::GetCapturedStdout();
    int a1, b1, c1, d1, a2, b2, c2, d2;
    ASSERT_EQ(std::sscanf(log.c_str(),
                          "[7] Map Matches = %d --> %d --> %d --> %d\n"
                          "[7] Map Matches = %d --> %d --> %d --> %d",
                          &a1, &b1, &c1, &d1, &a2, &b2, &c2, &d2),
              8)
        << log;
    // More projected than the caps let through: 200 + 3 x 100 per pass.
    EXPECT_GT(a1, 500) << log;
    EXPECT_LE(b1, 500) << log;
    EXPECT_LE(c2 - d1, 500) << log;
    EXPECT_LE(f.mapMatches[0].size(), 400u);
    for (int l = 1; l < kPyramidLevels; ++l) EXPECT_LE(f.mapMatches[l].size(), 200u);
    EXPECT_GT(d2, 450) << log;
    if (run == 0) {
      for (int l = 0; l < kPyramidLevels; ++l) first[l] = f.mapMatches[l];
      continue;
    }
    for (int l = 0; l < kPyramidLevels; ++l) {
      ASSERT_EQ(f.mapMatches[l].size(), first[l].size()) << l;
      for (size_t i = 0; i < first[l].size(); ++i) {
        EXPECT_EQ(f.mapMatches[l][i].track, first[l][i].track);
        EXPECT_EQ(f.mapMatches[l][i].corner, first[l][i].corner);
        EXPECT_EQ(f.mapMatches[l][i].ssd, first[l][i].ssd);
      }
    }
  }
}

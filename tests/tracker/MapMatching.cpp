// Map matching: a perturbed pose matched within a pixel once per corner, moved
// points dropped, caps, the view-angle limit, warps, selection and repeats.
#include "tracker/MapMatching.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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
  TrackerLog verbose{true, ""};
  TrackerContext context{u.options, u.camera, u.ring, u.view, u.links, u.objects, verbose};
  PatchSearch search{context};
  PoseEstimation pose{context};
  MapMatching matching{context, search, pose};

  // The true pose of the frame, and the one it starts from: 2 level-0 pixels
  // and 0.5 degrees away.
  CameraPose truth = MapMatchingScene::Camera(0.25f, 0.05f, 0.3f, kTilt, 0.05f);
  CameraPose Perturbed() const {
    CameraPose P = truth, turn = MapMatchingScene::Camera(0, 0, 0, kAxisY, 0.5f * 0.0174533f);
    float scratch[4];
    ComposePose(P, turn, P, scratch);
    P.m[0][3] += 2.0f * MapMatchingScene::kWall / u.camera.intrinsic[0].fx[0];
    return P;
  }

  // MatchMap from seed 5; each pass's logged counts: projected, selected,
  // searched, kept.
  std::array<int, 8> MatchMap() {
    Random::Seed(5);
    testing::internal::CaptureStdout();
    matching.MatchMap(0, TrackingMode{});
    const std::string log = testing::internal::GetCapturedStdout();
    std::array<int, 8> n{};
    EXPECT_EQ(std::sscanf(log.c_str(),
                          "[7] Map Matches = %d --> %d --> %d --> %d\n"
                          "[7] Map Matches = %d --> %d --> %d --> %d",
                          &n[0], &n[1], &n[2], &n[3], &n[4], &n[5], &n[6], &n[7]),
              8)
        << log;
    return n;
  }
  u32 Project() {
    matching.ProjectMapPoints(0);
    u32 n = 0;
    for (const auto& list : f.candidates) n += static_cast<u32>(list.size());
    return n;
  }

  // Matches within one level pixel of the truth, over the INLIER tracks not
  // skipped whose true position lies inside every level.
  double FractionWithinAPixel(const std::vector<u8>& skip) {
    std::vector<int> good(s.truePoints.size(), 0);
    float p[2];
    for (int l = 0; l < kPyramidLevels; ++l)
      for (const MapMatch& m : f.mapMatches[l]) {
        s.TruePosition(m.track, l, p);
        if (std::hypot(m.x - p[0], m.y - p[1]) <= 1.0f) good[m.track] = 1;
      }
    u32 visible = 0, matched = 0;
    for (u32 t = 0; t < s.truePoints.size(); ++t) {
      s.TruePosition(t, 0, p);
      if (p[0] < 12 || p[1] < 12 || p[0] > u.camera.width - 12 || p[1] > u.camera.height - 12 ||
          !(u.view.Working().trackFlags[t] & kTrackInlier) || skip[t])
        continue;
      ++visible, matched += good[t];
    }
    return visible ? double(matched) / visible : 0.0;
  }
};

}  // namespace

TEST_F(MapMatchingTest, APerturbedPoseMatchesOnceEachCornerWithinAPixelAndDropsMovedPoints) {
  s.AddKeyFrame(MapMatchingScene::Camera(0, 0, 0), kModest);
  s.RenderFrame(truth, Perturbed());
  // Every ninth level-0 track moves 12 pixels along the wall: its patch still
  // finds its own corner within the wide window, which then lies 12 pixels
  // off the projection.
  std::vector<u8> moved(s.truePoints.size(), 0), matched(s.truePoints.size(), 0);
  int movedCount = 0;
  for (u32 t = 0; t < s.truePoints.size(); t += 9)
    if (s.levelOf[t] == 0) {
      s.working().points[t].v[0] += 12.0f * MapMatchingScene::kWall / u.camera.intrinsic[0].fx[0];
      moved[t] = 1, ++movedCount;
    }
  ASSERT_GE(movedCount, 10);
  const std::array<int, 8> n = MatchMap();
  for (int l = 0; l < kPyramidLevels; ++l) {
    std::set<u32> corners, tracks;
    for (const MapMatch& m : f.mapMatches[l]) {
      EXPECT_TRUE(m.corner == kNone32 || corners.insert(m.corner).second) << l;
      EXPECT_TRUE(tracks.insert(m.track).second && !moved[m.track]) << m.track;
      matched[m.track] = 1;
    }
  }
  // Pass 1 searches every candidate below the caps, finds the moved ones and
  // drops them; pass 2 projects only the tracks still unmatched (its first
  // count holds pass 1's matches as well) and keeps pass 1's.
  EXPECT_EQ(n[0], n[1]);
  EXPECT_GE(n[2] - n[3], movedCount * 8 / 10);
  EXPECT_LE(n[4] - n[3], n[0] - n[3]);
  EXPECT_GE(n[6], n[3]);
  float centre[3], trueCentre[3];  // the pose came back to the truth
  CameraCentre(f.pose.slot[kVisual], centre);
  CameraCentre(truth, trueCentre);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(centre[i], trueCentre[i], 0.02f) << i;
  Project();
  for (const auto& list : f.candidates)
    for (const ImageMatch& c : list) EXPECT_FALSE(matched[c.track]) << c.track;
  search.RefineMatches(0);
  EXPECT_GE(FractionWithinAPixel(moved), 0.9);
}

TEST_F(MapMatchingTest, ProjectionSkipsKeyFramesTurnedBeyondFortyDegreesAndMatchedTracks) {
  s.AddKeyFrame(MapMatchingScene::Camera(0, 0, 0), kModest);
  s.RenderFrame(MapMatchingScene::Camera(0, 0, 0), MapMatchingScene::Camera(0, 0, 0));
  const u32 all = Project();
  EXPECT_GT(all, 150u);
  // Only the stored pose turns, 39 then 41 degrees; the points and patches stay.
  s.working().keyFramePoses[0] = MapMatchingScene::Camera(0, 0, 0, kAxisY, 0.6806784f);
  EXPECT_GT(Project(), 0u);
  s.working().keyFramePoses[0] = MapMatchingScene::Camera(0, 0, 0, kAxisY, 0.7155850f);
  EXPECT_EQ(Project(), 0u);
  s.working().keyFramePoses[0] = MapMatchingScene::Camera(0, 0, 0);
  // A track matched already (3), or not INLIER (4), gets no candidate. Key
  // frame 1's feature 0 is track 0 again: key frame 0 projects it, and no
  // track is projected twice.
  f.mapMatches[2].push_back({3, 3, 0, 0, 0, 0, 0, 0, 0, 0});
  s.working().trackFlags[4] = kTrackSolved;
  EXPECT_EQ(Project(), all - 2);
  s.AddKeyFrame(MapMatchingScene::Camera(0.1f, 0, 0), kModest);
  s.working().measurementTracks[u.view.Records()[1].featureStart] = 0;
  Project();
  std::set<u32> seen;
  for (const auto& list : f.candidates)
    for (const ImageMatch& c : list) {
      EXPECT_TRUE(seen.insert(c.track).second && c.track != 3 && c.track != 4) << c.track;
      EXPECT_TRUE(c.track != 0 || c.patch < u.view.Records()[1].firstPatch[0]);
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
  const u32 n = Project();
  u32 planar = 0;
  std::set<u32> blocks;
  for (int l = 0; l < kPyramidLevels; ++l)
    for (const ImageMatch& c : f.candidates[l]) {
      const FeaturePatch& patch = u.view.Patches()[c.patch];
      const float centre[2] = {patch.x, patch.y};
      // The level-0 projection halved per level, and the candidate there;
      // the inverse takes it back.
      float q[2], p[2];
      s.TruePosition(c.track, 0, p);
      const float scale = std::ldexp(1.0f, -l);
      ApplyHomography(reinterpret_cast<const float(*)[4]>(f.warps[c.warp].m), centre, q);
      EXPECT_NEAR(q[0], p[0] * scale, 0.05f) << c.track;
      EXPECT_NEAR(q[1], p[1] * scale, 0.05f) << c.track;
      ApplyHomography(reinterpret_cast<const float(*)[4]>(f.warps[c.warp + 1].m), q, q);
      EXPECT_NEAR(q[0], patch.x, 0.05f) << c.track;
      EXPECT_NEAR(q[1], patch.y, 0.05f) << c.track;
      s.TruePosition(c.track, l, p);
      EXPECT_NEAR(c.x, p[0], 1e-2f);
      EXPECT_NEAR(c.y, p[1], 1e-2f);
      if (!onWall[c.track]) continue;
      ASSERT_GE(c.warp, kHypothesisOffset[patch.level][l]);  // in the wall's one block
      blocks.insert(c.warp - kHypothesisOffset[patch.level][l]);
      ++planar;
    }
  EXPECT_EQ(planar, 10u);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(f.warps.Size(), kHypothesisBlockSize + 2 * (n - planar));  // a pair per other
  // Every patch whose key-frame depth is not positive is skipped.
  w.keyFramePoses[0] = MapMatchingScene::Camera(0, 0, MapMatchingScene::kWall + 1.0f);
  w.planes.Clear();
  for (u16& plane : w.trackPlanes) plane = kNone16;
  EXPECT_EQ(Project(), 0u);
}

TEST_F(MapMatchingTest, SelectionTakesPlanarReliableTracksFirstShuffledAndKeepsTheCap) {
  // 250 candidates 16 pixels apart on a 320 x 240 level: at N = 100 the first
  // radius is 13, so the first 100 of the ordered list are taken. Group 1:
  // planar and reliable, 2: reliable, 3: the patch or the track unreliable.
  std::vector<ImageMatch> candidates;
  for (u32 i = 0; i < 250; ++i) {
    FeaturePatch patch{};
    patch.flags = (i % 5 == 4) ? 0 : kPatchReliable;
    u.view.Patches().PushBack(patch, 1000);
    s.working().trackFlags.push_back(kTrackInlier | (i % 7 == 6 ? kTrackUnreliable : 0));
    s.working().trackPlanes.push_back(i % 3 == 0 ? 0 : kNone16);
    candidates.push_back({i, i, 0, 8.0f + 16 * (i % 19), 8.0f + 16 * (i / 19)});
  }
  auto group = [](u32 i) { return i % 5 == 4 || i % 7 == 6 ? 3 : i % 3 == 0 ? 1 : 2; };
  u32 sizes[4] = {0, 0, 0, 0}, taken[4] = {0, 0, 0, 0};
  for (u32 i = 0; i < 250; ++i) ++sizes[group(i)];
  ASSERT_TRUE(sizes[1] < 100u && sizes[1] + sizes[2] > 100u);
  std::vector<ImageMatch> rest = candidates, selected;
  OccupancyMask mask;
  const auto byTrack = [](const ImageMatch& a, const ImageMatch& b) { return a.track < b.track; };
  Random::Seed(5);
  matching.SelectMatchCandidates(CVD::ImageRef(320, 240), rest, selected, mask, 100);
  ASSERT_EQ(selected.size(), 100u);
  EXPECT_EQ(rest.size(), 150u);
  for (const ImageMatch& m : selected) ++taken[group(m.track)];
  EXPECT_EQ(taken[1], sizes[1]);
  EXPECT_EQ(taken[2], 100u - sizes[1]);
  // Group 1 first, shuffled within (the same seed repeats it: the dense runs).
  EXPECT_FALSE(std::is_sorted(selected.begin(), selected.begin() + sizes[1], byTrack));
  // Fewer than N: all of them in their order, nothing shuffled.
  rest.assign(candidates.begin(), candidates.begin() + 99);
  matching.SelectMatchCandidates(CVD::ImageRef(320, 240), rest, selected, mask, 100);
  ASSERT_EQ(selected.size(), 99u);
  EXPECT_TRUE(rest.empty() && std::is_sorted(selected.begin(), selected.end(), byTrack));
  // Exactly N: the spreading runs, and two candidates on one cell give one.
  rest.assign(candidates.begin(), candidates.begin() + 100);
  rest[1].x = rest[0].x + 0.5f, rest[1].y = rest[0].y;
  matching.SelectMatchCandidates(CVD::ImageRef(320, 240), rest, selected, mask, 100);
  EXPECT_EQ(selected.size(), 99u);
  EXPECT_EQ(rest.size(), 1u);
  // A cap of one takes one; no cap takes none and leaves the list whole.
  for (const i32 cap : {1, 0}) {
    rest.assign(candidates.begin(), candidates.begin() + 3);
    matching.SelectMatchCandidates(CVD::ImageRef(320, 240), rest, selected, mask, cap);
    EXPECT_EQ(selected.size(), static_cast<size_t>(cap)) << cap;
    EXPECT_EQ(rest.size(), 3u - cap) << cap;
  }
}

struct DenseMapMatchingTest : MapMatchingTest {
  DenseMapMatchingTest() : MapMatchingTest(640, 480) {}
};

TEST_F(DenseMapMatchingTest, CapsBoundEachPassAndTwoRunsGiveTheSameMatches) {
  const u32 dense[kPyramidLevels] = {600, 250, 120, 50};
  truth = MapMatchingScene::Camera(0.2f, 0.05f, 0.2f, kTilt, 0.03f);
  s.AddKeyFrame(MapMatchingScene::Camera(0, 0, 0), dense, 10.0f);
  s.RenderFrame(truth, Perturbed());
  std::vector<std::array<int64_t, 4>> runs[2];  // level, track, corner, SSD of each match
  for (auto& run : runs) {
    f.pose.slot[kVisual] = Perturbed();
    f.warps.Clear();
    const std::array<int, 8> n = MatchMap();
    // More projected than the caps let through: 200 + 3 x 100 per pass.
    EXPECT_GT(n[0], 500);
    EXPECT_LE(n[1], 500);
    EXPECT_LE(n[6] - n[3], 500);
    EXPECT_GT(n[7], 450);
    for (int l = 0; l < kPyramidLevels; ++l) {
      EXPECT_LE(f.mapMatches[l].size(), l == 0 ? 400u : 200u);
      for (const MapMatch& m : f.mapMatches[l]) run.push_back({l, m.track, m.corner, m.ssd});
    }
  }
  EXPECT_EQ(runs[0], runs[1]);
}

// The frame measures with known answers on a hand-made map seen on a 320 x 240
// image: points 0 to 3 at depths 5, 5, 4 and 2, seen by key frame k at the
// origin on levels 0, 0, 1 and 2, and by frame 1 moved 0.05 to -x, which
// matches 0 and 1 one pixel to the right of their projection at level 0, 2
// and 3 two pixels at level 1, and the outlier 4 far off.
#include "tracker/FrameMeasures.h"

#include <gtest/gtest.h>

#include <cmath>

#include "features/ImageMapMath.h"
#include "tests/common/tracker/FrameMeasuresScene.h"

namespace {

using Scene = FrameMeasuresScene;
constexpr TrackingMode kTracking{true, false}, kStart{false, false};
constexpr u8 kInlier = kTrackSolved | kTrackInlier;

class FrameMeasuresTest : public ::testing::Test {
 protected:
  FrameMeasuresTest() {
    const float points[5][3] = {
        {-1, -0.5f, 5}, {1, 0.5f, 5}, {0.5f, -1, 4}, {-0.5f, 1, 2}, {0, 0, 9}};
    for (const auto& p : points) s.AddTrack(p[0], p[1], p[2]);
    s.W().trackFlags[4] = kTrackSolved;
    k = s.AddKeyFrame(Scene::Turned(0), {{0, 0}, {1, 0}, {2, 1}, {3, 2}});
    f.pose.slot[kVisual] = pose;
    for (u32 t = 0; t < 4; ++t) {
      float X[3];
      SceneRender::ToCamera(pose, s.W().points[t].v, X);
      const int l = t / 2;
      f.mapMatches[l].push_back(s.Match(t, l, X[0] / X[2] + 0.01f * (l + 1), X[1] / X[2]));
    }
    f.mapMatches[0].push_back(s.Match(4, 0, 0.5f, 0.5f));
    f.inlierCount = 4;
  }
  Scene s{320, 240};
  FrameMeasures& fm = s.measures;
  TrackerFrame& f = s.Frame();
  const CameraPose pose = Scene::Turned(0, -0.05f), unset = Scene::Unset(pose);
  u16 k = 0;
};

TEST_F(FrameMeasuresTest, ParallaxErrorsAndDepthsUnderThePoseAndNoneWithoutIt) {
  // Points at depth 5 shift one pixel, at 4 and 2 more; the key frame sees them to the left.
  float angle = 0.0f;
  const float parallax = std::sqrt((2 + 1.25f * 1.25f + 2.5f * 2.5f) / 4);
  EXPECT_NEAR(fm.ComputeParallax(k, 1, kTracking, &angle), parallax, 1e-4f);
  EXPECT_NEAR(angle, static_cast<float>(M_PI), 1e-5f);
  EXPECT_NEAR(fm.ComputeReprojectionRms(1, pose), std::sqrt(10.0f / 4), 1e-3f);
  EXPECT_NEAR(fm.ComputeFrameRms(1, pose), std::sqrt(4.0f / 2.5f), 1e-3f);  // level 1 weighs 1/4
  EXPECT_FLOAT_EQ(fm.ComputeMeanDepth(1), 4.0f);
  EXPECT_EQ(fm.ComputeReprojectionRms(1, unset), FLT_MAX);
  EXPECT_EQ(fm.ComputeFrameRms(1, unset), FLT_MAX);
  EXPECT_EQ(fm.ComputeFrameRms(0, pose), FLT_MAX);  // no matches
  s.Frame(0).pose.slot[kVisual] = pose;
  EXPECT_EQ(fm.ComputeMeanDepth(0), 0.0f);
  f.inlierCount = 0;
  EXPECT_EQ(fm.ComputeReprojectionRms(1, pose), FLT_MAX);
  f.pose.slot[kVisual] = unset;
  EXPECT_EQ(fm.ComputeParallax(k, 1, kTracking, nullptr), -1.0f);
  EXPECT_EQ(fm.ComputeMeanDepth(1), 0.0f);
  EXPECT_EQ(fm.ComputeDistanceToKeyFrame(k, 1), 0.0f);
  f.pose.slot[kVisual] = Scene::Turned(40, 0.2f, 0.4f, 0.4f);
  EXPECT_NEAR(fm.ComputeDistanceToKeyFrame(k, 1), 0.6f, 1e-6f);
  // A key frame past the map's (one that was just popped) measures nothing.
  AlignedArray<CameraPose>& poses = s.W().keyFramePoses;
  const u32 count = poses.Size();
  poses.PushBack48(Scene::Turned(0, 5.0f, 0, 0));
  poses.Resize(count);
  EXPECT_EQ(fm.ComputeDistanceToKeyFrame(static_cast<u16>(count), 1), 0.0f);
}

// A point the pose puts almost at the camera lands hundreds of pixels from its
// feature; it says nothing of how far the view moved and is left out, where
// it would have made the parallax of the whole key frame.
TEST_F(FrameMeasuresTest, ParallaxLeavesOutAPointThePosePutsAtTheCamera) {
  MapPoint& p = s.W().points[3];
  p.v[0] = 0.45f, p.v[1] = 0.0f, p.v[2] = 0.01f;  // (0.5, 0, 0.01) from frame 1
  EXPECT_NEAR(fm.ComputeParallax(k, 1, kTracking, nullptr), std::sqrt((2 + 1.25f * 1.25f) / 3),
              1e-4f);
  // Just inside the image's diagonal it still counts.
  const float fx = std::sqrt(s.parts.camera.intrinsic[0].misc[0]);
  const float inside = 390.0f / fx, x3 = -0.25f;  // 400 px is the diagonal of 320 x 240
  p.v[0] = (x3 - inside) * 2.0f - 0.05f, p.v[1] = 1.0f, p.v[2] = 2.0f;
  EXPECT_NEAR(fm.ComputeParallax(k, 1, kTracking, nullptr),
              std::sqrt((2 + 1.25f * 1.25f + 390.0f * 390.0f) / 4), 0.05f);
  // Just outside it is left out again.
  const float outside = 410.0f / fx;
  p.v[0] = (x3 - outside) * 2.0f - 0.05f;
  EXPECT_NEAR(fm.ComputeParallax(k, 1, kTracking, nullptr), std::sqrt((2 + 1.25f * 1.25f) / 3),
              1e-4f);
}

// While tracking a turn of the camera brings no parallax, only its move
// does: a key frame called for by a turn would triangulate nothing.
TEST_F(FrameMeasuresTest, ParallaxWhileTrackingCountsTheMoveNotTheTurn) {
  const float moved = fm.ComputeParallax(k, 1, kTracking, nullptr);
  f.pose.slot[kVisual] = Scene::Turned(20);
  EXPECT_NEAR(fm.ComputeParallax(k, 1, kTracking, nullptr), 0.0f, 1e-3f);
  // The same move as the fixture's with the turn: each point's displacement
  // is the move's, seen nearer the image's edge where pixels spread. The
  // turn alone moves the features by about f tan 20 degrees, 36 pixels.
  f.pose.slot[kVisual] = Scene::Turned(20, -0.05f);
  const float turnedAndMoved = fm.ComputeParallax(k, 1, kTracking, nullptr);
  EXPECT_GT(turnedAndMoved, moved);
  EXPECT_LT(turnedAndMoved, 1.5f * moved);
  // A track without a point matched where the turned key-frame feature
  // lands adds a zero.
  f.pose.slot[kVisual] = Scene::Turned(20);
  s.W().trackFlags[3] = 0;
  const LA::Vector2<float> x3 = s.parts.view.KeyFrameNormalized()[3];
  const float a = 20 * 3.14159265f / 180;
  const float r[3] = {std::cos(a) * x3.x - std::sin(a), x3.y, std::sin(a) * x3.x + std::cos(a)};
  f.mapMatches[1].back().nx = r[0] / r[2];
  f.mapMatches[1].back().ny = r[1] / r[2];
  EXPECT_NEAR(fm.ComputeParallax(k, 1, kTracking, nullptr), 0.0f, 1e-3f);
  // Turned past the key frame's view the feature's ray is behind the frame.
  f.pose.slot[kVisual] = Scene::Turned(120);
  EXPECT_EQ(fm.ComputeParallax(k, 1, kTracking, nullptr), -1.0f);
}

// A point an adjustment walked far out along its ray leaves the mean depth,
// which would otherwise follow it: beyond ten times the median (5) it is
// left out, within it counted.
TEST_F(FrameMeasuresTest, MeanDepthLeavesOutAPointWalkedFarAlongItsRay) {
  float* X = s.W().points[3].v;
  for (int i = 0; i < 3; ++i) X[i] *= 30.0f;  // depth 2 becomes 60
  EXPECT_FLOAT_EQ(fm.ComputeMeanDepth(1), 14.0f / 3.0f);
  for (int i = 0; i < 3; ++i) X[i] *= 0.75f;  // 45
  EXPECT_FLOAT_EQ(fm.ComputeMeanDepth(1), 59.0f / 4.0f);
}

TEST_F(FrameMeasuresTest, ParallaxFromTheKeyFrameImageMapAndTheMatchesOfUnsolvedTracks) {
  // Recovering, at the start or rejected the image map is asked, and it is unset.
  EXPECT_EQ(fm.ComputeParallax(k, 1, {true, true}, nullptr), -1.0f);
  EXPECT_EQ(fm.ComputeParallax(k, 1, kStart, nullptr), -1.0f);
  EXPECT_EQ(fm.ComputeParallax(kNone16, 1, kTracking, nullptr), -1.0f);  // no such key frame
  // Feature arrays that end before the key frame's tracks do: nothing is
  // read past their end.
  s.parts.view.Records()[k].featureStart += 1;
  EXPECT_EQ(fm.ComputeParallax(k, 1, kTracking, nullptr), -1.0f);
  s.parts.view.Records()[k].featureStart -= 1;
  f.rejected = 1;
  EXPECT_EQ(fm.ComputeParallax(k, 1, kTracking, nullptr), -1.0f);
  // A map moving alignment-image pixels 2 to the right: at f = 6.25, 32
  // pixels of level 0, counted for tracks without a point.
  for (u32 t = 0; t < 4; ++t) s.W().trackFlags[t] = 0;
  for (auto& list : f.mapMatches) list.clear();
  WarpRecord& map = s.parts.view.KeyFrameMaps()[k];
  map = WarpRecord{{1, 0, 2, 0, 0, 1, 0, 0, FLT_MAX, 0, 0, 0}};
  float angle = 1.0f;
  EXPECT_NEAR(fm.ComputeParallax(k, 1, kStart, &angle), 32.0f, 1e-3f);
  EXPECT_NEAR(angle, 0.0f, 1e-6f);
  map.m[6] = 1.0f;  // and 1 down: the direction of the move, not of either axis
  EXPECT_NEAR(fm.ComputeParallax(k, 1, kStart, &angle), 16.0f * std::sqrt(5.0f), 1e-3f);
  EXPECT_NEAR(angle, std::atan2(1.0f, 2.0f), 1e-5f);
  map.m[6] = 0.0f;
  map.m[8] = 0.0f, map.m[10] = 1.0f;  // the same map, projective
  EXPECT_NEAR(fm.ComputeParallax(k, 1, kStart, nullptr), 32.0f, 1e-3f);
  {
    // A map with perspective terms: each feature through the inverse map's
    // rows, divided by its third row.
    WarpRecord tilted = map;
    tilted.m[8] = 0.01f, tilted.m[9] = -0.02f;
    map = tilted;
    WarpRecord inverse, normalised;
    ASSERT_TRUE(Invert3x3(tilted, inverse));
    fm.MapToNormalised(inverse, normalised);
    const float* m = normalised.m;
    const float fxfy = s.parts.camera.intrinsic[0].misc[0];
    float sum = 0.0f;
    for (int j = 0; j < 4; ++j) {
      const LA::Vector2<float> x = s.parts.view.KeyFrameNormalized()[j];
      const float d = m[8] * x.x + m[9] * x.y + m[10];
      const float u = (m[0] * x.x + m[1] * x.y + m[2]) / d,
                  v = (m[4] * x.x + m[5] * x.y + m[6]) / d;
      sum += ((x.x - u) * (x.x - u) + (x.y - v) * (x.y - v)) * fxfy;
    }
    EXPECT_NEAR(fm.ComputeParallax(k, 1, kStart, nullptr), std::sqrt(sum / 4), 1e-2f);
    map.m[8] = 0.0f, map.m[9] = 0.0f;
  }
  // A match where the key frame sees a track adds a zero, one of a solved track nothing.
  const LA::Vector2<float> x0 = s.parts.view.KeyFrameNormalized()[0];
  f.mapMatches[1].push_back(s.Match(0, 1, x0.x, x0.y));
  EXPECT_NEAR(fm.ComputeParallax(k, 1, kStart, nullptr), 32.0f * std::sqrt(0.8f), 1e-3f);
  s.W().trackFlags[0] = kTrackSolved;
  EXPECT_NEAR(fm.ComputeParallax(k, 1, kStart, nullptr), 32.0f, 1e-3f);
}

TEST_F(FrameMeasuresTest, KeyFrameErrorAndMedianDepthsOfWhatIsSeenInside) {
  std::vector<float> scratch;
  const CameraPose origin = Scene::Turned(0);
  s.parts.options.initialDepth = 2.5f;
  EXPECT_EQ(fm.ComputeMedianDepth(unset, scratch), 2.5f);
  const u32 outside = s.AddTrack(20, 0, 6), behind = s.AddTrack(0, 0, -3);
  EXPECT_EQ(fm.ComputeMedianDepth(origin, scratch), 5.0f);  // the upper median of 5, 5, 4, 2
  float mean[2];
  EXPECT_EQ(fm.ComputeKeyFrameMedianDepth(k, {0, 2, 3}, scratch, mean), 4.0f);
  EXPECT_NEAR(mean[0], (-0.2f + 0.125f - 0.25f) / 3, 1e-6f);
  EXPECT_NEAR(mean[1], (-0.1f - 0.25f + 0.5f) / 3, 1e-6f);
  const u16 k2 = s.AddKeyFrame(origin, {{outside, 0}, {behind, 0}, {4, 0}});
  EXPECT_EQ(fm.ComputeKeyFrameMedianDepth(k2, {0, 1, 2}, scratch, mean), 2.5f);
  EXPECT_TRUE(mean[0] == 0.0f && mean[1] == 0.0f);
  s.parts.view.KeyFrameNormalized()[2].x += 0.04f;  // 4 pixels over 4 features
  EXPECT_NEAR(fm.ComputeKeyFrameRms(k), 2.0f, 1e-3f);
  for (u32 t = 0; t < 4; ++t) s.W().trackFlags[t] = kTrackSolved;
  EXPECT_EQ(fm.ComputeKeyFrameRms(k), FLT_MAX);
}

TEST_F(FrameMeasuresTest, DominantPlaneNeedsTenFeaturesOnIt) {
  // Key-frame features 0 to 8 on the wall, 9 to 11 off it, 12 an outlier on it.
  const u16 wall = s.AddPlane(0, 0, -1, 5);
  std::vector<std::pair<u32, int>> features;
  for (int i = 0; i < 13; ++i)
    features.push_back(
        {s.AddTrack(0.2f * i - 0.8f, 0, 5, kInlier, i < 9 || i == 12 ? wall : kNone16), 0});
  s.W().trackFlags[features[12].first] = kTrackSolved;
  const u16 key = s.AddKeyFrame(Scene::Turned(0), features);
  std::vector<u32> list;
  u16 plane = 0;
  f.pose.slot[kVisual] = Scene::Turned(0);
  ASSERT_TRUE(fm.FindDominantPlaneFeatures(key, 1, list, plane));
  EXPECT_EQ(plane, kNone16);
  EXPECT_EQ(list, (std::vector<u32>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  s.W().trackPlanes[features[9].first] = wall;  // a tenth: the list keeps the wall's
  ASSERT_TRUE(fm.FindDominantPlaneFeatures(key, 1, list, plane));
  EXPECT_EQ(plane, wall);
  EXPECT_EQ(list, (std::vector<u32>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  // Seen from further right, the leftmost three leave the image: 9 remain.
  f.pose.slot[kVisual] = Scene::Turned(0, 7.7f);
  EXPECT_FALSE(fm.FindDominantPlaneFeatures(key, 1, list, plane));
  EXPECT_TRUE(fm.FindDominantPlaneFeatures(key, kNone16, list, plane));  // no frame asked
  EXPECT_FALSE(fm.FindDominantPlaneFeatures(key, 0, list, plane));       // no pose
  // The tracks of a provisional newest key frame are left out.
  s.AddKeyFrame(Scene::Turned(0), {features[0], features[10], features[11]}, kKeyFrameWeak);
  EXPECT_FALSE(fm.FindDominantPlaneFeatures(key, kNone16, list, plane));
  EXPECT_EQ(list.size(), 9u);
}

TEST_F(FrameMeasuresTest, MapToNormalisedIsUndoneByThePixelWarpAndKeepsAffineAndUnset) {
  // K^-1 M K: K out K^-1 gives the map back (the parallax's 32 pixels tell it from K M K^-1).
  WarpRecord map{{1.1f, 0.2f, 3, 0, -0.1f, 0.9f, -2, 0, FLT_MAX, 0, 1, 0}}, out{}, back;
  for (const bool affine : {true, false}) {
    if (!affine) map.m[8] = 0.01f, map.m[9] = -0.02f, map.m[10] = 1.05f;
    fm.MapToNormalised(map, out);
    EXPECT_EQ(out.IsAffine(), affine);
    MakePixelWarp(s.parts.camera.intrinsic[kPyramidLevels], out, back);
    for (int i : {0, 1, 2, 4, 5, 6, 8, 9, 10}) EXPECT_NEAR(back.m[i], map.m[i], 1e-4f) << i;
  }
  fm.MapToNormalised(WarpRecord{{FLT_MAX}}, out);
  EXPECT_FALSE(out.IsSet());
}

}  // namespace

// The frame measures on a hand-made map seen by a camera of f = 100 on a
// 320 x 240 image: parallax from points and from a key frame's image map,
// reprojection errors with known offsets (and FLT_MAX under an unset pose),
// depths, the distance to a key frame, the dominant plane of a key frame,
// and an image map in normalised coordinates against K^-1 M K.
#include "tracker/FrameMeasures.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>

#include "features/ImageMapMath.h"
#include "tests/common/tracker/FrameMeasuresScene.h"

namespace {

constexpr u8 kInlier = kTrackSolved | kTrackInlier;
using Scene = FrameMeasuresScene;

class FrameMeasuresTest : public ::testing::Test {
 protected:
  FrameMeasuresTest() : s(320, 240) {
    const float points[4][3] = {{-1, -0.5f, 5}, {1, 0.5f, 5}, {0.5f, -1, 4}, {-0.5f, 1, 2}};
    for (const auto& p : points) tracks.push_back(s.AddTrack(p[0], p[1], p[2]));
    k = s.AddKeyFrame(Scene::Turned(0.0f),
                      {{tracks[0], 0}, {tracks[1], 0}, {tracks[2], 1}, {tracks[3], 2}});
  }
  // Where the pose projects the track's point.
  LA::Vector2<float> Projection(const CameraPose& pose, u32 track) {
    float X[3];
    SceneRender::ToCamera(pose, s.W().points[track].v, X);
    return {X[0] / X[2], X[1] / X[2]};
  }
  Scene s;
  std::vector<u32> tracks;
  u16 k = 0;
};

TEST_F(FrameMeasuresTest, ParallaxFromThePointsWhileTrackingAndMinusOneWithNothingCounted) {
  const TrackingMode tracking{true, false};
  float angle = 0.0f;
  EXPECT_EQ(s.measures.ComputeParallax(k, 1, tracking, &angle), -1.0f);  // no pose
  // Moved 0.05 to -x: points at depth 5 shift one pixel, at 4 and 2 more.
  s.Frame().pose.slot[kVisual] = Scene::Turned(0.0f, -0.05f);
  const float expected = std::sqrt((1.0f + 1.0f + 1.25f * 1.25f + 2.5f * 2.5f) / 4.0f);
  EXPECT_NEAR(s.measures.ComputeParallax(k, 1, tracking, &angle), expected, 1e-4f);
  EXPECT_NEAR(angle, static_cast<float>(M_PI), 1e-5f);  // the key frame sees them to the left
  // A rejected or recovering frame, or the start, uses the key frame's image
  // map, here unset: nothing to count.
  EXPECT_EQ(s.measures.ComputeParallax(k, 1, {true, true}, nullptr), -1.0f);
  EXPECT_EQ(s.measures.ComputeParallax(k, 1, {false, false}, nullptr), -1.0f);
  s.Frame().rejected = 1;
  EXPECT_EQ(s.measures.ComputeParallax(k, 1, tracking, nullptr), -1.0f);
  EXPECT_EQ(s.measures.ComputeParallax(kNone16, 1, tracking, nullptr), -1.0f);
}

TEST_F(FrameMeasuresTest, ParallaxFromTheKeyFrameImageMapAndTheMatchesOfUnsolvedTracks) {
  for (u32 t : tracks) s.W().trackFlags[t] = 0;
  const TrackingMode start{false, false};
  // Alignment-image pixels of the frame two to the left of the key frame's:
  // 2 pixels of f = 6.25 are 32 pixels of level 0.
  WarpRecord& map = s.parts.view.KeyFrameMaps()[k];
  map = WarpRecord{{1, 0, 2, 0, 0, 1, 0, 0, FLT_MAX, 0, 0, 0}};
  float angle = 1.0f;
  EXPECT_NEAR(s.measures.ComputeParallax(k, 1, start, &angle), 32.0f, 1e-3f);
  EXPECT_NEAR(angle, 0.0f, 1e-6f);
  map.m[8] = 0.0f, map.m[10] = 1.0f;  // the same map, projective
  EXPECT_NEAR(s.measures.ComputeParallax(k, 1, start, nullptr), 32.0f, 1e-3f);
  // A match where the key frame sees the track adds a zero displacement;
  // one of a solved track adds nothing.
  const LA::Vector2<float> x0 = s.parts.view.KeyFrameNormalized()[0];
  s.Frame().mapMatches[1].push_back(s.Match(tracks[0], 1, x0.x, x0.y));
  EXPECT_NEAR(s.measures.ComputeParallax(k, 1, start, nullptr), 32.0f * std::sqrt(0.8f), 1e-3f);
  s.W().trackFlags[tracks[0]] = kTrackSolved;
  EXPECT_NEAR(s.measures.ComputeParallax(k, 1, start, nullptr), 32.0f, 1e-3f);
}

TEST_F(FrameMeasuresTest, ReprojectionErrorsInPixelsAndFlatMaxUnderAnUnsetPose) {
  const CameraPose pose = Scene::Turned(3.0f, 0.1f);
  TrackerFrame& f = s.Frame();
  for (int i = 0; i < 4; ++i) {  // 1 pixel at level 0, 2 pixels at level 1
    const int level = i / 2;
    const LA::Vector2<float> p = Projection(pose, tracks[i]);
    f.mapMatches[level].push_back(s.Match(tracks[i], level, p.x + 0.01f * (level + 1), p.y));
  }
  const u32 outlier = s.AddTrack(0, 0, 5, kTrackSolved);  // far off, but not an inlier
  f.mapMatches[0].push_back(s.Match(outlier, 0, 0.5f, 0.5f));
  CameraPose unset = pose;
  unset.m[0][0] = FLT_MAX;
  // Before the first patch statistics the reference pose is unset: FLT_MAX
  // makes the driver refresh them.
  f.inlierCount = 4;
  EXPECT_EQ(s.measures.ComputeReprojectionRms(1, unset), FLT_MAX);
  EXPECT_NEAR(s.measures.ComputeReprojectionRms(1, pose), std::sqrt(10.0f / 4.0f), 1e-3f);
  f.inlierCount = 0;
  EXPECT_EQ(s.measures.ComputeReprojectionRms(1, pose), FLT_MAX);
  // Level 1 weighs a quarter: (2 x 1 + 2 x 4 / 4) / (2 + 2 / 4).
  EXPECT_NEAR(s.measures.ComputeFrameRms(1, pose), std::sqrt(4.0f / 2.5f), 1e-3f);
  EXPECT_EQ(s.measures.ComputeFrameRms(1, unset), FLT_MAX);
  EXPECT_EQ(s.measures.ComputeFrameRms(0, pose), FLT_MAX);  // no matches

  EXPECT_NEAR(s.measures.ComputeKeyFrameRms(k), 0.0f, 1e-3f);
  s.parts.view.KeyFrameNormalized()[2].x += 0.04f;  // 4 pixels over 4 features
  EXPECT_NEAR(s.measures.ComputeKeyFrameRms(k), 2.0f, 1e-3f);
  for (u32 t : tracks) s.W().trackFlags[t] = kTrackSolved;
  EXPECT_EQ(s.measures.ComputeKeyFrameRms(k), FLT_MAX);
}

TEST_F(FrameMeasuresTest, DepthsOfWhatIsSeenAndTheDistanceToAKeyFrame) {
  std::vector<float> scratch;
  const CameraPose pose = Scene::Turned(0.0f);
  EXPECT_EQ(Scene(320, 240).measures.ComputeMedianDepth(pose, scratch), 1.0f);  // initial depth
  s.parts.options.initialDepth = 2.5f;
  CameraPose unset = pose;
  unset.m[0][0] = FLT_MAX;
  EXPECT_EQ(s.measures.ComputeMedianDepth(unset, scratch), 2.5f);
  // Depths 5, 5, 4, 2 in view; one outside the image, one behind, one not an inlier.
  const u32 outside = s.AddTrack(20, 0, 6), behind = s.AddTrack(0, 0, -3);
  const u32 outlier = s.AddTrack(0, 0, 9, kTrackSolved);
  EXPECT_EQ(s.measures.ComputeMedianDepth(pose, scratch), 5.0f);  // the upper median

  float mean[2] = {1, 1};
  std::vector<u32> listed = {0, 2, 3};
  EXPECT_EQ(s.measures.ComputeKeyFrameMedianDepth(k, listed, scratch, mean), 4.0f);
  EXPECT_NEAR(mean[0], (-0.2f + 0.125f - 0.25f) / 3, 1e-6f);
  EXPECT_NEAR(mean[1], (-0.1f - 0.25f + 0.5f) / 3, 1e-6f);
  const u16 k2 = s.AddKeyFrame(pose, {{outside, 0}, {behind, 0}, {outlier, 0}});
  EXPECT_EQ(s.measures.ComputeKeyFrameMedianDepth(k2, {0, 1, 2}, scratch, mean), 2.5f);
  EXPECT_TRUE(mean[0] == 0.0f && mean[1] == 0.0f);

  TrackerFrame& f = s.Frame();
  EXPECT_EQ(s.measures.ComputeMeanDepth(1), 0.0f);  // no pose
  f.pose.slot[kVisual] = pose;
  EXPECT_EQ(s.measures.ComputeMeanDepth(1), 0.0f);  // no matches
  for (u32 t : {tracks[0], tracks[2], tracks[3], outlier})
    f.mapMatches[0].push_back(s.Match(t, 0, 0, 0));
  EXPECT_FLOAT_EQ(s.measures.ComputeMeanDepth(1), 11.0f / 3.0f);

  EXPECT_EQ(s.measures.ComputeDistanceToKeyFrame(k, 0), 0.0f);  // no pose
  f.pose.slot[kVisual] = Scene::Turned(40.0f, 0.3f, 0.0f, 0.4f);
  EXPECT_NEAR(s.measures.ComputeDistanceToKeyFrame(k, 1), 0.5f, 1e-6f);
}

TEST_F(FrameMeasuresTest, DominantPlaneNeedsTenFeaturesOnIt) {
  Scene p(320, 240);
  const u16 wall = p.AddPlane(0, 0, -1, 5);
  std::vector<std::pair<u32, int>> features;
  auto add = [&](float x, u16 plane, u8 flags = kInlier) {
    features.push_back({p.AddTrack(x, 0.1f * x, 5, flags, plane), 0});
  };
  for (int i = 0; i < 9; ++i) add(0.2f * i - 0.8f, wall);
  for (int i = 0; i < 3; ++i) add(0.3f * i, kNone16);
  add(0.5f, wall, kTrackSolved);  // an outlier of the plane
  const u16 key = p.AddKeyFrame(Scene::Turned(0.0f), features);
  std::vector<u32> list;
  u16 plane = 0;
  p.Frame().pose.slot[kVisual] = Scene::Turned(0.0f);
  ASSERT_TRUE(p.measures.FindDominantPlaneFeatures(key, 1, list, plane));
  EXPECT_EQ(plane, kNone16);
  EXPECT_EQ(list, (std::vector<u32>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  // A tenth point on the wall makes it dominant; the list keeps its features.
  p.W().trackPlanes[features[9].first] = wall;
  ASSERT_TRUE(p.measures.FindDominantPlaneFeatures(key, 1, list, plane));
  EXPECT_EQ(plane, wall);
  EXPECT_EQ(list, (std::vector<u32>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  // Seen from further right, the leftmost three leave the image: 9 remain.
  p.Frame().pose.slot[kVisual] = Scene::Turned(0.0f, 7.7f);
  EXPECT_FALSE(p.measures.FindDominantPlaneFeatures(key, 1, list, plane));
  EXPECT_TRUE(p.measures.FindDominantPlaneFeatures(key, kNone16, list, plane));  // no frame asked
  EXPECT_FALSE(p.measures.FindDominantPlaneFeatures(key, 0, list, plane));       // no pose
  // The tracks of a provisional newest key frame are left out.
  p.AddKeyFrame(Scene::Turned(0.0f), {features[0], features[10], features[11]}, kKeyFrameWeak);
  EXPECT_FALSE(p.measures.FindDominantPlaneFeatures(key, kNone16, list, plane));
  EXPECT_EQ(list.size(), 9u);
}

TEST_F(FrameMeasuresTest, MapToNormalisedIsKInverseMKForAffineAndProjectiveMaps) {
  const Intrinsic& k4 = s.parts.camera.intrinsic[kPyramidLevels];
  Eigen::Matrix3f K;
  K << k4.fx[0], 0, k4.cx[0], 0, k4.fy[0], k4.cy[0], 0, 0, 1;
  const WarpRecord affine{{1.1f, 0.2f, 3, 0, -0.1f, 0.9f, -2, 0, FLT_MAX, 0, 0, 0}};
  const WarpRecord projective{{1.1f, 0.2f, 3, 0, -0.1f, 0.9f, -2, 0, 0.01f, -0.02f, 1.05f, 0}};
  for (const WarpRecord& m : {affine, projective}) {
    Eigen::Matrix3f M;
    M << m.m[0], m.m[1], m.m[2], m.m[4], m.m[5], m.m[6], 0, 0, 1;
    if (!m.IsAffine()) M.row(2) << m.m[8], m.m[9], m.m[10];
    const Eigen::Matrix3f expected = K.inverse() * M * K;
    WarpRecord out;
    s.measures.MapToNormalised(m, out);
    EXPECT_EQ(out.IsAffine(), m.IsAffine());
    for (int r = 0; r < (m.IsAffine() ? 2 : 3); ++r)
      for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(out.m[4 * r + c], expected(r, c), 1e-5f * (1 + std::fabs(expected(r, c))));
    WarpRecord back;  // and K out K^-1 is the map again
    MakePixelWarp(k4, out, back);
    for (int i : {0, 1, 2, 4, 5, 6}) EXPECT_NEAR(back.m[i], m.m[i], 1e-4f);
  }
  const WarpRecord unset{{FLT_MAX}};
  WarpRecord out{};
  s.measures.MapToNormalised(unset, out);
  EXPECT_FALSE(out.IsSet());
}

}  // namespace

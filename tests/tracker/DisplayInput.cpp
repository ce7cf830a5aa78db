// ctest-lock: x-input
// ctest-env: OPENBLAS_NUM_THREADS=1
// The display's keys, mouse, picking, 'o' objects and overlay primitives
// over the fixed display scene: selections against known pixels, the 3-D
// view moved by the wheel and drags, objects placed on the plane, and once
// real key presses through the X server.
#include <GL/gl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/tracker/DisplayScene.h"

namespace {

using display_scene::ExpectSamePose;
using display_scene::Printed;
using display_scene::Scene;
using DisplayWindowTest = display_scene::WindowTest;

constexpr u16 kKeyFrames = 2;
constexpr u16 kCurrentIndex = kKeyFrames + 2;  // display index of ring slot 2

// Level-0 pixel of a world point under a pose.
void Pixel(const CameraPose& pose, const Intrinsic& k, const float* X, float uv[2]) {
  ASSERT_TRUE(display_scene::ProjectToLevel(pose, k, X, uv));
}

// A double click with the left button; the printout is swallowed.
u32 Pick(Scene& scene, int x, int y, std::string* printed = nullptr) {
  const std::string out = Printed(
      [&] { EXPECT_TRUE(scene.tracker.Display().OnMouseDoubleClick(CVD::ImageRef(x, y), 1)); });
  if (printed) *printed = out;
  return scene.tracker.Display().SelectedTracks()[0];
}

// Every track an inlier, so that the default filter shows them all.
void MakeAllInliers(Scene& scene) {
  for (u8& f : scene.tracker.MapView().Working().trackFlags) f = kTrackSolved | kTrackInlier;
}

// The level-0 window pixel (window of the image's size) of a level pixel.
CVD::ImageRef Level0(Scene& scene, int level, float x, float y) {
  const Intrinsic& k = scene.Camera().intrinsic[level];
  const Intrinsic& k0 = scene.Camera().intrinsic[0];
  return CVD::ImageRef(
      static_cast<int>(std::lround((x - k.cx[0]) / k.fx[0] * k0.fx[0] + k0.cx[0])),
      static_cast<int>(std::lround((y - k.cy[0]) / k.fy[0] * k0.fy[0] + k0.cy[0])));
}

void ExpectNear3(const float* v, float x, float y, float z) {
  EXPECT_NEAR(v[0], x, 1e-6f);
  EXPECT_NEAR(v[1], y, 1e-6f);
  EXPECT_NEAR(v[2], z, 1e-6f);
}

CameraPose ToCameraPose(const ViewPose& v) {
  CameraPose p;
  std::copy(&v.m[0][0], &v.m[0][0] + 12, &p.m[0][0]);
  return p;
}

// One match at a level pixel.
MapMatch MatchAt(u32 track, float x, float y) {
  return {track, track, kNone32, x, y, x, y, 0.0f, 0.0f, 0};
}

TEST(DisplayKeysTest, TabTwiceReturnsAndOnlyTheDisplayKeysAreHandled) {
  Scene scene;
  Tracker& t = scene.tracker;
  TrackerDisplay& d = t.Display();
  t.ConnectEvents();
  ASSERT_TRUE(d.ImageView());
  // Through the dispatcher, as the window delivers them.
  t.handler.KeyDown(9);
  EXPECT_FALSE(d.ImageView());
  t.handler.KeyDown(9);
  EXPECT_TRUE(d.ImageView());
  ASSERT_FALSE(d.Paused());
  EXPECT_TRUE(d.OnKeyDown(19));
  EXPECT_TRUE(d.Paused());
  EXPECT_TRUE(d.OnKeyDown(19));
  EXPECT_FALSE(d.Paused());
  EXPECT_TRUE(d.OnKeyDown(1));
  for (const int key : {0, 2, 18, 20, int{'a'}, int{'O'}, 110, 112, 13, 27})
    EXPECT_FALSE(d.OnKeyDown(key)) << key;
  EXPECT_FALSE(t.StopRequested());
  t.handler.KeyDown(27);
  EXPECT_TRUE(t.StopRequested());
  EXPECT_TRUE(t.handler.quit);
}

TEST(DisplayKeysTest, OPlacesAnObjectOnThePlaneOnlyWithAKeyFrameLink) {
  Scene scene;
  Tracker& t = scene.tracker;
  TrackerDisplay& d = t.Display();
  std::vector<TrackerObject>& objects = t.Objects().List();
  ASSERT_EQ(objects.size(), 1u);
  // Slot 1 links only to key frame 0 (near), and is rejected: still honoured.
  d.SetCurrentFrame(kKeyFrames + 1);
  ASSERT_EQ(d.ShownFrame(), 1);
  EXPECT_TRUE(d.OnKeyDown(111));
  ASSERT_EQ(objects.size(), 2u);
  const TrackerObject& o = objects[1];
  EXPECT_EQ(o.anchorKeyFrame, 0);
  ASSERT_GE(o.features.Size(), 10u);
  // The support points are the ground plane's (the dominant plane).
  const MapWorkingCopy& w = scene.Working();
  const u32 base = w.keyFrameMeasurementStart[0];
  for (u32 i = 0; i < o.features.Size(); ++i) {
    const u32 track = w.measurementTracks[base + o.features[i]];
    EXPECT_EQ(w.trackPlanes[track], 0);
    EXPECT_EQ(o.points[i].v[2], w.points[track].v[2]);
  }
  // Object into map: its z axis is the plane normal, it rests on the plane
  // at its size towards the cameras (which look along +z from z < 0), and
  // its size is 0.1 of the view scale at the median depth.
  const LA::AlignedMatrix4f& M = o.transforms[kPoseMatrix];
  const float* n = w.planes[0].v;
  for (int r = 0; r < 3; ++r) EXPECT_NEAR(M.m[r][2], n[r], 1e-5f);
  EXPECT_NEAR(M.m[2][3], -o.scale, 1e-4f);
  float c0[3];
  CameraCentre(scene.KeyFramePose(0), c0);
  const float depth = -c0[2];  // the key frame looks straight down at the plane
  EXPECT_NEAR(o.scale, std::min(640.0f, 480.0f) / scene.Camera().intrinsic[0].fx[0] * depth * 0.1f,
              1e-3f);
  EXPECT_EQ(M.m[3][0], 1.0f);
  // Seen straight down, the ray through the support features' mean image
  // position meets the plane at their mean: the object stands there.
  float mean[2] = {0.0f, 0.0f};
  for (u32 i = 0; i < o.points.Size(); ++i)
    for (int k = 0; k < 2; ++k) mean[k] += o.points[i].v[k] / static_cast<float>(o.points.Size());
  EXPECT_NEAR(M.m[0][3], mean[0], 1e-3f);
  EXPECT_NEAR(M.m[1][3], mean[1], 1e-3f);
  // Nothing has moved yet: the model is the identity (scale row of ones) and
  // the registration matrix is the pose.
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      EXPECT_EQ(o.transforms[kModelMatrix].m[r][c], r == c || r == 3 ? 1.0f : 0.0f) << r << c;
      EXPECT_EQ(o.transforms[kRegistrationMatrix].m[r][c], M.m[r][c]) << r << c;
    }

  // Without any key-frame link nothing is added.
  TrackerFrame& f = scene.Frame(1);
  f.alignedKeyFrame = f.nearKeyFrame = f.relocalisationKeyFrame = f.imuKeyFrame = kNone16;
  EXPECT_TRUE(d.OnKeyDown(111));
  EXPECT_EQ(objects.size(), 2u);
  EXPECT_FALSE(d.AddObjectFromView());
  // A shown key frame anchors on itself.
  d.SetCurrentFrame(1);
  EXPECT_TRUE(d.AddObjectFromView());
  ASSERT_EQ(objects.size(), 3u);
  EXPECT_EQ(objects[2].anchorKeyFrame, 1);
}

TEST(DisplayInputTest, PlaceObjectMeetsThePlaneInFrontOrFallsBackToTheDepthOnTheRay) {
  CameraPose I{};
  for (int r = 0; r < 3; ++r) I.m[r][r] = 1.0f;
  float R[3][3], X[3];
  // No plane: at the depth on the ray, turned as the camera.
  const float mean[2] = {0.1f, -0.2f};
  TrackerDisplay::PlaceObject(I, mean, 2.0f, 0.5f, nullptr, R, X);
  ExpectNear3(X, 0.2f, -0.4f, 2.0f);
  for (int r = 0; r < 3; ++r) ExpectNear3(R[r], r == 0, r == 1, r == 2);
  // The plane z = 3, normal towards the camera: met at s = 3, then lifted by
  // the size towards the camera; R turns n onto +z.
  const float facing[4] = {0.0f, 0.0f, -1.0f, 3.0f};
  TrackerDisplay::PlaceObject(I, mean, 2.0f, 0.5f, facing, R, X);
  ExpectNear3(X, 0.3f, -0.6f, 2.5f);
  ExpectNear3(R[2], 0.0f, 0.0f, -1.0f);
  // The normal away from the camera: still lifted towards it.
  const float away[4] = {0.0f, 0.0f, 1.0f, -3.0f};
  TrackerDisplay::PlaceObject(I, mean, 2.0f, 0.5f, away, R, X);
  ExpectNear3(X, 0.3f, -0.6f, 2.5f);
  // A ray along the plane, a plane behind the camera: as without a plane.
  const float along[4] = {1.0f, 0.0f, 0.0f, -5.0f}, side[2] = {0.0f, 0.3f};
  TrackerDisplay::PlaceObject(I, side, 2.0f, 0.5f, along, R, X);
  ExpectNear3(X, 0.0f, 0.6f, 2.0f);
  const float behind[4] = {0.0f, 0.0f, 1.0f, 3.0f};
  TrackerDisplay::PlaceObject(I, mean, 2.0f, 0.5f, behind, R, X);
  ExpectNear3(X, 0.2f, -0.4f, 2.0f);
  ExpectNear3(R[2], 0.0f, 0.0f, 1.0f);
  // A camera at (1, 2, -4) looking along (0.6, 0.8, 0) onto the plane
  // 0.8 x + 0.6 z = 5: the ray (0.68, 0.74, 0.2) meets it at s = 6.6 / 0.664,
  // and the normal points along the view, so the lift is against it.
  const CameraPose P{
      {{{0.8f, -0.6f, 0.0f, 0.4f}, {0.0f, 0.0f, -1.0f, -4.0f}, {0.6f, 0.8f, 0.0f, -2.2f}}}};
  const float wall[4] = {0.8f, 0.0f, 0.6f, -5.0f};
  TrackerDisplay::PlaceObject(P, mean, 2.0f, 0.5f, wall, R, X);
  const float s = 6.6f / 0.664f;
  EXPECT_NEAR(X[0], 1.0f + 0.68f * s - 0.4f, 1e-5f);
  EXPECT_NEAR(X[1], 2.0f + 0.74f * s, 1e-5f);
  EXPECT_NEAR(X[2], -4.0f + 0.2f * s - 0.3f, 1e-5f);
  TrackerDisplay::PlaceObject(P, mean, 2.0f, 0.5f, nullptr, R, X);
  EXPECT_NEAR(X[0], 2.36f, 1e-5f);
  EXPECT_NEAR(X[1], 3.48f, 1e-5f);
  EXPECT_NEAR(X[2], -3.6f, 1e-5f);
  ExpectNear3(R[2], 0.6f, 0.8f, 0.0f);
}

TEST(DisplayInputTest, ResizeScalesClicksAndTheRightButtonOnlyPrints) {
  Scene scene;
  TrackerDisplay& d = scene.tracker.Display();
  const auto rightClick = [&] {
    return Printed([&] { EXPECT_TRUE(d.OnMouseDoubleClick(CVD::ImageRef(100, 50), 4)); });
  };
  d.OnResize(CVD::ImageRef(1280, 960));
  EXPECT_EQ(rightClick(), "click = (50.000000, 25.000000)\n");
  d.OnResize(CVD::ImageRef(0, 0));  // a window of no size keeps the last scales
  EXPECT_EQ(rightClick(), "click = (50.000000, 25.000000)\n");
  EXPECT_EQ(d.SelectedTracks()[0], kNone32);
  // Wheel codes are no double clicks.
  EXPECT_FALSE(d.OnMouseDoubleClick(CVD::ImageRef(100, 50), 32));
  EXPECT_FALSE(d.OnMouseDoubleClick(CVD::ImageRef(100, 50), 64));
}

TEST(DisplayPickTest, NearestWithinFivePixelsLaterEqualWinsNothingPrintsTheEmptySelection) {
  Scene scene;
  MakeAllInliers(scene);
  TrackerDisplay& d = scene.tracker.Display();
  d.SetCurrentFrame(kCurrentIndex);
  ASSERT_EQ(d.ShownFrame(), 2);
  TrackerFrame& f = scene.Frame(2);
  for (int l = 0; l < kPyramidLevels; ++l) f.mapMatches[l].clear();
  f.candidates[0].clear();
  f.misses[0].clear();
  // Two tracks at one pixel (the later wins), one 3 pixels off, one on level 2.
  f.mapMatches[0] = {MatchAt(5, 200.0f, 100.0f),  MatchAt(6, 200.0f, 100.0f),
                     MatchAt(7, 203.0f, 100.0f),  MatchAt(8, 320.05f, 240.0f),
                     MatchAt(9, 419.95f, 240.0f), MatchAt(11, 500.0f, 300.05f)};
  f.mapMatches[2] = {MatchAt(10, 25.0f, 100.0f)};
  EXPECT_EQ(Pick(scene, 200, 100), 6u);
  EXPECT_EQ(Pick(scene, 203, 101), 7u);
  EXPECT_EQ(Pick(scene, 202, 100), 7u);  // 1 against 2 pixels
  const CVD::ImageRef deep = Level0(scene, 2, 25.0f, 100.0f);
  EXPECT_EQ(Pick(scene, deep.x, deep.y), 10u);
  // The tolerance is strict, five window pixels: 4.95 in, 5.05 out.
  EXPECT_EQ(Pick(scene, 325, 240), 8u);
  std::string printed;
  EXPECT_EQ(Pick(scene, 425, 240, &printed), kNone32);
  EXPECT_EQ(printed.find("Track"), std::string::npos);
  EXPECT_EQ(d.SelectedTracks()[1], kNone32);
  EXPECT_EQ(Pick(scene, 500, 305), 11u);
  EXPECT_EQ(Pick(scene, 500, 295), kNone32);
  // Filtered tracks are not offered.
  scene.tracker.MapView().Working().trackFlags[8] = kTrackSolved;
  EXPECT_EQ(Pick(scene, 321, 240), kNone32);
  // With a larger window the tolerance is five window pixels still.
  d.OnResize(CVD::ImageRef(1280, 960));
  EXPECT_EQ(Pick(scene, 400, 204), 6u);  // 2 image pixels, 4 window pixels
  EXPECT_EQ(Pick(scene, 400, 206), kNone32);
}

TEST(DisplayPickTest, ThePoseViewPicksWhereTheImageMapCarriesTheMatches) {
  Scene scene;
  MakeAllInliers(scene);
  TrackerDisplay& d = scene.tracker.Display();
  d.SetCurrentFrame(kKeyFrames);  // slot 0, the oldest
  ASSERT_EQ(d.ShownFrame(), 0);
  TrackerFrame& f = scene.Frame(0);
  for (int l = 0; l < kPyramidLevels; ++l) f.mapMatches[l].clear();
  f.mapMatches[0] = {MatchAt(5, 400.0f, 240.0f)};
  // Current alignment pixels 8 to the left of slot 0's: slot 0's positions
  // come 8 alignment pixels left in the current frame.
  WarpRecord& map = scene.tracker.Ring().Map(0);
  SetIdentityMap(map);
  map.m[2] = 8.0f;
  const float shift =
      8.0f / scene.Camera().intrinsic[kPyramidLevels].fx[0] * scene.Camera().intrinsic[0].fx[0];
  ASSERT_GT(shift, 20.0f);
  const int x = static_cast<int>(std::lround(400.0f - shift));
  EXPECT_EQ(Pick(scene, 400, 240), 5u);
  d.SetPoseView(true);
  EXPECT_EQ(Pick(scene, 400, 240), kNone32);
  EXPECT_EQ(Pick(scene, x, 240), 5u);
  // The warped primitives draw where the picks look: a solved track's
  // projection and an unsolved one's prediction, both moved.
  const float dx = 8.0f / scene.Camera().intrinsic[kPyramidLevels].fx[0];
  const CameraPose& pose = f.pose.slot[kVisual];
  float p[2], depth, out[2];
  ASSERT_TRUE(d.ProjectTrack(5, pose.m, p, depth));
  const float predicted[2] = {0.1f, 0.2f};
  d.DrawTrackLineWarped(5, predicted, pose, out);
  EXPECT_NEAR(out[0], p[0] - dx, 1e-5f);
  EXPECT_NEAR(out[1], p[1], 1e-5f);
  EXPECT_NEAR(d.DrawTrackPointWarped(5, pose), depth, 1e-5f);
  scene.tracker.MapView().Working().trackFlags[5] = kTrackInlier;
  d.DrawTrackLineWarped(5, predicted, pose, out);
  EXPECT_NEAR(out[0], predicted[0] - dx, 1e-5f);
  EXPECT_NEAR(out[1], predicted[1], 1e-5f);
  scene.tracker.MapView().Working().trackFlags[5] = kTrackSolved | kTrackInlier;
  // Unset map: positions stay.
  map.m[0] = FLT_MAX;
  EXPECT_EQ(Pick(scene, 400, 240), 5u);
}

TEST(DisplayPickTest, ThePoseViewFollowsTheImageMapChangedInPlace) {
  Scene scene;
  MakeAllInliers(scene);
  TrackerDisplay& d = scene.tracker.Display();
  d.SetCurrentFrame(kKeyFrames);
  TrackerFrame& f = scene.Frame(0);
  for (int l = 0; l < kPyramidLevels; ++l) f.mapMatches[l].clear();
  f.mapMatches[0] = {MatchAt(5, 400.0f, 240.0f)};
  WarpRecord& map = scene.tracker.Ring().Map(0);
  SetIdentityMap(map);
  map.m[2] = 8.0f;
  const float shift =
      8.0f / scene.Camera().intrinsic[kPyramidLevels].fx[0] * scene.Camera().intrinsic[0].fx[0];
  const int left = static_cast<int>(std::lround(400.0f - shift));
  const int right = static_cast<int>(std::lround(400.0f + shift));
  d.SetPoseView(true);
  EXPECT_EQ(Pick(scene, left, 240), 5u);
  // The same record rewritten between frames: the opposite shift.
  map.m[2] = -8.0f;
  EXPECT_EQ(Pick(scene, left, 240), kNone32);
  EXPECT_EQ(Pick(scene, right, 240), 5u);
  // A singular map cannot be drawn back: positions stay, and the next
  // invertible map is used again.
  const WarpRecord kept = map;
  for (int i = 0; i < 8; ++i) map.m[i] = 0.0f;
  EXPECT_EQ(Pick(scene, 400, 240), 5u);
  map = kept;
  EXPECT_EQ(Pick(scene, right, 240), 5u);
  EXPECT_EQ(Pick(scene, 400, 240), kNone32);
}

TEST(DisplayPickTest, ImageMatchListsOnlyInTheFirstDisplayModeAndOnlyTheShownLevel) {
  Scene scene;
  MakeAllInliers(scene);
  TrackerDisplay& d = scene.tracker.Display();
  d.SetCurrentFrame(kCurrentIndex);
  TrackerFrame& f = scene.Frame(2);
  for (int l = 0; l < kPyramidLevels; ++l) f.mapMatches[l].clear();
  f.candidates[1] = {{11, 11, kNone32, 50.0f, 60.0f}};
  f.lost[0] = {{12, 12, kNone32, 300.0f, 300.0f}};
  f.misses[0] = {{13, 13, kNone32, 540.0f, 380.0f}};
  ASSERT_EQ(d.Setting(kDisplayMode), 1u);
  const CVD::ImageRef candidate = Level0(scene, 1, 50.0f, 60.0f);
  EXPECT_EQ(Pick(scene, candidate.x, candidate.y), 11u);
  EXPECT_EQ(Pick(scene, 300, 300), 12u);
  EXPECT_EQ(Pick(scene, 540, 380), 13u);
  // One level shown: that level's lists alone.
  d.SetShownLevel(1);
  EXPECT_EQ(Pick(scene, candidate.x, candidate.y), 11u);
  EXPECT_EQ(Pick(scene, 300, 300), kNone32);
  d.SetShownLevel(0);
  EXPECT_EQ(Pick(scene, 300, 300), 12u);
  EXPECT_EQ(Pick(scene, candidate.x, candidate.y), kNone32);
  // Level 4 shows a ring frame's every level.
  d.SetShownLevel(4);
  EXPECT_EQ(Pick(scene, candidate.x, candidate.y), 11u);
  EXPECT_EQ(Pick(scene, 540, 380), 13u);
  d.SetSetting(kDisplayMode, 2);
  EXPECT_EQ(Pick(scene, 540, 380), kNone32);
  EXPECT_EQ(Pick(scene, candidate.x, candidate.y), kNone32);
}

TEST(DisplayPickTest, KeyFrameFeaturesAndMapPointsInTheThreeDView) {
  Scene scene;
  MakeAllInliers(scene);
  TrackerDisplay& d = scene.tracker.Display();
  const MapWorkingCopy& w = scene.Working();
  const Intrinsic& k = scene.Camera().intrinsic[0];
  // Key frame 1 shown: a level-3 feature with no other feature within 6
  // pixels is picked at its pixel, from its level or the map's pass only.
  d.SetCurrentFrame(1);
  const u16* offsets = w.keyFrames[1].levelOffsets;
  const u32 base = w.keyFrameMeasurementStart[1];
  const auto& features = scene.View().KeyFrameNormalized();
  auto pixel = [&](u32 i) {
    return CVD::ImageRef(static_cast<int>(std::lround(features[i].x * k.fx[0] + k.cx[0])),
                         static_cast<int>(std::lround(features[i].y * k.fy[0] + k.cy[0])));
  };
  u32 lone = kNone32;
  for (u32 i = base + offsets[3]; i < base + offsets[4] && lone == kNone32; ++i) {
    bool alone = true;
    for (u32 j = base; j < base + offsets[4]; ++j)
      alone &= j == i || std::hypot((features[i].x - features[j].x) * k.fx[0],
                                    (features[i].y - features[j].y) * k.fy[0]) > 6.0f;
    if (alone) lone = i;
  }
  ASSERT_NE(lone, kNone32);
  const u32 track = w.measurementTracks[lone];
  const CVD::ImageRef at = pixel(lone);
  EXPECT_EQ(Pick(scene, at.x, at.y), track);
  d.SetSetting(kDisplayMode, 3);  // the features alone
  for (const u8 level : {3, 4}) {
    d.SetShownLevel(level);
    EXPECT_EQ(Pick(scene, at.x, at.y), track) << int{level};
  }
  d.SetSetting(kDisplayMode, 1);
  // Other levels find it only in the first display mode, where the key
  // frame's tracks are offered at their projections too.
  for (const u8 level : {0, 2}) {
    d.SetShownLevel(level);
    EXPECT_EQ(Pick(scene, at.x, at.y), track) << int{level};
    d.SetSetting(kDisplayMode, 3);
    EXPECT_EQ(Pick(scene, at.x, at.y), kNone32) << int{level};
    d.SetSetting(kDisplayMode, 1);
  }
  d.SetShownLevel(5);

  // The 3-D view picks map points under the view pose.
  d.SetupProjection();
  d.SetupView();
  d.CenterView();
  ASSERT_TRUE(d.OnKeyDown(9));
  float uv[2] = {0, 0}, z;
  Pixel(scene.KeyFramePose(1), k, scene.Point(track), uv);
  // The nearest other point in view decides what the click must give.
  float nearest = FLT_MAX;
  for (u32 t = 0; t < scene.TrackCount(); ++t) {
    float q[2];
    if (t != track &&
        display_scene::ProjectToLevel(scene.KeyFramePose(1), k, scene.Point(t), q, &z))
      nearest = std::min(nearest, std::hypot(q[0] - uv[0], q[1] - uv[1]));
  }
  const u32 picked =
      Pick(scene, static_cast<int>(std::lround(uv[0])), static_cast<int>(std::lround(uv[1])));
  if (nearest > 6.0f) {
    EXPECT_EQ(picked, track);
  }
  // Nothing where no point projects.
  EXPECT_EQ(Pick(scene, 2, 2), kNone32);
}

// The 3-D view at key frame 0 in a window of the image's size.
void ViewKeyFrame0(TrackerDisplay& d) {
  d.OnResize(CVD::ImageRef(640, 480));
  d.SetupProjection();
  d.SetupView();
  d.SetCurrentFrame(0);
  d.CenterView();
}

TEST(DisplayMouseTest, WheelMovesAlongTheViewAxisAndReleasesKeepTheView) {
  Scene scene;
  Tracker& t = scene.tracker;
  TrackerDisplay& d = t.Display();
  ViewKeyFrame0(d);
  const ViewPose start = d.CurrentViewPose();
  ExpectSamePose(start, scene.KeyFramePose(0), 1e-5f);
  // The image view ignores the mouse.
  d.OnMouseUp(CVD::ImageRef(10, 10), 32);
  ExpectSamePose(d.CurrentViewPose(), start, 0.0f);
  d.OnKeyDown(9);
  // A right drag carries the world point at the pivot depth (5, the median
  // depth) under the press pixel along with the mouse.
  const CVD::ImageRef press(300, 200), to(380, 150);
  const LA::AlignedVector4f a = d.UnprojectAtDepth(press, 5.0f);
  const ViewPose& v = d.CurrentViewPose();
  float X[3], e[3];
  for (int i = 0; i < 3; ++i) e[i] = a.v[i] - v.m[i][3];
  for (int i = 0; i < 3; ++i) X[i] = v.m[0][i] * e[0] + v.m[1][i] * e[1] + v.m[2][i] * e[2];
  d.OnMouseDown(press, 4);
  EXPECT_TRUE(d.OnMouseDrag(press, to, 4));
  float uv[2], z;
  ASSERT_TRUE(
      display_scene::ProjectToLevel(ToCameraPose(v), scene.Camera().intrinsic[0], X, uv, &z));
  EXPECT_NEAR(z, 5.0f, 1e-3f);
  EXPECT_NEAR(uv[0], to.x, 0.05f);
  EXPECT_NEAR(uv[1], to.y, 0.05f);

  // Wheel up: forward by the median depth (5) / height x 100; down: back by
  // the step of the depth now seen, which is nearer.
  float c0[3];
  CameraCentre(scene.KeyFramePose(0), c0);
  const float step = -c0[2] / 480.0f * 100.0f;
  ViewPose expected = d.CurrentViewPose();
  expected.m[2][3] -= step;
  d.OnMouseUp(CVD::ImageRef(10, 10), 32);
  ExpectSamePose(d.CurrentViewPose(), expected, 1e-3f);
  d.OnMouseUp(CVD::ImageRef(10, 10), 64);
  expected.m[2][3] += (-c0[2] - step) / 480.0f * 100.0f;
  ExpectSamePose(d.CurrentViewPose(), expected, 1e-3f);

  // An arcball drag turns the view; a release after it moves the pivot but
  // not the view, a release without a drag does nothing.
  d.OnMouseDown(CVD::ImageRef(320, 240), 1);
  EXPECT_TRUE(d.OnMouseDrag(CVD::ImageRef(320, 240), CVD::ImageRef(420, 260), 1));
  const ViewPose turned = d.CurrentViewPose();
  EXPECT_GT(std::fabs(turned.m[0][0] - start.m[0][0]) + std::fabs(turned.m[0][2] - start.m[0][2]),
            1e-3f);
  t.handler.dragging = 1;
  d.OnMouseUp(CVD::ImageRef(420, 260), 1);
  t.handler.dragging = 0;
  ExpectSamePose(d.CurrentViewPose(), turned, 1e-4f);
  const ViewPose released = d.CurrentViewPose();
  d.OnMouseUp(CVD::ImageRef(420, 260), 1);
  ExpectSamePose(d.CurrentViewPose(), released, 0.0f);

  // The image view has no drag.
  d.OnKeyDown(9);
  EXPECT_FALSE(d.OnMouseDrag(press, to, 4));
}

TEST(DisplayPrimitivesTest, TracksProjectOnlyInFrontAndOutlinesScaleAboutTheCentre) {
  Scene scene;
  TrackerDisplay& d = scene.tracker.Display();
  MapWorkingCopy& w = scene.tracker.MapView().Working();
  const CameraPose& pose = scene.KeyFramePose(0);
  u32 t = 0;
  while (t < w.points.Size() && !(w.trackFlags[t] & kTrackSolved)) ++t;
  ASSERT_LT(t, w.points.Size());
  float p[2], depth, uv[2], z;
  ASSERT_TRUE(
      display_scene::ProjectToLevel(pose, scene.Camera().intrinsic[0], scene.Point(t), uv, &z));
  ASSERT_TRUE(d.ProjectTrack(t, pose.m, p, depth));
  const Intrinsic& k = scene.Camera().intrinsic[0];
  EXPECT_NEAR(p[0], (uv[0] - k.cx[0]) / k.fx[0], 1e-5f);
  EXPECT_NEAR(p[1], (uv[1] - k.cy[0]) / k.fy[0], 1e-5f);
  EXPECT_NEAR(depth, z, 1e-4f);
  EXPECT_NEAR(d.DrawTrackPoint(t, pose), z, 1e-4f);
  // The scene's points lie in the plane z = 0: one lifted off it projects
  // through every column of the pose.
  {
    const LA::AlignedVector4f kept = w.points[t];
    w.points[t].v[2] = 0.25f;
    float lifted[2], liftedDepth;
    ASSERT_TRUE(display_scene::ProjectToLevel(pose, k, w.points[t].v, uv, &z));
    ASSERT_TRUE(d.ProjectTrack(t, pose.m, lifted, liftedDepth));
    EXPECT_NEAR(lifted[0], (uv[0] - k.cx[0]) / k.fx[0], 1e-5f);
    EXPECT_NEAR(lifted[1], (uv[1] - k.cy[0]) / k.fy[0], 1e-5f);
    EXPECT_NEAR(liftedDepth, z, 1e-4f);
    w.points[t] = kept;
    z = depth;
  }
  // The predicted position goes out for an unsolved track, the projection
  // for a solved one.
  const float predicted[2] = {0.25f, -0.125f};
  float out[2];
  d.DrawTrackLine(t, predicted, pose, out);
  EXPECT_NEAR(out[0], p[0], 1e-6f);
  const u8 flags = w.trackFlags[t];
  w.trackFlags[t] = kTrackInlier;
  EXPECT_FALSE(d.ProjectTrack(t, pose.m, p, depth));
  EXPECT_EQ(depth, -1.0f);
  EXPECT_EQ(d.DrawTrackPoint(t, pose), -1.0f);
  d.DrawTrackLine(t, predicted, pose, out);
  EXPECT_EQ(out[0], predicted[0]);
  EXPECT_EQ(out[1], predicted[1]);
  w.trackFlags[t] = flags;
  // Behind the camera (the pose turned round) or in its plane: not drawn.
  CameraPose back = pose;
  for (int c = 0; c < 4; ++c) back.m[2][c] = -pose.m[2][c], back.m[0][c] = -pose.m[0][c];
  EXPECT_FALSE(d.ProjectTrack(t, back.m, p, depth));
  EXPECT_NEAR(depth, -z, 1e-4f);
  EXPECT_LT(d.DrawTrackPoint(t, back), 0.0f);
  CameraPose flat = pose;
  flat.m[2][3] -= z;
  EXPECT_FALSE(d.ProjectTrack(t, flat.m, p, depth));
  CameraPose unset = pose;
  unset.m[0][0] = FLT_MAX;
  EXPECT_FALSE(d.ProjectTrack(t, unset.m, p, depth));
  EXPECT_FALSE(d.ProjectTrack(w.points.Size(), pose.m, p, depth));

  // Patch outline: corners 0, 1, 3, 2, 0 of a level-1 patch, twice as far
  // from its centre with the square scale 2.
  FeaturePatch patch{};
  patch.x = 100.0f, patch.y = 50.0f, patch.level = 1;
  const float corners[4][2] = {{96, 46}, {96, 53}, {103, 46}, {103, 53}};
  const float scaled[4][2] = {{92, 42}, {92, 56}, {106, 42}, {106, 56}};
  std::copy(&corners[0][0], &corners[0][0] + 8, &patch.corners[0][0]);
  d.SetScale(kSquareScale, 2.0f);
  float v[5][2];
  d.PatchOutlineVertices(patch, v);
  const Intrinsic& k1 = scene.Camera().intrinsic[1];
  const int order[5] = {0, 1, 3, 2, 0};
  for (int i = 0; i < 5; ++i) {
    EXPECT_NEAR(v[i][0], (scaled[order[i]][0] - k1.cx[0]) / k1.fx[0], 1e-6f);
    EXPECT_NEAR(v[i][1], (scaled[order[i]][1] - k1.cy[0]) / k1.fy[0], 1e-6f);
  }
}

TEST(DisplaySelectionTest, SelectedPatchOfAKeyFrameAndRecordingRowsFlipped) {
  Scene scene;
  TrackerDisplay& d = scene.tracker.Display();
  // Nothing selected: the list size.
  EXPECT_EQ(d.FindSelectedPatchOfKeyFrame(0), 0u);
  const MapWorkingCopy& w = scene.Working();
  const u32 track = w.measurementTracks[w.keyFrameMeasurementStart[1]];
  Printed([&] { d.PrintSelection(track); });
  const u16 source = scene.View().Patches()[track].keyFrame;
  EXPECT_EQ(d.FindSelectedPatchOfKeyFrame(source), 0u);
  EXPECT_EQ(d.FindSelectedPatchOfKeyFrame(static_cast<u16>(1 - source)), 1u);

  // Flipping the recording reverses its rows; the middle row stays.
  d.FlipRecordingImageRows();  // empty: nothing to do
  for (const int h : {4, 5}) {
    CVD::Image<CVD::Rgba<u8>>& image = d.RecordingImage();
    image.resize(CVD::ImageRef(3, h));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < 3; ++x) image[y][x] = CVD::Rgba<u8>(y, x, 7, 255);
    d.FlipRecordingImageRows();
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < 3; ++x) {
        EXPECT_EQ(image[y][x].red, h - 1 - y) << h << " " << y;
        EXPECT_EQ(image[y][x].green, x);
      }
  }
}

TEST_F(DisplayWindowTest, PrimitivesDrawOnTheirPixels) {
  Tracker& t = scene->tracker;
  t.MakeCurrent();
  TrackerDisplay& d = Display();
  const Intrinsic& k = t.Camera().intrinsic[0];
  // Normalised coordinates of a pixel centre.
  auto nx = [&](float x) { return (x + 0.5f - k.cx[0]) / k.fx[0]; };
  auto ny = [&](float y) { return (y + 0.5f - k.cy[0]) / k.fy[0]; };
  glClearColor(0, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glTranslatef(k.cx[0], k.cy[0], 0.0f);
  glScalef(k.fx[0], k.fy[0], 1.0f);
  // A cross of 5 pixels' half-size at (200, 100), a selected one at (200, 300).
  d.DrawCross(nx(200), ny(100), 5.0f / k.fx[0], 5.0f / k.fy[0], 3);
  Printed([&] { d.PrintSelection(3); });
  d.DrawCross(nx(200), ny(300), 5.0f / k.fx[0], 5.0f / k.fy[0], 3);
  // A red point at level pixel (300, 200), a white square round (400, 300).
  glColor3ub(255, 0, 0);
  d.DrawPoint(300.5f, 200.5f, k);
  glColor3ub(255, 255, 255);
  d.DrawSquare(nx(400), ny(300), k.fx[0]);
  // A magenta outline of a patch of the shown key frame, none of another.
  FeaturePatch patch{};
  patch.x = 500.5f, patch.y = 100.5f, patch.keyFrame = 1;
  const float corners[4][2] = {{-4, -4}, {-4, 4}, {4, -4}, {4, 4}};
  for (int i = 0; i < 4; ++i) {
    patch.corners[i][0] = patch.x + corners[i][0];
    patch.corners[i][1] = patch.y + corners[i][1];
  }
  glColor3ub(255, 0, 255);
  d.ShowKeyFrame(1);
  d.DrawPatchOutline(patch);
  patch.x += 50.0f;
  for (auto& c : patch.corners) c[0] += 50.0f;
  d.ShowKeyFrame(0);
  d.DrawPatchOutline(patch);
  const display_scene::Screenshot s = display_scene::ReadBack();

  for (const int a : {-4, -1, 1, 4}) {
    EXPECT_TRUE(s.Is(200 + a, 100, 0, 255, 0)) << a;
    EXPECT_TRUE(s.Is(200, 100 + a, 0, 255, 0)) << a;
    EXPECT_TRUE(s.Is(200 + a, 300, 0, 0, 255)) << a;
  }
  EXPECT_TRUE(s.Is(200, 107, 0, 0, 0));
  EXPECT_TRUE(s.Is(203, 103, 0, 0, 0));
  EXPECT_TRUE(s.Is(300, 200, 255, 0, 0));
  EXPECT_TRUE(s.Is(301, 200, 0, 0, 0));
  // The square's sides 8 pixels apart, its inside empty.
  for (const int a : {-3, 0, 3}) {
    EXPECT_TRUE(s.Is(396, 300 + a, 255, 255, 255)) << a;
    EXPECT_TRUE(s.Is(404, 300 + a, 255, 255, 255)) << a;
    EXPECT_TRUE(s.Is(400 + a, 296, 255, 255, 255)) << a;
  }
  EXPECT_TRUE(s.Is(400, 300, 0, 0, 0));
  EXPECT_TRUE(s.Is(496, 100, 255, 0, 255));
  EXPECT_TRUE(s.Is(504, 100, 255, 0, 255));
  EXPECT_TRUE(s.Is(500, 100, 0, 0, 0));
  EXPECT_TRUE(s.Is(546, 100, 0, 0, 0));
}

TEST_F(DisplayWindowTest, RealKeysToggleTheViewAndThePauseAndEscapeQuits) {
  Tracker& t = scene->tracker;
  if (!HasXdotool()) GTEST_SKIP() << "xdotool missing";
  ASSERT_TRUE(FocusWindow("display")) << "the window was not mapped and focused in time";
  ASSERT_EQ(std::system(PressKeys("Tab ctrl+s Tab Tab ctrl+s ctrl+s Escape").c_str()), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!t.StopRequested() && std::chrono::steady_clock::now() < deadline) {
    t.SwapAndPumpEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(t.StopRequested());
  EXPECT_TRUE(t.handler.quit);
  // Three Tabs: the map view; three pauses: paused.
  EXPECT_FALSE(Display().ImageView());
  EXPECT_TRUE(Display().Paused());
}

}  // namespace

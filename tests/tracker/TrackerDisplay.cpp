// The display's update, selection, printouts, status lines, key-frame bar
// and recording over the fixed display scene; the window tests read pixels
// back under Xvfb, write what they saw under screenshots/ for a person to
// look at, and skip when no window can be opened.
#include "tracker/TrackerDisplay.h"

#include <GL/gl.h>
#include <cvd/image_io.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/WindowSupport.h"
#include "common/tracker/DisplayScene.h"

namespace {

using display_scene::Scene;
constexpr u16 kKeyFrames = 2;
constexpr int kWidth = display_scene::kWidth, kHeight = display_scene::kHeight;

// What a call printed on standard output.
template <class Call>
std::string Printed(Call call) {
  testing::internal::CaptureStdout();
  call();
  return testing::internal::GetCapturedStdout();
}

// The fixture's own promises: what the display tests count on.
TEST(DisplaySceneTest, MatchesLieAtTheProjectedPixelsOfEveryLevel) {
  Scene scene;
  const FrameRing& ring = scene.tracker.Ring();
  ASSERT_EQ(ring.Size(), display_scene::kRingFrames);
  EXPECT_EQ(ring.Current(), 2);
  EXPECT_EQ(scene.tracker.KeyFrameCount(), kKeyFrames);
  EXPECT_EQ(scene.Working().planes.Size(), 1u);
  for (u16 s = 0; s < ring.Size(); ++s) {
    for (int l = 0; l < kPyramidLevels; ++l) {
      ASSERT_FALSE(ring[s].mapMatches[l].empty()) << "slot " << s << " level " << l;
      for (const MapMatch& m : ring[s].mapMatches[l]) {
        float uv[2];
        ASSERT_TRUE(display_scene::ProjectToLevel(
            ring[s].pose.slot[kVisual], scene.Camera().intrinsic[l], scene.Point(m.track), uv));
        EXPECT_NEAR(m.x, uv[0], 1e-3f);
        EXPECT_NEAR(m.y, uv[1], 1e-3f);
      }
    }
  }
  // Patch t was created by the key frame whose feature lies at the patch's centre.
  TrackerMapView& view = scene.View();
  for (u32 t = 0; t < scene.TrackCount(); ++t) {
    const FeaturePatch& p = view.Patches()[t];
    const u32 i = scene.Working().keyFrameMeasurementStart[p.keyFrame] + p.feature;
    ASSERT_EQ(scene.Working().measurementTracks[i], t);
    EXPECT_EQ(view.KeyFramePixels()[i].x, p.x);
  }
}

// Display indices run over the key frames, then the ring from the oldest
// frame (the one after the current) to the current one.
TEST(DisplayUpdateTest, DisplayIndicesNameKeyFramesThenTheRingOldestFirst) {
  Scene scene;
  TrackerDisplay& d = scene.tracker.Display();
  // Make slot 0 current: the oldest frame is then slot 1.
  FrameRing& ring = scene.tracker.Ring();
  std::vector<TrackerFrame> frames(ring.Size());
  for (u16 s = 0; s < ring.Size(); ++s) std::swap(frames[s], ring[s]);
  const AlignedArray<WarpRecord> maps = ring.Maps();
  ring.Restore(frames, maps, 0, 2);
  const u16 expectedSlot[3] = {1, 2, 0};
  for (u16 i = 0; i < 3; ++i) {
    d.SetCurrentFrame(kKeyFrames + i);
    EXPECT_EQ(d.DisplayIndex(), kKeyFrames + i);
    EXPECT_EQ(d.ShownFrame(), expectedSlot[i]) << i;
  }
  // A frame that is not the current one becomes the comparison frame.
  d.SetCurrentFrame(kKeyFrames + 1);
  EXPECT_EQ(d.ComparisonFrame(), 2);
  d.SetCurrentFrame(1);
  EXPECT_EQ(d.ShownKeyFrame(), 1);
  EXPECT_EQ(d.DisplayIndex(), 1);
  // Past the end nothing changes.
  d.SetCurrentFrame(kKeyFrames + 3);
  EXPECT_EQ(d.DisplayIndex(), 1);
  EXPECT_EQ(d.ShownKeyFrame(), 1);

  // An update keeps a shown key frame; following shows the current frame.
  d.UpdateDisplay(false);
  EXPECT_EQ(d.DisplayIndex(), 1);
  d.SetCurrentFrame(kKeyFrames + 0);
  d.UpdateDisplay(false);
  EXPECT_EQ(d.ShownFrame(), 1);
  // Slot 1 links only to key frame 0 through its near link.
  EXPECT_EQ(d.ShownKeyFrame(), 0);
  EXPECT_EQ(d.ComparisonFrame(), 1);
  d.UpdateDisplay(true);
  EXPECT_EQ(d.ShownFrame(), 0);
  EXPECT_EQ(d.DisplayIndex(), kKeyFrames + 2);
}

TEST(DisplayUpdateTest, FollowingShowsTheCurrentFrameWithItsFirstKeyFrameLink) {
  Scene scene;
  TrackerDisplay& d = scene.tracker.Display();
  d.UpdateDisplay(true);
  EXPECT_EQ(d.ShownFrame(), 2);
  EXPECT_EQ(d.DisplayIndex(), kKeyFrames + 2);
  EXPECT_EQ(d.ShownKeyFrame(), 1);  // the aligned link comes first
  scene.Frame(2).alignedKeyFrame = kNone16;
  scene.Frame(2).parallaxKeyFrame = 0;
  d.UpdateDisplay(true);
  EXPECT_EQ(d.ShownKeyFrame(), 0);  // then the parallax link, before the near one
}

// A failed start resets the tracker inside Run; the display then meets an
// empty ring (a modulus of 0) and a selection of tracks that are gone.
TEST(DisplayUpdateTest, AnEmptyRingAndAStaleSelectionAfterAReset) {
  Scene scene;
  TrackerDisplay& d = scene.tracker.Display();
  d.UpdateDisplay(true);
  const u32 a = scene.Frame(2).mapMatches[0][0].track, b = scene.Frame(2).mapMatches[0][1].track;
  Printed([&] {
    d.PrintSelection(a);
    d.PrintSelection(b);
  });
  ASSERT_EQ(d.SelectedTracks()[0], b);
  scene.tracker.Reset(false);
  ASSERT_EQ(scene.tracker.Ring().Size(), 0);
  // The selection outlives the reset until the next update drops it.
  const std::string out = Printed([&] { d.UpdateDisplay(true); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(d.SelectedTracks()[0], kNone32);
  EXPECT_EQ(d.SelectedTracks()[1], kNone32);
  EXPECT_EQ(d.DisplayIndex(), kNone16);
  d.DrawStatus();
  EXPECT_STREQ(d.StatusLine(1), "");
  d.DrawKeyFrameBar();
  EXPECT_TRUE(d.BarOpacities().empty());
}

TEST(DisplayPrintoutTest, TrackPrintoutWithMeasurementsMatchesAndTheLineBetweenTwo) {
  Scene scene;
  TrackerDisplay& d = scene.tracker.Display();
  d.UpdateDisplay(true);
  const MapMatch& m = scene.Frame(2).mapMatches[0][0];
  const u32 t = m.track;
  const float* X = scene.Point(t);
  const std::string out = Printed([&] { d.PrintSelection(t); });
  char head[256];
  std::snprintf(head, sizeof(head),
                "%s\nTrack %d, INLIER\n  (%f, %f, %f)\nPlane 0, GROUND\n"
                "  (0.000000, 0.000000, 1.000000, 0.000000)\n"
                "Patch %d, Frame %d, RELIABLE, Tracked = 3, Lost = 1\n",
                std::string(64, '-').c_str(), static_cast<int>(t), X[0], X[1], X[2],
                static_cast<int>(t), static_cast<int>(scene.View().Patches()[t].keyFrame));
  ASSERT_EQ(out.substr(0, std::strlen(head)), head);
  // Both key frames see it where their poses put it; each ring frame
  // matched it at its projection.
  const std::regex measurement(
      R"(   (\d): Frame (\d), Feature \d+, Level (\d), \(([-.\d]+), ([-.\d]+)\), Error = ([.\d]+)\n)");
  int measurements = 0;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), measurement);
       it != std::sregex_iterator(); ++it, ++measurements) {
    EXPECT_EQ(std::stoi((*it)[1]), measurements + 1);
    EXPECT_LT(std::stof((*it)[6]), 1e-3f);
  }
  EXPECT_EQ(measurements, 2);
  char ring[128];
  std::snprintf(ring, sizeof(ring),
                "  [12]: Match 0, Level 0, ||(%.1f, %.1f) - (%.1f, %.1f)|| = 0.0\n", m.x, m.y, m.x,
                m.y);
  EXPECT_NE(out.find(ring), std::string::npos) << out;
  EXPECT_NE(out.find("  [10]: Match "), std::string::npos);
  EXPECT_EQ(out.find("Line ("), std::string::npos);

  // A second inlier: the distance between the two points.
  const u32 u = scene.Frame(2).mapMatches[1][0].track;
  const float* Y = scene.Point(u);
  const std::string second = Printed([&] { d.PrintSelection(u); });
  char line[96];
  std::snprintf(line, sizeof(line), "Line (%d, %d): %f meters\n", static_cast<int>(u),
                static_cast<int>(t), std::hypot(X[0] - Y[0], X[1] - Y[1], X[2] - Y[2]));
  EXPECT_NE(second.find(line), std::string::npos) << second;
  EXPECT_EQ(d.SelectedTracks()[0], u);
  EXPECT_EQ(d.SelectedTracks()[1], t);
  // Picking the newest again changes nothing; a key frame shown marks its measurement.
  d.SetCurrentFrame(1);
  const std::string again = Printed([&] { d.PrintSelection(u); });
  EXPECT_EQ(d.SelectedTracks()[1], t);
  EXPECT_NE(again.find("  *2: Frame 1"), std::string::npos) << again;
  // An unsolved track prints no point and no errors.
  u32 unsolved = 0;
  while (scene.Working().trackFlags[unsolved] & kTrackSolved) ++unsolved;
  const std::string loose = Printed([&] { d.PrintSelection(unsolved); });
  EXPECT_NE(loose.find(", UNSOLVED\n"), std::string::npos) << loose;
  EXPECT_EQ(loose.find("Error"), std::string::npos);
  // Past the track count both selections go and nothing is printed.
  EXPECT_EQ(Printed([&] { d.PrintSelection(scene.TrackCount()); }), "");
  EXPECT_EQ(d.SelectedTracks()[0], kNone32);
  EXPECT_EQ(d.SelectedTracks()[1], kNone32);
}

TEST(DisplayPrintoutTest, PlaneSelectionOneAllAndNone) {
  Scene scene;
  TrackerDisplay& d = scene.tracker.Display();
  const std::string dashes = std::string(64, '-') + "\n";
  const std::string plane0 = "Plane 0, GROUND\n  (0.000000, 0.000000, 1.000000, 0.000000)\n";
  EXPECT_EQ(Printed([&] { d.SelectPlane(0, true); }), dashes + plane0);
  EXPECT_EQ(d.SelectedPlane(), 0);
  EXPECT_EQ(Printed([&] { d.SelectPlane(1, true); }), dashes + plane0);  // all (one) planes
  EXPECT_EQ(Printed([&] { d.SelectPlane(0, false); }), "");
  EXPECT_EQ(Printed([&] { d.SelectPlane(2, true); }), "");
  EXPECT_EQ(d.SelectedPlane(), kNone16);
  const float e[4] = {0.5f, -0.25f, 1, 2};
  EXPECT_EQ(Printed([&] { PrintPlane(3, false, e); }),
            "Plane 3\n  (0.500000, -0.250000, 1.000000, 2.000000)\n");
}

TEST(DisplayStatusTest, StatusLinesOfARingFrameAndOfAKeyFrame) {
  Scene scene;
  TrackerDisplay& d = scene.tracker.Display();
  d.UpdateDisplay(true);
  const MapWorkingCopy& w = scene.Working();
  int inliers = 0, solved = 0;
  for (const u8 f : w.trackFlags)
    inliers += (f & kTrackInlier) != 0, solved += (f & kTrackSolved) != 0;
  const int unsolved = static_cast<int>(w.trackFlags.size()) - solved;
  const TrackerFrame& f = scene.Frame(2);
  d.DrawStatus();
  EXPECT_STREQ(d.StatusLine(0), "[12] T 0.200000, FPS 0.00, FE 0, CT 0, IM 0, MU 0, OH 0, ISO 0");
  char expected[256];
  std::snprintf(expected, sizeof(expected),
                "Frames 2, Points %d / %d + %d, Matches %d + 0, Error 0.00, Disp 12.50, Lost 25%%, "
                "Matched 50%%, New 12%%",
                inliers, solved, unsolved, static_cast<int>(f.inlierCount));
  EXPECT_STREQ(d.StatusLine(1), expected);
  // The plane counts come with the next update.
  d.SelectPlane(0, false);
  d.UpdateDisplay(true);
  int onPlane = 0;
  for (const u16 p : w.trackPlanes) onPlane += p == 0;
  d.DrawStatus();
  EXPECT_NE(std::string(d.StatusLine(1)).find(", Plane 0 (" + std::to_string(onPlane) + ")"),
            std::string::npos);
  d.SelectPlane(1, false);
  d.DrawStatus();
  EXPECT_NE(std::string(d.StatusLine(1)).find(", Planes 1"), std::string::npos);

  // Key frame 0: its frame id, its tracks by state; a pose that does not fit
  // its features shows in the error.
  d.SetCurrentFrame(0);
  d.DrawStatus();
  const TrackerMapView& view = scene.View();
  const u32 kfIn = view.CountKeyFrameTracks(0, kTrackInlier);
  const u32 kfSolved = view.CountKeyFrameTracks(0, kTrackSolved);
  const u32 kfAll = w.keyFrameMeasurementStart[1] - w.keyFrameMeasurementStart[0];
  char key[256];
  std::snprintf(key, sizeof(key), "Frame 0, Points %d / %d + %d, Inliers %d / %d + %d, Error 0.00",
                inliers, solved, unsolved, static_cast<int>(kfIn), static_cast<int>(kfSolved),
                static_cast<int>(kfAll - kfSolved));
  EXPECT_EQ(std::string(d.StatusLine(1)).substr(0, std::strlen(key)), key);
  EXPECT_EQ(std::string(d.StatusLine(0)).substr(0, 21),
            "[" + std::to_string(view.KeyFrameNumber(0)) + "] T 0.000000, FPS 0");
  // One centimetre sideways at depth 5 moves every ground point f / 500 pixels.
  scene.tracker.MapView().Working().keyFramePoses[0].m[0][3] += 0.01f;
  d.DrawStatus();
  const std::string line = d.StatusLine(1);
  const float error = std::stof(line.substr(line.find("Error ") + 6));
  EXPECT_NEAR(error, scene.Camera().intrinsic[0].fx[0] * 0.01f / 5.0f, 0.3f) << line;
}

TEST(DisplayStatusTest, KeyFrameBarOpacityAndAShownItemWithoutMatches) {
  Scene scene;
  TrackerDisplay& d = scene.tracker.Display();
  d.UpdateDisplay(true);
  d.DrawKeyFrameBar();
  const std::vector<u8>& bar = d.BarOpacities();
  ASSERT_EQ(bar.size(), kKeyFrames + 3u);
  // The shown (current) frame matches all of its own tracks.
  EXPECT_EQ(bar[kKeyFrames + 2], 255);
  // The oldest frame: the tracks it shares with the current one, in proportion.
  std::vector<u8> seen(scene.TrackCount(), 0);
  u32 shown = 0, shared = 0;
  for (const auto& list : scene.Frame(2).mapMatches)
    for (const MapMatch& m : list) shown += !seen[m.track], seen[m.track] = 1;
  for (const auto& list : scene.Frame(0).mapMatches)
    for (const MapMatch& m : list) shared += seen[m.track];
  ASSERT_LT(shared, shown);
  EXPECT_EQ(bar[kKeyFrames + 0], static_cast<u8>(255.0f * shared / shown));

  // Nothing matched in the shown frame: every bar clear, no 0 / 0.
  for (auto& list : scene.Frame(2).mapMatches) list.clear();
  d.DrawKeyFrameBar();
  ASSERT_EQ(d.BarOpacities().size(), kKeyFrames + 3u);
  for (const u8 o : d.BarOpacities()) EXPECT_EQ(o, 0);
}

}  // namespace

// ctest-lock: x-input
// ctest-env: OPENBLAS_NUM_THREADS=1
// The display's update, selection, printouts, status lines, key-frame bar
// and recording over the fixed display scene; the window tests read pixels
// back under Xvfb and write what they saw as PNGs.
#include "tracker/TrackerDisplay.h"

#include <GL/gl.h>
#include <cvd/image_io.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "common/TempFolder.h"
#include "common/tracker/DisplayScene.h"

namespace {

using display_scene::KeyWatchdog;
using display_scene::Printed;
using display_scene::Save;
using display_scene::Scene;
using display_scene::Screenshot;
using DisplayWindowTest = display_scene::WindowTest;
constexpr u16 kKeyFrames = 2;
constexpr int kWidth = display_scene::kWidth, kHeight = display_scene::kHeight;

// Display indices run over the key frames, then the ring oldest first;
// following shows the current frame with its first key-frame link.
TEST(DisplayUpdateTest, DisplayIndicesNameKeyFramesThenTheRingOldestFirst) {
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
  scene.Frame(2).alignedKeyFrame = 1;
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

// An update keeps two known selections, newest first; when the newest is
// gone from the map the older one takes its place.
TEST(DisplayUpdateTest, AnUpdateKeepsKnownSelectionsAndMovesTheOlderUp) {
  Scene scene;
  TrackerDisplay& d = scene.tracker.Display();
  d.UpdateDisplay(true);
  const u32 a = scene.Frame(2).mapMatches[0][0].track, b = scene.Frame(2).mapMatches[0][1].track;
  const u32 older = std::min(a, b), newer = std::max(a, b);
  Printed([&] {
    d.PrintSelection(older);
    d.PrintSelection(newer);
  });
  d.UpdateDisplay(true);
  EXPECT_EQ(d.SelectedTracks()[0], newer);
  EXPECT_EQ(d.SelectedTracks()[1], older);
  scene.tracker.MapView().Working().trackFlags.resize(newer);
  d.UpdateDisplay(true);
  EXPECT_EQ(d.SelectedTracks()[0], older);
  EXPECT_EQ(d.SelectedTracks()[1], kNone32);
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

TEST(DisplayPrintoutTest, TrackAndPlanePrintouts) {
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
  int measurements = 0;
  for (size_t at = 0; (at = out.find(": Frame ", at)) != std::string::npos; ++at) {
    const size_t begin = out.rfind('\n', at) + 1, end = out.find('\n', at);
    const std::string line = out.substr(begin, end - begin);
    if (line.find("Error = ") == std::string::npos) continue;
    ++measurements;
    EXPECT_EQ(line.substr(0, 5), "   " + std::to_string(measurements) + ":") << line;
    EXPECT_LT(std::stof(line.substr(line.find("Error = ") + 8)), 1e-3f) << line;
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

  // Plane selection: one, all (here one), none.
  const std::string dashes = std::string(64, '-') + "\n";
  const std::string plane0 = "Plane 0, GROUND\n  (0.000000, 0.000000, 1.000000, 0.000000)\n";
  EXPECT_EQ(Printed([&] { d.SelectPlane(0, true); }), dashes + plane0);
  EXPECT_EQ(d.SelectedPlane(), 0);
  EXPECT_EQ(Printed([&] { d.SelectPlane(1, true); }), dashes + plane0);  // all (one) planes
  EXPECT_EQ(Printed([&] { d.SelectPlane(0, false); }), "");
  EXPECT_EQ(Printed([&] { d.SelectPlane(2, true); }), "");
  EXPECT_EQ(d.SelectedPlane(), kNone16);
  // Without its ground flag the same plane prints as a plane only.
  scene.tracker.MapView().Working().planeFlags[0] = 0;
  EXPECT_EQ(Printed([&] { d.SelectPlane(0, true); }),
            dashes + "Plane 0\n  (0.000000, 0.000000, 1.000000, 0.000000)\n");
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
  // Level 4, the pass through the map, counts every level as well.
  d.SetShownLevel(4);
  d.DrawStatus();
  EXPECT_STREQ(d.StatusLine(1), expected);
  d.SetShownLevel(5);
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

  // One level: its matches of INLIER tracks and of unsolved ones; a solved
  // track that is no inlier counts in neither.
  ASSERT_FALSE(f.mapMatches[1].empty());
  u8& flags = scene.tracker.MapView().Working().trackFlags[f.mapMatches[1][0].track];
  const u8 saved = flags;
  flags &= ~kTrackInlier;
  d.SetShownLevel(1);
  d.DrawStatus();
  int levelInliers = 0;
  for (const MapMatch& m : f.mapMatches[1])
    levelInliers += (w.trackFlags[m.track] & kTrackInlier) != 0;
  EXPECT_NE(std::string(d.StatusLine(1))
                .find(", Level 1, Matches " + std::to_string(levelInliers) + " + 0, Error"),
            std::string::npos)
      << d.StatusLine(1);
  flags = saved;
  // A match of a track the working copy does not hold yet counts as unsolved
  // (the flag byte past the list's end holds a stale INLIER to tell).
  std::vector<u8>& all = scene.tracker.MapView().Working().trackFlags;
  const u32 unknown = static_cast<u32>(all.size());
  all.push_back(kTrackSolved | kTrackInlier);
  all.pop_back();
  std::vector<MapMatch>& level1 = scene.Frame(2).mapMatches[1];
  level1.push_back(level1[0]);
  level1.back().track = unknown;
  d.DrawStatus();
  levelInliers = 0;
  for (size_t i = 0; i + 1 < level1.size(); ++i)
    levelInliers += (w.trackFlags[level1[i].track] & kTrackInlier) != 0;
  EXPECT_NE(std::string(d.StatusLine(1))
                .find(", Level 1, Matches " + std::to_string(levelInliers) + " + 1, Error"),
            std::string::npos)
      << d.StatusLine(1);
  level1.pop_back();
  d.SetShownLevel(5);

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
  d.SetShownLevel(4);
  d.DrawStatus();
  EXPECT_EQ(std::string(d.StatusLine(1)).substr(0, std::strlen(key)), key);
  d.SetShownLevel(5);
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
  // A shown key frame: the first key frame's bar counts its own measurements
  // of the second's tracks, and none of the second's.
  const MapWorkingCopy& w = scene.Working();
  const u32* start = w.keyFrameMeasurementStart.data();
  std::vector<u8> second(scene.TrackCount(), 0);
  for (u32 i = start[1]; i < start[2]; ++i) second[w.measurementTracks[i]] = 1;
  u32 marked = 0, common = 0;
  for (const u8 m : second) marked += m;
  for (u32 i = start[0]; i < start[1]; ++i) common += second[w.measurementTracks[i]];
  d.SetCurrentFrame(1);
  d.DrawKeyFrameBar();
  ASSERT_LT(common, marked);
  EXPECT_EQ(d.BarOpacities()[0],
            static_cast<u8>(static_cast<float>(common) * (255.0f / static_cast<float>(marked))));
  d.SetCurrentFrame(kKeyFrames + 2);

  // Nothing matched in the shown frame: every bar clear, no 0 / 0.
  for (auto& list : scene.Frame(2).mapMatches) list.clear();
  d.DrawKeyFrameBar();
  ASSERT_EQ(d.BarOpacities().size(), kKeyFrames + 3u);
  for (const u8 o : d.BarOpacities()) EXPECT_EQ(o, 0);
}

// The state file keeps the shown item and the first four settings.
TEST(DisplayStateTest, ShownItemAndFirstFourSettingsSurviveTheStateFile) {
  Scene scene;
  TrackerDisplay& d = scene.tracker.Display();
  d.SetCurrentFrame(kKeyFrames + 1);
  const u32 settings[4] = {4, 3, 1, 7};
  for (u32 i = 0; i < 4; ++i) d.SetSetting(static_cast<DisplaySetting>(i), settings[i]);
  d.SetSetting(kTrackFilter, 5);  // not in the file
  TempFolder folder;
  const std::string path = folder.File("display.state");
  ASSERT_TRUE(Printed([&] { scene.tracker.SaveState(path); }).find("Saved") != std::string::npos);

  GlobalMap map;
  scene.synthetic.MakeEmptyMap(map);
  Tracker fresh(map);
  ASSERT_TRUE(Printed([&] { EXPECT_TRUE(fresh.LoadState(path)); }).find("Loaded") !=
              std::string::npos);
  const TrackerDisplay& e = fresh.Display();
  EXPECT_EQ(e.DisplayIndex(), kKeyFrames + 1);
  EXPECT_EQ(e.ShownFrame(), 1);
  EXPECT_EQ(e.ComparisonFrame(), 1);
  for (u32 i = 0; i < 4; ++i) EXPECT_EQ(e.Setting(static_cast<DisplaySetting>(i)), settings[i]);
  EXPECT_EQ(e.Setting(kTrackFilter), kInitialDisplaySettings[kTrackFilter]);
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Two views agree float for float (the file holds their bytes).
void ExpectSameView(const DisplayViewState& a, const DisplayViewState& b) {
  const auto same = [](const auto& x, const auto& y) {
    return std::memcmp(&x, &y, sizeof(x)) == 0;
  };
  EXPECT_TRUE(same(a.rotation, b.rotation) && same(a.pivot, b.pivot) && same(a.pose, b.pose));
  EXPECT_TRUE(same(a.frustumSize, b.frustumSize) && same(a.translation, b.translation));
  EXPECT_TRUE(same(a.arcball.centre, b.arcball.centre) && same(a.arcball.start, b.arcball.start) &&
              same(a.arcball.startRotation, b.arcball.startRotation));
  EXPECT_EQ(a.arcball.radius, b.arcball.radius);
  EXPECT_EQ(a.pivotDepth, b.pivotDepth);
  EXPECT_EQ(a.wheelStep, b.wheelStep);
  EXPECT_EQ(a.imageView, b.imageView);
  EXPECT_EQ(a.shownLevel, b.shownLevel);
  EXPECT_EQ(a.poseView, b.poseView);
  EXPECT_EQ(a.planeFilter, b.planeFilter);
  EXPECT_EQ(a.selectedPlane, b.selectedPlane);
  EXPECT_EQ(a.planeShown, b.planeShown);
  ASSERT_EQ(a.planeFrames.size(), b.planeFrames.size());
  for (size_t i = 0; i < a.planeFrames.size(); ++i)
    EXPECT_TRUE(same(a.planeFrames[i], b.planeFrames[i]));
  ASSERT_EQ(a.planeExtents.size(), b.planeExtents.size());
  for (size_t i = 0; i < a.planeExtents.size(); ++i)
    EXPECT_TRUE(same(a.planeExtents[i], b.planeExtents[i]));
}

// The scene's display at the window's size after its first update, which
// centres the 3-D view on the current frame.
TrackerDisplay& CentredDisplay(Scene& scene) {
  TrackerDisplay& d = scene.tracker.Display();
  d.OnResize(CVD::ImageRef(kWidth, kHeight));
  d.SetupProjection();
  d.SetupView();
  Printed([&] { d.UpdateDisplay(true); });
  return d;
}

// The 3-D view as the mouse left it, the map view, the shown level and the
// plane selection come back with a loaded state, and the next update keeps
// the view rather than centring it on the shown camera. A file without a
// view (all zero there) keeps the display's own; a broken view is refused.
TEST(DisplayStateTest, TheMapViewAndPlaneSelectionSurviveTheStateFile) {
  Scene scene;
  TrackerDisplay& d = CentredDisplay(scene);
  d.OnKeyDown(9);  // the map view
  d.OnMouseDown(CVD::ImageRef(320, 240), 1);
  ASSERT_TRUE(d.OnMouseDrag(CVD::ImageRef(320, 240), CVD::ImageRef(420, 200), 1));
  d.OnMouseUp(CVD::ImageRef(10, 10), 32);  // and a wheel step forward
  d.SelectPlane(0, false);
  d.SetShownLevel(2);
  d.SetPoseView(true);
  DisplayViewState seen;
  d.GetViewState(seen);
  ASSERT_TRUE(seen.Stored());
  ASSERT_EQ(seen.planeShown, std::vector<u8>{1});
  ASSERT_EQ(seen.planeFrames.size(), 1u);
  TempFolder folder;
  const std::string path = folder.File("view.state");
  ASSERT_TRUE(Printed([&] { scene.tracker.SaveState(path); }).find("Saved") != std::string::npos);

  GlobalMap map;
  scene.synthetic.MakeEmptyMap(map);
  Tracker fresh(map);
  TrackerDisplay& e = fresh.Display();
  const ViewPose neutral = e.CurrentViewPose();
  ASSERT_TRUE(Printed([&] { EXPECT_TRUE(fresh.LoadState(path)); }).find("Loaded") !=
              std::string::npos);
  DisplayViewState loaded;
  e.GetViewState(loaded);
  ExpectSameView(loaded, seen);
  EXPECT_FALSE(e.ImageView());
  EXPECT_EQ(e.SelectedPlane(), 0);
  Printed([&] { e.UpdateDisplay(false); });
  display_scene::ExpectSamePose(e.CurrentViewPose(), seen.pose, 0.0f);
  EXPECT_EQ(e.SelectedPlane(), 0);

  // The view is the file's tail: the two view blocks, the translation, the
  // switches, the plane, the selection bytes, the wheel step, no display
  // poses, the plane frames and extents.
  std::string bytes = FileBytes(path);
  const size_t tail = 208 + 272 + 16 + 4 + 2 + (4 + seen.planeShown.size()) + 4 + 4 +
                      (4 + 64 * seen.planeFrames.size()) + (4 + 16 * seen.planeExtents.size());
  ASSERT_GT(bytes.size(), tail);
  const size_t view = bytes.size() - tail;
  ASSERT_EQ(std::memcmp(&bytes[view], &seen.rotation, sizeof(seen.rotation)), 0);
  std::string older = bytes;
  older.replace(view, 208, 208, '\0');
  GlobalMap olderMap;
  scene.synthetic.MakeEmptyMap(olderMap);
  Tracker another(olderMap);
  EXPECT_TRUE(another.LoadState(folder.Write("older.state", older)));
  display_scene::ExpectSamePose(another.Display().CurrentViewPose(), neutral, 0.0f);
  EXPECT_TRUE(another.Display().ImageView());

  const float nan = std::nanf("");
  std::string broken = bytes;
  broken.replace(view + 4, 4, reinterpret_cast<const char*>(&nan), 4);
  EXPECT_FALSE(another.LoadState(folder.Write("broken.state", broken)));
  std::string level = bytes;
  level[view + 208 + 272 + 16 + 1] = 6;  // no such shown level
  EXPECT_FALSE(another.LoadState(folder.Write("level.state", level)));
  std::string shown = bytes;
  shown[view + 208 + 272 + 16 + 4 + 2 + 4] = 2;  // a plane neither shown nor hidden
  EXPECT_FALSE(another.LoadState(folder.Write("shown.state", shown)));
}

// The 3-D view is centred on the shown camera at the first update and again
// at the frame tracking starts; at the frames after it the view stays where
// the mouse left it. A state file without a view moves the counters only.
TEST(DisplayStateTest, TheViewIsCentredAgainOnlyAtTheStartFrame) {
  Scene scene;
  TrackerDisplay& d = CentredDisplay(scene);
  const ViewPose centred = d.CurrentViewPose();
  DisplayViewState seen;
  d.GetViewState(seen);
  TempFolder folder;
  const std::string path = folder.File("s.state");
  ASSERT_TRUE(Printed([&] { scene.tracker.SaveState(path); }).find("Saved") != std::string::npos);
  std::string bytes = FileBytes(path);
  const size_t tail = 208 + 272 + 16 + 4 + 2 + (4 + seen.planeShown.size()) + 4 + 4 +
                      (4 + 64 * seen.planeFrames.size()) + (4 + 16 * seen.planeExtents.size());
  ASSERT_GT(bytes.size(), tail);
  bytes.replace(bytes.size() - tail, 208, 208, '\0');
  // The tracker section opens with the start frame, the end frame and the
  // frame counter.
  const size_t counters = SavedMap(scene.map).size();
  const auto loadAt = [&](i32 start, i32 frame) {
    std::string b = bytes;
    b.replace(counters, 4, reinterpret_cast<const char*>(&start), 4);
    b.replace(counters + 8, 4, reinterpret_cast<const char*>(&frame), 4);
    ASSERT_TRUE(Printed([&] {
                  EXPECT_TRUE(scene.tracker.LoadState(folder.Write("c.state", b)));
                }).find("Loaded") != std::string::npos);
    ASSERT_EQ(scene.tracker.Status().frameCounter, frame);
  };
  const auto moved = [&] {
    d.OnKeyDown(9);  // the map view
    d.OnMouseDown(CVD::ImageRef(320, 240), 1);
    EXPECT_TRUE(d.OnMouseDrag(CVD::ImageRef(320, 240), CVD::ImageRef(420, 200), 1));
    d.OnMouseUp(CVD::ImageRef(420, 200), 1);
    d.OnKeyDown(9);
    const ViewPose now = d.CurrentViewPose();
    EXPECT_GT(std::fabs(now.m[0][0] - centred.m[0][0]) + std::fabs(now.m[0][3] - centred.m[0][3]),
              1e-3f);
    return now;
  };
  const ViewPose left = moved();
  loadAt(3, 8);  // a frame after tracking started at frame 3
  Printed([&] { d.UpdateDisplay(false); });
  display_scene::ExpectSamePose(d.CurrentViewPose(), left, 0.0f);
  moved();
  loadAt(9, 9);  // tracking starts at this frame
  Printed([&] { d.UpdateDisplay(false); });
  display_scene::ExpectSamePose(d.CurrentViewPose(), centred, 1e-4f);
}

// Level-0 window pixel of a normalised position; the window has the image's size.
void WindowPixel(const Intrinsic& k, float nx, float ny, int& x, int& y) {
  x = static_cast<int>(std::lround(nx * k.fx[0] + k.cx[0]));
  y = static_cast<int>(std::lround(ny * k.fy[0] + k.cy[0]));
}

TEST_F(DisplayWindowTest, ImageTexelForTexelCrossesOnTheMatchesAndTheCubesNearFace) {
  TrackerDisplay& d = Display();
  // The map viewer opens on key frame 0; show the current frame.
  d.SetCurrentFrame(kKeyFrames + 2);
  d.UpdateDisplay(true);
  const Intrinsic& k = scene->Camera().intrinsic[0];
  const CameraPose& pose = scene->Frame(2).pose.slot[kVisual];

  // The cube's rectangle on the image, with a margin; the text's band at the top.
  int box[4] = {kWidth, kHeight, 0, 0};
  for (int c = 0; c < 8; ++c) {
    const float h = display_scene::kObjectSize;
    const float X[3] = {display_scene::kObjectOrigin[0] + ((c & 1) ? h : -h),
                        display_scene::kObjectOrigin[1] + ((c & 2) ? h : -h),
                        display_scene::kObjectOrigin[2] + ((c & 4) ? h : -h)};
    float uv[2];
    ASSERT_TRUE(display_scene::ProjectToLevel(pose, k, X, uv));
    box[0] = std::min(box[0], static_cast<int>(uv[0]) - 2);
    box[1] = std::min(box[1], static_cast<int>(uv[1]) - 2);
    box[2] = std::max(box[2], static_cast<int>(uv[0]) + 3);
    box[3] = std::max(box[3], static_cast<int>(uv[1]) + 3);
  }
  d.SetSetting(kCornerMode, 0);
  d.SetSetting(kOverlayMode, 0);
  const Screenshot plain = Draw();
  Save(plain, "display_image.png");
  int wrong = 0, compared = 0;
  for (int y = 40; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      if (x >= box[0] && x <= box[2] && y >= box[1] && y <= box[3]) continue;
      const CVD::Rgb<u8> c = display_scene::FrameColour(2, x, y);
      wrong += !plain.Is(x, y, c.red, c.green, c.blue);
      ++compared;
    }
  EXPECT_EQ(wrong, 0) << "of " << compared;
  // Shown level 4 (the key frame's pass through the map) keeps the full image.
  d.SetShownLevel(4);
  const Screenshot pass = Draw();
  d.SetShownLevel(5);
  wrong = 0;
  for (int y = 40; y < kHeight; y += 9)
    for (int x = 0; x < kWidth; x += 7) {
      if (x >= box[0] && x <= box[2] && y >= box[1] && y <= box[3]) continue;
      const CVD::Rgb<u8> c = display_scene::FrameColour(2, x, y);
      wrong += !pass.Is(x, y, c.red, c.green, c.blue);
    }
  EXPECT_EQ(wrong, 0);
  // Each smaller level shows its grey image over the whole view.
  for (const u8 level : {1, 2, 3}) {
    d.SetShownLevel(level);
    const Screenshot small = Draw();
    int grey = 0, sampled = 0;
    for (int y = 40; y < kHeight; y += 9)
      for (int x = 0; x < kWidth; x += 7) {
        if (x >= box[0] && x <= box[2] && y >= box[1] && y <= box[3]) continue;
        const u8* p = small.At(x, y);
        grey += p[0] == p[1] && p[1] == p[2] && p[0] > 0;
        ++sampled;
      }
    EXPECT_GT(grey, 9 * sampled / 10) << int{level};
  }
  d.SetShownLevel(5);
  // The green FPS line at the top left.
  int green = 0;
  for (int y = 15; y < 40; ++y)
    for (int x = 15; x < 120; ++x) green += plain.Is(x, y, 0, 255, 0);
  EXPECT_GT(green, 20);
  // The cube's face towards the camera (cube z = -1) is blue.
  GLint depthBits = 0;
  glGetIntegerv(GL_DEPTH_BITS, &depthBits);
  if (depthBits > 0) {
    const float front[3] = {display_scene::kObjectOrigin[0], display_scene::kObjectOrigin[1],
                            display_scene::kObjectOrigin[2] - display_scene::kObjectSize};
    float uv[2];
    ASSERT_TRUE(display_scene::ProjectToLevel(pose, k, front, uv));
    EXPECT_TRUE(plain.Is(static_cast<int>(uv[0]), static_cast<int>(uv[1]), 0, 0, 255));
  }

  // Crosses: green arms of five pixels through every match of every level,
  // blue for the selected track.
  const MapMatch& chosen = scene->Frame(2).mapMatches[0][0];
  Printed([&] { d.PrintSelection(chosen.track); });
  d.SetSetting(kCornerMode, 2);
  const Screenshot crosses = Draw();
  Save(crosses, "display_crosses.png");
  int matches = 0, marked = 0;
  for (const auto& list : scene->Frame(2).mapMatches)
    for (const MapMatch& m : list) {
      int x, y;
      WindowPixel(k, m.nx, m.ny, x, y);
      if (x < 8 || y < 48 || x >= kWidth - 8 || y >= kHeight - 8) continue;
      if (x >= box[0] - 8 && x <= box[2] + 8 && y >= box[1] - 8 && y <= box[3] + 8) continue;
      ++matches;
      const bool selected = m.track == chosen.track;
      const u8 g = selected ? 0 : 255, b = selected ? 255 : 0;
      // Arm ends three pixels out, where a neighbour's cross rarely lies.
      marked += (crosses.Is(x + 3, y, 0, g, b) || crosses.Is(x - 3, y, 0, g, b)) &&
                (crosses.Is(x, y + 3, 0, g, b) || crosses.Is(x, y - 3, 0, g, b));
    }
  ASSERT_GT(matches, 20);
  EXPECT_GE(marked, matches * 9 / 10);
  int x, y;
  WindowPixel(k, chosen.nx, chosen.ny, x, y);
  EXPECT_TRUE(crosses.Is(x + 3, y, 0, 0, 255) || crosses.Is(x - 3, y, 0, 0, 255));
  // And no cross lies where no match is: beside the chosen one, beyond its arms.
  EXPECT_FALSE(crosses.Is(x + 7, y, 0, 0, 255));
  EXPECT_FALSE(crosses.Is(x, y + 7, 0, 0, 255));

  // A shown key frame has its crosses on its own features.
  d.SetCurrentFrame(0);
  const Screenshot keyFrame = Draw();
  const TrackerMapView& view = scene->tracker.MapView();
  const u32 start = view.Records()[0].featureStart;
  const u16* offsets = view.KeyFrameLevelOffsets(0);
  int features = 0, crossed = 0;
  for (u32 j = offsets[0]; j < offsets[kPyramidLevels]; ++j) {
    int fx, fy;
    WindowPixel(k, view.KeyFrameNormalized()[start + j].x, view.KeyFrameNormalized()[start + j].y,
                fx, fy);
    if (fx < 8 || fy < 48 || fx >= kWidth - 8 || fy >= kHeight - 8) continue;
    ++features;
    crossed += keyFrame.Is(fx + 3, fy, 0, 255, 0) || keyFrame.Is(fx - 3, fy, 0, 255, 0) ||
               keyFrame.Is(fx + 3, fy, 0, 0, 255) || keyFrame.Is(fx - 3, fy, 0, 0, 255);
  }
  ASSERT_GT(features, 20);
  EXPECT_GE(crossed, features * 9 / 10);
}

// Follow mode: a new frame in the same ring slot (as once the ring is full)
// must reach the screen, not the texture of the frame before it.
TEST_F(DisplayWindowTest, FollowingANewFrameInTheSameSlotShowsItsImage) {
  TrackerDisplay& d = Display();
  d.SetSetting(kCornerMode, 0);
  d.SetSetting(kOverlayMode, 0);
  d.SetCurrentFrame(kKeyFrames + 2);
  d.UpdateDisplay(true);
  const Screenshot before = Draw();
  TrackerFrame& f = scene->Frame(2);
  f.number += 1;
  for (int yy = 0; yy < kHeight; ++yy)
    for (int xx = 0; xx < kWidth; ++xx) f.colour[yy][xx] = display_scene::FrameColour(1, xx, yy);
  d.UpdateDisplay(true);
  const Screenshot after = Draw();
  const CVD::Rgb<u8> was = display_scene::FrameColour(2, 300, 100);
  const CVD::Rgb<u8> now = display_scene::FrameColour(1, 300, 100);
  EXPECT_TRUE(before.Is(300, 100, was.red, was.green, was.blue));
  EXPECT_TRUE(after.Is(300, 100, now.red, now.green, now.blue));
  // The shown level's grey image where no colour image of the frame's size exists.
  f.colour.resize(CVD::ImageRef(0, 0));
  d.UpdateDisplay(true);
  const Screenshot grey = Draw();
  const u8 g = display_scene::FrameGrey(2, 300, 100);
  EXPECT_TRUE(grey.Is(300, 100, g, g, g));
}

// Overlays: the unfound candidates in cyan, the lost and missed ones in red,
// the map matches in yellow, each on its pixel.
TEST_F(DisplayWindowTest, OverlayColoursOnTheirPixels) {
  TrackerDisplay& d = Display();
  d.SetSetting(kCornerMode, 0);
  d.SetSetting(kOverlayMode, 1);
  d.SetCurrentFrame(kKeyFrames + 2);
  d.UpdateDisplay(true);
  TrackerFrame& f = scene->Frame(2);
  f.lost[0].push_back({2, 2, kNone32, 200.0f, 420.0f});
  const Screenshot all = Draw();
  Save(all, "display_overlays.png");
  EXPECT_TRUE(all.Is(100, 100, 0, 255, 255));  // the candidate
  EXPECT_TRUE(all.Is(540, 380, 255, 0, 0));    // the miss
  EXPECT_TRUE(all.Is(200, 420, 255, 0, 0));    // the lost one
  const Intrinsic& k = scene->Camera().intrinsic[0];
  int yellow = 0, matches = 0;
  for (const auto& list : f.mapMatches)
    for (const MapMatch& m : list) {
      int x, y;
      WindowPixel(k, m.nx, m.ny, x, y);
      if (y < 40) continue;
      ++matches;
      yellow += all.Is(x, y, 255, 255, 0);
    }
  EXPECT_GE(yellow, matches * 9 / 10);
  // Matches only: no candidates, no misses.
  d.SetSetting(kOverlayMode, 2);
  const Screenshot matchesOnly = Draw();
  EXPECT_FALSE(matchesOnly.Is(100, 100, 0, 255, 255));
  EXPECT_FALSE(matchesOnly.Is(540, 380, 255, 0, 0));
  // A shown key frame at one level: its features of that level in yellow,
  // none of the next level's.
  d.SetCurrentFrame(0);
  d.SetShownLevel(0);
  const Screenshot keyFrame = Draw();
  const TrackerMapView& view = scene->tracker.MapView();
  const u16* offsets = view.KeyFrameLevelOffsets(0);
  const u32 start = view.Records()[0].featureStart;
  int onLevel[2] = {0, 0}, yellowOn[2] = {0, 0};
  for (int l = 0; l < 2; ++l)
    for (u32 j = offsets[l]; j < offsets[l + 1]; ++j) {
      int x, y;
      WindowPixel(k, view.KeyFrameNormalized()[start + j].x, view.KeyFrameNormalized()[start + j].y,
                  x, y);
      if (y < 40 || x < 0 || x >= kWidth || y >= kHeight) continue;
      ++onLevel[l];
      yellowOn[l] += keyFrame.Is(x, y, 255, 255, 0);
    }
  ASSERT_GT(onLevel[0], 0);
  ASSERT_GT(onLevel[1], 0);
  EXPECT_GE(yellowOn[0], onLevel[0] * 9 / 10);
  EXPECT_LE(yellowOn[1], onLevel[1] / 10);
  // Its float features in blue at their level-0 pixels (corner mode 4).
  d.SetSetting(kOverlayMode, 0);
  d.SetSetting(kCornerMode, 4);
  const Screenshot features = Draw();
  int blue = 0, inside = 0;
  for (u32 j = offsets[0]; j < offsets[1]; ++j) {
    const auto& p = scene->tracker.MapView().KeyFramePixels()[start + j];
    const int x = static_cast<int>(p.x + 0.5f), y = static_cast<int>(p.y + 0.5f);
    if (y < 40 || x < 0 || x >= kWidth || y >= kHeight) continue;
    ++inside;
    blue += features.Is(x, y, 0, 0, 255);
  }
  ASSERT_GT(inside, 0);
  EXPECT_GE(blue, inside * 9 / 10);
  d.SetSetting(kCornerMode, 0);
  // A track the filter hides is not drawn.
  d.SetCurrentFrame(kKeyFrames + 2);
  d.SetSetting(kOverlayMode, 1);
  for (const u8 all : {4, 5}) {  // every level from 4 up
    d.SetShownLevel(all);
    EXPECT_TRUE(Draw().Is(100, 100, 0, 255, 255)) << int{all};
  }
  d.SetSetting(kTrackFilter, 0);
  EXPECT_FALSE(Draw().Is(100, 100, 0, 255, 255));
}

// A selected track's match is framed by a square of side eight pixels
// centred on it.
TEST_F(DisplayWindowTest, ASelectedMatchIsFramedByASquareCentredOnIt) {
  TrackerDisplay& d = Display();
  d.SetSetting(kCornerMode, 0);
  d.SetSetting(kOverlayMode, 2);
  d.SetCurrentFrame(kKeyFrames + 2);
  d.UpdateDisplay(true);
  const Intrinsic& k = scene->Camera().intrinsic[0];
  std::vector<std::array<int, 2>> at;
  for (const auto& list : scene->Frame(2).mapMatches)
    for (const MapMatch& m : list) {
      int x, y;
      WindowPixel(k, m.nx, m.ny, x, y);
      at.push_back({x, y});
    }
  // A level-0 match (the first in the list) far from the others and from
  // the text band and the edges.
  const MapMatch* chosen = nullptr;
  int cx = 0, cy = 0;
  for (size_t i = 0; i < scene->Frame(2).mapMatches[0].size(); ++i) {
    const auto [x, y] = at[i];
    if (x < 20 || y < 60 || x >= kWidth - 20 || y >= kHeight - 20) continue;
    int near = 0;
    for (const auto& p : at) near += std::abs(p[0] - x) <= 12 && std::abs(p[1] - y) <= 12;
    if (near == 1) {
      chosen = &scene->Frame(2).mapMatches[0][i], cx = x, cy = y;
      break;
    }
  }
  ASSERT_NE(chosen, nullptr);
  // Yellow pixels on each side of the square, four pixels out from the match.
  auto sides = [&](const Screenshot& s) {
    int found = 0;
    for (int side = 0; side < 4; ++side) {
      bool seen = false;
      for (int a = -2; a <= 2; ++a)
        for (int b = 3; b <= 5; ++b) {
          const int x = side < 2 ? cx + a : cx + (side == 2 ? -b : b);
          const int y = side < 2 ? cy + (side == 0 ? -b : b) : cy + a;
          seen = seen || s.Is(x, y, 255, 255, 0);
        }
      found += seen;
    }
    return found;
  };
  EXPECT_EQ(sides(Draw()), 0);
  Printed([&] { d.PrintSelection(chosen->track); });
  EXPECT_EQ(sides(Draw()), 4);
}

// The key-frame bar over the window's 2-D view: one magenta quad per item
// along the bottom, each as opaque as its share of the shown item's matches.
TEST_F(DisplayWindowTest, KeyFrameBarQuadsCarryTheirOpacities) {
  TrackerDisplay& d = Display();
  d.UpdateDisplay(true);
  scene->tracker.MakeCurrent();
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(0, kWidth, kHeight, 0, -1, 1);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glClearColor(0, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  d.DrawKeyFrameBar();
  const Screenshot s = display_scene::ReadBack();
  const std::vector<u8>& bar = d.BarOpacities();
  ASSERT_EQ(bar.size(), kKeyFrames + 3u);
  const float width = (kWidth - 20.0f) / static_cast<float>(bar.size());
  for (size_t i = 0; i < bar.size(); ++i) {
    const u8* p = s.At(static_cast<int>(10 + width * (i + 0.5f)), kHeight - 69);
    EXPECT_NEAR(p[0], bar[i], 2) << i;
    EXPECT_EQ(p[1], 0) << i;
    EXPECT_NEAR(p[2], bar[i], 2) << i;
  }
  EXPECT_EQ(s.At(5, kHeight - 69)[0], 0);  // left of the first quad
}

// The pose view carries the shown frame into the current one through its
// image map: the image and its crosses move the other way from the map.
TEST_F(DisplayWindowTest, ThePoseViewWarpsTheImageAndTheCrossesIntoTheCurrentFrame) {
  Tracker& t = scene->tracker;
  TrackerDisplay& d = Display();
  d.SetSetting(kCornerMode, 2);
  d.SetSetting(kOverlayMode, 0);
  // Slot 0 (grey only) shown; its map takes current-frame positions one
  // alignment pixel right and half a pixel down: 16 and 8 image pixels.
  WarpRecord& map = t.Ring().Map(0);
  SetIdentityMap(map);
  map.m[2] = 1.0f;
  map.m[6] = 0.5f;
  d.SetCurrentFrame(kKeyFrames + 0);
  d.UpdateDisplay(false);
  ASSERT_EQ(d.ShownFrame(), 0);
  d.SetPoseView(true);
  const Screenshot warped = Draw();
  Save(warped, "display_pose_view.png");
  int wrong = 0;
  for (int y = 60; y < kHeight - 20; y += 7)
    for (int x = 20; x < kWidth - 40; x += 5) {
      const u8 g = display_scene::FrameGrey(0, x + 16, y + 8);
      const u8* p = warped.At(x, y);
      // Green crosses lie on top of some pixels.
      wrong += !(p[0] == g && p[1] == g && p[2] == g) && !(p[0] == 0 && p[1] == 255);
    }
  EXPECT_EQ(wrong, 0);
  // The crosses, and the match overlay's points, move with the image.
  d.SetSetting(kCornerMode, 0);
  d.SetSetting(kOverlayMode, 2);
  const Screenshot points = Draw();
  const Intrinsic& k = scene->Camera().intrinsic[0];
  int moved = 0, yellow = 0, matches = 0;
  for (const MapMatch& m : scene->Frame(0).mapMatches[0]) {
    int x, y;
    WindowPixel(k, m.nx, m.ny, x, y);
    x -= 16, y -= 8;
    if (x < 10 || y < 50 || x >= kWidth - 10 || y >= kHeight - 10) continue;
    ++matches;
    moved += warped.Is(x + 3, y, 0, 255, 0) || warped.Is(x - 3, y, 0, 255, 0);
    yellow += points.Is(x, y, 255, 255, 0);
  }
  ASSERT_GT(matches, 5);
  EXPECT_GE(moved, matches * 9 / 10);
  EXPECT_GE(yellow, matches * 9 / 10);
  d.SetSetting(kOverlayMode, 0);
  // Without the pose view the frame is drawn as it is.
  d.SetPoseView(false);
  const Screenshot plain = Draw();
  const u8 g = display_scene::FrameGrey(0, 300, 200);
  EXPECT_TRUE(plain.Is(300, 200, g, g, g) || plain.Is(300, 200, 0, 255, 0));
}

// Recording reads the window back at its size of the moment: a resize after
// the first recording must not overflow the image (ASan watches).
TEST_F(DisplayWindowTest, RecordingFollowsTheWindowSizeAndNamesFilesByFrame) {
  Tracker& t = scene->tracker;
  const std::filesystem::path folder =
      display_scene::ScreenshotFolder() / ("recording-" + std::to_string(::getpid()));
  std::filesystem::remove_all(folder);
  t.SetOutputFolder((folder / "frame0000.png").string());
  t.SetStartFrame(7);
  TrackerDisplay& d = Display();
  d.SetCurrentFrame(kKeyFrames + 2);
  d.UpdateDisplay(true);
  const std::filesystem::path first = folder / "frame0000.png";
  ASSERT_TRUE(std::filesystem::exists(first)) << first;
  CVD::Image<CVD::Rgb<u8>> saved = CVD::img_load(first.string());
  ASSERT_EQ(saved.size(), CVD::ImageRef(kWidth, kHeight));
  // Top row first, the frame's colours below the text.
  const CVD::Rgb<u8> c = display_scene::FrameColour(2, 600, 400);
  EXPECT_EQ(saved[400][600], c);
  // The recording's settings are put back.
  EXPECT_EQ(d.Setting(kDisplayMode), kInitialDisplaySettings[kDisplayMode]);
  EXPECT_EQ(d.Setting(kTrackFilter), kInitialDisplaySettings[kTrackFilter]);

  t.HandleResize(CVD::ImageRef(kWidth + 160, kHeight + 120));
  d.UpdateDisplay(true);
  const CVD::Image<CVD::Rgb<u8>> larger = CVD::img_load(first.string());
  EXPECT_EQ(larger.size(), CVD::ImageRef(kWidth + 160, kHeight + 120));
  std::filesystem::remove_all(folder);
}

// The pause loop holds the update until a key steps (1), unpauses (19) or
// quits; the keys come through the X server to the focused window, pressed
// while the update waits. A key that never arrives fails the test through
// the watchdog rather than hanging it.
TEST_F(DisplayWindowTest, APausedUpdateReturnsOnStepUnpauseAndEscape) {
  if (!HasXdotool()) GTEST_SKIP() << "xdotool missing";
  ASSERT_TRUE(FocusWindow("pause")) << "the window was not mapped and focused in time";
  TrackerDisplay& d = Display();
  // True when the update returned only once the keys were on their way (it
  // waited for them) and no watchdog had to end it; no keys: it returned
  // by itself.
  const auto update = [&](const std::string& keys) {
    KeyWatchdog watchdog(windowId, std::chrono::seconds(30));
    std::atomic<bool> pressing{false};
    std::thread presser;
    if (!keys.empty())
      presser = std::thread([&] {
        // Time for the update to reach its wait; a key that comes sooner
        // counts all the same.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pressing = true;
        EXPECT_EQ(std::system(PressKeys(keys).c_str()), 0) << keys;
      });
    d.UpdateDisplay(true);
    const bool afterKeys = keys.empty() || pressing.load();
    watchdog.Done();
    if (presser.joinable()) presser.join();
    return afterKeys && !watchdog.Fired();
  };
  d.SetPaused(true);
  EXPECT_TRUE(update("ctrl+a"));
  EXPECT_TRUE(d.Paused());  // a step leaves the pause on
  // A step pressed before the update draws (a loaded machine runs the
  // presser first) is this update's step all the same.
  ASSERT_EQ(std::system(PressKeys("ctrl+a").c_str()), 0);
  EXPECT_TRUE(update(""));
  EXPECT_TRUE(d.Paused());
  EXPECT_TRUE(update("ctrl+s"));
  EXPECT_FALSE(d.Paused());
  EXPECT_FALSE(scene->tracker.StopRequested());
  EXPECT_TRUE(update(""));  // not paused: straight through
  d.SetPaused(true);
  EXPECT_TRUE(update("Escape"));
  EXPECT_TRUE(scene->tracker.StopRequested());
  EXPECT_TRUE(update(""));  // once quit nothing waits
}

}  // namespace

// ctest-labels: threads
// The per-frame driver's decisions on scripted stage values (lost,
// relocalisation and key-frame limits, initialisation, reporting, the
// save-and-quit frame), the key-frame neighbourhood, the hand-over to fake
// workers on real pools and queues, and the map-viewing tracker's records.
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "tests/tracker/DriverFixture.h"

namespace {

// Key frames at x = spacing, 2 spacing, ... with the frames' orientation.
void AddKeyFrames(Tracker& t, int count, float spacing) {
  CameraPose pose = t.Ring()[0].pose.slot[kVisual];
  MapWorkingCopy& w = t.MapView().Working();
  for (int i = 0; i < count; ++i) {
    pose.m[0][3] = -spacing * static_cast<float>(i + 1);
    w.keyFramePoses.PushBack(pose, 100);
    w.keyFrameFlags.push_back(0);
    w.keyFrameMeasurementStart.push_back(0);
  }
}

// The key frames the last collection found, in order.
std::vector<int> NearbyKeyFrames(const KeyFrameNeighbourhood& n) {
  std::vector<int> keyFrames;
  for (const ScoredKeyFrame& e : n.Nearby()) keyFrames.push_back(e.keyFrame);
  return keyFrames;
}

// A worker that logs each item it takes and returns it; a null item ends it.
template <class T>
struct FakeWorker {
  template <class Describe>
  FakeWorker(Names& log, std::mutex& mutex, Describe describe)
      : pool(2), queue(2), thread([this, &log, &mutex, describe] {
          for (T* item; (item = queue.Get()) != nullptr; pool.Put(item)) {
            std::lock_guard<std::mutex> lock(mutex);
            log.push_back(describe(*item));
          }
        }) {}
  ~FakeWorker() {
    queue.Put(nullptr);
    thread.join();
  }

  MutexBufferPool<T> pool;
  MutexBufferQueue<T> queue;
  std::thread thread;
};

// Key frame `id` with, per level, the tracks it matches and how many it
// creates; the records depend on nothing else.
void PushKeyFrame(GlobalMap& map, u32 id,
                  const std::array<std::pair<std::vector<u32>, u32>, 4>& levels) {
  KeyFrameInput input;
  input.frameId = id;
  input.state.quaternion[3] = 1.0;
  for (int l = 0; l < 4; ++l) {
    input.tracks[l] = levels[l].first;
    for (u32 i = 0; i < levels[l].first.size() + levels[l].second; ++i) {
      input.pixels[l].PushBack8({1.0f * i, 1.0f * l});
      input.normalized[l].PushBack8({0.01f * i, 0.02f * id});
    }
  }
  MapWorkingCopy working;
  map.Synchronize(working);
  if (id == 0)
    map.InitializeKeyFrame(input, {});
  else
    map.PushKeyFrame(0, working, input, 1, "Tracker");
}

}  // namespace

using TrackerDriver = DriverFixture;

TEST_F(TrackerDriver, StartFrameIsTheFirstKeyFrameAndTheRingWrapsAfterThirtyFrames) {
  EXPECT_EQ(Status().firstKeyFrameNumber, static_cast<u32>(kUnsetCounter));
  // A new tracker is neither recovering nor relocalising: its first tracked
  // frame is matched as a tracking one.
  EXPECT_EQ(Status().recovering + Status().relocalising, 0);
  for (int i = 0; i < 31; ++i) {
    EXPECT_EQ(Step(), i < 30 ? i : 0) << "frame " << i;
    EXPECT_EQ(Status().firstKeyFrameNumber, 0u) << "frame " << i;
  }
  EXPECT_EQ(Pushes(), Names{"0,0,sync"});
  EXPECT_EQ(tracker->Ring().Size(), 30);
  EXPECT_EQ(Frame(0).number, 30);
  EXPECT_EQ(Frame(1).candidate, 1);
}

// A start frame that finds too few features to hold (black, or the lens
// covered) is no first key frame: the start moves to the next frame, and a
// two-view start's end moves with it.
TEST_F(TrackerDriver, ABlankStartFrameMovesTheStartOn) {
  At(0).features = 0;
  At(1).features = 9;
  Step(2);
  EXPECT_TRUE(Pushes().empty());
  EXPECT_EQ(Status().startFrame, 2);
  EXPECT_EQ(Status().tracking, 0);
  EXPECT_EQ(pose.m[0][0], FLT_MAX);
  Step();
  EXPECT_EQ(Pushes(), Names{"0,0,sync"});
  EXPECT_EQ(Status().tracking, 1);
  EXPECT_EQ(Frame(0).number, 2);  // the first key frame

  Make(0, 4);
  At(0).features = 0;
  Step();
  EXPECT_EQ(Status().startFrame, 1);
  EXPECT_EQ(Status().endFrame, 5);
  Step(3);  // frame 3 is half-way from 1 to 5
  EXPECT_FLOAT_EQ(progress, 0.5f);
  EXPECT_EQ(Pushes(), (Names{"0,0,sync", "2,0,sync"}));
}

// One run along the lost and acceptance limits: per frame whether a
// relocalisation was tried and undone, and whether the tracker recovers.
TEST_F(TrackerDriver, LostFramesRelocaliseAndWorseAttemptsAreUndone) {
  struct Row {
    FrameScript s;  // n, relocN, M, relocM
    bool tried, undone, recovering;
  };
  const Row rows[] = {
      {{10, 0, 0.1f, 1.0f}, true, true, false},        // lost, but ten inliers are not rejected
      {{10, 10, 0.1f, 0.1f}, true, false, false},      // ten after the attempt are enough
      {{30, 0, 0.6f, 1.0f}, false, false, false},      // at both limits: not lost
      {{29, 29, 0.1f, 0.1f}, true, false, false},      // too few inliers; equal values are kept
      {{100, 100, 0.61f, 0.61f}, true, false, false},  // too much lost
      {{20, 19, 0.5f, 0.1f}, true, true, false},       // fewer inliers after the attempt
      {{5, 5, 0.1f, 1.0f}, true, true, true},          // rejected: recovering from here on
      {{20, 20, 0.5f, 0.5f}, true, true, true},        // recovering wants 50 inliers
      {{20, 60, 0.5f, 0.5f}, true, false, true},
  };
  script.keyFrameAlignment[0] = 1.0f;  // relocalisation finds key frame 0
  for (size_t i = 0; i < std::size(rows); ++i) At(static_cast<int>(i) + 1) = rows[i].s;
  Step();
  for (const Row& r : rows) {
    const size_t saved = Count("SaveFrameMatches"), restored = Count("RestoreFrameMatches");
    const bool wasRecovering = Status().recovering != 0;
    const TrackerFrame& f = Frame(Step());
    // After a run of lost frames the key frames' maps are no start.
    if (r.tried) {
      EXPECT_EQ(script.relocalisationStart,
                wasRecovering ? KeyFrameAlignment::kRecovering : KeyFrameAlignment::kRelocalising);
    }
    EXPECT_EQ(Count("SaveFrameMatches") - saved, r.tried ? 1u : 0u) << f.number;
    EXPECT_EQ(Count("RestoreFrameMatches") - restored, r.undone ? 1u : 0u) << f.number;
    EXPECT_EQ(f.relocalisationKeyFrame, r.tried && !r.undone ? 0 : kNone16) << f.number;
    EXPECT_EQ(f.rejected, r.s.n < 10 ? 1 : 0) << f.number;
    EXPECT_EQ(Status().recovering, r.recovering ? 1 : 0) << f.number;
  }
}

// The key frame is the lowest-loss candidate, ties keeping the newer. While
// recovering the best new frame is pushed provisionally. A key frame with
// too few matches after its own matching is demoted and starts a recovery.
// A frame faster than 5 per second is never pushed, 5 itself is slow enough,
// and a push that leaves 500 or more key frames trims.
TEST_F(TrackerDriver, KeyFrameChoice) {
  for (int i = 1; i <= 3; ++i) {
    At(i).parallax = i == 3 ? 100.0f : 70.0f;
    At(i).M = i == 3 ? 0.1f : 0.05f;
  }
  At(4).parallax = 100.0f;
  Step(5);  // the third key frame is the first that does not wait for the workers
  EXPECT_EQ(Pushes(), (Names{"0,0,sync", "2,0,sync", "4,0,async"}));

  // The baseline and its ratio to the depth decide at 0.8 of the scene's
  // scale (here 0.5) each; an earlier frame is chosen only within 0.1 of it.
  Make();
  script.sceneScale = 0.5f;
  At(1).baseline = At(1).baselineRatio = 0.4f;
  At(2).baseline = 0.39f, At(2).baselineRatio = 0.4f;
  At(3).baseline = 0.4f, At(3).baselineRatio = 0.39f;
  At(4).parallax = 70.0f, At(4).M = 0.05f, At(4).x = At(4).z = 0.04f;  // 0.057 away
  At(5).parallax = 100.0f;
  // Away from the origin: the distance is between the two centres, 0.042.
  At(6).parallax = 70.0f, At(6).M = 0.05f;
  At(6).x = 0.2f, At(6).y = 0.33f, At(6).z = 0.31f;
  At(7).parallax = 100.0f;
  At(7).x = 0.2f, At(7).y = 0.3f, At(7).z = 0.34f;
  Step(8);
  EXPECT_EQ(Pushes(), (Names{"0,0,sync", "1,0,sync", "5,0,async", "6,0,async"}));

  // A candidate loses at most 0.5 more than the least loss since the last
  // key frame, and covers at most 0.3 less than the most covered.
  Make();
  At(1).M = 0.05f;
  At(2).M = 0.56f;
  At(3).I = 0.19f;
  At(4).M = 0.5f, At(4).I = 0.25f;
  Step(5);
  EXPECT_EQ(Frame(1).candidate + Frame(2).candidate + Frame(3).candidate, 1);
  EXPECT_EQ(Frame(4).candidate, 1);

  Make();
  At(1).n = 5;
  At(1).S = 0.5f;
  At(2).n = 20;
  At(2).S = 0.2f;
  Step(3);
  EXPECT_EQ(Pushes(), (Names{"0,0,sync", "1,2,sync"}));

  Make();
  At(1).parallax = 100.0f;
  At(1).keyFrameMapMatches = 9;
  Step(2);
  EXPECT_EQ(Pushes(), Names{"0,0,sync"});
  EXPECT_EQ(Frame(1).rejected, 1);
  EXPECT_EQ(Frame(1).candidate, 0);
  EXPECT_EQ(Status().recovering, 1);

  Make();
  for (int i = 1; i <= 3; ++i) At(i).parallax = 100.0f;
  At(2).speed = 5.01;
  At(3).speed = 5.0;
  Step(3);
  AddKeyFrames(*tracker, 497, 0.0f);  // 499 key frames: the next push makes 500
  Step();
  EXPECT_EQ(Pushes(), (Names{"0,0,sync", "1,0,sync", "3,0,async"}));
  EXPECT_EQ(script.calls.back(), "TrimKeyFrames");
}

// Without readings since the last key frame 0.4 of the parallax makes a key
// frame: 40 for the frame, 28 for an earlier candidate. With them 40 and 99
// are not enough.
TEST_F(TrackerDriver, WithoutReadingsAKeyFrameNeedsLessParallax) {
  for (int i = 1; i <= 4; ++i) At(i).readings = false;
  At(1).parallax = 27.9f, At(1).M = 0.05f;
  At(2).parallax = 28.0f, At(2).M = 0.05f;
  At(3).parallax = 40.0f;
  At(4).parallax = 39.9f;
  Step(5);
  EXPECT_EQ(Pushes(), (Names{"0,0,sync", "2,0,sync"}));

  Make();
  At(1).parallax = 40.0f;
  At(2).parallax = 99.0f;
  Step(3);
  EXPECT_EQ(Pushes(), Names{"0,0,sync"});
}

// Progress 0.5 pushes the midway key frame, 1 initialises the map; a failed
// initialisation resets: no pose, no ring, frames go on in slot 0.
TEST_F(TrackerDriver, InitialisationPushesMidwayAndInitialisesOrResetsAtFullProgress) {
  char text[256];
  for (const bool ok : {true, false}) {
    Make(0, 4);
    At(4).initialiseOk = ok;
    Step(3);
    EXPECT_FLOAT_EQ(progress, 0.5f);
    EXPECT_EQ(Pushes(), (Names{"0,0,sync", "2,0,sync"}));
    Step(2, text, sizeof(text));
    EXPECT_EQ(Pushes(),
              (ok ? Names{"0,0,sync", "2,0,sync", "4,0,sync"} : Names{"0,0,sync", "2,0,sync"}));
    EXPECT_EQ(Status().tracking, ok ? 1 : 0);
    EXPECT_EQ(pose.m[0][0], ok ? 1.0f : FLT_MAX);
    EXPECT_EQ(tracker->Ring().Size(), ok ? 5 : 0);
  }
  EXPECT_EQ(tracker->Ring().Current(), kNone16);
  EXPECT_NE(std::string(text).find("Frames 0  Points 0 / 0\n"), std::string::npos) << text;
  EXPECT_EQ(Step(), 0);

  // Progress counts from the start frame: frame 4 of 2 to 6 is half-way.
  Make(2, 6);
  Step(5);
  EXPECT_FLOAT_EQ(progress, 0.5f);
}

TEST_F(TrackerDriver, StatisticsTextHasBothLinesAndRespectsTheBuffer) {
  At(1).n = 40;
  At(1).u = 2;
  char text[256];
  Step(1, text, sizeof(text));
  // The second count is the map's inlier tracks.
  tracker->MapView().Working().trackFlags = {kTrackInlier, 0, kTrackSolved | kTrackInlier,
                                             kTrackSolved};
  Step(1, text, sizeof(text));
  int iso = -1, end = 0;  // the timer means are whole milliseconds
  EXPECT_EQ(
      std::sscanf(text,
                  "FPS %*f  Frames 1  Points 42 / 2\nFE %*d CT %*d IM %*d MU %*d OH %*d ISO %d\n%n",
                  &iso, &end),
      1)
      << text;
  EXPECT_EQ(end, static_cast<int>(std::strlen(text))) << text;  // nothing after the second line
  EXPECT_EQ(text[end - 1], '\n');
  char small[8] = "xxxxxxx";
  Step(1, small, 5);
  EXPECT_STREQ(small, "FPS ");
  EXPECT_EQ(small[6], 'x');
  Step(1, small, 1);
  EXPECT_EQ(small[0], '\0');
  // No buffer, whatever its stated size, and a buffer of no size: nothing is written.
  Step(1, nullptr, sizeof(small));
  Step(1, small, 0);
  EXPECT_EQ(small[0], '\0');
}

// The test frame is processed, then saved, then quits. Reset and Quit are
// harmless before any frame and twice; a frame below 64 x 64 is refused.
TEST_F(TrackerDriver, TestFrameSavesAndQuitsResetAndQuitRepeatSmallFramesAreRefused) {
  tracker->States().request = {"state.bin", 3};
  Step(3);
  EXPECT_EQ(Count("SaveStateIfRequested"), 0u);
  Step();
  const Names& calls = script.calls;
  EXPECT_EQ(Names(calls.end() - 2, calls.end()), (Names{"SaveStateIfRequested", "OnKeyDown(27)"}));
  EXPECT_TRUE(tracker->StopRequested());
  EXPECT_EQ(pose.m[0][0], 1.0f);  // the test frame itself is reported

  Make();
  tracker->Reset(true);
  tracker->Reset(true);
  tracker->Quit();
  tracker->Quit();
  EXPECT_TRUE(tracker->StopRequested());
  EXPECT_EQ(Step(), 0);  // after a reset every frame is a marker-phase frame
  tracker->Reset(false);
  tracker->Reset(false);
  image.resize(CVD::ImageRef(32, 32));
  const i32 before = Status().frameCounter;
  Step();
  EXPECT_EQ(Status().frameCounter, before);  // refused: smaller than 64 x 64
  EXPECT_EQ(pose.m[0][0], FLT_MAX);
}

TEST_F(TrackerDriver, AtMostTenNearestKeyFramesAndTheProvisionalOneFirst) {
  Step(2);
  {
    // The first key frame alone before the start: once, not as first and newest.
    KeyFrameNeighbourhood& n = tracker->Neighbourhood();
    EXPECT_EQ(n.CollectNearbyKeyFrames(1, {false, false}, Status().sceneScale).nearKeyFrame, 0);
    ASSERT_EQ(n.Nearby().size(), 1u);
  }
  AddKeyFrames(*tracker, 14, 1.0f);  // key frames 1..14 beside key frame 0
  NearKeyFrames links;
  // The key frames collected for frame 1, in order.
  const auto collect = [&] {
    KeyFrameNeighbourhood& n = tracker->Neighbourhood();
    links = n.CollectNearbyKeyFrames(1, {true, false}, Status().sceneScale);
    return NearbyKeyFrames(n);
  };
  EXPECT_EQ(collect(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(links.nearKeyFrame, 0);
  EXPECT_EQ(links.parallaxKeyFrame, kNone16);
  // Before the map starts: the first key frame, whose features the start
  // pairs with the frame, ahead of the newest one, so that the newest one's
  // tracks do not take the first one's corners.
  {
    KeyFrameNeighbourhood& n = tracker->Neighbourhood();
    links = n.CollectNearbyKeyFrames(1, {false, false}, Status().sceneScale);
    ASSERT_EQ(n.Nearby().size(), 2u);
    EXPECT_TRUE(n.Nearby()[0].keyFrame == 0 && n.Nearby()[1].keyFrame == 14);
    EXPECT_EQ(links.nearKeyFrame, 14);
  }

  // A provisional newest key frame far away still comes first; key frames
  // without parallax leave.
  tracker->MapView().Working().keyFrameFlags.back() = kKeyFrameWeak;
  script.keyFrameParallax[0] = -1.0f;
  script.keyFrameParallax[1] = 5.0f;
  EXPECT_EQ(collect(), (std::vector<int>{14, 2, 3, 4, 5, 6, 7, 8, 1}));
  EXPECT_EQ(links.parallaxKeyFrame, 14);
  EXPECT_EQ(links.nearKeyFrame, 2);

  // By distance in space: frame 1 at x = 1, key frames at 0, -0.8 and 2.
  Make();
  At(1).x = 1.0f;
  Step(2);
  AddKeyFrames(*tracker, 1, -0.8f);
  AddKeyFrames(*tracker, 1, 2.0f);
  EXPECT_EQ(collect(), (std::vector<int>{0, 2, 1}));

  // Beside the frame a key frame pitched 20 degrees is near and one pitched
  // 40 degrees is not, also half a unit up; out of reach (x = 5) the angle
  // does not matter.
  AddKeyFrames(*tracker, 2, 0.0f);
  // Key frame, degrees, centre x and y.
  const float pitched[4][4] = {{1, 20, 0, 0}, {2, 40, 0, 0}, {3, 40, 5, 0}, {4, 40, 1, 0.5f}};
  for (const auto& [k, degrees, x, y] : pitched) {
    CameraPose& p = tracker->MapView().Working().keyFramePoses[static_cast<u32>(k)];
    const float r = degrees * 0.017453292f;
    p.m[1][1] = p.m[2][2] = std::cos(r);
    p.m[1][2] = -std::sin(r), p.m[2][1] = std::sin(r);
    p.m[0][3] = -x;  // t = -R c
    p.m[1][3] = -std::cos(r) * y, p.m[2][3] = -std::sin(r) * y;
  }
  EXPECT_EQ(collect(), (std::vector<int>{0, 1, 3}));

  // While tracking, Run keeps the nearest key frame, not the newest.
  Step();
  EXPECT_EQ(Frame(tracker->Ring().Current()).nearKeyFrame, 0);

  // A candidate that moved more than 20 pixels from the reference pose
  // counts its patches and becomes the reference.
  At(3).rms = 20.5f, At(3).x = 3.0f;
  At(4).rms = 20.0f, At(4).x = 4.0f;
  Step(2);
  EXPECT_EQ(Status().referencePose.m[0][3], -3.0f);
}

// The distance counts along every axis: frame 1 at (1, 0, 0.5), key frames
// at the origin, at x = 2 (both 1.118 away) and at (1, 1.2, 0.5), 1.2 away.
TEST_F(TrackerDriver, NearbyKeyFramesAreOrderedByTheirDistanceInSpace) {
  At(1).x = 1.0f, At(1).z = 0.5f;
  Step(2);
  AddKeyFrames(*tracker, 1, 2.0f);
  AddKeyFrames(*tracker, 1, 1.0f);
  CameraPose& p = tracker->MapView().Working().keyFramePoses[2];
  p.m[0][3] = -1.0f, p.m[1][3] = -1.2f, p.m[2][3] = -0.5f;
  KeyFrameNeighbourhood& n = tracker->Neighbourhood();
  n.CollectNearbyKeyFrames(1, {true, false}, Status().sceneScale);
  EXPECT_EQ(NearbyKeyFrames(n), (std::vector<int>{0, 1, 2}));
}

TEST_F(TrackerDriver, RelocalisationTriesFourKeyFramesAndTheSmallestErrorWins) {
  Step(2);
  AddKeyFrames(*tracker, 59, 0.1f);
  Script& s = script;
  for (u16 k = 0; k < 60; ++k) s.keyFrameAlignment[k] = 1.0f;
  s.keyFrameAlignment[1] = 0.5f;
  s.keyFrameAlignment[2] = 0.5f;  // equal and later: replaces key frame 1
  s.keyFrameAlignment[9] = 0.1f;  // better but never tried
  s.calls.clear();
  KeyFrameNeighbourhood& n = tracker->Neighbourhood();
  EXPECT_EQ(n.FindRelocalisationKeyFrame(1, false), 2);
  EXPECT_EQ(s.calls, (Names{"AlignKeyFrameImage(0)", "AlignKeyFrameImage(1)",
                            "AlignKeyFrameImage(2)", "AlignKeyFrameImage(3)"}));
  // The key frames' maps are a start while tracking, stale after lost frames.
  EXPECT_EQ(s.relocalisationStart, KeyFrameAlignment::kRelocalising);
  n.FindRelocalisationKeyFrame(1, true);
  EXPECT_EQ(s.relocalisationStart, KeyFrameAlignment::kRecovering);
  s.keyFrameAlignment.clear();  // nothing aligns: none
  EXPECT_EQ(n.FindRelocalisationKeyFrame(1, false), kNone16);

  // The key frame that looks most like the frame is tried first: a blank key
  // frame and unlike ones rank behind the same view.
  {
    MapWorkingCopy& w = tracker->MapView().Working();
    w.keyFrames.resize(6);
    CVD::Image<float>& own = Frame(1).alignmentImage;
    own.resize(CVD::ImageRef(16, 12));
    for (int y = 0; y < 12; ++y)
      for (int x = 0; x < 16; ++x) own[y][x] = 20.0f * std::sin(0.9f * x + 1.7f * y);
    for (u16 k = 0; k < 6; ++k) {
      CVD::Image<float>& image = w.keyFrames[k].floatImage;
      image.resize(own.size());
      for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x)
          image[y][x] = k == 0 ? 0.0f : k == 5 ? own[y][x] : 20.0f * std::cos(k * x - y);
    }
    for (u16 k = 0; k < 60; ++k) s.keyFrameAlignment[k] = 1.0f;
    s.calls.clear();
    n.FindRelocalisationKeyFrame(1, false);
    ASSERT_FALSE(s.calls.empty());
    EXPECT_EQ(s.calls.front(), "AlignKeyFrameImage(5)");
  }

  // Without a pose every key frame is a candidate, and no more.
  Make();
  Step(2);
  AddKeyFrames(*tracker, 1, 0.1f);
  Frame(1).pose.slot[kVisual].m[0][0] = FLT_MAX;
  script.calls.clear();
  EXPECT_EQ(tracker->Neighbourhood().FindRelocalisationKeyFrame(1, false), kNone16);
  EXPECT_EQ(script.calls, (Names{"AlignKeyFrameImage(0)", "AlignKeyFrameImage(1)"}));
}

// A new key frame is matched with the first two nearby key frames its image
// aligns with.
TEST_F(TrackerDriver, KeyFrameMatchListHoldsTheFirstTwoNearbyKeyFramesThatAlign) {
  Step(2);
  AddKeyFrames(*tracker, 4, 1.0f);
  for (u16 k = 1; k <= 4; ++k) script.keyFrameAlignment[k] = 1.0f;
  KeyFrameNeighbourhood& n = tracker->Neighbourhood();
  n.CollectNearbyKeyFrames(1, {true, false}, Status().sceneScale);
  EXPECT_EQ(n.AlignToKeyFrameList(1, {true, false}), (std::vector<u16>{1, 2}));
}

// A frame aligns with the ring frame of its kind (rejected while recovering,
// else not) that covers the least of its image and aligns; frames that cover
// nothing are never tried.
TEST_F(TrackerDriver, FrameAlignsWithTheLeastCoveringRingFrameOfItsKind) {
  Step(5);
  const float coverage[4] = {0.0f, 0.4f, 0.2f, 0.3f};
  for (u16 i = 0; i < 4; ++i) {
    Frame(i).imageCoverage = coverage[i];
    Frame(i).rejected = i == 2 ? 1 : 0;
  }
  script.aligningFrames = {0, 1, 2, 3};
  KeyFrameNeighbourhood& n = tracker->Neighbourhood();
  script.calls.clear();
  EXPECT_EQ(n.AlignToCandidateKeyFrames(4, {true, false}).alignedFrame, 3);
  EXPECT_EQ(n.AlignToCandidateKeyFrames(4, {true, true}).alignedFrame, 2);
  script.aligningFrames = {1};
  script.calls.clear();
  EXPECT_EQ(n.AlignToCandidateKeyFrames(4, {true, false}).alignedFrame, 1);
  EXPECT_EQ(Names(script.calls.begin(), script.calls.begin() + 2),
            (Names{"AlignFrameImage(3)", "AlignFrameImage(1)"}));
  script.aligningFrames.clear();
  EXPECT_EQ(n.AlignToCandidateKeyFrames(4, {true, false}).alignedFrame, kNone16);
}

class TrackerHandOver : public DriverFixture {
 protected:
  // A tracker over the fake workers, the sender as its server link.
  void MakeWithWorkers(bool parallel, i32 endFrame = kUnsetCounter) {
    Make(0, endFrame,
         {&matcher.pool, &matcher.queue, &surf.pool, &surf.queue, &local.pool, &local.queue,
          &sender.pool, &sender.queue},
         parallel);
  }
  // The workers' log since the last call.
  Names Take() {
    Names taken;
    std::lock_guard<std::mutex> lock(mutex);
    taken.swap(log);
    return taken;
  }

  Names log;
  std::mutex mutex;
  FakeWorker<TrackMatchingData> matcher{
      log, mutex, [](const TrackMatchingData& d) { return "M" + std::to_string(d.frameId); }};
  FakeWorker<u16> surf{log, mutex, [](const u16& id) { return "S" + std::to_string(id); }};
  FakeWorker<u8> local{log, mutex, [](const u8& r) { return "L" + std::to_string(r); }};
  FakeWorker<ClientSendingData> sender{
      log, mutex, [](const ClientSendingData& m) {
        return "T" + std::to_string(m.type) + ":" + std::to_string(m.frameId) + ":" +
               std::to_string(m.image.size().x) + (m.flag ? "!" : "");  // server lost
      }};
};

// While initialising the server hears of every third frame, then of the
// initialisation; tracking, of every third frame, while candidate frames go
// to the matcher.
TEST_F(TrackerHandOver, MessagesCandidatesAndResetItemsInOrderAndDroppedWhenNoItemIsFree) {
  MakeWithWorkers(false, 7);
  Step(8);
  EXPECT_EQ(Take(), (Names{"T1:0:128", "T0:3:128", "T0:6:128", "T2:7:128"}));
  MakeWithWorkers(false);
  Step(8);
  const Names expected = {"T1:0:128", "M1", "M2",       "T0:3:128", "M3",
                          "M4",       "M5", "T0:6:128", "M6",       "M7"};
  EXPECT_EQ(Take(), expected);
  // A reset reports the current frame when it is far enough from the last.
  Step(2);
  tracker->Links().SetLastSentFrame(0);
  Take();
  tracker->Reset(true);
  EXPECT_EQ(Take(), (Names{"M4294967295", "S65535", "L3", "T0:9:128"}));
  // No current frame after a reset: no frame message, and Quit reports -1.
  tracker->Links().SetLastSentFrame(0);
  tracker->Reset(true);
  tracker->Quit();
  EXPECT_EQ(Take(), (Names{"M4294967295", "S65535", "L3", "T6:-1:0"}));
  EXPECT_TRUE(tracker->StopRequested());

  // In parallel, a message finding no free item is dropped: the link now
  // goes to a sender that never takes anything, one item in its pool.
  MutexBufferPool<ClientSendingData> pool(1);
  MutexBufferQueue<ClientSendingData> queue(1);
  MakeWithWorkers(true);
  Step();
  tracker->SetServerLink(&pool, &queue);
  Step(6);  // never waits for the sender
  EXPECT_EQ(queue.Count(), 1u);
  EXPECT_EQ(pool.Count(), 0u);
  EXPECT_EQ(tracker->Links().LastSentFrame(), 3);  // frame 6's message was dropped
  EXPECT_EQ(queue.TryGet()->frameId, 3);
}

// The map-viewing tracker over a loaded map: its key-frame records locate
// each key frame's new tracks per level and its features.
TEST_F(TrackerDriver, MapViewRecordsLocateEachKeyFramesNewTracksAndFeatures) {
  EXPECT_TRUE(Tracker(*map).MapView().Records().empty());  // none of an empty map
  // Tracks 0-2 on level 0 and 3-4 on level 2 of key frame 0; key frame 1
  // matches 0, 1 (level 0) and 3 (level 3) and creates 5 (level 0) and 6, 7
  // (level 1); key frame 2 matches 5 and creates 8 (level 2) and 9, 10
  // (level 3).
  PushKeyFrame(*map, 0, {{{{}, 3}, {{}, 0}, {{}, 2}, {{}, 0}}});
  PushKeyFrame(*map, 1, {{{{0, 1}, 1}, {{}, 2}, {{}, 0}, {{3}, 0}}});
  PushKeyFrame(*map, 2, {{{{5}, 0}, {{}, 0}, {{}, 1}, {{}, 2}}});
  ASSERT_EQ(map->TrackCount(), 11u);
  MapWorkingCopy earlier;  // another reader has pulled the map, clearing its change flag
  map->Synchronize(earlier);

  Tracker view(*map);
  EXPECT_EQ(map->KeyFrameCount(), 3u) << "viewing must leave the map intact";
  const std::vector<KeyFrameRecord>& records = view.MapView().Records();
  ASSERT_EQ(records.size(), 3u);
  const u32 expected[3][6] = {{0, 3, 3, 5, 5, 0}, {5, 6, 8, 8, 8, 5}, {8, 8, 8, 9, 11, 11}};
  for (int k = 0; k < 3; ++k) {
    for (int l = 0; l <= kPyramidLevels; ++l)
      EXPECT_EQ(records[k].firstPatch[l], expected[k][l]) << "key frame " << k << ", level " << l;
    EXPECT_EQ(records[k].featureStart, expected[k][5]) << "key frame " << k;
  }
  EXPECT_EQ(view.Status().tracking, 1);
  EXPECT_FALSE(IsPoseValid(view.Status().referencePose));
  EXPECT_EQ(view.Ring().Current(), kNone16);
}

// Frame input and the ring's bookkeeping: late removal of rejected frames,
// the recovering walk that keeps the best frames, removal with the inertial
// samples, ring poses following a map change, the marker phase with its
// template cache, patch reliability, re-derivation of a frame's matches
// after merges and trims, key-frame track tables, and the host's attitude
// taken only by a map whose start took it.
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <utility>
#include <vector>

#include "common/mapping/SyntheticMap.h"
#include "optimization/IMUParameters.h"
#include "tests/common/TempFolder.h"
#include "tests/tracker/DriverFixture.h"

using FrameInput = DriverFixture;

// A rejected frame leaves the ring one frame later. While recovering the
// best rejected frames (by image and by combined coverage) stay and the
// oldest other one leaves.
TEST_F(FrameInput, RejectedFramesLeaveTheRingOneFrameLater) {
  At(1).n = 9;
  Step(3);
  EXPECT_EQ(Ring(), (std::vector<int>{0, 1, 2}));
  Step();
  EXPECT_EQ(Ring(), (std::vector<int>{0, 2, 3}));
  EXPECT_EQ(tracker->Ring().Reference(), 1);  // the previous frame, moved down

  Make();
  const float image[5] = {0, 0.9f, 0.1f, 0.1f, 0.1f};
  const float combined[5] = {0, 0.02f, 0.09f, 0.01f, 0.0f};
  for (int i = 1; i <= 4; ++i) {
    At(i).n = 5;
    At(i).I = image[i];
    At(i).S = combined[i];
  }
  Step(5);
  EXPECT_EQ(Ring(), (std::vector<int>{0, 1, 2, 3, 4}));
  Step();
  EXPECT_EQ(Ring(), (std::vector<int>{0, 1, 2, 4, 5}));
}

TEST_F(FrameInput, RemovedFrameHandsOnItsSamplesAndTheOldestDropsThem) {
  Step(4);  // slots 0..3, frame i at time 0.1 (i + 1)
  for (int i = 0; i < 3; ++i) {
    Frame(i).samples.assign(1, IMUSample{});
    Frame(i).samples[0].time = 0.05 + 0.1 * i;
  }
  tracker->Ring().RemoveFrame(1);
  EXPECT_EQ(Ring(), (std::vector<int>{0, 2, 3, 1}));  // slot 3 is the freed one
  ASSERT_EQ(Frame(1).samples.size(), 2u);
  EXPECT_DOUBLE_EQ(Frame(1).samples[0].time, 0.15);
  EXPECT_NEAR(Frame(1).delta[kFromPrevious].dt, 0.2, 1e-12);  // from frame 0 to frame 2
  tracker->Ring().RemoveFrame(tracker->Ring().Current());     // never removed, hands on nothing
  EXPECT_EQ(Frame(0).samples.size(), 1u);
  // The oldest frame's predecessor would be the newest: its samples go.
  tracker->Ring().RemoveFrame(0);
  EXPECT_EQ(Frame(0).number, 2);
  EXPECT_EQ(Frame(0).samples.size(), 2u);
  EXPECT_EQ(Frame(0).delta[kFromPrevious].dt, 0.0);
  EXPECT_EQ(Frame(0).delta[kFromPrevious].dq[3], 1.0);
}

TEST_F(FrameInput, RingPosesFollowTheirKeyFrameWhenTheMapChanges) {
  // The map as the tracker's key frame 0 left it, moved by 1 along x.
  const auto moveKeyFrame = [&](u8 flag) {
    CameraPose moved = Frame(0).pose.slot[kVisual];
    moved.m[0][3] += 1.0f;
    map->keyFramePoses.Clear();
    map->keyFramePoses.PushBack(moved, 10);
    map->keyFrameFlags.assign(1, flag);
    map->keyFrameMeasurementStart.assign(2, 0);
    map->changed = 1;
  };
  Step();
  moveKeyFrame(kKeyFrameAdjusted);
  Step();  // a ring of two: the key frame follows
  EXPECT_FLOAT_EQ(Frame(0).pose.slot[kVisual].m[0][3], 1.0f);
  Make();
  At(2).x = 0.5f;  // off the key frame: an unadjusted key frame moves it nowhere
  Step(4);
  for (u8 flag : {u8(0), u8(kKeyFrameAdjusted)}) {
    moveKeyFrame(flag);
    const float before0 = Frame(0).pose.slot[kVisual].m[0][3];
    const float before2 = Frame(2).pose.slot[kVisual].m[0][3];
    Step();
    EXPECT_FLOAT_EQ(Frame(2).pose.slot[kVisual].m[0][3], before2 + (flag ? 1.0f : 0.0f));
    EXPECT_FLOAT_EQ(Frame(0).pose.slot[kVisual].m[0][3], before0 + (flag ? 1.0f : 0.0f));
  }
}

// Without a template file no detector runs; with one a capture is saved and
// read back, a cache whose count overruns the file is read as far as it
// goes, and no more than four blocks are read.
TEST_F(FrameInput, MarkerPhaseTemplateCache) {
  Make(3);
  Step(3);
  EXPECT_EQ(tracker->Marker().Detector(), nullptr);
  EXPECT_EQ(Ring(), (std::vector<int>{2}));

  TempFolder folder;
  const std::string path = folder.File("marker.txt");
  Make(5);
  tracker->SetMarkerTemplateFile(path);
  Step();
  ASSERT_NE(tracker->Marker().Detector(), nullptr);
  EXPECT_TRUE(tracker->Marker().Template().empty());  // no cache yet
  const std::vector<int32_t> captured = {8, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0};
  tracker->Marker().Captured() = captured;  // as the detector leaves a capture
  Step();
  EXPECT_TRUE(tracker->StopRequested());
  // The saved capture; a count larger than the file; a fifth block.
  const std::vector<int32_t> overrun = {1000, 7, 9}, fifth = {0, 0, 0, 0, 7};
  for (const std::vector<int32_t>* file : {&captured, &overrun, &fifth}) {
    if (file != &captured)
      folder.Write("marker.txt",
                   std::string(reinterpret_cast<const char*>(file->data()), 4 * file->size()));
    Make(5);
    tracker->SetMarkerTemplateFile(path);
    Step();
    EXPECT_EQ(tracker->Marker().Template(), file != &fifth ? *file : std::vector<int32_t>(4, 0));
    EXPECT_FALSE(tracker->StopRequested());
  }
  // A capture that cannot be written is reported, and the run still ends.
  if (access("/dev/full", W_OK) == 0) {
    Make(5);
    tracker->SetMarkerTemplateFile("/dev/full");
    Step();
    tracker->Marker().Captured() = captured;
    testing::internal::CaptureStdout();
    Step();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Could not write '/dev/full'\n");
    EXPECT_TRUE(tracker->StopRequested());
  }
}

// Before the start frame the camera stands at the assumed height above the
// ground with the prior's tilt, upright without a prior.
TEST(MarkerPhase, CameraAboveTheGroundWithThePriorsTilt) {
  const TrackerCamera camera;
  MarkerPhase phase(camera, false);
  phase.SetTemplateFile("");
  f64 prior[8] = {0.1, 0.2, 0.3, std::sqrt(1.0 - 0.14), 0, 0, 0, 0.0};
  for (const bool withPrior : {true, false}) {
    prior[7] = withPrior ? 0.0 : DBL_MAX;
    TrackerFrame f;
    f.Reset();
    EXPECT_FALSE(phase.Run(f, prior));
    const IMUState& s = f.state.record[kVisual];
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(s.quaternion[i], withPrior ? prior[i] : (i == 3 ? 1.0 : 0.0)) << i;
    EXPECT_EQ(std::vector<f64>(s.position, s.position + 3),
              (std::vector<f64>{0.0, 0.0, IMU_INITIAL_HEIGHT}));
    EXPECT_TRUE(IsPoseValid(f.pose.slot[kVisual]));
    EXPECT_EQ(std::memcmp(&f.pose.slot[kVisual], &f.pose.slot[kPredicted], sizeof(CameraPose)), 0);
  }
}

TEST_F(FrameInput, PatchLosesReliabilityAfterElevenMissesOrMoreMissesThanSightings) {
  Step();
  TrackerMapView& view = tracker->MapView();
  view.Patches().Resize(1);
  view.Patches()[0] = FeaturePatch{};
  TrackerFrame& f = Frame(0);
  // Reliable after the patch is found (or missed) `times` more frames.
  const auto reliable = [&](bool found, int times) {
    f.mapMatches[0].assign(found ? 1 : 0, MapMatch{});
    f.lost[0].assign(found ? 0 : 1, ImageMatch{0, 0, 0, 0, 0});
    for (int i = 0; i < times; ++i) view.UpdatePatchStatistics(f);
    return (view.Patches()[0].flags & kPatchReliable) != 0;
  };
  EXPECT_TRUE(reliable(true, 20));
  EXPECT_TRUE(reliable(false, 10));
  EXPECT_FALSE(reliable(false, 1));
  EXPECT_TRUE(reliable(true, 2));  // found again: the counts restart
  EXPECT_TRUE(reliable(false, 2));
  EXPECT_FALSE(reliable(false, 1));
}

TEST_F(FrameInput, MergedTracksKeepOneMatchAndTrimsRenumber) {
  Step();
  const u8 inlier = kTrackSolved | kTrackInlier;
  TrackerMapView& view = tracker->MapView();
  view.Working().trackFlags = {inlier, inlier, 0, kTrackSolved};
  TrackerFrame& f = Frame(0);
  // A track the map copy does not know counts as unsolved.
  f.mapMatches[1] = {MapMatch{9, 0, 0, 0, 0, 0, 0, 0, 0, 0}};
  EXPECT_EQ(view.CountUnsolvedMapMatches(f), 1u);
  f.mapMatches[1].clear();
  MapMatch m[4] = {};
  for (u32 t = 0; t < 4; ++t) m[t].track = m[t].patch = t;
  f.mapMatches[0] = {m[3], m[1], m[2], m[0]};
  f.candidates[0] = {ImageMatch{1, 1, 0, 0, 0}};
  view.ComputeFrameStatistics(f, {0, 0, 2, 3});  // track 1 merged into 0
  ASSERT_EQ(f.mapMatches[0].size(), 2u);
  EXPECT_EQ(f.mapMatches[0][0].track, 0u);
  EXPECT_EQ(f.mapMatches[0][1].track, 2u);
  ASSERT_EQ(f.lost[0].size(), 1u);  // the second match of track 0
  EXPECT_EQ(f.lost[0][0].track, 0u);
  ASSERT_EQ(f.misses[0].size(), 1u);  // the outlier
  EXPECT_EQ(f.misses[0][0].track, 3u);
  EXPECT_EQ(f.candidates[0][0].track, 0u);
  EXPECT_EQ(f.inlierCount, 1);
  EXPECT_EQ(f.unsolvedCount, 1);

  // Trim: track 0 gone, 2 -> 0, 3 -> 1; patches below 2 gone.
  view.Working().trackFlags = {0, kTrackSolved};
  view.UpdateFrameCounts(f, {kNone32, kNone32, 0, 1}, 2);
  ASSERT_EQ(f.mapMatches[0].size(), 1u);
  EXPECT_EQ(f.mapMatches[0][0].track, 0u);
  EXPECT_TRUE(f.lost[0].empty());
  ASSERT_EQ(f.misses[0].size(), 1u);
  EXPECT_EQ(f.misses[0][0].track, 1u);
  EXPECT_EQ(f.misses[0][0].patch, 1u);
  EXPECT_EQ(f.unsolvedCount, 1);
}

// Several matches of one track: the first in list order stays, the later
// ones go to the lost list in track order then list order; set-aside matches
// keep their list order within a track as well.
TEST_F(FrameInput, RederivedMatchesKeepListOrderWithinATrack) {
  Step();
  const u8 inlier = kTrackSolved | kTrackInlier;
  TrackerMapView& view = tracker->MapView();
  view.Working().trackFlags = {inlier, 0, inlier, 0};
  TrackerFrame& f = Frame(0);
  const u32 tracks[8] = {2, 0, 2, 0, 1, 3, 1, 2};
  f.mapMatches[0].clear();
  for (u32 i = 0; i < 8; ++i) {
    MapMatch m{};
    m.track = tracks[i];
    m.patch = 10 + i;
    f.mapMatches[0].push_back(m);
  }
  f.lost[0].clear();
  f.misses[0].clear();
  view.ComputeFrameStatistics(f, {0, 1, 2, 3});
  auto patches = [](const auto& list) {
    std::vector<u32> out;
    for (const auto& m : list) out.push_back(m.patch);
    return out;
  };
  // Inliers by track, then the first set-aside match of each unsolved track.
  EXPECT_EQ(patches(f.mapMatches[0]), (std::vector<u32>{11, 10, 14, 15}));
  EXPECT_EQ(patches(f.lost[0]), (std::vector<u32>{13, 12, 17}));
  EXPECT_EQ(patches(f.misses[0]), (std::vector<u32>{16}));
}

// A key frame's tracks: their index among its measurements, and how many
// carry a flag; a key frame that does not exist has none.
TEST_F(FrameInput, KeyFrameTrackTables) {
  Step();  // a ring of one frame
  TrackerMapView& view = tracker->MapView();
  MapWorkingCopy& w = view.Working();
  w.trackFlags.assign(8, 0);
  w.trackFlags[5] = w.trackFlags[7] = kTrackSolved | kTrackInlier;
  w.keyFrameMeasurementStart = {0, 3};
  w.measurementTracks = {5, 2, 7};
  std::vector<u16> table;
  view.MapKeyFrameTrackIndices(0, table);
  const u16 none = kNone16;
  EXPECT_EQ(table, (std::vector<u16>{none, none, 1, none, none, 0, none, 2}));
  EXPECT_EQ(view.CountKeyFrameTracks(0, kTrackInlier), 2u);
  EXPECT_EQ(view.CountKeyFrameTracks(1, kTrackInlier), 0u);
  // Per level: key frame 0 has track 5 on level 0, tracks 2 and 7 on level
  // 2; key frame 1 has track 7 on level 1 and track 2 on level 3.
  w.keyFrameMeasurementStart = {0, 3, 5};
  w.measurementTracks = {5, 2, 7, 7, 2};
  w.keyFrames.resize(2);
  const u16 offsets[2][6] = {{0, 1, 1, 3, 3, 3}, {0, 0, 1, 1, 2, 2}};
  for (int k = 0; k < 2; ++k) std::copy(offsets[k], offsets[k] + 6, w.keyFrames[k].levelOffsets);
  const u32 inliers[2][4] = {{1, 0, 1, 0}, {0, 1, 0, 0}};
  for (u16 k = 0; k < 2; ++k)
    for (int l = 0; l < kPyramidLevels; ++l)
      EXPECT_EQ(view.CountKeyFrameTracksWithFlags(k, l, kTrackInlier), inliers[k][l]) << k << l;
  EXPECT_EQ(view.CountKeyFrameTracksWithFlags(1, 3, kTrackInlier | kTrackSolved), 0u);
  view.MapKeyFrameTrackIndices(1, table);
  EXPECT_EQ(table, (std::vector<u16>{none, none, 1, none, none, none, none, 0}));
  w.keyFrames.clear();  // a key frame the last pull did not see has none
  EXPECT_EQ(view.CountKeyFrameTracksWithFlags(0, 0, kTrackInlier), 0u);
  w.keyFrameMeasurementStart = {0, 3};
  w.measurementTracks = {5, 2, 7};

  // Match sets: frame matches of the key frame's tracks against its
  // features, and of the tracks two frames share.
  view.Records().assign(1, KeyFrameRecord{});
  view.KeyFrameNormalized().Resize(3);
  for (u32 i = 0; i < 3; ++i) view.KeyFrameNormalized()[i] = {0.1f * i, 0.2f * i};
  TrackerFrame& f = Frame(0);
  MapMatch m[3] = {};
  m[0].track = 7, m[0].nx = 1.0f;
  m[1].track = 4, m[1].nx = 2.0f;  // not the key frame's
  m[2].track = 5, m[2].nx = 3.0f;
  f.mapMatches[0] = {m[0], m[1]};
  f.mapMatches[3] = {m[2]};
  MatchSet2D set;
  std::vector<u32> lists[kPyramidLevels];
  view.BuildKeyFrameMatchSet(0, f, set, lists);
  ASSERT_EQ(set.Size(), 2u);
  EXPECT_EQ(lists[0], std::vector<u32>{7});
  EXPECT_EQ(lists[3], std::vector<u32>{5});
  std::vector<u8> marks;
  view.MarkKeyFrameTracks(0, marks);
  EXPECT_EQ(view.CountMarkedMapMatches(f, marks), 2u);  // tracks 5 and 7
  view.MapKeyFrameTrackIndices(0, table);               // track 5 at index 0
  f.mapMatches[2] = {m[2], m[2]};
  f.mapMatches[2][1].track = 8;  // past the tables
  EXPECT_EQ(view.CountKeyFrameTrackMatches(f, table), 3u);
  EXPECT_EQ(view.CountMarkedMapMatches(f, marks), 3u);
  f.mapMatches[2].clear();
  view.Working().planes.Resize(2);
  view.Working().trackPlanes = {0, kNone16, 1, 1};
  std::vector<u32> counts;
  view.CountPlaneTracks(counts);
  EXPECT_EQ(counts, (std::vector<u32>{1, 2}));
  f32 match[4];
  set.ReadMatch(0, match);  // track 7: the key frame's third feature
  EXPECT_EQ(std::vector<f32>(match, match + 4), (std::vector<f32>{0.2f, 0.4f, 1.0f, 0.0f}));
  TrackerFrame other;
  other.mapMatches[1] = {m[2], m[1]};
  view.BuildFrameMatchSet(other, f, set, lists);
  ASSERT_EQ(set.Size(), 2u);
  EXPECT_EQ(lists[0], std::vector<u32>{4});
  EXPECT_EQ(lists[3], std::vector<u32>{5});
}

// Counters at their limits. A state whose counters no run reaches is
// refused: a frame counter past the last, a start, end or last sent frame
// before the first frame, more rejected frames than frames. One at the last
// counter loads and stays there; a start frame far before the counter
// leaves the initialisation's progress where it is (nothing overflows).
TEST_F(FrameInput, CountersAtTheirLimits) {
  Make(kUnsetCounter);  // frames before the start: the map stays as the file's
  Step(3);
  TempFolder folder;
  const std::string path = folder.File("state.bin");
  ASSERT_TRUE(tracker->SaveState(path));
  std::ifstream in(path, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const size_t section = SavedMap(*map).size();
  // Tracker-section offsets: start, end, counter, last sent, rejected.
  constexpr size_t kStart = 0, kEnd = 4, kCounter = 8, kLastSent = 16, kRejected = 32;
  using Fields = std::vector<std::pair<size_t, i32>>;
  const auto patched = [&](const Fields& fields) {
    std::string b = bytes;
    for (const auto& [at, value] : fields)
      b.replace(section + at, 4, reinterpret_cast<const char*>(&value), 4);
    return folder.Write("patched.bin", b);
  };
  constexpr i32 kMin = std::numeric_limits<i32>::min();
  const i32 last = kLastFrameCounter;
  const Fields refused = {
      {kCounter, kUnsetCounter}, {kCounter, -2},  {kStart, kMin}, {kEnd, -2}, {kLastSent, 3},
      {kLastSent, -2},           {kRejected, -1}, {kRejected, 4}};
  for (const auto& field : refused) {
    EXPECT_FALSE(tracker->LoadState(patched({field}))) << field.first << " " << field.second;
    EXPECT_EQ(Status().frameCounter, 2);
  }
  ASSERT_TRUE(tracker->LoadState(patched({{kRejected, 3}})));
  ASSERT_TRUE(tracker->LoadState(patched({{kCounter, last}, {kLastSent, last}})));
  Step(2);
  EXPECT_EQ(Status().frameCounter, last);
  EXPECT_EQ(Frame(tracker->Ring().Current()).number, last);

  // Progress from the lowest start to the last end frame: half-way at 0.
  Make(kMin, last);
  Step();
  EXPECT_NEAR(Status().initProgress, 0.5f, 1e-6f);
}

// A host's attitude is taken in a level world. A map whose start frame came
// without one has a world of its own, and gravity read off later attitudes
// pulled every frame against its fixed first key frame (a room walk whose
// host had no attitude for its first frame ended at 4-5 % of its path, not
// 0.1-0.2 %): such a map takes no attitude until the next start, nor does
// it after its state is saved and loaded.
TEST_F(FrameInput, TheHostsAttitudeCountsOnlyInAMapWhoseStartTookIt) {
  const auto run = [this](int frames, bool priorAtStart) {
    for (int k = 0; k < frames; ++k) {
      const f64 t = 0.1 * (tracker->Status().frameCounter + 1);
      const f64 prior[8] = {0, 0, 0, 1, 0, 0, 0, k == 0 && !priorAtStart ? DBL_MAX : t};
      input.grey = image;
      input.time = t;
      tracker->Run(input, {}, prior, pose, planes, objects, nullptr, &progress, nullptr, 0);
    }
  };
  run(4, false);
  EXPECT_EQ(Status().levelled, 0);
  EXPECT_EQ(script.priorTimes, std::vector<f64>(3, DBL_MAX));

  Make();
  run(4, true);
  EXPECT_EQ(Status().levelled, 1);
  EXPECT_EQ(script.priorTimes, (std::vector<f64>{0.1 * 1, 0.1 * 2, 0.1 * 3}));

  // A reset forgets it; the next start decides again.
  tracker->Reset(false);
  tracker->SetStartFrame(Status().frameCounter + 1);
  script.priorTimes.clear();
  run(3, false);
  EXPECT_EQ(Status().levelled, 0);
  EXPECT_EQ(script.priorTimes, std::vector<f64>(2, DBL_MAX));
}

// scripted-stages
// Frame input and the ring's bookkeeping: late removal of rejected frames,
// the recovering walk that keeps the best frames, removal with the inertial
// samples, ring poses following a map change, the marker phase with its
// template cache, patch reliability, re-derivation of a frame's matches
// after merges and trims, and key-frame track tables.
#include "tests/common/TempFolder.h"
#include "tracker/ScriptedStages.h"

using FrameInput = ScriptedTracker;

// A rejected frame leaves the ring one frame later. While recovering the
// best rejected frames (by image and by combined coverage) stay and the
// oldest other one leaves.
TEST_F(FrameInput, RejectedFramesLeaveTheRingOneFrameLater) {
  At(1).n = 9;
  Step(3);
  EXPECT_EQ(Ring(), (std::vector<int>{0, 1, 2}));
  Step();
  EXPECT_EQ(Ring(), (std::vector<int>{0, 2, 3}));
  EXPECT_EQ(tracker->referenceFrame, 1);  // the previous frame, moved down

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
    tracker->frames[i].samples.assign(1, IMUSample{});
    tracker->frames[i].samples[0].time = 0.05 + 0.1 * i;
  }
  tracker->RemoveFrame(1);
  EXPECT_EQ(Ring(), (std::vector<int>{0, 2, 3, 1}));  // slot 3 is the freed one
  ASSERT_EQ(tracker->Frame(1).samples.size(), 2u);
  EXPECT_DOUBLE_EQ(tracker->Frame(1).samples[0].time, 0.15);
  EXPECT_NEAR(tracker->Frame(1).delta[0].dt, 0.2, 1e-12);  // from frame 0 to frame 2
  tracker->RemoveFrame(tracker->currentFrame);             // never removed, hands on nothing
  EXPECT_EQ(tracker->Frame(0).samples.size(), 1u);
  // The oldest frame's predecessor would be the newest: its samples go.
  tracker->RemoveFrame(0);
  EXPECT_EQ(tracker->Frame(0).number, 2);
  EXPECT_EQ(tracker->Frame(0).samples.size(), 2u);
  EXPECT_EQ(tracker->Frame(0).delta[0].dt, 0.0);
  EXPECT_EQ(tracker->Frame(0).delta[0].dq[3], 1.0);
}

TEST_F(FrameInput, RingPosesFollowTheirKeyFrameWhenTheMapChanges) {
  Step(4);
  for (u8 flag : {u8(0), u8(kKeyFrameAdjusted)}) {
    CameraPose moved = tracker->Frame(0).pose.slot[1];
    moved.m[0][3] += 1.0f;
    map->keyFramePoses.Clear();
    map->keyFramePoses.PushBack(moved, 10);
    map->keyFrameFlags.assign(1, flag);
    map->keyFrameMeasurementStart.assign(2, 0);
    map->changed = 1;
    const float before = tracker->Frame(2).pose.slot[1].m[0][3];
    Step();
    EXPECT_FLOAT_EQ(tracker->Frame(2).pose.slot[1].m[0][3], before + (flag ? 1.0f : 0.0f));
    EXPECT_FLOAT_EQ(tracker->Frame(0).pose.slot[1].m[0][3], before + (flag ? 1.0f : 0.0f));
  }
}

// Without a template file no detector runs; with one a capture is saved and
// read back, a cache whose count overruns the file is read as far as it
// goes, and no more than four blocks are read.
TEST_F(FrameInput, MarkerPhaseTemplateCache) {
  Make(3);
  Step(3);
  EXPECT_EQ(tracker->markerDetector, nullptr);
  EXPECT_EQ(Ring(), (std::vector<int>{2}));

  TempFolder folder;
  const std::string path = folder.File("marker.txt");
  Make(5);
  tracker->SetMarkerTemplateFile(path);
  Step();
  ASSERT_NE(tracker->markerDetector, nullptr);
  EXPECT_TRUE(tracker->markerTemplate.empty());  // no cache yet
  const std::vector<int32_t> captured = {8, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0};
  tracker->capturedTemplate = captured;  // as the detector leaves a capture
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
    EXPECT_EQ(tracker->markerTemplate, file != &fifth ? *file : std::vector<int32_t>(4, 0));
    EXPECT_FALSE(tracker->StopRequested());
  }
}

TEST_F(FrameInput, PatchLosesReliabilityAfterElevenMissesOrMoreMissesThanSightings) {
  Step();
  tracker->patches.Resize(1);
  tracker->patches[0] = FeaturePatch{};
  TrackerFrame& f = tracker->frames[0];
  // Reliable after the patch is found (or missed) `times` more frames.
  const auto reliable = [&](bool found, int times) {
    f.mapMatches[0].assign(found ? 1 : 0, MapMatch{});
    f.lost[0].assign(found ? 0 : 1, ImageMatch{0, 0, 0, 0, 0});
    for (int i = 0; i < times; ++i) tracker->UpdatePatchStatistics(0);
    return (tracker->patches[0].flags & kPatchReliable) != 0;
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
  tracker->working.trackFlags = {inlier, inlier, 0, kTrackSolved};
  TrackerFrame& f = tracker->frames[0];
  MapMatch m[4] = {};
  for (u32 t = 0; t < 4; ++t) m[t].track = m[t].patch = t;
  f.mapMatches[0] = {m[3], m[1], m[2], m[0]};
  f.candidates[0] = {ImageMatch{1, 1, 0, 0, 0}};
  tracker->ComputeFrameStatistics(0, {0, 0, 2, 3});  // track 1 merged into 0
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
  tracker->working.trackFlags = {0, kTrackSolved};
  tracker->UpdateFrameCounts(0, {kNone32, kNone32, 0, 1}, 2);
  ASSERT_EQ(f.mapMatches[0].size(), 1u);
  EXPECT_EQ(f.mapMatches[0][0].track, 0u);
  EXPECT_TRUE(f.lost[0].empty());
  ASSERT_EQ(f.misses[0].size(), 1u);
  EXPECT_EQ(f.misses[0][0].track, 1u);
  EXPECT_EQ(f.misses[0][0].patch, 1u);
  EXPECT_EQ(f.unsolvedCount, 1);
}

// A key frame's tracks: their index among its measurements, and how many
// carry a flag; a key frame that does not exist has none.
TEST_F(FrameInput, KeyFrameTrackTables) {
  MapWorkingCopy& w = tracker->working;
  w.trackFlags.assign(8, 0);
  w.trackFlags[5] = w.trackFlags[7] = kTrackSolved | kTrackInlier;
  w.keyFrameMeasurementStart = {0, 3};
  w.measurementTracks = {5, 2, 7};
  std::vector<u16> table;
  tracker->MapKeyFrameTrackIndices(0, table);
  const u16 none = kNoSlot;
  EXPECT_EQ(table, (std::vector<u16>{none, none, 1, none, none, 0, none, 2}));
  EXPECT_EQ(tracker->CountKeyFrameTracks(0, kTrackInlier), 2u);
  EXPECT_EQ(tracker->CountKeyFrameTracks(1, kTrackInlier), 0u);
}

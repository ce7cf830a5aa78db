// scripted-stages
// Frame input: late removal of rejected frames, the recovering walk that
// keeps the best frames, ring poses following a map change, and the marker
// phase with its template cache.
#include <cstdio>
#include <filesystem>

#include "tracker/ScriptedStages.h"

namespace {

std::vector<int> RingNumbers(const Tracker& t) {
  std::vector<int> numbers;
  for (u16 i = 0; i < t.RingSize(); ++i) numbers.push_back(t.Frame(i).number);
  return numbers;
}

}  // namespace

using FrameInput = ScriptedTracker;

TEST_F(FrameInput, RejectedFrameLeavesTheRingOneFrameLater) {
  TheScript().frames[1].n = 9;
  Make(0, kUnsetCounter);
  Steps(3);
  EXPECT_EQ(RingNumbers(*tracker), (std::vector<int>{0, 1, 2}));
  Step();
  EXPECT_EQ(RingNumbers(*tracker), (std::vector<int>{0, 2, 3}));
  EXPECT_EQ(tracker->referenceFrame, 1);  // the previous frame, moved down
}

TEST_F(FrameInput, RecoveringKeepsTheBestRejectedFramesAndRemovesTheOldestOther) {
  Script& s = TheScript();
  const float image[5] = {0, 0.9f, 0.1f, 0.1f, 0.1f};
  const float combined[5] = {0, 0.02f, 0.09f, 0.01f, 0.0f};
  for (int i = 1; i <= 4; ++i) {
    s.frames[i].n = 5;
    s.frames[i].I = image[i];
    s.frames[i].S = combined[i];
  }
  Make(0, kUnsetCounter);
  Steps(5);
  EXPECT_EQ(RingNumbers(*tracker), (std::vector<int>{0, 1, 2, 3, 4}));
  Step();
  EXPECT_EQ(RingNumbers(*tracker), (std::vector<int>{0, 1, 2, 4, 5}));
}

TEST_F(FrameInput, RingPosesFollowTheirKeyFrameWhenTheMapChanges) {
  Make(0, kUnsetCounter);
  Steps(4);
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

TEST_F(FrameInput, MarkerPhaseWithoutTemplateFileRunsNoDetector) {
  Make(3, kUnsetCounter);
  Steps(3);
  EXPECT_EQ(tracker->markerDetector, nullptr);
  EXPECT_EQ(tracker->RingSize(), 1);
  EXPECT_EQ(tracker->currentFrame, 0);
}

TEST_F(FrameInput, CapturedTemplateIsSavedAndReadBackAndACorruptCacheIsCut) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("marker_" + std::to_string(::getpid()) + ".txt"))
          .string();
  std::remove(path.c_str());
  Make(5, kUnsetCounter);
  tracker->SetMarkerTemplateFile(path);
  Step();
  ASSERT_NE(tracker->markerDetector, nullptr);
  EXPECT_TRUE(tracker->markerTemplate.empty());  // no cache yet
  const std::vector<int32_t> captured = {8, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0};
  tracker->capturedTemplate = captured;  // as the detector leaves a capture
  Step();
  EXPECT_TRUE(tracker->StopRequested());

  Make(5, kUnsetCounter);
  tracker->SetMarkerTemplateFile(path);
  Step();
  EXPECT_EQ(tracker->markerTemplate, captured);

  // A count larger than the file: read as far as it goes, no crash.
  FILE* f = std::fopen(path.c_str(), "wb");
  const int32_t corrupt[3] = {1000, 7, 9};
  std::fwrite(corrupt, 4, 3, f);
  std::fclose(f);
  Make(5, kUnsetCounter);
  tracker->SetMarkerTemplateFile(path);
  Step();
  EXPECT_EQ(tracker->markerTemplate, (std::vector<int32_t>{1000, 7, 9}));
  EXPECT_FALSE(tracker->StopRequested());
  std::remove(path.c_str());
}

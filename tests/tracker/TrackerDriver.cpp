// scripted-stages
// The per-frame driver's decisions on scripted stage values: lost and
// relocalisation thresholds, rejection, key-frame choice, initialisation,
// reporting and the save-and-quit frame.
#include <cstdio>
#include <cstring>

#include "tracker/ScriptedStages.h"

namespace {

FrameScript& At(int number) {
  return TheScript().frames[number];
}

}  // namespace

using TrackerDriver = ScriptedTracker;

TEST_F(TrackerDriver, StartFrameAnchorsAndTheRingWrapsAfterThirtyFrames) {
  Make(0, kUnsetCounter);
  for (int i = 0; i < 31; ++i) {
    const u16 slot = Step();
    EXPECT_EQ(slot, i < 30 ? i : 0) << "frame " << i;
  }
  EXPECT_TRUE(TheScript().Called("AnchorToMarker"));
  EXPECT_EQ(TheScript().calls.front(), "PushKeyFrame(0,0,sync)");
  EXPECT_EQ(tracker->RingSize(), 30);
  EXPECT_EQ(tracker->Frame(0).number, 30);
  EXPECT_EQ(tracker->Frame(1).number, 1);
  EXPECT_EQ(pose.m[0][0], 1.0f);  // tracking frames report their pose
}

TEST_F(TrackerDriver, LostOnlyBelowThirtyInliersOrAboveSixtyPercentLost) {
  TheScript().keyFrameAlignment[0] = 1.0f;  // relocalisation finds key frame 0
  At(1) = FrameScript{};
  At(1).n = 30;
  At(1).M = 0.6f;
  At(2).n = 29;
  At(2).relocN = 29;
  At(2).relocM = 0.1f;
  At(3).M = 0.61f;
  At(3).relocN = 100;
  At(3).relocM = 0.61f;
  Make(0, kUnsetCounter);
  Steps(2);
  EXPECT_EQ(TheScript().Count("SaveFrameMatches"), 0u);
  Step();
  EXPECT_EQ(TheScript().Count("SaveFrameMatches"), 1u);
  Step();
  EXPECT_EQ(TheScript().Count("SaveFrameMatches"), 2u);
  // Equal values are accepted when not recovering.
  EXPECT_EQ(tracker->Frame(3).relocalisationKeyFrame, 0);
  EXPECT_EQ(TheScript().Count("RestoreFrameMatches"), 0u);
}

TEST_F(TrackerDriver, WorseRelocalisationIsUndoneAndRecoveringNeedsStrongerEvidence) {
  TheScript().keyFrameAlignment[0] = 1.0f;
  At(1).n = 20;  // fewer inliers after the attempt: undone
  At(1).relocN = 19;
  At(1).relocM = 0.1f;
  At(1).M = 0.5f;
  At(2).n = 5;  // rejected: recovering from here on
  At(2).relocN = 5;
  At(3).n = 20;  // as good as before but below 50 while recovering
  At(3).relocN = 20;
  At(3).M = At(3).relocM = 0.5f;
  At(4).n = 20;
  At(4).relocN = 60;
  At(4).relocM = 0.5f;
  At(4).M = 0.5f;
  Make(0, kUnsetCounter);
  Steps(2);
  EXPECT_EQ(tracker->Frame(1).relocalisationKeyFrame, kNoSlot);
  EXPECT_EQ(tracker->Frame(1).inlierCount, 20);
  EXPECT_EQ(TheScript().Count("RestoreFrameMatches"), 1u);
  Step();
  EXPECT_EQ(tracker->Frame(2).rejected, 1);
  EXPECT_EQ(tracker->rejectedCount, 1);
  EXPECT_EQ(tracker->recovering, 1);
  Step();
  EXPECT_EQ(tracker->Frame(tracker->currentFrame).relocalisationKeyFrame, kNoSlot);
  EXPECT_EQ(TheScript().Count("RestoreFrameMatches"), 3u);
  Step();
  EXPECT_EQ(tracker->Frame(tracker->currentFrame).relocalisationKeyFrame, 0);
}

TEST_F(TrackerDriver, KeyFrameIsTheLowestLossCandidateAndTiesKeepTheNewer) {
  for (int i = 1; i <= 3; ++i) {
    At(i).parallax = i == 3 ? 100.0f : 70.0f;
    At(i).M = i == 3 ? 0.1f : 0.05f;
  }
  Make(0, kUnsetCounter);
  Steps(4);
  EXPECT_EQ(TheScript().calls.back(), "PushKeyFrame(2,0,sync)");
  EXPECT_EQ(tracker->Frame(2).keyFrame, 1);
  EXPECT_EQ(tracker->newKeyFrame, 2);
}

TEST_F(TrackerDriver, RecoveringPushesTheBestNewFrameProvisionally) {
  At(1).n = 5;
  At(1).S = 0.5f;
  At(2).n = 20;
  At(2).S = 0.2f;
  Make(0, kUnsetCounter);
  Steps(3);
  EXPECT_TRUE(TheScript().Called("PushKeyFrame(1,2,sync)"));
  EXPECT_EQ(tracker->working.keyFrameFlags.back(), kKeyFrameWeak);
}

TEST_F(TrackerDriver, KeyFrameWithTooFewMatchesIsDemoted) {
  At(1).parallax = 100.0f;
  At(1).keyFrameMapMatches = 9;
  Make(0, kUnsetCounter);
  Steps(2);
  EXPECT_EQ(TheScript().Count("PushKeyFrame(1,0,sync)"), 0u);
  EXPECT_EQ(tracker->Frame(1).rejected, 1);
  EXPECT_EQ(tracker->Frame(1).candidate, 0);
  EXPECT_EQ(tracker->recovering, 1);
  EXPECT_EQ(tracker->newKeyFrame, kNoSlot);
}

TEST_F(TrackerDriver, PushThatLeavesFiveHundredOrMoreKeyFramesTrims) {
  At(1).parallax = 100.0f;
  Make(0, kUnsetCounter);
  Step();
  // 500 key frames already, the last one provisional.
  CameraPose identity = tracker->Frame(0).pose.slot[1];
  while (tracker->KeyFrameCount() < 500) {
    tracker->working.keyFrameFlags.push_back(0);
    tracker->working.keyFramePoses.PushBack(identity, 100);
    tracker->working.keyFrameMeasurementStart.push_back(0);
  }
  tracker->working.keyFrameFlags.back() = kKeyFrameWeak;
  Step();
  EXPECT_TRUE(TheScript().Called("PushKeyFrame(1,0,async)"));
  EXPECT_EQ(TheScript().calls.back(), "TrimKeyFrames");
}

TEST_F(TrackerDriver, InitialisationPushesMidwayAndInitialisesAtFullProgress) {
  Make(0, 4);
  Steps(2);
  EXPECT_FLOAT_EQ(progress, 0.25f);
  EXPECT_EQ(tracker->KeyFrameCount(), 1u);
  Step();
  EXPECT_FLOAT_EQ(progress, 0.5f);
  EXPECT_EQ(TheScript().calls.back(), "PushKeyFrame(2,0,sync)");
  Steps(2);
  EXPECT_EQ(tracker->tracking, 1);
  EXPECT_EQ(tracker->endFrame, 4);
  EXPECT_EQ(TheScript().Count("InitializeMap"), 1u);
  EXPECT_EQ(TheScript().calls.back(), "PushKeyFrame(4,0,sync)");
  EXPECT_EQ(tracker->Frame(4).candidate, 1);
}

TEST_F(TrackerDriver, FailedInitialisationResetsAndReportsNoPose) {
  At(2).initialiseOk = false;
  Make(0, 2);
  Steps(2);
  char text[256];
  Step(text, sizeof(text));
  EXPECT_TRUE(TheScript().Called("InitializeMap"));
  EXPECT_EQ(tracker->RingSize(), 0);
  EXPECT_EQ(tracker->startFrame, kUnsetCounter);
  EXPECT_EQ(tracker->currentFrame, kNoSlot);
  EXPECT_EQ(pose.m[0][0], FLT_MAX);
  EXPECT_NE(std::string(text).find("Frames 0  Points 0 / 0\n"), std::string::npos) << text;
  // Frames go on in slot 0 until tracking is started again.
  EXPECT_EQ(Step(), 0);
}

TEST_F(TrackerDriver, StatisticsTextHasBothLinesAndRespectsTheBuffer) {
  Make(0, kUnsetCounter);
  At(1).n = 40;
  At(1).u = 2;
  char text[256];
  Step(text, sizeof(text));
  Step(text, sizeof(text));
  double fps = -1.0;
  int values[9] = {};
  const int read = std::sscanf(text,
                               "FPS %lf  Frames %d  Points %d / %d\nFE %d CT %d IM %d MU %d OH %d "
                               "ISO %d\n",
                               &fps, &values[0], &values[1], &values[2], &values[3], &values[4],
                               &values[5], &values[6], &values[7], &values[8]);
  EXPECT_EQ(read, 10) << text;
  EXPECT_NE(std::strstr(text, "  Frames 1  Points 42 / 0\nFE "), nullptr) << text;
  EXPECT_EQ(text[std::strlen(text) - 1], '\n');
  char small[8];
  std::memset(small, 'x', sizeof(small));
  Step(small, 5);
  EXPECT_STREQ(small, "FPS ");
  EXPECT_EQ(small[6], 'x');
}

TEST_F(TrackerDriver, TestFrameIsProcessedThenSavedThenQuits) {
  Make(0, kUnsetCounter);
  tracker->stateFileName = "state.bin";
  tracker->testFrame = 3;
  Steps(3);
  EXPECT_FALSE(TheScript().Called("SaveStateIfRequested"));
  Step();
  ASSERT_GE(TheScript().calls.size(), 2u);
  EXPECT_EQ(TheScript().calls[TheScript().calls.size() - 2], "SaveStateIfRequested");
  EXPECT_EQ(TheScript().calls.back(), "OnKeyDown(27)");
  EXPECT_TRUE(tracker->StopRequested());
  EXPECT_EQ(pose.m[0][0], 1.0f);
}

TEST_F(TrackerDriver, ResetQuitAndRunBeforeAnyFrameAndTwice) {
  Make(0, kUnsetCounter);
  tracker->Reset(true);
  tracker->Reset(true);
  tracker->Quit();
  tracker->Quit();
  EXPECT_TRUE(tracker->StopRequested());
  EXPECT_EQ(Step(), 0);  // after a reset every frame is a marker-phase frame
  tracker->Reset(false);
  tracker->Reset(false);
  CVD::Image<u8> tiny(CVD::ImageRef(32, 32), 0);
  input.grey = tiny;
  const f64 prior[8] = {0, 0, 0, 1, 0, 0, 0, DBL_MAX};
  const i32 before = tracker->frameCounter;
  tracker->Run(input, samples, prior, pose, planes, objects, nullptr, nullptr, nullptr, 0);
  EXPECT_EQ(tracker->frameCounter, before);  // refused: smaller than 64 x 64
  EXPECT_EQ(pose.m[0][0], FLT_MAX);
}

// scripted-stages
// Nearby key frames and the relocalisation choice over scripted alignments.
#include "tracker/ScriptedStages.h"

namespace {

// Key frames at x = 1, 2, ... with the frames' orientation.
void AddKeyFrames(Tracker& t, int count, float spacing) {
  CameraPose pose = t.Frame(0).pose.slot[1];
  for (int i = 0; i < count; ++i) {
    pose.m[0][3] = -spacing * static_cast<float>(i + 1);
    t.working.keyFramePoses.PushBack(pose, 100);
    t.working.keyFrameFlags.push_back(0);
    t.working.keyFrameMeasurementStart.push_back(0);
  }
}

}  // namespace

using KeyFrameNeighbourhood = ScriptedTracker;

TEST_F(KeyFrameNeighbourhood, AtMostTenNearestAndTheProvisionalKeyFrameFirst) {
  Make(0, kUnsetCounter);
  Steps(2);
  AddKeyFrames(*tracker, 14, 1.0f);  // key frames 1..14 beside key frame 0
  std::vector<ScoredKeyFrame> list;
  u16 nearKeyFrame = 0, parallaxKeyFrame = 0;
  tracker->CollectNearbyKeyFrames(1, list, &nearKeyFrame, &parallaxKeyFrame);
  ASSERT_EQ(list.size(), 10u);
  EXPECT_EQ(list[0].keyFrame, 0);
  EXPECT_EQ(list[9].keyFrame, 9);
  EXPECT_EQ(nearKeyFrame, 0);
  EXPECT_EQ(parallaxKeyFrame, kNoSlot);

  // A provisional newest key frame far away still comes first; key frames
  // without parallax leave.
  tracker->working.keyFrameFlags.back() = kKeyFrameWeak;
  TheScript().keyFrameParallax[0] = -1.0f;
  TheScript().keyFrameParallax[1] = 5.0f;
  tracker->CollectNearbyKeyFrames(1, list, &nearKeyFrame, &parallaxKeyFrame);
  ASSERT_EQ(list.size(), 9u);
  EXPECT_EQ(list[0].keyFrame, 14);
  EXPECT_EQ(list.back().keyFrame, 1);
  EXPECT_EQ(parallaxKeyFrame, 14);
  EXPECT_EQ(nearKeyFrame, 2);
}

TEST_F(KeyFrameNeighbourhood, RelocalisationTriesFourAndTheSmallestErrorWins) {
  Make(0, kUnsetCounter);
  Steps(2);
  AddKeyFrames(*tracker, 59, 0.1f);
  Script& s = TheScript();
  for (u16 k = 0; k < 60; ++k) s.keyFrameAlignment[k] = 1.0f;
  s.keyFrameAlignment[1] = 0.5f;
  s.keyFrameAlignment[2] = 0.5f;  // equal and later: replaces key frame 1
  s.keyFrameAlignment[9] = 0.1f;  // better but never tried
  s.calls.clear();
  EXPECT_EQ(tracker->FindRelocalisationKeyFrame(1), 2);
  EXPECT_EQ(s.calls, (std::vector<std::string>{"AlignKeyFrameImage(0)", "AlignKeyFrameImage(1)",
                                               "AlignKeyFrameImage(2)", "AlignKeyFrameImage(3)"}));
  // Nothing aligns: none.
  s.keyFrameAlignment.clear();
  EXPECT_EQ(tracker->FindRelocalisationKeyFrame(1), kNoSlot);
}

// The tracker's own output over scripted stages: which pose the host gets,
// and when; the planes and object matrices; registration without a frame.
#include <gtest/gtest.h>

#include <cfloat>
#include <memory>

#include "tests/common/tracker/ScriptedStages.h"

namespace {

class TrackerOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const f64 extrinsic[7] = {0, 0, 0, 1, 0, 0, 0};
    Intrinsic k;
    k.Set(100.0f, 100.0f, 63.5f, 47.5f);
    map = std::make_unique<GlobalMap>(128, 96, k, extrinsic);
    for (int n = 0; n < 8; ++n) script.frames[n].x = static_cast<float>(n);  // translation -n
    TrackerOptions options;  // initialisation from frame 1 to frame 3
    options.startFrame = 1;
    options.endFrame = 3;
    tracker = std::make_unique<Tracker>(
        map.get(), WorkerChannels{}, options,
        [this](const TrackerContext& c) { return std::make_unique<ScriptedStages>(c, script); });
    tracker->SetMarkerTemplateFile("");
  }
  // The pose of one more frame through Run, or of GetOutput alone.
  const CameraPose& Step() {
    const f64 prior[8] = {0, 0, 0, 1, 0, 0, 0, DBL_MAX};
    input.grey = image;
    input.time = 0.1 * (tracker->Status().frameCounter + 1);
    tracker->Run(input, {}, prior, pose, planes, objects, nullptr, nullptr, nullptr, 0);
    return pose;
  }
  const CameraPose& Output() {
    pose.m[0][0] = pose.m[0][3] = 12345.0f;  // stale
    tracker->GetOutput(pose, planes, objects);
    return pose;
  }

  std::unique_ptr<GlobalMap> map;
  Script script;
  std::unique_ptr<Tracker> tracker;
  CVD::Image<u8> image{CVD::ImageRef(128, 96), 128};
  TrackerInput input;
  CameraPose pose{};
  AlignedArray<LA::AlignedVector4f> planes;
  AlignedArray<LA::AlignedMatrix4f> objects;
};

TEST_F(TrackerOutputTest, APoseIsReportedAtTheStartFrameAndWhileTrackingOutputSlotFirst) {
  EXPECT_EQ(Step().m[0][0], FLT_MAX);  // before the start frame
  EXPECT_EQ(Step().m[0][3], -1.0f);    // the start frame
  EXPECT_EQ(Step().m[0][0], FLT_MAX);  // initialising
  EXPECT_EQ(Step().m[0][3], -3.0f);    // tracking
  TrackerFrame& f = tracker->Ring()[tracker->Ring().Current()];
  f.pose.slot[kOutput] = f.pose.slot[kVisual];
  f.pose.slot[kOutput].m[0][3] = 7.5f;
  EXPECT_EQ(Output().m[0][3], 7.5f);
  f.pose.slot[kOutput].m[0][0] = FLT_MAX;
  EXPECT_EQ(Output().m[0][3], -3.0f);
  f.rejected = 1;  // too little of the map matched to place the frame
  EXPECT_EQ(Output().m[0][0], FLT_MAX);
  f.rejected = 0;
  // A start without the marker sheet: its first key frame is no map yet.
  tracker->SetStartFrame(tracker->Status().frameCounter);
  EXPECT_EQ(Output().m[0][0], FLT_MAX);
  tracker->SetStartFrame(1);
  EXPECT_EQ(Output().m[0][3], -3.0f);
  tracker->Reset(false);  // no current frame: no pose, no object
  EXPECT_EQ(Output().m[0][0], FLT_MAX);
  EXPECT_FALSE(
      tracker->RegisterObject(LA::AlignedMatrix4f{{{1}, {0, 1}, {0, 0, 1}, {1, 1, 1, 1}}}));
}

TEST_F(TrackerOutputTest, PlanesAndObjectMatricesFollowTheirListsInOrder) {
  Step();
  Step();
  MapWorkingCopy& w = tracker->MapView().Working();
  w.planes.PushBack16({{0, 0, 1, -2}});
  w.planes.PushBack16({{0, 1, 0, 3}});
  for (float x : {1.0f, 2.0f}) {
    TrackerObject& object = tracker->Objects().List().emplace_back();
    object.transforms.Resize(3);
    object.transforms[kPoseMatrix].m[0][3] = x;
  }
  Output();
  ASSERT_EQ(planes.Size(), 2u);
  EXPECT_EQ(planes[1].v[3], 3.0f);
  tracker->DeregisterObject(0);
  w.planes.Resize(0);
  Output();
  EXPECT_EQ(planes.Size(), 0u);
  ASSERT_EQ(objects.Size(), 1u);
  EXPECT_EQ(objects[0].m[0][3], 2.0f);
  // An object without its pose matrix gives no pose.
  tracker->Objects().List()[0].transforms.Resize(kPoseMatrix);
  Output();
  ASSERT_EQ(objects.Size(), 1u);
  EXPECT_EQ(objects[0].m[0][0], FLT_MAX);
}

}  // namespace

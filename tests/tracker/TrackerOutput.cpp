// The tracker's own output over scripted stages: which pose the host gets,
// and when, the planes and the objects' matrices, and registration refused
// without a current frame.
#include <gtest/gtest.h>

#include <cfloat>
#include <memory>

#include "tests/common/tracker/ScriptedStages.h"

namespace {

class TrackerOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Intrinsic k;
    k.Set(100.0f, 100.0f, 63.5f, 47.5f);
    const f64 extrinsic[7] = {0, 0, 0, 1, 0, 0, 0};
    map = std::make_unique<GlobalMap>(128, 96, k, extrinsic);
    // Frame n stands at x = n: its visual pose's translation is -n.
    for (int n = 0; n < 8; ++n) script.frames[n].x = static_cast<float>(n);
    // Initialisation starts at frame 1 and ends at frame 3.
    TrackerOptions options;
    options.startFrame = 1;
    options.endFrame = 3;
    tracker = std::make_unique<Tracker>(
        map.get(), WorkerChannels{}, options,
        [this](const TrackerContext& c) { return std::make_unique<ScriptedStages>(c, script); });
    tracker->SetMarkerTemplateFile("");
    host.m[0][0] = host.m[1][1] = host.m[2][2] = host.m[3][3] = 1.0f;
    host.m[3][0] = host.m[3][1] = host.m[3][2] = 1.0f;
  }
  // One frame through Run; the pose it reported.
  CameraPose Step() {
    const f64 prior[8] = {0, 0, 0, 1, 0, 0, 0, DBL_MAX};
    input.grey = image;
    input.time = 0.1 * (tracker->Status().frameCounter + 1);
    tracker->Run(input, {}, prior, pose, planes, objects, nullptr, nullptr, nullptr, 0);
    return pose;
  }
  CameraPose Output() {
    pose.m[0][3] = 12345.0f;  // stale
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
  LA::AlignedMatrix4f host{};
};

TEST_F(TrackerOutputTest, APoseIsReportedAtTheStartFrameAndWhileTrackingOnly) {
  EXPECT_EQ(Step().m[0][0], FLT_MAX);  // before the start frame
  const CameraPose start = Step();     // the start frame: the first key frame's pose
  EXPECT_EQ(start.m[0][0], 1.0f);
  EXPECT_EQ(start.m[0][3], -1.0f);
  EXPECT_EQ(Step().m[0][0], FLT_MAX);  // initialising, not tracking
  const CameraPose tracked = Step();
  ASSERT_TRUE(tracker->Status().tracking);
  EXPECT_EQ(tracked.m[0][3], -3.0f);

  // A set output slot wins over the visual pose; unset, the visual pose is back.
  TrackerFrame& f = tracker->Ring()[tracker->Ring().Current()];
  f.pose.slot[kOutput] = f.pose.slot[kVisual];
  f.pose.slot[kOutput].m[0][3] = 7.5f;
  EXPECT_EQ(Output().m[0][3], 7.5f);
  f.pose.slot[kOutput].m[0][0] = FLT_MAX;
  EXPECT_EQ(Output().m[0][3], -3.0f);

  // After a reset there is no current frame and nothing to report.
  tracker->Reset(false);
  EXPECT_EQ(Output().m[0][0], FLT_MAX);
}

TEST_F(TrackerOutputTest, PlanesAndObjectMatricesAreHandedOverInOrder) {
  Step();
  Step();
  MapWorkingCopy& w = tracker->MapView().Working();
  w.planes.PushBack16({{0, 0, 1, -2}});
  w.planes.PushBack16({{0, 1, 0, 3}});
  for (int i = 0; i < 2; ++i) {
    TrackerObject object;
    object.transforms.Resize(3);
    for (LA::AlignedMatrix4f& m : object.transforms) m = host;
    object.transforms[kPoseMatrix].m[0][3] = static_cast<float>(i + 1);
    tracker->Objects().List().push_back(object);
  }
  Output();
  ASSERT_EQ(planes.Size(), 2u);
  EXPECT_EQ(planes[1].v[3], 3.0f);
  ASSERT_EQ(objects.Size(), 2u);
  EXPECT_EQ(objects[0].m[0][3], 1.0f);
  EXPECT_EQ(objects[1].m[0][3], 2.0f);
  // The outputs shrink with the lists.
  tracker->DeregisterObject(0);
  w.planes.Resize(0);
  Output();
  EXPECT_EQ(planes.Size(), 0u);
  ASSERT_EQ(objects.Size(), 1u);
  EXPECT_EQ(objects[0].m[0][3], 2.0f);
}

TEST_F(TrackerOutputTest, RegistrationIsRefusedBeforeTheFirstFrameAndAfterAReset) {
  EXPECT_FALSE(tracker->RegisterObject(host));  // no frame yet: no ring slot to read
  Step();
  Step();
  tracker->Reset(false);
  EXPECT_FALSE(tracker->RegisterObject(host));
  EXPECT_TRUE(tracker->Objects().List().empty());
}

}  // namespace

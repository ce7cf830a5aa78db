// The tracker's own stage units behind the driver's interface: a tracker
// built without a script runs them, from the first key frame through frames
// that show nothing to track.
#include "tracker/StageUnits.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "la/Random.h"
#include "tests/common/tracker/UnitContext.h"
#include "tracker/Tracker.h"

TEST(StageUnits, ATrackerWithoutAScriptRunsItsOwnStages) {
  Intrinsic k;
  k.Set(100.0f, 100.0f, 63.5f, 47.5f);
  const f64 extrinsic[7] = {0, 0, 0, 1, 0, 0, 0};
  GlobalMap map(128, 96, k, extrinsic);
  TrackerOptions options;
  options.startFrame = 0;
  Tracker tracker(&map, WorkerChannels{}, options);
  EXPECT_NE(dynamic_cast<StageUnits*>(&tracker.Stages()), nullptr);

  CVD::Image<u8> image(CVD::ImageRef(128, 96), 128);
  TrackerInput input;
  input.grey = image;
  const f64 prior[8] = {0, 0, 0, 1, 0, 0, 0, DBL_MAX};
  CameraPose pose{};
  AlignedArray<LA::AlignedVector4f> planes;
  AlignedArray<LA::AlignedMatrix4f> objects;
  // A flat start frame has no feature to hold: the start waits for the next.
  tracker.Run(input, {}, prior, pose, planes, objects, nullptr, nullptr, nullptr, 0);
  EXPECT_EQ(0u, map.KeyFrameCount());
  EXPECT_EQ(0, tracker.Status().tracking);
  EXPECT_EQ(1, tracker.Status().startFrame);
  EXPECT_EQ(FLT_MAX, pose.m[0][0]);
  // A start frame of 8-pixel squares in random greys becomes the first key
  // frame, anchored without a marker: no map yet, so no pose.
  CVD::Image<u8> squares(CVD::ImageRef(128, 96));
  Random::Seed(5);
  for (int y = 0; y < 96; y += 8)
    for (int x = 0; x < 128; x += 8) {
      const u8 grey = static_cast<u8>(Random::Index(256));
      for (int r = y; r < y + 8; ++r)
        for (int c = x; c < x + 8; ++c) squares[r][c] = grey;
    }
  input.grey = squares;
  input.time = 1 / 30.0;
  tracker.Run(input, {}, prior, pose, planes, objects, nullptr, nullptr, nullptr, 0);
  EXPECT_EQ(1u, map.KeyFrameCount());
  EXPECT_EQ(1, tracker.Status().tracking);
  EXPECT_EQ(1, tracker.Status().recovering);
  EXPECT_EQ(FLT_MAX, pose.m[0][0]);
  // A flat frame gives nothing to match: no new key frame.
  input.grey = image;
  for (int k = 2; k < 5; ++k) {
    input.time = k / 30.0;
    tracker.Run(input, {}, prior, pose, planes, objects, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(1u, map.KeyFrameCount());
    EXPECT_EQ(FLT_MAX, pose.m[0][0]);  // nothing matched: no pose either
  }
  // Escape quits without a window.
  EXPECT_FALSE(tracker.StopRequested());
  EXPECT_TRUE(tracker.OnKeyDown(27));
  EXPECT_TRUE(tracker.StopRequested());
}

// The stage units build over parts that stand alone, as their tests use them.
TEST(StageUnits, BuildOverAStandAloneContext) {
  Intrinsic k;
  k.Set(500.0f, 500.0f, 319.5f, 239.5f);
  UnitContext parts(640, 480, k);
  StageUnits units(parts.Context());
  parts.ring.ResetTo(2);
  EXPECT_EQ(parts.camera.smallWidth, 40);
  EXPECT_EQ(parts.view.KeyFrameCount(), 0u);
}

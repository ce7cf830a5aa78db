// ctest-labels: threads long
// The console engine's two-view start (`initial_frames`) on a rendered
// hand-held poster at 0.37 m, of seeds other than the other tests use
// (640 x 480, 4-5 s at 30 fps, blur and read noise), each of which once lost
// its path:
// - seed 4: its first adjustment walks one point with little parallax out to
//   thousands of times the poster's distance; the frames' mean depth must not
//   follow it, or every new point starts thirty times too far and the path is
//   lost to 8 %;
// - seed 9: the rotation the small images give between frames, chained from
//   one key frame to the next, was weighed as a gyroscope good to a degree a
//   second. It is off by a fifth of a degree a frame and more, and the
//   adjustments followed it off the features: the frames turned 4 degrees
//   where the camera moved sideways, and the path was lost to 7-8 %.
#include <gtest/gtest.h>

#include <string>

#include "common/Sanitizers.h"
#include "common/TempFolder.h"
#include "common/app/ConsoleRun.h"

namespace {

// 150 frames, or `shortFrames` in a sanitizer run.
ConsoleRun RunPoster(const TempFolder& folder, u32 seed, u32 shortFrames) {
  return RunTwoViewSequence(SequenceFolder(folder.File("board" + std::to_string(seed))),
                            SequenceKind::kBoard, LongTestSize(150u, shortFrames), seed);
}

TEST(MarkerlessTwoView, APosterHoldsWhenOnePointRunsFarOut) {
  TempFolder folder;
  const ConsoleRun run = RunPoster(folder, 4, 120);
  ASSERT_TRUE(run.ready) << run.printed;
  EXPECT_GE(run.report.trackedFraction, 0.9);
  EXPECT_LT(run.report.atePercent, 2.5);
}

TEST(MarkerlessTwoView, TheImageRotationDoesNotTurnTheMapOffItsFeatures) {
  TempFolder folder;
  const ConsoleRun run = RunPoster(folder, 9, 90);
  ASSERT_TRUE(run.ready) << run.printed;
  EXPECT_EQ(run.printed.find("The map did not start"), std::string::npos) << run.printed;
  EXPECT_GE(run.report.tracked, run.report.frames - 12);
  EXPECT_LT(run.report.atePercent, 2.5);
  EXPECT_NEAR(run.report.scaleDrift, 1.0, 0.2);
}

}  // namespace

// ctest-labels: threads long
// The console engine's two-view start on a rendered hand-held poster at
// 0.37 m (640 x 480, 4-5 s at 30 fps, blur and read noise), of a seed where
// the map went wrong after the start: the rotation the small images give
// between frames, chained from one key frame to the next, was weighed as a
// gyroscope good to a degree a second. It is off by a fifth of a degree a
// frame and more, and the adjustments followed it off the features: the
// frames turned 4 degrees where the camera moved sideways, and the run ended
// at 7-8 % of its path.
#include <gtest/gtest.h>

#include "common/Sanitizers.h"
#include "common/TempFolder.h"
#include "common/app/ConsoleRun.h"

namespace {

TEST(MarkerlessTwoViewPoster, TheImageRotationDoesNotTurnTheMapOffItsFeatures) {
  TempFolder folder;
  const ConsoleRun run = RunTwoViewSequence(SequenceFolder(folder.File("poster9")),
                                            SequenceKind::kBoard, LongTestSize(150u, 120u), 9);
  ASSERT_TRUE(run.ready) << run.printed;
  EXPECT_EQ(run.printed.find("The map did not start"), std::string::npos) << run.printed;
  const AccuracyReport& a = run.report;
  EXPECT_GE(a.tracked, a.frames - 12);
  EXPECT_LT(a.atePercent, 2.5);
  EXPECT_NEAR(a.scaleDrift, 1.0, 0.2);
}

}  // namespace

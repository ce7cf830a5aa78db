// The tracker's feature front end fills the frame's grids and KLT lists from
// its own pyramid and logs the counts.
#include "features/FastFeatureGrid.h"
#include "tests/common/ScenePyramid.h"
#include "tracker/StageTracker.h"

using FeatureDetection = StageTracker;

TEST_F(FeatureDetection, FillsTheFramesGridsAndKltListsAndLogsTheirCounts) {
  MakeRing(2);
  TrackerFrame& f = tracker->frames[1];
  f.number = 7;
  SceneRender::BuildPyramid(SceneRender::RenderPlaneScene(640, 480, 5), f.pyramid);

  tracker->DetectFastFeatures(1);
  FeatureGrid grids[4];
  std::vector<CVD::ImageRef> scratch;
  const u32 total = DetectFastFeatures(f.pyramid, scratch, grids);
  ASSERT_GT(total, 100u);
  for (int l = 0; l < 4; ++l) {
    EXPECT_EQ(f.corners[l].corners.Size(), grids[l].corners.Size()) << l;
    EXPECT_EQ(f.corners[l].rowStarts, grids[l].rowStarts) << l;
  }
  EXPECT_TRUE(tracker->frames[0].corners[0].corners.Empty());  // only the given frame
  EXPECT_EQ(Log(), "[7] FAST Features = " + std::to_string(total) + "\n");

  tracker->DetectKltFeatures(1);
  u32 kept = 0;
  for (int l = 0; l < 4; ++l) {
    EXPECT_LE(f.kltPixels[l].Size(), l == 0 ? 100u : 50u);
    EXPECT_EQ(f.kltNormalized[l].Size(), f.kltPixels[l].Size());
    kept += f.kltPixels[l].Size();
  }
  EXPECT_GT(f.kltPixels[0].Size(), 20u);
  // The removals add up from the FAST total to the features kept.
  int frame, fast, suppressed, weak, crowded, logged;
  const std::string log = Log();
  const size_t line = log.find("[7] KLT");
  ASSERT_NE(line, std::string::npos);
  ASSERT_EQ(std::sscanf(log.c_str() + line, "[%d] KLT Features = %d - %d - %d - %d = %d", &frame,
                        &fast, &suppressed, &weak, &crowded, &logged),
            6);
  EXPECT_EQ(fast, static_cast<int>(total));
  EXPECT_EQ(logged, static_cast<int>(kept));
  EXPECT_EQ(fast - suppressed - weak - crowded, logged);
}

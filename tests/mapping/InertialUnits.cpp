// ctest-labels: threads
// The map's unit as the readings measure it: evidence below the bar leaves
// the metre, enough of it gives its regression with older frames fading,
// wild or non-finite evidence is no evidence; a map the marker anchored
// takes none, a reset or loaded map starts over, and the adjustments'
// inertial records take the unit. The tracker adds while the adjustors read.
#include "mapping/InertialUnits.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "common/mapping/SyntheticMap.h"
#include "mapping/MapFile.h"

namespace {

TEST(InertialUnits, EnoughEvidenceGivesItsFadingRegression) {
  InertialUnits units;
  EXPECT_EQ(units.PerMetre(), 1.0);
  units.Add(0.4 * 0.006, 0.006);  // short of the bar
  EXPECT_EQ(units.PerMetre(), 1.0);
  units.Add(0.4 * 0.006, 0.006);  // 0.9 * 0.006 + 0.006 reaches it
  EXPECT_NEAR(units.PerMetre(), 0.4, 1e-12);
  // Newer evidence of 0.5 weighs more than the faded 0.4.
  units.Add(0.5 * 0.012, 0.012);
  const f64 xx = 0.9 * 0.0114 + 0.012, xy = 0.9 * 0.4 * 0.0114 + 0.5 * 0.012;
  EXPECT_NEAR(units.PerMetre(), xy / xx, 1e-12);
  // Non-finite or negative evidence changes nothing; a ratio out of range
  // keeps the last unit, and what it added fades.
  const f64 before = units.PerMetre();
  units.Add(NAN, 1.0);
  units.Add(1.0, INFINITY);
  units.Add(0.1, -1.0);
  EXPECT_EQ(units.PerMetre(), before);
  units.Add(-5.0, 0.01);
  EXPECT_EQ(units.PerMetre(), before);
  units.Reset();
  EXPECT_EQ(units.PerMetre(), 1.0);
  units.Add(0.4 * 0.006, 0.006);
  EXPECT_EQ(units.PerMetre(), 1.0);  // the old evidence went with the reset
}

TEST(InertialUnits, TheMapTakesItUnlessTheMarkerAnchoredIt) {
  GlobalMap map;
  BuildHandMap(map, kHandChain);
  map.scale = 0.0f;  // the hand map is anchored; this one started without the sheet
  IMUDelta& delta = map.keyFrames[1].delta;
  delta.dt = 0.5;
  delta.dp[0] = 0.3, delta.dv[1] = -0.2;
  delta.wp = 100.0;
  map.AddInertialUnitEvidence(0.4 * 0.02, 0.02);
  EXPECT_NEAR(map.InertialUnitsPerMetre(), 0.4, 1e-12);
  // The local window's first pair (key frames 1 and 2) in map units.
  MapSnapshot s;
  ASSERT_TRUE(s.Local(map));
  ASSERT_EQ(s.index.keyFrames.front(), 1u);
  EXPECT_FLOAT_EQ(s.problem.deltas[0].dp[0], 0.12f);
  EXPECT_FLOAT_EQ(s.problem.deltas[0].dv[1], -0.08f);
  EXPECT_FLOAT_EQ(s.problem.deltas[0].wp[0], static_cast<f32>(100.0 / 0.16));

  // A loaded map measures its unit again.
  GlobalMap loaded;
  BuildHandMap(loaded, kHandChain);
  ReplaceMapContent(map, loaded);
  EXPECT_EQ(map.InertialUnitsPerMetre(), 1.0);
  map.scale = 0.0f;
  map.AddInertialUnitEvidence(0.4 * 0.02, 0.02);
  ASSERT_NEAR(map.InertialUnitsPerMetre(), 0.4, 1e-12);

  // Anchored to the sheet, the map is in metres and takes no more evidence.
  const IMUState state = map.keyFrameStates[0];
  const CameraPose pose = map.keyFramePoses[0];
  const AlignedArray<MapPoint> points(map.points);
  const std::vector<u8> flags(map.trackFlags);
  const std::vector<u16> planes(map.trackPlanes);
  map.SetAnchoredStructure(1.0f, state, pose, points, AlignedArray<MapPlane>(), flags, {}, planes);
  EXPECT_EQ(map.InertialUnitsPerMetre(), 1.0);
  map.AddInertialUnitEvidence(0.4 * 0.02, 0.02);
  EXPECT_EQ(map.InertialUnitsPerMetre(), 1.0);
  // A reset map starts without evidence.
  map.scale = 0.0f;
  map.AddInertialUnitEvidence(0.4 * 0.02, 0.02);
  map.Reset();
  EXPECT_EQ(map.InertialUnitsPerMetre(), 1.0);
}

// One tracker adding evidence of 0.3 and 0.5 by turns, two adjustors
// reading: every reading is the metre or between the two.
TEST(InertialUnits, ReadersSeeWholeEstimatesWhileTheTrackerAdds) {
  InertialUnits units;
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  auto read = [&] {
    while (!done) {
      const f64 u = units.PerMetre();
      if (u != 1.0 && !(u >= 0.3 - 1e-12 && u <= 0.5 + 1e-12)) ++bad;
    }
  };
  std::thread a(read), b(read);
  for (int i = 0; i < 20000; ++i) units.Add((i % 2 ? 0.3 : 0.5) * 0.004, 0.004);
  done = true;
  a.join();
  b.join();
  EXPECT_EQ(bad, 0);
  EXPECT_GT(units.PerMetre(), 0.3);
  EXPECT_LT(units.PerMetre(), 0.5);
}

}  // namespace

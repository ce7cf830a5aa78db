// The tracker's writes: push, pop, trim and anchoring keep every invariant
// and give back what a map built directly would hold.
#include <gtest/gtest.h>

#include "common/mapping/SyntheticMap.h"
#include "features/FeatureRecords.h"

namespace {

SyntheticMapOptions SmallMap(u32 keyFrames = 6) {
  SyntheticMapOptions o;
  o.keyFrames = keyFrames;
  o.pointsPerPlane = 60;
  o.clutterPoints = 30;
  o.images = true;
  o.markerTracks = 3;
  return o;
}

void ExpectInvariants(const GlobalMap& map) {
  std::string error;
  EXPECT_TRUE(map.CheckInvariants(&error)) << error;
}

}  // namespace

TEST(GlobalMapTracker, BuiltMapHoldsInvariantsAndTruth) {
  SyntheticMap scene(SmallMap());
  GlobalMap map;
  scene.Build(map);
  ExpectInvariants(map);
  ASSERT_EQ(map.KeyFrameCount(), 6u);
  EXPECT_GT(map.measurements.Size(), map.TrackCount());
  // Each track's measurements are projections of its scene point.
  const auto& truth = scene.TrackScenePoint();
  for (u32 t = 0; t < map.TrackCount(); ++t) {
    const MapPoint& X = scene.ScenePoints()[truth[t]];
    for (const u32 e : map.trackMeasurements[t]) {
      const u32 k = GlobalMap::MeasurementKeyFrame(e);
      const CameraPose& P = map.keyFramePoses[k];
      f32 x[3];
      for (int r = 0; r < 3; ++r)
        x[r] = P.m[r][0] * X.v[0] + P.m[r][1] * X.v[1] + P.m[r][2] * X.v[2] + P.m[r][3];
      const MapMeasurement& m =
          map.measurements[map.keyFrameMeasurementStart[k] + GlobalMap::MeasurementFeature(e)];
      ASSERT_NEAR(m.x, x[0] / x[2], 1e-5f);
      ASSERT_NEAR(m.y, x[1] / x[2], 1e-5f);
    }
  }
}

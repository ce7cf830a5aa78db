// The display's update, selection, printouts and recording over a fixed
// synthetic state.
#include <gtest/gtest.h>

#include "common/tracker/DisplayScene.h"

namespace {

using display_scene::Scene;

// The fixture's own promises: what the other display tests count on.
TEST(DisplaySceneTest, MatchesLieAtTheProjectedPixelsOfEveryLevel) {
  Scene scene;
  const FrameRing& ring = scene.tracker.Ring();
  ASSERT_EQ(ring.Size(), display_scene::kRingFrames);
  EXPECT_EQ(ring.Current(), 2);
  EXPECT_EQ(scene.tracker.KeyFrameCount(), 2u);
  EXPECT_EQ(scene.Working().planes.Size(), 1u);
  for (u16 s = 0; s < ring.Size(); ++s) {
    for (int l = 0; l < kPyramidLevels; ++l) {
      ASSERT_FALSE(ring[s].mapMatches[l].empty()) << "slot " << s << " level " << l;
      for (const MapMatch& m : ring[s].mapMatches[l]) {
        float uv[2];
        ASSERT_TRUE(display_scene::ProjectToLevel(
            ring[s].pose.slot[kVisual], scene.Camera().intrinsic[l], scene.Point(m.track), uv));
        EXPECT_NEAR(m.x, uv[0], 1e-3f);
        EXPECT_NEAR(m.y, uv[1], 1e-3f);
        EXPECT_EQ(scene.View().Patches()[m.patch].keyFrame <= 1, true);
      }
    }
  }
  // Patch t was created by the key frame whose feature lies at the patch's
  // centre.
  TrackerMapView& view = scene.View();
  for (u32 t = 0; t < scene.TrackCount(); ++t) {
    const FeaturePatch& p = view.Patches()[t];
    const u32 i = scene.Working().keyFrameMeasurementStart[p.keyFrame] + p.feature;
    ASSERT_EQ(scene.Working().measurementTracks[i], t);
    EXPECT_EQ(view.KeyFramePixels()[i].x, p.x);
  }
}

}  // namespace

// Track matcher: duplicated tracks of a rendered two-key-frame scene merge
// and only those; the choice of the older key frame, the warp handling and
// the error measures on known answers.
#include "mapping/TrackMatcher.h"

#include <gtest/gtest.h>

#include <cfloat>

#include "common/mapping/MatcherScene.h"
#include "features/ImageMapMath.h"

namespace {

struct MatcherRun {
  MatcherScene scene;
  GlobalMap map;
  TrackMatchingData item;

  explicit MatcherRun(const MatcherSceneOptions& o = MatcherSceneOptions(),
                      const CameraPose* oldPose = nullptr)
      : scene(o) {
    scene.BuildMap(map, oldPose);
    scene.FillItem(map, item);
  }
  // Duplicated pairs merged, and merges of two different points.
  void CountMerges(u32& duplicates, u32& merged, u32& wrong) {
    duplicates = merged = wrong = 0;
    boost::shared_lock<boost::shared_mutex> lock(map.mutex);
    const u32 T = map.TrackCount();
    for (u32 b = 0; b < T; ++b) {
      for (u32 a = 0; a < b; ++a) {
        const bool same = map.ResolveTrack(a) == map.ResolveTrack(b);
        if (scene.duplicateOf[b] == a) {
          ++duplicates;
          merged += same;
        } else {
          wrong += same;
        }
      }
    }
  }
};

TEST(TrackMatcher, DuplicatedTracksOfTheRenderedSceneMergeAndNothingElse) {
  MatcherRun run;
  TrackMatcher matcher(&run.map, 0, "");
  matcher.Run(&run.item);
  EXPECT_FALSE(matcher.IsBusy());
  u32 duplicates, merged, wrong;
  run.CountMerges(duplicates, merged, wrong);
  ASSERT_GT(duplicates, 100u);
  EXPECT_GE(merged, duplicates * 8 / 10) << "of " << duplicates;
  EXPECT_EQ(wrong, 0u);
  EXPECT_FALSE(matcher.JointAdjusted()) << "the map's poses are exact";
  std::string error;
  EXPECT_TRUE(run.map.CheckInvariants(&error)) << error;
}

}  // namespace

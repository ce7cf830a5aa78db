// ctest-labels: threads
// The map under contention: a tracker thread pushing, popping, trimming and
// pulling, two adjustors looping snapshot -> perturb -> write-back, and a
// matcher merging tracks, each for a fixed number of iterations. Every
// invariant holds after every tracker step and at the end.
#include <gtest/gtest.h>

#include <boost/thread/locks.hpp>
#include <thread>

#include "common/mapping/SyntheticMap.h"
#include "features/FeatureRecords.h"
#include "la/Random.h"

namespace {

// An adjustor's loop; now and then the local one adds a plane under its
// points.
void Adjust(GlobalMap& map, bool local, u32 iterations) {
  Random::Seed(local ? 11 : 12);
  MapSnapshot s;
  for (u32 i = 0; i < iterations; ++i) {
    if (local && !s.Local(map)) continue;
    if (!local) s.Global(map);
    s.Perturb(1e-3f);
    if (local && Random::Index(4) == 0 && !s.index.tracks.empty()) {
      s.state.planes.PushBack16({{0.0f, 0.0f, 1.0f, -5.0f}});
      s.problem.planeFlags.push_back(0);
      for (u16& p : s.problem.pointPlanes) p = static_cast<u16>(s.state.planes.Size() - 1);
    }
    s.Write(map, local ? 0 : 1, local ? "LBA" : "GBA");
  }
}

// Random pairs merged against the newest key frame, after a matcher
// problem's write-back.
void Match(GlobalMap& map, u32 iterations) {
  Random::Seed(13);
  std::vector<u32> ids[kPyramidLevels];
  std::vector<u16> counts;
  AlignedArray<CameraPose> poses;
  AlignedArray<MapPlane> planes;
  std::vector<CVD::Image<float>> images;
  MapSnapshot s;
  for (u32 i = 0; i < iterations; ++i) {
    u32 tracks, keyFrames;
    {
      boost::shared_lock<boost::shared_mutex> lock(map.mutex);
      tracks = map.TrackCount();
      keyFrames = map.KeyFrameCount();
    }
    if (tracks < 2 || keyFrames == 0) continue;
    ids[0] = {Random::Index(tracks), Random::Index(tracks)};
    const u64 version = map.CountCommonTracks(ids, counts, poses, planes, images);
    std::vector<TrackPair> pairs = {{ids[0][0], ids[0][1]},
                                    {Random::Index(tracks), Random::Index(tracks)}};
    const u16 newest = static_cast<u16>(keyFrames - 1);
    if (map.GetTrackMatcherProblem(newest, version, pairs, s.problem, s.state, s.index, s.token)) {
      map.SetTrackMatcherResult(s.state, s.index.keyFrames, s.index.tracks, s.index.planes, s.token,
                                1, "TM");
    }
    map.MergeTracks(newest, pairs, version);
  }
}

}  // namespace

TEST(GlobalMapThreads, InvariantsHoldUnderContention) {
  SyntheticMapOptions o;
  o.keyFrames = 40;
  o.pointsPerPlane = 150;
  o.clutterPoints = 60;
  o.planes = 3;
  o.markerTracks = 4;
  SyntheticMap scene(o);
  GlobalMap map;
  scene.MakeEmptyMap(map);
  scene.Initialize(map, 0);
  for (u32 k = 1; k < 4; ++k) scene.Push(map, k);
  std::string error;
  std::thread tracker([&] {
    Random::Seed(10);
    u32 next = 4;
    for (u32 i = 0; i < 80 && error.empty(); ++i) {
      u32 keyFrames;
      {
        boost::shared_lock<boost::shared_mutex> lock(map.mutex);
        keyFrames = map.KeyFrameCount();
      }
      const u32 action = Random::Index(10);
      if (action < 5 && next < o.keyFrames) {
        scene.Push(map, next++);
      } else if (action < 7 && keyFrames > 2) {
        scene.Pop(map);
        --next;
      } else if (action < 8 && keyFrames > 8) {
        scene.Trim(map, 3);
      } else {
        map.Synchronize(scene.Working());
      }
      error = InvariantError(map);
    }
  });
  std::thread local([&] { Adjust(map, true, 60); });
  std::thread global([&] { Adjust(map, false, 30); });
  std::thread matcher([&] { Match(map, 80); });
  for (std::thread* t : {&tracker, &local, &global, &matcher}) t->join();
  EXPECT_EQ(error, "");
  EXPECT_EQ(InvariantError(map), "");
}

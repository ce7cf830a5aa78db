// ctest-labels: threads
// The track matcher on its worker thread: items handed over asynchronously
// and synchronously come back to their pool, and the merges reach the map
// that the test thread reads meanwhile.
#include <gtest/gtest.h>

#include "app/WorkerThread.h"
#include "common/WaitFor.h"
#include "common/mapping/MatcherScene.h"
#include "la/MutexBuffer.h"
#include "mapping/TrackMatcher.h"

namespace {

u32 MergedAway(GlobalMap& map) {
  boost::shared_lock<boost::shared_mutex> lock(map.mutex);
  u32 n = 0;
  for (const u8 f : map.trackFlags) n += (f & kTrackMergedAway) != 0;
  return n;
}

TEST(TrackMatcherThreads, HandedOverItemsMergeOnTheWorkerThread) {
  MatcherScene scene;
  GlobalMap map;
  scene.BuildMap(map);
  TrackMatcher matcher(&map, 0, "");
  MutexBufferPool<TrackMatchingData> pool(1);
  MutexBufferQueue<TrackMatchingData> queue(1);
  ThreadContext<TrackMatchingData> context;
  context.id = 0;
  context.worker = &matcher;
  context.in = &queue;
  context.out = &pool;
  StartWorkerThread(&context);

  // Asynchronous: the caller goes on and reads the map while the run works.
  ASSERT_TRUE(HandOverAsynchronous(pool, queue,
                                   [&](TrackMatchingData& item) { scene.FillItem(map, item); }));
  u32 reads = 0;
  ASSERT_TRUE(WaitFor([&] {
    ++reads;
    std::string error;
    boost::shared_lock<boost::shared_mutex> lock(map.mutex);
    EXPECT_TRUE(map.CheckInvariants(&error)) << error;
    return pool.Count() == 1 && !matcher.IsBusy();
  }));
  const u32 merged = MergedAway(map);
  EXPECT_GT(merged, 150u);

  // Synchronous: returns once the run has ended. Key frame 0 now shares its
  // merged tracks with the item, so nothing further merges.
  HandOverSynchronous(pool, queue, [&](TrackMatchingData& item) { scene.FillItem(map, item); });
  EXPECT_EQ(pool.Count(), 1u);
  EXPECT_FALSE(matcher.IsBusy());
  EXPECT_EQ(MergedAway(map), merged);

  StopWorkerThread(&context);
  EXPECT_TRUE(context.stopped);
  EXPECT_GT(reads, 0u);
}

}  // namespace

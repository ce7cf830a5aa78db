// ctest-labels: threads
// The request chain tracker -> local adjustor -> global adjustor on real
// worker threads over a synthetic map: a pass for an asynchronous request
// (forwarded when the global adjustor is idle, dropped without losing the item
// when it is busy), a synchronous chain whose write-back, refused once another
// writer stamped the map, is retried, and a reset. (The stop protocol in every
// state: tests/app/WorkerThread.cpp.)
#include "mapping/BundleAdjustorLocal.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "app/WorkerThread.h"
#include "common/WaitFor.h"
#include "common/mapping/SyntheticMap.h"

namespace {

std::string Modifier(GlobalMap& map) {
  boost::shared_lock<boost::shared_mutex> lock(map.mutex);
  return map.modifier;
}

// A log that stamps the map once, when the first pass announces itself:
// after its snapshot and before its write-back.
struct StampingLog {
  static ssize_t Write(void* cookie, const char* text, size_t size) {
    StampingLog& self = *static_cast<StampingLog*>(cookie);
    self.text.append(text, size);
    if (!self.stamped && self.text.find("Before GBA") != std::string::npos) {
      self.stamped = true;
      MapSnapshotToken token;
      {
        boost::shared_lock<boost::shared_mutex> lock(self.map->mutex);
        token.counter = self.map->ModificationCounter();
      }
      self.map->SetTrackMatcherResult(IBAState{}, {}, {}, {}, token, 1, "TM");
    }
    return static_cast<ssize_t>(size);
  }
  GlobalMap* map = nullptr;
  bool stamped = false;
  std::string text;
};

struct Chain {
  static SyntheticMapOptions Scene() {
    SyntheticMapOptions o;
    o.planes = 1;
    o.pointsPerPlane = 150;
    o.featureNoise = 0.5f;
    return o;
  }
  Chain() : scene(Scene()), localPool(1), localQueue(1), globalPool(1), globalQueue(1) {
    scene.Build(map);
    PlaneDistanceThreshold = 0.05f;
    global = std::make_unique<BundleAdjustorGlobal>(&map, 0, "");
    local = std::make_unique<BundleAdjustorLocal>(&map, &globalPool, &globalQueue, 0, "");
    // The global adjustor's first pass logs into `stamping` (the log is
    // closed after each pass and, without a file name, not reopened).
    stamping.map = &map;
    global->log = fopencookie(&stamping, "w", {nullptr, &StampingLog::Write, nullptr, nullptr});
    std::setvbuf(global->log, nullptr, _IONBF, 0);
    Start(globalThread, 3, global.get(), globalQueue, globalPool);
    Start(localThread, 2, local.get(), localQueue, localPool);
  }
  ~Chain() {
    StopWorkerThread(&localThread);
    StopWorkerThread(&globalThread);
  }
  static void Start(ThreadContext<u8>& thread, i32 id, Worker<u8>* worker, MutexBuffer<u8>& in,
                    MutexBuffer<u8>& out) {
    thread.id = id;
    thread.worker = worker;
    thread.in = &in;
    thread.out = &out;
    StartWorkerThread(&thread);
  }
  void Request(u8 r, bool synchronous) {
    const auto fill = [r](u8& item) { item = r; };
    if (synchronous) {
      HandOverSynchronous(localPool, localQueue, fill);
    } else {
      ASSERT_TRUE(HandOverAsynchronous(localPool, localQueue, fill));
    }
  }
  bool Idle() {
    return !local->IsBusy() && !global->IsBusy() && localPool.Count() == 1 &&
           globalPool.Count() == 1;
  }

  SyntheticMap scene;
  GlobalMap map;
  StampingLog stamping;
  MutexBufferPool<u8> localPool;
  MutexBufferQueue<u8> localQueue;
  MutexBufferPool<u8> globalPool;
  MutexBufferQueue<u8> globalQueue;
  std::unique_ptr<BundleAdjustorGlobal> global;
  std::unique_ptr<BundleAdjustorLocal> local;
  ThreadContext<u8> globalThread, localThread;
};

TEST(BundleAdjustorLocal, RequestsRunTheChainAndResetsRunNone) {
  Chain chain;
  // Synchronous: the tracker waits until both passes are done. The first global
  // write-back is refused (the log's stamp came first) and retried on a
  // fresh copy.
  chain.Request(kRequestSynchronous, true);
  EXPECT_TRUE(chain.stamping.stamped);
  EXPECT_EQ(chain.global->writeBackAttempts, 2u);
  size_t passes = 0;
  for (size_t at = 0; (at = chain.stamping.text.find("After GBA", at)) != std::string::npos; ++at)
    ++passes;
  EXPECT_EQ(passes, 2u);
  EXPECT_EQ(Modifier(chain.map), "GBA");
  EXPECT_FALSE(chain.global->IsBusy());
  EXPECT_EQ(chain.local->planesInitialised, 1);
  EXPECT_EQ(InvariantError(chain.map), "");

  // Asynchronous with the global adjustor idle: forwarded, it runs a pass.
  chain.global->solves = 0;  // each pass counts from zero
  chain.Request(kRequestAsynchronous, false);
  ASSERT_TRUE(WaitFor([&] { return chain.Idle() && chain.localQueue.Count() == 0; }));
  ASSERT_TRUE(WaitFor([&] { return chain.global->solves > 0; }));

  // Asynchronous while the global adjustor holds the only item: dropped, item
  // kept.
  u8* held = chain.globalPool.Get();  // stands for a global pass in progress
  chain.Request(kRequestAsynchronous, true);
  EXPECT_EQ(chain.globalPool.Count() + chain.globalQueue.Count(), 0u);
  chain.globalPool.Put(held);

  // A reset: no local pass, the global adjustor gets a reset and returns at
  // once.
  chain.Request(kRequestReset, true);
  EXPECT_EQ(chain.local->planesInitialised, 0);
  EXPECT_TRUE(chain.Idle());
}

TEST(BundleAdjustorLocal, PassesOnAnEmptyMapAndARefusedForwardKeepsItsItem) {
  GlobalMap map;
  ResetMap(map, 320, 240, SceneRender::MakeIntrinsic(256.0f, 256.0f, 160.0f, 120.0f));
  MutexBufferPool<u8> pool(1);
  MutexBufferQueue<u8> queue(1);
  BundleAdjustorLocal local(&map, &pool, &queue, 0, "");
  BundleAdjustorGlobal global(&map, 0, "");
  const u8 pass = kGlobalRequestPass, request = kRequestAsynchronous;
  global.Run(&pass);    // nothing to adjust: one applied write-back
  local.Run(&request);  // no window: forwarded at once
  u8* item = queue.TryGet();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(*item, kGlobalRequestPass);
  pool.Put(item);
  // The owner's wake-up null fills the queue: the forward is refused and its
  // item goes back, so a later synchronous forward still finds it.
  ASSERT_TRUE(queue.TryPut(nullptr));
  local.NotifyGlobal(&request);
  EXPECT_EQ(pool.Count(), 1u);
  EXPECT_EQ(map.KeyFrameCount(), 0u);
}

}  // namespace

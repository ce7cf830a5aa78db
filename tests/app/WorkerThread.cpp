// ctest-labels: threads
// The worker routine's stop protocol on real threads: a stop ends the thread
// within a second whether it is blocked in Get, busy with an item or facing a
// full queue, with exactly one "Stop" line. (Items in order through the
// routine: the sender thread's tests in tests/app/TcpClient.cpp.)
#include "app/WorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "common/WaitFor.h"

namespace {

// Records the items it sees; each run takes `delay` while busy.
class RecordingWorker : public Worker<int> {
 public:
  void Run(const int* item) override {
    busy = true;
    if (item != nullptr) seen.push_back(*item);
    ++runs;
    std::this_thread::sleep_for(delay);
    busy = false;
  }
  bool IsBusy() const override { return busy; }

  std::chrono::milliseconds delay{0};
  std::atomic<bool> busy{false};
  std::atomic<int> runs{0};
  std::vector<int> seen;
};

// A started worker thread, with or without a pool and a queue as input.
struct Rig {
  Rig(i32 id, u32 capacity, u32 queueCapacity, int delayMs, bool input = true)
      : pool(capacity), queue(queueCapacity) {
    worker.delay = std::chrono::milliseconds(delayMs);
    context.id = id, context.worker = &worker;
    if (input) context.in = &queue, context.out = &pool;
    StartWorkerThread(&context);
  }
  // Stops the thread: within a second and with one "Stop <id>" line.
  void Stop() {
    testing::internal::CaptureStdout();
    const auto t0 = std::chrono::steady_clock::now();
    StopWorkerThread(&context);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Stop " + std::to_string(context.id) + "\n");
  }
  MutexBufferPool<int> pool;
  MutexBufferQueue<int> queue;
  RecordingWorker worker;
  ThreadContext<int> context;
};

// Blocked in Get, nothing runs; busy, the item finishes first; with a full
// queue every item goes back to the pool and at most the two taken run;
// without input the worker runs, seeing no items, until stopped.
TEST(WorkerThread, StopEndsTheThreadInEveryState) {
  enum Case { kBlocked, kBusy, kFullQueue, kNoInput };
  for (const Case c : {kBlocked, kBusy, kFullQueue, kNoInput}) {
    SCOPED_TRACE(c);
    const bool full = c == kFullQueue;
    Rig rig(c, full ? 4 : 1, full ? 3 : 1, c == kBusy ? 150 : full ? 100 : 0, c != kNoInput);
    if (c == kBlocked) std::this_thread::sleep_for(std::chrono::milliseconds(10));  // into Get
    if (c == kBusy) {
      int* item = rig.pool.Get();
      *item = 42;
      rig.queue.Put(item);
    }
    for (int i = 0; full && i < 3; ++i) rig.queue.Put(rig.pool.Get());
    if (c == kBusy || full) {
      ASSERT_TRUE(WaitFor([&] { return rig.worker.busy.load(); }));
    }
    if (full) {
      rig.queue.Put(rig.pool.Get());  // the queue is full again
      EXPECT_EQ(rig.queue.Count(), 3u);
    }
    if (c == kNoInput) {
      ASSERT_TRUE(WaitFor([&] { return rig.worker.runs >= 2; }));
    }
    rig.Stop();
    EXPECT_EQ(rig.pool.Count(), full ? 4u : 1u);
    EXPECT_EQ(rig.queue.Count(), 0u);
    EXPECT_EQ(rig.worker.runs == 0, c == kBlocked);
    EXPECT_LE(rig.worker.runs, full ? 2 : 1 << 30);
    if (!full) {
      EXPECT_EQ(rig.worker.seen, c == kBusy ? std::vector<int>{42} : std::vector<int>());
    }
    StopWorkerThread(&rig.context);  // a second stop is harmless
  }
}

}  // namespace

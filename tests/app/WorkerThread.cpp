// ctest-labels: threads
// The worker routine and its stop protocol on real threads: items run in
// order and return to their pool, and a stop ends the thread within a second
// whether it is blocked in Get, busy with an item or facing a full queue,
// with exactly one "Stop" line.
#include "app/WorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "common/WaitFor.h"

namespace {

using Clock = std::chrono::steady_clock;

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

struct Channel {
  explicit Channel(u32 capacity, u32 queueCapacity = 0)
      : pool(capacity), queue(queueCapacity ? queueCapacity : capacity) {}
  MutexBufferPool<int> pool;
  MutexBufferQueue<int> queue;
};

void Start(ThreadContext<int>& context, i32 id, RecordingWorker& worker, Channel* channel) {
  context.id = id;
  context.worker = &worker;
  context.in = channel ? &channel->queue : nullptr;
  context.out = channel ? &channel->pool : nullptr;
  StartWorkerThread(&context);
}

// Stops the thread and returns the stop's duration and the captured output.
double StopTimed(ThreadContext<int>& context, std::string& output) {
  testing::internal::CaptureStdout();
  const auto t0 = Clock::now();
  StopWorkerThread(&context);
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  output = testing::internal::GetCapturedStdout();
  return seconds;
}

TEST(WorkerThread, ItemsRunInOrderAndReturnToThePool) {
  Channel channel(5);
  RecordingWorker worker;
  ThreadContext<int> context;
  Start(context, 2, worker, &channel);
  for (int i = 0; i < 200; ++i) {
    if (i % 3 == 0) {
      HandOverSynchronous(channel.pool, channel.queue, [i](int& item) { item = i; });
    } else {
      ASSERT_TRUE(WaitFor([&] {
        return HandOverAsynchronous(channel.pool, channel.queue, [i](int& item) { item = i; });
      }));
    }
  }
  channel.pool.WaitFull();
  std::string output;
  EXPECT_LT(StopTimed(context, output), 1.0);
  EXPECT_EQ(output, "Stop 2\n");
  ASSERT_EQ(worker.seen.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(worker.seen[i], i);
  EXPECT_TRUE(context.stopped);
}

// A stop blocked in Get runs nothing; busy, it finishes the item first; with
// a full queue every item goes back to the pool; without input the worker
// runs until stopped. Each ends within a second with one "Stop" line.
TEST(WorkerThread, StopEndsTheThreadInEveryState) {
  enum Case { kBlocked, kBusy, kFullQueue, kNoInput };
  for (const Case c : {kBlocked, kBusy, kFullQueue, kNoInput}) {
    Channel channel(c == kFullQueue ? 4 : 1, c == kFullQueue ? 3 : 0);
    RecordingWorker worker;
    worker.delay = std::chrono::milliseconds(c == kBusy ? 150 : c == kFullQueue ? 100 : 0);
    ThreadContext<int> context;
    Start(context, c, worker, c == kNoInput ? nullptr : &channel);
    if (c == kBlocked) std::this_thread::sleep_for(std::chrono::milliseconds(10));  // into Get
    if (c == kBusy) {
      int* item = channel.pool.Get();
      *item = 42;
      channel.queue.Put(item);
    }
    if (c == kFullQueue) {
      for (int i = 0; i < 3; ++i) channel.queue.Put(channel.pool.Get());
    }
    if (c == kBusy || c == kFullQueue) {
      ASSERT_TRUE(WaitFor([&] { return worker.busy.load(); }));
    }
    if (c == kFullQueue) {
      channel.queue.Put(channel.pool.Get());  // the queue is full again
      EXPECT_EQ(channel.queue.Count(), 3u);
    }
    if (c == kNoInput) {
      ASSERT_TRUE(WaitFor([&] { return worker.runs >= 2; }));
    }
    std::string output;
    EXPECT_LT(StopTimed(context, output), 1.0) << c;
    EXPECT_EQ(output, "Stop " + std::to_string(c) + "\n");
    EXPECT_EQ(channel.pool.Count(), c == kFullQueue ? 4u : 1u) << c;
    EXPECT_EQ(channel.queue.Count(), 0u) << c;
    // Blocked: nothing ran; busy: the item finished; full queue: at most the
    // two taken ran; no input: no items seen.
    EXPECT_EQ(worker.runs == 0, c == kBlocked) << c;
    EXPECT_LE(worker.runs, c == kFullQueue ? 2 : 1 << 30);
    EXPECT_TRUE(c == kFullQueue ||
                worker.seen == (c == kBusy ? std::vector<int>{42} : std::vector<int>()))
        << c;
    StopWorkerThread(&context);  // a second stop is harmless
  }
}

}  // namespace

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

TEST(WorkerThread, StopWhileBlockedInGetRunsNothing) {
  Channel channel(1);
  RecordingWorker worker;
  ThreadContext<int> context;
  Start(context, 0, worker, &channel);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));  // let it block in Get
  std::string output;
  EXPECT_LT(StopTimed(context, output), 1.0);
  EXPECT_EQ(output, "Stop 0\n");
  EXPECT_EQ(worker.runs, 0);
  StopWorkerThread(&context);  // a second stop is harmless
}

TEST(WorkerThread, StopWhileBusyFinishesTheItemFirst) {
  Channel channel(1);
  RecordingWorker worker;
  worker.delay = std::chrono::milliseconds(150);
  ThreadContext<int> context;
  Start(context, 3, worker, &channel);
  int* item = channel.pool.Get();
  *item = 42;
  channel.queue.Put(item);
  ASSERT_TRUE(WaitFor([&] { return worker.busy.load(); }));
  std::string output;
  EXPECT_LT(StopTimed(context, output), 1.0);
  EXPECT_EQ(output, "Stop 3\n");
  ASSERT_EQ(worker.seen.size(), 1u);
  EXPECT_EQ(worker.seen[0], 42);
  EXPECT_EQ(channel.pool.Count(), 1u);
}

TEST(WorkerThread, StopWithAFullQueueReturnsEveryItemToThePool) {
  Channel channel(4, 3);
  RecordingWorker worker;
  worker.delay = std::chrono::milliseconds(100);
  ThreadContext<int> context;
  Start(context, 1, worker, &channel);
  for (int i = 0; i < 3; ++i) channel.queue.Put(channel.pool.Get());
  ASSERT_TRUE(WaitFor([&] { return worker.busy.load(); }));
  channel.queue.Put(channel.pool.Get());  // the queue is full again
  EXPECT_EQ(channel.queue.Count(), 3u);
  std::string output;
  EXPECT_LT(StopTimed(context, output), 1.0);
  EXPECT_EQ(output, "Stop 1\n");
  EXPECT_LE(worker.runs, 2);
  EXPECT_EQ(channel.pool.Count(), 4u);
  EXPECT_EQ(channel.queue.Count(), 0u);
}

TEST(WorkerThread, WorkerWithoutInputRunsUntilStopped) {
  RecordingWorker worker;
  ThreadContext<int> context;
  Start(context, 5, worker, nullptr);
  ASSERT_TRUE(WaitFor([&] { return worker.runs >= 2; }));
  std::string output;
  EXPECT_LT(StopTimed(context, output), 1.0);
  EXPECT_EQ(output, "Stop 5\n");
  EXPECT_TRUE(worker.seen.empty());
}

}  // namespace

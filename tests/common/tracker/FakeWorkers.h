#pragma once
// Fake workers on real pools and queues: each thread takes the items the
// tracker queues, hands each to a callback (which may stall, to keep an item
// in flight) and returns it to the pool; a null item ends it.
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tracker/TrackerOptions.h"

template <class T>
class FakeWorker {
 public:
  explicit FakeWorker(std::function<void(const T&)> onItem, u32 capacity = 1)
      : pool(capacity), queue(capacity), onItem_(std::move(onItem)), thread_([this] {
          for (T* item; (item = queue.Get()) != nullptr; pool.Put(item)) onItem_(*item);
        }) {}
  ~FakeWorker() {
    queue.Put(nullptr);
    thread_.join();
  }
  FakeWorker(const FakeWorker&) = delete;
  FakeWorker& operator=(const FakeWorker&) = delete;

  // Returns once every item is back in the pool.
  void WaitIdle() { pool.WaitFull(); }

  MutexBufferPool<T> pool;
  MutexBufferQueue<T> queue;

 private:
  std::function<void(const T&)> onItem_;
  std::thread thread_;
};

// The matcher, SURF and local-adjustor workers, each logging what it got.
struct FakeWorkers {
  FakeWorkers()
      : matcher([this](const TrackMatchingData& d) { Log(matcherLog, d.frameId); }),
        surf([this](const u16& id) { Log(surfLog, id); }, 5),
        local([this](const u8& request) { Log(localLog, request); }) {}

  WorkerChannels Channels() {
    WorkerChannels c;
    c.matcherPool = &matcher.pool;
    c.matcherQueue = &matcher.queue;
    c.surfPool = &surf.pool;
    c.surfQueue = &surf.queue;
    c.localPool = &local.pool;
    c.localQueue = &local.queue;
    return c;
  }
  void WaitIdle() {
    matcher.WaitIdle();
    surf.WaitIdle();
    local.WaitIdle();
  }
  // A copy of a log taken under the lock, once the workers are idle.
  std::vector<u32> Take(std::vector<u32>& log) {
    WaitIdle();
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<u32> out;
    out.swap(log);
    return out;
  }

  std::mutex mutex;
  std::vector<u32> matcherLog, surfLog, localLog;
  // Runs in the SURF worker before it logs: a test may stall it there. Set
  // only while the workers are idle.
  std::function<void()> surfHook;
  FakeWorker<TrackMatchingData> matcher;
  FakeWorker<u16> surf;
  FakeWorker<u8> local;

 private:
  void Log(std::vector<u32>& log, u32 value) {
    if (&log == &surfLog && surfHook) surfHook();
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back(value);
  }
};

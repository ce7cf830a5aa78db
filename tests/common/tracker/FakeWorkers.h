#pragma once
// Fake workers on real pools and queues: each thread takes the items the
// tracker queues, hands each to a callback (which may stall, to keep an item
// in flight) and returns it to the pool; a null item ends it.
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "tracker/TrackerOptions.h"

template <class T>
struct FakeWorker {
  explicit FakeWorker(std::function<void(const T&)> onItem, u32 capacity = 1)
      : pool(capacity), queue(capacity), thread([this, onItem] {
          for (T* item; (item = queue.Get()) != nullptr; pool.Put(item)) onItem(*item);
        }) {}
  ~FakeWorker() {
    queue.Put(nullptr);
    thread.join();
  }

  MutexBufferPool<T> pool;
  MutexBufferQueue<T> queue;
  std::thread thread;
};

// The matcher, SURF and local-adjustor workers; the last two log what they got.
struct FakeWorkers {
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
  // Returns once every item is back in its pool.
  void WaitIdle() {
    matcher.pool.WaitFull();
    surf.pool.WaitFull();
    local.pool.WaitFull();
  }
  // Empties a log once the workers are idle; what it held.
  std::vector<u32> Take(std::vector<u32>& log) {
    WaitIdle();
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(log, {});
  }
  void Log(std::vector<u32>& log, u32 value) {
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back(value);
  }

  std::mutex mutex;
  std::vector<u32> surfLog, localLog;
  // Runs in the SURF worker before it logs: a test may stall it there. Set
  // only while the workers are idle.
  std::function<void()> surfHook;
  FakeWorker<TrackMatchingData> matcher{[](const TrackMatchingData&) {}};
  FakeWorker<u16> surf{[this](const u16& id) {
                         if (surfHook) surfHook();
                         Log(surfLog, id);
                       },
                       5};
  FakeWorker<u8> local{[this](const u8& request) { Log(localLog, request); }};
};

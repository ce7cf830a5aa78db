#pragma once
// The one routine every worker thread runs, and the owner's start and stop.
// The thread takes items from its input queue (blocking), runs its worker on
// each and returns the item to the pool. To stop it the owner clears `run`,
// waits while the worker is busy, queues a null item to wake a thread blocked
// in Get and joins it once `stopped` is set.
#include <atomic>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <thread>

#include "la/MutexBuffer.h"
#include "la/Types.h"
#include "mapping/Worker.h"
#include "optimization/IMUParameters.h"

// Thread ids: 0 track matcher, 1 SURF worker, 2 local adjustor, 3 global
// adjustor, 4 network sender, 5 server adjustor.
template <class Item, class W = Worker<Item>>
struct ThreadContext {
  i32 id = 0;
  W* worker = nullptr;
  MutexBuffer<Item>* in = nullptr;   // null: the worker runs without input
  MutexBuffer<Item>* out = nullptr;  // null: items are not returned
  std::atomic<bool> run{false};
  std::atomic<bool> stopped{true};
  std::thread thread;
};

// Polling step of the stop protocol and of a worker without input.
constexpr std::chrono::milliseconds kThreadPollStep{20};

// Thread routine: run the worker on each queued item until `run` is cleared;
// a null item only re-tests `run`. Prints "Stop %d" once on leaving.
template <class Item, class W>
int WorkerThreadProc(ThreadContext<Item, W>* context) {
  context->stopped = false;
  while (context->run) {
    Item* item = nullptr;
    if (context->in != nullptr) {
      item = context->in->Get();
      if (item == nullptr) continue;
    }
    // Workers read the inertial parameters without locks.
    assert(!IMU::ParametersChangedWhileFrozen());
    context->worker->Run(item);
    if (context->out != nullptr && item != nullptr) context->out->Put(item);
    // A worker without input would otherwise spin on its empty run.
    if (context->in == nullptr && context->run) std::this_thread::sleep_for(kThreadPollStep);
  }
  std::printf("Stop %d\n", context->id);
  std::fflush(stdout);
  context->stopped = true;
  return 0;
}

// Starts the thread; id, worker and buffers must be set. A context whose
// thread runs keeps it. The inertial parameters stay frozen until the thread
// is stopped.
template <class Item, class W>
void StartWorkerThread(ThreadContext<Item, W>* context) {
  // Overwriting a running std::thread would end the process.
  if (context->thread.joinable()) return;
  IMU::FreezeParameters();
  context->stopped = false;
  context->run = true;
  context->thread = std::thread([context] { WorkerThreadProc(context); });
}

namespace detail {

// Wakes a thread blocked in Get and waits until it has left its loop; when it
// has not left within `grace`, calls onLate once and waits on.
template <class Item, class W, class Duration, class OnLate>
void WakeAndJoin(ThreadContext<Item, W>* context, Duration grace, OnLate&& onLate) {
  if (context->in != nullptr) context->in->TryPut(nullptr);
  const auto late = std::chrono::steady_clock::now() + grace;
  bool called = false;
  while (!context->stopped) {
    if (!called && std::chrono::steady_clock::now() >= late) {
      onLate();
      called = true;
    }
    std::this_thread::sleep_for(kThreadPollStep);
  }
  context->thread.join();
  IMU::ThawParameters();
  // Items still queued go back to their pool, so that the pool is whole again.
  if (context->in != nullptr) {
    while (context->in->Count() > 0) {
      Item* item = context->in->TryGet();
      if (item != nullptr && context->out != nullptr) context->out->Put(item);
    }
  }
}

}  // namespace detail

// Stops a worker thread: run cleared, the current item finished, the thread
// woken and joined. Does nothing for a thread that was never started.
template <class Item, class W>
void StopWorkerThread(ThreadContext<Item, W>* context) {
  if (!context->thread.joinable()) return;
  context->run = false;
  while (context->worker->IsBusy()) std::this_thread::sleep_for(kThreadPollStep);
  detail::WakeAndJoin(context, std::chrono::hours(1), [] {});
}
